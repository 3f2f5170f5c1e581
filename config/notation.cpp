// Folder notation, server text and the row editors' checks (see notation.h).
#include "config/notation.h"

#include <cstdio>
#include <cstring>

#include "config/config_internal.h"
#include "config/keys.h"
#include "platform/platform.h"

const char kAddChangeCaption[] = " ADD/CHANGE Error";
const char kEmptyDomainName[] = " Empty DomainName";
const char kEmptyServerName[] = " Empty server name";
const char kInvalidDomainName[] = " Invalid DomainName";
const char kDomainNameTooLong[] = " DomainName too long (at most 98 characters)";
const char kServerHostTooLong[] =
    " Server name too long (at most 78 characters with the ':' and the port)";
const char kDomainNameTaken[] =
    " DomainName already in the list (mailboxes could not tell the two apart)";
const char kDeletedMark[] = "~DELETED";
const char kEmptyUserName[] = " Empty UserName";
const char kEmptyFolderName[] = " Empty folder name";
const char kInvalidUserName[] = " Invalid UserName";
const char kSemicolonInUserName[] = " Invalid UserName: ';' is not allowed";
const char kSemicolonInFolder[] = " Invalid folder name: ';' is not allowed";
const char kMailboxTextTooLong[] =
    " Too long: the e-mail address may have at most 255 characters, the folder 241";
const char kMailboxPathTooLong[] =
    " Folder path too long (at most 121 characters with the user folder)";
const char kNonAtPathSeparator[] = " Non @-path cann't contain '\\'";

namespace {
constexpr size_t kPrefixLength = 13;  // strlen("<UserFolder\\>")
constexpr size_t kServerFieldMax = 241;

void DropTrailingSep(char* text) {
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == kDirSep) text[n - 1] = 0;
}
}  // namespace

void FormatFolderColumn(const char* folder, bool absolute, const char* userFolder, char* out,
                        size_t size) {
    if (absolute) {
        snprintf(out, size, "@%s", folder);
    } else {
        // The part below the user folder is what the file holds. A path that
        // does not begin with that folder (it cannot come from a load) is
        // shown whole as an absolute folder: the mailbox keeps the folder it
        // has, never a cut-off text that names another one.
        size_t skip = strlen(userFolder);
        if (strncmp(folder, userFolder, skip) == 0)
            snprintf(out, size, "%s%s", kUserFolderPrefix, folder + skip);
        else
            snprintf(out, size, "@%s", folder);
    }
    DropTrailingSep(out);
}

void LoadedMailboxColumns(const LoadedConfig& loaded, int i, char* user, char* email,
                          char* folder, size_t size) {
    const MailboxEntry& m = loaded.mailboxes[i];
    snprintf(user, size, "%s", m.user ? m.user : "");
    snprintf(email, size, "%s", m.email ? m.email : "");
    FormatFolderColumn(m.folder ? m.folder : "", m.absolute != 0, loaded.userFolder, folder, size);
}

void FolderFieldFromColumn(const char* column, char* out, size_t size) {
    if (column[0] == '@') {
        snprintf(out, size, "%s", column);
        return;
    }
    size_t n = strlen(column);
    snprintf(out, size, "%s", column + (n < kPrefixLength ? n : kPrefixLength));
}

const char* WantedDomain(const char* text) {
    if (!text) return nullptr;
    const char* at = strchr(text, '@');
    return at ? at + 1 : text;
}

int FindDomainChoice(const DomainEntry* records, int count, const char* wanted) {
    int found = -1;
    if (!wanted) return found;
    for (int i = 0; i < count; i++)
        if (strcmp(records[i].name, wanted) == 0) found = i;
    return found;
}

bool AddressDomainKnown(const char* email, const DomainEntry* records, int count) {
    const char* at = strchr(email, '@');
    if (!at) return false;
    for (int i = 0; i < count; i++)
        if (strcmp(records[i].name, at + 1) == 0) return true;
    return false;
}

void RemoveDomainRecord(DomainEntry* records, int count, int k) {
    for (int i = k; i + 1 < count; i++) records[i] = records[i + 1];
}

