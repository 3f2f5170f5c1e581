// The extended session a domain with security keys asks for: TLS from the
// first byte or after STARTTLS, EHLO and its capability lines, the login
// with AUTH PLAIN, AUTH LOGIN, or with an OAuth 2.0 access token (AUTH
// XOAUTH2, or AUTH OAUTHBEARER, RFC 7628, when only that is offered). A
// domain without those keys never comes here: its session stays HELO in
// plain text.
//
// Every failure here is the configuration's or the server's, never the
// message's: the message stays where it is, the session ends, one line
// names the domain and what failed, and the domain's other messages wait
// for the next pass.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "oauth.h"
#include "relay.h"

namespace {

// ---- the texts of this part of the client ----------------------------------
const char kTlsStarted[] = "TLS started.\r\n";
const char kLoggedIn[] = "Logged in as %s.\r\n";
const char kLoggedInOAuth[] = "Logged in as %s (OAuth 2.0).\r\n";
// The failure lines: server number, host, domain name first.
const char kFailEhlo[] = " AMBREL Error: server #%d (%s for %s) refused EHLO (%d); mail left in place\r\n";
const char kFailNoStartTls[] =
    " AMBREL Error: server #%d (%s for %s) does not offer STARTTLS; mail left in place\r\n";
const char kFailStartTls[] = " AMBREL Error: server #%d (%s for %s) refused STARTTLS (%d); mail left in place\r\n";
const char kFailTls[] = " AMBREL Error: TLS with server #%d (%s for %s) failed: %s; mail left in place\r\n";
const char kFailNoMechanism[] =
    " AMBREL Error: server #%d (%s for %s) offers neither AUTH PLAIN nor AUTH LOGIN; mail left in place\r\n";
const char kFailNoOAuthMechanism[] =
    " AMBREL Error: server #%d (%s for %s) offers neither AUTH XOAUTH2 nor AUTH OAUTHBEARER; mail left in place\r\n";
const char kFailToken[] = " AMBREL Error: OAuth 2.0 token for %s (%s): %s; mail left in place\r\n";
const char kFailPlainLogin[] =
    " AMBREL Error: login to server #%d (%s for %s) refused: the connection is not encrypted; mail left in place\r\n";

// The one end of a failed start: the domain is held for the pass and the
// session ends as `ending` says, at least (a refused reply has already
// asked for RSET, a lost connection for a drop).
bool FailDomain(int domainIndex, SessionEnding ending) {
    EndSessionAs(ending);
    relaySession.heldDomain = domainIndex + 1;
    relaySession.heldResult[0] = 0;
    CloseSession();
    return false;
}

// After a reply that was not the step's: the session ends as its fate says.
bool FailAfterReply(int domainIndex, SmtpStep step) {
    Fate fate = ClassifyReply(step, relaySession.reply);
    return FailDomain(domainIndex, fate == Fate::kConnectionLost ? SessionEnding::kEndDrop : SessionEnding::kEndRsetQuit);
}

// Sends one step whose command carries a credential: it shows as the
// step's row says, and the gathering buffer, which keeps what went out
// until later commands overwrite it, is wiped once the reply is read (every
// read sends what waits first).
const SmtpReply& SendSecret(SmtpStep step, std::string& wire) {
    SendCommand(step, nullptr, nullptr);
    SendText(wire.c_str());
    std::fill(wire.begin(), wire.end(), '\0');
    const SmtpReply& reply = ReadReply(step);
    memset(relaySession.gather, 0, sizeof relaySession.gather);
    return reply;
}

std::string Base64Of(const void* data, size_t len) {
    std::vector<char> out((len + 2) / 3 * 4 + 1);
    Base64Encode(data, len, out.data(), out.size());
    std::string text(out.data());
    std::fill(out.begin(), out.end(), '\0');
    return text;
}

bool StartTls(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    char err[200] = "";
    // One reply time-out for the whole handshake: a server that trickles it
    // a few bytes at a time must not hold the relay longer than a silent one.
    SockSetReadDeadline(SteadyMs() + relayTimings.replyTimeoutMs);
    TlsChannel* t = TlsConnect(relayState.relaySocket, d.host, d.hasPin ? d.tlsPin : nullptr, err, sizeof err);
    SockSetReadDeadline(0);
    // Bytes that came in clear text after the STARTTLS reply are not the
    // server's word over TLS: never read them as such.
    relaySession.heldLen = 0;
    if (!t) {
        ReportDomainFailure(kFailTls, domainIndex, d.host, d.name, err);
        return FailDomain(domainIndex, SessionEnding::kEndDrop);
    }
    relaySession.tls = t;
    LogBoth(kTlsStarted);
    return true;
}

// EHLO with its capabilities; false (reported, session ended) when refused.
bool SendEhlo(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    SendCommand(SmtpStep::kEhlo, "EHLO %s\r\n", relaySettings.SMTPHelo);
    const SmtpReply& reply = ReadReply(SmtpStep::kEhlo);
    if (ReplyIs(reply, SmtpStep::kEhlo)) return true;
    ReportDomainFailure(kFailEhlo, domainIndex, d.host, d.name, reply.code);
    return FailAfterReply(domainIndex, SmtpStep::kEhlo);
}

// AUTH PLAIN: base64 of NUL user NUL password.
bool AuthPlain(const DomainEntry& d) {
    std::string token(1, '\0');
    token += d.authUser;
    token += '\0';
    token += d.authPassword;
    std::string wire = "AUTH PLAIN " + Base64Of(token.data(), token.size()) + "\r\n";
    std::fill(token.begin(), token.end(), '\0');
    return ReplyIs(SendSecret(SmtpStep::kAuthPlain, wire), SmtpStep::kAuthPlain);
}

// AUTH LOGIN: the user name and the password, each after a 334.
bool AuthLogin(const DomainEntry& d, SmtpStep* failedStep) {
    *failedStep = SmtpStep::kAuthLogin;
    SendCommand(SmtpStep::kAuthLogin, "%s", "AUTH LOGIN\r\n");
    if (!ReplyIs(ReadReply(SmtpStep::kAuthLogin), SmtpStep::kAuthLogin)) return false;
    std::string wire = Base64Of(d.authUser, strlen(d.authUser)) + "\r\n";
    *failedStep = SmtpStep::kAuthUser;
    if (!ReplyIs(SendSecret(SmtpStep::kAuthUser, wire), SmtpStep::kAuthUser)) return false;
    wire = Base64Of(d.authPassword, strlen(d.authPassword)) + "\r\n";
    *failedStep = SmtpStep::kAuthPassword;
    return ReplyIs(SendSecret(SmtpStep::kAuthPassword, wire), SmtpStep::kAuthPassword);
}

bool Login(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    const ServerCapabilities& caps = relaySession.caps;
    if (!relaySession.tls) {
        // The loader refuses such a domain; this guards any other way in.
        ReportDomainFailure(kFailPlainLogin, domainIndex, d.host, d.name);
        return FailDomain(domainIndex, SessionEnding::kEndQuit);
    }
    if (d.oauth.method == kAuthOAuth2) return OAuthLogin(domainIndex);
    if (!caps.authPlain && !caps.authLogin) {
        ReportDomainFailure(kFailNoMechanism, domainIndex, d.host, d.name);
        return FailDomain(domainIndex, SessionEnding::kEndQuit);
    }
    SmtpStep step = SmtpStep::kAuthPlain;
    if (caps.authPlain ? AuthPlain(d) : AuthLogin(d, &step)) {
        LogBoth(kLoggedIn, d.authUser);
        return true;
    }
    ReportDomainFailure(kFailLogin, d.authUser, domainIndex, d.host, d.name, relaySession.reply.code);
    return FailAfterReply(domainIndex, step);
}

// The initial response: XOAUTH2 "user=U ^A auth=Bearer T ^A ^A"; OAUTHBEARER
// the GS2 header "n,a=U," first.
std::string InitialResponse(bool bearer, const char* user, const std::string& token) {
    std::string raw = bearer ? std::string("n,a=") + user + ",\x01" : std::string("user=") + user + "\x01";
    raw += "auth=Bearer " + token + "\x01\x01";
    std::string text = Base64Of(raw.data(), raw.size());
    std::fill(raw.begin(), raw.end(), '\0');
    return text;
}

// Sends one OAuth AUTH; an error challenge (334 with the server's JSON) is
// answered as each mechanism asks, an empty line for XOAUTH2 and ^A for
// OAUTHBEARER, and the final reply is read.
const SmtpReply& TryAuth(bool bearer, const char* user, const std::string& token) {
    SmtpStep step = bearer ? SmtpStep::kAuthOauthBearer : SmtpStep::kAuthXoauth2;
    std::string wire = std::string("AUTH ") + (bearer ? "OAUTHBEARER " : "XOAUTH2 ") +
                       InitialResponse(bearer, user, token) + "\r\n";
    const SmtpReply& reply = SendSecret(step, wire);
    if (reply.whole && reply.code == 334) {
        SendCommand(SmtpStep::kAuthChallenge, bearer ? "AQ==\r\n" : "\r\n", nullptr);
        return ReadReply(SmtpStep::kAuthChallenge);
    }
    return reply;
}

}  // namespace

