// The extended session a domain with security keys asks for: TLS from the
// first byte or after STARTTLS, EHLO and its capability lines, the login
// with AUTH PLAIN or AUTH LOGIN. A domain without those keys never comes
// here: its session stays HELO in plain text.
//
// Every failure here is the configuration's or the server's, never the
// message's: the message stays where it is, the session ends, and one line
// names the domain and what failed. The domain's other messages then wait
// for the next pass.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config/config.h"
#include "log/log.h"
#include "oauth.h"
#include "relay.h"

namespace {

// ---- the texts of this part of the client ----------------------------------
const char kTlsStarted[] = "TLS started.\r\n";
const char kLoggedIn[] = "Logged in as %s.\r\n";
const char kShownAuthPlain[] = "AUTH PLAIN <credentials>\r\n";
const char kShownUser[] = "<user name>\r\n";
const char kShownPassword[] = "<password>\r\n";
// The failure lines: server number, host, domain name first.
const char kFailEhlo[] = " AMBREL Error: server #%d (%s for %s) refused EHLO (%d); mail left in place\r\n";
const char kFailNoStartTls[] =
    " AMBREL Error: server #%d (%s for %s) does not offer STARTTLS; mail left in place\r\n";
const char kFailStartTls[] = " AMBREL Error: server #%d (%s for %s) refused STARTTLS (%d); mail left in place\r\n";
const char kFailTls[] = " AMBREL Error: TLS with server #%d (%s for %s) failed: %s; mail left in place\r\n";
const char kFailNoMechanism[] =
    " AMBREL Error: server #%d (%s for %s) offers neither AUTH PLAIN nor AUTH LOGIN; mail left in place\r\n";
// A refusal that the settings cause: domain, the reply, what to change.
const char kFailRefusal[] = " AMBREL Error: server #%d (%s for %s) refused the mail: \"%s\"; %s; mail left in place\r\n";
const char kFixSecurity[] = "the server requires STARTTLS or a login: set Security";
const char kFixLogin[] = "the server requires a login: set AuthUser and AuthPassword";
const char kFixAccount[] =
    "the server does not let this login send: check AuthUser, AuthPassword and the account's SMTP settings";
const char kFailPlainLogin[] =
    " AMBREL Error: login to server #%d (%s for %s) refused: the connection is not encrypted; mail left in place\r\n";


// Ends the session after a failure; the domain's other messages wait for the
// next pass.
void EndAfterFailure(int domainIndex, bool connectionUsable) {
    // On a connection still usable it ends with QUIT (and RSET first when a
    // reply was refused); no transaction is open yet.
    if (!connectionUsable) {
        relayState.sessionFailed = 1;
        relaySession.connectionLost = 1;
    }
    relaySession.securityFailedDomain = domainIndex + 1;
    CloseSession();
}

bool StartTls(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    char err[200] = "";
    // One reply time-out for the whole handshake: a server that trickles it
    // a few bytes at a time must not hold the relay longer than a silent one.
    SockSetReadDeadline(SteadyMs() + relayTimings.replyTimeoutMs);
    TlsChannel* t = TlsConnect(relayState.relaySocket, d.host, d.hasPin ? d.tlsPin : nullptr, err, sizeof err);
    SockSetReadDeadline(0);
    if (!t) {
        ReportDomainFailure(kFailTls, domainIndex, d.host, d.name, err);
        EndAfterFailure(domainIndex, false);
        return false;
    }
    relaySession.tls = t;
    LogBoth(kTlsStarted);
    return true;
}

// EHLO with its capabilities; false (reported, session ended) when refused.
bool SendEhlo(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    SendCommand("EHLO %s\r\n", relaySettings.SMTPHelo);
    relaySession.collectCapabilities = 1;
    int code = ReadReply(250);
    relaySession.collectCapabilities = 0;
    if (code == 250 && !relayState.sessionFailed) return true;
    ReportDomainFailure(kFailEhlo, domainIndex, d.host, d.name, code);
    EndAfterFailure(domainIndex, !relaySession.connectionLost);
    return false;
}

// One line whose text must not reach the log: shown as `shown`.
void SendHidden(const char* wire, const char* shown) {
    LogToWindow("-> %s", shown);
    LogDebugToFile("  -> %s", shown);
    SendText(wire);
}

bool Login(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    ServerCapabilities& caps = relaySession.caps;
    if (!relaySession.tls) {
        // The loader refuses such a domain; this guards any other way in.
        ReportDomainFailure(kFailPlainLogin, domainIndex, d.host, d.name);
        EndAfterFailure(domainIndex, true);
        return false;
    }
    if (d.oauth.method == kAuthOAuth2) return OAuthLogin(domainIndex);
    if (!caps.authPlain && !caps.authLogin) {
        ReportDomainFailure(kFailNoMechanism, domainIndex, d.host, d.name);
        EndAfterFailure(domainIndex, true);
        return false;
    }
    // "AUTH PLAIN " + base64 of NUL user NUL password + CR LF.
    constexpr size_t kTokenMax = 2 * kAuthTextMax + 2;
    constexpr size_t kEncodedSize = (kTokenMax + 2) / 3 * 4 + 1;
    char wire[kEncodedSize + 16];
    int code;
    if (caps.authPlain) {
        unsigned char token[kTokenMax];
        size_t u = strlen(d.authUser), p = strlen(d.authPassword);
        token[0] = 0;
        memcpy(token + 1, d.authUser, u);
        token[1 + u] = 0;
        memcpy(token + 2 + u, d.authPassword, p);
        char encoded[kEncodedSize];
        Base64Encode(token, 2 + u + p, encoded, sizeof encoded);
        memset(token, 0, sizeof token);
        snprintf(wire, sizeof wire, "AUTH PLAIN %s\r\n", encoded);
        memset(encoded, 0, sizeof encoded);
        SendHidden(wire, kShownAuthPlain);
        code = ReadReply(235);
    } else {
        SendCommand("%s", "AUTH LOGIN\r\n");
        code = ReadReply(334);
        if (code == 334 && !relayState.sessionFailed) {
            char encoded[kEncodedSize];
            Base64Encode(d.authUser, strlen(d.authUser), encoded, sizeof encoded);
            snprintf(wire, sizeof wire, "%s\r\n", encoded);
            SendHidden(wire, kShownUser);
            code = ReadReply(334);
            if (code == 334 && !relayState.sessionFailed) {
                Base64Encode(d.authPassword, strlen(d.authPassword), encoded, sizeof encoded);
                snprintf(wire, sizeof wire, "%s\r\n", encoded);
                memset(encoded, 0, sizeof encoded);
                SendHidden(wire, kShownPassword);
                code = ReadReply(235);
            }
        }
    }
    memset(wire, 0, sizeof wire);
    // The base64 credentials went out through the gathering buffer, which
    // keeps them until later commands overwrite them: wipe it now that they
    // are flushed (every reply read sends what waits first).
    memset(relaySession.gather, 0, sizeof relaySession.gather);
    if (code == 235 && !relayState.sessionFailed) {
        LogBoth(kLoggedIn, d.authUser);
        return true;
    }
    ReportDomainFailure(kFailLogin, d.authUser, domainIndex, d.host, d.name, code);
    EndAfterFailure(domainIndex, !relaySession.connectionLost);
    return false;
}

bool WordIs(const char* at, size_t len, const char* word) {
    return strlen(word) == len && strncasecmp(at, word, len) == 0;
}

// One whole line of the EHLO reply: "250-STARTTLS", "250 AUTH LOGIN PLAIN",
// or the older "250-AUTH=LOGIN" form.
void NoteCapabilityLine(const char* line, size_t len) {
    ServerCapabilities& caps = relaySession.caps;
    if (len < 4 || (line[3] != '-' && line[3] != ' ')) return;
    const char* p = line + 4;
    const char* end = line + len;
    const char* word = p;
    while (p < end && *p != ' ' && *p != '=') p++;
    size_t keyLen = (size_t)(p - word);
    if (WordIs(word, keyLen, "STARTTLS")) {
        caps.startTls = 1;
        return;
    }
    if (WordIs(word, keyLen, "PIPELINING")) {
        caps.pipelining = 1;
        return;
    }
    if (WordIs(word, keyLen, "SIZE")) {
        // "SIZE" alone or "SIZE 0" sets no limit; a number too large for the
        // count is as good as none.
        while (p < end && *p == ' ') p++;
        long long n = 0;
        for (; p < end && *p >= '0' && *p <= '9'; p++) {
            if (n > (LLONG_MAX - 9) / 10) return;
            n = n * 10 + (*p - '0');
        }
        caps.sizeLimit = n;
        return;
    }
    if (!WordIs(word, keyLen, "AUTH")) return;
    while (p < end) {
        while (p < end && (*p == ' ' || *p == '=')) p++;
        word = p;
        while (p < end && *p != ' ') p++;
        if (WordIs(word, (size_t)(p - word), "PLAIN")) caps.authPlain = 1;
        if (WordIs(word, (size_t)(p - word), "LOGIN")) caps.authLogin = 1;
        if (WordIs(word, (size_t)(p - word), "XOAUTH2")) caps.authXoauth2 = 1;
        if (WordIs(word, (size_t)(p - word), "OAUTHBEARER")) caps.authOauthBearer = 1;
    }
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

void ResetCapabilities() { memset(&relaySession.caps, 0, sizeof relaySession.caps); }

void NoteCapabilityChar(char c) {
    ServerCapabilities& caps = relaySession.caps;
    if (c == '\n') {
        size_t n = caps.lineLen;
        if (n > 0 && caps.line[n - 1] == '\r') n--;
        NoteCapabilityLine(caps.line, n);
        caps.lineLen = 0;
    } else if (caps.lineLen < sizeof caps.line) {
        caps.line[caps.lineLen++] = c;
    }
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
            EndAfterFailure(domainIndex, true);
            return false;
        }
        SendCommand("%s", "STARTTLS\r\n");
        int code = ReadReply(220);
        if (code != 220 || relayState.sessionFailed) {
            ReportDomainFailure(kFailStartTls, domainIndex, d.host, d.name, code);
            EndAfterFailure(domainIndex, !relaySession.connectionLost);
            return false;
        }
        if (!StartTls(domainIndex)) return false;
        // What the server offered in clear text may have been forged: ask again.
        if (!SendEhlo(domainIndex)) return false;
    }
    if (d.authUser[0] && !Login(domainIndex)) return false;
    return true;
}

