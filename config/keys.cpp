// The table of INI keys and the rules between a domain's keys.
#include "keys.h"

#include <cstdio>
#include <cstring>

#include "config.h"
#include "config_internal.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
const char P[] = "Ambrel";
const char D[] = "Domains";
const char M[] = "MailBoxes";
const char L[] = "named by Domain1";  // the older layout's mailbox section
constexpr int C = kLayoutCurrent, O = kLayoutLegacy, B = kLayoutBoth;
}  // namespace

// Rows in KeyId order.
const KeyInfo kKeyTable[kKeyCount] = {
    {"Version", P, kKeyText, kGroupGeneral, B, "(none)", 0, 0, 0, 7, nullptr,
     "Layout of the file: absent or 0.11 and lower is the older layout; Save writes " AMBREL_VERSION "."},
    {"LoopDelay", P, kKeyNumber, kGroupGeneral, B, "120", -1, 0, 0, 0, nullptr,
     "Seconds between two relay cycles; a value below 1 becomes 120."},
    {"UserFolder", P, kKeyText, kGroupGeneral, B, "(empty)", 0, 0, 0, kUserFolderRead - 1, nullptr,
     "Folder under which relative mailbox folders lie; a plain prefix, so it ends in a backslash (Save adds it)."},
    {"Badmails", P, kKeyText, kGroupGeneral, B, "(empty)", 0, 0, 0, kBadmailsRead - 1, nullptr,
     "Folder into which messages refused for good (5xx) are moved; empty: they are deleted."},
    {"LogName", P, kKeyText, kGroupGeneral, B, "Ambrel.log beside the program", 0, 0, 0, kLogNameRead - 1,
     nullptr, "The log file; a new value switches the log at the next load."},
    {"FlushLog", P, kKeyFlag, kGroupGeneral, C, "0", 0, 0, 0, 0, nullptr,
     "Non-zero: every log line is written to disk at once."},
    {"Debug", P, kKeyFlag, kGroupGeneral, C, "0", 0, 0, 0, 0, nullptr,
     "Non-zero: the log file records the whole SMTP conversation (never a password or token)."},
    {"MaxMailSent", P, kKeyNumber, kGroupGeneral, C, "6", kMaxMailSent, 0, kMaxMailSent, 0, nullptr,
     "Messages relayed over one SMTP session before it is ended; outside 0 to 6 it is 6."},
    {"LowLatency", P, kKeyFlag, kGroupGeneral, C, "0", 0, 0, 0, 0, nullptr,
     "1: no pause before a reply is read and the sends gathered (the same bytes, much faster)."},
    {"WatchFolders", P, kKeyFlag, kGroupGeneral, C, "0", 0, 0, 0, 0, nullptr,
     "1: a new message file in a mailbox folder ends the loop delay, as Send NOW does."},
    {"MailBoxes", P, kKeyNumber, kGroupMailbox, B, "0", 0, 0, kMaxMailboxes, 0, nullptr,
     "Number of mailbox lines (or pairs, older layout) to read; more than 200 is cut to 200."},
    {"XToHeader", P, kKeyText, kGroupGeneral, C, "X-Envelope-To:", 0, 0, 0, 77, nullptr,
     "Header line that names the recipient in a message file; used when 2 characters or longer, ':' added."},
    {"SMTPHelo", P, kKeyText, kGroupGeneral, C, "Vorpal", 0, 0, 0, 78, nullptr,
     "Name sent with HELO or EHLO; a fully qualified name is what most servers expect."},
    {"Domains", P, kKeyNumber, kGroupDomain, C, "0", 0, 0, kMaxDomains, 0, nullptr,
     "Number of domains in [Domains] to read; more than 5 is cut to 5."},
    {"WarnAfterHours", P, kKeyNumber, kGroupQueue, C, "0 (off)", 0, 0, 0, 0, nullptr,
     "A message still waiting after this many hours is marked and named in the tray; below 0 is 0."},
    {"GiveUpAfterDays", P, kKeyNumber, kGroupQueue, C, "0 (off)", 0, 0, 0, 0, nullptr,
     "A message still waiting after this many days is moved to Badmails; below 0 is 0."},
    {"LogMaxKB", P, kKeyNumber, kGroupQueue, C, "0 (off)", 0, 0, 0, 0, nullptr,
     "The log file is renamed to .log.1 (one old file kept) once it passes this size; below 0 is 0."},
    {"NoticeTo", P, kKeyText, kGroupQueue, C, "(empty: no notices)", 0, 0, 0, 255, nullptr,
     "Address that gets one notice mail per cycle in which mail failed, through the first domain's server."},
    {"HideWin", P, kKeyFlag, kGroupWindow, B, "0", 0, 0, 0, 0, nullptr,
     "Non-zero: the window starts hidden, only the tray icon shows (read at start-up)."},
    {"QueueWindow", P, kKeyText, kGroupWindow, C, "(empty)", 0, 0, 0, 199, nullptr,
     "Written by the Queue window: its size and column widths."},
    {"Domain%d", D, kKeyText, kGroupDomain, C, "(none: the domain is skipped)", 0, 0, 0, kDomainNameRead - 1,
     nullptr, "Mail domain n: the part after @ of its mailboxes' addresses."},
    {"SMTPServer%d", D, kKeyText, kGroupDomain, C, "(none: the domain is skipped)", 0, 0, 0, kServerRead - 1,
     nullptr, "Relay server of domain n: host or host:port (port 25 when none is given)."},
    {"Security%d", D, kKeyChoice, kGroupSecurity, C, "none", 0, 0, 0, 40, "none|starttls|tls",
     "How the server of domain n is reached: plain SMTP, STARTTLS after EHLO, or TLS from the first byte."},
    {"AuthUser%d", D, kKeyText, kGroupSecurity, C, "(empty: no login)", 0, 0, 0, kAuthTextMax, nullptr,
     "Login name for SMTP AUTH on domain n's server; needs Security starttls or tls."},
    {"AuthPassword%d", D, kKeySecret, kGroupSecurity, C, "(empty)", 0, 0, 0, kAuthTextMax, nullptr,
     "Its password; Save on Windows stores it protected (dpapi:...), readable only on that machine."},
    {"TlsFingerprint%d", D, kKeyText, kGroupSecurity, C, "(empty: the system's certificates)", 0, 0, 0, 200,
     nullptr, "SHA-256 of the server's certificate, 64 hex digits (colons allowed); needs starttls or tls."},
    {"SenderAddress%d", D, kKeyText, kGroupSecurity, C, "(empty: the message's sender)", 0, 0, 0,
     kSenderAddressMax, nullptr, "Address MAIL FROM carries for domain n's mail instead of the file's sender."},
    {"RewriteFrom%d", D, kKeyFlag, kGroupSecurity, C, "0", 0, 0, 1, 40, nullptr,
     "1: the message's From line is rewritten to SenderAddress (which it needs); 0 or 1 only."},
    {"AuthMethod%d", D, kKeyChoice, kGroupOAuth, C, "password", 0, 0, 0, 40, "password|oauth2",
     "How AuthUser signs in: its password, or an OAuth 2.0 token (needs starttls or tls and AuthUser)."},
    {"OAuthProvider%d", D, kKeyChoice, kGroupOAuth, C, "custom", 0, 0, 0, 40, "microsoft|google|custom",
     "The identity provider whose endpoints and scope are preset; custom needs OAuthTokenUrl."},
    {"OAuthTenant%d", D, kKeyText, kGroupOAuth, C, "organizations", 0, 0, 0, kOAuthTenantMax, nullptr,
     "microsoft: the tenant's name, domain or id in the endpoints; client_credentials needs it."},
    {"OAuthTokenUrl%d", D, kKeyText, kGroupOAuth, C, "(the provider's)", 0, 0, 0, kOAuthUrlMax, nullptr,
     "Token endpoint, an https:// address; overrides the provider's."},
    {"OAuthDeviceUrl%d", D, kKeyText, kGroupOAuth, C, "(the provider's)", 0, 0, 0, kOAuthUrlMax, nullptr,
     "Device authorization endpoint (sign-in with a code), https://; overrides the provider's."},
    {"OAuthAuthorizeUrl%d", D, kKeyText, kGroupOAuth, C, "(the provider's)", 0, 0, 0, kOAuthUrlMax, nullptr,
     "Authorization endpoint (sign-in in the browser), https://; overrides the provider's."},
    {"OAuthScope%d", D, kKeyText, kGroupOAuth, C, "(the provider's)", 0, 0, 0, kOAuthScopeMax, nullptr,
     "Scope asked for; overrides the provider's."},
    {"OAuthClientId%d", D, kKeyText, kGroupOAuth, C, "(none: required)", 0, 0, 0, kOAuthIdMax, nullptr,
     "The application (client) id registered with the provider."},
    {"OAuthClientSecret%d", D, kKeySecret, kGroupOAuth, C, "(empty)", 0, 0, 0, kOAuthSecretMax, nullptr,
     "The application's secret; client_credentials needs it. Stored protected as AuthPassword is."},
    {"OAuthGrant%d", D, kKeyChoice, kGroupOAuth, C, "refresh_token", 0, 0, 0, 40,
     "refresh_token|client_credentials",
     "refresh_token: a user signs in once (Sign in...); client_credentials: the application's own token."},
    {"Mailbox%d", M, kKeyText, kGroupMailbox, C, "(none: the line is skipped)", 0, 0, 0, kMailboxLineRead - 1,
     nullptr, "Mailbox n: user;folder;domain number (folder under UserFolder, or @ and an absolute path)."},
    {"Port", P, kKeyNumber, kGroupLegacy, O, "25", 25, 0, 0, 0, nullptr,
     "Older layout: the relay server's port."},
    {"Domain1", P, kKeyText, kGroupLegacy, O, "(empty)", 0, 0, 0, kDomainNameRead - 1, nullptr,
     "Older layout: the one mail domain, and the name of the section that holds the mailbox pairs."},
    {"SMTPServer", P, kKeyText, kGroupLegacy, O, "(none: the load fails)", 0, 0, 0, kServerRead - 1, nullptr,
     "Older layout: the relay server's host, taken whole (no :port)."},
    {"MB%daddr", L, kKeyText, kGroupLegacy, O, "(empty: the pair is skipped)", 0, 0, 0, kMailboxTextMax,
     nullptr, "Older layout: user name of mailbox n (the part before @)."},
    {"MB%ddir", L, kKeyText, kGroupLegacy, O, "(empty: UserFolder itself)", 0, 0, 0, kMailboxTextMax, nullptr,
     "Older layout: folder of mailbox n, under UserFolder or @ and an absolute path."},
};

