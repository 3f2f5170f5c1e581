// Loading the current layout: every message and failure row, the version
// switch, the limits, and what a load leaves in the tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "config/config_internal.h"
#include "config/keys.h"
#include "test_support.h"

using namespace testsupport;

namespace {

class ConfigLoad : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Mkdir("users/john");
        Mkdir("users/mary");
        Mkdir("abs/box");
    }
    // A current-layout file: product keys, domain keys and mailbox keys.
    std::string Make(const std::string& product, const std::string& domains,
                     const std::string& mailboxes) const {
        return "[Ambrel]\nVersion=0.28\nUserFolder=" + dir + "/users/\n" + product +
               "\n[Domains]\n" + domains + "\n[MailBoxes]\n" + mailboxes + "\n";
    }
    bool Load(const std::string& text) {
        WriteIni(text);
        ClearCaptured();
        return LoadConfiguration();
    }
};

const char kOneDomain[] = "Domain1=example.org\nSMTPServer1=127.0.0.1:2525\n";
#define SECURE_DOMAIN "Domain1=example.org\nSMTPServer1=127.0.0.1:2525\n"

struct MessageCase {
    const char* name;
    const char* product;
    std::string domains;
    const char* mailboxes;
    bool result;
    std::vector<const char*> shown;    // texts the window must show
    std::vector<const char*> absent;   // texts it must not show
};

}  // namespace

