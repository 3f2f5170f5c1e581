// The worker's cycle against a scratch mailbox tree: passes in domain order,
// zero-size files, reloads when the INI changes, the loop delay with send-now,
// pause and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "scripted_peer.h"

using namespace testsupport;

namespace {

// Nothing listens on this loopback port, so every session open is refused at
// once and the file stays where it is.
const char kDeadServer[] = "127.0.0.1:1";

class Cycle : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        relayTimings.backoffSteps = 0;
        for (const char* m : {"a1", "a2", "b1", "b2"}) Mkdir(std::string("users/") + m);
    }
    // Two domains; the mailboxes of the second domain come first in the file.
    void WriteTwoDomains(int loopDelay = 1) {
        WriteIni("[Ambrel]\nVersion=0.28\nLoopDelay=" + std::to_string(loopDelay) + "\nUserFolder=" + dir +
                 "/users/\nDomains=2\nMailBoxes=4\n[Domains]\nDomain1=a.org\nSMTPServer1=" + kDeadServer +
                 "\nDomain2=b.org\nSMTPServer2=" + kDeadServer +
                 "\n[MailBoxes]\nMailbox1=b1;b1;2\nMailbox2=a1;a1;1\nMailbox3=b2;b2;2\nMailbox4=a2;a2;1\n");
    }
    void Drop(const std::string& box, const std::string& name, const std::string& body = "Subject: x\n\nhi\n") {
        WriteFile(Path("users/" + box + "/" + name), body);
    }
    // Runs the worker thread until it ends; the test sets stopRequested.
    void StartWorker() {
        relayState.stopRequested = 0;
        ASSERT_TRUE(StartThread(RelayWorker, nullptr));
        ASSERT_TRUE(WaitFor([] { return relayState.workerRunning == 1; }));
    }
    void StopWorker() {
        relayState.paused = 0;
        relayState.stopRequested = 1;
        ASSERT_TRUE(WaitFor([] { return relayState.workerRunning == 0; }));
    }
};

}  // namespace

TEST_F(Cycle, PassesFollowDomainOrderAndFilesStay) {
    WriteTwoDomains();
    Drop("b1", "B1.CNM");
    Drop("a2", "A2.cnm");  // the pattern matches without regard to case
    Drop("a1", "A1.CNM");
    Drop("a1", "notes.txt");
    RunRelayCycle();
    std::string w = Window();
    size_t a1 = w.find("Routing mail A1.CNM\r\n"), a2 = w.find("Routing mail A2.cnm\r\n"),
           b1 = w.find("Routing mail B1.CNM\r\n");
    ASSERT_NE(a1, std::string::npos) << w;
    ASSERT_NE(a2, std::string::npos);
    ASSERT_NE(b1, std::string::npos);
    EXPECT_LT(a1, a2);
    EXPECT_LT(a2, b1) << "all mailboxes of the first domain are scanned first";
    EXPECT_EQ(w.find("notes.txt"), std::string::npos);
    EXPECT_EQ(Count(w, "Communication Error: unable to open connection\r\n"), 3u);
    EXPECT_TRUE(fs::exists(Path("users/a1/A1.CNM")));
    EXPECT_TRUE(fs::exists(Path("users/b1/B1.CNM")));
    EXPECT_FALSE(LogFileIsOpen()) << "the log file is closed at the end of the cycle";
    std::string log = LogFileText();
    EXPECT_NE(log.find("Routing mail A1.CNM from a1\r\n"), std::string::npos);
}

TEST_F(Cycle, ZeroSizeFilesAreReportedEveryCycleAndLeftAlone) {
    WriteTwoDomains();
    Drop("a1", "EMPTY.CNM", "");
    Drop("a1", "FULL.CNM", std::string(300, 'x'));
    RunRelayCycle();
    RunRelayCycle();
    std::string w = Window();
    EXPECT_EQ(Count(w, "Mail EMPTY.CNM to a1@a.org has size of zero.\r\n"), 2u);
    EXPECT_EQ(Count(w, "Routing mail FULL.CNM\r\n"), 2u);
    EXPECT_EQ(w.find("Routing mail EMPTY.CNM"), std::string::npos);
    EXPECT_TRUE(fs::exists(Path("users/a1/EMPTY.CNM")));
    EXPECT_NE(LogFileText().find("Mail EMPTY.CNM from a1 to a1@a.org has size zero.\r\n"), std::string::npos);
}

