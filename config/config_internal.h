// Pieces shared by the two loaders (and their tests).
#pragma once

#include <cstddef>

#include "config/config.h"

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

// Test hook: called once per load between the domain and the mailbox
// section (a save may land exactly there).
extern void (*loadBetweenSectionsHook)();

// A load is made in a copy of the tables (worker thread only) and put in
// place whole at its end (config.cpp).
DomainEntry& StageDomain(int index);
void SetStageDomainCount(int count);
// Starts the copy from the tables in force: what a load does not touch
// stays as it was.
void StageFromLoaded();
// The outcome of the load made in the copy; LoadConfiguration puts the copy
// in place once it knows the file did not change meanwhile. A count below
// 0 keeps the mailbox rows in force.
void FinishStage(bool succeeded, int skippedLines, int mailboxCount);
// Loads the domain section into the copy; true when at least one domain
// was loaded.
bool LoadDomainSection();
// The user folder the mailbox paths of this load are built from: a relative
// one is made absolute against the working folder of the first load.
void FixStageUserFolder();
