// The SMTP client against a scripted peer: the reply parser, replies in
// chunks, the window and file lines of a session byte for byte, the message
// text on the wire, session ends, failed starts, silence and early close.
#include <gtest/gtest.h>

#include <thread>

#include "host/shutdown.h"
#include "scripted_peer.h"
#include "tests/wire_text.h"

using namespace testsupport;

namespace {

struct ParseCase {
    const char* name;
    std::string input;
    int replyCode, moreLines, replyDone;
};

const ParseCase kParseCases[] = {
    {"single line", "250 ok\r\n", 250, 0, 1},
    {"continuation then final", "250-first\r\n250 last\r\n", 250, 0, 1},
    {"continuation alone", "220-first\r\n", 0, 1, 0},
    {"code alone is a final line", "250\r\n", 250, 0, 1},
    {"continuation then code alone", "250-a\r\n221\r\n", 221, 0, 1},
    {"code, CR, then text", "250\rx\r\n", 0, 1, 0},
    {"code, CR CR LF", "250\r\r\n", 0, 1, 0},
    {"split after the blank", "250 ", 250, 0, 0},
    {"letter in the code", "25x ok\r\n", 0, 1, 0},
    {"text line then final line", "hello\r\n354 go\r\n", 354, 0, 1},
    {"bare LF does not end a line", "250-a\n250 b\r\n", 0, 1, 0},
    {"CR CR LF ends a line", "\r\r\n250 b\r\n", 250, 0, 1},
    {"final code replaces a continuation's", "550-no\r\n250 yes\r\n", 250, 0, 1},
    {"four digits", "2500 x\r\n", 0, 1, 0},
    {"high bytes", "\xff\xfe\x80\r\n", 0, 1, 0},
    {"NUL in a line", std::string("2\0" "0 x\r\n", 7), 0, 1, 0},
    {"final line then more", "221 bye\r\n999 x\r\n", 221, 0, 1},
};

}  // namespace

TEST(ReplyParser, EdgeCases) {
    for (const ParseCase& c : kParseCases) {
        ResetReplyParser();
        for (char ch : c.input) {
            if (relaySession.parser.replyDone) break;  // as the reader stops
            FeedReplyChar(ch);
        }
        const ReplyParser& p = relaySession.parser;
        EXPECT_EQ(p.replyCode, c.replyCode) << c.name;
        EXPECT_EQ(p.moreLines, c.moreLines) << c.name;
        EXPECT_EQ(p.replyDone, c.replyDone) << c.name;
    }
}

TEST(ReplyParser, StateCarriesAcrossChunksAtEveryCut) {
    const std::string reply = "250-one\r\n250-two\r\n250 three\r\n";
    for (size_t cut = 0; cut <= reply.size(); cut++) {
        ResetReplyParser();
        for (char ch : reply.substr(0, cut)) FeedReplyChar(ch);
        for (char ch : reply.substr(cut)) FeedReplyChar(ch);
        EXPECT_EQ(relaySession.parser.replyCode, 250) << cut;
        EXPECT_EQ(relaySession.parser.replyDone, 1) << cut;
    }
}

// ---- ReadReply over a real connection ---------------------------------------

namespace {

// The step whose reply is the code asked for.
SmtpStep StepFor(int expected) {
    switch (expected) {
    case 220: return SmtpStep::kGreeting;
    case 354: return SmtpStep::kData;
    case 221: return SmtpStep::kQuit;
    default: return SmtpStep::kMail;
    }
}
int Read(int expected) { return ReadReply(StepFor(expected)).code; }
// The read's step failed: not the whole reply it expects.
int ReadFailed() { return !ReplyIs(relaySession.reply, relaySession.step); }
int Refused() { return ClassifyReply(relaySession.step, relaySession.reply) == Fate::kRefused; }
int Lost() { return relaySession.ending == SessionEnding::kEndDrop; }

struct ChunkCase {
    const char* name;
    std::vector<PeerStep> steps;
    int expected;         // code asked for
    int result;           // code returned
    std::string window;   // window text the read adds
    int failed;           // the step failed
    int permanent;        // the message refused
};

}  // namespace

class Reading : public RelayTest {};

TEST_F(Reading, ChunksSilenceAndEarlyClose) {
    const std::string longLine = "220-" + std::string(600, 'x') + "\r\n";
    const std::vector<ChunkCase> cases = {
        {"two-line greeting in two chunks",
         {SendStep("220-first\r\n"), PauseStep(80), SendStep("220 second\r\n")},
         220, 220, "<- 220-first\r\n<- 220 second\r\n", 0, 0},
        {"final line split after the blank: read to its CR LF",
         {SendStep("250 "), PauseStep(80), SendStep("rest\r\n")},
         250, 250, "<- 250 <- rest\r\n", 0, 0},
        {"rest of the chunk after the reply is kept for the next read",
         {SendStep("250 ok\r\n354 extra\r\n")}, 250, 250, "<- 250 ok\r\n354 extra\r\n", 0, 0},
        {"251 is not 250",
         {SendStep("251 forwarded\r\n")}, 250, 251,
         "<- 251 forwarded\r\nCode detected: 251\r\n   Error: Bad SMTP status 251 received\r\n", 1, 0},
        {"550 is permanent",
         {SendStep("550 no such user\r\n")}, 250, 550,
         "<- 550 no such user\r\nCode detected: 550\r\n   Error: Bad SMTP status 550 received\r\n", 1, 1},
        {"code alone, CR LF split off",
         {SendStep("250\r"), PauseStep(80), SendStep("\n"), HoldStep()}, 250, 250, "<- 250\r<- \n", 0, 0},
        {"silent server", {HoldStep()}, 220, 0, " TIMEOUT in read !!!\r\n", 1, 0},
        {"early close ends the read at once", {SendStep("220-first\r\n"), CloseStep()}, 220, 0,
         "<- 220-first\r\n. TIMEOUT in read !!!\r\n", 1, 0},
        {"long reply in one chunk: shown cut, parsed whole",
         {SendStep(longLine + "220 ok\r\n")}, 220, 220, "<- " + longLine.substr(0, kChunkShown), 0, 0},
    };
    for (const ChunkCase& c : cases) {
        ScriptedPeer peer(std::vector<std::vector<PeerStep>>{c.steps});
        ConnectRaw(peer.port);
        ClearCaptured();
        EXPECT_EQ(Read(c.expected), c.result) << c.name;
        EXPECT_EQ(Window(), c.window) << c.name;
        EXPECT_EQ(ReadFailed(), c.failed) << c.name;
        EXPECT_EQ(Refused(), c.permanent) << c.name;
        CloseRelay();
    }
}

TEST_F(Reading, ReceiveErrorReturnsMinusOneAndDropsTheConnection) {
    relayState.relaySocket = kNoSocket;  // a receive on no socket fails at once
    EXPECT_EQ(Read(250), -1);
    EXPECT_EQ(Window(), "\r\n Error in read: 10009 (WSAEBADF)\r\n");
    EXPECT_EQ(Lost(), 1);
    EXPECT_EQ(Refused(), 0) << "the message stays";
}

