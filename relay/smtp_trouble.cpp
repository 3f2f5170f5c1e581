// What a reply means: for the message file (delivered, left for the next
// cycle, moved to bad mail), for its domain (held for the rest of the pass)
// and for the session (how it ends). Every step of the client asks here.
//
// The rules, step by reply:
//   - the reply the step expects: the transaction goes on (at the end of
//     data, the server has the message);
//   - RSET and QUIT: nothing, whatever the reply (the files' fates were
//     settled before);
//   - a reply cut short (time-out, close, receive error, past the bounds):
//     the connection is lost and the file stays, except in a transaction
//     where the code read so far is 5xx: the server had refused it;
//   - a refusal that the settings cause (530, or 5xx with 5.7.0, 5.7.8,
//     5.7.9, 5.7.11, 5.7.30, 5.7.57, 5.7.139): the domain is held, its mail
//     stays;
//   - the greeting, HELO: the file stays (the next file opens a new session);
//   - EHLO, STARTTLS, every AUTH step: the domain is held, its mail stays;
//   - MAIL, RCPT, DATA, the end of data: 5xx refuses the message (bad mail),
//     anything else leaves it for the next cycle.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "relay.h"

namespace {

// A refusal that the settings cause: domain, the reply, what to change.
const char kFailRefusal[] = " AMBREL Error: server #%d (%s for %s) refused the mail: \"%s\"; %s; mail left in place\r\n";
const char kFixSecurity[] = "the server requires STARTTLS or a login: set Security";
const char kFixLogin[] = "the server requires a login: set AuthUser and AuthPassword";
const char kFixAccount[] =
    "the server does not let this login send: check AuthUser, AuthPassword and the account's SMTP settings";

bool InTransaction(SmtpStep step) { return step >= SmtpStep::kMail && step <= SmtpStep::kDataEnd; }

}  // namespace

bool IsConfigurationRefusal(const SmtpReply& reply) {
    if (reply.code == 530) return true;
    if (reply.code < 500 || reply.code > 599) return false;
    if (strncmp(reply.status, "5.7.", 4) != 0) return false;
    int detail = atoi(reply.status + 4);  // at most three digits: the reader checked them
    static const int kDetails[] = {0, 8, 9, 11, 30, 57, 139};
    for (int d : kDetails)
        if (detail == d) return true;
    return false;
}

Fate ClassifyReply(SmtpStep step, const SmtpReply& reply) {
    if (step == SmtpStep::kRset || step == SmtpStep::kQuit) return Fate::kGoOn;
    if (ReplyIs(reply, step)) return step == SmtpStep::kDataEnd ? Fate::kDelivered : Fate::kGoOn;
    if (!reply.whole) return InTransaction(step) && reply.code >= 500 ? Fate::kRefused : Fate::kConnectionLost;
    if (step == SmtpStep::kGreeting) return Fate::kDeferred;
    if (IsConfigurationRefusal(reply)) return Fate::kHoldDomain;
    if (step == SmtpStep::kHelo) return Fate::kDeferred;
    if (!InTransaction(step)) return Fate::kHoldDomain;
    return reply.code >= 500 ? Fate::kRefused : Fate::kDeferred;
}

void EndSessionAs(SessionEnding ending) {
    if ((int)ending > (int)relaySession.ending) relaySession.ending = ending;
}

void EndAfterFate(Fate fate) {
    switch (fate) {
    case Fate::kGoOn:
    case Fate::kDelivered: return;
    case Fate::kConnectionLost: EndSessionAs(SessionEnding::kEndDrop); return;
    default: EndSessionAs(SessionEnding::kEndRsetQuit); return;
    }
}

bool HoldAfterConfigurationRefusal(int domainIndex) {
    RelaySession& rs = relaySession;
    if (!IsConfigurationRefusal(rs.reply)) return false;
    const DomainEntry& d = domainTable[domainIndex];
    // The reply line goes into the log as text of one line.
    char reply[sizeof rs.reply.line];
    memcpy(reply, rs.reply.line, sizeof reply);
    reply[sizeof reply - 1] = 0;
    MakeOneLine(reply);
    const char* fix = d.security == kSecurityNone ? kFixSecurity : !d.authUser[0] ? kFixLogin : kFixAccount;
    ReportDomainFailure(kFailRefusal, domainIndex, d.host, d.name, reply, fix);
    rs.heldDomain = domainIndex + 1;
    rs.heldResult[0] = 0;
    EndSessionAs(SessionEnding::kEndRsetQuit);
    CloseSession();
    return true;
}
