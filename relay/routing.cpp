// Routing one message file: open the session on demand, read the envelope,
// pick the recipient by the mailbox's kind, run the transaction and settle
// the file's fate (queued for deletion, moved to bad mails, or left).
#include <cstdio>
#include <cstring>
#include <strings.h>

#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "queue.h"
#include "relay.h"

namespace {

const char kSenderHeader[] = "Return-path:";

}  // namespace

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

namespace {

// Reasons of the files that go to bad mail without a server's word.
const char kReasonTooBig[] = "message of %lld bytes, the server takes at most %lld";
const char kReasonLongAddress[] = "envelope %s (%s) too long for an address";
const char kReasonBadAddress[] = "envelope %s (%s) holds no usable address";

// Files a server accepted whose delete failed. They are never sent again
// while the program runs: the delete is tried again each time one is met,
// and a file that changed since is a new message of the same name.
struct DeliveredFile {
    char path[kPathMax + 1];
    FileStamp stamp;
};
std::vector<DeliveredFile> deliveredFiles;

}  // namespace

void RememberDelivered(const char* path) {
    DeliveredFile f{};
    snprintf(f.path, sizeof f.path, "%s", path);
    if (!GetFileStamp(path, &f.stamp)) return;  // gone after all
    deliveredFiles.push_back(f);
}

namespace {

// True when the file was delivered before in this run and is not to be sent.
bool DeliveredBefore(const char* path) {
    for (size_t i = 0; i < deliveredFiles.size(); i++) {
        if (strcmp(deliveredFiles[i].path, path) != 0) continue;
        FileStamp now;
        if (!GetFileStamp(path, &now)) {
            deliveredFiles.erase(deliveredFiles.begin() + (long)i);
            return true;
        }
        if (!SameFileStamp(now, deliveredFiles[i].stamp)) {
            deliveredFiles.erase(deliveredFiles.begin() + (long)i);
            return false;
        }
        int err = RemoveFileErrno(path);
        if (err == 0) {
            LogBoth(" Deleted mail %s (delivered before).\r\n", path);
            deliveredFiles.erase(deliveredFiles.begin() + (long)i);
        } else {
            LogBoth(" Mail %s was delivered before and cannot be deleted (errno: %d); not sent again.\r\n", path,
                    err);
        }
        return true;
    }
    return false;
}

}  // namespace

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


void ForgetDeliveredFiles() { deliveredFiles.clear(); }

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
    if (err != 0) {
        LogBoth(" Error moving %s to BAD mails.(errno: %d)\r\n", path, err);
        return;
    }
    LogBoth(" Moved %s to BAD mails.\r\n", path);
    AppendBadmailLog(fileName, folder, reason);
}

int ExtractAddress(char* out, const char* value) {
    // A CR inside the line (a bare one: the line ends at LF) ends the line
    // for some readers: the text after it would name another address than
    // the one the line starts with, so the line names none.
    if (strchr(value, '\r')) return kAddressUnusable;
    const char* lt = strchr(value, '<');
    const char* gt = strchr(value, '>');
    const char* from;
    size_t len;
    if (lt) {
        if (!gt || gt < lt) return kAddressUnusable;
        if (gt - lt >= 256) return kAddressTooLong;
        from = lt + 1;
        len = (size_t)(gt - from);
    } else {
        if (gt) return kAddressUnusable;
        from = value;
        while (*from == ' ' || *from == '\t') from++;
        len = strlen(from);
        while (len > 0 && (from[len - 1] == ' ' || from[len - 1] == '\t')) len--;
        if (len == 0) return kAddressUnusable;
        if (len > kAddressMax) return kAddressTooLong;
    }
    // An address goes into a command line: one holding a control character
    // (CR, LF, NUL, ...) could smuggle in a command of its own, so it is no
    // acceptable address at all.
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)from[i];
        if (c < 0x20 || c == 0x7F) return kAddressUnusable;
    }
    memcpy(out, from, len);
    out[len] = 0;
    return kAddressTaken;
}

