// The texts of the configuration dialogs without any window: the folder
// column and field, the server text and its port, the row editors' checks,
// and the domain choice and removal rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/notation.h"
#include "platform/platform.h"

namespace {

const std::string S(1, kDirSep);
const std::string kPrefix = "<UserFolder" + S + ">";

std::string Column(const std::string& folder, bool absolute, const std::string& userFolder) {
    char out[300];
    FormatFolderColumn(folder.c_str(), absolute, userFolder.c_str(), out, sizeof out);
    return out;
}

std::string Field(const std::string& column) {
    char out[300];
    FolderFieldFromColumn(column.c_str(), out, sizeof out);
    return out;
}

struct Row {
    const char* error;
    std::string folder, email;
};

Row Make(const std::string& name, const std::string& field, const std::string& domain = "ex.org") {
    char folder[300] = "", email[300] = "";
    const char* error = MakeMailboxRow(name.c_str(), field.c_str(), domain.c_str(), folder,
                                       sizeof folder, email, sizeof email);
    return {error, folder, email};
}

struct Server {
    bool ok;
    std::string host;
    unsigned port;
};

Server Parse(const std::string& text, size_t hostSize = 80) {
    char host[300] = "unchanged";
    uint16_t port = 7;
    bool ok = ParseServerText(text.c_str(), host, hostSize, &port);
    return {ok, host, port};
}

DomainEntry D(const char* name) {
    DomainEntry d = {};
    snprintf(d.name, sizeof d.name, "%s", name);
    return d;
}

}  // namespace

TEST(FolderNotation, ColumnOfLoadedMailboxes) {
    EXPECT_EQ(kPrefix.size(), 13u);
    EXPECT_EQ(std::string(kUserFolderPrefix), kPrefix);
    const std::string user = S + "mail" + S;
    EXPECT_EQ(Column(user + "john" + S, false, user), kPrefix + "john");
    EXPECT_EQ(Column(S + "box" + S, true, user), "@" + S + "box");
    // The user folder itself: the prefix alone.
    EXPECT_EQ(Column(user, false, user), kPrefix);
    // The path is cut by the user folder it was built from; one that does
    // not begin with it keeps its whole folder as an absolute one, never a
    // text cut at some length (which names another folder).
    EXPECT_EQ(Column(S + "abcdefgh" + S, false, "123"), "@" + S + "abcdefgh");
    EXPECT_EQ(Column(S + "a" + S, false, user + "much" + S + "longer" + S), "@" + S + "a");
    EXPECT_EQ(Column(user + "sub" + S + "deep" + S, false, user), kPrefix + "sub" + S + "deep");
}

TEST(FolderNotation, FieldOfAColumnAndBack) {
    EXPECT_EQ(Field(kPrefix + "john"), "john");
    EXPECT_EQ(Field("@" + S + "box"), "@" + S + "box");
    EXPECT_EQ(Field(kPrefix), "");
    EXPECT_EQ(Field("short"), "");  // a foreign text shorter than the prefix
    for (const std::string& column : {kPrefix + "john", "@" + S + "d" + S + "box"}) {
        Row r = Make("john", Field(column));
        ASSERT_EQ(r.error, nullptr) << column;
        EXPECT_EQ(r.folder, column);
    }
}

TEST(MailboxEditor, ChecksInOrderWithTheirTexts) {
    EXPECT_STREQ(Make("", "").error, " Empty UserName");
    EXPECT_STREQ(Make("", "x").error, " Empty UserName");
    EXPECT_STREQ(Make("john", "").error, " Empty folder name");
    EXPECT_STREQ(Make("jo@hn", "").error, " Empty folder name");
    EXPECT_STREQ(Make("jo@hn", "x").error, " Invalid UserName");
    EXPECT_STREQ(Make("john", "a" + S + "b").error, " Non @-path cann't contain '\\'");
    EXPECT_STREQ(Make("jo;hn", "x").error, kSemicolonInUserName);
    EXPECT_STREQ(Make("john", "x;y").error, kSemicolonInFolder);
    EXPECT_STREQ(Make("john", "@" + S + "x;y").error, kSemicolonInFolder);
    EXPECT_STREQ(kAddChangeCaption, " ADD/CHANGE Error");
    // Blanks and a domain-mailbox name are ordinary names.
    EXPECT_EQ(Make("DM: all of it", "box").error, nullptr);
}

