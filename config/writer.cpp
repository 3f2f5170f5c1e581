// Writing the configuration back to the INI file, always in the current
// layout, from the settings, the domain records and the mailbox rows that the
// Options dialog holds.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config.h"
#include "config_internal.h"
#include "keys.h"
#include "log/log.h"
#include "platform/platform.h"

const char kBadFingerprint[] =
    " The fingerprint must be the SHA-256 of the server certificate: 64 hex digits, colons"
    " allowed (or empty to trust the system's certificates).";
const char kAuthTextTooLong[] = " The user name and the password can have at most 255 characters.";
const char kBadSenderAddress[] =
    " Send as must be one address like user@example.org: at most 255 characters, without"
    " blanks, quotes, <> or control characters (or empty to send as the message's sender).";

// "<UserFolder" + separator + ">": 13 characters.
const char kUserFolderPrefix[] = {'<', 'U', 's', 'e', 'r', 'F', 'o', 'l', 'd', 'e', 'r', kDirSep, '>', 0};

namespace {

constexpr size_t kPrefixLength = 13;
// The writer spells the section so; names match without regard to case, so
// the loader's "MailBoxes" reads it.
const char kSectionMailboxesWritten[] = "Mailboxes";
const char kVersionWritten[] = AMBREL_VERSION;

void SetError(char* error, size_t size, const char* format, ...) AMBREL_PRINTF(3, 4);
void SetError(char* error, size_t size, const char* format, ...) {
    if (!error || size == 0) return;
    va_list ap;
    va_start(ap, format);
    vsnprintf(error, size, format, ap);
    va_end(ap);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A value that begins or ends with a blank loses it when read back.
bool HasOuterBlank(const char* text) {
    size_t n = strlen(text);
    return n > 0 && (IsBlank(text[0]) || IsBlank(text[n - 1]));
}

// One mailbox line as it goes into the file, and what it took to make it.
struct MailboxLine {
    // Room for a 510-character user name and a 255-character folder; only a
    // text the length checks refuse anyway can be cut here.
    char text[1100];
    char folderField[600];
    int domainNumber;    // 1-based
    bool defaulted;      // no domain record matched: number 1 was used
};

// user;folder;domain number. The folder column is "@" and an absolute path,
// or the user-folder prefix and a path below it; a final separator is
// dropped, and the domain is the record whose name equals the part of the
// address after its first "@".
void MakeMailboxLine(const MailboxRow& row, const DomainEntry* domains, int count,
                     MailboxLine* line) {
    const char* folder = row.folder ? row.folder : "";
    const char* field = folder;
    if (folder[0] != '@') field = strlen(folder) >= kPrefixLength ? folder + kPrefixLength : "";
    snprintf(line->folderField, sizeof line->folderField, "%s", field);
    size_t n = strlen(line->folderField);
    if (n > 0 && line->folderField[n - 1] == kDirSep) line->folderField[n - 1] = 0;

    line->domainNumber = 0;
    const char* at = row.email ? strchr(row.email, '@') : nullptr;
    if (at) {
        for (int i = 0; i < count; i++) {
            if (strcmp(at + 1, domains[i].name) == 0) {
                line->domainNumber = i + 1;
                break;
            }
        }
    }
    line->defaulted = line->domainNumber == 0;
    if (line->defaulted) line->domainNumber = 1;
    snprintf(line->text, sizeof line->text, "%s;%s;%d", row.user ? row.user : "", line->folderField,
             line->domainNumber);
}

// Every row must read back as the mailbox the user saw; the save refuses
// the whole file otherwise, so nothing is written in a form that the next
// load would turn into a different mailbox or skip.
bool CheckMailboxRow(const MailboxRow& row, int r, const DomainEntry* domains, int count,
                     const char* userFolder, char* error, size_t errorSize) {
    const char* user = row.user ? row.user : "";
    const char* folder = row.folder ? row.folder : "";
    MailboxLine line;
    MakeMailboxLine(row, domains, count, &line);
    const char* why = nullptr;
    char detail[120];
    if (!user[0]) {
        why = "it has no user name";
    } else if (IsBlank(user[0])) {
        why = "the user name begins with a blank, which the file does not keep";
    } else if (folder[0] != '@' && strncmp(folder, kUserFolderPrefix, kPrefixLength) != 0) {
        snprintf(detail, sizeof detail,
                 "the folder is neither absolute (\"@\") nor below the user folder (\"%s\")",
                 kUserFolderPrefix);
        why = detail;
    } else if (strchr(user, ';') || strchr(line.folderField, ';')) {
        why = "a user name or folder with ';' would not read back as the same mailbox";
    } else if (!line.folderField[0] || strcmp(line.folderField, "@") == 0) {
        why = "its folder is the user folder itself, which the file cannot hold; "
              "choose a folder below it or an absolute folder";
    } else if (strlen(line.text) >= kMailboxLineRead) {
        snprintf(detail, sizeof detail, "its line would be longer than %d characters",
                 (int)(kMailboxLineRead - 1));
        why = detail;
    } else {
        const char* domainName = domains && count > 0 ? domains[line.domainNumber - 1].name : "";
        size_t email = strlen(user) + 1 + strlen(domainName);
        bool absolute = line.folderField[0] == '@';
        size_t path = absolute ? strlen(line.folderField) - 1
                               : strlen(userFolder) + strlen(line.folderField);
        path += 1;  // the separator every mailbox folder ends in
        if (strlen(user) > kMailboxTextMax || strlen(line.folderField) > kMailboxTextMax ||
            email > kMailboxTextMax) {
            snprintf(detail, sizeof detail,
                     "the user name, folder or e-mail address is longer than %d characters",
                     (int)kMailboxTextMax);
            why = detail;
        } else if (path > kMailboxFolderMax) {
            snprintf(detail, sizeof detail, "the folder path is longer than %d characters",
                     (int)kMailboxFolderMax);
            why = detail;
        }
    }
    if (!why) return true;
    SetError(error, errorSize, "Mailbox %d (%.60s) cannot be saved: %s.", r + 1, user, why);
    return false;
}

const char kProtectedPrefix[] = "dpapi:";
// "dpapi:" and the base64 of the system's blob around a 255-character
// password, with room to spare.
constexpr size_t kStoredPasswordMax = 4096;

// A value the reader would change (blanks at an end are dropped, a pair of
// matching quotes around it is taken off) goes into the file inside double
// quotes, which the reader takes off again.
void QuotedIfNeeded(const char* text, char* out, size_t size) {
    size_t n = strlen(text);
    bool quoted = n >= 2 && (text[0] == '"' || text[0] == '\'') && text[n - 1] == text[0];
    snprintf(out, size, HasOuterBlank(text) || quoted ? "\"%s\"" : "%s", text);
}

// Where the system cannot protect it, a password is stored as typed; one
// that begins like a protected one would not read back.
bool StoredClearIsAmbiguous(const char* password) {
    return !SecretProtectionAvailable() &&
           strncasecmp(password, kProtectedPrefix, sizeof kProtectedPrefix - 1) == 0;
}

// The AuthPassword value of a password. Where the system protects secrets a
// failure refuses the save: the password must never land in the file in
// clear text there.
bool StoredPassword(const char* clear, char* out, size_t size) {
    if (!SecretProtectionAvailable()) {
        QuotedIfNeeded(clear, out, size);
        return true;
    }
    unsigned char blob[kStoredPasswordMax / 2];
    size_t n = ProtectSecret(clear, blob, sizeof blob);
    size_t prefix = sizeof kProtectedPrefix - 1;
    bool ok = n > 0 && size > prefix && Base64Encode(blob, n, out + prefix, size - prefix);
    if (ok) memcpy(out, kProtectedPrefix, prefix);
    memset(blob, 0, sizeof blob);
    return ok;
}

bool CheckDomain(const DomainEntry& d, int i, char* error, size_t errorSize) {
    char server[120];
    snprintf(server, sizeof server, "%s:%d", d.host, (int)d.port);
    const char* why = nullptr;
    if (!d.name[0]) why = "it has no name";
    else if (HasOuterBlank(d.name) || IsBlank(d.host[0])) why = "its name or host has blanks at an end";
    else if (strlen(d.name) >= kDomainNameRead) why = "its name is too long";
    else if (strchr(d.host, ':')) why = "its host holds a ':'";
    else if (strlen(server) >= kServerRead) why = "its host and port are too long";
    else if (d.security < kSecurityNone || d.security > kSecurityTls) why = "its security setting is unknown";
    else if (strnlen(d.senderAddress, sizeof d.senderAddress) > kSenderAddressMax ||
             (d.senderAddress[0] && !IsPlausibleSenderAddress(d.senderAddress)))
        why = "its sender address is not one plain address";
    else if (const KeyRule* rule = BrokenKeyRule(d))
        why = rule->saveText;
    else if (strnlen(d.authUser, sizeof d.authUser) > kAuthTextMax ||
             strnlen(d.authPassword, sizeof d.authPassword) > kAuthTextMax)
        why = "its user name or password is longer than 255 characters";
    else if (StoredClearIsAmbiguous(d.authPassword) || StoredClearIsAmbiguous(d.oauth.clientSecret))
        why = "its password begins with \"dpapi:\", which this system would read as a protected password";
    else why = CheckDomainOAuth(d);
    if (!why) return true;
    SetError(error, errorSize, "Domain %d (%.60s) cannot be saved: %s.", i + 1, d.name, why);
    return false;
}

// The user folder as it will be written: with a final separator, and a
// single separator when empty.
void UserFolderWritten(char* out, size_t size) {
    const char* uf = relaySettings.UserFolder;
    size_t n = strlen(uf);
    const char sep[2] = {kDirSep, 0};
    snprintf(out, size, "%s%s", uf, (n == 0 || uf[n - 1] != kDirSep) ? sep : "");
}

bool CheckSettings(const char* userFolder, char* error, size_t errorSize) {
    const char* what = nullptr;
    if (strlen(userFolder) >= kUserFolderRead || strlen(userFolder) >= sizeof relaySettings.UserFolder)
        what = "UserFolder";
    else if (strlen(relaySettings.Badmails) >= kBadmailsRead) what = "Badmails";
    else if (strlen(relaySettings.LogName) >= kLogNameRead) what = "LogName";
    if (!what) return true;
    SetError(error, errorSize, "The %s setting is too long to be saved.", what);
    return false;
}

// The new file starts as a copy of the old one, so every key this save does
// not write (FlushLog, Debug, MaxMailSent, XToHeader, SMTPHelo, HideWin, the
// keys of the older layout, numbered keys past the new counts) stays. It is
// made private (the old file's passwords are copied into it, and the new
// ones written) and gets its final access only once it is complete.
bool CopyFile(const char* from, const char* to, char* error, size_t errorSize) {
    FILE* in = fopen(from, "rb");
    if (!in) {
        int e = LastErrno();
        FileStamp stamp;
        if (GetFileStamp(from, &stamp)) {
            SetError(error, errorSize, "Unable to read the configuration file '%s' (errno %d).", from, e);
            return false;
        }
        // No file yet: the save starts from an empty one.
    }
    int e = 0;
    FILE* out = CreatePrivateFile(to, &e);
    if (!out) {
        if (in) fclose(in);
        SetError(error, errorSize, "Unable to create '%s' (errno %d).", to, e);
        return false;
    }
    char buf[4096];
    size_t n;
    bool ok = true;
    while (in && ok && (n = fread(buf, 1, sizeof buf, in)) > 0) ok = fwrite(buf, 1, n, out) == n;
    if (in) {
        ok = !ferror(in) && ok;
        fclose(in);
    }
    ok = (fclose(out) == 0) && ok;
    if (!ok) SetError(error, errorSize, "Unable to copy the configuration file to '%s'.", to);
    return ok;
}

// Whether any line of the file gives a secret key (a row of type secret: its
// protected form counts too, since on Windows any account of the machine
// can unprotect it) a value, in any section
// (numbers past the domain count and hand-made copies count too). A file
// that cannot be read counts as holding one.
bool FileHoldsSecret(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return true;
    char line[4096];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        const char* p = line;
        while (IsBlank(*p)) p++;
        const char* eq = strchr(p, '=');
        if (*p == ';' || !eq) continue;
        const char* v = eq + 1;
        while (IsBlank(*v)) v++;
        bool hasValue = *v && *v != '\r' && *v != '\n';
        for (int id = 0; hasValue && id < kKeyCount; id++) {
            char base[48];
            KeyBaseName((KeyId)id, base, sizeof base);
            if (kKeyTable[id].type == kKeySecret && strncasecmp(p, base, strlen(base)) == 0) found = true;
        }
    }
    found = found || ferror(f);
    fclose(f);
    return found;
}

// Everything a save checks, before anything is written.
bool CheckAll(const DomainEntry* domains, int count, const MailboxRow* rows, int rowCount,
              char* error, size_t errorSize) {
    if (count < 0 || count > kMaxDomains || rowCount < 0 || rowCount > kMaxMailboxes) {
        SetError(error, errorSize, "At most %d domains and %d mailboxes can be saved.", kMaxDomains,
                 kMaxMailboxes);
        return false;
    }
    char userFolder[sizeof relaySettings.UserFolder + 2];
    UserFolderWritten(userFolder, sizeof userFolder);
    if (!CheckSettings(userFolder, error, errorSize)) return false;
    for (int i = 0; i < count; i++) {
        if (!CheckDomain(domains[i], i, error, errorSize)) return false;
        // A mailbox is tied to its domain by the name: with two equal names
        // it would be saved on the first, whichever the user chose.
        for (int j = 0; j < i; j++)
            if (strcmp(domains[j].name, domains[i].name) == 0) {
                SetError(error, errorSize,
                         "Domains %d and %d have the same name (%.60s): rename or remove one "
                         "of them with Edit Domains; nothing was saved.",
                         j + 1, i + 1, domains[i].name);
                return false;
            }
    }
    for (int r = 0; r < rowCount; r++)
        if (!CheckMailboxRow(rows[r], r, domains, count, userFolder, error, errorSize)) return false;

    return true;
}

// The security keys as this save writes them: per slot of the new table,
// and the protected form of a clear password left in a slot past the new
// count (the file keeps such slots; they must not keep a clear password
// where the system can protect it).
struct SecurityKeys {
    char password[kMaxDomains][kStoredPasswordMax];
    char leftover[kMaxDomains][kStoredPasswordMax];  // "" for nothing to rewrite
    char clientSecret[kMaxDomains][kStoredPasswordMax];  // OAuthClientSecret<n>, protected as a password
};

// Leaves no stored password behind in the writer's memory once a save ends.
struct WipeAtExit {
    SecurityKeys* keys;
    ~WipeAtExit() { memset(keys, 0, sizeof *keys); }
};

bool MakeSecurityKeys(const DomainEntry* domains, int count, const char* ini, SecurityKeys* keys,
                      char* error, size_t errorSize) {
    for (int i = 0; i < kMaxDomains; i++) keys->password[i][0] = keys->leftover[i][0] = keys->clientSecret[i][0] = 0;
    for (int i = 0; i < count; i++) {
        if (domains[i].oauth.clientSecret[0] &&
            !StoredPassword(domains[i].oauth.clientSecret, keys->clientSecret[i], sizeof keys->clientSecret[i])) {
            SetError(error, errorSize,
                     "The client secret of domain %d (%.60s) could not be protected; nothing was saved.", i + 1,
                     domains[i].name);
            return false;
        }
        if (!domains[i].authPassword[0]) continue;
        if (!StoredPassword(domains[i].authPassword, keys->password[i], sizeof keys->password[i])) {
            SetError(error, errorSize,
                     "The password of domain %d (%.60s) could not be protected; nothing was saved.", i + 1,
                     domains[i].name);
            return false;
        }
    }
    if (!SecretProtectionAvailable()) return true;
    for (int i = count; i < kMaxDomains; i++) {
        char key[32], value[kStoredPasswordMax], clear[kAuthTextMax + 1];
        KeyName(kKeyAuthPassword, i + 1, key, sizeof key);
        ProfileGetString(kSectionDomains, key, "", value, sizeof value, ini);
        bool clearText = value[0] && strncasecmp(value, kProtectedPrefix, sizeof kProtectedPrefix - 1) != 0;
        // One too long for the table stays as it is: the loader refuses it
        // anyway, and it is not this save's to cut.
        if (clearText && ReadStoredPassword(value, clear, sizeof clear) &&
            !StoredPassword(clear, keys->leftover[i], sizeof keys->leftover[i])) {
            SetError(error, errorSize, "The password of Domain%d could not be protected; nothing was saved.",
                     i + 1);
            memset(clear, 0, sizeof clear);
            return false;
        }
        memset(value, 0, sizeof value);
        memset(clear, 0, sizeof clear);
    }
    return true;
}

}  // namespace

