// The worker thread: reload the configuration when it changed, one pass per
// domain over its mailboxes, end the session of each pass, wait, repeat.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "queue.h"
#include "relay.h"

RelayState relayState;
RelayTimings relayTimings;

namespace {
// Stamp of the INI file at the last successful load; `loaded` false means
// nothing loaded yet or the last load failed. Seconds, sub-second part and
// size all count, so a save within the same second as the last load (or one
// that restores an older file) is still seen as a change.
bool configLoaded = false;
FileStamp configStamp;
// False until a load succeeds and again after a load fails; a missing file
// leaves it as it was (the tables last loaded stay in force).
bool configInForce = false;

// The folder watch (WatchFolders=1), made for the mailboxes of one load;
// `watchFor` is the load it was made for.
FolderWatch* folderWatch = nullptr;
int loadCount = 0;
int watchFor = -1;

void ScanMailbox(int index) {
    const MailboxEntry& m = mailboxTable[index];
    char pattern[kSearchPatternMax + 1];
    if (!MailboxPattern(index, pattern, sizeof pattern)) return;
    FindEntry entry;
    void* search = FindFirstEntry(pattern, &entry);
    if (!search) return;
    do {
        OpenLogFile();
        if (entry.sizeLow != 0) {
            LogToWindow("Routing mail %s\r\n", entry.name);
            LogToFile("Routing mail %s from %s\r\n", entry.name, m.user);
            RouteMessage(index, entry.name);
        } else {
            LogToWindow("Mail %s to %s has size of zero.\r\n", entry.name, m.email);
            LogToFile("Mail %s from %s to %s has size zero.\r\n", entry.name, m.user, m.email);
        }
        // A stop request ends the pass: the shutdown waits for the worker.
    } while (!relayState.stopRequested && FindNextEntry(search, &entry));
    FindCloseSearch(search);
}
// Whether a mailbox folder holds a message file: a change in a folder may
// be another file's, or our own deletion.
bool MailWaiting() {
    for (int i = 0; i < mailboxCount; i++) {
        char pattern[kSearchPatternMax + 1];
        if (!MailboxPattern(i, pattern, sizeof pattern)) continue;
        FindEntry entry;
        void* search = FindFirstEntry(pattern, &entry);
        if (!search) continue;
        FindCloseSearch(search);
        return true;
    }
    return false;
}

// Builds the watch for the mailboxes of the load in force, or drops it when
// WatchFolders is off. A folder that cannot be watched is reported once per
// load and polled by the loop delay, as without the watch.
void UpdateFolderWatch() {
    if (!relaySettings.WatchFolders) {
        StopFolderWatch();
        return;
    }
    if (folderWatch && watchFor == loadCount) return;
    StopFolderWatch();
    watchFor = loadCount;
    folderWatch = WatchCreate();
    // The delay runs with the log file closed: it is opened for a report.
    if (!folderWatch) {
        int err = LastErrno();
        OpenLogFile();
        LogBoth("Folder watch unavailable (error %d): mailboxes polled every LoopDelay.\r\n", err);
        CloseLogFile();
        return;
    }
    bool reported = false;
    for (int i = 0; i < mailboxCount; i++) {
        int err = 0;
        if (WatchAddFolder(folderWatch, mailboxTable[i].folder, &err)) continue;
        if (!reported) OpenLogFile();
        reported = true;
        LogBoth("Folder %s cannot be watched (error %d): polled every LoopDelay.\r\n", mailboxTable[i].folder, err);
    }
    if (reported) CloseLogFile();
}

// One second of the loop delay with the watch: true when new mail ended it.
// The wait runs in short steps so that a stop or "Send NOW" is seen at once.
// A burst of files is let settle into one cycle: the cycle starts after a
// quarter second without news (a single file leaves at once), or after 3
// seconds of a steady stream.
bool WatchOneSecond() {
    constexpr int kStepMs = 100, kSettleMs = 250, kSettleMaxMs = 3000;
    for (int waited = 0; waited < relayTimings.loopSecondMs; waited += kStepMs) {
        if (relayState.stopRequested || relayState.sendNow) return false;
        int step = relayTimings.loopSecondMs - waited < kStepMs ? relayTimings.loopSecondMs - waited : kStepMs;
        if (!WatchWait(folderWatch, step)) continue;
        int64_t settleEnd = SteadyMs() + kSettleMaxMs;
        while (SteadyMs() < settleEnd && !relayState.stopRequested && WatchWait(folderWatch, kSettleMs)) {
        }
        if (MailWaiting()) return true;
    }
    return false;
}
}  // namespace

void StopFolderWatch() {
    WatchDestroy(folderWatch);
    folderWatch = nullptr;
    watchFor = -1;
}

void ResetConfigStamp() {
    configLoaded = false;
    configInForce = false;
}