TEST_F(Cycle, MailboxOfAnUnconfiguredDomainIsNeverScanned) {
    WriteTwoDomains();
    RunRelayCycle();
    mailboxTable[1].domainIndex = 7;  // a1 now points past the domain table
    Drop("a1", "LOST.CNM");
    ClearCaptured();
    RunRelayCycle();
    EXPECT_EQ(Window().find("LOST.CNM"), std::string::npos);
}

TEST_F(Cycle, ReloadOnlyWhenTheFileChanges) {
    WriteTwoDomains();
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "Updating AMBREL Config file (" + ini + ") ...\r\n"), 1u);
    EXPECT_NE(Window().find("AMBREL Config file Updated (delay: 1 sec)\r\n"), std::string::npos);
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "Updating AMBREL Config file"), 1u) << "unchanged file is not read again";

    // Rewritten at once with the same length: the stamp still differs.
    WriteTwoDomains(2);
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "Updating AMBREL Config file"), 2u);
    EXPECT_EQ(relaySettings.LoopDelay, 2);
    EXPECT_NE(LogFileText().find("AMBREL Config file Updated (delay: 2 sec)\r\n\r\n"), std::string::npos);
}

TEST_F(Cycle, StatusBarIsRefreshedAfterTheLoadAndAfterEveryPass) {
    static std::atomic<int> refreshes{0};
    refreshes = 0;
    uiHooks.updateStatusBar = [] { refreshes++; };
    WriteTwoDomains();
    RunRelayCycle();
    EXPECT_EQ(refreshes, 3) << "one for the load, one per domain pass (no mail found)";
    RunRelayCycle();
    EXPECT_EQ(refreshes, 5) << "unchanged file: only the passes";
    WriteIni("[Ambrel]\nVersion=0.28\nDomains=0\n");
    RunRelayCycle();
    EXPECT_EQ(refreshes, 5) << "a failed load has no domain to pass over";
}

TEST_F(Cycle, InvalidFileIsLoadedAgainEveryCycle) {
    WriteIni("[Ambrel]\nVersion=0.28\nDomains=0\n");
    RunRelayCycle();
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "AMBREL Invalid config file.\r\n"), 2u);
    EXPECT_NE(LogFileText().find("AMBREL Invalid config file.\r\n\r\n"), std::string::npos);
}

TEST_F(Cycle, MissingFileIsReportedEveryCycleAndNothingIsScanned) {
    WriteTwoDomains();
    Drop("a1", "A1.CNM");
    RunRelayCycle();
    auto stamp = fs::last_write_time(ini);
    fs::remove(ini);
    ClearCaptured();
    RunRelayCycle();
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "Error: Unable to find config file '" + ini + "'\r\n"), 2u);
    EXPECT_EQ(Window().find("Routing mail"), std::string::npos);
    EXPECT_EQ(mailboxCount, 0);

    // Back with its old stamp: loaded again and relayed from, not left with
    // an empty mailbox table.
    WriteTwoDomains();
    fs::last_write_time(ini, stamp);
    ClearCaptured();
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "Updating AMBREL Config file"), 1u);
    EXPECT_NE(Window().find("Routing mail A1.CNM\r\n"), std::string::npos) << Window();
}