TEST_F(ConfigLoad, MessagesOfEveryFailureRow) {
    const MessageCase cases[] = {
        {"MaxMailSent 6 says nothing", "Domains=1\nMaxMailSent=6", kOneDomain, "", true, {}, {"MaxMailSent"}},
        {"MaxMailSent 0 is reported", "Domains=1\nMaxMailSent=0", kOneDomain, "", true, {"MaxMailSent: 0.\r\n"}, {}},
        {"MaxMailSent 7 replaced", "Domains=1\nMaxMailSent=7", kOneDomain, "", true, {"Invalid MaxMailSent (7), using 6.\r\n"}, {}},
        {"MaxMailSent -1 replaced", "Domains=1\nMaxMailSent=-1", kOneDomain, "", true, {"Invalid MaxMailSent (-1), using 6.\r\n"}, {}},
        {"more than five domains", "Domains=6",
         "Domain1=a.org\nSMTPServer1=h:1\nDomain6=f.org\nSMTPServer6=h:6\n", "", true,
         {"Config error: number of domains must be <= 5\r\n", "Added domain[1]='a.org' (Server: h:1)\r\n"}, {"f.org"}},
        {"empty domain key", "Domains=2", "Domain2=b.org\nSMTPServer2=h\n", "", true,
         {"Config error: mising 'Domain1'\r\n", "Added domain[1]='b.org' (Server: h:25)\r\n"}, {}},
        {"empty server key", "Domains=1", "Domain1=a.org\n", "", false,
         {"Config error: mising server for Domain1 (a.org)\r\n"}, {}},
        {"no domain at all", "Domains=0", "", "", false, {}, {"Added domain"}},
        {"too many users", "Domains=1\nMailBoxes=201", kOneDomain, "", true,
         {"Error: too many users (201), only 200 will be configured.\r\n",
          "Error adding user 200: no user name specified.\r\n"},
         {"Error adding user 201"}},
        {"missing mailbox key", "Domains=1\nMailBoxes=2", kOneDomain, "Mailbox1=john;john;1", true,
         {"Error adding user 2: no user name specified.\r\n"}, {}},
        {"domain number 0", "Domains=1\nMailBoxes=1", kOneDomain, "Mailbox1=john;sub;0", true,
         {"Error adding user 1: invalid domain(0).\r\n"}, {}},
        {"empty folder field", "Domains=1\nMailBoxes=1", kOneDomain, "Mailbox1=john;;1", true,
         {"Error adding user 1: invalid domain(0).\r\n"}, {}},
        {"domain number past the table", "Domains=1\nMailBoxes=1", kOneDomain, "Mailbox1=john;john;2", true,
         {"Error adding user 1: invalid domain(2).\r\n"}, {}},
        {"negative mailbox count", "Domains=1\nMailBoxes=-3", kOneDomain, "", true, {}, {"Error adding"}},
        {"XToHeader of one character ignored", "Domains=1\nXToHeader=X", kOneDomain, "", true, {}, {"SMTP To header"}},
        {"XToHeader gets its colon", "Domains=1\nXToHeader=X-To", kOneDomain, "", true,
         {"SMTP To header searched: 'X-To:'.\r\n"}, {}},
        {"XToHeader with colon kept", "Domains=1\nXToHeader=X-Rcpt:", kOneDomain, "", true,
         {"SMTP To header searched: 'X-Rcpt:'.\r\n"}, {}},
        {"absent SMTPHelo still logged", "Domains=1", kOneDomain, "", true, {"SMTPHelo used: 'Vorpal'.\r\n"}, {}},
        {"empty SMTPHelo silent", "Domains=1\nSMTPHelo=", kOneDomain, "", true, {}, {"SMTPHelo"}},
        // The security keys: each one in use is reported, the password never.
        {"security keys reported", "Domains=1",
         SECURE_DOMAIN "Security1=STARTTLS\nAuthUser1=joe\nAuthPassword1=pw-secret\n"
                       "TlsFingerprint1=abcdef0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789",
         "", true,
         {"Added domain[1]='example.org' (Server: 127.0.0.1:2525)\r\nDomain[1] security: starttls.\r\n"
          "Domain[1] TLS fingerprint: ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789.\r\n"
          "Domain[1] login: 'joe' (password set).\r\n"},
         {"pw-secret"}},
        {"Security none says nothing", "Domains=1", SECURE_DOMAIN "Security1=none", "", true, {}, {"Domain[1]"}},
        {"unknown Security drops the domain", "Domains=1", SECURE_DOMAIN "Security1=ssl", "", false,
         {"Config error: invalid Security1 for Domain1 (example.org): none, starttls or tls expected\r\n"},
         {"Added domain"}},
        {"fingerprint one digit short", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nTlsFingerprint1=abcdef0123456789abcdef0123456789abcdef0123456789abcdef012345678",
         "", false,
         {"Config error: invalid TlsFingerprint1 for Domain1 (example.org): 64 hex digits expected\r\n"}, {}},
        {"fingerprint with a letter past F", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nTlsFingerprint1=gbcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789",
         "", false, {"Config error: invalid TlsFingerprint1"}, {}},
        {"login with Security none refused", "Domains=1", SECURE_DOMAIN "AuthUser1=joe\nAuthPassword1=pw-secret",
         "", false,
         {"Config error: AuthUser1 for Domain1 (example.org) needs Security1 starttls or tls: a login is never "
          "sent in clear text\r\n"},
         {"pw-secret", "Added domain"}},
        {"protected password cannot be read here", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthPassword1=dpapi:AQIDBA==", "", false,
         {"Config error: AuthPassword1 for Domain1 (example.org) cannot be read here: a protected password can "
          "only be read on the Windows machine that wrote it\r\n"},
         {}},
        {"password over 255 characters refused, not cut", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthPassword1=" + std::string(256, 'p'), "", false,
         {"Config error: AuthPassword1 for Domain1 (example.org) too long (at most 255 characters)\r\n"}, {}},
        {"fingerprint with Security none refused", "Domains=1",
         SECURE_DOMAIN "TlsFingerprint1=" + std::string(64, 'a'), "", false,
         {"Config error: TlsFingerprint1 for Domain1 (example.org) needs Security1 starttls or tls: a "
          "fingerprint is only checked on an encrypted connection\r\n"},
         {"Added domain"}},
        // Sending as the account: reported, and refused when it could not be sent as one address.
        {"sender and From rewrite reported", "Domains=1",
         SECURE_DOMAIN "SenderAddress1=relay@example.org\nRewriteFrom1=1", "", true,
         {"Added domain[1]='example.org' (Server: 127.0.0.1:2525)\r\n"
          "Domain[1] sender: 'relay@example.org' (From rewritten to it).\r\n"},
         {}},
        {"sender without rewrite, even over a plain connection", "Domains=1",
         SECURE_DOMAIN "SenderAddress1=o'brien.relay@mail.example.org\nRewriteFrom1=0", "", true,
         {"Domain[1] sender: 'o'brien.relay@mail.example.org'.\r\n"}, {"rewritten"}},
        {"sender with a blank refused, not echoed", "Domains=1",
         SECURE_DOMAIN "SenderAddress1=john smith@example.org", "", false,
         {"Config error: invalid SenderAddress1 for Domain1 (example.org): one address like user@example.org "
          "expected (at most 255 characters, no blanks, quotes, <> or control characters)\r\n"},
         {"john smith", "Added domain"}},
        {"sender over 255 characters refused", "Domains=1",
         SECURE_DOMAIN "SenderAddress1=" + std::string(244, 'a') + "@example.org", "", false,
         {"Config error: invalid SenderAddress1"}, {}},
        {"RewriteFrom without a sender refused", "Domains=1", SECURE_DOMAIN "RewriteFrom1=1", "", false,
         {"Config error: RewriteFrom1 for Domain1 (example.org) needs SenderAddress1: the From line is "
          "rewritten to that address\r\n"},
         {"Added domain"}},
        {"RewriteFrom other than 0 or 1 refused", "Domains=1",
         SECURE_DOMAIN "SenderAddress1=a@example.org\nRewriteFrom1=yes", "", false,
         {"Config error: invalid RewriteFrom1 for Domain1 (example.org): 0 or 1 expected\r\n"}, {}},
        // A HELO name that servers checking it refuse is warned about, right after it.
        {"default SMTPHelo warned", "Domains=1", kOneDomain, "", true,
         {"SMTPHelo used: 'Vorpal'.\r\nWarning: SMTPHelo 'Vorpal' is not a fully qualified domain name (such "
          "as relay.example.org, or an address in brackets: [192.0.2.1]); servers that check the HELO name "
          "refuse the mail.\r\n"},
         {}},
        {"bare IPv4 SMTPHelo warned", "Domains=1\nSMTPHelo=192.0.2.1", kOneDomain, "", true,
         {"SMTPHelo used: '192.0.2.1'.\r\nWarning: SMTPHelo '192.0.2.1'"}, {}},
        {"qualified SMTPHelo not warned", "Domains=1\nSMTPHelo=relay.example.org", kOneDomain, "", true,
         {"SMTPHelo used: 'relay.example.org'.\r\n"}, {"Warning"}},
        {"address literal SMTPHelo not warned", "Domains=1\nSMTPHelo=[192.0.2.1]", kOneDomain, "", true,
         {"SMTPHelo used: '[192.0.2.1]'.\r\n"}, {"Warning"}},
        // OAuth 2.0: the settings in use are reported, the client secret never;
        // each refusal names its key and drops the domain.
        {"OAuth keys reported", "Domains=1",
         SECURE_DOMAIN "Security1=starttls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=Microsoft\n"
                       "OAuthTenant1=contoso.example\nOAuthClientId1=abc\nOAuthClientSecret1=cs-secret\n"
                       "OAuthGrant1=client_credentials",
         "", true,
         {"Domain[1] login: 'joe' (OAuth 2.0).\r\nDomain[1] OAuth 2.0: microsoft, client_credentials, client 'abc' "
          "with secret, token endpoint https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token.\r\n"},
         {"cs-secret", "password"}},
        {"OAuth key without AuthMethod oauth2", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthPassword1=pw\nOAuthClientId1=abc", "", false,
         {"Config error: OAuthClientId1 for Domain1 (example.org) needs AuthMethod1 oauth2\r\n"}, {"Added domain"}},
        {"unknown AuthMethod", "Domains=1", SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=kerberos", "",
         false, {"Config error: AuthMethod1 for Domain1 (example.org): password or oauth2 expected\r\n"}, {}},
        {"oauth2 without TLS", "Domains=1", SECURE_DOMAIN "AuthMethod1=oauth2\nOAuthClientId1=abc", "", false,
         {"Config error: AuthMethod1 for Domain1 (example.org): oauth2 needs Security starttls or tls: a token is "
          "never sent in clear text\r\n"},
         {}},
        {"oauth2 without a user", "Domains=1", SECURE_DOMAIN "Security1=tls\nAuthMethod1=oauth2\nOAuthClientId1=abc",
         "", false, {"oauth2 needs AuthUser, the mailbox that signs in"}, {}},
        {"oauth2 with a password", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthPassword1=pw\nAuthMethod1=oauth2\nOAuthProvider1=google\n"
                       "OAuthClientId1=abc",
         "", false, {"Config error: AuthPassword1 for Domain1 (example.org): not used with AuthMethod oauth2"}, {}},
        {"unknown provider", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=yahoo\nOAuthClientId1=abc",
         "", false, {"Config error: OAuthProvider1 for Domain1 (example.org): microsoft, google or custom expected"}, {}},
        {"missing client id", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=google", "", false,
         {"Config error: OAuthClientId1 for Domain1 (example.org): missing"}, {}},
        {"http endpoint refused", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthClientId1=abc\n"
                       "OAuthTokenUrl1=http://idp.example/token\nOAuthDeviceUrl1=https://idp.example/device",
         "", false,
         {"Config error: OAuthTokenUrl1 for Domain1 (example.org): an https:// address expected: tokens never cross "
          "in clear text\r\n"},
         {}},
        {"custom without a token endpoint", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthClientId1=abc\n"
                       "OAuthDeviceUrl1=https://idp.example/device",
         "", false, {"Config error: OAuthTokenUrl1 for Domain1 (example.org): missing"}, {}},
        {"custom user sign-in without a way to sign in", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthClientId1=abc\n"
                       "OAuthTokenUrl1=https://idp.example/token",
         "", false, {"Config error: OAuthDeviceUrl1 for Domain1 (example.org): missing"}, {}},
        {"client credentials need the secret", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthClientId1=abc\n"
                       "OAuthTokenUrl1=https://idp.example/token\nOAuthGrant1=client_credentials",
         "", false, {"Config error: OAuthClientSecret1 for Domain1 (example.org): missing"}, {}},
        {"a Microsoft application needs its tenant", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=microsoft\n"
                       "OAuthClientId1=abc\nOAuthClientSecret1=x\nOAuthGrant1=client_credentials",
         "", false, {"Config error: OAuthTenant1 for Domain1 (example.org): missing"}, {}},
        {"Google signs in users only", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=google\n"
                       "OAuthClientId1=abc\nOAuthClientSecret1=x\nOAuthGrant1=client_credentials",
         "", false, {"Config error: OAuthGrant1 for Domain1 (example.org): google signs in users only"}, {}},
        {"a tenant that is not a name", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthMethod1=oauth2\nOAuthProvider1=microsoft\n"
                       "OAuthClientId1=abc\nOAuthTenant1=../common",
         "", false, {"Config error: OAuthTenant1 for Domain1 (example.org): a tenant name"}, {}},
        {"AuthMethod password keeps the login", "Domains=1",
         SECURE_DOMAIN "Security1=tls\nAuthUser1=joe\nAuthPassword1=pw\nAuthMethod1=password", "", true,
         {"Domain[1] login: 'joe' (password set).\r\n"}, {"OAuth"}},
        {"a refused domain leaves the others", "Domains=2",
         SECURE_DOMAIN "Security1=bogus\nDomain2=b.org\nSMTPServer2=h\n", "", true,
         {"Config error: invalid Security1", "Added domain[1]='b.org' (Server: h:25)\r\n"}, {}},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetConfiguration();
        fs::remove(relaySettings.LogName);
        OpenLogFile();
        EXPECT_EQ(Load(Make(c.product, c.domains, c.mailboxes)), c.result);
        CloseLogFile();
        std::string file = LogFileText();
        // Every message goes to the window and, the same, to the file.
        for (const char* s : c.shown) {
            EXPECT_NE(Window().find(s), std::string::npos) << s << "\n" << Window();
            EXPECT_NE(file.find(s), std::string::npos) << s;
        }
        for (const char* s : c.absent) EXPECT_EQ(Window().find(s), std::string::npos) << s;
    }
}

