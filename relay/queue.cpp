// The queue snapshot, the bad-mail list and sending bad mail again. The
// worker fills the snapshot after each mailbox scan; the window and the
// console only ever copy it, under a lock held for the copy alone.
#include "queue.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "config/config.h"
#include "log/log.h"
#include "relay.h"

QueueSettings queueSettings;
int64_t (*queueClock)() = nullptr;
void (*queueProblemHook)(int kind, const char* text) = nullptr;

int64_t QueueNow() { return queueClock ? queueClock() : (int64_t)time(nullptr); }

namespace {

// What the program knows of a file beyond its folder entry.
struct Track {
    int tries = 0;
    std::string result;
    bool warned = false;  // named once in a notice as waiting too long
};

std::mutex snapLock;  // guards everything below
QueueSnapshot snap;
std::map<std::string, Track> tracks;  // folder + file name
std::vector<std::string> requestedRetry;
bool retryRequested = false;

// Worker only: the domains that failed in this cycle, those the tray was
// told about in it, and since when each server could not be reached.
bool domainFailed[kMaxDomains];
bool domainRaised[kMaxDomains];
int64_t unreachableSince[kMaxDomains];

// The tray hears of a domain at most once per cycle.
void RaiseProblem(int domainIndex, int kind, const char* text) {
    if (!queueProblemHook || domainIndex < 0 || domainIndex >= kMaxDomains || domainRaised[domainIndex]) return;
    domainRaised[domainIndex] = true;
    queueProblemHook(kind, text);
}

// A server that cannot be reached is often only down for a while: the tray
// hears of it once it has been so for WarnAfterHours. A refused login or
// TLS, or a refusing greeting, needs someone at once.
bool Unreachable(const char* result) {
    return strncmp(result, "Error in connect", 16) == 0 || strncmp(result, "invalid relay host", 18) == 0;
}

std::string Key(const char* folder, const char* file) { return std::string(folder) + file; }

bool ReadPositive(const char* key, int* out) {
    int v = ProfileGetInt(kSectionProduct, key, 0, hostSettings.iniPath);
    if (v < 0) {
        LogBoth("Config error: %s=%d is below 0, taken as 0 (off).\r\n", key, v);
        v = 0;
    }
    *out = v;
    if (v > 0) LogBoth("%s: %d.\r\n", key, v);
    return v > 0;
}

std::string BadmailFolder() {
    SettingsTextGuard guard;
    return relaySettings.Badmails;
}

bool FileExists(const std::string& path) {
    FileStamp st;
    return GetFileStamp(path.c_str(), &st);
}

// One record of badmail.log: "date time<TAB>file<TAB>folder<TAB>reason",
// then "<TAB>retried" once the file was sent again, and CR LF. A field is
// one line of text without tabs (each becomes a blank), the reason at most
// 511 characters.
std::string FormatBadmailLine(const BadmailLine& b) {
    auto field = [](const std::string& text, size_t max) { return MakeOneLine(text.substr(0, max)); };
    return field(b.when, 31) + "\t" + field(b.file, 259) + "\t" + field(b.folder, kMailboxTextMax) + "\t" +
           field(b.reason, 511) + (b.retried ? "\tretried" : "") + "\r\n";
}

// Whole lines without their line end; tabs split the fields.
void ParseBadmailLine(const std::string& line, std::vector<BadmailLine>* out) {
    size_t t1 = line.find('\t');
    size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    size_t t3 = t2 == std::string::npos ? t2 : line.find('\t', t2 + 1);
    if (t3 == std::string::npos) return;
    BadmailLine b;
    b.when = line.substr(0, t1);
    b.file = line.substr(t1 + 1, t2 - t1 - 1);
    b.folder = line.substr(t2 + 1, t3 - t2 - 1);
    b.reason = line.substr(t3 + 1);
    static const char kMark[] = "\tretried";
    size_t m = sizeof kMark - 1;
    b.retried = b.reason.size() >= m && b.reason.compare(b.reason.size() - m, m, kMark) == 0;
    if (b.retried) b.reason.resize(b.reason.size() - m);
    if (!b.file.empty()) out->push_back(b);
}

// The latest line of every file still in the bad-mail folder and not sent
// again since; a file moved, retried and refused again has a newer line.
std::vector<BadmailRow> CurrentBadmail(const std::string& badmails, const std::vector<BadmailLine>& lines) {
    std::vector<BadmailRow> rows;
    std::map<std::string, size_t> at;
    for (const BadmailLine& b : lines) {
        auto it = at.find(b.file);
        if (b.retried) {
            if (it != at.end()) {
                rows.erase(rows.begin() + (long)it->second);
                at.clear();
                for (size_t i = 0; i < rows.size(); i++) at[rows[i].file] = i;
            }
            continue;
        }
        BadmailRow r{b.when, b.file, b.folder, b.reason};
        if (it != at.end()) rows[it->second] = r;
        else {
            at[b.file] = rows.size();
            rows.push_back(r);
        }
    }
    std::vector<BadmailRow> present;
    for (const BadmailRow& r : rows)
        if (FileExists(badmails + r.file)) present.push_back(r);
    return present;
}

void PublishBadmail() {
    std::string badmails = BadmailFolder();
    std::vector<BadmailLine> lines;
    std::vector<BadmailRow> rows;
    if (!badmails.empty() && ReadBadmailLog(badmails.c_str(), &lines)) rows = CurrentBadmail(badmails, lines);
    std::lock_guard<std::mutex> g(snapLock);
    snap.badmail = std::move(rows);
    snap.generation++;
}

std::string FormatWhen(int64_t t) {
    time_t tt = (time_t)t;
    struct tm tmv;
    struct tm* p = localtime(&tt);
    if (!p) return "?";
    tmv = *p;
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tmv);
    return buf;
}

}  // namespace

