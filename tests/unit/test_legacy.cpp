// Loading the older single-relay layout: what a good file gives, every
// failure row, and what a failed load leaves in force.
// Relay hosts are dotted addresses or "localhost" (resolved from the hosts
// file); the failing names carry a ":" and are refused by the resolver
// without any network query.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <vector>

#include "test_support.h"

using namespace testsupport;

namespace {

class LegacyLoad : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Mkdir("users/john");
        Mkdir("abs/box");
    }
    // A legacy file: product keys (no Version) and the mailbox section.
    std::string Make(const std::string& product, const std::string& pairs,
                     const std::string& domain = "example.org") const {
        return "[Ambrel]\nUserFolder=" + dir + "/users/\nDomain1=" + domain + "\n" + product +
               "\n[" + domain + "]\n" + pairs + "\n";
    }
    bool Load(const std::string& text) {
        WriteIni(text);
        ClearCaptured();
        return LoadConfiguration();
    }
};

}  // namespace

TEST_F(LegacyLoad, OneDomainWithItsPairs) {
    relaySettings.MaxMailSent = 3;  // keys of the current layout are not read here
    relaySettings.FlushLog = 0;
    ASSERT_TRUE(Load(Make("Port=2525\nSMTPServer=127.0.0.1\nMailBoxes=3\nLoopDelay=0\n"
                          "Badmails=" + dir + "/bad\nMaxMailSent=1\nFlushLog=1\nSMTPHelo=other\n"
                          "Domains=4\n",
                          "MB1addr=john\nMB1dir=john\nMB2addr=abs\nMB2dir=@" + dir +
                              "/abs/box\nMB3addr=top\nMB3dir=\n")));
    EXPECT_EQ(domainCount, 1);
    EXPECT_STREQ(domainTable[0].name, "example.org");
    EXPECT_STREQ(domainTable[0].host, "127.0.0.1");
    EXPECT_EQ(domainTable[0].port, 2525);
    // The session resolves the loaded host as the loader checked it.
    ASSERT_TRUE(ResolveRelayHost(0));
    EXPECT_EQ(relaySession.peerAddress, inet_addr("127.0.0.1"));
    EXPECT_EQ(relaySettings.LoopDelay, 120);
    EXPECT_EQ(std::string(relaySettings.Badmails), dir + "/bad/");
    EXPECT_EQ(relaySettings.MaxMailSent, 3);
    EXPECT_EQ(relaySettings.FlushLog, 0);
    EXPECT_STREQ(relaySettings.SMTPHelo, "Vorpal");

    ASSERT_EQ(mailboxCount, 3);
    EXPECT_STREQ(mailboxTable[0].user, "john");
    EXPECT_STREQ(mailboxTable[0].email, "john@example.org");
    EXPECT_EQ(std::string(mailboxTable[0].folder), dir + "/users/john/");
    EXPECT_EQ(mailboxTable[0].absolute, 0);
    EXPECT_EQ(std::string(mailboxTable[1].folder), dir + "/abs/box/");
    EXPECT_EQ(mailboxTable[1].absolute, 1);
    // An empty folder key is the user folder itself.
    EXPECT_EQ(std::string(mailboxTable[2].folder), dir + "/users/");
    for (int i = 0; i < 3; i++) EXPECT_EQ(mailboxTable[i].domainIndex, 0);
    EXPECT_NE(Window().find("Added user: john, mailDir: " + dir +
                            "/users/john/, email: john@example.org\r\n"),
              std::string::npos);
    EXPECT_EQ(Window().find("MaxMailSent"), std::string::npos);
    EXPECT_EQ(Window().find("SMTPHelo"), std::string::npos);
}

TEST_F(LegacyLoad, PortDefaultsTo25AndServerIsTakenWhole) {
    ASSERT_TRUE(Load(Make("SMTPServer=localhost\nMailBoxes=0", "")));
    EXPECT_EQ(domainTable[0].port, 25);
    EXPECT_STREQ(domainTable[0].host, "localhost");
    // The session resolves the loaded host as the loader checked it.
    ASSERT_TRUE(ResolveRelayHost(0));
    EXPECT_EQ(relaySession.peerAddress, inet_addr("127.0.0.1"));

    // "host:port" is not split here: the whole text is a host name.
    EXPECT_FALSE(Load(Make("SMTPServer=mail.example:2525\nPort=2526", "")));
    EXPECT_EQ(Window(), "Invalid SMTP relay host name 'mail.example:2525'.\r\n");
    EXPECT_EQ(domainCount, 1);
    EXPECT_EQ(domainTable[0].port, 2526);
}