bool ScanEnvelope(MsgFile* file, char* sender, char* recipient, EnvelopeFaults* faults) {
    sender[0] = 0;
    recipient[0] = 0;
    EnvelopeFaults found = {kAddressTaken, kAddressTaken};
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
        // A line cut by the read is longer than any address may be.
        bool cut = !lineStart && n + 1 == sizeof line;
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
        // The header block ends at the first empty line; a line that begins
        // with a NUL byte is not empty.
        if (n == 0) break;
        // A line that names no usable address is remembered: the message
        // must not go to another address instead (the fall-back of a
        // domain mailbox, or the null sender, which makes it a bounce).
        int result;
        if (strncasecmp(line, header, headerLen) == 0) {
            result = ExtractAddress(recipient, line + headerLen);
            if (result == kAddressTaken && !recipient[0]) result = kAddressUnusable;  // "<>" names no one
            if (result != kAddressTaken && cut) result = kAddressTooLong;
            if (!found.recipient) found.recipient = result;
        } else if (strncasecmp(line, kSenderHeader, sizeof kSenderHeader - 1) == 0) {
            result = ExtractAddress(sender, line + sizeof kSenderHeader - 1);
            if (result != kAddressTaken && cut) result = kAddressTooLong;
            if (!found.sender) found.sender = result;
        }
        if (sender[0] && recipient[0]) break;
    }
    if (faults) *faults = found;
    MsgRewind(file);
    return recipient[0] != 0;
}

bool MailboxPattern(int mailboxIndex, char* out, size_t size) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    const char* files = KindOfMailbox(m.user) == kMailboxPickup ? "*.eml" : "*.CNM";
    return (size_t)snprintf(out, size, "%s%s", m.folder, files) < size;
}

// The session of the mailbox's domain, opened on demand; false (the file
// stays) when it cannot be.
bool EnsureSession(int mailboxIndex, const char* path, const char* fileName) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    RelaySession& rs = relaySession;
    if (relayState.relaySocket != kNoSocket) return true;
    // A domain held earlier in the pass is not tried again: that is no try
    // of this file, unless its server could not be reached.
    bool held = rs.heldDomain == m.domainIndex + 1;
    static_assert(sizeof rs.lastResult == sizeof rs.heldResult);
    if (held && rs.heldResult[0]) memcpy(rs.lastResult, rs.heldResult, sizeof rs.lastResult);
    bool tried = !held || rs.heldResult[0];
    if (OpenSession(m.domainIndex)) return true;
    LogBoth("Communication Error: unable to open connection\r\n");
    if (tried) {
        const char* why = rs.lastResult[0] ? rs.lastResult : "unable to open connection";
        NoteRouteResult(mailboxIndex, fileName, kRouteNoSession, why, false);
        GiveUpIfExpired(mailboxIndex, path, fileName, why);
    }
    return false;
}

namespace {

// What is wrong with the file itself goes to bad mail before any of it is
// sent: the reason, or "" when nothing is. The sender counts only where it
// is used (no SenderAddress).
void FindFileFault(const MailboxEntry& m, const EnvelopeFaults& faults, const char* path, FileStamp* stamp,
                   char* reason, size_t size) {
    const DomainEntry& d = domainTable[m.domainIndex];
    reason[0] = 0;
    if (KindOfMailbox(m.user) == kMailboxDomain && faults.recipient) {
        snprintf(reason, size, faults.recipient == kAddressTooLong ? kReasonLongAddress : kReasonBadAddress,
                 "recipient", relaySettings.XToHeader);
    } else if (!d.senderAddress[0] && faults.sender) {
        snprintf(reason, size, faults.sender == kAddressTooLong ? kReasonLongAddress : kReasonBadAddress,
                 "sender", "Return-path:");
    } else if (relaySession.caps.sizeLimit > 0 && GetFileStamp(path, stamp) &&
               stamp->size > relaySession.caps.sizeLimit) {
        // A 552 the server would give after the upload, without the upload.
        snprintf(reason, size, kReasonTooBig, (long long)stamp->size, relaySession.caps.sizeLimit);
    }
}

}  // namespace

void MoveAndNote(int mailboxIndex, const char* path, const char* fileName, const char* reason, const char* result) {
    MoveToBadmails(path, fileName, mailboxTable[mailboxIndex].folder, reason);
    FileStamp left;
    NoteRouteResult(mailboxIndex, fileName, kRouteRefused, result, !GetFileStamp(path, &left));
}

