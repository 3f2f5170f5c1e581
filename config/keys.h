// The table of INI keys: one row per key with its section, type, default,
// limits and what it does. The loaders, the writer and the dialogs' checks
// take names, defaults and limits from here, and docs/settings.md is
// checked against it; the rules between a domain's keys are one function
// over the rows of kKeyRules.
#pragma once

#include <cstddef>

struct DomainEntry;

enum KeyType {
    kKeyNumber,  // decimal, read up to the first other character
    kKeyFlag,    // a number of which only 1 (or non-zero, see the row) turns it on
    kKeyText,
    kKeyChoice,  // one word of `choices`, without regard to case
    kKeySecret,  // a text Save stores protected where the system can
};

// Which layout reads a key: the current one (Version above 0.11), the older
// single-relay one, or both.
enum KeyLayout { kLayoutCurrent = 1, kLayoutLegacy = 2, kLayoutBoth = 3 };

// What a key belongs to; the reference groups its rows so.
enum KeyGroup {
    kGroupGeneral,   // the relay as a whole
    kGroupQueue,     // what waits, notices, the log's size
    kGroupWindow,    // start-up and the windows
    kGroupDomain,    // a domain and its relay server
    kGroupSecurity,  // a domain's connection, login, pin and sender
    kGroupOAuth,     // a domain's OAuth 2.0 sign-in
    kGroupMailbox,   // the mailbox lines
    kGroupLegacy,    // the older layout only
};

struct KeyInfo {
    // As written in the file; "%d" stands for the domain's or the mailbox's
    // number ("AuthUser%d" is AuthUser1 to AuthUser5).
    const char* name;
    // "Ambrel", "Domains", "MailBoxes", or, for the older layout's mailbox
    // pairs, the section whose name is Domain1's value ("named by Domain1").
    const char* section;
    KeyType type;
    int group;
    int layout;
    const char* defaultText;  // what an absent key means, as the reference shows it
    int defaultValue;         // numbers and flags: the loader's default
    int minValue, maxValue;   // numbers: the range taken as written (both 0: no range)
    // Texts: the longest value kept. A longer one is cut in the product
    // section (the profile read's buffer holds one more) and refused in a
    // domain's keys and the mailbox pairs.
    size_t maxLength;
    const char* choices;  // choices: the words, '|' between them
    const char* what;     // one line: what the key does
};

enum KeyId {
    kKeyVersion,
    kKeyLoopDelay,
    kKeyUserFolder,
    kKeyBadmails,
    kKeyLogName,
    kKeyFlushLog,
    kKeyDebug,
    kKeyMaxMailSent,
    kKeyLowLatency,
    kKeyWatchFolders,
    kKeyMailBoxes,
    kKeyXToHeader,
    kKeySMTPHelo,
    kKeyDomains,
    kKeyWarnAfterHours,
    kKeyGiveUpAfterDays,
    kKeyLogMaxKB,
    kKeyNoticeTo,
    kKeyHideWin,
    kKeyQueueWindow,
    kKeyDomain,
    kKeySMTPServer,
    // The security keys, in the order the older layout's warning names them.
    kKeySecurity,
    kKeyAuthUser,
    kKeyAuthPassword,
    kKeyTlsFingerprint,
    kKeySenderAddress,
    kKeyRewriteFrom,
    kKeyAuthMethod,
    kKeyOAuthProvider,
    kKeyOAuthTenant,
    kKeyOAuthTokenUrl,
    kKeyOAuthDeviceUrl,
    kKeyOAuthAuthorizeUrl,
    kKeyOAuthScope,
    kKeyOAuthClientId,
    kKeyOAuthClientSecret,
    kKeyOAuthGrant,
    kKeyMailbox,
    kKeyLegacyPort,
    kKeyLegacyDomain1,
    kKeyLegacySMTPServer,
    kKeyLegacyMBaddr,
    kKeyLegacyMBdir,
    kKeyCount
};

extern const KeyInfo kKeyTable[kKeyCount];
inline const KeyInfo& KeyOf(KeyId id) { return kKeyTable[id]; }

// The key's name in the file, with the number n for a numbered one.
void KeyName(KeyId id, int n, char* out, size_t size);
// The name without its number ("AuthUser" for "AuthUser%d").
void KeyBaseName(KeyId id, char* out, size_t size);

// Reads of the configuration file (hostSettings.iniPath) by the table: the
// section, the name and the default are the row's. A text is read with
// room for maxLength characters (a longer one is cut); `def` null takes the
// row's default. Numbered keys take n, the others ignore it.
int ReadKeyNumber(KeyId id, int n = 0);
void ReadKeyText(KeyId id, int n, const char* def, char* out, size_t outSize);
// A domain key's value whole: false when it is longer than the row allows
// (refused, never cut), or than outSize can hold.
bool ReadDomainKey(KeyId id, int n, char* out, size_t outSize);

// ---- the rules between a domain's keys -------------------------------------

struct KeyRule {
    KeyId checkedAfter;  // the loader checks the rule once this key is read
    KeyId names;         // the key the load line names
    bool (*broken)(const DomainEntry& d);
    // The load line, printf with the key number, the key number, the domain
    // name and the key number again; the Save refusal's reason; the
    // Security dialog's box text.
    const char* loadLine;
    const char* saveText;
    const char* dialogText;
};

// The first rule `d` breaks, in the order the loader checks them, among
// the rules checked after key `after` (kKeyCount: all of them); null when
// it breaks none. The loader, Save and the Security dialog all ask here.
const KeyRule* BrokenKeyRule(const DomainEntry& d, KeyId after = kKeyCount);
// The load line of a broken rule for the domain of key number n.
void ReportBrokenRule(const KeyRule& rule, int n, const DomainEntry& d);