TEST_F(Reading, ShutdownWakesAReadBlockedOnTheConnection) {
    ScriptedPeer peer(std::vector<std::vector<PeerStep>>{{HoldStep()}});
    relayTimings.replyTimeoutMs = 60000;
    ConnectRaw(peer.port);
    std::atomic<int> result{1};
    // As the worker: the shutdown closes the socket only after it let go.
    relayState.workerRunning = 1;
    std::thread reader([&] {
        result = Read(250);
        relayState.workerRunning = 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ShutdownResources();
    EXPECT_TRUE(WaitFor([&] { return result.load() != 1; }, 5000));
    reader.join();
    EXPECT_NE(result.load(), 250);
    EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
    EXPECT_EQ(Lost(), 1);
    EXPECT_NE(Window().find("Error in read: 10004 (WSAEINTR)"), std::string::npos) << Window();
}

// ---- the reader's bounds: time from the command, size of the reply ---------

namespace {

// `piece` sent `times` times, `ms` apart.
std::vector<PeerStep> Drip(const std::string& piece, int times, int ms) {
    std::vector<PeerStep> steps;
    for (int i = 0; i < times; i++) {
        steps.push_back(SendStep(piece));
        steps.push_back(PauseStep(ms));
    }
    return steps;
}

std::string Lines(const std::string& line, int n) {
    std::string t;
    for (int i = 0; i < n; i++) t += line;
    return t;
}

}  // namespace

TEST_F(Reading, NoServerHoldsTheReadPastItsBounds) {
    struct {
        const char* name;
        std::vector<PeerStep> steps;
        std::string failure;  // the one line that says why
    } cases[] = {
        // Each drip lasts 6 s when read to its end; the time-out is 0.3 s.
        {"a byte at a time", Drip("2", 60, 100), " TIMEOUT in read !!!\r\n"},
        {"a line at a time", Drip("250-more\r\n", 60, 100), " TIMEOUT in read !!!\r\n"},
        {"endless reply", {SendStep(Lines("250-more\r\n", 600)), HoldStep()},
         "\r\n AMBREL Error: reply too long (more than 512 lines); connection closed\r\n"},
        {"endless line", {SendStep("250-" + std::string(5000, 'x')), HoldStep()},
         "\r\n AMBREL Error: reply too long (a line over 4096 bytes); connection closed\r\n"},
        {"too many bytes", {SendStep(Lines("250-" + std::string(300, 'y') + "\r\n", 300)), HoldStep()},
         "\r\n AMBREL Error: reply too long (more than 65536 bytes); connection closed\r\n"},
    };
    relaySettings.Debug = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(std::vector<std::vector<PeerStep>>{c.steps});
        ConnectRaw(peer.port);
        ClearCaptured();
        relaySession.ending = SessionEnding::kEndNone;
        size_t fileBefore = FileText().size();
        int64_t start = SteadyMs();
        EXPECT_NE(Read(250), 250);
        // The bound, not the peer's script, ends the read.
        EXPECT_LT(SteadyMs() - start, 3000);
        std::string w = Window();
        EXPECT_EQ(Count(w, c.failure), 1u) << w.substr(w.size() > 300 ? w.size() - 300 : 0);
        EXPECT_EQ(w.substr(w.size() - c.failure.size()), c.failure);
        EXPECT_EQ(Lost(), 1) << "no RSET or QUIT on such a connection";
        EXPECT_EQ(Refused(), 0) << "the message stays";
        // The debug log of the reply stops with the reply.
        EXPECT_LT(FileText().size() - fileBefore, 2 * kReplyBytesMax);
        CloseRelay();
    }
}

TEST_F(Reading, RepliesAtTheBoundsAreRead) {
    const std::string lines = Lines("250-more\r\n", kReplyLinesMax - 1) + "250 last\r\n";
    const std::string longest = "250 " + std::string(kReplyLineMax - 6, 'z') + "\r\n";
    for (const std::string& reply : {lines, longest}) {
        ScriptedPeer peer(std::vector<std::vector<PeerStep>>{{SendStep(reply), HoldStep()}});
        ConnectRaw(peer.port);
        EXPECT_EQ(Read(250), 250);
        EXPECT_EQ(ReadFailed(), 0);
        CloseRelay();
    }
}

TEST_F(Reading, FinalLineSplitAnywhereReadsAsOneReply) {
    const std::string reply = "250-peer\r\n250 AUTH PLAIN\r\n";
    for (size_t cut = 1; cut < reply.size(); cut++) {
        SCOPED_TRACE(cut);
        ScriptedPeer peer(std::vector<std::vector<PeerStep>>{
            {SendStep(reply.substr(0, cut)), PauseStep(30), SendStep(reply.substr(cut)), LineStep(),
             SendStep("354 go\r\n"), HoldStep()}});
        ConnectRaw(peer.port);
        ClearCaptured();
        EXPECT_EQ(Read(250), 250);
        EXPECT_STREQ(relaySession.reply.line, "250 AUTH PLAIN");
        // Nothing of the first reply is left for the next one.
        SendText("DATA\r\n");
        EXPECT_EQ(Read(354), 354);
        EXPECT_STREQ(relaySession.reply.line, "354 go");
        EXPECT_EQ(ReadFailed(), 0) << Window();
        CloseRelay();
    }
}

// ---- one whole session, line by line ------------------------------------------

namespace {

const char kMessage[] =
    "Return-path: <alice@example.com>\n"
    "X-Envelope-To: <bob@example.net>\n"
    "Date: Mon, 7 Dec 2026 09:00:00 +0000\n"
    "From: Alice <alice@example.com>\n"
    "To: Bob <bob@example.net>\n"
    "Subject: Lunch\n"
    "\n"
    ".\n"
    "Bye\n";
// 1 dot stuffed, 9 line ends made CR LF.
const int kMessageWireBytes = (int)sizeof kMessage - 1 + 1 + 9;

std::string SessionWindow(uint16_t port) {
    return "Opening socket\r\n"
           "Connecting (127.0.0.1:" + std::to_string(port) + ")\r\n"
           "Connected.\r\n"
           "<- 220 peer ready\r\n"
           "-> HELO Vorpal\r\n"
           "<- 250 hello\r\n"
           "-> MAIL FROM:<alice@example.com>\r\n"
           "<- 250 sender ok\r\n"
           "-> RCPT TO:<john@example.org>\r\n"
           "<- 250 rcpt ok\r\n"
           "-> DATA\r\n"
           "<- 354 go on\r\n"
           "-> <data>\r\n"
           "  " + std::to_string(kMessageWireBytes) + " bytes sent\r\n"
           "-> CRLF.CRLF\r\n"
           "<- 250 queued\r\n"
           "          Routed O.K.\r\n"
           "-> QUIT\r\n"
           "<- 221 bye\r\n"
           "SMTP Session ended.\r\n";
}

}  // namespace

class Session : public RelayTest {};

TEST_F(Session, WindowAndFileLinesWithDebugOff) {
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    Drop("john", "A1.CNM", kMessage);
    RouteMessage(0, "A1.CNM");
    CloseSession();
    EXPECT_EQ(Window(), SessionWindow(peer.port));
    EXPECT_EQ(FileText(),
              "  Opening socket  Connecting (127.0.0.1:" + std::to_string(peer.port) + ")   Connected.\r\n"
              " routed from <alice@example.com> to <john@example.org>\r\n"
              "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\n"
              "From: Alice <alice@example.com>\r\n"
              "To: Bob <bob@example.net>\r\n"
              "Subject: Lunch\r\n"
              "  " + std::to_string(kMessageWireBytes) + " bytes sent\r\n"
              "          Routed O.K.\r\n"
              "  <- 250 queued\r\n\r\n"
              "  -> QUIT\r\n"
              "SMTP Session ended.\r\n");
    EXPECT_FALSE(fs::exists(Mail("john", "A1.CNM")));
    // A domain without security keys: HELO and the same commands as ever,
    // each line sent as it always was.
    const std::vector<std::string> commands = {"HELO Vorpal\r\n", "MAIL FROM:<alice@example.com>\r\n",
                                               "RCPT TO:<john@example.org>\r\n", "DATA\r\n", "QUIT\r\n"};
    EXPECT_EQ(peer.Commands(), commands);
    EXPECT_EQ(peer.Received().find("EHLO"), std::string::npos);
}

TEST_F(Session, WindowAndFileLinesWithDebugOn) {
    relaySettings.Debug = 1;
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    Drop("john", "A1.CNM", kMessage);
    RouteMessage(0, "A1.CNM");
    CloseSession();
    EXPECT_EQ(Window(), SessionWindow(peer.port));
    EXPECT_EQ(FileText(),
              "  Opening socket  Connecting (127.0.0.1:" + std::to_string(peer.port) + ")   Connected.\r\n"
              "*  <- 220 peer ready\r\n"
              "  -> HELO Vorpal\r\n"
              "*  <- 250 hello\r\n"
              " routed from <alice@example.com> to <john@example.org>\r\n"
              "  -> MAIL FROM:<alice@example.com>\r\n"
              "*  <- 250 sender ok\r\n"
              "  -> RCPT TO:<john@example.org>\r\n"
              "*  <- 250 rcpt ok\r\n"
              "  -> DATA\r\n"
              "*  <- 354 go on\r\n"
              "Return-path: <alice@example.com>\r\n"
              "X-Envelope-To: <bob@example.net>\r\n"
              "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\n"
              "From: Alice <alice@example.com>\r\n"
              "To: Bob <bob@example.net>\r\n"
              "Subject: Lunch\r\n"
              "\r\n"
              "..\r\n"
              "Bye\r\n"
              "  " + std::to_string(kMessageWireBytes) + " bytes sent\r\n"
              "  -> CRLF.CRLF\r\n"
              "*  <- 250 queued\r\n"
              "          Routed O.K.\r\n"
              "  <- 250 queued\r\n\r\n"
              "  -> QUIT\r\n"
              "*  <- 221 bye\r\n"
              "SMTP Session ended.\r\n");
}

TEST_F(Session, RefusedRecipientLinesRsetAndQuit) {
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT", "451 busy\r\n"}});
    UsePort(peer.port);
    Drop("john", "A1.CNM", kMessage);
    RouteMessage(0, "A1.CNM");
    std::string w = Window();
    const std::string tail =
        "-> RCPT TO:<john@example.org>\r\n"
        "<- 451 busy\r\n"
        "Code detected: 451\r\n"
        "   Error: Bad SMTP status 451 received\r\n"
        "          Routing failed !\r\n"
        "-> RSET\r\n"
        "<- 250 reset\r\n"
        "-> QUIT\r\n"
        "<- 221 bye\r\n"
        "SMTP Session ended.\r\n";
    ASSERT_GE(w.size(), tail.size());
    EXPECT_EQ(w.substr(w.size() - tail.size()), tail);
    std::string f = FileText();
    const std::string fileTail =
        " routed from <alice@example.com> to <john@example.org>\r\n"
        "  <- 451 busy\r\n"
        "Code detected: 451\r\n"
        "   Error: Bad SMTP status 451 received\r\n"
        "          Routing failed !\r\n"
        "  -> RSET\r\n"
        "  -> QUIT\r\n"
        "SMTP Session ended.\r\n";
    ASSERT_GE(f.size(), fileTail.size());
    EXPECT_EQ(f.substr(f.size() - fileTail.size()), fileTail);
    EXPECT_TRUE(fs::exists(Mail("john", "A1.CNM")));
    EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone);
    EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
}

