// Settings record, domain and mailbox tables, and their loaders.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "oauth_settings.h"

constexpr int kMaxDomains = 5;
constexpr int kMaxMailboxes = 200;
constexpr int kMaxMailSent = 6;
constexpr size_t kPoolBlockSize = 5120;
// Longest user name, folder text, address or folder path of a mailbox.
constexpr size_t kMailboxTextMax = 255;
// A mailbox folder must leave room for "*.CNM" in the 127-character search
// pattern, so it may be at most 122 characters long.
constexpr size_t kSearchPatternMax = 127;
constexpr size_t kMailboxFolderMax = kSearchPatternMax - 5;

extern const char kSectionProduct[];    // "Ambrel"
extern const char kSectionDomains[];    // "Domains"
extern const char kSectionMailboxes[];  // "MailBoxes"
extern const char kDefaultHelo[];       // "Vorpal"
extern const char kDefaultXToHeader[];  // "X-Envelope-To:"

struct RelaySettings {
    char UserFolder[260];
    char Badmails[120];
    char LogName[200];
    std::atomic<int> LoopDelay;  // the Options dialog writes it while the worker reads it
    int FlushLog;
    int Debug;
    int MaxMailSent;
    // Beyond the design, both off when absent: no pause before a reply read
    // and the sends gathered; a new message file ends the loop delay.
    int LowLatency;
    int WatchFolders;
    char SMTPHelo[80];
    char XToHeader[80];
};

// How a domain's relay server is reached: plain SMTP (the default), STARTTLS
// after EHLO, or TLS from the first byte.
enum DomainSecurity { kSecurityNone = 0, kSecurityStartTls = 1, kSecurityTls = 2 };

constexpr size_t kAuthTextMax = 255;  // longest login name or password
constexpr size_t kSenderAddressMax = 255;  // an envelope address, as the relay's limit

struct DomainEntry {
    char name[100];
    char host[80];
    uint16_t port;
    // Optional; a domain without them is relayed in plain SMTP with HELO.
    int security;                         // Security<n>: DomainSecurity
    char authUser[kAuthTextMax + 1];      // AuthUser<n>
    char authPassword[kAuthTextMax + 1];  // AuthPassword<n>, clear text (memory only)
    int hasPin;                           // TlsFingerprint<n> given
    unsigned char tlsPin[32];             // its SHA-256 bytes
    // Sending as the account: MAIL FROM carries this address instead of the
    // file's Return-path (empty: the file's sender, as always).
    char senderAddress[kSenderAddressMax + 1];  // SenderAddress<n>
    int rewriteFrom;                            // RewriteFrom<n>: only with senderAddress
    OAuthSettings oauth;                        // AuthMethod<n> oauth2 and its keys
};

// ---- a domain's security keys (security.cpp) --------------------------------
// The defaults: plain SMTP, no login, no pin.
void ClearDomainSecurity(DomainEntry& d);
// Reads Security<n>, AuthUser<n>, AuthPassword<n>, TlsFingerprint<n>,
// SenderAddress<n> and RewriteFrom<n> for the domain of key number n into `d`; false, with a "Config error" line,
// when a value is refused (the loader then drops the domain).
bool LoadDomainSecurity(int n, DomainEntry& d);
// The load lines of the keys in use, for the domain shown as `row` (never
// the password).
void ReportDomainSecurity(int row, const DomainEntry& d);
// TlsFingerprint text: 64 hex digits, colons anywhere; false otherwise.
bool ParseTlsFingerprint(const char* text, unsigned char* pin);
// Base64 with padding. Encode: false (and "") when `out` is too small for
// the text and its NUL. Decode: strict (length a multiple of 4, padding
// only at the end); false on a bad text or when `out` is too small.
bool Base64Encode(const void* data, size_t len, char* out, size_t outSize);
bool Base64Decode(const char* text, unsigned char* out, size_t outSize, size_t* outLen);
// A SenderAddress<n> value: one addr-spec local@domain of at most 255
// characters, dot-atoms (or an address literal) only: no blanks, quotes,
// angle brackets, control or non-ASCII characters.
bool IsPlausibleSenderAddress(const char* text);
// The clear password from a stored value (either form). False when a
// protected value cannot be read on this machine or the text does not fit.
bool ReadStoredPassword(const char* stored, char* clear, size_t clearSize);

// The kinds of mailbox, by the user name's prefix (any case): "dm:" a
// domain mailbox (its files go to the address their envelope names), "pk:"
// a pickup folder (*.eml files of applications, each with its own
// recipients), anything else a personal mailbox (its own address).
enum MailboxKind { kMailboxPersonal, kMailboxDomain, kMailboxPickup };
MailboxKind KindOfMailbox(const char* user);

