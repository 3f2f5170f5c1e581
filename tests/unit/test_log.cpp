// The log sinks: window text trimming, the log file and its header, the
// debug and flush switches, the lock between threads, socket error reports
// and the shutdown sequence.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <cctype>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "host/shutdown.h"
#include "test_support.h"

using namespace testsupport;

namespace {

class LogSinks : public EngineTest {
protected:
    std::string WindowText() const {
        char buf[kLogWindowSize + 16];
        CopyLogWindowText(buf, sizeof buf);
        return buf;
    }
    // Fills the window text with exactly `size` characters; the only line feed
    // is at `lfAt` (none when negative).
    void FillWindow(size_t size, long lfAt) {
        ClearLogWindowText();
        std::string text(size, 'a');
        if (lfAt >= 0) text[(size_t)lfAt] = '\n';
        for (size_t i = 0; i < size; i += 400) LogToWindow("%s", text.substr(i, 400).c_str());
        ASSERT_EQ(WindowText().size(), size);
    }
};

}  // namespace

TEST_F(LogSinks, WindowTextIsTrimmedFromTheFrontAbove2900) {
    FillWindow(2900, 200);
    LogToWindow("new\r\n");
    EXPECT_EQ(WindowText().size(), 2905u) << "exactly 2900 characters: nothing is dropped";

    FillWindow(2901, 200);
    LogToWindow("new\r\n");
    std::string t = WindowText();
    EXPECT_EQ(t.size(), 2901u - 200u + 5u);
    EXPECT_EQ(t[0], '\n') << "the kept text starts with the line feed";

    FillWindow(2901, 149);  // a line feed before index 150 does not count
    LogToWindow("x");
    EXPECT_EQ(WindowText().size(), 2901u - 150u + 1u);

    FillWindow(2901, 150);  // one exactly at index 150 does
    LogToWindow("x");
    EXPECT_EQ(WindowText().size(), 2901u - 150u + 1u);
    EXPECT_EQ(WindowText()[0], '\n');
}

TEST_F(LogSinks, WindowPiecesAreCutAndTheBufferNeverOverflows) {
    std::string big(2000, 'b');
    LogToWindow("%s", big.c_str());
    EXPECT_EQ(WindowText().size(), kLogLineSize - 1) << "a piece longer than 511 characters is cut";

    // A full window plus a long piece with no line feed at all still fits.
    FillWindow(2900, -1);
    for (int i = 0; i < 20; i++) {
        LogToWindow("%s", big.c_str());
        EXPECT_LT(WindowText().size(), kLogWindowSize);
    }
    FillWindow(2901, 2890);  // the first trim keeps too much for a 511-character piece
    LogToWindow("%s", big.c_str());
    EXPECT_LT(WindowText().size(), kLogWindowSize);
    EXPECT_EQ(WindowText().substr(WindowText().size() - 511), big.substr(0, 511));
}

TEST_F(LogSinks, ClearEmptiesTheWindow) {
    LogToWindow("one\r\n");
    ClearLogWindowText();
    LogToWindow("%s", "");
    EXPECT_EQ(WindowText(), "");
    LogToWindow("two\r\n");
    EXPECT_EQ(WindowText(), "two\r\n");
}

TEST_F(LogSinks, LogFileHeaderAndWhatGetsWritten) {
    LogToFile("dropped while closed\r\n");
    relaySettings.Debug = 0;
    OpenLogFile();
    OpenLogFile();  // already open: no second header
    LogToFile("plain %d\r\n", 1);
    LogDebugToFile("debug off\r\n");
    relaySettings.Debug = 1;
    LogDebugToFile("debug on\r\n");
    CloseLogFile();
    CloseLogFile();
    OpenLogFile();  // every opening adds a header
    CloseLogFile();
    std::string text = LogFileText();
    // "- Ver: 0.28 -------- dd.mm. yyyy, HH:MM -----------------------\r\n"
    const std::string shape = "- Ver: " AMBREL_VERSION " -------- 99.99. 9999, 99:99 -----------------------\r\n";
    ASSERT_GE(text.size(), shape.size());
    for (size_t i = 0; i < shape.size(); i++) {
        if (shape[i] == '9') EXPECT_TRUE(isdigit((unsigned char)text[i])) << text;
        else EXPECT_EQ(text[i], shape[i]) << i;
    }
    // Day first, then month, then the four-digit year: the local time now.
    auto localNow = [](long shift) {
        time_t t = time(nullptr) + shift;
        struct tm tmv;
        localtime_r(&t, &tmv);
        char date[60];
        strftime(date, sizeof date, "%d.%m. %Y, %H:%M", &tmv);
        return std::string(date);
    };
    std::string date = text.substr(21, 18);
    EXPECT_TRUE(date == localNow(0) || date == localNow(-60)) << date << " / " << localNow(0);
    EXPECT_EQ(Count(text, "- Ver: " AMBREL_VERSION), 2u);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_EQ(text.find("debug off"), std::string::npos);
    EXPECT_NE(text.find("plain 1\r\ndebug on\r\n"), std::string::npos);
    EXPECT_EQ(text.rfind("- Ver: " AMBREL_VERSION, 0), 0u) << "a new file starts with the header";
}

