// Pieces shared by the two loaders (and their tests).
#pragma once

#include <cstddef>

bool ParseDecimal(const char* s, int* value, const char** end);
void ParseMailboxLine(const char* line, char* user, size_t userSize, char* folder,
                      size_t folderSize, int* domainNumber);
void SwitchLogNameIfChanged(const char* logName);
// Builds, checks and adds one mailbox row with its messages; true when added.
bool AddMailboxChecked(int row, int keyNumber, const char* user, const char* folderText,
                       const char* domainName, int domainIndex);

// Buffers the current-layout loader reads its texts with: a value keeps at
// most one character less. The writer refuses what these would cut.
constexpr size_t kDomainNameRead = 99;
constexpr size_t kServerRead = 79;
constexpr size_t kMailboxLineRead = 511;
constexpr size_t kUserFolderRead = 259;
constexpr size_t kBadmailsRead = 119;
constexpr size_t kLogNameRead = 199;
