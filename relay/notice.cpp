// The notice mail: at the end of a cycle in which something went wrong, one
// short plain-text message to NoticeTo saying what. It goes through the
// engine's own SMTP client after the passes, never through the routing, so
// nothing about it is ever noted for another notice.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "config/config.h"
#include "log/log.h"
#include "queue.h"
#include "relay.h"

namespace {

constexpr int kNoticeInterval = 3600;  // at most one notice per hour per kind
constexpr size_t kMaxItems = 50;       // per kind; the rest is counted
constexpr size_t kItemMax = 300;

struct Pending {
    std::vector<std::string> items;
    int more = 0;
};
Pending pending[kNoticeKinds];
int64_t lastSent[kNoticeKinds];  // 0: never
unsigned noticeCounter = 0;

const char* const kKindTitle[kNoticeKinds] = {"Moved to bad mail", "Domains that failed", "Waiting too long"};
const char* const kKindCount[kNoticeKinds] = {"moved to bad mail", "domain(s) failed", "waiting too long"};

// Plain ASCII on one line: the texts come from servers and file names.
std::string PlainLine(const char* text) {
    std::string s = MakeOneLine(std::string(text).substr(0, kItemMax));
    for (char& c : s)
        if ((unsigned char)c >= 0x80) c = '?';
    return s;
}

// RFC 5322 date in UTC, spelled out so that no locale changes it.
std::string MailDate(int64_t now) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = (time_t)now;
    struct tm* p = gmtime(&t);
    if (!p) return "Thu, 01 Jan 1970 00:00:00 +0000";
    char buf[64];
    snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[p->tm_wday % 7], p->tm_mday,
             kMonths[p->tm_mon % 12], p->tm_year + 1900, p->tm_hour, p->tm_min, p->tm_sec);
    return buf;
}

int NoticeDomain(const char* to) {
    const char* at = strrchr(to, '@');
    for (int i = 0; at && i < domainCount && i < kMaxDomains; i++)
        if (strcasecmp(domainTable[i].name, at + 1) == 0) return i;
    return 0;
}

std::string ComposeNotice(const bool* include, const char* from, const char* to, const char* domain,
                          int64_t now) {
    std::string subject = "Ambrel relay:";
    const char* sep = " ";
    for (int k = 0; k < kNoticeKinds; k++) {
        if (!include[k]) continue;
        subject += sep + std::to_string(pending[k].items.size() + (size_t)pending[k].more) + " " + kKindCount[k];
        sep = ", ";
    }
    char id[160];
    snprintf(id, sizeof id, "<%lld.%u.notice@%s>", (long long)now, ++noticeCounter, domain);
    std::string m;
    m += "From: Ambrel relay <" + std::string(from) + ">\r\n";
    m += "To: <" + std::string(to) + ">\r\n";
    m += "Subject: " + subject + "\r\n";
    m += "Date: " + MailDate(now) + "\r\n";
    m += "Message-ID: " + std::string(id) + "\r\n";
    m += "Auto-Submitted: auto-generated\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=us-ascii\r\n";
    m += "\r\n";
    m += "This is an automatic notice from the mail relay (" + PlainLine(relaySettings.SMTPHelo) + ").\r\n";
    for (int k = 0; k < kNoticeKinds; k++) {
        if (!include[k]) continue;
        m += "\r\n" + std::string(kKindTitle[k]) + ":\r\n";
        for (const std::string& item : pending[k].items) m += "  - " + item + "\r\n";
        if (pending[k].more) m += "  (and " + std::to_string(pending[k].more) + " more)\r\n";
    }
    m += "\r\nThe Queue window (File, Queue...) or `ambrel --queue` shows every waiting and\r\n"
         "refused message.\r\n";
    return m;
}

// Writes the notice into a file beside the log and sends it through the
// domain's server; false (the reason in `result`) when it did not go, and
// `written` false when it could not even be written (its events then stay).
bool SendNoticeText(int d, const char* to, const std::string& text, char* result, size_t resultSize,
                    bool* written) {
    DomainEntry& domain = domainTable[d];
    char logName[sizeof relaySettings.LogName];
    {
        SettingsTextGuard guard;
        snprintf(logName, sizeof logName, "%s", relaySettings.LogName);
    }
    std::string path = std::string(logName) + ".notice";
    FILE* f = fopen(path.c_str(), "wb");
    *written = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f) *written = fclose(f) == 0 && *written;
    int err = 0;
    MsgFile* file = *written ? MsgOpen(path.c_str(), &err) : nullptr;
    *written = file != nullptr;
    if (!file) {
        snprintf(result, resultSize, "unable to write %s", path.c_str());
        RemoveFileErrno(path.c_str());
        return false;
    }
    LogBoth("Sending a notice to %s through %s.\r\n", to, domain.name);
    RelaySession& rs = relaySession;
    rs.pendingCount = 0;
    rs.lastResult[0] = 0;
    bool sent = OpenSession(d) && DeliverMessage(domain.senderAddress, to, file);
    MsgClose(file);
    snprintf(result, resultSize, "%s", rs.lastResult[0] ? rs.lastResult : "unable to open connection");
    CloseSession();
    RemoveFileErrno(path.c_str());
    return sent;
}

}  // namespace

void NoteNoticeEvent(int kind, const char* text) {
    if (kind < 0 || kind >= kNoticeKinds || !queueSettings.NoticeTo[0]) return;
    Pending& p = pending[kind];
    if (p.items.size() < kMaxItems) p.items.push_back(PlainLine(text));
    else p.more++;
}

void ResetNotices() {
    for (int k = 0; k < kNoticeKinds; k++) {
        pending[k] = Pending{};
        lastSent[k] = 0;
    }
}

void SendCycleNotice() {
    const char* to = queueSettings.NoticeTo;
    if (!to[0] || domainCount <= 0 || relayState.stopRequested) return;
    int64_t now = QueueNow();
    bool include[kNoticeKinds];
    bool any = false;
    for (int k = 0; k < kNoticeKinds; k++) {
        include[k] = !pending[k].items.empty() && (lastSent[k] == 0 || now - lastSent[k] >= kNoticeInterval);
        any = any || include[k];
    }
    if (!any) return;
    // Whatever comes of it, the kinds in it wait an hour for the next
    // attempt: a failing notice must not fill the log every cycle.
    for (int k = 0; k < kNoticeKinds; k++)
        if (include[k]) lastSent[k] = now;

    int d = NoticeDomain(to);
    DomainEntry& domain = domainTable[d];
    OpenLogFile();
    if (DomainFailedInCycle(d)) {
        // It failed minutes ago; the events stay for the next notice.
        LogBoth("Notice to %s not sent: domain %s failed in this cycle.\r\n", to, domain.name);
        return;
    }
    if (relayState.relaySocket != kNoSocket) return;
    std::string from = domain.senderAddress[0] ? domain.senderAddress : "MAILER-DAEMON@" + std::string(domain.name);
    std::string text = ComposeNotice(include, from.c_str(), to, domain.name, now);

    char result[sizeof relaySession.lastResult];
    bool written = false;
    bool sent = SendNoticeText(d, to, text, result, sizeof result, &written);
    // A failed notice is logged only, never the subject of another notice.
    if (sent) LogBoth("Notice sent to %s.\r\n", to);
    else LogBoth("Notice to %s not sent: %s.\r\n", to, result);
    if (!written) return;
    for (int k = 0; k < kNoticeKinds; k++)
        if (include[k]) pending[k] = Pending{};
}