TEST_F(ConfigLoad, VersionSelectsTheLayout) {
    // The old layout without a relay host fails with its own message, which
    // tells the two loaders apart.
    struct {
        const char* version;
        bool legacy;
    } cases[] = {{nullptr, true}, {"0.11", true}, {"0.10", true}, {"0.100", true}, {"", true},
                 {"0.12", false}, {"0.2", false}, {"0.28", false}, {"1.0", false}, {"0.11a", false}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.version ? c.version : "(absent)");
        std::string text = "[Ambrel]\n";
        if (c.version) text += std::string("Version=") + c.version + "\n";
        text += "Domains=1\n[Domains]\n" + std::string(kOneDomain);
        WriteIni(text);
        ClearCaptured();
        bool ok = LoadConfiguration();
        EXPECT_EQ(!ok && Window().find("Missing SMTP relay host name.\r\n") != std::string::npos, c.legacy);
        EXPECT_EQ(ok, !c.legacy);
    }
}

TEST_F(ConfigLoad, ServerValuesAndPorts) {
    struct {
        const char* value;
        const char* host;
        int port;
    } cases[] = {{"mail.example:2525", "mail.example", 2525}, {"mail.example:", "mail.example", 25},
                 {"mail.example:abc", "mail.example", 25},    {"mail.example:70000", "mail.example", 4464},
                 {":2525", "", 2525},                         {"mail.example", "mail.example", 25}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(Load(Make("Domains=1", std::string("Domain1=x.org\nSMTPServer1=") + c.value, "")));
        EXPECT_STREQ(domainTable[0].host, c.host);
        EXPECT_EQ(domainTable[0].port, c.port);
    }
}

