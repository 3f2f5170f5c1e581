// The texts that the configuration dialogs show and edit, taken apart and
// put together without any window: the folder column of the mailbox list,
// the "host:port" server text of the domain list, and the checks of the two
// row editors. Shared by the dialogs (Windows) and the native tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "config/config_internal.h"

// Longest text the dialogs read back from a list column: a loaded address
// may have 255 characters, and a column keeps it whole.
constexpr size_t kColumnTextMax = kMailboxTextMax;
// Longest domain name the domain list keeps: the loader's (the Domain<n>
// row of the table of keys).
constexpr size_t kDomainNameMax = kDomainNameRead - 1;
// Longest relay host a domain record holds.
constexpr size_t kDomainHostMax = sizeof(DomainEntry::host) - 1;
// Longest Folder field of the mailbox editor: the prefix and the field must
// fit a column.
constexpr size_t kFolderFieldMax = 241;

// Folder column of a loaded mailbox: "@" + path for an absolute folder, else
// the prefix + the path below `userFolder`, which must be the user folder
// the load built the path from (LoadedConfig::userFolder), not the setting
// as it stands now. One trailing separator is dropped.
void FormatFolderColumn(const char* folder, bool absolute, const char* userFolder, char* out,
                        size_t size);

// The three column texts of loaded mailbox `i` (always terminated).
void LoadedMailboxColumns(const LoadedConfig& loaded, int i, char* user, char* email,
                          char* folder, size_t size);

// Folder field of the mailbox editor from a folder column: the whole text
// when it begins with "@", otherwise what follows the 13-character prefix.
void FolderFieldFromColumn(const char* column, char* out, size_t size);

// The domain named by an address or a bare domain name: the text after the
// first "@", or the whole text without one. Null for a null text.
const char* WantedDomain(const char* text);

// Index of the record whose name equals `wanted` (whole, case-sensitive; a
// later equal name wins), or -1.
int FindDomainChoice(const DomainEntry* records, int count, const char* wanted);

// True when the address has an "@" and the text after it names one of the
// records (whole, case-sensitive).
bool AddressDomainKnown(const char* email, const DomainEntry* records, int count);

// Removes record k of count: later records move down one place, the last
// place keeps its old contents (the count is the caller's).
void RemoveDomainRecord(DomainEntry* records, int count, int k);

// Server text of the domain list into host and port: the host is the text
// before the first colon (all of it without one); the port is the number
// after that colon taken to its low 16 bits, or 25 when none follows.
// False (host untouched) when the host does not fit hostSize - 1 characters.
bool ParseServerText(const char* text, char* host, size_t hostSize, uint16_t* port);

// Checks of the ChangeDomain fields, in the order the user sees them; the
// message-box text of the first failure, or null when the fields are fine.
// `others` are the names of the other rows of the list (rows marked for
// removal included; the mark itself may repeat).
const char* CheckDomainFields(const char* name, const char* server,
                              const char* const* others = nullptr, int otherCount = 0);

// The mark of a domain row that Close removes.
extern const char kDeletedMark[];  // "~DELETED"

// Checks of the ChangeUser fields and the folder column they make. `domain`
// is the chosen domain name ("" when there is none). On success the folder
// column is in `folderColumn` and the address in `email`; otherwise the
// message-box text of the first failure is returned.
const char* MakeMailboxRow(const char* name, const char* folderField, const char* domain,
                           char* folderColumn, size_t folderSize, char* email,
                           size_t emailSize);

// The folder path a row made by MakeMailboxRow names once saved and loaded
// again, checked against what a mailbox folder may hold: null when it fits,
// else the refusal text. `userFolder` is the user folder as the Options
// dialog holds it (Save adds a missing final separator).
const char* CheckMailboxFolderPath(const char* folderColumn, const char* userFolder);

// The caption and texts of the editors' refusal boxes.
extern const char kAddChangeCaption[];     // " ADD/CHANGE Error"
extern const char kEmptyDomainName[];      // " Empty DomainName"
extern const char kEmptyServerName[];      // " Empty server name"
extern const char kInvalidDomainName[];    // " Invalid DomainName"
extern const char kDomainNameTooLong[];
extern const char kServerHostTooLong[];
extern const char kDomainNameTaken[];
extern const char kEmptyUserName[];        // " Empty UserName"
extern const char kEmptyFolderName[];      // " Empty folder name"
extern const char kInvalidUserName[];      // " Invalid UserName"
extern const char kSemicolonInUserName[];
extern const char kSemicolonInFolder[];
extern const char kMailboxTextTooLong[];
extern const char kMailboxPathTooLong[];
extern const char kNonAtPathSeparator[];   // " Non @-path cann't contain '\\'"
