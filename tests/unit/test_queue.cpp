// What waits and what failed: the snapshot (tries, results, under concurrent
// cycles), the bad-mail list and retry, the retry lifetime, the notice mail
// and the log size limit, each with its keys absent as well.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "relay/queue.h"
#include "scripted_peer.h"

using namespace testsupport;

namespace {

std::atomic<int64_t> fakeNow{0};
int64_t FakeClock() { return fakeNow; }

class Queue : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        relayTimings.backoffSteps = 0;
        queueSettings = QueueSettings{};
        SetLogMaxKB(0);
        ResetNotices();
        RefreshQueueSnapshot();  // nothing configured yet: empties both lists
        fakeNow = time(nullptr);
        queueClock = FakeClock;
        for (const char* d : {"users/john", "users/shop", "bad"}) Mkdir(d);
    }
    void TearDown() override {
        queueClock = nullptr;
        queueProblemHook = nullptr;
        queueSettings = QueueSettings{};
        SetLogMaxKB(0);
        EngineTest::TearDown();
    }
    void WriteTree(uint16_t port, const std::string& extra = "") {
        WriteIni("[Ambrel]\nVersion=0.28\nLoopDelay=1\nUserFolder=" + dir + "/users/\nBadmails=" + dir +
                 "/bad\n" + extra + "Domains=1\nMailBoxes=2\n[Domains]\nDomain1=a.org\nSMTPServer1=127.0.0.1:" +
                 std::to_string(port) + "\n[MailBoxes]\nMailbox1=john;john;1\nMailbox2=dm:shop;shop;1\n");
    }
    void Drop(const std::string& box, const std::string& name, int64_t ageSeconds = 0) {
        std::string p = Path("users/" + box + "/" + name);
        WriteFile(p, "Return-path: <s@x.org>\nX-Envelope-To: <r@y.org>\n\nhello\n");
        if (ageSeconds) {
            struct utimbuf t;
            t.actime = t.modtime = (time_t)(fakeNow - ageSeconds);
            utime(p.c_str(), &t);
        }
    }
    QueueSnapshot Snap() {
        QueueSnapshot s;
        CopyQueueSnapshot(&s);
        return s;
    }
    const WaitingRow* Row(const QueueSnapshot& s, const std::string& file) {
        for (const WaitingRow& r : s.waiting)
            if (r.file == file) return &r;
        return nullptr;
    }
    std::string BadLog() { return ReadFile(Path("bad/badmail.log")); }
};

}  // namespace

TEST_F(Queue, SnapshotCountsTriesKeepsTheReplyAndListsBadMail) {
    // The first message is refused for good, the second for now.
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT#1", "550 5.1.1 no such user\r\n"}, {"RCPT", "451 4.3.0 busy\r\n"}});
    WriteTree(peer.port);
    Drop("john", "A.CNM");
    Drop("shop", "B.CNM");
    RunRelayCycle();
    RunRelayCycle();
    QueueSnapshot s = Snap();
    ASSERT_EQ(s.waiting.size(), 1u);
    const WaitingRow* b = Row(s, "B.CNM");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->mailbox, "dm:shop");
    EXPECT_EQ(b->folder, dir + "/users/shop/");
    EXPECT_EQ(b->tries, 2);
    EXPECT_EQ(b->result, "451 4.3.0 busy");
    EXPECT_FALSE(b->overdue) << "WarnAfterHours absent: nothing is late";
    ASSERT_EQ(s.badmail.size(), 1u);
    EXPECT_EQ(s.badmail[0].file, "A.CNM");
    EXPECT_EQ(s.badmail[0].folder, dir + "/users/john/");
    EXPECT_EQ(s.badmail[0].reason, "550 5.1.1 no such user");
    std::string log = BadLog();
    EXPECT_EQ(Count(log, "\tA.CNM\t" + dir + "/users/john/\t550 5.1.1 no such user\r\n"), 1u) << log;

    // Retry: back into its folder, its line marked, the list empty.
    std::vector<RetryResult> r = RetryBadmails({"A.CNM"});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].moved) << r[0].message;
    EXPECT_TRUE(fs::exists(Path("users/john/A.CNM")));
    EXPECT_FALSE(fs::exists(Path("bad/A.CNM")));
    EXPECT_EQ(Count(BadLog(), "\t550 5.1.1 no such user\tretried\r\n"), 1u) << BadLog();
    EXPECT_TRUE(Snap().badmail.empty());
}