TEST_F(ConfigLoad, SecurityKeysFillTheDomain) {
    ASSERT_TRUE(Load(Make("Domains=2",
                          "Domain1=a.org\nSMTPServer1=h1:587\nSecurity1=starttls\nAuthUser1=joe@a.org\n"
                          "AuthPassword1=\" p w \"\nTlsFingerprint1=00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:"
                          "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF\n"
                          "Domain2=b.org\nSMTPServer2=h2:465\nSecurity2=TLS\n",
                          "")));
    const DomainEntry& a = domainTable[0];
    EXPECT_EQ(a.security, kSecurityStartTls);
    EXPECT_STREQ(a.authUser, "joe@a.org");
    EXPECT_STREQ(a.authPassword, " p w ");  // quotes keep the blanks
    ASSERT_EQ(a.hasPin, 1);
    EXPECT_EQ(a.tlsPin[0], 0x00);
    EXPECT_EQ(a.tlsPin[10], 0xaa);
    EXPECT_EQ(a.tlsPin[31], 0xff);
    const DomainEntry& b = domainTable[1];
    EXPECT_EQ(b.security, kSecurityTls);
    EXPECT_EQ(b.authUser[0], 0);
    EXPECT_EQ(b.hasPin, 0);
    // A reload without the keys leaves nothing of them behind.
    ASSERT_TRUE(Load(Make("Domains=1", "Domain1=a.org\nSMTPServer1=h1\nSenderAddress1=me@a.org\nRewriteFrom1=1\n", "")));
    EXPECT_STREQ(domainTable[0].senderAddress, "me@a.org");
    EXPECT_EQ(domainTable[0].rewriteFrom, 1);
    ASSERT_TRUE(Load(Make("Domains=1", "Domain1=a.org\nSMTPServer1=h1\n", "")));
    EXPECT_EQ(domainTable[0].senderAddress[0], 0);
    EXPECT_EQ(domainTable[0].rewriteFrom, 0);
    EXPECT_EQ(domainTable[0].security, kSecurityNone);
    EXPECT_EQ(domainTable[0].authPassword[0], 0);
    EXPECT_EQ(domainTable[0].hasPin, 0);
}

// The presets fill what the file leaves out; an override wins over them.
TEST(OAuthSettingsText, PresetsAndOverrides) {
    OAuthSettings o{};
    o.method = kAuthOAuth2;
    o.provider = kOAuthMicrosoft;
    OAuthEndpoints e;
    ResolveOAuthEndpoints(o, &e);
    EXPECT_STREQ(e.tokenUrl, "https://login.microsoftonline.com/organizations/oauth2/v2.0/token");
    EXPECT_STREQ(e.deviceUrl, "https://login.microsoftonline.com/organizations/oauth2/v2.0/devicecode");
    EXPECT_STREQ(e.authorizeUrl, "https://login.microsoftonline.com/organizations/oauth2/v2.0/authorize");
    EXPECT_STREQ(e.scope, "https://outlook.office.com/SMTP.Send offline_access");
    o.grant = kGrantClientCredentials;
    snprintf(o.tenant, sizeof o.tenant, "contoso.example");
    ResolveOAuthEndpoints(o, &e);
    EXPECT_STREQ(e.tokenUrl, "https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token");
    EXPECT_STREQ(e.scope, "https://outlook.office365.com/.default");
    o = OAuthSettings{};
    o.provider = kOAuthGoogle;
    snprintf(o.scope, sizeof o.scope, "https://mail.google.com/ openid");
    ResolveOAuthEndpoints(o, &e);
    EXPECT_STREQ(e.tokenUrl, "https://oauth2.googleapis.com/token");
    EXPECT_STREQ(e.authorizeUrl, "https://accounts.google.com/o/oauth2/v2/auth");
    EXPECT_STREQ(e.deviceUrl, "");  // Google's device grant does not allow the mail scope
    EXPECT_STREQ(e.scope, "https://mail.google.com/ openid");
}

