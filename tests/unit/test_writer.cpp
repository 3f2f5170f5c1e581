// Writing the configuration back: the shared round trips, the rows the
// writer refuses, the file replaced whole, and the worker seeing a save made
// within the same second as its last load.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "test_support.h"
#include "tests/writer_cases.h"

using namespace testsupport;

namespace {

class Writer : public EngineTest {
protected:
    // One domain, one mailbox below the user folder.
    std::string Current(int loopDelay = 30) const {
        return "[Ambrel]\r\nVersion=0.28\r\nLoopDelay=" + std::to_string(loopDelay) +
               "\r\nUserFolder=" + dir + "/users/\r\nDomains=1\r\nMailBoxes=1\r\n[Domains]\r\n"
               "Domain1=example.org\r\nSMTPServer1=127.0.0.1:25\r\n[MailBoxes]\r\nMailbox1=john;john;1\r\n";
    }
    bool Save(const writer_cases::Working& w, std::string* error = nullptr) {
        std::vector<MailboxRow> rows = w.Rows();
        char text[300];
        bool ok = SaveConfigurationCore(w.domains.data(), (int)w.domains.size(), rows.data(),
                                        (int)rows.size(), text, sizeof text);
        if (error) *error = text;
        return ok;
    }
};

}  // namespace

TEST_F(Writer, SharedRoundTrips) {
    EXPECT_EQ(writer_cases::RunAll(dir + "/", stderr), 0);
}

TEST_F(Writer, RefusesRowsThatWouldNotReadBackAndWritesNothing) {
    Mkdir("users/john");
    WriteIni(Current());
    ASSERT_TRUE(LoadConfiguration());
    const std::string p = kUserFolderPrefix;
    const std::string u255(255, 'u');
    const std::string longUserFolder = "/" + std::string(258, 'a');  // no room for the separator
    struct {
        const char* name;
        const char *user, *email;
        std::string folder;
        const char* host;
        const char* userFolder;
        const char* said;
        void (*domain)(DomainEntry&);  // a change to the first domain, or null
    } cases[] = {
        {"semicolon in the user name", "jo;hn", "jo;hn@example.org", p + "john", "127.0.0.1", nullptr,
         "Mailbox 1 (jo;hn) cannot be saved: a user name or folder with ';' would not read back", nullptr},
        {"semicolon in the folder", "john", "john@example.org", "@" + dir + "/a;b", "127.0.0.1", nullptr, "';'", nullptr},
        {"line over 510 characters", u255.c_str(), "x@example.org", "@" + std::string(254, 'f'), "127.0.0.1",
         nullptr, "its line would be longer than 510 characters", nullptr},
        {"the user folder itself", "john", "john@example.org", p, "127.0.0.1", nullptr,
         "its folder is the user folder itself", nullptr},
        {"folder in no known notation", "john", "john@example.org", "john", "127.0.0.1", nullptr,
         "neither absolute", nullptr},
        {"no user name", "", "@example.org", p + "john", "127.0.0.1", nullptr, "it has no user name", nullptr},
        {"blank before the user name", " john", "john@example.org", p + "john", "127.0.0.1", nullptr,
         "begins with a blank", nullptr},
        {"address over 255 characters", u255.c_str(), "x@example.org", p + "john", "127.0.0.1", nullptr,
         "longer than 255 characters", nullptr},
        {"folder path over the search limit", "john", "john@example.org", p + std::string(130, 'f'), "127.0.0.1",
         nullptr, "the folder path is longer than 122 characters", nullptr},
        {"host with a colon", "john", "john@example.org", p + "john", "mail:25", nullptr,
         "Domain 1 (example.org) cannot be saved: its host holds a ':'", nullptr},
        {"a login over a plain connection", "john", "john@example.org", p + "john", "127.0.0.1", nullptr,
         "Domain 1 (example.org) cannot be saved: it has a login but neither STARTTLS nor TLS",
         [](DomainEntry& d) { snprintf(d.authUser, sizeof d.authUser, "me"); }},
        {"a clear password that reads as a protected one", "john", "john@example.org", p + "john", "127.0.0.1",
         nullptr, "its password begins with \"dpapi:\"", [](DomainEntry& d) {
             d.security = kSecurityTls;
             snprintf(d.authPassword, sizeof d.authPassword, "DPAPI:abc");
         }},
        {"a fingerprint over a plain connection", "john", "john@example.org", p + "john", "127.0.0.1", nullptr,
         "Domain 1 (example.org) cannot be saved: it has a certificate fingerprint but neither STARTTLS nor TLS",
         [](DomainEntry& d) { d.hasPin = 1; }},
        {"a sender that is no plain address", "john", "john@example.org", p + "john", "127.0.0.1", nullptr,
         "Domain 1 (example.org) cannot be saved: its sender address is not one plain address",
         [](DomainEntry& d) { snprintf(d.senderAddress, sizeof d.senderAddress, "<a@example.org>"); }},
        {"a From rewrite without a sender", "john", "john@example.org", p + "john", "127.0.0.1", nullptr,
         "Domain 1 (example.org) cannot be saved: it rewrites the From line but has no sender address",
         [](DomainEntry& d) { d.rewriteFrom = 1; }},
        {"user folder the loader would cut", "john", "john@example.org", p + "john", "127.0.0.1",
         longUserFolder.c_str(),
         "The UserFolder setting is too long to be saved.", nullptr},
    };
    const std::string before = ReadFile(ini);
    const std::string userFolder = relaySettings.UserFolder;
    {
        // Two domains of one name (a file made by hand): a mailbox on the
        // second would be saved on the first.
        writer_cases::Working w = writer_cases::FromTables();
        w.domains.push_back(w.domains[0]);
        std::string error;
        EXPECT_FALSE(Save(w, &error));
        EXPECT_NE(error.find("Domains 1 and 2 have the same name (example.org)"), std::string::npos) << error;
        EXPECT_EQ(ReadFile(ini), before);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        snprintf(relaySettings.UserFolder, sizeof relaySettings.UserFolder, "%s",
                 c.userFolder ? c.userFolder : userFolder.c_str());
        writer_cases::Working w = writer_cases::FromTables();
        snprintf(w.domains[0].host, sizeof w.domains[0].host, "%s", c.host);
        w.users[0] = c.user;
        w.emails[0] = c.email;
        w.folders[0] = c.folder;
        if (c.domain) c.domain(w.domains[0]);
        ClearCaptured();
        std::string error;
        EXPECT_FALSE(Save(w, &error));
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
        EXPECT_EQ(ReadFile(ini), before);
        EXPECT_FALSE(fs::exists(ini + ".new"));
        EXPECT_EQ(Window(), "");
    }
    // A refused save leaves the user folder setting as it was.
    EXPECT_EQ(std::string(relaySettings.UserFolder).size(), 259u);
}