TEST(MailboxEditor, FolderTextsAndAddress) {
    Row r = Make("john", "john" + S);
    EXPECT_EQ(r.folder, kPrefix + "john");
    EXPECT_EQ(r.email, "john@ex.org");
    EXPECT_EQ(Make("john", "@D:" + S + "BOX" + S).folder, "@D:" + S + "BOX");
    EXPECT_EQ(Make("john", "@").folder, "@");
    // A single separator passes the empty check and names the user folder.
    EXPECT_EQ(Make("john", S).folder, kPrefix);
    // Only one trailing separator goes.
    EXPECT_STREQ(Make("john", "x" + S + S).error, " Non @-path cann't contain '\\'");
    // Without any domain the address ends at the "@".
    EXPECT_EQ(Make("john", "x", "").email, "john@");
}

TEST(MailboxEditor, LengthsThatAColumnCannotHoldAreRefused) {
    EXPECT_EQ(Make("j", std::string(241, 'f')).error, nullptr);
    EXPECT_EQ(Make("j", std::string(241, 'f')).folder.size(), 254u);
    EXPECT_STREQ(Make("j", std::string(242, 'f')).error, kMailboxTextTooLong);
    // The limit of an address is the loader's: 255 characters.
    std::string name(255 - 1 - 6, 'n');  // name@ex.org fills 255
    EXPECT_EQ(Make(name, "x").email.size(), 255u);
    EXPECT_STREQ(Make(name + "n", "x").error, kMailboxTextTooLong);
    // The folder path is held to what a mailbox folder may be (122 with the
    // final separator), counting the user folder as Save writes it.
    const std::string uf = S + std::string(19, 'u');  // 20, 21 with the separator Save adds
    EXPECT_EQ(CheckMailboxFolderPath((kPrefix + std::string(100, 'f')).c_str(), uf.c_str()), nullptr);
    EXPECT_STREQ(CheckMailboxFolderPath((kPrefix + std::string(101, 'f')).c_str(), uf.c_str()),
                 kMailboxPathTooLong);
    EXPECT_EQ(CheckMailboxFolderPath(("@" + std::string(121, 'f')).c_str(), ""), nullptr);
    EXPECT_STREQ(CheckMailboxFolderPath(("@" + std::string(122, 'f')).c_str(), ""), kMailboxPathTooLong);
}

TEST(ServerText, HostAndPort) {
    struct Case {
        const char* text;
        const char* host;
        unsigned port;
    } cases[] = {
        {"mail.example", "mail.example", 25},
        {"mail.example:", "mail.example", 25},
        {"mail.example:2525", "mail.example", 2525},
        {"mail.example:70000", "mail.example", 4464},
        {"mail.example:26:27", "mail.example", 26},
        {"h: +26", "h", 26},
        {"h:-1", "h", 65535},
        {"h:abc", "h", 25},
        {"h:123456789012", "h", 6676},  // low 16 bits of any length of digits
        {"h:0", "h", 0},
        {":25", "", 25},
    };
    for (const Case& c : cases) {
        Server s = Parse(c.text);
        EXPECT_TRUE(s.ok) << c.text;
        EXPECT_EQ(s.host, c.host) << c.text;
        EXPECT_EQ(s.port, c.port) << c.text;
    }
    // A host the record cannot hold is not cut: the call fails untouched.
    EXPECT_TRUE(Parse(std::string(79, 'h') + ":25").ok);
    Server s = Parse(std::string(80, 'h') + ":25");
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.host, "unchanged");
}