TEST_F(LegacyLoad, MessagesOfEveryFailureRow) {
    struct {
        const char* name;
        std::string product, pairs, domain;
        bool result;
        std::vector<std::string> shown, absent;
    } cases[] = {
        {"empty server", "MailBoxes=1", "MB1addr=john\nMB1dir=john", "example.org", false,
         {"Missing SMTP relay host name.\r\n"}, {"Added user"}},
        {"too many users", "SMTPServer=127.0.0.1\nMailBoxes=201", "", "example.org", true,
         {"Error: too many users (201), only 200 will be configured.\r\n",
          "Error adding user 200: no user name specified.\r\n"},
         {"Error adding user 201"}},
        {"empty address key", "SMTPServer=127.0.0.1\nMailBoxes=2", "MB1dir=john\nMB2addr=john\nMB2dir=john",
         "example.org", true,
         {"Error adding user 1: no user name specified.\r\n", "Added user: john, mailDir: "}, {}},
        {"folder that cannot be entered", "SMTPServer=127.0.0.1\nMailBoxes=1", "MB1addr=john\nMB1dir=nobody",
         "example.org", true,
         {"Error adding user: bad mail directory '" + dir + "/users/nobody' (err: -1).\r\n"}, {"Added user"}},
        // No domain name, so no section: every pair reads empty, the load still succeeds.
        {"empty Domain1", "SMTPServer=127.0.0.1\nMailBoxes=2", "MB1addr=john\nMB1dir=john", "", true,
         {"Error adding user 1: no user name specified.\r\n",
          "Error adding user 2: no user name specified.\r\n"},
         {"Added user"}},
        // This layout reads no security keys: a file that has some asks for
        // TLS or a login it cannot get, so no mailbox is relayed at all
        // (never in plain SMTP instead).
        {"security keys named: nothing relayed",
         "SMTPServer=127.0.0.1\nMailBoxes=1\nSecurity=starttls\nAuthUser1=joe",
         "MB1addr=john\nMB1dir=john\n[Domains]\nAuthPassword1=pw\nTlsFingerprint2=aa\nSenderAddress5=a@b.org\nDomain1=x.org",
         "example.org", true,
         {"Config error: [Ambrel] Security, [Ambrel] AuthUser1, [Domains] AuthPassword1, [Domains] TlsFingerprint2, "
          "[Domains] SenderAddress5 found: the older layout (no Version above 0.11) reads no security keys, so "
          "no mail is sent and it stays in the mailbox folders; set Version=" AMBREL_VERSION " and the keys of [Domains] to use "
          "them\r\n"},
         {"Domain[1]", "Added user"}},
        {"no security keys, no warning", "SMTPServer=127.0.0.1\nMailBoxes=0\nSecurity=", "", "example.org", true,
         {}, {"ignored"}},
        // Refused whole rather than cut into another name.
        {"overlong user name", "SMTPServer=127.0.0.1\nMailBoxes=1",
         "MB1addr=" + std::string(300, 'u') + "\nMB1dir=john", "example.org", true,
         {"Error adding user 1: user name too long (300 characters, at most 255).\r\n"}, {"Added user"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Load(Make(c.product, c.pairs, c.domain)), c.result);
        for (const std::string& s : c.shown) EXPECT_NE(Window().find(s), std::string::npos) << s;
        for (const std::string& s : c.absent) EXPECT_EQ(Window().find(s), std::string::npos) << s;
        EXPECT_EQ(domainCount, 1);
    }
}

TEST_F(LegacyLoad, PoolFailureSkipsThePairOnly) {
    Mkdir("users/mary");
    // Fill the current block so that the first copy needs a new block, which
    // the heap then refuses once.
    PoolCopy("x");
    PoolCopy(std::string(kPoolBlockSize - PoolBytesUsedInCurrentBlock() - 10, 'x').c_str());
    PoolFailNextBlocks(1);
    ASSERT_TRUE(Load(Make("SMTPServer=127.0.0.1\nMailBoxes=2",
                          "MB1addr=john\nMB1dir=john\nMB2addr=mary\nMB2dir=mary")));
    EXPECT_NE(Window().find("Error adding user: 'john', memory alloc error.\r\n"), std::string::npos);
    ASSERT_EQ(mailboxCount, 1);
    EXPECT_STREQ(mailboxTable[0].user, "mary");
}

TEST_F(LegacyLoad, FailedLoadKeepsTheEarlierMailboxes) {
    ASSERT_TRUE(Load(Make("SMTPServer=127.0.0.1\nMailBoxes=1", "MB1addr=john\nMB1dir=john")));
    ASSERT_EQ(mailboxCount, 1);
    const char* before = mailboxTable[0].email;

    // Missing host: LoopDelay keeps the raw value read.
    EXPECT_FALSE(Load(Make("MailBoxes=0", "")));
    EXPECT_EQ(relaySettings.LoopDelay, -1);
    EXPECT_EQ(mailboxCount, 1);
    EXPECT_EQ(mailboxTable[0].email, before);

    // Host that does not resolve: by then LoopDelay has had its floor.
    EXPECT_FALSE(Load(Make("SMTPServer=bad:host\nMailBoxes=0\nLoopDelay=0", "")));
    EXPECT_EQ(relaySettings.LoopDelay, 120);
    EXPECT_EQ(mailboxCount, 1);
    EXPECT_EQ(domainCount, 1);
    EXPECT_STREQ(mailboxTable[0].user, "john");

    // A current-layout failure, by contrast, empties the mailbox table.
    EXPECT_FALSE(Load("[Ambrel]\nVersion=0.28\nDomains=0\n"));
    EXPECT_EQ(mailboxCount, 0);
}
