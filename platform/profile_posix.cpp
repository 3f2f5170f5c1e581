// INI reader and writer for builds without the Windows profile functions.
// It follows what the Windows functions do with the files this program
// reads and writes:
//  - section and key names match without regard to case; the first match counts;
//  - blanks around names and values are dropped; a value in matching single
//    or double quotes loses the quotes;
//  - a value is cut to the buffer size minus one; an absent key gives the default;
//  - an integer is an optional sign and decimal digits read up to the first
//    other character; an empty value gives the default, like the system's;
//  - a line without "=" is a key without value: it reads as absent (and
//    ";comment" lines never match a real key);
//  - a line that starts with "[" but has no "]" opens no section;
//  - writing keeps every other line as it is, replaces a key's value in place
//    (the key keeps its spelling),
//    adds a missing key after the last line of its section and a missing
//    section at the end of the file.
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace {

bool ReadLines(const char* path, std::vector<std::string>* lines, bool* crlf) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    std::string cur;
    int c;
    *crlf = false;
    while ((c = getc(f)) != EOF) {
        if (c == '\n') {
            if (!cur.empty() && cur.back() == '\r') {
                cur.pop_back();
                *crlf = true;
            }
            lines->push_back(cur);
            cur.clear();
        } else {
            cur.push_back((char)c);
        }
    }
    if (!cur.empty()) {
        if (cur.back() == '\r') cur.pop_back();
        lines->push_back(cur);
    }
    fclose(f);
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) b++;
    while (e > b && IsBlank(s[e - 1])) e--;
    return s.substr(b, e - b);
}

// If the line opens a section, its name; else false.
bool SectionName(const std::string& raw, std::string* name) {
    std::string t = Trim(raw);
    if (t.empty() || t[0] != '[') return false;
    size_t close = t.rfind(']');
    // Without its "]" the line opens no section: the system's reader keeps
    // it as a key line of the section it is in.
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

// Key name and value of a line inside a section.
void SplitKey(const std::string& raw, std::string* key, std::string* value, bool* hasValue) {
    std::string t = Trim(raw);
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
        *key = t;
        value->clear();
        *hasValue = false;
        return;
    }
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    *hasValue = true;
}

// Index of the section's header line, or -1.
int FindSection(const std::vector<std::string>& lines, const char* section) {
    for (size_t i = 0; i < lines.size(); i++) {
        std::string name;
        if (SectionName(lines[i], &name) && strcasecmp(name.c_str(), section) == 0) return (int)i;
    }
    return -1;
}

// Index of the key's line within the section starting at `sec`, or -1; `end`
// receives the index after the last non-empty line of the section.
int FindKey(const std::vector<std::string>& lines, int sec, const char* key, size_t* end) {
    size_t last = (size_t)sec + 1;
    for (size_t i = (size_t)sec + 1; i < lines.size(); i++) {
        std::string name;
        if (SectionName(lines[i], &name)) break;
        if (Trim(lines[i]).empty()) continue;
        last = i + 1;
        std::string k, v;
        bool hasValue;
        SplitKey(lines[i], &k, &v, &hasValue);
        if (strcasecmp(k.c_str(), key) == 0) {
            if (end) *end = last;
            return (int)i;
        }
    }
    if (end) *end = last;
    return -1;
}

bool LookUp(const char* section, const char* key, const char* path, std::string* value) {
    std::vector<std::string> lines;
    bool crlf;
    if (!ReadLines(path, &lines, &crlf)) return false;
    int sec = FindSection(lines, section);
    if (sec < 0) return false;
    int k = FindKey(lines, sec, key, nullptr);
    if (k < 0) return false;
    std::string name;
    bool hasValue;
    SplitKey(lines[(size_t)k], &name, value, &hasValue);
    if (!hasValue) return false;  // a key without "=" reads as absent, as on Windows
    if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') &&
        value->back() == value->front())
        *value = value->substr(1, value->size() - 2);
    return true;
}

}  // namespace

size_t ProfileGetString(const char* section, const char* key, const char* def, char* out,
                        size_t size, const char* path) {
    if (size == 0) return 0;
    std::string value;
    if (!LookUp(section, key, path, &value)) {
        value = def ? def : "";
        while (!value.empty() && IsBlank(value.back())) value.pop_back();
    }
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(out, value.data(), n);
    out[n] = 0;
    return n;
}

int ProfileGetInt(const char* section, const char* key, int def, const char* path) {
    char buf[30];
    if (ProfileGetString(section, key, "", buf, sizeof buf, path) == 0) return def;
    const char* p = buf;
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    uint32_t v = 0;  // wraps like the system's conversion does
    while (*p >= '0' && *p <= '9') v = v * 10u + (uint32_t)(*p++ - '0');
    if (neg) v = 0u - v;
    return (int)v;
}

bool ProfileWriteString(const char* section, const char* key, const char* value,
                        const char* path) {
    std::vector<std::string> lines;
    bool crlf = true;
    if (!ReadLines(path, &lines, &crlf)) {
        lines.clear();
        crlf = true;
    } else if (lines.empty()) {
        crlf = true;
    }
    int sec = FindSection(lines, section);
    if (!value) {
        // No value removes the key, as the system's writer does; a key or
        // section that is not there leaves the file untouched.
        int k = sec < 0 ? -1 : FindKey(lines, sec, key, nullptr);
        if (k < 0) return true;
        lines.erase(lines.begin() + k);
    } else if (std::string line = std::string(key) + "=" + value; sec < 0) {
        lines.push_back(std::string("[") + section + "]");
        lines.push_back(line);
    } else {
        size_t end;
        int k = FindKey(lines, sec, key, &end);
        if (k >= 0) {
            // The key keeps the spelling it has in the file, as the system's writer does.
            std::string oldKey, oldValue;
            bool hasValue;
            SplitKey(lines[(size_t)k], &oldKey, &oldValue, &hasValue);
            lines[(size_t)k] = oldKey + "=" + value;
        }
        else lines.insert(lines.begin() + (long)end, line);
    }
    // Write the whole file beside it and put it in place in one step, so a
    // reader never sees a half-written file.
    // The new file is private until it has the access of the one it
    // replaces: a file with a password in it must not be readable by others
    // for a moment, nor come back readable after a write.
    std::string tmp = std::string(path) + ".tmp~";
    unlink(tmp.c_str());  // a left-over of a write that was cut short
    int err = 0;
    FILE* f = CreatePrivateFile(tmp.c_str(), &err);
    if (!f) return false;
    const char* eol = crlf ? "\r\n" : "\n";
    bool ok = true;
    for (const std::string& l : lines) ok = ok && fputs(l.c_str(), f) >= 0 && fputs(eol, f) >= 0;
    ok = (fclose(f) == 0) && ok;
    ok = ok && SetFileAccessLike(tmp.c_str(), path, false) == 0;
    if (!ok || rename(tmp.c_str(), path) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}
