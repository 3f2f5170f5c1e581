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

bool SameStamp(const FileStamp& a, const FileStamp& b) {
    return a.seconds == b.seconds && a.nanos == b.nanos && a.size == b.size;
}

void ScanMailbox(int index) {
    const MailboxEntry& m = mailboxTable[index];
    char pattern[kSearchPatternMax + 1];
    // Folders that cannot take the pattern are refused at load time.
    if ((size_t)snprintf(pattern, sizeof pattern, "%s*.CNM", m.folder) >= sizeof pattern) return;
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
}  // namespace

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
    if (configLoaded && SameStamp(configStamp, now)) return;

    OpenLogFile();
    LogToWindow("Updating AMBREL Config file (%s) ...\r\n", hostSettings.iniPath);
    LogToFile("Updating AMBREL Config file (%s) ...\r\n", hostSettings.iniPath);
    if (LoadConfiguration()) {
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
    relaySession.pendingCount = 0;
    relaySession.securityFailedDomain = 0;
    relayState.sessionFailed = 0;
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
    for (relayState.loopSecond = 0;
         relayState.loopSecond < relaySettings.LoopDelay && !relayState.stopRequested;
         relayState.loopSecond++) {
        if (relayState.sendNow) {
            relayState.loopSecond = relaySettings.LoopDelay.load();
            // The request is taken before "&Send NOW" is enabled again: a
            // click on the re-enabled item must start a new request, not be
            // wiped out here (the item would stay greyed with none pending).
            relayState.sendNow = 0;
            if (uiHooks.sendNowServed) uiHooks.sendNowServed();
        } else {
            SleepMs(relayTimings.loopSecondMs);
        }
        UpdateLoopStatus();
    }
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

unsigned RelayWorker(void*) {
    BeginWorker();
    while (!relayState.stopRequested) {
        RunRelayCycle();
        RunLoopDelay();
        WaitWhilePaused();
    }
    relayState.workerRunning = 0;
    return 0;
}
