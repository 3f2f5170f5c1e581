#include "paths.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config/config.h"
#include "platform/platform.h"

bool DeriveHostPaths(const char* fullPath, char* error, size_t errorSize) {
    char stem[300];
    if (strlen(fullPath) >= sizeof stem) {
        snprintf(error, errorSize, "The program's path is too long (%d characters, at most %d):\r\n%s",
                 (int)strlen(fullPath), (int)sizeof stem - 1, fullPath);
        return false;
    }
    snprintf(stem, sizeof stem, "%s", fullPath);
    char* base = strrchr(stem, kDirSep);
    base = base ? base + 1 : stem;
    char* dot = strrchr(base, '.');
    if (dot && strcasecmp(dot, ".exe") == 0) *dot = 0;

    struct Target {
        char* out;
        size_t size;
        const char* suffix;
    } targets[] = {
        {hostSettings.iniPath, sizeof hostSettings.iniPath, ".ini"},
        {relaySettings.LogName, sizeof relaySettings.LogName, ".log"},
        {hostSettings.serviceCommand, sizeof hostSettings.serviceCommand, ".exe -s"},
    };
    for (const Target& t : targets) {
        size_t need = strlen(stem) + strlen(t.suffix);
        if (need >= t.size) {
            snprintf(error, errorSize,
                     "The program's path is too long: '%s%s' needs %d characters, at most %d fit.\r\n"
                     "Move the program to a shorter folder.",
                     stem, t.suffix, (int)need, (int)t.size - 1);
            return false;
        }
    }
    for (const Target& t : targets) snprintf(t.out, t.size, "%s%s", stem, t.suffix);
    size_t nameLen = strlen(base);
    if (nameLen > 0 && nameLen < sizeof hostSettings.serviceName)
        snprintf(hostSettings.serviceName, sizeof hostSettings.serviceName, "%s", base);
    else
        snprintf(hostSettings.serviceName, sizeof hostSettings.serviceName, "Ambrel");
    return true;
}

namespace {
// The first `len` characters of `text` (or them with ".exe", as the system
// adds it) name an existing file; false for what does not fit in `size`.
bool NamesFile(const char* text, size_t len, size_t size) {
    char path[600];
    if (len + 4 >= size || len + 4 >= sizeof path) return false;
    FileStamp stamp;
    for (const char* suffix : {"", ".exe"}) {
        snprintf(path, sizeof path, "%.*s%s", (int)len, text, suffix);
        if (GetFileStamp(path, &stamp)) return true;
    }
    return false;
}
}  // namespace

bool TakeProgramPath(const char* commandLine, char* out, size_t size) {
    const char* start = commandLine;
    size_t len;
    if (*start == '"') {
        start++;
        const char* close = strchr(start, '"');
        len = close ? (size_t)(close - start) : strlen(start);
    } else {
        while (*start && isspace((unsigned char)*start)) start++;
        len = 0;
        while (start[len] && !isspace((unsigned char)start[len])) len++;
        // An unquoted path with blanks (a service that an installer
        // registered without quotes, "C:\Program Files\Ambrel\Ambrel.exe -s"):
        // the system found the program by trying the text up to each blank in
        // turn, shortest first. Taking the first word would name another INI
        // and log file, so the program is found the same way; the first word
        // stays when no longer text names a file.
        if (!NamesFile(start, len, size)) {
            for (size_t end = len; start[end]; end++) {
                if (start[end] != ' ' || !NamesFile(start, end, size)) continue;
                len = end;
                break;
            }
        }
    }
    if (size == 0 || len >= size) return false;
    memcpy(out, start, len);
    out[len] = 0;
    return true;
}

bool ParseSwitchWords(const char* args) {
    const char* p = args ? args : "";
    for (;;) {
        while (*p && isspace((unsigned char)*p)) p++;
        if (!*p) return true;
        const char* word = p;
        while (*p && !isspace((unsigned char)*p)) p++;
        size_t len = (size_t)(p - word);
        if (word[0] != '/' && word[0] != '-') continue;
        // Only a one-letter rest can be a switch, so a word of any length is
        // judged without copying it.
        char letter = len == 2 ? (char)toupper((unsigned char)word[1]) : 0;
        if (letter == 'I')
            hostSettings.installRequested = 1;
        else if (letter == 'U')
            hostSettings.removeRequested = 1;
        else if (letter == 'S')
            hostSettings.serviceMode = 1;
        else
            return false;
    }
}
