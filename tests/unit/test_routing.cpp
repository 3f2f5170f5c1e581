// Routing a message file: the envelope scan, address extraction, the
// recipient by mailbox kind, path limits, and where every file ends up for
// every kind of server behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "relay/envelope.h"
#include "scripted_peer.h"

using namespace testsupport;

namespace {

struct AddressCase {
    const char* name;
    std::string value;
    std::string result;  // the output after the call, which started as "old"
};

const AddressCase kAddressCases[] = {
    {"brackets", " Alice <a@x.org>", "a@x.org"},
    {"empty brackets overwrite", "<>", ""},
    {"bare with blanks and tabs", " \t a@x.org\t ", "a@x.org"},
    {"> without <", " a@x.org>", "old"},
    {"> before <", "> <a@x.org>", "old"},
    {"< without >", "<a@x.org", "old"},
    {"only blanks", " \t ", "old"},
    {"255 between brackets is too far", "<" + std::string(255, 'a') + ">", "old"},
    {"254 between brackets", "<" + std::string(254, 'a') + ">", std::string(254, 'a')},
    {"bare 255", std::string(255, 'b'), std::string(255, 'b')},
    {"bare 256", std::string(256, 'b'), "old"},
    {"CR inside brackets", "<a@x.org\rRCPT TO:<evil@y>>", "old"},
    {"bare CR before another address", " x\r<evil@y>", "old"},
    {"LF inside brackets", "<a@x\n.org>", "old"},
    {"tab inside brackets", "<a@\tx.org>", "old"},
    {"DEL in a bare value", "a\x7f@x.org", "old"},
    {"escape in a bare value", "a\x1b@x.org", "old"},
    {"high bytes are text", "<\xe4@x.org>", "\xe4@x.org"},
};

}  // namespace

TEST(Envelope, ExtractAddress) {
    for (const AddressCase& c : kAddressCases) {
        char out[kAddressMax + 1] = "old";
        ExtractAddress(out, c.value.c_str());
        EXPECT_EQ(std::string(out), c.result) << c.name;
    }
}

namespace {

struct ScanCase {
    const char* name;
    std::string header;  // XToHeader, empty for the default
    std::string file;
    std::string sender, recipient;
};

const ScanCase kScanCases[] = {
    {"both, CR LF lines", "", "Return-path: <s@x>\r\nX-Envelope-To: <r@y>\r\n\r\nbody\r\n", "s@x", "r@y"},
    {"any case", "", "RETURN-PATH: <s@x>\nx-envelope-to: r@y\n\n", "s@x", "r@y"},
    {"after the empty line not seen", "", "Subject: a\n\nX-Envelope-To: <r@y>\n", "", ""},
    {"recipients before the sender: last wins", "",
     "X-Envelope-To: <r1@y>\nX-Envelope-To: <r2@y>\nReturn-path: <s@x>\nX-Envelope-To: <r3@y>\n", "s@x", "r2@y"},
    {"sender first: first recipient wins", "", "Return-path: <s@x>\nX-Envelope-To: <r1@y>\nX-Envelope-To: <r2@y>\n",
     "s@x", "r1@y"},
    {"empty brackets clear an earlier sender", "", "Return-path: <s@x>\nReturn-path: <>\n\n", "", ""},
    {"other header name", "X-Rcpt:", "X-Envelope-To: <r1@y>\nx-rcpt: <r2@y>\n\n", "", "r2@y"},
    {"no empty line at all", "", "X-Envelope-To: <r@y>", "", "r@y"},
    // Only the start of a real line is a header line, never the rest of a
    // line longer than a read; a line that starts with NUL is not empty.
    {"rest of a long line is no header line", "",
     "Return-path: <s@x>\nSubject: " + std::string(4980, 'h') + "X-Envelope-To: <evil@z>\nX-Envelope-To: <r@y>\n\n",
     "s@x", "r@y"},
    {"rest of a long line sets no sender", "", "Subject: " + std::string(4980, 'h') + "Return-path: <evil@z>\n\n",
     "", ""},
    {"NUL-led line does not end the header", "", std::string("X-Envelope-To: <r@y>\n\0x\nReturn-path: <s@x>\n\n", 44),
     "s@x", "r@y"},
};

}  // namespace