TEST_F(Session, QuitNotAnsweredIsLoggedAndTheAcceptedFileIsGone) {
    // A 250 instead of 221, and a server that closes on QUIT: either way the
    // accepted file was deleted after its 250 and is not sent again.
    for (const std::string& quit : {std::string("250 what\r\n"), std::string(kDrop)}) {
        ScriptedPeer peer(std::map<std::string, std::string>{{"QUIT", quit}});
        UsePort(peer.port);
        Drop("john", "A1.CNM", kMessage);
        ClearCaptured();
        RouteMessage(0, "A1.CNM");
        EXPECT_FALSE(fs::exists(Mail("john", "A1.CNM"))) << "gone before the session ends";
        CloseSession();
        std::string w = Window();
        if (quit != kDrop) {
            EXPECT_NE(w.find("-> QUIT\r\n<- 250 what\r\nCode detected: 250\r\n"
                             "   Error: Bad SMTP status 250 received\r\n"
                             " QUIT not answered with 221 (250); connection closed\r\nSMTP Session ended.\r\n"),
                      std::string::npos)
                << w;
        } else {
            EXPECT_NE(w.find(" TIMEOUT in read !!!\r\n QUIT not answered with 221 (0); connection closed\r\n"
                             "SMTP Session ended.\r\n"),
                      std::string::npos)
                << w;
        }
        EXPECT_NE(FileText().find(" QUIT not answered with 221"), std::string::npos);
        EXPECT_EQ(peer.Messages().size(), 1u);
    }
}

// ---- the message text on the wire -----------------------------------------------

TEST_F(Session, MessageTextOnTheWire) {
    const std::string longLine(10000, 'a');
    std::string dotAtPiece = std::string(4989, 'b') + ".c\n";  // a dot where the second read starts
    const std::vector<std::pair<const char*, std::string>> files = {
        {"dots", "Subject: d\n\n.\n..\n.lead\nmid.dle\n"},
        {"CR LF ends and bare CR", "Subject: c\r\n\r\nline\r\nbare\rcr\r\n\r\n"},
        {"no LF at the end", "Subject: n\n\nlast line"},
        {"line longer than a read", "Subject: l\n\n" + longLine + "\n.after\n"},
        {"line of exactly 4989", "Subject: e\n\n" + std::string(4989, 'e') + "\n.x\n"},
        {"dot where a read piece starts", "Subject: p\n\n" + dotAtPiece},
        {"line end CR at a piece edge", "Subject: q\n\n" + std::string(4988, 'q') + "\r\n.y\n"},
        // No bare CR or LF reaches the wire: a CR alone ends its line.
        {"bare CR before a dot line", "Subject: s\n\nx\r.\r\nQUIT\r\n"},
        {"bare CR after a dot", "Subject: s\n\nx\r\n.\rQUIT"},
        {"bare CR at the end", "Subject: s\n\nlast\r"},
        {"CR CR LF is one line end", "Subject: s\n\na\r\r\n.b\r\r\r\n"},
        {"bare CR at a piece edge", "Subject: s\n\n" + std::string(4988, 'r') + "\r.z\n"},
        {"NUL and Ctrl-Z are text", std::string("Subject: z\n\nab\0cd\n\0starts\nlast\x1a line\n", 37)},
    };
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    relaySettings.MaxMailSent = 6;
    int n = 0;
    for (const auto& f : files) {
        std::string name = "M" + std::to_string(n++) + ".CNM";
        Drop("john", name, f.second);
        RouteMessage(0, name.c_str());
        CloseSession();
    }
    std::vector<std::string> got = peer.Messages();
    ASSERT_EQ(got.size(), files.size());
    for (size_t i = 0; i < files.size(); i++) EXPECT_EQ(got[i], WireText(files[i].second)) << files[i].first;
}