TEST_F(Queue, RetryLeavesWhatCannotGoBack) {
    WriteTree(1);
    RunRelayCycle();
    // One from a folder no longer configured, one whose name is taken in
    // its folder, one that went back once already, one moved in right.
    WriteFile(Path("bad/OLD.CNM"), "x");
    WriteFile(Path("bad/TWIN.CNM"), "bad copy");
    WriteFile(Path("users/john/TWIN.CNM"), "new mail");
    WriteFile(Path("bad/OK.CNM"), "x");
    struct utimbuf old;
    old.actime = old.modtime = time(nullptr) - 10 * 86400;
    utime(Path("bad/OK.CNM").c_str(), &old);
    WriteFile(Path("bad/badmail.log"),
              "2026-01-01 10:00:00\tOLD.CNM\t" + dir + "/users/gone/\t550 x\r\n"
              "2026-01-01 10:00:01\tTWIN.CNM\t" + dir + "/users/john/\t550 y\r\n"
              "2026-01-01 10:00:02\tOK.CNM\t" + dir + "/users/shop/\t554 z\tretried\r\n"
              "2026-01-01 10:00:03\tOK.CNM\t" + dir + "/users/shop/\t554 again\r\n"
              "2026-01-01 10:00:04\tGONE.CNM\t" + dir + "/users/shop/\t550 w\r\n");
    std::vector<RetryResult> r = RetryBadmails({});  // all of the list
    ASSERT_EQ(r.size(), 3u) << "GONE.CNM is no longer in the folder";
    EXPECT_FALSE(r[0].moved);
    EXPECT_NE(r[0].message.find("is no longer configured"), std::string::npos) << r[0].message;
    EXPECT_FALSE(r[1].moved);
    EXPECT_NE(r[1].message.find("already holds a file of that name"), std::string::npos) << r[1].message;
    EXPECT_TRUE(r[2].moved);
    EXPECT_TRUE(fs::exists(Path("bad/OLD.CNM")));
    EXPECT_EQ(ReadFile(Path("users/john/TWIN.CNM")), "new mail");
    EXPECT_EQ(ReadFile(Path("bad/TWIN.CNM")), "bad copy");
    EXPECT_TRUE(fs::exists(Path("users/shop/OK.CNM")));
    struct stat st;
    ASSERT_EQ(stat(Path("users/shop/OK.CNM").c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, time(nullptr) - 3600) << "its waiting time starts again";
    std::string log = BadLog();
    EXPECT_NE(log.find("\t554 again\tretried\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\t550 x\r\n"), std::string::npos);
    EXPECT_EQ(Count(log, "\tretried\r\n"), 2u);

    // The window's request is run by the worker before its next cycle.
    RequestBadmailRetry({"OLD.CNM"});
    EXPECT_EQ(relayState.sendNow, 1);
    RunRelayCycle();
    QueueSnapshot s = Snap();
    EXPECT_EQ(s.retryGeneration, 1u);
    EXPECT_NE(s.retryMessages.find("OLD.CNM was not moved"), std::string::npos) << s.retryMessages;
}

TEST_F(Queue, SnapshotIsWholeWhileCyclesRun) {
    WriteTree(1);
    for (int i = 0; i < 20; i++) Drop(i % 2 ? "john" : "shop", "M" + std::to_string(i) + ".CNM");
    std::atomic<int> stop{0};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop) {
            QueueSnapshot s = Snap();
            for (const WaitingRow& r : s.waiting)
                if (r.folder != dir + "/users/john/" && r.folder != dir + "/users/shop/") bad++;
            if (s.waiting.size() > 20) bad++;
        }
    });
    for (int c = 0; c < 5; c++) RunRelayCycle();
    stop = 1;
    reader.join();
    EXPECT_EQ(bad, 0);
    QueueSnapshot s = Snap();
    EXPECT_EQ(s.waiting.size(), 20u);
    for (const WaitingRow& r : s.waiting) EXPECT_EQ(r.tries, 5) << r.file;
}