void LoadQueueSettings() {
    QueueSettings s{};
    ReadPositive("WarnAfterHours", &s.WarnAfterHours);
    ReadPositive("GiveUpAfterDays", &s.GiveUpAfterDays);
    ReadPositive("LogMaxKB", &s.LogMaxKB);
    ProfileGetString(kSectionProduct, "NoticeTo", "", s.NoticeTo, sizeof s.NoticeTo, hostSettings.iniPath);
    if (s.NoticeTo[0]) {
        // It becomes a command line and a header line: one with a control
        // character or without an @ could not be a mailbox.
        bool bad = !strchr(s.NoticeTo, '@');
        for (const char* c = s.NoticeTo; *c; c++)
            if ((unsigned char)*c <= 0x20 || *c == 0x7F || *c == '<' || *c == '>') bad = true;
        if (bad) {
            LogBoth("Config error: NoticeTo '%s' is no mail address; no notices are sent.\r\n", s.NoticeTo);
            s.NoticeTo[0] = 0;
        } else {
            LogBoth("Notices go to %s.\r\n", s.NoticeTo);
        }
    }
    queueSettings = s;
    SetLogMaxKB(s.LogMaxKB);
}

void CopyQueueSnapshot(QueueSnapshot* out) {
    std::lock_guard<std::mutex> g(snapLock);
    *out = snap;
}

void PublishMailboxQueue(int mailboxIndex) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    char pattern[kSearchPatternMax + 1];
    if (!MailboxPattern(mailboxIndex, pattern, sizeof pattern)) return;
    std::vector<WaitingRow> rows;
    FindEntry entry;
    if (void* search = FindFirstEntry(pattern, &entry)) {
        do {
            WaitingRow r{m.user, m.folder, entry.name, entry.sizeLow, 0, 0, "", false};
            FileStamp st;
            if (GetFileStamp((r.folder + r.file).c_str(), &st)) {
                r.size = st.size;
                r.since = StampUnixSeconds(st);
            }
            rows.push_back(r);
        } while (FindNextEntry(search, &entry));
        FindCloseSearch(search);
    }
    int64_t now = QueueNow();
    int warnHours = queueSettings.WarnAfterHours;
    std::vector<std::string> overdue;
    {
        std::lock_guard<std::mutex> g(snapLock);
        // Files that left the folder take what was known of them along.
        std::map<std::string, Track> kept;
        size_t folderLen = strlen(m.folder);
        for (auto& [key, t] : tracks) {
            // Another folder's file, also one in a folder inside this one.
            bool here = key.compare(0, folderLen, m.folder) == 0 && key.find(kDirSep, folderLen) == std::string::npos;
            if (!here) kept[key] = t;
        }
        for (WaitingRow& r : rows) {
            auto it = tracks.find(r.folder + r.file);
            Track t = it == tracks.end() ? Track{} : it->second;
            r.tries = t.tries;
            r.result = r.size == 0 && t.result.empty() ? "size zero: never sent" : t.result;
            r.overdue = warnHours > 0 && now - r.since > (int64_t)warnHours * 3600;
            if (r.overdue && !t.warned) {
                t.warned = true;
                overdue.push_back("waiting since " + FormatWhen(r.since) + " (over " + std::to_string(warnHours) +
                                  " hours): " + r.file + " in " + r.folder + " (mailbox " + r.mailbox + ")" +
                                  (r.result.empty() ? "" : ": " + r.result));
            }
            if (t.tries || !t.result.empty() || t.warned) kept[r.folder + r.file] = t;
        }
        tracks.swap(kept);
        std::vector<WaitingRow> all;
        for (WaitingRow& r : snap.waiting)
            if (r.folder != m.folder) all.push_back(std::move(r));
        for (WaitingRow& r : rows) all.push_back(std::move(r));
        snap.waiting.swap(all);
        snap.generation++;
    }
    for (const std::string& text : overdue) NoteNoticeEvent(kNoticeOverdue, text.c_str());
}