TEST(SecurityText, Base64FingerprintAndStoredPassword) {
    const struct {
        std::string clear, encoded;
    } vectors[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
                   {std::string("\0joe\0pw", 7), "AGpvZQBwdw=="}, {"\xff\xfe", "//4="}};
    for (const auto& v : vectors) {
        char out[64];
        ASSERT_TRUE(Base64Encode(v.clear.data(), v.clear.size(), out, sizeof out));
        EXPECT_EQ(std::string(out), v.encoded);
        unsigned char back[64];
        size_t n = 99;
        ASSERT_TRUE(Base64Decode(v.encoded.c_str(), back, sizeof back, &n)) << v.encoded;
        EXPECT_EQ(std::string((const char*)back, n), v.clear);
    }
    char small[5];
    EXPECT_FALSE(Base64Encode("foob", 4, small, sizeof small));  // 8 characters and the NUL
    unsigned char buf[8];
    size_t n;
    for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v!A==", "=Zm9"}) EXPECT_FALSE(Base64Decode(bad, buf, sizeof buf, &n)) << bad;
    EXPECT_FALSE(Base64Decode("Zm9vYmFyYmF6", buf, 8, &n));  // 9 bytes do not fit

    unsigned char pin[32];
    EXPECT_TRUE(ParseTlsFingerprint(std::string(64, 'a').c_str(), pin));
    EXPECT_TRUE(ParseTlsFingerprint((":" + std::string(64, '0') + ":").c_str(), pin));
    EXPECT_FALSE(ParseTlsFingerprint(std::string(66, 'a').c_str(), pin));
    EXPECT_FALSE(ParseTlsFingerprint((std::string(63, 'a') + " ").c_str(), pin));
    EXPECT_FALSE(ParseTlsFingerprint("", pin));

    // Without a protection service a stored password is the clear text.
    char clear[256];
    ASSERT_TRUE(ReadStoredPassword("plain", clear, sizeof clear));
    EXPECT_STREQ(clear, "plain");
    EXPECT_FALSE(ReadStoredPassword("dpapi:AQID", clear, sizeof clear));
    EXPECT_FALSE(ReadStoredPassword("dpapi:***", clear, sizeof clear));
    EXPECT_FALSE(ReadStoredPassword(std::string(256, 'x').c_str(), clear, sizeof clear));
}

// What MAIL FROM and a rewritten From line can carry as they stand.
TEST(SenderAddress, OnePlainAddressOnly) {
    const std::string longest = std::string(243, 'a') + "@example.org";  // 255
    for (const std::string& good : {std::string("john@example.org"), std::string("a.b+tag@mail-1.example.org"),
                                   std::string("x@[192.0.2.1]"), std::string("relay@localhost"),
                                   std::string("!#$%&'*/=?^_`{|}~-@example.org"), longest}) {
        EXPECT_TRUE(IsPlausibleSenderAddress(good.c_str())) << good;
    }
    for (const std::string& bad :
         {std::string(""), std::string("john"), std::string("@example.org"), std::string("john@"),
          std::string("john@@example.org"), std::string("a@b@example.org"), std::string("john smith@example.org"),
          std::string("<john@example.org>"), std::string("\"john\"@example.org"), std::string("john@exa mple.org"),
          std::string("john@example.org\r\nRCPT TO:<x@y>"), std::string("jo\x01hn@example.org"),
          std::string("j\xc3\xb6rg@example.org"), std::string(".john@example.org"), std::string("jo..hn@example.org"),
          std::string("john.@example.org"), std::string("john@example..org"), std::string("john@.example.org"),
          std::string("john@example.org."), std::string("john@[]"), std::string("john@[1.2.3.4"),
          std::string("john,mary@example.org"), std::string("john@ex(ample).org"), "a" + longest}) {
        EXPECT_FALSE(IsPlausibleSenderAddress(bad.c_str())) << bad;
    }
}

TEST_F(ConfigLoad, SkippedDomainsDoNotUsePositions) {
    ASSERT_TRUE(Load(Make("Domains=3\nMailBoxes=1",
                          "Domain1=a.org\nSMTPServer1=h1\nDomain3=c.org\nSMTPServer3=h3:26\n",
                          "Mailbox1=john;john;2")));
    ASSERT_EQ(domainCount, 2);
    EXPECT_STREQ(domainTable[1].name, "c.org");
    EXPECT_NE(Window().find("Added domain[2]='c.org' (Server: h3:26)\r\n"), std::string::npos);
    ASSERT_EQ(mailboxCount, 1);
    EXPECT_STREQ(mailboxTable[0].email, "john@c.org");
    EXPECT_EQ(mailboxTable[0].domainIndex, 1);
}

TEST_F(ConfigLoad, MailboxRowsFoldersAndAddresses) {
    std::string abs = dir + "/abs/box";
    ASSERT_TRUE(Load(Make("Domains=1\nMailBoxes=4\nLoopDelay=0\nBadmails=" + dir + "/bad", kOneDomain,
                          "Mailbox1=john;john;1\nMailbox2=DM:sales;@" + abs + ";1\n"
                          "Mailbox3=ghost;nowhere;1\nMailbox4=mary;mary/;1")));
    ASSERT_EQ(mailboxCount, 3);
    EXPECT_STREQ(mailboxTable[0].folder, (dir + "/users/john/").c_str());
    EXPECT_EQ(mailboxTable[0].absolute, 0);
    EXPECT_STREQ(mailboxTable[0].email, "john@example.org");
    EXPECT_STREQ(mailboxTable[1].folder, (abs + "/").c_str());
    EXPECT_EQ(mailboxTable[1].absolute, 1);
    EXPECT_STREQ(mailboxTable[1].email, "DM:sales@example.org");
    EXPECT_STREQ(mailboxTable[1].user, "DM:sales");
    EXPECT_STREQ(mailboxTable[2].folder, (dir + "/users/mary/").c_str());
    EXPECT_NE(Window().find("Error adding user: bad mail directory '" + dir +
                            "/users/nowhere' (err: -1).\r\n"),
              std::string::npos);
    EXPECT_NE(Window().find("Added user: john, mailDir: " + dir +
                            "/users/john/, email: john@example.org\r\n"),
              std::string::npos);
    EXPECT_EQ(relaySettings.LoopDelay, 120);
    EXPECT_EQ(std::string(relaySettings.Badmails), dir + "/bad/");
    // The working directory is the last folder that passed the check.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd) + "/", dir + "/users/mary/");
}

