// Start-up: the program path taken from the command line, the switch words,
// and the paths and service name derived from the executable's path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/config.h"
#include "host/paths.h"
#include "platform/platform.h"

namespace {

std::string Take(const char* commandLine, size_t size = 300) {
    char out[300] = "unchanged";
    if (!TakeProgramPath(commandLine, out, size)) return "<refused>";
    return out;
}

struct Switches {
    bool ok;
    int install, remove, service;
};

Switches Parse(const char* args) {
    hostSettings.installRequested = hostSettings.removeRequested = hostSettings.serviceMode = 0;
    bool ok = ParseSwitchWords(args);
    return {ok, hostSettings.installRequested, hostSettings.removeRequested, hostSettings.serviceMode};
}

std::string Sep(const char* path) {  // write paths with '/', run with this build's separator
    std::string s = path;
    for (char& c : s)
        if (c == '/') c = kDirSep;
    return s;
}

}  // namespace

TEST(ProgramPath, QuotedUnquotedAndTooLong) {
    EXPECT_EQ(Take("\"C:/Program Files/X/Relay.exe\" -s"), "C:/Program Files/X/Relay.exe");
    EXPECT_EQ(Take("\"C:/No Close/Relay.exe -s"), "C:/No Close/Relay.exe -s");
    EXPECT_EQ(Take("C:/Tools/Relay.EXE -i"), "C:/Tools/Relay.EXE");
    EXPECT_EQ(Take("Relay.exe"), "Relay.exe");
    // Unquoted with blanks, as an installer may register a service: the
    // shortest text up to a blank that names a file, with or without .exe.
    std::string folder = testing::TempDir() + "paths_take_a b";
    std::filesystem::create_directories(folder + "/c d");
    std::ofstream(folder + "/c d/Relay.exe").put('x');
    std::string exe = folder + "/c d/Relay.exe";
    EXPECT_EQ(Take((exe + " -s").c_str()), exe);
    EXPECT_EQ(Take((folder + "/c d/Relay -s x").c_str()), folder + "/c d/Relay");
    EXPECT_EQ(Take((folder + "/c d/None.exe -s").c_str()), folder.substr(0, folder.find(' ')));
    std::filesystem::remove_all(folder);
    // 299 characters fit a 300-byte buffer; 300 are refused, not cut.
    std::string fits(299, 'a'), longer(300, 'a');
    EXPECT_EQ(Take(fits.c_str()), fits);
    EXPECT_EQ(Take(longer.c_str()), "<refused>");
    EXPECT_EQ(Take(("\"" + longer + "\"").c_str()), "<refused>");
}

TEST(Switches, LettersPrefixesAndBadWords) {
    Switches s = Parse("");
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.install + s.remove + s.service, 0);

    s = Parse("-I");
    EXPECT_TRUE(s.ok && s.install);
    s = Parse("/i");
    EXPECT_TRUE(s.ok && s.install);
    s = Parse("abc -u");  // words without a switch character are ignored
    EXPECT_TRUE(s.ok && s.remove && !s.install);
    s = Parse("\t-s  ");
    EXPECT_TRUE(s.ok && s.service);
    s = Parse("-i -u");  // both kept; the start-up picks install first
    EXPECT_TRUE(s.ok && s.install && s.remove);

    for (const char* bad : {"-x", "-h", "-?", "/help", "-install", "-", "/", "-i -x"})
        EXPECT_FALSE(Parse(bad).ok) << bad;
    // A long word is judged, not copied.
    std::string huge = "-" + std::string(5000, 'i');
    EXPECT_FALSE(Parse(huge.c_str()).ok);
    std::string plain(5000, 'w');
    EXPECT_TRUE(Parse((plain + " -s").c_str()).service);
}

TEST(HostPaths, StemNamesAndCapacities) {
    char error[600];
    ASSERT_TRUE(DeriveHostPaths(Sep("C:/Tools/Relay.EXE").c_str(), error, sizeof error));
    EXPECT_EQ(std::string(hostSettings.iniPath), Sep("C:/Tools/Relay.ini"));
    EXPECT_EQ(std::string(relaySettings.LogName), Sep("C:/Tools/Relay.log"));
    EXPECT_EQ(std::string(hostSettings.serviceCommand), Sep("C:/Tools/Relay.exe -s"));
    EXPECT_EQ(std::string(hostSettings.serviceName), "Relay");

    ASSERT_TRUE(DeriveHostPaths(Sep("/opt/relay.bin").c_str(), error, sizeof error));
    EXPECT_EQ(std::string(hostSettings.iniPath), Sep("/opt/relay.bin.ini"));
    EXPECT_EQ(std::string(hostSettings.serviceName), "relay.bin");

    std::string name63(63, 'n'), name64(64, 'n');
    ASSERT_TRUE(DeriveHostPaths(Sep(("/x/" + name63 + ".exe").c_str()).c_str(), error, sizeof error));
    EXPECT_EQ(std::string(hostSettings.serviceName), name63);
    ASSERT_TRUE(DeriveHostPaths(Sep(("/x/" + name64 + ".exe").c_str()).c_str(), error, sizeof error));
    EXPECT_EQ(std::string(hostSettings.serviceName), "Ambrel");

    // The INI path holds 119 characters: a stem of 115 fits, 116 is refused
    // and leaves the earlier paths as they were.
    std::string dir = Sep("/d/");
    std::string stem115 = dir + std::string(115 - dir.size(), 's');
    ASSERT_TRUE(DeriveHostPaths((stem115 + ".exe").c_str(), error, sizeof error));
    EXPECT_EQ(std::string(hostSettings.iniPath).size(), 119u);
    std::string before = hostSettings.iniPath;
    EXPECT_FALSE(DeriveHostPaths((stem115 + "s.exe").c_str(), error, sizeof error));
    EXPECT_NE(std::string(error).find("too long"), std::string::npos);
    EXPECT_EQ(std::string(hostSettings.iniPath), before);
}