TEST_F(LogSinks, FlushLogPutsEveryLineOnDiskAtOnce) {
    relaySettings.FlushLog = 1;
    OpenLogFile();
    LogToFile("now\r\n");
    EXPECT_NE(LogFileText().find("now\r\n"), std::string::npos);
    CloseLogFile();
}

TEST_F(LogSinks, UnopenableLogFileIsReportedInTheWindow) {
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%s/no/such/folder.log", dir.c_str());
    OpenLogFile();
    EXPECT_FALSE(LogFileIsOpen());
    EXPECT_EQ(Window(), "ERROR Opening LogFile: 2 (unknown)\r\n");
    LogToFile("lost\r\n");  // no crash, nothing written
}

TEST_F(LogSinks, LinesOfTwoThreadsNeverInterleave) {
    OpenLogFile();
    auto writer = [](char tag) {
        std::string line(300, tag);
        for (int i = 0; i < 300; i++) {
            LogBoth("%s\r\n", line.c_str());
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    CloseLogFile();
    for (const std::string& text : {LogFileText(), Window()}) {
        size_t start = text.find("\r\n") + 2;  // after the header (file) or first line
        for (size_t p = start; p + 302 <= text.size(); p += 302) {
            std::string line = text.substr(p, 300);
            ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << "mixed line at " << p;
            ASSERT_EQ(text.substr(p + 300, 2), "\r\n");
        }
    }
}

TEST(SocketErrors, NamesAndReports) {
    EXPECT_STREQ(SocketErrorName(10061), "WSAECONNREFUSED");
    EXPECT_STREQ(SocketErrorName(10035), "WSAEWOULDBLOCK");
    EXPECT_STREQ(SocketErrorName(10093), "WSANOTINITIALISED");
    EXPECT_STREQ(SocketErrorName(10004), "WSAEINTR");
    for (int code : {0, 2, 11001, 10053}) EXPECT_STREQ(SocketErrorName(code), "unknown");
}

TEST_F(LogSinks, SocketErrorReportAndBox) {
    static std::string boxText, boxCaption;
    boxText.clear();
    uiHooks.alertBox = [](const char* text, const char* caption) {
        boxText = text;
        boxCaption = caption;
    };
    ReportSocketError(1, 0, "Error cleaning WinSock");
    EXPECT_EQ(Window(), "");
    EXPECT_EQ(boxText, "");

    // A refused connect leaves 10061 as the last socket error.
    SockHandle s = SockCreateTcp();
    ASSERT_NE(s, kNoSocket);
    uint32_t addr;
    ASSERT_TRUE(SockResolveIPv4("127.0.0.1", &addr));
    ASSERT_FALSE(SockConnect(s, addr, 1));
    SockClose(s);
    ReportSocketError(1, -1, "Error cleaning WinSock");
    EXPECT_EQ(Window(), "\r\nSOCKET ERROR: Error cleaning WinSock: 10061 (WSAECONNREFUSED)\r\n");
    EXPECT_EQ(boxText, "Error cleaning WinSock: 10061 (WSAECONNREFUSED)");
    EXPECT_EQ(boxCaption, "TCPIP Error");
}

TEST_F(LogSinks, ShutdownActsOnlyOnWhatIsStillHeld) {
    static int uiCalls = 0;
    uiCalls = 0;
    shutdownHostUi = [] { uiCalls++; };
    relayState.socketLibraryStarted = 1;
    relayState.relaySocket = SockCreateTcp();
    OpenLogFile();
    ShutdownResources();
    EXPECT_EQ(relayState.stopRequested, 1) << "asked even before the worker marks itself running";
    EXPECT_EQ(relayState.cancelBackoff, 1);
    EXPECT_EQ(relayState.relaySocket, kNoSocket);
    EXPECT_EQ(relayState.socketLibraryStarted, 0);
    EXPECT_FALSE(LogFileIsOpen());
    ShutdownResources();
    EXPECT_EQ(Window(), "") << "nothing failed, nothing reported";
    EXPECT_EQ(uiCalls, 2);
    shutdownHostUi = nullptr;
}

TEST_F(LogSinks, ShutdownWaitsForTheWorkerBeforeTheSocketLibraryAndLogFile) {
    // A worker that takes a while to notice the stop, and writes its last
    // line on the way out: the socket library and the log file must still
    // be there, and that line must reach the file.
    relayState.socketLibraryStarted = 1;
    relayState.workerRunning = 1;
    std::atomic<int> libraryWhenDone{-1};
    std::thread worker([&] {
        while (!relayState.stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        OpenLogFile();
        LogToFile("last line\r\n");
        libraryWhenDone = relayState.socketLibraryStarted.load();
        relayState.workerRunning = 0;
    });
    ShutdownResources();
    worker.join();
    EXPECT_EQ(libraryWhenDone, 1);
    EXPECT_EQ(relayState.socketLibraryStarted, 0);
    EXPECT_FALSE(LogFileIsOpen());
    EXPECT_TRUE(ReadFile(relaySettings.LogName).ends_with("last line\r\n"));

    // A worker that never ends holds the shutdown only for the bounded wait.
    relayState.workerRunning = 1;
    relayState.socketLibraryStarted = 1;
    auto t0 = std::chrono::steady_clock::now();
    ShutdownResources();
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(kWorkerStopWaitMs));
    EXPECT_EQ(relayState.socketLibraryStarted, 0);
    relayState.workerRunning = 0;
}

// The event kinds and the message table the Windows program is built with
// must name the same IDs: a kind whose ID is missing from the table shows in
// Event Viewer as "description cannot be found" again, and a category out of
// step shows the wrong name.
TEST(EventKinds, MatchTheMessageTable) {
    FILE* mc = fopen(AMBREL_SOURCE_DIR "/resources/events.mc", "rb");
    ASSERT_NE(mc, nullptr);
    std::map<std::string, int> ids;  // SymbolicName -> MessageId
    std::map<int, std::string> texts;
    char line[256];
    int id = -1;
    bool inText = false;
    while (fgets(line, sizeof line, mc)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        if (inText) {
            if (l == ".") inText = false;
            else texts[id] += l;
        } else if (l.rfind("MessageId=", 0) == 0) {
            id = atoi(l.c_str() + 10);
        } else if (l.rfind("SymbolicName=", 0) == 0) {
            ids[l.substr(13)] = id;
        } else if (l.rfind("Language=", 0) == 0) {
            inText = true;
        }
    }
    fclose(mc);
    std::set<int> eventIds, categories;
    for (int k = 0; k < kEventKindCount; k++) {
        const EventKindInfo& info = EventKindOf(static_cast<EventKind>(k));
        SCOPED_TRACE(info.symbol);
        EXPECT_EQ(ids[std::string("AMBREL_EVENT_") + info.symbol], info.eventId);
        EXPECT_EQ(ids[std::string("AMBREL_CATEGORY_") + info.symbol], info.category);
        // Today's text is the whole entry: one insertion string, no line break added.
        EXPECT_EQ(texts[info.eventId], "%1%0");
        EXPECT_TRUE(info.type == 'I' || info.type == 'W' || info.type == 'E');
        eventIds.insert(info.eventId);
        categories.insert(info.category);
    }
    EXPECT_EQ(eventIds.size(), (size_t)kEventKindCount);
    // Categories are numbered 1..CategoryCount, as the registration says.
    EXPECT_EQ(categories.size(), (size_t)kEventKindCount);
    EXPECT_EQ(*categories.begin(), 1);
    EXPECT_EQ(*categories.rbegin(), kEventKindCount);
    EXPECT_EQ(ids.size(), 2u * kEventKindCount);
    // The kinds of the service keep their types: Event Viewer filters by them.
    EXPECT_EQ(EventKindOf(EventKind::Start).type, 'I');
    EXPECT_EQ(EventKindOf(EventKind::UnknownControl).type, 'W');
    EXPECT_EQ(EventKindOf(EventKind::StopWaiting).type, 'E');
    EXPECT_EQ(EventKindOf(EventKind::BadMail).type, 'W');
}
