// Pieces shared by the two loaders (and their tests).
#pragma once

#include <cstddef>

bool ParseDecimal(const char* s, int* value, const char** end);
void ParseMailboxLine(const char* line, char* user, size_t userSize, char* folder,
                      size_t folderSize, int* domainNumber);
void SwitchLogNameIfChanged(const char* logName);
void AppendSepIfMissing(char* text, size_t size);
// Builds, checks and adds one mailbox row with its messages; true when added.
bool AddMailboxChecked(int row, int keyNumber, const char* user, const char* folderText,
                       const char* domainName, int domainIndex);