TEST_F(Queue, LifetimeGivesUpOnOldMailAndWarnsOfLateMail) {
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT", "451 4.3.0 busy\r\n"}});
    // Keys absent: a month-old message is tried for ever.
    WriteTree(peer.port);
    Drop("john", "OLD.CNM", 30 * 86400);
    RunRelayCycle();
    EXPECT_TRUE(fs::exists(Path("users/john/OLD.CNM")));
    EXPECT_FALSE(fs::exists(Path("bad/badmail.log")));
    EXPECT_FALSE(Snap().waiting[0].overdue);

    WriteTree(peer.port, "GiveUpAfterDays=3\nWarnAfterHours=2\n");
    Drop("john", "NEW.CNM", 3 * 3600);
    Drop("shop", "FRESH.CNM", 60);
    RunRelayCycle();
    EXPECT_NE(Window().find("GiveUpAfterDays: 3.\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("users/john/OLD.CNM")));
    EXPECT_TRUE(fs::exists(Path("bad/OLD.CNM")));
    EXPECT_NE(BadLog().find("\tOLD.CNM\t" + dir + "/users/john/\tnot delivered in 3 days: 451 4.3.0 busy\r\n"),
              std::string::npos)
        << BadLog();
    QueueSnapshot s = Snap();
    ASSERT_NE(Row(s, "NEW.CNM"), nullptr);
    EXPECT_TRUE(Row(s, "NEW.CNM")->overdue);
    ASSERT_NE(Row(s, "FRESH.CNM"), nullptr);
    EXPECT_FALSE(Row(s, "FRESH.CNM")->overdue);
    ASSERT_EQ(s.badmail.size(), 1u);
    EXPECT_EQ(s.badmail[0].reason, "not delivered in 3 days: 451 4.3.0 busy");
}

TEST_F(Queue, NoticeOncePerCycleNeverAboutItselfAndAtMostHourly) {
    // Recipients in the order the peer sees them: A (no notices yet), B,
    // the first notice, C within the hour, the second notice an hour later,
    // D, and the third notice, which is refused.
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT#1", "550 5.1.1 no such user\r\n"},
                       {"RCPT#2", "554 5.7.1 spam\r\n"},
                       {"RCPT#4", "550 5.1.1 nobody\r\n"},
                       {"RCPT#6", "550 5.1.1 gone\r\n"},
                       {"RCPT#7", "550 5.1.1 no admin\r\n"}});
    // Absent: bad mail but no notice.
    WriteTree(peer.port);
    Drop("john", "A.CNM");
    RunRelayCycle();
    EXPECT_TRUE(peer.Messages().empty());
    EXPECT_EQ(Window().find("otice"), std::string::npos);

    WriteTree(peer.port, "NoticeTo=admin@a.org\n");
    Drop("john", "B.CNM");
    RunRelayCycle();
    ASSERT_EQ(peer.Messages().size(), 1u) << Window();
    std::string m = peer.Messages()[0];
    EXPECT_NE(m.find("\r\nAuto-Submitted: auto-generated\r\n"), std::string::npos) << m;
    EXPECT_NE(m.find("\r\nMessage-ID: <"), std::string::npos);
    EXPECT_NE(m.find("\r\nDate: "), std::string::npos);
    EXPECT_NE(m.find("To: <admin@a.org>\r\n"), std::string::npos);
    EXPECT_NE(m.find("moved to bad mail: B.CNM from " + dir + "/users/john/ (mailbox john): 554 5.7.1 spam"),
              std::string::npos)
        << m;
    EXPECT_EQ(m.find("A.CNM"), std::string::npos) << "nothing from before NoticeTo was set";
    std::vector<std::string> cmds = peer.Commands();
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "MAIL FROM:<>\r\n"), cmds.end()) << "no SenderAddress: <>";
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "RCPT TO:<admin@a.org>\r\n"), cmds.end());

    // Within the hour another refusal waits; an hour later it goes alone.
    Drop("john", "C.CNM");
    fakeNow += 600;
    RunRelayCycle();
    EXPECT_EQ(peer.Messages().size(), 1u);
    fakeNow += 3600;
    RunRelayCycle();
    ASSERT_EQ(peer.Messages().size(), 2u);
    EXPECT_NE(peer.Messages()[1].find("C.CNM"), std::string::npos);
    EXPECT_EQ(peer.Messages()[1].find("B.CNM"), std::string::npos);

    // A refused notice is logged only, and never the subject of another.
    Drop("john", "D.CNM");
    fakeNow += 3601;
    RunRelayCycle();
    EXPECT_NE(Window().find("Notice to admin@a.org not sent: 550 5.1.1 no admin.\r\n"), std::string::npos)
        << Window();
    fakeNow += 7200;
    ClearCaptured();
    RunRelayCycle();
    EXPECT_EQ(Window().find("otice"), std::string::npos) << Window();
    EXPECT_EQ(peer.Messages().size(), 2u);
}