class Routing : public RelayTest {};

TEST_F(Routing, ScanEnvelope) {
    for (const ScanCase& c : kScanCases) {
        snprintf(relaySettings.XToHeader, sizeof relaySettings.XToHeader, "%s",
                 c.header.empty() ? "X-Envelope-To:" : c.header.c_str());
        Drop("john", "S.CNM", c.file);
        int err = 0;
        MsgFile* f = MsgOpen(Mail("john", "S.CNM").c_str(), &err);
        ASSERT_NE(f, nullptr);
        char sender[kAddressMax + 1] = "x", recipient[kAddressMax + 1] = "y";
        EXPECT_EQ(ScanEnvelope(f, sender, recipient), !c.recipient.empty()) << c.name;
        EXPECT_EQ(std::string(sender), c.sender) << c.name;
        EXPECT_EQ(std::string(recipient), c.recipient) << c.name;
        char first[kLineRead];
        ASSERT_TRUE(MsgReadLine(f, first, sizeof first)) << c.name;
        EXPECT_EQ(std::string(first).substr(0, 5), c.file.substr(0, 5)) << c.name << ": back at the start";
        MsgClose(f);
    }
}

TEST_F(Routing, RecipientByMailboxKind) {
    struct Case {
        const char* name;
        int mailbox;  // 0 john (personal), 1 dm:shop (domain)
        std::string file;
        const char* mailFrom;
        const char* rcptTo;
    } cases[] = {
        {"personal ignores the envelope", 0, "X-Envelope-To: <a@y>\nReturn-path: <b@x>\n\n", "MAIL FROM:<b@x>\r\n",
         "RCPT TO:<john@example.org>\r\n"},
        {"domain takes the envelope", 1, "X-Envelope-To: <a@y>\n\n", "MAIL FROM:<>\r\n", "RCPT TO:<a@y>\r\n"},
        {"domain without envelope drops dm:", 1, "Subject: x\n\n", "MAIL FROM:<>\r\n",
         "RCPT TO:<shop@example.org>\r\n"},
    };
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    for (const Case& c : cases) {
        const char* box = c.mailbox == 0 ? "john" : "shop";
        Drop(box, "R.CNM", c.file);
        RouteMessage(c.mailbox, "R.CNM");
        CloseSession();
        std::vector<std::string> cmds = peer.Commands();
        ASSERT_GE(cmds.size(), 5u) << c.name;
        // HELO, MAIL, RCPT, DATA, QUIT of this session.
        EXPECT_EQ(cmds[cmds.size() - 4], c.mailFrom) << c.name;
        EXPECT_EQ(cmds[cmds.size() - 3], c.rcptTo) << c.name;
        EXPECT_FALSE(fs::exists(Mail(box, "R.CNM"))) << c.name;
    }
    EXPECT_NE(FileText().find(" routed to <a@y>\r\n"), std::string::npos);
}