// LowLatency only changes when bytes go: the server gets the same bytes and
// the window and the log file read the same, with Debug off and on.
TEST_F(Session, FastModeSendsTheSameBytesAndLogsTheSame) {
    const std::vector<std::string> files = {kMessage, "Subject: l\n\n" + std::string(40000, 'a') + "\n.x\n",
                                            "Subject: c\r\n\r\nbare\rcr\r\n.\r\n"};
    for (int debug : {0, 1}) {
        std::string received[2], window[2], file[2];
        for (int fast : {0, 1}) {
            SCOPED_TRACE(std::to_string(debug) + std::to_string(fast));
            relaySettings.Debug = debug;
            relaySettings.LowLatency = fast;
            ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT#2", "450 later\r\n"}});
            UsePort(peer.port);
            size_t fileBefore = FileText().size();
            ClearCaptured();
            for (size_t i = 0; i < files.size(); i++) {
                std::string name = "F" + std::to_string(i) + ".CNM";
                Drop("john", name, files[i]);
                RouteMessage(0, name.c_str());
            }
            CloseSession();
            EXPECT_TRUE(WaitFor([&] { return peer.Idle(); }, 5000));
            const std::string port = std::to_string(peer.port);
            received[fast] = peer.Received();
            window[fast] = Window();
            file[fast] = FileText().substr(fileBefore);
            for (std::string* t : {&window[fast], &file[fast]})
                for (size_t at; (at = t->find(port)) != std::string::npos;) t->replace(at, port.size(), "PORT");
            EXPECT_EQ(peer.Messages().size(), 2u);
            for (size_t i = 0; i < files.size(); i++) fs::remove(Mail("john", "F" + std::to_string(i) + ".CNM"));
        }
        EXPECT_EQ(received[0], received[1]);
        EXPECT_EQ(window[0], window[1]);
        EXPECT_EQ(file[0], file[1]);
    }
    relaySettings.LowLatency = 0;
}

// PIPELINING offered in a fast session: MAIL FROM, RCPT TO and DATA in one
// send, the replies read in order; the first refusal decides the message's
// fate, and the session still ends with RSET (or, when the server waits for
// text after a refused envelope, without a word).
TEST_F(Session, PipelinedEnvelopeKeepsTheRulesOfEachStep) {
    struct {
        const char* name;
        std::map<std::string, std::string> replies;
        bool delivered;
        Fate fate;
        const char* reply;
        std::vector<std::string> tail;  // commands after DATA
    } cases[] = {
        {"all accepted", {}, true, Fate::kDelivered, "250 queued", {"QUIT\r\n"}},
        {"refused RCPT", {{"RCPT", "550 no such user\r\n"}, {"DATA", "503 no valid recipients\r\n"}}, false,
         Fate::kRefused, "550 no such user", {"RSET\r\n", "QUIT\r\n"}},
        {"deferred RCPT, refused DATA", {{"RCPT", "451 later\r\n"}, {"DATA", "554 no recipients\r\n"}}, false,
         Fate::kDeferred, "451 later", {"RSET\r\n", "QUIT\r\n"}},
        {"refused MAIL", {{"MAIL", "550 sender\r\n"}, {"RCPT", "503 sender first\r\n"},
                          {"DATA", "503 sender first\r\n"}}, false, Fate::kRefused, "550 sender", {"RSET\r\n", "QUIT\r\n"}},
        {"354 after a refused RCPT", {{"RCPT", "550 no\r\n"}}, false, Fate::kRefused, "550 no", {}},
    };
    for (const char* ehlo : {"250-peer\r\n250-PIPELINING\r\n250 HELP\r\n", "250-peer\r\n250 pipelining\r\n"}) {
        ResetCapabilities();
        for (const char* ch = ehlo; *ch; ch++) NoteCapabilityChar(*ch);
        EXPECT_EQ(relaySession.caps.pipelining, 1) << ehlo;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.replies);
        ConnectRaw(peer.port);
        ASSERT_EQ(Read(220), 220);
        relaySession.fastMode = 1;
        relaySession.caps.pipelining = 1;
        relaySession.ending = SessionEnding::kEndNone;
        relaySession.pendingCount = 0;
        Drop("john", "P.CNM", "Subject: p\n\nx\n");
        int err = 0;
        MsgFile* f = MsgOpen(Mail("john", "P.CNM").c_str(), &err);
        ASSERT_NE(f, nullptr);
        std::vector<SmtpRecipient> to(1);
        to[0].address = "c@d";
        EXPECT_EQ(DeliverMessage("a@b", to, f), c.fate);
        MsgClose(f);
        EXPECT_EQ(to[0].fate, c.fate);
        EXPECT_STREQ(relaySession.reply.line, c.reply);
        CloseSession();
        EXPECT_TRUE(WaitFor([&] { return peer.Idle(); }, 5000));
        std::vector<std::string> want = {"MAIL FROM:<a@b>\r\n", "RCPT TO:<c@d>\r\n", "DATA\r\n"};
        want.insert(want.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(peer.Commands(), want);
        EXPECT_EQ(peer.Messages().size(), c.delivered ? 1u : 0u);
        relaySession.caps.pipelining = 0;
        relaySession.fastMode = 0;
    }
}

TEST_F(Session, UnreadableFileIsNeverEndedAsAWholeMessage) {
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    ASSERT_TRUE(OpenSession(0));
    int err = 0;
    MsgFile* f = MsgOpen("/proc/self/mem", &err);  // opens, but every read fails
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(DeliverMessage("a@b", "c@d", f));
    MsgClose(f);
    EXPECT_EQ(relayState.relaySocket.load(), kNoSocket) << "the transaction is dropped with its connection";
    CloseSession();
    EXPECT_TRUE(WaitFor([&] { return peer.Idle(); }, 5000));
    EXPECT_TRUE(peer.Messages().empty());
    EXPECT_EQ(peer.Received().find("\r\n.\r\n"), std::string::npos);
}

// ---- session ends and starts -----------------------------------------------------

TEST_F(Session, MaxMailSentCutsSessions) {
    for (int max : {2, 0}) {
        ScriptedPeer peer(std::map<std::string, std::string>{});
        UsePort(peer.port);
        relaySettings.MaxMailSent = max;
        int per = max == 0 ? 1 : max;
        for (int i = 0; i < 5; i++) Drop("john", "S" + std::to_string(i) + ".CNM", "Subject: s\n\nx\n");
        for (int i = 0; i < 5; i++) {
            RouteMessage(0, ("S" + std::to_string(i) + ".CNM").c_str());
            // The files of a full session are gone before the next is read.
            if ((i + 1) % per == 0) {
                for (int j = 0; j <= i; j++) EXPECT_FALSE(fs::exists(Mail("john", "S" + std::to_string(j) + ".CNM")));
            }
        }
        CloseSession();
        EXPECT_EQ(peer.Connections(), (5 + per - 1) / per) << max;
        EXPECT_EQ(peer.Messages().size(), 5u);
        for (int i = 0; i < 5; i++) EXPECT_FALSE(fs::exists(Mail("john", "S" + std::to_string(i) + ".CNM")));
    }
}

