// Routing one message file: open the session on demand, read the envelope,
// pick the recipient by the mailbox's kind, run the transaction and settle
// the file's fate (queued for deletion, moved to bad mails, or left).
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config/config.h"
#include "log/log.h"
#include "queue.h"
#include "relay.h"

namespace {

const char kSenderHeader[] = "Return-path:";

bool IsDomainMailbox(const char* user) { return strncasecmp(user, "dm:", 3) == 0; }

bool BuildPath(char* out, const char* folder, const char* name, const char* what) {
    int n = snprintf(out, kPathMax + 1, "%s%s", folder, name);
    if (n < 0 || (size_t)n > kPathMax) {
        // Refused instead of cut: a cut path would name another file.
        LogBoth(" AMBREL Error: %s path %s%s is too long (%d characters, at most %d); mail left in place.\r\n",
                what, folder, name, n, (int)kPathMax);
        return false;
    }
    return true;
}

// A message that waited longer than GiveUpAfterDays and failed once more
// for a passing reason goes to bad mail instead of being tried for ever.
void GiveUpIfExpired(int mailboxIndex, const char* path, const char* fileName, const char* result) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    char reason[sizeof relaySession.lastResult + 40];
    if (!LifetimeExpired(path, result, reason, sizeof reason)) return;
    LogBoth(" AMBREL: mail %s %s.\r\n", path, reason);
    MoveToBadmails(path, fileName, m.folder, reason);
    FileStamp left;
    if (!GetFileStamp(path, &left)) NoteBadmailMove(mailboxIndex, fileName, reason);
}

}  // namespace

void MoveToBadmails(const char* path, const char* fileName, const char* folder, const char* reason) {
    char badmails[sizeof relaySettings.Badmails];
    {
        SettingsTextGuard guard;
        snprintf(badmails, sizeof badmails, "%s", relaySettings.Badmails);
    }
    if (!badmails[0]) return;
    char badPath[kPathMax + 1];
    if (!BuildPath(badPath, badmails, fileName, "bad-mail")) return;
    int err = RenameFileErrno(path, badPath);
    if (err == 0) {
        LogBoth(" Moved %s to BAD mails.\r\n", path);
        AppendBadmailLog(fileName, folder, reason);
    } else {
        LogBoth(" Error moving %s to BAD mails.(errno: %d)\r\n", path, err);
    }
}

bool AppendBadmailLog(const char* fileName, const char* folder, const char* reason) {
    char badmails[sizeof relaySettings.Badmails];
    {
        SettingsTextGuard guard;
        snprintf(badmails, sizeof badmails, "%s", relaySettings.Badmails);
    }
    char logPath[sizeof badmails + sizeof kBadmailLogName];
    snprintf(logPath, sizeof logPath, "%s%s", badmails, kBadmailLogName);
    FILE* f = fopen(logPath, "ab");
    if (!f) return false;
    char when[32];
    FormatLocalTime("%Y-%m-%d %H:%M:%S", when, sizeof when);
    fprintf(f, "%s\t%s\t%s\t%s\r\n", when, fileName, folder, reason);
    return fclose(f) == 0;
}

void ExtractAddress(char* out, const char* value) {
    const char* lt = strchr(value, '<');
    const char* gt = strchr(value, '>');
    const char* from;
    size_t len;
    if (lt) {
        if (!gt || gt < lt || gt - lt >= 256) return;
        from = lt + 1;
        len = (size_t)(gt - from);
    } else {
        if (gt) return;
        from = value;
        while (*from == ' ' || *from == '\t') from++;
        len = strlen(from);
        while (len > 0 && (from[len - 1] == ' ' || from[len - 1] == '\t')) len--;
        if (len == 0 || len > kAddressMax) return;
    }
    // An address goes into a command line: one holding a control character
    // (CR, LF, NUL, ...) could smuggle in a command of its own, so it is no
    // acceptable address at all.
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)from[i];
        if (c < 0x20 || c == 0x7F) return;
    }
    memcpy(out, from, len);
    out[len] = 0;
}