// An envelope line that names no usable address sends the file to bad mail
// with its reason: never to the domain mailbox's fall-back address, never
// with the null sender, and no command carries what the line held.
TEST_F(Routing, UnusableEnvelopeAddressesGoToBadMail) {
    const std::string longAddress = std::string(300, 'a') + "@example.net";
    struct Case {
        const char* name;
        int mailbox;
        std::string file;
        const char* reason;  // empty: relayed
    } cases[] = {
        {"control character in the recipient", 1, "X-Envelope-To: <a@y\rRCPT TO:<evil@z>>\n\n",
         "envelope recipient (X-Envelope-To:) holds no usable address"},
        {"recipient over 255", 1, "X-Envelope-To: <" + longAddress + ">\nReturn-path: <b@x>\n\n",
         "envelope recipient (X-Envelope-To:) too long for an address"},
        {"bare recipient over 255", 1, "X-Envelope-To: " + longAddress + "\n\n",
         "envelope recipient (X-Envelope-To:) too long for an address"},
        {"recipient longer than a read", 1, "X-Envelope-To: <" + std::string(6000, 'r') + ">\n\n",
         "envelope recipient (X-Envelope-To:) too long for an address"},
        {"empty recipient brackets", 1, "X-Envelope-To: <>\n\n",
         "envelope recipient (X-Envelope-To:) holds no usable address"},
        {"sender over 255", 0, "Return-path: <" + longAddress + ">\n\n",
         "envelope sender (Return-path:) too long for an address"},
        {"bare CR before the bracketed recipient", 1, "X-Envelope-To: a@y\r<evil@z>\n\n",
         "envelope recipient (X-Envelope-To:) holds no usable address"},
        {"control character in the sender", 1, "X-Envelope-To: <a@y>\nReturn-path: <b@x\rDATA>\n\n",
         "envelope sender (Return-path:) holds no usable address"},
        {"a personal mailbox ignores its recipient line", 0, "X-Envelope-To: <a@y\rQUIT>\n\n", ""},
        {"null sender stays a null sender", 1, "X-Envelope-To: <a@y>\nReturn-path: <>\n\n", ""},
    };
    ScriptedPeer peer(std::map<std::string, std::string>{});
    UsePort(peer.port);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const char* box = c.mailbox == 0 ? "john" : "shop";
        fs::remove_all(Path("bad"));
        Mkdir("bad");
        Drop(box, "E.CNM", c.file);
        size_t before = peer.Messages().size();
        RouteMessage(c.mailbox, "E.CNM");
        CloseSession();
        EXPECT_FALSE(fs::exists(Mail(box, "E.CNM")));
        if (!c.reason[0]) {
            EXPECT_EQ(peer.Messages().size(), before + 1);
            continue;
        }
        EXPECT_EQ(peer.Messages().size(), before) << "nothing of it is sent";
        EXPECT_EQ(ReadFile(Path("bad/E.CNM")), c.file);
        std::string log = ReadFile(Path("bad/badmail.log"));
        EXPECT_NE(log.find("\tE.CNM\t" + Path(std::string(box) + "/") + "\t" + c.reason + "\r\n"), std::string::npos)
            << log;
        EXPECT_NE(Window().find(" AMBREL Error: mail " + Mail(box, "E.CNM") + " not sent: " + c.reason + "\r\n"),
                  std::string::npos);
    }
    for (const std::string& cmd : peer.Commands()) {
        EXPECT_EQ(cmd.find("evil"), std::string::npos) << cmd;
        EXPECT_EQ(cmd.find("shop@example.org"), std::string::npos) << "never the fall-back address";
        EXPECT_NE(cmd, "DATA>\r\n");
        EXPECT_EQ(cmd.find("aaaaaaaaaa"), std::string::npos);
    }
}

TEST_F(Routing, OverlongPathsAreRefusedAndTheFileStays) {
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT", "550 unknown\r\n"}});
    UsePort(peer.port);
    // A message path of 120 characters: refused before any connection.
    std::string name = std::string(120 - (dir.size() + 6), 'n');
    Drop("john", name, "Subject: x\n\n");
    RouteMessage(0, name.c_str());
    EXPECT_EQ(peer.Connections(), 0);
    EXPECT_NE(Window().find("path " + Mail("john", name) + " is too long"), std::string::npos) << Window();
    EXPECT_TRUE(fs::exists(Mail("john", name)));
    // A bad-mail path over the limit: the refused file stays.
    std::string badDir = Path(std::string(110 - dir.size(), 'd')) + "/";
    fs::create_directories(badDir);
    snprintf(relaySettings.Badmails, sizeof relaySettings.Badmails, "%s", badDir.c_str());
    Drop("john", "SHORT.CNM", "Subject: x\n\n");
    RouteMessage(0, "SHORT.CNM");
    EXPECT_NE(Window().find("bad-mail path " + badDir + "SHORT.CNM is too long"), std::string::npos) << Window();
    EXPECT_TRUE(fs::exists(Mail("john", "SHORT.CNM")));
    EXPECT_FALSE(fs::exists(badDir + "SHORT.CNM"));
}

