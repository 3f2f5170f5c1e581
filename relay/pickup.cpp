// The file side of a pickup file: an application's message (*.eml) that
// names its own sender and any number of recipients. Its recipients go in
// transactions of at most 100 over the pass's session; after each one the
// file is replaced, in one rename over it, by one that names only the
// recipients still open, and the refused ones go to bad mail in a file of
// their own. A recipient whose 250 to the end of data came is therefore
// never sent the message again, whatever happens next; the one window left
// is a kill between that 250 and the rename, as for a .CNM file's delete.
//
// A file counts once toward MaxMailSent, however many transactions it
// takes: the session is never cut between two of them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "envelope.h"
#include "log/log.h"
#include "queue.h"
#include "relay.h"

namespace {

// RFC 5321 asks servers to take 100 recipients in one transaction.
constexpr size_t kRecipientsPerTransaction = 100;
// The header block read for the envelope; a longer one is read this far.
constexpr size_t kHeaderReadMax = 1 << 20;

struct PickupState {
    PickupEnvelope envelope;
    std::vector<std::string> open;       // usable recipients not yet settled
    std::vector<std::string> later;      // deferred by a 4xx in this routing: tried next cycle
    std::vector<SmtpRecipient> refused;  // refused in this round, with their reasons
};

// The header block: every line before the first empty one.
bool ReadHeaderBlock(const char* path, std::string* header, int* err) {
    MsgFile* f = MsgOpen(path, err);
    if (!f) return false;
    char line[kLineRead];
    size_t n;
    bool lineStart = true;
    while (header->size() < kHeaderReadMax && (n = MsgReadLine(f, line, sizeof line)) > 0) {
        if (lineStart && n == 1 && line[0] == '\n') break;
        header->append(line, n);
        lineStart = line[n - 1] == '\n';
    }
    bool ok = !MsgFailed(f);
    MsgClose(f);
    if (!ok) *err = LastErrno();
    return ok;
}

// The file's envelope, its open and unusable recipients; false when the
// file cannot be read (noted) or went to bad mail whole.
bool LoadPickupState(int mailboxIndex, const char* path, const char* fileName, PickupState* st) {
    std::string header;
    int err = 0;
    if (!ReadHeaderBlock(path, &header, &err)) {
        LogBoth(" AMBREL Error: Unable to Route (open) mail %s (errno %d)\r\n", path, err);
        char why[64];
        snprintf(why, sizeof why, "unable to open the file (errno %d)", err);
        NoteRouteResult(mailboxIndex, fileName, kRouteDeferred, why, false);
        return false;
    }
    st->envelope = ReadPickupEnvelope(header);
    std::string fault = st->envelope.fault;
    // The sender counts only where it is used (no SenderAddress).
    if (fault.empty() && !domainTable[mailboxTable[mailboxIndex].domainIndex].senderAddress[0] &&
        !st->envelope.senderFault.empty())
        fault = "envelope sender: " + st->envelope.senderFault;
    FileStamp stamp;
    std::string tooBig;
    if (fault.empty() && relaySession.caps.sizeLimit > 0 && GetFileStamp(path, &stamp) &&
        stamp.size > relaySession.caps.sizeLimit)
        tooBig = "message of " + std::to_string((long long)stamp.size) + " bytes, the server takes at most " +
                 std::to_string(relaySession.caps.sizeLimit);
    if (!fault.empty() || !tooBig.empty()) {
        const std::string& reason = fault.empty() ? tooBig : fault;
        LogBoth(" AMBREL Error: mail %s not sent: %s\r\n", path, reason.c_str());
        MoveAndNote(mailboxIndex, path, fileName, reason.c_str(), reason.c_str());
        return false;
    }
    for (const PickupAddress& a : st->envelope.recipients) {
        if (a.fault.empty()) {
            st->open.push_back(a.address);
        } else {
            SmtpRecipient r;
            r.address = a.address;
            r.fate = Fate::kRefused;
            r.reply = a.fault;
            st->refused.push_back(r);
        }
    }
    return true;
}

// `envelopeLines`, then the text of `source` without its own envelope
// lines and Bcc: field, into `target`, flushed to disk before it takes the
// name `final` (over a file of that name). 0, or the error number.
int WritePickupCopy(const char* source, const std::string& envelopeLines, const std::string& final) {
    std::string tmp = final + ".tmp";  // no pickup search matches it
    int err = 0;
    MsgFile* in = MsgOpen(source, &err);
    if (!in) return err ? err : -1;
    FILE* out = fopen(tmp.c_str(), "wb");
    bool ok = out && fwrite(envelopeLines.data(), 1, envelopeLines.size(), out) == envelopeLines.size();
    PickupTextFilter filter;
    std::string piece;
    char line[kLineRead];
    size_t n;
    while (ok && (n = MsgReadLine(in, line, sizeof line)) > 0) {
        for (size_t i = 0; i < n; i++) filter.Take(line[i], piece);
        ok = fwrite(piece.data(), 1, piece.size(), out) == piece.size();
        piece.clear();
    }
    filter.Finish(piece);
    ok = ok && !MsgFailed(in) && fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    MsgClose(in);
    if (out && fclose(out) != 0) ok = false;
    err = ok ? ReplaceFileErrno(tmp.c_str(), final.c_str()) : (LastErrno() ? LastErrno() : -1);
    if (err) RemoveFileErrno(tmp.c_str());
    return err;
}

// A free name in the bad-mail folder: the file's own, else with -1, -2, ...
// before its extension. A file in bad mail is never overwritten.
bool FreeBadmailPath(const char* badmails, const char* fileName, std::string* path, std::string* name) {
    std::string base = fileName, ext;
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) {
        ext = base.substr(dot);
        base.resize(dot);
    }
    for (int i = 0; i < 1000; i++) {
        *name = i ? base + "-" + std::to_string(i) + ext : std::string(fileName);
        *path = std::string(badmails) + *name;
        FileStamp st;
        if (!GetFileStamp(path->c_str(), &st) && !GetFileStamp((*path + ".tmp").c_str(), &st)) return true;
    }
    return false;
}