TEST_F(ConfigLoad, UserFolderIsAPlainPrefix) {
    Mkdir("usersjohn");
    std::string text = "[Ambrel]\nVersion=0.28\nUserFolder=" + dir + "/users\nDomains=1\nMailBoxes=1\n[Domains]\n" +
                       kOneDomain + "[MailBoxes]\nMailbox1=john;john;1\n";
    ASSERT_TRUE(Load(text));
    ASSERT_EQ(mailboxCount, 1);
    EXPECT_STREQ(mailboxTable[0].folder, (dir + "/usersjohn/").c_str());
}

TEST_F(ConfigLoad, FailedLoadKeepsRawValuesAndEmptiesMailboxes) {
    ASSERT_TRUE(Load(Make("Domains=1\nMailBoxes=1", kOneDomain, "Mailbox1=john;john;1")));
    ASSERT_EQ(mailboxCount, 1);
    EXPECT_FALSE(Load(Make("Domains=0\nMailBoxes=1\nBadmails=bad", "", "Mailbox1=john;john;1")));
    EXPECT_EQ(mailboxCount, 0);
    EXPECT_EQ(domainCount, 0);
    EXPECT_EQ(relaySettings.LoopDelay, -1);
    EXPECT_STREQ(relaySettings.Badmails, "bad");
}

// What the Options dialog takes from a load: the whole tables of one load,
// the user folder their paths were built from, and what the load left out.
TEST_F(ConfigLoad, CopyForTheDialogsDescribesTheLoad) {
    LoadedConfig copy;
    ASSERT_TRUE(Load(Make("Domains=1\nMailBoxes=4", kOneDomain,
                          "Mailbox1=john;john;1\nMailbox2=mary;nowhere;1\nMailbox4=x;john;9")));
    CopyLoadedConfig(&copy);
    EXPECT_TRUE(copy.loadSucceeded);
    EXPECT_EQ(copy.mailboxCount, 1);
    // Two lines of the file were left out; the absent third key is none.
    EXPECT_EQ(copy.skippedLines, 2);
    EXPECT_EQ(std::string(copy.userFolder), dir + "/users/");
    // A later change of the setting (a Save, before the reload) does not
    // change what the loaded paths were built from.
    snprintf(relaySettings.UserFolder, sizeof relaySettings.UserFolder, "%s/elsewhere/", dir.c_str());
    CopyLoadedConfig(&copy);
    EXPECT_EQ(std::string(copy.userFolder), dir + "/users/");

    EXPECT_FALSE(Load(Make("Domains=0\nMailBoxes=1", "", "Mailbox1=john;john;1")));
    CopyLoadedConfig(&copy);
    EXPECT_FALSE(copy.loadSucceeded);
    ASSERT_TRUE(Load(Make("Domains=1\nMailBoxes=1", kOneDomain, "Mailbox1=john;john;1")));
    ForgetLoadedMailboxes();  // the file went missing
    CopyLoadedConfig(&copy);
    EXPECT_FALSE(copy.loadSucceeded);
    EXPECT_EQ(copy.mailboxCount, 0);
}

// The window thread copies the tables while the worker reloads them: every
// copy is one whole load, never a table counted up from zero or rows of
// two loads.
TEST_F(ConfigLoad, CopiesTakenDuringReloadsAreWhole) {
    std::string boxes;
    for (int i = 1; i <= 40; i++) boxes += "Mailbox" + std::to_string(i) + "=john;john;" + std::to_string(1 + i % 3) + "\n";
    ASSERT_TRUE(Load(Make("Domains=3\nMailBoxes=40",
                          "Domain1=a.org\nSMTPServer1=h\nDomain2=b.org\nSMTPServer2=h\nDomain3=c.org\nSMTPServer3=h\n",
                          boxes)));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 30; i++) LoadConfiguration();
        done = true;
    });
    static LoadedConfig copy;
    int bad = 0, copies = 0;
    while (!done) {
        CopyLoadedConfig(&copy);
        copies++;
        if (copy.domainCount != 3 || copy.mailboxCount != 40) bad++;
        for (int i = 0; i < copy.mailboxCount; i++) {
            const MailboxEntry& m = copy.mailboxes[i];
            std::string want = std::string("john@") + copy.domains[m.domainIndex].name;
            if (want != m.email) bad++;
        }
    }
    worker.join();
    EXPECT_EQ(bad, 0) << copies << " copies";
}

// A save that replaces the file between the domain and the mailbox section
// must not give old domains with new mailbox numbers: the load is made again.
TEST_F(ConfigLoad, FileReplacedDuringTheLoadIsLoadedAgain) {
    static std::string next, path;
    next = Make("Domains=1\nMailBoxes=1", "Domain1=b.org\nSMTPServer1=h\n", "Mailbox1=john;john;1");
    path = ini;
    loadBetweenSectionsHook = [] {
        loadBetweenSectionsHook = nullptr;
        WriteFile(path + ".new", next);
        rename((path + ".new").c_str(), path.c_str());
    };
    bool ok = Load(Make("Domains=2\nMailBoxes=1", "Domain1=a.org\nSMTPServer1=h\nDomain2=b.org\nSMTPServer2=h\n",
                        "Mailbox1=john;john;2"));
    loadBetweenSectionsHook = nullptr;
    ASSERT_TRUE(ok);
    EXPECT_EQ(domainCount, 1);
    ASSERT_EQ(mailboxCount, 1);
    EXPECT_STREQ(mailboxTable[0].email, "john@b.org");
    EXPECT_NE(Window().find("Config file changed while it was read, reading it again.\r\n"), std::string::npos);
}