void KeyName(KeyId id, int n, char* out, size_t size) {
    const char* name = kKeyTable[id].name;
    const char* mark = strstr(name, "%d");
    if (!mark) snprintf(out, size, "%s", name);
    else snprintf(out, size, "%.*s%d%s", (int)(mark - name), name, n, mark + 2);
}

void KeyBaseName(KeyId id, char* out, size_t size) {
    const char* name = kKeyTable[id].name;
    const char* mark = strstr(name, "%d");
    snprintf(out, size, "%.*s", mark ? (int)(mark - name) : (int)strlen(name), name);
}

int ReadKeyNumber(KeyId id, int n) {
    char name[48];
    KeyName(id, n, name, sizeof name);
    return ProfileGetInt(kKeyTable[id].section, name, kKeyTable[id].defaultValue, hostSettings.iniPath);
}

void ReadKeyText(KeyId id, int n, const char* def, char* out, size_t outSize) {
    char name[48];
    KeyName(id, n, name, sizeof name);
    size_t room = kKeyTable[id].maxLength + 1;
    ProfileGetString(kKeyTable[id].section, name, def ? def : "", out, room < outSize ? room : outSize,
                     hostSettings.iniPath);
}

bool ReadDomainKey(KeyId id, int n, char* out, size_t outSize) {
    char name[48], value[4096];
    KeyName(id, n, name, sizeof name);
    ProfileGetString(kKeyTable[id].section, name, "", value, sizeof value, hostSettings.iniPath);
    // A secret's limit is the clear text's: the stored, protected form is
    // longer, and the caller checks the text once it is read back.
    size_t len = strlen(value);
    bool fits = kKeyTable[id].type == kKeySecret || len <= kKeyTable[id].maxLength;
    bool ok = fits && len < outSize;
    if (ok) memcpy(out, value, len + 1);
    else if (outSize) out[0] = 0;
    // The value may be a password or a secret.
    memset(value, 0, sizeof value);
    return ok;
}