// The refused recipients into one bad-mail file naming only them, and one
// badmail.log line giving each with its reason; false (they stay open)
// when there is no bad-mail folder or the file cannot be written.
bool MoveRefusedToBadmail(int mailboxIndex, const char* path, const char* fileName, const PickupState& st) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    char badmails[sizeof relaySettings.Badmails];
    {
        SettingsTextGuard guard;
        snprintf(badmails, sizeof badmails, "%s", relaySettings.Badmails);
    }
    std::string badPath, badName;
    if (!badmails[0] || !FreeBadmailPath(badmails, fileName, &badPath, &badName)) return false;
    std::vector<std::string> to;
    std::string reason;
    for (const SmtpRecipient& r : st.refused) {
        to.push_back(r.address);
        reason += (reason.empty() ? "" : "; ") + r.address + ": " + r.reply;
    }
    int err = WritePickupCopy(path, PickupEnvelopeLines(st.envelope.sender, to), badPath);
    if (err) {
        LogBoth(" Error moving the refused recipients of %s to BAD mails.(errno: %d)\r\n", path, err);
        return false;
    }
    LogBoth(" Moved %d refused recipient(s) of %s to BAD mails as %s.\r\n", (int)to.size(), path, badName.c_str());
    AppendBadmailLog(badName.c_str(), m.folder, reason.c_str());
    NoteBadmailMove(mailboxIndex, badName.c_str(), reason.c_str());
    return true;
}

// One transaction with the first open recipients: each settled recipient
// leaves `open` (the refused join `refused`, those deferred by a 4xx
// `later`; a 452, too many recipients, only asks for another transaction).
// The transaction's fate.
Fate RunPickupTransaction(int mailboxIndex, const char* path, PickupState* st, int* delivered) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    const DomainEntry& d = domainTable[m.domainIndex];
    RelaySession& rs = relaySession;
    size_t count = std::min(st->open.size(), kRecipientsPerTransaction);
    std::vector<SmtpRecipient> rcpts(count);
    for (size_t i = 0; i < count; i++) rcpts[i].address = st->open[i];
    int err = 0;
    MsgFile* file = MsgOpen(path, &err);
    if (!file) {
        LogBoth(" AMBREL Error: Unable to Route (open) mail %s (errno %d)\r\n", path, err);
        return Fate::kDeferred;
    }
    FileStamp stamp{};
    rs.declaredSize = rs.caps.sizeLimit > 0 && GetFileStamp(path, &stamp) ? (long long)stamp.size : 0;
    rs.rewriteDomain = d.senderAddress[0] && d.rewriteFrom ? m.domainIndex + 1 : 0;
    rs.pickupText = 1;
    Fate fate = DeliverMessage(d.senderAddress[0] ? d.senderAddress : st->envelope.sender.c_str(), rcpts, file);
    rs.pickupText = 0;
    rs.declaredSize = 0;
    rs.rewriteDomain = 0;
    MsgClose(file);
    std::vector<std::string> still;
    for (size_t i = 0; i < st->open.size(); i++) {
        if (i < count && rcpts[i].fate == Fate::kDelivered) {
            ++*delivered;
        } else if (i < count && rcpts[i].fate == Fate::kRefused) {
            st->refused.push_back(rcpts[i]);
        } else if (i < count && rcpts[i].fate == Fate::kDeferred && rcpts[i].reply.compare(0, 3, "452") != 0) {
            st->later.push_back(st->open[i]);
        } else {
            still.push_back(st->open[i]);
        }
    }
    st->open.swap(still);
    LogBoth(" %d recipient(s) accepted, %d refused, %d open\r\n", *delivered, (int)st->refused.size(),
            (int)st->open.size());
    return fate;
}