bool ParseServerText(const char* text, char* host, size_t hostSize, uint16_t* port) {
    const char* colon = strchr(text, ':');
    size_t hostLength = colon ? (size_t)(colon - text) : strlen(text);
    if (hostSize == 0 || hostLength >= hostSize) return false;
    memcpy(host, text, hostLength);
    host[hostLength] = 0;
    *port = 25;
    if (!colon) return true;
    // Read as the loader reads it: the low 16 bits of the decimal number
    // (which wraps instead of overflowing), 25 when there is none.
    int value;
    if (ParseDecimal(colon + 1, &value, nullptr)) *port = (uint16_t)((unsigned)value & 0xFFFFu);
    return true;
}

const char* CheckDomainFields(const char* name, const char* server, const char* const* others,
                              int otherCount) {
    if (!name[0]) return kEmptyDomainName;
    if (!server[0]) return kEmptyServerName;
    if (strchr(name, '@')) return kInvalidDomainName;
    // The domain list is read back with room for 98 characters of a name and
    // a record holds 79 of a host: longer texts are refused here rather than
    // cut into a different domain or server when the Domains dialog closes.
    if (strlen(name) > KeyOf(kKeyDomain).maxLength) return kDomainNameTooLong;
    const char* colon = strchr(server, ':');
    size_t hostLength = colon ? (size_t)(colon - server) : strlen(server);
    if (hostLength > kDomainHostMax || strlen(server) > kServerFieldMax) return kServerHostTooLong;
    // Save writes "host:port" and the loader reads it with room for 78
    // characters: the limit is the one of the saved text.
    char host[kDomainHostMax + 1];
    uint16_t port = 25;
    if (!ParseServerText(server, host, sizeof host, &port)) return kServerHostTooLong;
    char saved[kDomainHostMax + 16];
    if ((size_t)snprintf(saved, sizeof saved, "%s:%u", host, (unsigned)port) > KeyOf(kKeySMTPServer).maxLength)
        return kServerHostTooLong;
    // A mailbox names its domain by name only: two equal names would send
    // its mail through whichever one a later step happens to pick.
    if (strcmp(name, kDeletedMark) != 0)
        for (int i = 0; i < otherCount; i++)
            if (others[i] && strcmp(others[i], name) == 0) return kDomainNameTaken;
    return nullptr;
}

const char* MakeMailboxRow(const char* name, const char* folderField, const char* domain,
                           char* folderColumn, size_t folderSize, char* email,
                           size_t emailSize) {
    if (!name[0]) return kEmptyUserName;
    if (!folderField[0]) return kEmptyFolderName;
    if (strchr(name, '@')) return kInvalidUserName;
    // The saved line joins user, folder and domain number with ';' and the
    // loader splits it there: a ';' in either text would read back as a
    // different mailbox, so it is refused here.
    if (strchr(name, ';')) return kSemicolonInUserName;
    if (strchr(folderField, ';')) return kSemicolonInFolder;
    // The dialogs read a column back with room for 254 characters; longer
    // texts are refused instead of being cut when the row is read.
    if (strlen(folderField) > kFolderFieldMax ||
        strlen(name) + 1 + strlen(domain) > kColumnTextMax)
        return kMailboxTextTooLong;

    char field[kFolderFieldMax + 1];
    snprintf(field, sizeof field, "%s", folderField);
    DropTrailingSep(field);
    if (field[0] == '@') {
        snprintf(folderColumn, folderSize, "%s", field);
    } else {
        if (strchr(field, kDirSep)) return kNonAtPathSeparator;
        snprintf(folderColumn, folderSize, "%s%s", kUserFolderPrefix, field);
    }
    snprintf(email, emailSize, "%s@%s", name, domain);
    return nullptr;
}

const char* CheckMailboxFolderPath(const char* folderColumn, const char* userFolder) {
    // The loader refuses a folder path (with its final separator) longer
    // than a directory search can take; Save refuses it for that reason, so
    // the editor does too, where the folder is typed.
    size_t path;
    if (folderColumn[0] == '@') {
        path = strlen(folderColumn) - 1;
    } else {
        size_t uf = strlen(userFolder);
        if (uf == 0 || userFolder[uf - 1] != kDirSep) uf++;
        size_t column = strlen(folderColumn);
        path = uf + (column > kPrefixLength ? column - kPrefixLength : 0);
    }
    return path + 1 > kMailboxFolderMax ? kMailboxPathTooLong : nullptr;
}