void FinishQueueCycle() {
    LoadedConfig* cfg = new LoadedConfig;
    CopyLoadedConfig(cfg);
    {
        std::lock_guard<std::mutex> g(snapLock);
        std::vector<WaitingRow> all;
        for (WaitingRow& r : snap.waiting) {
            bool configured = false;
            for (int i = 0; i < cfg->mailboxCount && !configured; i++)
                configured = r.folder == cfg->mailboxes[i].folder;
            if (configured) all.push_back(std::move(r));
        }
        snap.waiting.swap(all);
    }
    delete cfg;
    PublishBadmail();
}

void RefreshQueueSnapshot() {
    {
        std::lock_guard<std::mutex> g(snapLock);
        snap.waiting.clear();
    }
    for (int i = 0; i < mailboxCount; i++) PublishMailboxQueue(i);
    PublishBadmail();
}

void BeginQueueCycle() {
    memset(domainFailed, 0, sizeof domainFailed);
    memset(domainRaised, 0, sizeof domainRaised);
    RunRequestedRetry();
}

bool DomainFailedInCycle(int domainIndex) {
    return domainIndex >= 0 && domainIndex < kMaxDomains && domainFailed[domainIndex];
}

void NoteBadmailMove(int mailboxIndex, const char* fileName, const char* reason) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    char text[600];
    snprintf(text, sizeof text, "moved to bad mail: %s from %s (mailbox %s): %s", fileName, m.folder, m.user,
             reason);
    // A service has nobody at its window: each move is a Warning of its own.
    if (hostSettings.serviceMode) LogEvent(EventKind::BadMail, "Mail %s from %s moved to bad mail: %s", fileName, m.folder, reason);
    NoteNoticeEvent(kNoticeBadmail, text);
    RaiseProblem(m.domainIndex, kNoticeBadmail, text);
}

void NoteRouteResult(int mailboxIndex, const char* fileName, int outcome, const char* result,
                     bool movedToBadmail) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    {
        std::lock_guard<std::mutex> g(snapLock);
        Track& t = tracks[Key(m.folder, fileName)];
        t.tries++;
        t.result = result;
    }
    if (outcome == kRouteRefused && movedToBadmail) NoteBadmailMove(mailboxIndex, fileName, result);
    int d = m.domainIndex;
    if (d < 0 || d >= kMaxDomains) return;
    bool unreachable = outcome == kRouteNoSession && Unreachable(result);
    if (!unreachable) unreachableSince[d] = 0;
    else if (!unreachableSince[d]) unreachableSince[d] = QueueNow();
    if (outcome == kRouteNoSession && !domainFailed[d]) {
        domainFailed[d] = true;
        const DomainEntry& e = domainTable[d];
        char text[400];
        snprintf(text, sizeof text, "domain %s (server %s:%d) failed: %s", e.name, e.host, (int)e.port, result);
        NoteNoticeEvent(kNoticeDomain, text);
        int hours = queueSettings.WarnAfterHours;
        if (!unreachable || (hours > 0 && QueueNow() - unreachableSince[d] >= (int64_t)hours * 3600))
            RaiseProblem(d, kNoticeDomain, text);
    }
}

bool LifetimeExpired(const char* path, const char* result, char* reason, size_t reasonSize) {
    int days = queueSettings.GiveUpAfterDays;
    if (days <= 0) return false;
    FileStamp st;
    if (!GetFileStamp(path, &st)) return false;
    if (QueueNow() - StampUnixSeconds(st) <= (int64_t)days * 86400) return false;
    snprintf(reason, reasonSize, "not delivered in %d days: %s", days, result);
    return true;
}

bool ReadBadmailLog(const char* badmails, std::vector<BadmailLine>* lines) {
    lines->clear();
    std::string path = std::string(badmails) + kBadmailLogName;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        // A last line without its end may be one being written: left out.
        if (lf == std::string::npos) break;
        size_t end = lf;
        if (end > start && text[end - 1] == '\r') end--;
        ParseBadmailLine(text.substr(start, end - start), lines);
        start = lf + 1;
    }
    return ok;
}