// Each mailbox check changes the working folder: a relative user folder is
// taken against the folder of the first load, for every mailbox alike.
TEST_F(ConfigLoad, RelativeUserFolderIsMadeAbsoluteOnce) {
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::string text = "[Ambrel]\nVersion=0.28\nUserFolder=users/\nDomains=1\nMailBoxes=2\n[Domains]\n" +
                       std::string(kOneDomain) + "[MailBoxes]\nMailbox1=john;john;1\nMailbox2=mary;mary;1\n";
    ASSERT_TRUE(Load(text));
    ASSERT_EQ(mailboxCount, 2) << Window();
    EXPECT_STREQ(mailboxTable[1].folder, (dir + "/users/mary/").c_str());
    EXPECT_STREQ(relaySettings.UserFolder, "users/");  // the setting stays as written
    ASSERT_TRUE(Load(text));  // the second load starts in the last mailbox's folder
    EXPECT_EQ(mailboxCount, 2) << Window();
}

TEST_F(ConfigLoad, SettingsThatKeepTheirValueWhenTheKeyGoes) {
    ASSERT_TRUE(Load(Make("Domains=1\nXToHeader=X-Rcpt:\nSMTPHelo=relay.local\nDebug=1", kOneDomain, "")));
    EXPECT_STREQ(relaySettings.XToHeader, "X-Rcpt:");
    EXPECT_EQ(relaySettings.Debug, 1);
    ASSERT_TRUE(Load(Make("Domains=1", kOneDomain, "")));
    EXPECT_STREQ(relaySettings.XToHeader, "X-Rcpt:");
    EXPECT_STREQ(relaySettings.SMTPHelo, "relay.local");
    EXPECT_NE(Window().find("SMTPHelo used: 'relay.local'.\r\n"), std::string::npos);
    EXPECT_EQ(relaySettings.Debug, 0);
}

TEST_F(ConfigLoad, OverlongMailboxTextsAreRefusedNotCut) {
    std::string longUser(256, 'u');
    std::string longFolder(130, 'f');
    ASSERT_TRUE(Load(Make("Domains=1\nMailBoxes=3", kOneDomain,
                          "Mailbox1=" + longUser + ";john;1\nMailbox2=mary;" + longFolder +
                              ";1\nMailbox3=john;john;1")));
    ASSERT_EQ(mailboxCount, 1);
    EXPECT_STREQ(mailboxTable[0].user, "john");
    EXPECT_NE(Window().find("Error adding user 1: user name too long (256 characters, at most 255).\r\n"),
              std::string::npos);
    EXPECT_NE(Window().find("Error adding user 2: mail directory too long"), std::string::npos);
}

TEST_F(ConfigLoad, LogNameSwitchesTheFile) {
    std::string other = dir + "/other.log";
    ASSERT_TRUE(Load(Make("Domains=1\nLogName=" + other, kOneDomain, "")));
    EXPECT_STREQ(relaySettings.LogName, other.c_str());
    EXPECT_TRUE(LogFileIsOpen());
    CloseLogFile();
    std::string text = ReadFile(other);
    EXPECT_EQ(text.rfind("- Ver: " AMBREL_VERSION " -------- ", 0), 0u) << text;
    EXPECT_NE(text.find("Added domain[1]='example.org' (Server: 127.0.0.1:2525)\r\n"), std::string::npos);
}

TEST_F(ConfigLoad, ReloadingAddsFreshCopiesAndKeepsOldOnesReadable) {
    std::string text = Make("Domains=1\nMailBoxes=2", kOneDomain, "Mailbox1=john;john;1\nMailbox2=mary;mary;1");
    ASSERT_TRUE(Load(text));
    const char* oldEmail = mailboxTable[0].email;
    size_t before = PoolBytesUsedInCurrentBlock() + (size_t)PoolBlockCount() * kPoolBlockSize;
    ASSERT_TRUE(Load(text));
    size_t after = PoolBytesUsedInCurrentBlock() + (size_t)PoolBlockCount() * kPoolBlockSize;
    EXPECT_GT(after, before);
    EXPECT_EQ(mailboxCount, 2);
    EXPECT_NE(oldEmail, mailboxTable[0].email);
    EXPECT_STREQ(oldEmail, "john@example.org");
}

TEST_F(ConfigLoad, PoolFailureSkipsTheMailboxOnly) {
    ASSERT_TRUE(Load(Make("Domains=1", kOneDomain, "")));
    // Leave 9 bytes in the current block, so that the first copy of the next
    // load needs a new block, which the heap then refuses once.
    PoolCopy(std::string(kPoolBlockSize - PoolBytesUsedInCurrentBlock() - 10, 'x').c_str());
    PoolFailNextBlocks(1);
    ASSERT_TRUE(Load(Make("Domains=1\nMailBoxes=2", kOneDomain, "Mailbox1=john;john;1\nMailbox2=mary;mary;1")));
    EXPECT_NE(Window().find("Error adding user: 'john', memory alloc error.\r\n"), std::string::npos);
    EXPECT_EQ(mailboxCount, 1);
}

TEST(StringPool, BlocksAreFilledToTheByte) {
    // A copy that exactly fills the block stays in it; one more byte starts a new block.
    PoolFailNextBlocks(0);
    PoolCopy("start");
    int blocks = PoolBlockCount();
    size_t room = kPoolBlockSize - PoolBytesUsedInCurrentBlock();
    PoolCopy(std::string(room - 1, 'a').c_str());
    EXPECT_EQ(PoolBlockCount(), blocks);
    EXPECT_EQ(PoolBytesUsedInCurrentBlock(), kPoolBlockSize);
    PoolCopy("");
    EXPECT_EQ(PoolBlockCount(), blocks + 1);
}

