// The console's queue commands: `ambrel --queue [INI] [--json]` prints what
// waits and what was refused, `ambrel --retry-badmail [INI] [FILE...]` sends
// refused files again. Both load the INI once and run no relay cycle.
#include "host/queue_command.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <string>
#include <vector>

#include "config/config.h"
#include "host/paths.h"
#include "log/log.h"
#include "platform/platform.h"
#include "relay/queue.h"

namespace {

bool EndsWithNoCase(const char* s, const char* tail) {
    size_t n = strlen(s), t = strlen(tail);
    return n >= t && strcasecmp(s + n - t, tail) == 0;
}

// Loads the INI named (or the default one) without touching the log file;
// false, with the message printed, when it cannot be read.
bool LoadForCommand(const char* iniArg) {
    ResetConfiguration();
    char exe[300] = "", error[512] = "";
    if (!GetExecutablePath(exe, sizeof exe)) {
        fprintf(stderr, "ambrel: cannot find the program's own path\n");
        return false;
    }
    if (!DeriveHostPaths(exe, error, sizeof error)) {
        fprintf(stderr, "ambrel: %s\n", error);
        return false;
    }
    if (iniArg) {
        char full[sizeof hostSettings.iniPath];
        if (!MakeFullPath(iniArg, full, sizeof full)) {
            fprintf(stderr, "ambrel: the INI path '%s' is too long (at most %d characters)\n", iniArg,
                    (int)sizeof hostSettings.iniPath - 1);
            return false;
        }
        snprintf(hostSettings.iniPath, sizeof hostSettings.iniPath, "%s", full);
    }
    FileStamp st;
    if (!GetFileStamp(hostSettings.iniPath, &st)) {
        fprintf(stderr, "ambrel: cannot read the configuration file '%s'\n", hostSettings.iniPath);
        return false;
    }
    // The log name the file gives, so that the load does not switch (and
    // write to) the log file.
    ProfileGetString(kSectionProduct, "LogName", relaySettings.LogName, relaySettings.LogName,
                     sizeof relaySettings.LogName, hostSettings.iniPath);
    if (!LoadConfiguration()) {
        char text[kLogWindowSize];
        CopyLogWindowText(text, sizeof text);
        fprintf(stderr, "%sambrel: the configuration file '%s' is invalid\n", text, hostSettings.iniPath);
        return false;
    }
    LoadQueueSettings();
    CloseLogFile();
    return true;
}

std::string When(int64_t t) {
    time_t tt = (time_t)t;
    struct tm* p = localtime(&tt);
    char buf[32] = "?";
    if (p) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", p);
    return buf;
}

std::string Age(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char buf[32];
    if (seconds < 3600) snprintf(buf, sizeof buf, "%lldm", (long long)(seconds / 60));
    else if (seconds < 86400) snprintf(buf, sizeof buf, "%lldh", (long long)(seconds / 3600));
    else snprintf(buf, sizeof buf, "%lldd %lldh", (long long)(seconds / 86400), (long long)(seconds % 86400 / 3600));
    return buf;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); i++) {
            if (width.size() <= i) width.push_back(0);
            if (r[i].size() > width[i]) width[i] = r[i].size();
        }
    for (const auto& r : rows) {
        std::string line;
        for (size_t i = 0; i < r.size(); i++) {
            line += r[i];
            if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
        }
        printf("%s\n", line.c_str());
    }
}

}  // namespace

int RunQueueCommand(int argc, char** argv) {
    bool json = false;
    const char* iniArg = nullptr;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0) json = true;
        else if (!iniArg) iniArg = argv[i];
        else {
            fprintf(stderr, "usage: ambrel --queue [INI] [--json]\n");
            return 2;
        }
    }
    if (!LoadForCommand(iniArg)) return 1;
    RefreshQueueSnapshot();
    QueueSnapshot snap;
    CopyQueueSnapshot(&snap);
    int64_t now = QueueNow();
    if (json) {
        nlohmann::json out = {{"waiting", nlohmann::json::array()}, {"badmail", nlohmann::json::array()}};
        // Texts from servers and file names may hold any byte: invalid UTF-8
        // is replaced rather than ending the output.
        for (const WaitingRow& r : snap.waiting)
            out["waiting"].push_back({{"mailbox", r.mailbox}, {"folder", r.folder}, {"file", r.file},
                                      {"size", r.size}, {"since", When(r.since)}, {"ageSeconds", now - r.since},
                                      {"tries", r.tries}, {"lastResult", r.result}, {"overdue", r.overdue}});
        for (const BadmailRow& r : snap.badmail)
            out["badmail"].push_back({{"when", r.when}, {"file", r.file}, {"folder", r.folder}, {"reason", r.reason}});
        printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    }
    printf("Waiting (%zu)\n", snap.waiting.size());
    std::vector<std::vector<std::string>> rows = {{"MAILBOX", "FILE", "SIZE", "WAITING SINCE", "AGE", "TRIES", "LAST RESULT"}};
    for (const WaitingRow& r : snap.waiting)
        rows.push_back({r.mailbox, r.file, std::to_string(r.size), When(r.since), Age(now - r.since) + (r.overdue ? " !" : ""),
                        std::to_string(r.tries), r.result});
    PrintTable(rows);
    printf("\nBad mail (%zu)\n", snap.badmail.size());
    rows = {{"WHEN", "FILE", "MAILBOX FOLDER", "REASON"}};
    for (const BadmailRow& r : snap.badmail) rows.push_back({r.when, r.file, r.folder, r.reason});
    PrintTable(rows);
    return 0;
}

int RunRetryCommand(int argc, char** argv) {
    const char* iniArg = nullptr;
    std::vector<std::string> files;
    for (int i = 2; i < argc; i++) {
        // The INI comes first; message files are named by their .CNM name.
        if (i == 2 && !EndsWithNoCase(argv[i], ".CNM")) iniArg = argv[i];
        else files.push_back(argv[i]);
    }
    if (!LoadForCommand(iniArg)) return 1;
    std::vector<RetryResult> results = RetryBadmails(files);
    int moved = 0;
    for (const RetryResult& r : results) {
        if (r.moved) {
            moved++;
            printf("moved back: %s\n", r.file.c_str());
        } else {
            fprintf(stderr, "%s\n", r.message.c_str());
        }
    }
    printf("%d of %zu moved back; the next cycle sends them.\n", moved, results.size());
    // A file left in bad mail is no success for a script.
    return moved == (int)results.size() ? 0 : 3;
}