TEST_F(Session, StopAfterTheAcceptanceLeavesNoCopyBehind) {
    // The window closes the connection between the 250 to the end of data
    // and the session end: the file, which the server has, is gone already.
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    Drop("john", "K.CNM", "Subject: k\n\nx\n");
    RouteMessage(0, "K.CNM");
    ASSERT_EQ(relaySession.pendingCount, 1);
    ShutdownResources();
    CloseSession();
    EXPECT_FALSE(fs::exists(Mail("john", "K.CNM")));
    EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST_F(Session, EndOfDataWaitsLongerThanOtherReplies) {
    // Replies that come after 1 s: too late for MAIL FROM (0.3 s), in time
    // for the end of data (5 s).
    const std::vector<PeerStep> slowEnd = {SendStep("220 hi\r\n"), LineStep(), SendStep("250 hello\r\n"),
                                           LineStep(), SendStep("250 ok\r\n"), LineStep(), SendStep("250 ok\r\n"),
                                           LineStep(), SendStep("354 go\r\n"), DataStep(), PauseStep(1000),
                                           SendStep("250 queued\r\n"), LineStep(), SendStep("221 bye\r\n")};
    const std::vector<PeerStep> slowMail = {SendStep("220 hi\r\n"), LineStep(), SendStep("250 hello\r\n"),
                                            LineStep(), PauseStep(1000), SendStep("250 ok\r\n"), HoldStep()};
    ScriptedPeer peer(std::vector<std::vector<PeerStep>>{slowEnd, slowMail});
    UsePort(peer.port);
    relayTimings.replyTimeoutMs = 300;
    relayTimings.dataEndTimeoutMs = 5000;
    Drop("john", "E.CNM", "Subject: e\n\nx\n");
    RouteMessage(0, "E.CNM");
    CloseSession();
    EXPECT_FALSE(fs::exists(Mail("john", "E.CNM"))) << Window();
    Drop("john", "F.CNM", "Subject: f\n\ny\n");
    ClearCaptured();
    RouteMessage(0, "F.CNM");
    EXPECT_NE(Window().find("-> MAIL FROM:<>\r\n TIMEOUT in read !!!\r\n"), std::string::npos) << Window();
    EXPECT_TRUE(fs::exists(Mail("john", "F.CNM")));
}

TEST_F(Session, RefusedConnectLeavesNoFailureMark) {
    // The close after a refused connect may fail and mark the session; the
    // mark must not carry over to the next message's transaction.
    uint16_t port;
    {
        ScriptedPeer gone(std::map<std::string, std::string>{});
        port = gone.port;
    }
    UsePort(port);
    relaySession.ending = SessionEnding::kEndRsetQuit;
    EXPECT_FALSE(OpenSession(0));
    EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone);
}

TEST_F(Session, RefusedGreetingLeavesNothingBehind) {
    // First connection: greeting refused; the second is a willing server.
    ScriptedPeer peer(std::vector<std::vector<PeerStep>>{{SendStep("554 go away\r\n"), HoldStep()}});
    UsePort(peer.port);
    Drop("john", "A.CNM", "Subject: a\n\nx\n");
    Drop("john", "B.CNM", "Subject: b\n\ny\n");
    RouteMessage(0, "A.CNM");
    std::string w = Window();
    EXPECT_NE(w.find("<- 554 go away\r\nCode detected: 554\r\n   Error: Bad SMTP status 554 received\r\n"
                     "\r\n GFR: 554\r\nCommunication Error: unable to open connection\r\n"),
              std::string::npos)
        << w;
    EXPECT_EQ(w.find("QUIT"), std::string::npos) << "no QUIT after a refused greeting";
    EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
    EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone);
    RouteMessage(0, "B.CNM");
    CloseSession();
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_TRUE(fs::exists(Mail("john", "A.CNM")));
    EXPECT_FALSE(fs::exists(Mail("john", "B.CNM")));
    EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST_F(Session, RefusedHeloEndsTheSessionCleanly) {
    ScriptedPeer peer(std::map<std::string, std::string>{{"HELO#1", "550 who are you\r\n"}});
    UsePort(peer.port);
    Drop("john", "A.CNM", "Subject: a\n\nx\n");
    Drop("john", "B.CNM", "Subject: b\n\ny\n");
    RouteMessage(0, "A.CNM");
    EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
    EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone) << "no mark left for the next message";
    RouteMessage(0, "B.CNM");
    CloseSession();
    EXPECT_EQ(peer.Connections(), 2) << "the next message opens a fresh session";
    std::vector<std::string> cmds = peer.Commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], "HELO Vorpal\r\n");
    EXPECT_EQ(cmds[1], "RSET\r\n");
    EXPECT_EQ(cmds[2], "QUIT\r\n");
    EXPECT_TRUE(fs::exists(Mail("john", "A.CNM")));
    EXPECT_FALSE(fs::exists(Mail("john", "B.CNM")));
    EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST_F(Session, ConnectRefusedBacksOffUntilCancelled) {
    uint16_t port;
    {
        ScriptedPeer gone(std::map<std::string, std::string>{});
        port = gone.port;
    }  // nothing listens there any more
    UsePort(port);
    relayTimings.backoffSteps = 120;
    relayTimings.backoffStepMs = 20;
    std::thread user([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        relayState.cancelBackoff = 1;
    });
    EXPECT_FALSE(OpenSession(0));
    user.join();
    EXPECT_EQ(Window(), "Opening socket\r\nConnecting (127.0.0.1:" + std::to_string(port) +
                            ")\r\n\r\n AMBREL Error in connect: 10061 (WSAECONNREFUSED)\r\n"
                            "  delaying AMBREL by 10 minutes\r\n");
    EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
}

TEST_F(Session, UnfinishedReplyIsNotAnAcceptance) {
    // The end of data answered with the digits of 250 and then nothing: the
    // time-out must not pass for an acceptance.
    ScriptedPeer peer(std::map<std::string, std::string>{{".", "250"}});
    UsePort(peer.port);
    Drop("john", "U.CNM", "Subject: u\n\nx\n");
    RouteMessage(0, "U.CNM");
    std::string w = Window();
    EXPECT_NE(w.find(" TIMEOUT in read !!!\r\n"), std::string::npos) << w;
    EXPECT_EQ(w.find("Routed O.K."), std::string::npos) << w;
    EXPECT_NE(w.find("          Routing failed !\r\n"), std::string::npos) << w;
    EXPECT_TRUE(fs::exists(Mail("john", "U.CNM")));
}

// ---- the extended session: EHLO, STARTTLS, login ----------------------------