TEST_F(Routing, PermanentRefusalMovesToBadMailsOrLeavesTheFile) {
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT", "550 unknown\r\n"}});
    UsePort(peer.port);
    Drop("john", "P.CNM", "Subject: x\n\n");
    RouteMessage(0, "P.CNM");
    EXPECT_TRUE(fs::exists(Path("bad/P.CNM")));
    std::string w = Window();
    EXPECT_NE(w.find("          Routing failed with 500-like error !\r\n Moved " + Mail("john", "P.CNM") +
                     " to BAD mails.\r\n-> RSET\r\n"),
              std::string::npos)
        << w;
    EXPECT_NE(FileText().find("          Routing failed 500-like error !\r\n"), std::string::npos);
    // The same name is already in the bad-mail folder: the move fails, the file stays.
    Drop("john", "P.CNM", "Subject: again\n\n");
    RouteMessage(0, "P.CNM");
    EXPECT_NE(Window().find(" Error moving " + Mail("john", "P.CNM") + " to BAD mails.(errno: 17)\r\n"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(Mail("john", "P.CNM")));
    // No bad-mail folder: only the failure line, the file stays.
    relaySettings.Badmails[0] = 0;
    Drop("john", "Q.CNM", "Subject: x\n\n");
    RouteMessage(0, "Q.CNM");
    EXPECT_TRUE(fs::exists(Mail("john", "Q.CNM")));
}

TEST_F(Routing, BadMailLogSaysWhy) {
    ScriptedPeer peer(std::map<std::string, std::string>{{"RCPT", "550 5.1.1 <x>:\tunknown\r\n"}});
    UsePort(peer.port);
    Drop("john", "R1.CNM", "Subject: x\n\n");
    Drop("shop", "R2.CNM", "X-Envelope-To: <a@y>\n\n");
    RouteMessage(0, "R1.CNM");
    RouteMessage(1, "R2.CNM");
    // A move that fails (the name is taken in bad mail) writes no line.
    Drop("john", "R1.CNM", "Subject: again\n\n");
    RouteMessage(0, "R1.CNM");
    CloseSession();
    std::string log = ReadFile(Path("bad/badmail.log"));
    std::vector<std::string> lines;
    for (size_t at = 0, e; (e = log.find("\r\n", at)) != std::string::npos; at = e + 2) lines.push_back(log.substr(at, e - at));
    ASSERT_EQ(lines.size(), 2u) << log;
    const std::string tails[] = {"\tR1.CNM\t" + Path("john/") + "\t550 5.1.1 <x>: unknown",
                                 "\tR2.CNM\t" + Path("shop/") + "\t550 5.1.1 <x>: unknown"};
    for (int i = 0; i < 2; i++) {
        // "YYYY-MM-DD HH:MM:SS", local time.
        ASSERT_GT(lines[i].size(), 19u);
        for (int k = 0; k < 19; k++) {
            char c = lines[i][k];
            bool want = k == 4 || k == 7 ? c == '-' : k == 10 ? c == ' ' : k == 13 || k == 16 ? c == ':' : isdigit(c);
            EXPECT_TRUE(want) << lines[i];
        }
        EXPECT_EQ(lines[i].substr(19), tails[i]);
    }
}

// A file the server accepted is deleted at its 250; one that cannot be
// deleted is reported and never sent again in this run; a new file of that
// name is a new message.
TEST_F(Routing, UndeletableAcceptedFileIsNotSentAgain) {
    const std::string path = Mail("john", "U.CNM");
    // At the end of data the file becomes a folder that is not empty, which
    // no delete removes.
    auto block = [path] {
        fs::remove(path);
        fs::create_directories(path + "/x");
    };
    const std::vector<PeerStep> session = {SendStep("220 hi\r\n"), LineStep(), SendStep("250 hello\r\n"),
                                           LineStep(), SendStep("250 ok\r\n"), LineStep(), SendStep("250 ok\r\n"),
                                           LineStep(), SendStep("354 go\r\n"), DataStep(), CallStep(block),
                                           SendStep("250 queued\r\n"), ServeStep()};
    ScriptedPeer peer(std::vector<std::vector<PeerStep>>{session});
    UsePort(peer.port);
    Drop("john", "U.CNM", "Subject: u\n\nx\n");
    RouteMessage(0, "U.CNM");
    CloseSession();
    EXPECT_NE(Window().find(" Error deleting mail " + path + " (errno: "), std::string::npos) << Window();
    ClearCaptured();
    RouteMessage(0, "U.CNM");
    EXPECT_NE(Window().find(" Mail " + path + " was delivered before and cannot be deleted"), std::string::npos)
        << Window();
    EXPECT_EQ(peer.Connections(), 1) << "not sent again";
    fs::remove_all(path);
    Drop("john", "U.CNM", "Subject: new\n\ny\n");
    RouteMessage(0, "U.CNM");
    CloseSession();
    EXPECT_EQ(peer.Messages().size(), 1u) << "the first session's text is not kept by its script";
    EXPECT_EQ(peer.Connections(), 2);
    EXPECT_FALSE(fs::exists(path));
}

// ---- no message is ever lost ------------------------------------------------------

namespace {

enum FileEnd { Deleted, Bad, Stays };

struct LossCase {
    std::string name;
    std::map<std::string, std::string> replies;
    FileEnd first, second;
    bool lost = false;  // the fault leaves a connection that can carry nothing more
};

std::vector<LossCase> LossCases() {
    std::vector<LossCase> cases = {{"willing server", {}, Deleted, Deleted}};
    const std::pair<const char*, std::string> faults[] = {
        {"4xx", "451 try later\r\n"}, {"5xx", "554 refused\r\n"}, {"drop", kDrop}, {"silence", kSilent}};
    // Faults on the second message's steps: the first was accepted in the
    // same session and is gone whatever happens to the second (a deferral,
    // a refusal, a lost connection): the server has it.
    for (const char* step : {"MAIL", "RCPT", "DATA", "."}) {
        for (const auto& f : faults) {
            bool permanent = f.second[0] == '5';
            cases.push_back({std::string(f.first) + " at " + step + " of the second message",
                             {{std::string(step) + "#2", f.second}}, Deleted, permanent ? Bad : Stays,
                             f.second[0] == '<'});
        }
        // A refusal that the settings cause keeps the message.
        cases.push_back({std::string("530 at ") + step + " of the second message",
                         {{std::string(step) + "#2", "530 5.7.0 Authentication required\r\n"}}, Deleted, Stays});
    }
    for (const auto& f : faults) {
        // Session start of the first message fails; the second opens afresh.
        cases.push_back({std::string(f.first) + " at the greeting", {{"GREET#1", f.second}}, Stays, Deleted});
        cases.push_back({std::string(f.first) + " at HELO", {{"HELO#1", f.second}}, Stays, Deleted, f.second[0] == '<'});
        // QUIT not answered with 221: both were accepted and deleted.
        cases.push_back({std::string(f.first) + " at QUIT", {{"QUIT#1", f.second}}, Deleted, Deleted});
    }
    cases.push_back({"250 at QUIT", {{"QUIT#1", "250 ok\r\n"}}, Deleted, Deleted});
    cases.push_back({"251 at RCPT", {{"RCPT#2", "251 forwarded\r\n"}}, Deleted, Stays});
    cases.push_back({"multi-line 550 at end of data", {{".#2", "550-no\r\n550 really\r\n"}}, Deleted, Bad});
    cases.push_back({"550 5.7.1 is the message's", {{"RCPT#2", "550 5.7.1 relaying denied\r\n"}}, Deleted, Bad});
    return cases;
}

}  // namespace

TEST_F(Routing, EveryFileIsSentAndDeletedMovedOrLeft) {
    const char* names[] = {"FIRST.CNM", "SECOND.CNM"};
    const std::string texts[] = {"Return-path: <a@x>\n\nfirst\n.\n", "Return-path: <b@x>\n\nsecond\n"};
    const std::string wire[] = {"Return-path: <a@x>\r\n\r\nfirst\r\n..\r\n\r\n.\r\n",
                                "Return-path: <b@x>\r\n\r\nsecond\r\n\r\n.\r\n"};
    // The fast mode only changes when bytes go: the same fates.
    for (int fast : {0, 1})
    for (const LossCase& c : LossCases()) {
        relaySettings.LowLatency = fast;
        SCOPED_TRACE(fast ? "LowLatency=1" : "LowLatency absent");
        fs::remove_all(Path("john"));
        fs::remove_all(Path("bad"));
        Mkdir("john");
        Mkdir("bad");
        ScriptedPeer peer(c.replies);
        UsePort(peer.port);
        relaySession.heldDomain = 0;  // a new pass
        for (int i = 0; i < 2; i++) Drop("john", names[i], texts[i]);
        for (int i = 0; i < 2; i++) RouteMessage(0, names[i]);
        CloseSession();
        ASSERT_TRUE(WaitFor([&] { return peer.Idle(); }, 5000)) << c.name;
        std::vector<std::string> got = peer.Messages();
        FileEnd want[] = {c.first, c.second};
        for (int i = 0; i < 2; i++) {
            bool inBox = fs::exists(Mail("john", names[i]));
            bool inBad = fs::exists(Path(std::string("bad/") + names[i]));
            FileEnd fate = inBox ? Stays : inBad ? Bad : Deleted;
            EXPECT_EQ(fate, want[i]) << c.name << ": " << names[i];
            EXPECT_FALSE(inBox && inBad) << c.name;
            if (fate == Deleted) {
                // Deleted only after the server received it whole.
                EXPECT_NE(std::find(got.begin(), got.end(), wire[i]), got.end()) << c.name << ": " << names[i];
            } else {
                EXPECT_EQ(ReadFile(inBox ? Mail("john", names[i]) : Path(std::string("bad/") + names[i])), texts[i])
                    << c.name << ": the file is untouched";
            }
        }
        EXPECT_EQ(relayState.relaySocket.load(), kNoSocket) << c.name;
        EXPECT_EQ(relaySession.ending, SessionEnding::kEndNone) << c.name;
        // A dropped or silent connection is closed at once: no RSET or QUIT
        // that would wait out the time-out again.
        if (c.lost) {
            std::string w = Window();
            EXPECT_EQ(Count(w, " TIMEOUT in read !!!"), 1u) << c.name << "\n" << w;
            EXPECT_EQ(Count(w, "-> RSET"), 0u) << c.name;
        }
        ClearCaptured();
    }
}

// ---- pickup files: the address lists, the envelope and the text filter --------------

namespace {

// "a@x, b [why]": each address in order, an unusable one with its fault.
std::string Shown(const std::vector<PickupAddress>& list) {
    std::string s;
    for (const PickupAddress& a : list)
        s += (s.empty() ? "" : ", ") + a.address + (a.fault.empty() ? "" : " [" + a.fault + "]");
    return s;
}

}  // namespace

TEST(PickupAddress, ParseAddressList) {
    const std::string longAddress = std::string(250, 'a') + "@x.org";
    const struct {
        const char* name;
        std::string value;
        std::string addresses;
    } cases[] = {
        {"bare, angle, comment, no display name", "a@x.org, Alice <b@x.org> (Bob B.),<c@x.org>,d@x.org (D)",
         "a@x.org, b@x.org, c@x.org, d@x.org"},
        {"quoted display names with commas and brackets", "\"Smith, John\" <j@x.org>, \"<k@evil>, (x)\" <k@x.org>",
         "j@x.org, k@x.org"},
        {"groups", "undisclosed-recipients:;, team: a@x.org, Bo <b@x.org>;, c@x.org", "a@x.org, b@x.org, c@x.org"},
        {"encoded words, bare and in quotes", "=?UTF-8?Q?M=C3=BCller,_A?= <m@x.org>, \"=?utf-8?B?SsO2cmc=?=\" <j@x.org>",
         "m@x.org, j@x.org"},
        {"folded lines", "Alice\r\n <a@x.org>,\n\tb@x.org,\r\n \"Smith,\r\n J\" <c@x.org>\r\n", "a@x.org, b@x.org, c@x.org"},
        {"quoted local part, blanks around dots, source route", "\"j s\"@x.org, j . s @ x.org, <@r.net:u@x.org>",
         "\"j s\"@x.org, j.s@x.org, u@x.org"},
        {"two angle-addrs without a comma", "<a@x.org> <b@x.org>", "a@x.org, b@x.org"},
        {"empty and garbage", "<>, ,;:, ((a@x.org) <b@x.org", ""},
        {"unclosed angle", "Bob <b@x.org", "b@x.org"},
        {"unusable", "Bob, <a@x\rRCPT TO:<e@z>>, <" + longAddress + ">, " + std::string("n\0l@x", 5) + ", a>b@x",
         "Bob [no @ in the address], a@x\rRCPTTO:<e@z [a control character in the address], " + longAddress +
             " [address over 255 characters], " + std::string("n\0l@x", 5) +
             " [a control character in the address], a>b@x [a < or > in the address]"},
        {"a line break that folds nothing is text", "a@x\nb@y", "a@x\nb@y [a control character in the address]"},
    };
    for (const auto& c : cases) EXPECT_EQ(Shown(ParseAddressList(c.value)), c.addresses) << c.name;
    // Linear work on a field far beyond any sound length.
    EXPECT_EQ(ParseAddressList(std::string(4 << 20, '(')).size(), 0u);
    EXPECT_EQ(ParseAddressList(std::string(1 << 20, '=') + std::string(1 << 20, '?')).size(), 1u);
}

TEST(PickupEnvelope, ReadPickupEnvelope) {
    const struct {
        const char* name;
        std::string header;
        std::string sender;  // "[fault]" for an unusable one
        std::string recipients;
        bool fromLines;
        std::string fault;
    } cases[] = {
        {"as .NET writes it",
         "X-Sender: s@x.org\r\nX-Receiver: a@y.org\r\nX-Receiver: b@y.org\r\nFrom: f@x.org\r\nTo: t@z.org\r\n", "s@x.org",
         "a@y.org, b@y.org", true, ""},
        {"lower case with parameters, continuation, duplicate",
         "x-sender: <s@x>\nx-receiver: <a@y> ORCPT=rfc822;a@y NOTIFY=NEVER\n\tc2@evil\nx-receiver: <A@Y>\n"
         "x-receiver: c@y ORCPT=rfc822;c@y\nTo: t@z\n",
         "s@x", "a@y, c@y", true, ""},
        {"no envelope lines", "From: \"F\" <f@x>\nTo: \"Smith, J\" <j@x>,\n (team) k@x\nCc: undisclosed-recipients:;\n"
         "Subject: x\nBcc: g: b1@x,\n b2@x;\nCC: J@X\n", "f@x", "j@x, k@x, b1@x, b2@x", false, ""},
        {"envelope lines only at the top", "Subject: x\nx-sender: <s@x>\nx-receiver: <a@y>\nTo: t@z\n", "", "t@z",
         false, ""},
        {"a Bcc: among them does not end them", "x-sender: <s@x>\nBcc: b@x\n c@x\nx-receiver: <r@y>\n", "s@x", "r@y",
         true, ""},
        {"read to the empty line only", "To: a@x\r\n\r\nTo: b@x\r\n", "", "a@x", false, ""},
        {"no recipient", "From: f@x\nSubject: x\n", "f@x", "", false, "no usable recipient"},
        {"no usable recipient", "x-receiver: <bob>\nx-receiver: <>\nx-receiver: <a@y\n", "",
         "bob [no @ in the address],  [no @ in the address], a@y [no > closes the address]", true, "no usable recipient"},
        {"Sender: before From:", "From: a@x\nSender: Bo <s@x>\nTo: t@y\n", "s@x", "t@y", false, ""},
        {"the first of From:", "Sender: (none)\nFrom: A <a@x>, b@x\nTo: t@y\n", "a@x", "t@y", false, ""},
        {"unusable sender", "x-sender: <s@x\x01>\nx-receiver: r@y\n", "[a control character in the address]", "r@y",
         true, ""},
        {"the lines it writes", PickupEnvelopeLines("s@x", {"a@y", "b@y"}) + "To: t@z\r\n", "s@x", "a@y, b@y", true, ""},
    };
    for (const auto& c : cases) {
        PickupEnvelope env = ReadPickupEnvelope(c.header);
        EXPECT_EQ(env.senderFault.empty() ? env.sender : "[" + env.senderFault + "]", c.sender) << c.name;
        EXPECT_EQ(Shown(env.recipients), c.recipients) << c.name;
        EXPECT_EQ(env.fromEnvelopeLines, c.fromLines) << c.name;
        EXPECT_EQ(env.senderFromEnvelope, strncasecmp(c.header.c_str(), "x-sender", 8) == 0) << c.name;
        EXPECT_EQ(env.fault, c.fault) << c.name;
    }
    for (size_t n : {kPickupRecipientsMax, kPickupRecipientsMax + 1}) {
        std::string lines, to = "To: ";
        for (size_t i = 0; i < n; i++) {
            lines += "x-receiver: <r" + std::to_string(i) + "@y>\r\n";
            to += "r" + std::to_string(i) + "@y,\r\n ";
        }
        for (const std::string& h : {lines, to + "\r\n"})
            EXPECT_EQ(ReadPickupEnvelope(h).fault, n > kPickupRecipientsMax ? "more than 1000 recipients" : "") << n;
    }
}

TEST(PickupEnvelope, TextFilter) {
    const struct {
        const char* name;
        std::string in, out;
    } cases[] = {
        {"as .NET writes it, CR LF kept",
         "X-Sender: s@x\r\nX-Receiver: a@y\r\nFrom: f@x\r\nBcc: b@x,\r\n c@x\r\nSubject: s\r\n\r\nBcc: body@x\r\n",
         "From: f@x\r\nSubject: s\r\n\r\nBcc: body@x\r\n"},
        {"continuation lines of the envelope",
         "x-sender: <s@x>\nx-receiver: <a@y> ORCPT=rfc822;a@y\n\tNOTIFY=NEVER\nTo: t@z\n\nbody\n", "To: t@z\n\nbody\n"},
        {"envelope lines below the top go on, Bcc: does not",
         "Subject: x\nX-Receiver: a@y\nBCC : b@x\n\tmore\nTo: t\n  folded\n\n", "Subject: x\nX-Receiver: a@y\nTo: t\n  folded\n\n"},
        {"a Bcc: at the top", "Bcc: b@x\nx-receiver: r@y\nTo: t\n\n", "To: t\n\n"},
        {"a CR alone ends a line", "To: t\rBcc: b\r\nSubject: s\r\rBcc: c\r\n", "To: t\rSubject: s\r\rBcc: c\r\n"},
        {"no header end", "x-sender: <s>\nSubject: x", "Subject: x"},
        {"ends in a name", "x-sender: <s>\nx-rec", "x-rec"},
        {"name beyond what is held", "X-" + std::string(100, 'a') + ": v\nBcc: b\n\nx",
         "X-" + std::string(100, 'a') + ": v\n\nx"},
        {"empty first line", "\r\nx-sender: a\r\nBcc: b\r\n", "\r\nx-sender: a\r\nBcc: b\r\n"},
        {"other bytes as they are", std::string("Subject: \0\x1a\xff\n\n.\0\n", 16), std::string("Subject: \0\x1a\xff\n\n.\0\n", 16)},
    };
    for (const auto& c : cases) {
        PickupTextFilter filter;
        std::string out;
        for (char ch : c.in) filter.Take(ch, out);
        filter.Finish(out);
        EXPECT_EQ(out, c.out) << c.name;
    }
}