const char kFailLogin[] = " AMBREL Error: login as %s to server #%d (%s for %s) refused (%d); mail left in place\r\n";

// Window, file and, for a service, the event log: a login or certificate
// problem must reach whoever watches the service.
void ReportDomainFailure(const char* format, ...) {
    char text[kLogLineSize];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    LogBoth("%s", text);
    if (hostSettings.serviceMode) LogEvent(EventKind::DomainFailure, "%s", text);
    const char* shown = text;
    while (*shown == ' ') shown++;
    size_t n = strlen(shown);
    while (n > 0 && (shown[n - 1] == '\r' || shown[n - 1] == '\n')) n--;
    NoteLastResult("%.*s", (int)n, shown);
}

bool NeedsExtendedSession(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    return d.security != kSecurityNone || d.authUser[0] != 0;
}

bool StartImplicitTls(int domainIndex) {
    if (domainTable[domainIndex].security != kSecurityTls) return true;
    return StartTls(domainIndex);
}

bool StartExtendedSession(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    if (!SendEhlo(domainIndex)) return false;
    if (d.security == kSecurityStartTls) {
        if (!relaySession.caps.startTls) {
            ReportDomainFailure(kFailNoStartTls, domainIndex, d.host, d.name);
            return FailDomain(domainIndex, SessionEnding::kEndQuit);
        }
        SendCommand(SmtpStep::kStartTls, "%s", "STARTTLS\r\n");
        const SmtpReply& reply = ReadReply(SmtpStep::kStartTls);
        if (!ReplyIs(reply, SmtpStep::kStartTls)) {
            ReportDomainFailure(kFailStartTls, domainIndex, d.host, d.name, reply.code);
            return FailAfterReply(domainIndex, SmtpStep::kStartTls);
        }
        if (!StartTls(domainIndex)) return false;
        // What the server offered in clear text may have been forged: ask again.
        if (!SendEhlo(domainIndex)) return false;
    }
    if (d.authUser[0] && !Login(domainIndex)) return false;
    return true;
}