bool AppendBadmailLog(const char* fileName, const char* folder, const char* reason) {
    char when[32];
    FormatLocalTime("%Y-%m-%d %H:%M:%S", when, sizeof when);
    std::string line = FormatBadmailLine({when, fileName, folder, reason, false});
    // Under the sinks' lock, which also guards Badmails: lines of two
    // writers never interleave, and the folder is never read half changed.
    SettingsTextGuard guard;
    if (!relaySettings.Badmails[0]) return false;  // no bad-mail folder: nothing moves there
    std::string logPath = std::string(relaySettings.Badmails) + kBadmailLogName;
    FILE* f = fopen(logPath.c_str(), "ab");
    bool ok = f && fwrite(line.data(), 1, line.size(), f) == line.size();
    if (f && fclose(f) != 0) ok = false;
    if (!ok) LogBoth(" Error writing %s (errno: %d)\r\n", logPath.c_str(), LastErrno());
    return ok;
}

bool BadmailOriginConfigured(const std::string& folder) {
    LoadedConfig* cfg = new LoadedConfig;
    CopyLoadedConfig(cfg);
    bool found = false;
    for (int i = 0; i < cfg->mailboxCount && !found; i++) found = folder == cfg->mailboxes[i].folder;
    delete cfg;
    return found;
}

// Marks the lines of the files sent again, in a copy that replaces the log
// whole: a crash leaves the old log or the new one, never half of it.
static void MarkRetried(const std::string& logPath, const std::vector<BadmailLine>& lines,
                 const std::vector<std::string>& moved) {
    std::string text;
    for (const BadmailLine& b : lines) {
        BadmailLine marked = b;
        for (const std::string& n : moved) marked.retried = marked.retried || n == b.file;
        text += FormatBadmailLine(marked);
    }
    std::string tmp = logPath + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f) ok = fclose(f) == 0 && ok;
    int err = ok ? ReplaceFileErrno(tmp.c_str(), logPath.c_str()) : LastErrno();
    if (!ok || err) {
        RemoveFileErrno(tmp.c_str());
        LogBoth(" Error marking the retried lines of %s (errno %d).\r\n", logPath.c_str(), err);
    }
}

std::vector<RetryResult> RetryBadmails(const std::vector<std::string>& files) {
    std::vector<RetryResult> results;
    std::string badmails = BadmailFolder();
    std::vector<BadmailLine> lines;
    if (badmails.empty()) {
        for (const std::string& f : files) results.push_back({f, false, f + ": there is no bad-mail folder (Badmails)."});
        return results;
    }
    std::string logPath = badmails + kBadmailLogName;
    bool haveLog = ReadBadmailLog(badmails.c_str(), &lines);
    std::vector<BadmailRow> current = CurrentBadmail(badmails, lines);
    std::vector<std::string> wanted = files;
    if (wanted.empty())
        for (const BadmailRow& r : current) wanted.push_back(r.file);
    std::vector<std::string> moved;
    for (const std::string& name : wanted) {
        RetryResult res{name, false, ""};
        const BadmailRow* row = nullptr;
        for (const BadmailRow& r : current)
            if (r.file == name) row = &r;
        if (!row) {
            res.message = name + " was not moved: it is not in the bad-mail list of " + logPath + ".";
        } else if (!BadmailOriginConfigured(row->folder)) {
            res.message = name + " was not moved: its mailbox folder " + row->folder + " is no longer configured.";
        } else if (FileExists(row->folder + name)) {
            // Never over another message of the same name.
            res.message = name + " was not moved: " + row->folder + " already holds a file of that name.";
        } else {
            int err = RenameFileErrno((badmails + name).c_str(), (row->folder + name).c_str());
            if (err) {
                res.message = name + " was not moved: error " + std::to_string(err) + " moving it to " + row->folder + ".";
            } else {
                res.moved = true;
                moved.push_back(name);
                // Its waiting time starts again: sent back after ten days,
                // it must not be given up at its first passing failure.
                TouchFileNow((row->folder + name).c_str());
                LogBoth(" Moved %s%s back to %s for another try.\r\n", badmails.c_str(), name.c_str(),
                        row->folder.c_str());
            }
        }
        results.push_back(res);
    }
    if (!moved.empty() && haveLog) MarkRetried(logPath, lines, moved);
    PublishBadmail();
    return results;
}

void RequestBadmailRetry(const std::vector<std::string>& files) {
    {
        std::lock_guard<std::mutex> g(snapLock);
        requestedRetry = files;
        retryRequested = true;
    }
    RequestSendNow();
}

void RunRequestedRetry() {
    std::vector<std::string> files;
    {
        std::lock_guard<std::mutex> g(snapLock);
        if (!retryRequested) return;
        files.swap(requestedRetry);
        retryRequested = false;
    }
    OpenLogFile();
    std::vector<RetryResult> results = RetryBadmails(files);
    std::string messages;
    for (const RetryResult& r : results)
        if (!r.moved) {
            LogBoth(" %s\r\n", r.message.c_str());
            messages += r.message + "\n";
        }
    std::lock_guard<std::mutex> g(snapLock);
    snap.retryMessages = messages;
    snap.retryGeneration++;
}