namespace {

// The 250 to the end of data hands the message to the server (RFC 5321,
// 6.1): the file goes now, before anything else of the session can fail,
// so no later refusal, lost connection, missing 221 or stop can make it go
// out twice.
void SettleDelivered(int mailboxIndex, const char* path, const char* fileName) {
    RelaySession& rs = relaySession;
    rs.pendingCount++;
    int delErr = RemoveFileErrno(path);
    char reply[sizeof rs.reply.line];
    memcpy(reply, rs.reply.line, sizeof reply);
    reply[sizeof reply - 1] = 0;
    MakeOneLine(reply);
    NoteRouteResult(mailboxIndex, fileName, kRouteAccepted, "accepted", false);
    LogToWindow("          Routed O.K.\r\n");
    // The server's words (its queue id) trace a message at the provider.
    LogToFile("          Routed O.K.\r\n  <- %s\r\n\r\n", reply);
    if (delErr) {
        LogBoth(" Error deleting mail %s (errno: %d)\r\n", path, delErr);
        RememberDelivered(path);
    }
    if (rs.pendingCount >= relaySettings.MaxMailSent) CloseSession();
}

// A transaction that did not deliver: the file's side of its fate.
void SettleFailed(int mailboxIndex, const char* path, const char* fileName, Fate fate) {
    RelaySession& rs = relaySession;
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    char result[sizeof rs.lastResult];
    snprintf(result, sizeof result, "%s", rs.lastResult[0] ? rs.lastResult : "failed");
    if (fate == Fate::kHoldDomain && HoldAfterConfigurationRefusal(m.domainIndex)) {
        // The settings are at fault, not the message: it stays, and so do
        // the domain's others until the next pass.
        NoteRouteResult(mailboxIndex, fileName, kRouteDeferred, result, false);
        return;
    }
    if (fate == Fate::kRefused) {
        LogToWindow("          Routing failed with 500-like error !\r\n");
        LogToFile("          Routing failed 500-like error !\r\n");
        MoveAndNote(mailboxIndex, path, fileName, rs.reply.line, result);
    } else {
        LogBoth("          Routing failed !\r\n");
        NoteRouteResult(mailboxIndex, fileName, kRouteDeferred, result, false);
        GiveUpIfExpired(mailboxIndex, path, fileName, result);
    }
    if (rs.ending != SessionEnding::kEndNone) CloseSession();
}

}  // namespace

void RouteMessage(int mailboxIndex, const char* fileName) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    const DomainEntry& d = domainTable[m.domainIndex];
    RelaySession& rs = relaySession;
    char path[kPathMax + 1];
    if (!BuildPath(path, m.folder, fileName, "mail") || DeliveredBefore(path)) {
        UpdateStatusBar();
        return;
    }
    // A file that another program is still writing waits for the next
    // cycle: read now, it could go out cut and then be deleted.
    if (FileBeingWritten(path)) {
        LogToFile(" Mail %s is still being written; left for the next cycle.\r\n", path);
        UpdateStatusBar();
        return;
    }
    rs.lastResult[0] = 0;
    if (!EnsureSession(mailboxIndex, path, fileName)) return;
    if (KindOfMailbox(m.user) == kMailboxPickup) {
        RoutePickupFile(mailboxIndex, path, fileName);
        UpdateStatusBar();
        return;
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
    EnvelopeFaults faults;
    bool found = ScanEnvelope(file, sender, recipient, &faults);
    const char* to = KindOfMailbox(m.user) != kMailboxDomain ? m.email : found ? recipient : m.email + 3;
    char reason[256];
    FileStamp stamp{};
    FindFileFault(m, faults, path, &stamp, reason, sizeof reason);
    if (reason[0]) {
        MsgClose(file);
        LogBoth(" AMBREL Error: mail %s not sent: %s\r\n", path, reason);
        MoveAndNote(mailboxIndex, path, fileName, reason, reason);
        UpdateStatusBar();
        return;
    }
    rs.declaredSize = rs.caps.sizeLimit > 0 ? (long long)stamp.size : 0;
    rs.rewriteDomain = d.senderAddress[0] && d.rewriteFrom ? m.domainIndex + 1 : 0;
    std::vector<SmtpRecipient> recipients(1);
    recipients[0].address = to;
    Fate fate = DeliverMessage(d.senderAddress[0] ? d.senderAddress : sender, recipients, file);
    rs.declaredSize = 0;
    rs.rewriteDomain = 0;
    MsgClose(file);
    if (fate == Fate::kDelivered) SettleDelivered(mailboxIndex, path, fileName);
    else SettleFailed(mailboxIndex, path, fileName, fate);
    UpdateStatusBar();
}