void FormatTlsFingerprint(const unsigned char* pin, char* out, size_t size) {
    if (size == 0) return;
    out[0] = 0;
    for (size_t i = 0; i < kSha256Size && 2 * i + 2 < size; i++) snprintf(out + 2 * i, 3, "%02X", pin[i]);
}

const char* ApplySecurityFields(int security, const char* user, const char* password,
                                const char* fingerprint, const char* sender, int rewriteFrom,
                                DomainEntry* d) {
    if (strlen(user) > kAuthTextMax || strlen(password) > kAuthTextMax) return kAuthTextTooLong;
    // The fields go into a copy, checked by the loader's rules key by key in
    // the loader's order; the pending settings change only when all pass.
    DomainEntry c = *d;
    c.security = security == kSecurityStartTls || security == kSecurityTls ? security : kSecurityNone;
    snprintf(c.authUser, sizeof c.authUser, "%s", user);
    snprintf(c.authPassword, sizeof c.authPassword, "%s", password);
    const KeyRule* rule = BrokenKeyRule(c, kKeyAuthUser);
    if (rule) return rule->dialogText;
    c.hasPin = fingerprint[0] != 0;
    memset(c.tlsPin, 0, sizeof c.tlsPin);
    if (c.hasPin && !ParseTlsFingerprint(fingerprint, c.tlsPin)) return kBadFingerprint;
    if ((rule = BrokenKeyRule(c, kKeyTlsFingerprint))) return rule->dialogText;
    if (sender[0] && !IsPlausibleSenderAddress(sender)) return kBadSenderAddress;
    snprintf(c.senderAddress, sizeof c.senderAddress, "%s", sender);
    c.rewriteFrom = rewriteFrom ? 1 : 0;
    if ((rule = BrokenKeyRule(c)) != nullptr) return rule->dialogText;
    *d = c;
    memset(&c, 0, sizeof c);
    return nullptr;
}