TEST_F(Writer, FileIsReplacedWholeAndNeverWrittenInPlace) {
    Mkdir("users/john");
    WriteIni(Current());
    ASSERT_TRUE(LoadConfiguration());
    // A left-over of a save that was cut short is not taken in.
    WriteFile(ini + ".new", "[Ambrel]\r\nVersion=0.28\r\nDomains=0\r\nJunk=1\r\n");
    int oldFile = open(ini.c_str(), O_RDONLY);
    ASSERT_GE(oldFile, 0);
    struct stat before;
    ASSERT_EQ(fstat(oldFile, &before), 0);

    writer_cases::Working w = writer_cases::FromTables();
    relaySettings.LoopDelay = 77;
    ASSERT_TRUE(Save(w));

    // The old file was never opened for writing: what a reader holding it
    // sees is the old text, whole; the new text arrived as another file.
    struct stat held, now;
    ASSERT_EQ(fstat(oldFile, &held), 0);
    close(oldFile);
    ASSERT_EQ(stat(ini.c_str(), &now), 0);
    EXPECT_EQ(held.st_size, before.st_size);
    EXPECT_EQ(held.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(held.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_NE(now.st_ino, before.st_ino);
    std::string text = ReadFile(ini);
    EXPECT_NE(text.find("LoopDelay=77\r\n"), std::string::npos);
    EXPECT_EQ(text.find("Junk"), std::string::npos);
    EXPECT_FALSE(fs::exists(ini + ".new"));

    // When the new file cannot be made, the old one stays as it is.
    fs::create_directories(ini + ".new/x");  // a folder, not empty: it cannot be removed
    std::string error;
    relaySettings.LoopDelay = 78;
    EXPECT_FALSE(Save(w, &error));
    EXPECT_NE(error.find("Unable to create '" + ini + ".new'"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(ini), text);
}

TEST_F(Writer, SaveWithinTheSameSecondAsTheLoadIsPickedUp) {
    Mkdir("users/john");
    WriteIni(Current(30));
    ASSERT_TRUE(LoadConfiguration());
    ASSERT_TRUE(Save(writer_cases::FromTables()));  // the file as the writer lays it out
    ReloadConfigIfChanged();
    ASSERT_EQ(relaySettings.LoopDelay, 30);
    FileStamp loaded;
    ASSERT_TRUE(GetFileStamp(ini.c_str(), &loaded));

    // Same length of file, and the modification time put back into the very
    // second of the load: only the sub-second part tells the two apart.
    relaySettings.LoopDelay = 31;
    ASSERT_TRUE(Save(writer_cases::FromTables()));
    ASSERT_EQ(ReadFile(ini).size(), (size_t)loaded.size);
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = (time_t)loaded.seconds;
    times[0].tv_nsec = times[1].tv_nsec = (long)((loaded.nanos + 1) % 1000000000);
    ASSERT_EQ(utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);

    relaySettings.LoopDelay = 30;  // the worker's view until it reloads
    ClearCaptured();
    ReloadConfigIfChanged();
    EXPECT_NE(Window().find("AMBREL Config file Updated (delay: 31 sec)\r\n"), std::string::npos);
    EXPECT_EQ(relaySettings.LoopDelay, 31);
}

// The Security dialog's fields: the loader's rules, and nothing changes on a
// refusal.
TEST(SecurityFields, RefusedLikeTheLoaderAndStoredWhole) {
    const char* pin = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
    const std::string u256(256, 'u');
    const std::string notHex = "g" + std::string(63, '0'), tooLong(66, '0');
    const std::string longSender = std::string(244, 's') + "@example.org";
    struct {
        int security;
        const char *user, *password, *fingerprint, *refusal;
        const char* sender = "";
        int rewrite = 0;
    } cases[] = {
        {kSecurityNone, "me", "", "", kLoginNeedsTls},
        {kSecurityStartTls, "me", "pw", "00112233", kBadFingerprint},
        {kSecurityTls, "", "", notHex.c_str(), kBadFingerprint},
        {kSecurityTls, "", "", tooLong.c_str(), kBadFingerprint},
        {kSecurityTls, u256.c_str(), "pw", "", kAuthTextTooLong},
        {kSecurityNone, "", "", pin, kPinNeedsTls},
        {kSecurityNone, "", "", "", kBadSenderAddress, "John <john@example.org>"},
        {kSecurityNone, "", "", "", kBadSenderAddress, "john@example.org\r\nDATA"},
        {kSecurityTls, "", "", "", kBadSenderAddress, longSender.c_str()},
        {kSecurityTls, "", "", "", kRewriteNeedsSender, "", 1},
    };
    DomainEntry d{};
    snprintf(d.authUser, sizeof d.authUser, "old");
    snprintf(d.senderAddress, sizeof d.senderAddress, "old@example.org");
    for (const auto& c : cases) {
        EXPECT_STREQ(ApplySecurityFields(c.security, c.user, c.password, c.fingerprint, c.sender, c.rewrite, &d),
                     c.refusal);
        EXPECT_STREQ(d.authUser, "old");
        EXPECT_STREQ(d.senderAddress, "old@example.org");
    }
    ASSERT_EQ(ApplySecurityFields(kSecurityStartTls, "me", " pw ", pin, "relay@example.org", 1, &d), nullptr);
    EXPECT_EQ(d.security, kSecurityStartTls);
    EXPECT_STREQ(d.authUser, "me");
    EXPECT_STREQ(d.authPassword, " pw ");
    EXPECT_STREQ(d.senderAddress, "relay@example.org");
    EXPECT_EQ(d.rewriteFrom, 1);
    char shown[80];
    ASSERT_TRUE(d.hasPin);
    FormatTlsFingerprint(d.tlsPin, shown, sizeof shown);
    EXPECT_STREQ(shown, "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF");
    // Emptied fields clear the settings: no login, no pin.
    ASSERT_EQ(ApplySecurityFields(kSecurityNone, "", "", "", "", 0, &d), nullptr);
    EXPECT_EQ(d.security, kSecurityNone);
    EXPECT_EQ(d.authUser[0] | d.authPassword[0] | d.hasPin | d.senderAddress[0] | d.rewriteFrom, 0);
    // Send as alone needs no encryption: it is no secret.
    ASSERT_EQ(ApplySecurityFields(kSecurityNone, "", "", "", "relay@example.org", 0, &d), nullptr);
    EXPECT_STREQ(d.senderAddress, "relay@example.org");
}

// Save replaces the file: the new one has the old one's mode, and a file
// with a password in it (a new one, or one left at a number past the
// domains) is readable by its owner only, whatever it was before.
TEST_F(Writer, SaveKeepsTheFileModeAndKeepsAPasswordPrivate) {
    Mkdir("users/john");
    auto mode = [&] {
        struct stat st;
        return stat(ini.c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
    };
    const mode_t mask = umask(022);
    WriteIni(Current());
    ASSERT_TRUE(LoadConfiguration());
    writer_cases::Working plain = writer_cases::FromTables();
    writer_cases::Working secret = plain;
    secret.domains[0].security = kSecurityTls;
    snprintf(secret.domains[0].authUser, sizeof secret.domains[0].authUser, "me");
    snprintf(secret.domains[0].authPassword, sizeof secret.domains[0].authPassword, "pw");
    // An OAuth client secret is one as well.
    writer_cases::Working app = secret;
    DomainEntry& a = app.domains[0];
    a.authPassword[0] = 0;
    a.oauth.method = kAuthOAuth2;
    a.oauth.grant = kGrantClientCredentials;
    snprintf(a.oauth.clientId, sizeof a.oauth.clientId, "id");
    snprintf(a.oauth.clientSecret, sizeof a.oauth.clientSecret, "cs");
    snprintf(a.oauth.tokenUrl, sizeof a.oauth.tokenUrl, "https://idp.example/token");
    struct {
        const char* name;
        int before;
        const writer_cases::Working* rows;
        int after;
    } cases[] = {
        {"owner only stays owner only", 0600, &plain, 0600},
        {"readable by all stays so without a password", 0644, &plain, 0644},
        {"group bits kept", 0640, &plain, 0640},
        {"a password makes it private", 0644, &secret, 0600},
        {"and it stays private", 0600, &secret, 0600},
        {"private without the password, as before the save", 0600, &plain, 0600},
        {"a client secret makes it private", 0644, &app, 0600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(chmod(ini.c_str(), (mode_t)c.before), 0);
        std::string error;
        ASSERT_TRUE(Save(*c.rows, &error)) << error;
        EXPECT_EQ(mode(), c.after);
    }
    // A clear password left behind at a number past the domains is a
    // secret in the file too.
    ASSERT_EQ(chmod(ini.c_str(), 0644), 0);
    ASSERT_TRUE(ProfileWriteString("Domains", "AuthPassword4", "old-pw", ini.c_str()));
    EXPECT_EQ(mode(), 0644) << "the profile writer keeps the mode of the file it rewrites";
    ASSERT_TRUE(Save(plain));
    EXPECT_EQ(mode(), 0600);

    // A new file gets the umask's mode, or private with a password.
    fs::remove(ini);
    ASSERT_TRUE(Save(plain));
    EXPECT_EQ(mode(), 0644);
    fs::remove(ini);
    ASSERT_TRUE(Save(secret));
    EXPECT_EQ(mode(), 0600);
    umask(mask);
}

TEST_F(Writer, KeepsTheQueueKeysItDoesNotWrite) {
    Mkdir("users/john");
    std::string keys = "WarnAfterHours=24\r\nGiveUpAfterDays=5\r\nLogMaxKB=2048\r\nNoticeTo=admin@example.org\r\n"
                       "QueueWindow=720 480 90 110 60 120 50 260 130 110 180 260\r\n";
    std::string text = Current();
    text.insert(text.find("Domains=1"), keys);
    WriteIni(text);
    ASSERT_TRUE(LoadConfiguration());
    std::string error;
    ASSERT_TRUE(Save(writer_cases::FromTables(), &error)) << error;
    std::string saved = ReadFile(ini);
    for (const char* k : {"WarnAfterHours=24\r\n", "GiveUpAfterDays=5\r\n", "LogMaxKB=2048\r\n",
                          "NoticeTo=admin@example.org\r\n", "QueueWindow=720 480 90 110 60 120 50 260 130 110 180 260\r\n"})
        EXPECT_NE(saved.find(k), std::string::npos) << k << "\n" << saved;
}