bool OAuthLogin(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    const ServerCapabilities& caps = relaySession.caps;
    if (!caps.authXoauth2 && !caps.authOauthBearer) {
        ReportDomainFailure(kFailNoOAuthMechanism, domainIndex, d.host, d.name);
        return FailDomain(domainIndex, SessionEnding::kEndQuit);
    }
    bool bearer = !caps.authXoauth2;
    SmtpStep step = bearer ? SmtpStep::kAuthOauthBearer : SmtpStep::kAuthXoauth2;
    std::string token;
    bool cached = false;
    char why[700] = "";
    if (!GetAccessToken(d, false, &token, &cached, why, sizeof why)) {
        ReportDomainFailure(kFailToken, d.authUser, d.name, why);
        return FailDomain(domainIndex, SessionEnding::kEndQuit);
    }
    const SmtpReply* reply = &TryAuth(bearer, d.authUser, token);
    if (!ReplyIs(*reply, step) && cached && relaySession.ending != SessionEnding::kEndDrop) {
        // The server refused a token we still thought valid: renew it once
        // and try once more.
        if (!GetAccessToken(d, true, &token, &cached, why, sizeof why)) {
            std::fill(token.begin(), token.end(), '\0');
            ReportDomainFailure(kFailToken, d.authUser, d.name, why);
            return FailDomain(domainIndex, SessionEnding::kEndQuit);
        }
        reply = &TryAuth(bearer, d.authUser, token);
    }
    std::fill(token.begin(), token.end(), '\0');
    if (ReplyIs(*reply, step)) {
        LogBoth(kLoggedInOAuth, d.authUser);
        return true;
    }
    ReportDomainFailure(kFailLogin, d.authUser, domainIndex, d.host, d.name, reply->code);
    return FailAfterReply(domainIndex, step);
}