// After a transaction: the bad-mail file first, then the file replaced (or
// deleted when nothing is open). False when the file could not be brought
// up to date: nothing more may go out for it now.
bool SettleRound(int mailboxIndex, const char* path, const char* fileName, PickupState* st, int delivered) {
    if (!st->refused.empty() && !MoveRefusedToBadmail(mailboxIndex, path, fileName, *st)) {
        // Without a bad-mail folder they stay, refused again each cycle.
        for (const SmtpRecipient& r : st->refused) st->open.push_back(r.address);
        st->refused.clear();
    }
    bool changed = delivered > 0 || !st->refused.empty();
    std::vector<std::string> left = st->later;
    left.insert(left.end(), st->open.begin(), st->open.end());
    if (left.empty()) {
        int err = RemoveFileErrno(path);
        if (err) {
            LogBoth(" Error deleting mail %s (errno: %d)\r\n", path, err);
            RememberDelivered(path);
        }
        return true;
    }
    if (!changed) return true;
    int err = WritePickupCopy(path, PickupEnvelopeLines(st->envelope.sender, left), path);
    if (err) {
        LogBoth(" AMBREL Error: mail %s could not be rewritten for its open recipients (errno: %d)\r\n", path, err);
        RememberDelivered(path);  // never again as it stands: its delivered recipients are in it
        return false;
    }
    LogBoth(" Mail %s now names its %d open recipient(s).\r\n", path, (int)left.size());
    return true;
}

}  // namespace

void RoutePickupFile(int mailboxIndex, const char* path, const char* fileName) {
    const MailboxEntry& m = mailboxTable[mailboxIndex];
    RelaySession& rs = relaySession;
    int deliveredInAll = 0;
    PickupState st;
    Fate fate = Fate::kDeferred;
    std::vector<std::string> later;  // deferred in an earlier transaction of this routing
    for (bool more = true; more;) {
        st = PickupState{};
        if (!LoadPickupState(mailboxIndex, path, fileName, &st)) break;
        for (const std::string& a : later) {
            auto at = std::find(st.open.begin(), st.open.end(), a);
            if (at != st.open.end()) st.open.erase(at);
        }
        st.later = later;
        int delivered = 0;
        if (st.open.empty()) break;  // only recipients that wait for the next cycle
        fate = RunPickupTransaction(mailboxIndex, path, &st, &delivered);
        deliveredInAll += delivered;
        if (fate == Fate::kHoldDomain && HoldAfterConfigurationRefusal(m.domainIndex)) break;
        // The next transaction only in a session still in step, after one
        // that got somewhere.
        more = SettleRound(mailboxIndex, path, fileName, &st, delivered) && !st.open.empty() && delivered > 0 &&
               rs.ending == SessionEnding::kEndNone && !relayState.stopRequested;
        later = st.later;
    }
    st.open.insert(st.open.end(), st.later.begin(), st.later.end());
    if (st.open.empty() && deliveredInAll > 0) {
        NoteRouteResult(mailboxIndex, fileName, kRouteAccepted, "accepted", false);
    } else if (!st.open.empty()) {
        // The queue's last result: how many wait, and why (cut to its size).
        std::string result = std::to_string(st.open.size()) + " recipient(s) open: " +
                             (rs.lastResult[0] ? rs.lastResult : "failed");
        result.resize(std::min(result.size(), sizeof rs.lastResult - 1));
        NoteRouteResult(mailboxIndex, fileName, kRouteDeferred, result.c_str(), false);
        if (deliveredInAll == 0) GiveUpIfExpired(mailboxIndex, path, fileName, result.c_str());
    }
    if (deliveredInAll > 0 && ++rs.pendingCount >= relaySettings.MaxMailSent) CloseSession();
    if (rs.ending != SessionEnding::kEndNone) CloseSession();
}