TEST(StringPool, MailboxCopiesInOrderAndAFailedCopyLeavesTheRow) {
    PoolFailNextBlocks(0);
    // Start from a fresh block so that the three copies sit side by side.
    size_t used = PoolBytesUsedInCurrentBlock();
    if (used > 0 && used < kPoolBlockSize) PoolCopy(std::string(kPoolBlockSize - used - 1, 'x').c_str());
    ASSERT_TRUE(AddMailbox(0, 1, "user", "/folder/", "user@d.org", 0));
    const MailboxEntry row = mailboxTable[0];
    EXPECT_LT(row.email, row.folder);
    EXPECT_LT(row.folder, row.user) << "copies are made as address, folder, user";
    EXPECT_EQ(row.absolute, 1);

    // Room for the address and the folder, none for the user name: the row
    // keeps what it held.
    size_t room = kPoolBlockSize - PoolBytesUsedInCurrentBlock();
    PoolCopy(std::string(room - 1 - (6 + 4 + 4), 'x').c_str());  // leaves 14 bytes
    PoolFailNextBlocks(1);
    EXPECT_FALSE(AddMailbox(0, 0, "other", "/fo/", "o@d.", 0));  // 5 + 5 + 6 bytes
    PoolFailNextBlocks(0);
    EXPECT_EQ(mailboxTable[0].user, row.user);
    EXPECT_EQ(mailboxTable[0].email, row.email);
    EXPECT_EQ(mailboxTable[0].absolute, 1);
}

TEST(MailboxLine, ParsedLikeTheScanFormat) {
    struct {
        const char* line;
        const char* user;
        const char* folder;
        int domain;
    } cases[] = {{"john;sub;2", "john", "sub", 2},      {"john;;1", "john", "", 0},
                 {";sub;1", "", "", 0},                 {"john", "john", "", 0},
                 {"john;sub", "john", "sub", 0},        {"john;sub;x", "john", "sub", 0},
                 {"john;@D:\\Mail;-4", "john", "@D:\\Mail", -4}, {"a b;c d; 3", "a b", "c d", 3}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.line);
        char user[512], folder[512];
        int domain;
        ParseMailboxLine(c.line, user, sizeof user, folder, sizeof folder, &domain);
        EXPECT_STREQ(user, c.user);
        EXPECT_STREQ(folder, c.folder);
        EXPECT_EQ(domain, c.domain);
    }
}

TEST_F(ConfigLoad, FastModeAndWatchAreOffUnlessSetTo1) {
    const struct {
        const char* product;
        int lowLatency, watch;
    } cases[] = {
        {"Domains=1", 0, 0},
        {"Domains=1\nLowLatency=1\nWatchFolders=1", 1, 1},
        {"Domains=1\nLowLatency=2\nWatchFolders=yes", 0, 0},
        {"Domains=1\nLowLatency=0\nWatchFolders=1", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.product);
        ResetConfiguration();
        relaySettings.LowLatency = relaySettings.WatchFolders = 7;  // a load sets both
        ASSERT_TRUE(Load(Make(c.product, kOneDomain, "")));
        EXPECT_EQ(relaySettings.LowLatency, c.lowLatency);
        EXPECT_EQ(relaySettings.WatchFolders, c.watch);
    }
}

namespace {
// The reference's cells of a key, as docs/settings.md must show them.
std::string KeyRow(const KeyInfo& k) {
    static const char* const kTypes[] = {"number", "flag", "text", "choice", "secret"};
    std::string name = k.name;
    if (size_t at = name.find("%d"); at != std::string::npos) name.replace(at, 2, "<n>");
    std::string range;
    if (k.type == kKeyChoice) {
        range = k.choices;
        for (size_t at; (at = range.find('|')) != std::string::npos;) range.replace(at, 1, ", ");
    } else if (k.type == kKeyText || k.type == kKeySecret) {
        range = "at most " + std::to_string(k.maxLength) + " characters";
    } else if (k.type == kKeyFlag) {
        range = "0 or 1";
    } else {
        range = k.minValue || k.maxValue ? std::to_string(k.minValue) + " to " + std::to_string(k.maxValue) : "any";
    }
    return "| `" + name + "` | " + k.section + " | " + kTypes[k.type] + " | " + k.defaultText + " | " + range + " |";
}
}  // namespace

// The settings reference names every key of the table with its section,
// type, default and range, and no key the table does not have.
TEST(KeyTable, ReferenceAgreesBothWays) {
    std::string doc = ReadFile(AMBREL_SOURCE_DIR "/docs/settings.md");
    ASSERT_FALSE(doc.empty());
    std::vector<std::string> rows;
    for (const KeyInfo& k : kKeyTable) {
        std::string row = KeyRow(k);
        rows.push_back(row.substr(0, row.find(" |")));
        EXPECT_NE(doc.find("\n" + row), std::string::npos) << "missing or different in docs/settings.md:\n" << row;
    }
    for (size_t at = doc.find("\n| `"); at != std::string::npos; at = doc.find("\n| `", at + 1)) {
        std::string first = doc.substr(at + 1, doc.find(" |", at + 1) - at - 1);
        EXPECT_NE(std::find(rows.begin(), rows.end(), first), rows.end()) << "not a key of the table: " << first;
    }
}

// The sample that ships loads without a warning or an error, once its
// folders are this machine's.
TEST_F(ConfigLoad, SampleLoadsWithoutAWarning) {
    std::string text = ReadFile(AMBREL_SOURCE_DIR "/samples/Ambrel.ini");
    ASSERT_NE(text.find("UserFolder=C:\\Mail\\\n"), std::string::npos);
    text.replace(text.find("UserFolder=C:\\Mail\\\n"), 21, "UserFolder=" + dir + "/users/\n");
    Mkdir("users/sales");
    ASSERT_TRUE(Load(text));
    EXPECT_EQ(domainCount, 2);
    EXPECT_EQ(mailboxCount, 2);
    for (const char* bad : {"Warning", "rror", "Invalid", "invalid"})
        EXPECT_EQ(Window().find(bad), std::string::npos) << Window();
}