TEST(DomainEditor, ChecksInOrderWithTheirTexts) {
    EXPECT_STREQ(CheckDomainFields("", ""), " Empty DomainName");
    EXPECT_STREQ(CheckDomainFields("ex.org", ""), " Empty server name");
    EXPECT_STREQ(CheckDomainFields("a@ex.org", "h"), " Invalid DomainName");
    EXPECT_EQ(CheckDomainFields("any name, blanks too", "h:25"), nullptr);
    EXPECT_EQ(CheckDomainFields("~DELETED", "h"), nullptr);
    EXPECT_EQ(CheckDomainFields(std::string(98, 'd').c_str(), "h"), nullptr);
    EXPECT_STREQ(CheckDomainFields(std::string(99, 'd').c_str(), "h"), kDomainNameTooLong);
    // The saved "host:port" decides: it must read back within 78 characters.
    EXPECT_EQ(CheckDomainFields("d", (std::string(73, 'h') + ":2525").c_str()), nullptr);
    EXPECT_EQ(CheckDomainFields("d", std::string(75, 'h').c_str()), nullptr);  // + ":25"
    EXPECT_STREQ(CheckDomainFields("d", (std::string(74, 'h') + ":2525").c_str()), kServerHostTooLong);
    EXPECT_STREQ(CheckDomainFields("d", std::string(76, 'h').c_str()), kServerHostTooLong);
    EXPECT_STREQ(CheckDomainFields("d", std::string(80, 'h').c_str()), kServerHostTooLong);
    EXPECT_STREQ(CheckDomainFields("d", ("h:" + std::string(240, '1')).c_str()), kServerHostTooLong);
    // A name the other rows already have is refused; two removal marks are not.
    const char* others[] = {"a.org", "~DELETED", "b.org"};
    EXPECT_STREQ(CheckDomainFields("b.org", "h", others, 3), kDomainNameTaken);
    EXPECT_EQ(CheckDomainFields("B.org", "h", others, 3), nullptr);
    EXPECT_EQ(CheckDomainFields("~DELETED", "h", others, 3), nullptr);
}

TEST(DomainChoice, WantedDomainAndMatch) {
    DomainEntry table[3] = {D("a.org"), D("b.org"), D("a.org")};
    EXPECT_EQ(WantedDomain(nullptr), nullptr);
    EXPECT_STREQ(WantedDomain("john@b.org"), "b.org");
    EXPECT_STREQ(WantedDomain("x@y@z"), "y@z");
    EXPECT_STREQ(WantedDomain("b.org"), "b.org");
    EXPECT_EQ(FindDomainChoice(table, 3, "b.org"), 1);
    EXPECT_EQ(FindDomainChoice(table, 3, "a.org"), 2);  // the later equal name
    EXPECT_EQ(FindDomainChoice(table, 3, "B.org"), -1);
    EXPECT_EQ(FindDomainChoice(table, 3, nullptr), -1);
    EXPECT_EQ(FindDomainChoice(table, 0, "a.org"), -1);
    EXPECT_TRUE(AddressDomainKnown("john@b.org", table, 3));
    EXPECT_FALSE(AddressDomainKnown("john@B.org", table, 3));
    EXPECT_FALSE(AddressDomainKnown("b.org", table, 3));
    EXPECT_FALSE(AddressDomainKnown("john@b.org", table, 1));  // only the remaining records
}

TEST(DomainChoice, RemovalKeepsOrder) {
    DomainEntry table[5] = {D("0"), D("1"), D("2"), D("3"), D("4")};
    RemoveDomainRecord(table, 5, 1);
    RemoveDomainRecord(table, 4, 2);
    std::string names;
    for (const DomainEntry& d : table) names += d.name;
    EXPECT_EQ(names, "02444");  // the places past the count keep their old contents
    RemoveDomainRecord(table, 1, 0);
    EXPECT_STREQ(table[0].name, "0");
}