TEST(Capabilities, ReadFromTheEhloLines) {
    struct {
        const char* name;
        std::string reply;
        int startTls, plain, login;
        long long size = 0;
    } cases[] = {
        {"STARTTLS among others", "250-peer\r\n250-STARTTLS\r\n250 HELP\r\n", 1, 0, 0},
        {"both mechanisms", "250-peer\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE 1\r\n", 0, 1, 1, 1},
        {"old AUTH= form and a second AUTH line", "250-peer\r\n250-AUTH=LOGIN\r\n250 AUTH CRAM-MD5\r\n", 0, 0, 1},
        {"any case, on the final line", "250-peer\r\n250-auth plain\r\n250 starttls\r\n", 1, 1, 0},
        {"whole words only", "250-STARTTLSX\r\n250-XAUTH PLAIN\r\n250 AUTH PLAINX LOGINS\r\n", 0, 0, 0},
        {"words of the first line are the server's name", "250 peer STARTTLS\r\n", 0, 0, 0},
        {"an overlong line is not glued to the next",
         "250-" + std::string(300, 'X') + "\r\n250 STARTTLS\r\n", 1, 0, 0},
        {"a 300-byte AUTH line offers PLAIN at its end",
         "250-peer\r\n250-AUTH " + std::string(280, 'X') + " LOGIN PLAIN\r\n250 HELP\r\n", 0, 1, 1},
        {"SIZE with its limit", "250-peer\r\n250-SIZE 10485760\r\n250 HELP\r\n", 0, 0, 0, 10485760},
        {"SIZE without a limit", "250-peer\r\n250 SIZE\r\n", 0, 0, 0, 0},
        {"SIZE 0 is no limit", "250-peer\r\n250 size 0\r\n", 0, 0, 0, 0},
        {"SIZE beyond any count", "250-peer\r\n250 SIZE 99999999999999999999999\r\n", 0, 0, 0, 0},
        {"SIZEX is another word", "250-peer\r\n250 SIZEX 5\r\n", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        ResetCapabilities();
        for (char ch : c.reply) NoteCapabilityChar(ch);
        const ServerCapabilities& caps = relaySession.caps;
        EXPECT_EQ(caps.startTls, c.startTls) << c.name;
        EXPECT_EQ(caps.authPlain, c.plain) << c.name;
        EXPECT_EQ(caps.authLogin, c.login) << c.name;
        EXPECT_EQ(caps.sizeLimit, c.size) << c.name;
    }
}

namespace {
// A whole reply with this final line, as the reader leaves it.
SmtpReply ReplyOf(int code, const char* line) {
    SmtpReply r{};
    r.code = code;
    r.whole = true;
    snprintf(r.line, sizeof r.line, "%s", line);
    ParseEnhancedStatus(r);
    return r;
}
}  // namespace

TEST(ConfigurationRefusal, ReplyCodesAndEnhancedCodes) {
    struct {
        int code;  // the reply's, as the reader parses it from the line
        const char* line;
        bool refusal;
    } cases[] = {
        {530, "530 5.7.0 Must issue a STARTTLS command first", true},
        {530, "530 Authentication required", true},
        {530, "530", true},
        {550, "550 5.7.0 Need authentication", true},
        {535, "535 5.7.8 Error: authentication failed", true},
        {554, "554 5.7.9 mechanism too weak", true},
        {554, "554 5.7.11 encryption required", true},
        {550, "550 5.7.30 Basic authentication is not supported", true},
        {530, "530 5.7.57 Client was not authenticated to send anonymous mail", true},
        {550, "550 5.7.57 Client not authenticated", true},
        {535, "535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled", true},
        {550, "550-5.7.0 continued on the last line", true},
        {550, "550 5.7.1 Sender address rejected: not owned by user", false},
        {554, "554 5.2.252 SendAsDenied", false},
        {550, "550 5.7.80 not in the list", false},
        {550, "550 5.7.00 two digits of zero", true},
        {550, "550 5.7.1390 four digits", false},
        {550, "550 5.7.0x no separator", false},
        {550, "550 4.7.0 class of another reply", false},
        {451, "451 4.7.0 temporary", false},
        {421, "421 5.7.0 not a 5xx", false},
        {550, "550 no enhanced code 5.7.0", false},
        {550, "", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsConfigurationRefusal(ReplyOf(c.code, c.line)), c.refusal) << c.line;
}

// The failure policy, step by reply: what each reply does to the message
// file (or its domain) at each step. D deferred (the file stays), R refused
// (bad mail), H the domain held (its mail stays), - the step goes on.
TEST(FailurePolicy, StepByReply) {
    const SmtpStep steps[] = {SmtpStep::kGreeting, SmtpStep::kHelo,  SmtpStep::kEhlo,
                              SmtpStep::kStartTls, SmtpStep::kAuthPlain, SmtpStep::kMail,
                              SmtpStep::kRcpt,     SmtpStep::kData,  SmtpStep::kDataEnd};
    const struct {
        const char* reply;
        const char* fates;  // one letter per step above
    } rows[] = {
        //  reply                                  greet HELO EHLO TLS AUTH MAIL RCPT DATA end
        {"421 4.3.2 shutting down",                "DDHHHDDDD"},
        {"450 4.2.1 mailbox busy",                 "DDHHHDDDD"},
        {"451 4.3.0 local error",                  "DDHHHDDDD"},
        {"452 4.5.3 too many recipients",          "DDHHHDDDD"},
        {"530 5.7.0 Must issue STARTTLS first",    "DHHHHHHHH"},
        {"535 5.7.8 authentication failed",        "DHHHHHHHH"},
        {"550 5.1.1 no such user",                 "DDHHHRRRR"},
        {"550 5.7.1 relaying denied",              "DDHHHRRRR"},
        {"552 5.3.4 message too big",              "DDHHHRRRR"},
        {"554 5.7.139 Authentication unsuccessful","DHHHHHHHH"},
        {"554 transaction failed",                 "DDHHHRRRR"},
    };
    for (const auto& row : rows) {
        SmtpReply reply = ReplyOf(atoi(row.reply), row.reply);
        for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
            Fate fate = ClassifyReply(steps[i], reply);
            char got = fate == Fate::kDeferred ? 'D' : fate == Fate::kRefused ? 'R' : fate == Fate::kHoldDomain ? 'H' : '?';
            EXPECT_EQ(got, row.fates[i]) << row.reply << " at " << StepOf(steps[i]).name;
        }
    }
    // The reply each step expects; a reply cut short; RSET and QUIT.
    for (SmtpStep step : steps) {
        SmtpReply ok = ReplyOf(StepOf(step).expected, "");
        EXPECT_EQ(ClassifyReply(step, ok), step == SmtpStep::kDataEnd ? Fate::kDelivered : Fate::kGoOn);
        SmtpReply cut = ReplyOf(550, "550 no");
        cut.whole = false;
        bool inTransaction = step >= SmtpStep::kMail;
        EXPECT_EQ(ClassifyReply(step, cut), inTransaction ? Fate::kRefused : Fate::kConnectionLost) << StepOf(step).name;
        cut.code = 0;
        EXPECT_EQ(ClassifyReply(step, cut), Fate::kConnectionLost);
    }
    EXPECT_EQ(ClassifyReply(SmtpStep::kQuit, ReplyOf(554, "554 no")), Fate::kGoOn);
    EXPECT_EQ(ClassifyReply(SmtpStep::kRset, ReplyOf(421, "421 bye")), Fate::kGoOn);
}

namespace {

const char kEhloPlain[] = "250-peer\r\n250-AUTH PLAIN LOGIN\r\n250 HELP\r\n";
const char kEhloTls[] = "250-peer\r\n250-STARTTLS\r\n250 HELP\r\n";

struct SecureCase {
    const char* name;
    int security;
    const char* user;
    std::vector<std::vector<PeerStep>> sessions;
    std::map<std::string, std::string> replies;
    std::string failure;                // the one failure line
    std::vector<std::string> commands;  // what the peer received, in order
};

}  // namespace

// Failures that are the server's or the configuration's: the message stays
// (never bad mail), the session ends, one line names the domain and the
// cause, and the domain's next message waits for the next pass.
TEST_F(Session, SecureSessionFailuresLeaveTheMail) {
    const std::string where = "server #0 (127.0.0.1 for example.org)";
    const std::vector<SecureCase> cases = {
        {"STARTTLS not offered", kSecurityStartTls, "joe", {}, {{"EHLO", kEhloPlain}},
         " AMBREL Error: " + where + " does not offer STARTTLS; mail left in place\r\n",
         {"EHLO Vorpal\r\n", "QUIT\r\n"}},
        {"STARTTLS refused", kSecurityStartTls, "", {}, {{"EHLO", kEhloTls}, {"STAR", "454 not now\r\n"}},
         " AMBREL Error: " + where + " refused STARTTLS (454); mail left in place\r\n",
         {"EHLO Vorpal\r\n", "STARTTLS\r\n", "RSET\r\n", "QUIT\r\n"}},
        {"EHLO refused: no fall-back to HELO", kSecurityStartTls, "", {}, {{"EHLO", "502 no\r\n"}},
         " AMBREL Error: " + where + " refused EHLO (502); mail left in place\r\n",
         {"EHLO Vorpal\r\n", "RSET\r\n", "QUIT\r\n"}},
        {"no TLS after the 220", kSecurityStartTls, "",
         {{SendStep("220 hi\r\n"), LineStep(), SendStep(kEhloTls), LineStep(), SendStep("220 go ahead\r\n"), HoldStep()}},
         {}, " AMBREL Error: TLS with " + where + " failed: TLS handshake failed (socket error 10060); mail left in place\r\n",
         {}},
        {"implicit TLS to a plain server", kSecurityTls, "", {}, {},
         " AMBREL Error: TLS with " + where + " failed: TLS handshake failed", {}},
        {"login without TLS", kSecurityNone, "joe", {}, {{"EHLO", kEhloPlain}},
         " AMBREL Error: login to " + where + " refused: the connection is not encrypted; mail left in place\r\n",
         {"EHLO Vorpal\r\n", "QUIT\r\n"}},
    };
    for (const SecureCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer(c.sessions, c.replies);
        UsePort(peer.port);
        domainTable[0].security = c.security;
        snprintf(domainTable[0].authUser, sizeof domainTable[0].authUser, "%s", c.user);
        snprintf(domainTable[0].authPassword, sizeof domainTable[0].authPassword, "%s", "pw-secret");
        relaySession.heldDomain = 0;
        Drop("john", "S1.CNM", "Subject: a\n\nx\n");
        Drop("john", "S2.CNM", "Subject: b\n\ny\n");
        size_t fileBefore = FileText().size();
        ClearCaptured();
        RouteMessage(0, "S1.CNM");
        RouteMessage(0, "S2.CNM");
        CloseSession();
        std::string w = Window(), file = FileText().substr(fileBefore);
        size_t at = w.find(c.failure);
        EXPECT_NE(at, std::string::npos) << w;
        EXPECT_EQ(w.find(" AMBREL Error", at + 1), std::string::npos) << "one failure line\n" << w;
        EXPECT_NE(file.find(c.failure), std::string::npos) << file;
        EXPECT_EQ(peer.Connections(), 1) << "the second message waits for the next pass";
        EXPECT_TRUE(fs::exists(Mail("john", "S1.CNM")));
        EXPECT_TRUE(fs::exists(Mail("john", "S2.CNM")));
        EXPECT_TRUE(fs::is_empty(Path("bad")));
        EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
        EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone);
        if (c.sessions.empty()) {
            EXPECT_EQ(peer.Commands(), c.commands);
        }
        std::string got = peer.Received();
        EXPECT_EQ(got.find("AUTH"), std::string::npos);
        EXPECT_EQ(got.find("pw-secret"), std::string::npos);
        EXPECT_EQ(w.find("pw-secret"), std::string::npos);
        fs::remove(Mail("john", "S1.CNM"));
        fs::remove(Mail("john", "S2.CNM"));
    }
    ClearDomainSecurity(domainTable[0]);
}

