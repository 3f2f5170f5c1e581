// What waits and what failed: the queue snapshot the worker publishes for
// the Queue window and the console, the bad-mail list read from
// badmail.log, sending bad mail again, the retry lifetime and the notice
// mail. Every setting here is opt-in: absent keys change nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The opt-in keys of [Ambrel], read at every load (0 / empty: off).
struct QueueSettings {
    int WarnAfterHours;
    int GiveUpAfterDays;
    int LogMaxKB;
    char NoticeTo[256];
};
extern QueueSettings queueSettings;
// Reads the keys from the INI file (and hands LogMaxKB to the log sinks).
void LoadQueueSettings();

// Seconds since 1970; tests replace the clock to age files and notices.
extern int64_t (*queueClock)();
int64_t QueueNow();

struct WaitingRow {
    std::string mailbox;  // the mailbox's user name
    std::string folder;   // as the mailbox table holds it, with its final separator
    std::string file;
    int64_t size;
    int64_t since;        // the file's time, seconds since 1970
    int tries;            // since the program started
    std::string result;   // the server's last refusing reply or the local error
    bool overdue;         // waiting longer than WarnAfterHours
};

struct BadmailRow {
    std::string when;    // "YYYY-MM-DD HH:MM:SS"
    std::string file;
    std::string folder;  // the mailbox folder it came from
    std::string reason;
};

struct QueueSnapshot {
    std::vector<WaitingRow> waiting;
    std::vector<BadmailRow> badmail;
    unsigned generation;  // counts the publications
    // The outcome of the last retry the worker ran for the window, one line
    // per file that was not moved, and its count.
    std::string retryMessages;
    unsigned retryGeneration;
};
// A copy under the snapshot's short lock: never waits for a folder or a socket.
void CopyQueueSnapshot(QueueSnapshot* out);

// ---- the worker's side -------------------------------------------------------
// Start of a cycle, after the reload: forgets the cycle's failed domains and
// runs the retry the window asked for, if any.
void BeginQueueCycle();
bool DomainFailedInCycle(int domainIndex);
// The rows of one mailbox after its scan (what is left in its folder).
void PublishMailboxQueue(int mailboxIndex);
// End of a cycle: rows of mailboxes no longer configured go, the bad-mail
// list is read again.
void FinishQueueCycle();
// Every mailbox and the bad-mail list at once (the console's --queue).
void RefreshQueueSnapshot();
void RunRequestedRetry();

// How a try of a message ended, as routing reports it.
enum RouteOutcome {
    kRouteAccepted,     // taken by the server
    kRouteRefused,      // 5xx: moved to bad mail (or left when there is no bad-mail folder)
    kRouteDeferred,     // anything else: it stays for the next cycle
    kRouteNoSession,    // the domain's session could not be opened
};
// One call per try: counts it and keeps its result for the snapshot, and
// notes a move to bad mail or a failed domain for the notice and the tray.
void NoteRouteResult(int mailboxIndex, const char* fileName, int outcome, const char* result,
                     bool movedToBadmail);
// A file moved to bad mail outside a refusal (its lifetime ran out).
void NoteBadmailMove(int mailboxIndex, const char* fileName, const char* reason);
// True when GiveUpAfterDays is set and the file waited longer; `reason` then
// holds "not delivered in N days: <result>".
bool LifetimeExpired(const char* path, const char* result, char* reason, size_t reasonSize);

// ---- bad mail -------------------------------------------------------------------
struct BadmailLine {
    std::string when, file, folder, reason;
    bool retried;
};
constexpr char kBadmailLogName[] = "badmail.log";
// The lines of `<badmails>badmail.log`; false when it cannot be read.
bool ReadBadmailLog(const char* badmails, std::vector<BadmailLine>* lines);

struct RetryResult {
    std::string file;
    bool moved;
    std::string message;  // why it was not moved (empty when moved)
};
// Moves the named files (none named: every file of the bad-mail list) back
// into the mailbox folder they came from and marks their lines retried. A
// file whose folder is no longer configured, or whose name is taken there,
// stays. Worker thread, or a process with no worker.
std::vector<RetryResult> RetryBadmails(const std::vector<std::string>& files);
// The window's Retry: the worker runs it before its next cycle, which it
// starts at once; the outcome comes back in the snapshot.
void RequestBadmailRetry(const std::vector<std::string>& files);
// The folder a bad-mail row came from is still a configured mailbox folder.
bool BadmailOriginConfigured(const std::string& folder);

// ---- notices (notice.cpp) --------------------------------------------------------
enum NoticeKind { kNoticeBadmail, kNoticeDomain, kNoticeOverdue, kNoticeKinds };
// Something for the cycle's notice: a line of its text.
void NoteNoticeEvent(int kind, const char* text);
// End of a cycle: one notice mail to NoticeTo listing what went wrong, at
// most one per hour per kind; a failed notice is logged only.
void SendCycleNotice();
// Forget pending events and the rate limit (process start, tests).
void ResetNotices();
// The tray's hook: a message went to bad mail, or a domain's login, TLS or
// greeting failed (or its server has been unreachable for WarnAfterHours).
// Called on the worker thread, at most once per domain per cycle.
extern void (*queueProblemHook)(int kind, const char* text);