TEST_F(Cycle, LoopDelayCountsAndSendNowEndsIt) {
    static std::atomic<int> loopUpdates{0}, served{0};
    loopUpdates = 0;
    served = 0;
    uiHooks.updateLoopStatus = [] { loopUpdates++; };
    uiHooks.sendNowServed = [] { served++; };
    WriteTwoDomains();
    ReloadConfigIfChanged();
    relaySettings.LoopDelay = 3;
    RunLoopDelay();
    EXPECT_EQ(loopUpdates, 3);
    EXPECT_EQ(relayState.loopSecond, 3);

    // A long delay ended by send-now: the request is taken at the next step.
    relaySettings.LoopDelay = 100000;
    relayTimings.loopSecondMs = 1;
    relayState.sendNow = 1;
    loopUpdates = 0;
    RunLoopDelay();
    EXPECT_EQ(loopUpdates, 1);
    EXPECT_EQ(served, 1);
    EXPECT_EQ(relayState.sendNow, 0);

    // A click on the re-enabled item (here, while the menu is being served)
    // is a new request for the next delay, not lost.
    uiHooks.sendNowServed = [] {
        served++;
        relayState.sendNow = 1;
    };
    relayState.sendNow = 1;
    RunLoopDelay();
    EXPECT_EQ(served, 2);
    EXPECT_EQ(relayState.sendNow, 1) << "the click after the re-enable is kept";
    relayState.sendNow = 0;

    // The delay is read again at every step: shortened from the Options
    // dialog, it ends at the new value.
    uiHooks.sendNowServed = nullptr;
    uiHooks.updateLoopStatus = [] {
        if (++loopUpdates == 2) relaySettings.LoopDelay = 3;
    };
    relaySettings.LoopDelay = 100000;
    loopUpdates = 0;
    RunLoopDelay();
    EXPECT_EQ(loopUpdates, 3);
    uiHooks.updateLoopStatus = [] { loopUpdates++; };

    // No configuration yet: the fixed wait, no countdown.
    relaySettings.LoopDelay = -1;
    loopUpdates = 0;
    RunLoopDelay();
    EXPECT_EQ(loopUpdates, 0);
    relaySettings.LoopDelay = 0;
    RunLoopDelay();
    EXPECT_EQ(loopUpdates, 0);

    // The last load failed and left a delay of 0: the fixed wait all the
    // same, not a cycle that reloads the file as fast as it can.
    WriteIni("[Ambrel]\nVersion=0.28\nLoopDelay=0\nDomains=0\n");
    ReloadConfigIfChanged();
    ASSERT_NE(Window().find("AMBREL Invalid config file.\r\n"), std::string::npos);
    relayTimings.noConfigWaitMs = 300;
    auto start = std::chrono::steady_clock::now();
    RunLoopDelay();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(Cycle, WatchedFoldersEndTheDelayOnNewMail) {
    // A real second per step: without the watch each delay below would last
    // two minutes, far past the waits of this test.
    relayTimings.loopSecondMs = 1000;
    auto load = [&](const std::string& keys) {
        WriteTwoDomains(120);
        std::string text = ReadFile(ini);
        text.replace(text.find("LoopDelay=120\n"), 14, "LoopDelay=120\n" + keys);
        WriteIni(text);
        ReloadConfigIfChanged();
    };
    std::atomic<int> ended{0};
    auto delay = [&] {
        ended = 0;
        std::thread t([&] {
            RunLoopDelay();
            ended = 1;
        });
        return t;
    };
    load("WatchFolders=1\n");
    ASSERT_EQ(relaySettings.WatchFolders, 1);
    fs::remove_all(Path("users/b2"));  // cannot be watched: reported, polled
    ClearCaptured();
    std::thread t = delay();
    ASSERT_TRUE(WaitFor([&] { return relayState.loopSecond >= 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Drop("a2", "NEW.CNM");
    EXPECT_TRUE(WaitFor([&] { return ended == 1; }, 5000)) << "a new message ends the delay";
    t.join();
    EXPECT_EQ(Count(Window(), "cannot be watched"), 1u) << Window();
    EXPECT_NE(Window().find("Folder " + Path("users/b2/") + " cannot be watched (error 2): polled every LoopDelay.\r\n"),
              std::string::npos)
        << Window();

    // The same load again: the watch stands, nothing is reported twice. A
    // file that waits (a server's 4xx) does not end the delay on its own.
    ClearCaptured();
    t = delay();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ended, 0);
    relayState.stopRequested = 1;  // a stop during the watch ends it at once
    EXPECT_TRUE(WaitFor([&] { return ended == 1; }, 1000));
    t.join();
    relayState.stopRequested = 0;
    EXPECT_EQ(Window().find("cannot be watched"), std::string::npos);

    // A reload follows the mailboxes: a folder made watchable is watched.
    fs::remove(Path("users/a2/NEW.CNM"));
    Mkdir("users/b2");
    load("WatchFolders=1\nFlushLog=0\n");
    t = delay();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    WriteFile(Path("users/b2/part.tmp"), "x");
    std::rename(Path("users/b2/part.tmp").c_str(), Path("users/b2/MOVED.CNM").c_str());
    EXPECT_TRUE(WaitFor([&] { return ended == 1; }, 5000)) << "a file renamed in ends the delay";
    t.join();
    fs::remove(Path("users/b2/MOVED.CNM"));

    // WatchFolders off: the delay is the design's, only send-now ends it.
    load("");
    t = delay();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Drop("a1", "LATE.CNM");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(ended, 0) << "no watch without the key";
    relayState.sendNow = 1;
    EXPECT_TRUE(WaitFor([&] { return ended == 1; }, 3000));
    t.join();
    StopFolderWatch();
}

TEST_F(Cycle, EachPassTalksOnlyToItsDomainsServer) {
    ScriptedPeer serverA(std::map<std::string, std::string>{}), serverB(std::map<std::string, std::string>{});
    WriteIni("[Ambrel]\nVersion=0.28\nLoopDelay=1\nUserFolder=" + dir +
             "/users/\nDomains=2\nMailBoxes=2\n[Domains]\nDomain1=a.org\nSMTPServer1=127.0.0.1:" +
             std::to_string(serverA.port) + "\nDomain2=b.org\nSMTPServer2=127.0.0.1:" + std::to_string(serverB.port) +
             "\n[MailBoxes]\nMailbox1=b1;b1;2\nMailbox2=a1;a1;1\n");
    Drop("a1", "A.CNM", "Subject: for a\n\na\n");
    Drop("b1", "B.CNM", "Subject: for b\n\nb\n");
    RunRelayCycle();
    std::vector<std::string> a = serverA.Messages(), b = serverB.Messages();
    ASSERT_EQ(a.size(), 1u) << Window();
    ASSERT_EQ(b.size(), 1u) << Window();
    EXPECT_EQ(a[0], "Subject: for a\r\n\r\na\r\n\r\n.\r\n");
    EXPECT_EQ(b[0], "Subject: for b\r\n\r\nb\r\n\r\n.\r\n");
    EXPECT_EQ(serverA.Connections(), 1);
    EXPECT_EQ(serverB.Connections(), 1);
    EXPECT_FALSE(fs::exists(Path("users/a1/A.CNM")));
    EXPECT_FALSE(fs::exists(Path("users/b1/B.CNM")));
}

TEST_F(Cycle, PauseHoldsTheNextCycleButAStopEndsIt) {
    WriteTwoDomains();
    Drop("a1", "A1.CNM");
    relayState.paused = 1;
    StartWorker();
    ASSERT_TRUE(WaitFor([this] { return Count(Window(), "AMBREL Config file Updated") == 1; }));
    ASSERT_TRUE(WaitFor([this] { return Count(Window(), "Routing mail A1.CNM") == 1; }));
    // Paused after the first cycle: no second one comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Count(Window(), "Routing mail A1.CNM"), 1);
    EXPECT_EQ(relayState.workerRunning, 1);
    // The shutdown waits for the worker, so a stop ends the pause wait too.
    relayState.stopRequested = 1;
    ASSERT_TRUE(WaitFor([] { return relayState.workerRunning == 0; }));
    relayState.paused = 0;
}

TEST_F(Cycle, AStopEndsThePassAfterTheFileInHand) {
    // The shutdown asks for the stop while the worker routes a file; the
    // rest of the pass must not try (and fail) to connect for every file left.
    WriteTwoDomains();
    Drop("a1", "A1.CNM");
    Drop("a1", "A3.CNM");
    Drop("a2", "A2.CNM");
    Drop("b1", "B1.CNM");
    uiHooks.windowTextAdded = [](const char* piece) {
        CapturePiece(piece);
        if (strncmp(piece, "Routing mail", 12) == 0) relayState.stopRequested = 1;
    };
    RunRelayCycle();
    EXPECT_EQ(Count(Window(), "Routing mail"), 1) << Window();
    EXPECT_EQ(Count(Window(), "Error in connect"), 1) << Window();
    static std::atomic<int> countdown{0};
    countdown = 0;
    uiHooks.updateLoopStatus = [] { countdown++; };
    relaySettings.LoopDelay = 30;
    RunLoopDelay();  // ends at once: no countdown
    EXPECT_EQ(countdown, 0);
}

TEST_F(Cycle, WorkerRunsCyclesUntilStopped) {
    WriteTwoDomains(1);
    Drop("a1", "A1.CNM");
    StartWorker();
    ASSERT_TRUE(WaitFor([this] { return Count(Window(), "Routing mail A1.CNM") >= 3; }));
    StopWorker();
    EXPECT_TRUE(fs::exists(Path("users/a1/A1.CNM")));
}
