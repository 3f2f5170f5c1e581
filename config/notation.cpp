// Folder notation, server text and the row editors' checks (see notation.h).
#include "config/notation.h"

#include <cstdio>
#include <cstring>

#include "config/config_internal.h"
#include "platform/platform.h"

const char kAddChangeCaption[] = " ADD/CHANGE Error";
const char kEmptyDomainName[] = " Empty DomainName";
const char kEmptyServerName[] = " Empty server name";
const char kInvalidDomainName[] = " Invalid DomainName";
const char kDomainNameTooLong[] = " DomainName too long (at most 98 characters)";
const char kServerHostTooLong[] =
    " Server name too long (at most 79 characters before the ':', 241 in all)";
const char kEmptyUserName[] = " Empty UserName";
const char kEmptyFolderName[] = " Empty folder name";
const char kInvalidUserName[] = " Invalid UserName";
const char kSemicolonInUserName[] = " Invalid UserName: ';' is not allowed";
const char kSemicolonInFolder[] = " Invalid folder name: ';' is not allowed";
const char kMailboxTextTooLong[] =
    " Too long: the e-mail address may have at most 254 characters, the folder 241";
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
        // The user folder is skipped by its length alone. After a save that
        // changed UserFolder and before the reload, a stored path may even be
        // shorter than the new setting: then nothing is left, and nothing is
        // read past the end of the path.
        size_t skip = strlen(userFolder);
        size_t have = strlen(folder);
        snprintf(out, size, "%s%s", kUserFolderPrefix, folder + (skip < have ? skip : have));
    }
    DropTrailingSep(out);
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

const char* CheckDomainFields(const char* name, const char* server) {
    if (!name[0]) return kEmptyDomainName;
    if (!server[0]) return kEmptyServerName;
    if (strchr(name, '@')) return kInvalidDomainName;
    // The domain list is read back with room for 98 characters of a name and
    // a record holds 79 of a host: longer texts are refused here rather than
    // cut into a different domain or server when the Domains dialog closes.
    if (strlen(name) > kDomainNameMax) return kDomainNameTooLong;
    const char* colon = strchr(server, ':');
    size_t hostLength = colon ? (size_t)(colon - server) : strlen(server);
    if (hostLength > kDomainHostMax || strlen(server) > kServerFieldMax) return kServerHostTooLong;
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