// ---- the rules between a domain's keys -------------------------------------

const char kLoginNeedsTls[] =
    " A login needs STARTTLS or TLS: the user name and password are never sent over an"
    " unencrypted connection.";
const char kPinNeedsTls[] =
    " A fingerprint needs STARTTLS or TLS: it is only checked on an encrypted connection.";
const char kRewriteNeedsSender[] =
    " Rewrite From needs a Send as address: the From line is rewritten to it.";

namespace {
bool Plain(const DomainEntry& d) { return d.security != kSecurityStartTls && d.security != kSecurityTls; }
bool OAuth(const DomainEntry& d) { return d.oauth.method == kAuthOAuth2; }

// In the order the loader reads the keys, so a file with several faults
// gets the line it always got.
const KeyRule kKeyRules[] = {
    // A pin is only ever compared during a TLS handshake: with none the
    // mail would go out in clear while the file seems to ask for a
    // checked server.
    {kKeyTlsFingerprint, kKeyTlsFingerprint, [](const DomainEntry& d) { return d.hasPin && Plain(d); },
     "Config error: TlsFingerprint%d for Domain%d (%s) needs Security%d starttls or tls: "
     "a fingerprint is only checked on an encrypted connection\r\n",
     "it has a certificate fingerprint but neither STARTTLS nor TLS", kPinNeedsTls},
    {kKeyAuthUser, kKeyAuthUser, [](const DomainEntry& d) { return d.authUser[0] && Plain(d); },
     "Config error: AuthUser%d for Domain%d (%s) needs Security%d starttls or tls: "
     "a login is never sent in clear text\r\n",
     "it has a login but neither STARTTLS nor TLS, and a login is never sent in clear text", kLoginNeedsTls},
    // Refused rather than ignored: the user asked for a From line the
    // provider accepts, and without the address there is none to write.
    {kKeyRewriteFrom, kKeyRewriteFrom, [](const DomainEntry& d) { return d.rewriteFrom && !d.senderAddress[0]; },
     "Config error: RewriteFrom%d for Domain%d (%s) needs SenderAddress%d: the From line is "
     "rewritten to that address\r\n",
     "it rewrites the From line but has no sender address", kRewriteNeedsSender},
    {kKeyAuthMethod, kKeyAuthMethod, [](const DomainEntry& d) { return OAuth(d) && Plain(d); },
     "Config error: AuthMethod%d for Domain%d (%s): oauth2 needs Security starttls or tls: a token is "
     "never sent in clear text\r\n",
     "it signs in with OAuth 2.0 but has neither STARTTLS nor TLS, and a token is never sent in clear text",
     " OAuth 2.0 needs STARTTLS or TLS: a token is never sent over an unencrypted connection."},
    {kKeyAuthMethod, kKeyAuthMethod, [](const DomainEntry& d) { return OAuth(d) && !d.authUser[0]; },
     "Config error: AuthMethod%d for Domain%d (%s): oauth2 needs AuthUser, the mailbox that signs in\r\n",
     "it signs in with OAuth 2.0 without a user or a client id",
     " OAuth 2.0 needs the user name of the mailbox that signs in."},
    // An OAuth login never uses a password: one left in the file is a
    // mistake about which login is in force.
    {kKeyAuthMethod, kKeyAuthPassword, [](const DomainEntry& d) { return OAuth(d) && d.authPassword[0]; },
     "Config error: AuthPassword%d for Domain%d (%s): not used with AuthMethod oauth2; remove it\r\n",
     "it signs in with OAuth 2.0 and also has a password, which the file cannot hold",
     " This domain signs in with OAuth 2.0, which uses no password: leave the password empty."},
};
}  // namespace

const KeyRule* BrokenKeyRule(const DomainEntry& d, KeyId after) {
    for (const KeyRule& r : kKeyRules)
        if ((after == kKeyCount || r.checkedAfter == after) && r.broken(d)) return &r;
    return nullptr;
}

void ReportBrokenRule(const KeyRule& rule, int n, const DomainEntry& d) {
    // The formats are the rows' own; each takes the same four arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    LogBoth(rule.loadLine, n, n, d.name, n);
#pragma GCC diagnostic pop
}