// A refusal that the settings cause, at any step: the message stays (never
// bad mail), one line names the domain, the reply and what to change, and
// the domain's other messages wait for the next pass.
TEST_F(Session, ConfigurationRefusalsKeepTheMailAndHoldTheDomain) {
    const std::string where = " AMBREL Error: server #0 (127.0.0.1 for example.org) refused the mail: \"";
    const std::string fix = "\"; the server requires STARTTLS or a login: set Security; mail left in place\r\n";
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"MAIL", "530 5.7.0 Must issue a STARTTLS command first"},
        {"HELO", "530 5.7.0 Must issue a STARTTLS command first"},
        {"RCPT", "550 5.7.57 Client not authenticated to send mail"},
        {"DATA", "530 Authentication required"},
        {".", "554 5.7.139 Authentication unsuccessful"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.first);
        ScriptedPeer peer(std::map<std::string, std::string>{{step.first, step.second + "\r\n"}});
        UsePort(peer.port);
        relaySession.heldDomain = 0;
        Drop("john", "C1.CNM", "Subject: a\n\nx\n");
        Drop("john", "C2.CNM", "Subject: b\n\ny\n");
        ClearCaptured();
        size_t fileBefore = FileText().size();
        RouteMessage(0, "C1.CNM");
        RouteMessage(0, "C2.CNM");
        CloseSession();
        std::string w = Window();
        EXPECT_EQ(Count(w, where + step.second + fix), 1u) << w;
        EXPECT_NE(FileText().substr(fileBefore).find(where + step.second + fix), std::string::npos);
        EXPECT_EQ(w.find("500-like"), std::string::npos);
        EXPECT_EQ(peer.Connections(), 1) << "the second message waits for the next pass";
        EXPECT_TRUE(fs::exists(Mail("john", "C1.CNM")));
        EXPECT_TRUE(fs::exists(Mail("john", "C2.CNM")));
        EXPECT_TRUE(fs::is_empty(Path("bad")));
        EXPECT_EQ(relayState.relaySocket.load(), kNoSocket);
        EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone);
    }
}

// ---- sending as the account: SenderAddress and RewriteFrom ---------------------

namespace {

struct RewriteCase {
    const char* name;
    std::string file;
    std::string wire;  // the message text the server gets (end of data included)
};

const char kEnd[] = "\r\n.\r\n";

}  // namespace