bool ScanEnvelope(MsgFile* file, char* sender, char* recipient) {
    sender[0] = 0;
    recipient[0] = 0;
    const char* header = relaySettings.XToHeader;
    size_t headerLen = strlen(header);
    char line[kLineRead];
    size_t n;
    bool lineStart = true;
    while ((n = MsgReadLine(file, line, sizeof line)) > 0) {
        // Only the start of a real line can be a header line: the rest of a
        // line longer than a read is text inside that line, and must not set
        // the envelope.
        bool atStart = lineStart;
        lineStart = line[n - 1] == '\n';
        if (!atStart) continue;
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
        // The header block ends at the first empty line; a line that begins
        // with a NUL byte is not empty.
        if (n == 0) break;
        if (strncasecmp(line, header, headerLen) == 0)
            ExtractAddress(recipient, line + headerLen);
        else if (strncasecmp(line, kSenderHeader, sizeof kSenderHeader - 1) == 0)
            ExtractAddress(sender, line + sizeof kSenderHeader - 1);
        if (sender[0] && recipient[0]) break;
    }
    MsgRewind(file);
    return recipient[0] != 0;
}

void RouteMessage(int mailboxIndex, const char* fileName) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    RelaySession& rs = relaySession;
    char path[kPathMax + 1];
    if (!BuildPath(path, m.folder, fileName, "mail")) {
        UpdateStatusBar();
        return;
    }
    rs.lastResult[0] = 0;
    if (relayState.relaySocket == kNoSocket) {
        // A domain whose login or TLS failed earlier in the pass is not
        // tried again: that is no try of this file.
        bool tried = rs.securityFailedDomain != m.domainIndex + 1;
        if (!OpenSession(m.domainIndex)) {
            LogBoth("Communication Error: unable to open connection\r\n");
            if (tried) {
                const char* why = rs.lastResult[0] ? rs.lastResult : "unable to open connection";
                NoteRouteResult(mailboxIndex, fileName, kRouteNoSession, why, false);
                GiveUpIfExpired(mailboxIndex, path, fileName, why);
            }
            return;
        }
    }
    int err = 0;
    MsgFile* file = MsgOpen(path, &err);
    if (!file) {
        LogBoth(" AMBREL Error: Unable to Route (open) mail %s (errno %d)\r\n", path, err);
        char why[64];
        snprintf(why, sizeof why, "unable to open the file (errno %d)", err);
        NoteRouteResult(mailboxIndex, fileName, kRouteDeferred, why, false);
        UpdateStatusBar();
        return;
    }
    char sender[kAddressMax + 1], recipient[kAddressMax + 1];
    bool found = ScanEnvelope(file, sender, recipient);
    const char* to = m.email;
    if (IsDomainMailbox(m.user)) to = found ? recipient : m.email + 3;
    bool ok = DeliverMessage(sender, to, file);
    MsgClose(file);
    char result[sizeof rs.lastResult];
    snprintf(result, sizeof result, "%s", ok ? "accepted" : rs.lastResult[0] ? rs.lastResult : "failed");

    if (ok) {
        NoteRouteResult(mailboxIndex, fileName, kRouteAccepted, result, false);
        LogToWindow("          Routed O.K.\r\n");
        LogToFile("          Routed O.K.\r\n\r\n");
        if (rs.pendingCount < kMaxMailSent) snprintf(rs.pendingPaths[rs.pendingCount++], kPathMax + 1, "%s", path);
        if (rs.pendingCount >= relaySettings.MaxMailSent) CloseSession();
    } else if (rs.permanentFailure) {
        LogToWindow("          Routing failed with 500-like error !\r\n");
        LogToFile("          Routing failed 500-like error !\r\n");
        MoveToBadmails(path, fileName, m.folder, result);
        FileStamp left;
        NoteRouteResult(mailboxIndex, fileName, kRouteRefused, result, !GetFileStamp(path, &left));
        if (relayState.sessionFailed) CloseSession();
    } else {
        LogBoth("          Routing failed !\r\n");
        NoteRouteResult(mailboxIndex, fileName, kRouteDeferred, result, false);
        GiveUpIfExpired(mailboxIndex, path, fileName, result);
        if (relayState.sessionFailed) CloseSession();
    }
    UpdateStatusBar();
}