void ReloadConfigIfChanged() {
    FileStamp now;
    if (!GetFileStamp(hostSettings.iniPath, &now)) {
        LogToWindow("Error: Unable to find config file '%s'\r\n", hostSettings.iniPath);
        ForgetLoadedMailboxes();
        // The mailbox table is gone, so the file must be loaded again when it
        // comes back, even with its old stamp (moved away and back, a share
        // that was briefly unreachable); otherwise nothing would be relayed
        // until someone edits it.
        configLoaded = false;
        return;
    }
    if (configLoaded && SameFileStamp(configStamp, now)) return;

    OpenLogFile();
    LogToWindow("Updating AMBREL Config file (%s) ...\r\n", hostSettings.iniPath);
    LogToFile("Updating AMBREL Config file (%s) ...\r\n", hostSettings.iniPath);
    if (LoadConfiguration()) {
        loadCount++;
        LoadQueueSettings();
        configStamp = now;
        configLoaded = true;
        configInForce = true;
        int delay = relaySettings.LoopDelay;
        LogToWindow("AMBREL Config file Updated (delay: %d sec)\r\n", delay);
        LogToFile("AMBREL Config file Updated (delay: %d sec)\r\n\r\n", delay);
        UpdateStatusBar();
    } else {
        configLoaded = false;
        configInForce = false;
        LogToWindow("AMBREL Invalid config file.\r\n");
        LogToFile("AMBREL Invalid config file.\r\n\r\n");
    }
}

void RunRelayCycle() {
    ReloadConfigIfChanged();
    BeginQueueCycle();
    // What waits is shown before any of it is routed: a server that is down
    // holds the worker in its connect back-off for up to ten minutes, and
    // that is just when the administrator looks at the queue.
    RefreshQueueSnapshot();
    relaySession.pendingCount = 0;
    relaySession.heldDomain = 0;
    relaySession.ending = SessionEnding::kEndNone;
    relayState.passDomain = 0;
    for (; relayState.passDomain < domainCount && !relayState.stopRequested; relayState.passDomain++) {
        for (relayState.currentMailbox = 0;
             relayState.currentMailbox < mailboxCount && !relayState.stopRequested;
             relayState.currentMailbox++) {
            int i = relayState.currentMailbox;
            if (mailboxTable[i].domainIndex != relayState.passDomain) continue;
            ScanMailbox(i);
            PublishMailboxQueue(i);
            SleepMs(relayTimings.mailboxScanMs);
        }
        CloseSession();
        UpdateStatusBar();
    }
    FinishQueueCycle();
    SendCycleNotice();
    CloseLogFile();
}

void RunLoopDelay() {
    RunConnectBackoff();
    // With no configuration in force (never loaded, or the last load failed)
    // the fixed wait applies whatever LoopDelay holds: a failed load may have
    // left it at 0 or below, and a cycle without a delay would reload the
    // file and fill the log as fast as the machine allows. It runs in short
    // steps, so that a stop request does not wait for its end.
    if (relaySettings.LoopDelay == -1 || !configInForce) {
        for (int waited = 0; waited < relayTimings.noConfigWaitMs && !relayState.stopRequested; waited += 100)
            SleepMs(relayTimings.noConfigWaitMs - waited < 100 ? relayTimings.noConfigWaitMs - waited : 100);
        return;
    }
    UpdateFolderWatch();
    for (relayState.loopSecond = 0;
         relayState.loopSecond < relaySettings.LoopDelay && !relayState.stopRequested;
         relayState.loopSecond++) {
        if (folderWatch && !relayState.sendNow && WatchOneSecond()) {
            // New mail ends the delay as "Send NOW" does; the menu item is
            // the user's and stays as it is.
            relayState.loopSecond = relaySettings.LoopDelay.load();
        } else if (relayState.sendNow) {
            relayState.loopSecond = relaySettings.LoopDelay.load();
            // The request is taken before "&Send NOW" is enabled again: a
            // click on the re-enabled item must start a new request, not be
            // wiped out here (the item would stay greyed with none pending).
            relayState.sendNow = 0;
            if (uiHooks.sendNowServed) uiHooks.sendNowServed();
        } else if (!folderWatch) {
            SleepMs(relayTimings.loopSecondMs);
        }
        UpdateLoopStatus();
    }
}

void RunConnectBackoff() {
    if (!relaySession.backoffDue) return;
    relaySession.backoffDue = 0;
    for (int i = 0; i < relayTimings.backoffSteps && !relayState.cancelBackoff && !relayState.stopRequested; i++)
        SleepMs(relayTimings.backoffStepMs);
}

void RequestSendNow() {
    relayState.sendNow = 1;
    relayState.cancelBackoff = 1;
}

void WaitWhilePaused() {
    while (relayState.paused && !relayState.stopRequested) SleepMs(relayTimings.pauseStepMs);
}

void BeginWorker() {
    relayState.workerRunning = 1;
    SleepMs(relayTimings.workerStartMs);
    char logName[200];
    SettingsTextGuard guard;
    ProfileGetString(kSectionProduct, "LogName", relaySettings.LogName, logName, 199,
                     hostSettings.iniPath);
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%s", logName);
}

void RunWorkerLoop(long cycles) {
    BeginWorker();
    for (long done = 0; !relayState.stopRequested;) {
        RunRelayCycle();
        if (++done == cycles) break;
        RunLoopDelay();
        WaitWhilePaused();
    }
    StopFolderWatch();
    relayState.workerRunning = 0;
}

unsigned RelayWorker(void*) {
    RunWorkerLoop(0);
    return 0;
}
