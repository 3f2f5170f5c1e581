// One table of INI cases, run natively against our own profile reader and
// writer and under Wine against the system's profile functions: both must
// give the same answers, since configuration files move between the builds.
#pragma once

#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace ini_cases {

struct ReadCase {
    const char* name;
    const char* file;  // contents, or nullptr for a file that does not exist
    const char* section;
    const char* key;
    const char* def;
    size_t size;
    const char* want;
};

struct IntCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    int def;
    int want;
};

struct WriteCase {
    const char* name;
    const char* before;  // nullptr: no file yet
    const char* section;
    const char* key;
    const char* value;
    const char* after;   // the whole file afterwards
};

inline const ReadCase kReadCases[] = {
    {"names without regard to case", "[Settings]\r\nLoopDelay=30\r\n", "settings", "LOOPDELAY", "d", 64, "30"},
    {"blanks around name and value", "[S]\r\n  Key  =   some value  \r\n", "S", "Key", "d", 64, "some value"},
    {"blanks around the section name", "[ S ]\r\nKey=v\r\n", "S", "Key", "d", 64, "v"},
    {"double quotes dropped", "[S]\r\nKey=\"quoted value\"\r\n", "S", "Key", "d", 64, "quoted value"},
    {"single quotes dropped", "[S]\r\nKey='x y'\r\n", "S", "Key", "d", 64, "x y"},
    {"unmatched quote kept", "[S]\r\nKey=\"half\r\n", "S", "Key", "d", 64, "\"half"},
    {"cut to size minus one", "[S]\r\nKey=abcdefghij\r\n", "S", "Key", "d", 5, "abcd"},
    {"default cut too", "[S]\r\n", "S", "Key", "defaultvalue", 4, "def"},
    {"absent key gives default", "[S]\r\nOther=1\r\n", "S", "Key", "dflt", 64, "dflt"},
    {"absent section gives default", "[T]\r\nKey=1\r\n", "S", "Key", "dflt", 64, "dflt"},
    {"absent file gives default", nullptr, "S", "Key", "dflt", 64, "dflt"},
    {"first of two keys counts", "[S]\r\nKey=first\r\nKey=second\r\n", "S", "Key", "d", 64, "first"},
    {"key of another section unseen", "[A]\r\nKey=a\r\n[B]\r\nOther=b\r\n", "B", "Key", "d", 64, "d"},
    {"comment line is no key", "[S]\r\n;Key=commented\r\nKey=real\r\n", "S", "Key", "d", 64, "real"},
    {"blank lines inside a section", "[S]\r\n\r\n\r\nKey=v\r\n", "S", "Key", "d", 64, "v"},
    {"empty value", "[S]\r\nKey=\r\n", "S", "Key", "d", 64, ""},
    {"LF-only line ends", "[S]\nA=1\nKey=lf\n", "S", "Key", "d", 64, "lf"},
    {"no line end at the end", "[S]\r\nKey=last", "S", "Key", "d", 64, "last"},
    {"semicolons inside a value kept", "[S]\r\nUser1=john;sub;2\r\n", "S", "User1", "d", 64, "john;sub;2"},
    {"colon and port kept", "[Domains]\r\nSMTPServer1=relay.example.net:2525\r\n", "Domains", "SMTPServer1", "", 256, "relay.example.net:2525"},
    {"equals sign inside a value", "[S]\r\nKey=a=b\r\n", "S", "Key", "d", 64, "a=b"},
    // An address or a password in quotes reads without them on both builds.
    {"quoted address", "[Domains]\r\nSenderAddress1=\"o'brien@example.org\"\r\n", "Domains", "SenderAddress1", "",
     256, "o'brien@example.org"},
    {"backslash value", "[S]\r\nUserFolder=\\\r\n", "S", "UserFolder", "d", 64, "\\"},
    {"key line without '=' gives the default", "[S]\r\nKey\r\n", "S", "Key", "dflt", 64, "dflt"},
    {"'[' without ']' is no section", "[S]\r\n[broken\r\nKey=after\r\n", "S", "Key", "d", 64, "after"},
    {"'[' without ']' opens nothing", "[S]\r\nA=1\r\n[broken\r\nKey=x\r\n", "broken", "Key", "d", 64, "d"},
};