struct MailboxEntry {
    const char* folder;
    uint8_t absolute;
    const char* email;
    const char* user;
    int domainIndex;
};

// Start-up results (filled once by the host).
struct HostSettings {
    int installRequested;
    int removeRequested;
    int serviceMode;
    char serviceName[64];
    char iniPath[120];
    char serviceCommand[180];
    int hideWindow;
};

extern RelaySettings relaySettings;
extern HostSettings hostSettings;
extern DomainEntry domainTable[kMaxDomains];
extern std::atomic<int> domainCount;
extern MailboxEntry mailboxTable[kMaxMailboxes];
extern std::atomic<int> mailboxCount;

// Process-start values: LoopDelay -1, empty tables, default texts.
void ResetConfiguration();

// Longest user folder the loader makes absolute and remembers.
constexpr size_t kLoadedUserFolderSize = 512;

// The tables as the last load left them, with what the Options dialog needs
// to know about that load. A load fills a copy of its own and puts it in
// place whole under one lock; CopyLoadedConfig takes it under the same
// lock, so a reader never sees half of one load and half of another.
struct LoadedConfig {
    DomainEntry domains[kMaxDomains];
    int domainCount;
    MailboxEntry mailboxes[kMaxMailboxes];
    int mailboxCount;
    // The user folder the relative mailbox paths were built from (absolute).
    char userFolder[kLoadedUserFolderSize];
    bool loadSucceeded;  // false before the first load, after a failed one, or the file was missing
    int skippedLines;    // mailbox lines of the file the load did not take in
    unsigned generation; // counts the loads put in place
};
void CopyLoadedConfig(LoadedConfig* out);
// One domain row, read whole; false (row emptied) for an index outside the table.
bool CopyLoadedDomain(int index, DomainEntry* out);
// The configuration file is gone: no mailbox is relayed until it loads again.
void ForgetLoadedMailboxes();

bool LoadConfiguration();
bool LoadLegacyConfiguration();
// Copies the three texts of a mailbox into the pool and fills row `row`.
bool AddMailbox(int row, int absolute, const char* user, const char* folderPath,
                const char* email, int domainIndex);

// Appends the folder separator to a non-empty text that lacks it, when it fits.
void AppendSepIfMissing(char* text, size_t size);

// ---- writing the configuration back (current layout) ----------------------

// The folder column of the mailbox list shows a folder relative to UserFolder
// behind this 13-character prefix ("<UserFolder\\>" with the build's
// separator) and an absolute one as "@" and its path.
extern const char kUserFolderPrefix[];

// One mailbox row as the mailbox list holds it: the three column texts.
struct MailboxRow {
    const char* user;    // column 0
    const char* email;   // column 1
    const char* folder;  // column 2, in the list's folder notation
};

// The checks of SaveConfigurationCore alone: false, with the message, when
// the save would refuse. Nothing is written.
bool CheckConfigurationCore(const DomainEntry* domains, int count, const MailboxRow* rows,
                            int rowCount, char* error, size_t errorSize);

// Writes RelaySettings, the given domain records and mailbox rows to the INI
// file in the current layout. False, with a message for the user in `error`,
// when the rows cannot be written so that they read back the same.
bool SaveConfigurationCore(const DomainEntry* domains, int count, const MailboxRow* rows,
                           int rowCount, char* error, size_t errorSize);

// The fields of the domain's Security dialog into the security settings of
// `d` (left as it was on a refusal): the text of the first refusal for a
// box, or null. The rules are the loader's: a login or a fingerprint needs
// STARTTLS or TLS, a fingerprint is 64 hex digits (colons allowed) or
// empty, the sender ("Send as") is one plain address or empty, and
// rewriting From needs it.
const char* ApplySecurityFields(int security, const char* user, const char* password,
                                const char* fingerprint, const char* sender, int rewriteFrom,
                                DomainEntry* d);
extern const char kLoginNeedsTls[];
extern const char kBadFingerprint[];
extern const char kAuthTextTooLong[];
extern const char kPinNeedsTls[];
extern const char kBadSenderAddress[];
extern const char kRewriteNeedsSender[];
// A pin as the writer stores it and the dialog shows it: 64 hex digits.
void FormatTlsFingerprint(const unsigned char* pin, char* out, size_t size);

// Append-only text pool in 5120-byte blocks; never released.
const char* PoolCopy(const char* text);
// Bytes used in the newest block (link included) and the number of blocks.
size_t PoolBytesUsedInCurrentBlock();
int PoolBlockCount();
// Test hook: make the next n block requests fail as if the heap refused.
void PoolFailNextBlocks(int n);