TEST_F(Queue, LogFileRotatesWhenOpenedKeepingFiveAndEveryLine) {
    std::string log = relaySettings.LogName;
    // Off: the file grows on.
    for (int i = 0; i < 8; i++) {
        OpenLogFile();
        LogToFile("%0400d\r\n", i);
        CloseLogFile();
    }
    EXPECT_FALSE(fs::exists(log + ".1"));
    fs::remove(log);

    WriteTree(1, "LogMaxKB=1\n");
    RunRelayCycle();
    fs::remove(log);
    for (int i = 0; i < 40; i++) {
        OpenLogFile();
        LogToFile("line %04d %0400d\r\n", i, 0);
        CloseLogFile();
    }
    EXPECT_FALSE(fs::exists(log + ".6"));
    std::string all;
    for (int n = 5; n >= 1; n--) {
        ASSERT_TRUE(fs::exists(log + "." + std::to_string(n))) << n;
        EXPECT_LE(fs::file_size(log + "." + std::to_string(n)), 1024u + 500u);
        all += ReadFile(log + "." + std::to_string(n));
    }
    all += ReadFile(log);
    // From the oldest kept line on, every line is there once and in order.
    size_t first = all.find("line ");
    ASSERT_NE(first, std::string::npos);
    int start = atoi(all.c_str() + first + 5);
    for (int i = start; i < 40; i++) {
        char want[32];
        snprintf(want, sizeof want, "line %04d ", i);
        EXPECT_EQ(Count(all, want), 1u) << want;
    }
    EXPECT_LT(start, 40 - 5 * 2) << "five full files are kept";
}

namespace {
std::vector<int> problems;
void RecordProblem(int kind, const char*) { problems.push_back(kind); }
}  // namespace

TEST_F(Queue, TrayHearsOncePerDomainPerCycleAndOfADownServerOnlyLate) {
    problems.clear();
    queueProblemHook = RecordProblem;
    // Unreachable: nothing at first, even over two cycles an hour apart
    // without WarnAfterHours; with it, once the hour has passed.
    WriteTree(1);
    Drop("john", "A.CNM");
    Drop("shop", "B.CNM");
    RunRelayCycle();
    fakeNow += 7200;
    RunRelayCycle();
    EXPECT_TRUE(problems.empty());
    WriteTree(1, "WarnAfterHours=1\n");
    RunRelayCycle();
    EXPECT_EQ(problems, std::vector<int>{kNoticeDomain}) << "down since the first cycle, two hours ago";

    // Two refusals in one pass: one balloon.
    problems.clear();
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT", "550 5.1.1 no\r\n"}});
    WriteTree(peer.port);
    RunRelayCycle();
    queueProblemHook = nullptr;
    EXPECT_EQ(problems, std::vector<int>{kNoticeBadmail});
    EXPECT_EQ(Snap().badmail.size(), 2u);
}

// The lists are filled before the cycle routes anything: while the worker
// waits on a server (here: one that has not greeted yet; in life a connect
// back-off of up to ten minutes), the waiting files and the bad mail show.
TEST_F(Queue, WaitingFilesShowWhileTheFirstSessionIsStillOpening) {
    QueueSnapshot during;
    const std::vector<PeerStep> session = {CallStep([&] { during = Snap(); }), SendStep("220 hi\r\n"), LineStep(),
                                           SendStep("250 hello\r\n"), LineStep(), SendStep("451 4.3.0 busy\r\n"),
                                           ServeStep()};
    ScriptedPeer peer(std::vector<std::vector<PeerStep>>{session});
    WriteTree(peer.port);
    Drop("john", "A.CNM");
    Drop("shop", "B.CNM");
    WriteFile(Path("bad/R.CNM"), "x\n");
    WriteFile(Path("bad/badmail.log"), "2026-01-02 03:04:05\tR.CNM\t" + dir + "/users/john/\t550 no\r\n");
    RunRelayCycle();
    EXPECT_NE(Row(during, "A.CNM"), nullptr);
    EXPECT_NE(Row(during, "B.CNM"), nullptr);
    EXPECT_EQ(during.badmail.size(), 1u);
}