TEST(FromRewrite, DisplayNames) {
    const std::string longName = std::string(199, 'n') + "\xc3\xb6" + "tail";
    struct {
        const char* name;
        std::string value, line;
    } cases[] = {
        {"first mailbox of a list", " a@x, B <b@x>", "From: \"a@x via example.org\" <s@example.org>\n"},
        {"comment left out", " (the boss) Bob <b@x>", "From: \"Bob via example.org\" <s@example.org>\n"},
        {"control bytes become blanks", std::string(" A\x01" "B\0C <a@x>", 12), "From: \"A B C via example.org\" <s@example.org>\n"},
        {"nothing at all: the domain", "  ", "From: \"example.org\" <s@example.org>\n"},
        {"empty brackets: the domain", " <>", "From: \"example.org\" <s@example.org>\n"},
        {"no closing quote", " \"Ann <a@x>", "From: \"Ann <a@x> via example.org\" <s@example.org>\n"},
        {"not an encoded-word: quoted", " =?UTF-8?X?abc?= <a@x>",
         "From: \"=?UTF-8?X?abc?= via example.org\" <s@example.org>\n"},
        {"a long name is cut, never inside a character", " " + longName + " <a@x>",
         "From: \"" + std::string(199, 'n') + " via example.org\" <s@example.org>\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(RewrittenFromLine(c.value, "example.org", "s@example.org"), c.line) << c.name;
}

TEST_F(Session, SenderAddressAndFromRewrite) {
    std::vector<RewriteCase> cases = {
        {"display name, no Reply-To",
         "Return-path: <alice@example.com>\nFrom: Alice <alice@example.com>\nSubject: s\n\nFrom: body\n.\n",
         "Return-path: <alice@example.com>\r\nFrom: \"Alice via example.org\" <john@example.org>\r\n"
         "X-Original-From: Alice <alice@example.com>\r\nSubject: s\r\nReply-To: Alice <alice@example.com>\r\n"
         "\r\nFrom: body\r\n..\r\n" + std::string(kEnd)},
        {"folded From with a quoted name",
         "From: \"Smith, John\"\n\t<john.smith@example.com>\nTo: x@y\n\nb\n",
         "From: \"Smith, John via example.org\" <john@example.org>\r\n"
         "X-Original-From: \"Smith, John\"\r\n\t<john.smith@example.com>\r\nTo: x@y\r\n"
         "Reply-To: \"Smith, John\"\r\n\t<john.smith@example.com>\r\n\r\nb\r\n" + std::string(kEnd)},
        {"encoded-words stay outside the quotes",
         "From: =?UTF-8?Q?J=C3=B6rg?= <j@example.com>\nReply-To: j@example.com\n\nb\n",
         "From: =?UTF-8?Q?J=C3=B6rg?= \"via example.org\" <john@example.org>\r\n"
         "X-Original-From: =?UTF-8?Q?J=C3=B6rg?= <j@example.com>\r\nReply-To: j@example.com\r\n\r\nb\r\n" +
             std::string(kEnd)},
        {"encoded-word then a plain word",
         "from: =?utf-8?b?SsO2cmc=?= Meier <j@example.com>\nReply-to: r@x\n\nb\n",
         "From: =?utf-8?b?SsO2cmc=?= \"Meier via example.org\" <john@example.org>\r\n"
         "X-Original-From: =?utf-8?b?SsO2cmc=?= Meier <j@example.com>\r\nReply-to: r@x\r\n\r\nb\r\n" +
             std::string(kEnd)},
        {"no display name: the address",
         "Reply-To: r@x\nFrom: <a@example.com> (Alice)\n\nb\n",
         "Reply-To: r@x\r\nFrom: \"a@example.com via example.org\" <john@example.org>\r\n"
         "X-Original-From: <a@example.com> (Alice)\r\n\r\nb\r\n" + std::string(kEnd)},
        {"quotes and backslashes escaped",
         "Reply-To: r@x\nFrom: \"A \\\"Q\\\" B\\\\C\" <a@x>\n\nb\n",
         "Reply-To: r@x\r\nFrom: \"A \\\"Q\\\" B\\\\C via example.org\" <john@example.org>\r\n"
         "X-Original-From: \"A \\\"Q\\\" B\\\\C\" <a@x>\r\n\r\nb\r\n" + std::string(kEnd)},
        {"no From line: one added from SenderAddress", "Subject: s\n\nb\n",
         "Subject: s\r\nFrom: <john@example.org>\r\n\r\nb\r\n" + std::string(kEnd)},
        {"only the first From field", "From: a@x\nFrom: b@x\nReply-To: r@x\n\nb\n",
         "From: \"a@x via example.org\" <john@example.org>\r\nX-Original-From: a@x\r\nFrom: b@x\r\n"
         "Reply-To: r@x\r\n\r\nb\r\n" + std::string(kEnd)},
        {"file ends in its header", "Subject: s\nFrom: a@x",
         "Subject: s\r\nFrom: \"a@x via example.org\" <john@example.org>\r\nX-Original-From: a@x\r\n"
         "Reply-To: a@x\r\n" + std::string(kEnd)},
        {"bare CR ends a header line", "From: a@x\rReply-To: r@x\r\rb\r\n",
         "From: \"a@x via example.org\" <john@example.org>\r\nX-Original-From: a@x\r\nReply-To: r@x\r\n\r\n"
         "b\r\n" + std::string(kEnd)},
    };
    // A header line beyond any sound length (or a From: field of such
    // lines): the text goes out as it is.
    const std::string huge = std::string(70000, 'h');
    for (const std::string& file : {"X-Long: " + huge + "\nFrom: a@x\n\nb\n", "From: a@x\n " + huge + "\n\nb\n"})
        cases.push_back({"header beyond any sound length", file, WireText(file)});
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    snprintf(domainTable[0].senderAddress, sizeof domainTable[0].senderAddress, "john@example.org");
    domainTable[0].rewriteFrom = 1;
    for (const RewriteCase& c : cases) {
        Drop("john", "W.CNM", c.file);
        RouteMessage(0, "W.CNM");
        CloseSession();
        ASSERT_FALSE(peer.Messages().empty());
        EXPECT_EQ(peer.Messages().back(), c.wire) << c.name;
    }
    // SenderAddress alone: the sender changes (for a null Return-path too),
    // the text goes out as it is.
    domainTable[0].rewriteFrom = 0;
    for (const std::string& file : {std::string("Return-path: <a@x>\nFrom: A <a@x>\n\nb\n"),
                                    std::string("Return-path: <>\nFrom: A <a@x>\n\nb\n")}) {
        Drop("john", "W.CNM", file);
        RouteMessage(0, "W.CNM");
        CloseSession();
        EXPECT_EQ(peer.Messages().back(), WireText(file));
    }
    ClearDomainSecurity(domainTable[0]);
    std::vector<std::string> cmds = peer.Commands();
    size_t mails = 0;
    for (const std::string& cmd : cmds) {
        if (cmd.compare(0, 10, "MAIL FROM:") != 0) continue;
        mails++;
        EXPECT_EQ(cmd, "MAIL FROM:<john@example.org>\r\n");
    }
    EXPECT_EQ(mails, cases.size() + 2);
    EXPECT_FALSE(fs::exists(Mail("john", "W.CNM")));
}

// SIZE from the EHLO reply: the size goes with MAIL FROM, and a file over
// the limit is never uploaded but goes to bad mail with its reason; the
// session goes on for the next message.
TEST_F(Session, SizeLimitOfTheServer) {
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    const std::string small = "Subject: s\n\nx\n", big = "Subject: b\n\n" + std::string(200, 'y') + "\n";
    Drop("john", "BIG.CNM", big);
    Drop("john", "SMALL.CNM", small);
    ASSERT_TRUE(OpenSession(0));
    relaySession.caps.sizeLimit = 100;  // as an EHLO reply "250 SIZE 100" sets it
    RouteMessage(0, "BIG.CNM");
    RouteMessage(0, "SMALL.CNM");
    CloseSession();
    EXPECT_EQ(peer.Connections(), 1);
    ASSERT_EQ(peer.Messages().size(), 1u);
    EXPECT_EQ(peer.Messages()[0], WireText(small));
    const std::string reason = "message of " + std::to_string(big.size()) + " bytes, the server takes at most 100";
    EXPECT_NE(Window().find(" AMBREL Error: mail " + Mail("john", "BIG.CNM") + " not sent: " + reason + "\r\n"),
              std::string::npos)
        << Window();
    EXPECT_EQ(ReadFile(Path("bad/BIG.CNM")), big);
    EXPECT_NE(ReadFile(Path("bad/badmail.log")).find("\tBIG.CNM\t" + Path("john/") + "\t" + reason + "\r\n"),
              std::string::npos);
    std::vector<std::string> cmds = peer.Commands();
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[1], "MAIL FROM:<> SIZE=" + std::to_string(small.size()) + "\r\n");
    // A new session starts without the old server's limit.
    Drop("john", "AGAIN.CNM", small);
    RouteMessage(0, "AGAIN.CNM");
    CloseSession();
    EXPECT_EQ(peer.Commands().end()[-4], "MAIL FROM:<>\r\n");
}