bool CheckConfigurationCore(const DomainEntry* domains, int count, const MailboxRow* rows,
                            int rowCount, char* error, size_t errorSize) {
    SetError(error, errorSize, "%s", "");
    SettingsTextGuard guard;
    return CheckAll(domains, count, rows, rowCount, error, errorSize);
}

bool SaveConfigurationCore(const DomainEntry* domains, int count, const MailboxRow* rows,
                           int rowCount, char* error, size_t errorSize) {
    SetError(error, errorSize, "%s", "");
    const char* ini = hostSettings.iniPath;
    // The worker reads and reloads the settings' texts while this runs on
    // the window thread; a save takes a fraction of a second.
    SettingsTextGuard guard;

    // Everything is checked before anything is written.
    if (!CheckAll(domains, count, rows, rowCount, error, errorSize)) return false;
    char userFolder[sizeof relaySettings.UserFolder + 2];
    UserFolderWritten(userFolder, sizeof userFolder);
    static SecurityKeys keys;  // 40 KB: not on the window thread's stack
    WipeAtExit wipe{&keys};
    if (!MakeSecurityKeys(domains, count, ini, &keys, error, errorSize)) return false;

    // The whole new file is made beside the old one and then put in its
    // place in one step: the worker may reload at any moment, and it must
    // see either the old file or the new one, never a file half written.
    char tmp[sizeof hostSettings.iniPath + 8];
    snprintf(tmp, sizeof tmp, "%s.new", ini);
    RemoveFileErrno(tmp);  // a left-over of a save that was cut short
    if (!CopyFile(ini, tmp, error, errorSize)) {
        RemoveFileErrno(tmp);
        return false;
    }

    // Relative folders are appended to the user folder as they are, so it
    // must end in a separator; the setting itself takes it too.
    // (CheckAll made sure it fits.)
    snprintf(relaySettings.UserFolder, sizeof relaySettings.UserFolder, "%.*s",
             (int)sizeof relaySettings.UserFolder - 1, userFolder);

    // Unlike a key-by-key save into the live file, a failed write here is
    // seen: the old file then stays as it was and the user is told.
    bool ok = true;
    auto put = [&](const char* section, const char* key, const char* value) {
        ok = ProfileWriteString(section, key, value, tmp) && ok;
    };
    // A key by its row in the table: its section, and its name with the
    // domain's number.
    char key[48], value[120];
    auto putKey = [&](KeyId id, int n, const char* text) {
        KeyName(id, n, key, sizeof key);
        put(KeyOf(id).section, key, text);
    };
    auto putInt = [&](KeyId id, int number) {
        char digits[16];
        snprintf(digits, sizeof digits, "%d", number);
        putKey(id, 0, digits);
    };
    putKey(kKeyVersion, 0, kVersionWritten);
    putInt(kKeyLoopDelay, relaySettings.LoopDelay);
    putKey(kKeyUserFolder, 0, relaySettings.UserFolder);
    putInt(kKeyDomains, count);
    putKey(kKeyBadmails, 0, relaySettings.Badmails);
    putKey(kKeyLogName, 0, relaySettings.LogName);
    putInt(kKeyMailBoxes, rowCount);
    for (int i = 0; i < count; i++) {
        const int n = i + 1;
        putKey(kKeyDomain, n, domains[i].name);
        snprintf(value, sizeof value, "%s:%d", domains[i].host, (int)domains[i].port);
        putKey(kKeySMTPServer, n, value);
        // The security keys go with their domain's number: written when the
        // domain has them, removed from a slot whose domain has none (the
        // slot may have held another domain's before a removal), so a file
        // without them keeps exactly its lines.
        const DomainEntry& d = domains[i];
        char text[2 * kAuthTextMax + 8];
        putKey(kKeySecurity, n,
               d.security == kSecurityStartTls ? "starttls" : d.security == kSecurityTls ? "tls" : nullptr);
        QuotedIfNeeded(d.authUser, text, sizeof text);
        putKey(kKeyAuthUser, n, d.authUser[0] ? text : nullptr);
        putKey(kKeyAuthPassword, n, d.authPassword[0] ? keys.password[i] : nullptr);
        FormatTlsFingerprint(d.tlsPin, text, sizeof text);
        putKey(kKeyTlsFingerprint, n, d.hasPin ? text : nullptr);
        putKey(kKeySenderAddress, n, d.senderAddress[0] ? d.senderAddress : nullptr);
        putKey(kKeyRewriteFrom, n, d.rewriteFrom ? "1" : nullptr);
        OAuthKeyValue oauthKeys[kOAuthKeyCount];
        OAuthKeysToSave(d, oauthKeys);
        oauthKeys[kOAuthSecretKey].value = oauthKeys[kOAuthSecretKey].value ? keys.clientSecret[i] : nullptr;
        for (const OAuthKeyValue& k : oauthKeys) putKey(k.key, n, k.value);
    }
    for (int i = count; i < kMaxDomains; i++) {
        if (keys.leftover[i][0]) putKey(kKeyAuthPassword, i + 1, keys.leftover[i]);
    }
    for (int r = 0; r < rowCount; r++) {
        MailboxLine line;
        MakeMailboxLine(rows[r], domains, count, &line);
        if (line.defaulted) LogBoth("Error: invalid domain for user %d (used default)\r\n", r);
        KeyName(kKeyMailbox, r + 1, key, sizeof key);
        put(kSectionMailboxesWritten, key, line.text);
    }
    if (!ok) {
        RemoveFileErrno(tmp);
        SetError(error, errorSize, "Unable to write the new configuration file '%s'.", tmp);
        return false;
    }
    // The old file's access (its mode and owner, its security descriptor)
    // stays with the new one; a file with a password is kept private
    // whatever the old one allowed, since Save is where passwords land.
    if (int rc = SetFileAccessLike(tmp, ini, FileHoldsSecret(tmp))) {
        RemoveFileErrno(tmp);
        SetError(error, errorSize, "Unable to set the access of '%s' (errno %d).", tmp, rc);
        return false;
    }
    // The replaced file has a new stamp; the worker compares it to the
    // sub-second part and the size, so even a save within the second of
    // its last load is taken in at the next cycle.
    int rc = ReplaceFileErrno(tmp, ini);
    if (rc != 0) {
        RemoveFileErrno(tmp);
        SetError(error, errorSize, "Unable to replace the configuration file '%s' (errno %d).", ini, rc);
        return false;
    }
    return true;
}