inline const IntCase kIntCases[] = {
    {"plain number", "[S]\r\nN=42\r\n", "S", "N", 7, 42},
    {"negative number", "[S]\r\nN=-7\r\n", "S", "N", 7, -7},
    {"digits up to the first other character", "[S]\r\nN=15abc\r\n", "S", "N", 7, 15},
    {"no digits gives zero", "[S]\r\nN=abc\r\n", "S", "N", 7, 0},
    {"empty value gives the default", "[S]\r\nN=\r\n", "S", "N", 7, 7},
    {"absent key gives the default", "[S]\r\n", "S", "N", 7, 7},
    {"absent file gives the default", nullptr, "S", "N", 7, 7},
    {"blanks around the number", "[S]\r\nN =  12  \r\n", "S", "N", 7, 12},
    {"name without regard to case", "[settings]\r\nloopdelay=99\r\n", "Settings", "LoopDelay", 7, 99},
    {"zero", "[S]\r\nN=0\r\n", "S", "N", 7, 0},
};

inline const WriteCase kWriteCases[] = {
    {"creates file and section", nullptr, "Settings", "LoopDelay", "120",
     "[Settings]\r\nLoopDelay=120\r\n"},
    {"replaces a key in place", "[S]\r\nA=1\r\nKey=old\r\nB=2\r\n", "S", "Key", "new",
     "[S]\r\nA=1\r\nKey=new\r\nB=2\r\n"},
    {"replaces in place keeping the key's spelling", "[S]\r\nkey=old\r\n", "s", "KEY", "new",
     "[S]\r\nkey=new\r\n"},
    {"adds a key to the end of its section", "[A]\r\nX=1\r\n[B]\r\nY=2\r\n", "A", "Z", "3",
     "[A]\r\nX=1\r\nZ=3\r\n[B]\r\nY=2\r\n"},
    {"adds a section to the end of the file", "[A]\r\nX=1\r\n", "B", "Y", "2",
     "[A]\r\nX=1\r\n[B]\r\nY=2\r\n"},
    // (Wine's writer drops blank lines, Windows keeps them: no case depends on them.)
    {"keeps other sections and comments", "; kept\r\n[A]\r\nX=1\r\n[B]\r\nY=2\r\n", "B", "Y", "5",
     "; kept\r\n[A]\r\nX=1\r\n[B]\r\nY=5\r\n"},
};

inline bool WriteWhole(const std::string& path, const char* text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(text, 1, strlen(text), f) == strlen(text);
    return (fclose(f) == 0) && ok;
}

inline std::string ReadWhole(const std::string& path) {
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

// Makes `text` visible in a report: CR and LF as \r and \n.
inline std::string Shown(const std::string& text) {
    std::string s;
    for (char c : text) {
        if (c == '\r') s += "\\r";
        else if (c == '\n') s += "\\n";
        else s += c;
    }
    return s;
}

// Runs every case with files in `dir` (an absolute folder ending in the
// separator); writes one line per failure to `out`; returns the failures.
inline int RunAll(const std::string& dir, FILE* out) {
    int failures = 0, n = 0;
    auto prepare = [&](const char* contents) {
        std::string path = dir + "case" + std::to_string(n++) + ".ini";
        remove(path.c_str());
        if (contents) WriteWhole(path, contents);
        return path;
    };
    for (const ReadCase& c : kReadCases) {
        std::string path = prepare(c.file);
        char buf[512];
        memset(buf, 'X', sizeof buf);
        size_t got = ProfileGetString(c.section, c.key, c.def, buf, c.size, path.c_str());
        if (strcmp(buf, c.want) != 0 || got != strlen(c.want)) {
            fprintf(out, "FAIL read: %s: got \"%s\" (%zu), want \"%s\"\n", c.name, buf, got, c.want);
            failures++;
        }
    }
    for (const IntCase& c : kIntCases) {
        std::string path = prepare(c.file);
        int got = ProfileGetInt(c.section, c.key, c.def, path.c_str());
        if (got != c.want) {
            fprintf(out, "FAIL int: %s: got %d, want %d\n", c.name, got, c.want);
            failures++;
        }
    }
    for (const WriteCase& c : kWriteCases) {
        std::string path = prepare(c.before);
        bool ok = ProfileWriteString(c.section, c.key, c.value, path.c_str());
        std::string got = ReadWhole(path);
        if (!ok || got != c.after) {
            fprintf(out, "FAIL write: %s: got \"%s\", want \"%s\"\n", c.name, Shown(got).c_str(),
                    Shown(c.after).c_str());
            failures++;
        }
    }
    fprintf(out, "ini cases: %d run, %d failed\n", n, failures);
    return failures;
}

}  // namespace ini_cases
