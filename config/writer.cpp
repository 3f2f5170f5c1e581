// Writing the configuration back to the INI file, always in the current
// layout, from the settings, the domain records and the mailbox rows that the
// Options dialog holds.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "config_internal.h"
#include "log/log.h"
#include "platform/platform.h"

// "<UserFolder" + separator + ">": 13 characters.
const char kUserFolderPrefix[] = {'<', 'U', 's', 'e', 'r', 'F', 'o', 'l', 'd', 'e', 'r', kDirSep, '>', 0};

namespace {

constexpr size_t kPrefixLength = 13;
// The writer spells the section so; names match without regard to case, so
// the loader's "MailBoxes" reads it.
const char kSectionMailboxesWritten[] = "Mailboxes";
const char kVersionWritten[] = "0.28";

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

bool CheckDomain(const DomainEntry& d, int i, char* error, size_t errorSize) {
    char server[120];
    snprintf(server, sizeof server, "%s:%d", d.host, (int)d.port);
    const char* why = nullptr;
    if (!d.name[0]) why = "it has no name";
    else if (HasOuterBlank(d.name) || IsBlank(d.host[0])) why = "its name or host has blanks at an end";
    else if (strlen(d.name) >= kDomainNameRead) why = "its name is too long";
    else if (strchr(d.host, ':')) why = "its host holds a ':'";
    else if (strlen(server) >= kServerRead) why = "its host and port are too long";
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
// keys of the older layout, numbered keys past the new counts) stays.
bool CopyFile(const char* from, const char* to, char* error, size_t errorSize) {
    FILE* in = fopen(from, "rb");
    if (!in) {
        int e = LastErrno();
        FileStamp stamp;
        if (!GetFileStamp(from, &stamp)) return true;  // no file yet: the save creates it
        SetError(error, errorSize, "Unable to read the configuration file '%s' (errno %d).", from, e);
        return false;
    }
    FILE* out = fopen(to, "wb");
    if (!out) {
        int e = LastErrno();
        fclose(in);
        SetError(error, errorSize, "Unable to create '%s' (errno %d).", to, e);
        return false;
    }
    char buf[4096];
    size_t n;
    bool ok = true;
    while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0) ok = fwrite(buf, 1, n, out) == n;
    ok = !ferror(in) && ok;
    fclose(in);
    ok = (fclose(out) == 0) && ok;
    if (!ok) SetError(error, errorSize, "Unable to copy the configuration file to '%s'.", to);
    return ok;
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

}  // namespace

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
    char number[16];
    auto put = [&](const char* section, const char* key, const char* value) {
        ok = ProfileWriteString(section, key, value, tmp) && ok;
    };
    auto putInt = [&](const char* section, const char* key, int value) {
        snprintf(number, sizeof number, "%d", value);
        put(section, key, number);
    };
    put(kSectionProduct, "Version", kVersionWritten);
    putInt(kSectionProduct, "LoopDelay", relaySettings.LoopDelay);
    put(kSectionProduct, "UserFolder", relaySettings.UserFolder);
    putInt(kSectionProduct, "Domains", count);
    put(kSectionProduct, "Badmails", relaySettings.Badmails);
    put(kSectionProduct, "LogName", relaySettings.LogName);
    putInt(kSectionProduct, "MailBoxes", rowCount);
    char key[32], value[120];
    for (int i = 0; i < count; i++) {
        snprintf(key, sizeof key, "Domain%d", i + 1);
        put(kSectionDomains, key, domains[i].name);
        snprintf(key, sizeof key, "SMTPServer%d", i + 1);
        snprintf(value, sizeof value, "%s:%d", domains[i].host, (int)domains[i].port);
        put(kSectionDomains, key, value);
    }
    for (int r = 0; r < rowCount; r++) {
        MailboxLine line;
        MakeMailboxLine(rows[r], domains, count, &line);
        if (line.defaulted) LogBoth("Error: invalid domain for user %d (used default)\r\n", r);
        snprintf(key, sizeof key, "Mailbox%d", r + 1);
        put(kSectionMailboxesWritten, key, line.text);
    }
    if (!ok) {
        RemoveFileErrno(tmp);
        SetError(error, errorSize, "Unable to write the new configuration file '%s'.", tmp);
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