bool IsConfigurationRefusal(int code, const char* line) {
    if (code == 530) return true;
    if (code < 500 || code > 599) return false;
    // "5xx 5.7.n text": the enhanced code (RFC 3463) after the reply code;
    // its class must be the reply's.
    if (strlen(line) < 4 || (line[3] != ' ' && line[3] != '-')) return false;
    const char* p = line + 4;
    while (*p == ' ') p++;
    if (p[0] != '5' || p[1] != '.' || p[2] != '7' || p[3] != '.') return false;
    p += 4;
    int detail = 0, digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 4; p++, digits++) detail = detail * 10 + (*p - '0');
    if (digits == 0 || digits > 3 || (*p != 0 && *p != ' ' && *p != '\t')) return false;
    static const int kDetails[] = {0, 8, 9, 11, 30, 57, 139};
    for (int d : kDetails)
        if (detail == d) return true;
    return false;
}

bool HoldAfterConfigurationRefusal(int domainIndex) {
    RelaySession& rs = relaySession;
    if (!IsConfigurationRefusal(rs.parser.replyCode, rs.lastReply)) return false;
    const DomainEntry& d = domainTable[domainIndex];
    // The reply line goes into the log as text of one line.
    char reply[sizeof rs.lastReply];
    memcpy(reply, rs.lastReply, sizeof reply);
    reply[sizeof reply - 1] = 0;
    for (char* c = reply; *c; c++)
        if ((unsigned char)*c < 0x20) *c = ' ';
    const char* fix = d.security == kSecurityNone ? kFixSecurity : !d.authUser[0] ? kFixLogin : kFixAccount;
    ReportDomainFailure(kFailRefusal, domainIndex, d.host, d.name, reply, fix);
    EndAfterFailure(domainIndex, !rs.connectionLost);
    return true;
}
