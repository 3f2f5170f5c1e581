// The OAuth 2.0 login of a session: AUTH XOAUTH2, or AUTH OAUTHBEARER
// (RFC 7628) when only that is offered, with the domain's access token. A
// refusal of a cached token gets one renewal and one more try: the server
// may have revoked a token before its time.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "log/log.h"
#include "oauth.h"
#include "relay.h"

namespace {

const char kLoggedIn[] = "Logged in as %s (OAuth 2.0).\r\n";
const char kFailNoMechanism[] =
    " AMBREL Error: server #%d (%s for %s) offers neither AUTH XOAUTH2 nor AUTH OAUTHBEARER; mail left in place\r\n";
const char kFailToken[] = " AMBREL Error: OAuth 2.0 token for %s (%s): %s; mail left in place\r\n";

// As a refused password login: the domain's other messages wait for the next
// pass rather than each fetching a token that will not do.
bool Fail(int domainIndex) {
    if (relaySession.connectionLost) relayState.sessionFailed = 1;
    relaySession.securityFailedDomain = domainIndex + 1;
    CloseSession();
    return false;
}

// The initial response: XOAUTH2 "user=U ^A auth=Bearer T ^A ^A"; OAUTHBEARER
// the GS2 header "n,a=U," first.
std::string InitialResponse(bool bearer, const char* user, const std::string& token) {
    std::string raw = bearer ? std::string("n,a=") + user + ",\x01" : std::string("user=") + user + "\x01";
    raw += "auth=Bearer " + token + "\x01\x01";
    std::vector<char> out((raw.size() + 2) / 3 * 4 + 1);
    Base64Encode(raw.data(), raw.size(), out.data(), out.size());
    std::fill(raw.begin(), raw.end(), '\0');
    std::string text(out.data());
    std::fill(out.begin(), out.end(), '\0');
    return text;
}

// Sends one AUTH; the reply code (235 when accepted). An error challenge
// (334 with the server's JSON) is answered as each mechanism asks, an empty
// line for XOAUTH2 and ^A for OAUTHBEARER, and the final reply is read.
int TryAuth(bool bearer, const char* user, const std::string& token) {
    const char* name = bearer ? "OAUTHBEARER" : "XOAUTH2";
    std::string wire = std::string("AUTH ") + name + " " + InitialResponse(bearer, user, token) + "\r\n";
    LogToWindow("-> AUTH %s <token>\r\n", name);
    LogDebugToFile("  -> AUTH %s <token>\r\n", name);
    SendText(wire.c_str());
    std::fill(wire.begin(), wire.end(), '\0');
    int code = ReadReply(235);
    // Sent by now (a read first sends what waits): nothing of the token may
    // stay in the gathering buffer.
    memset(relaySession.gather, 0, sizeof relaySession.gather);
    if (code == 334 && !relaySession.connectionLost) {
        relayState.sessionFailed = 0;
        LogToWindow("-> (error challenge answered)\r\n");
        SendText(bearer ? "AQ==\r\n" : "\r\n");
        code = ReadReply(235);
    }
    return code;
}

}  // namespace

bool OAuthLogin(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    const ServerCapabilities& caps = relaySession.caps;
    if (!caps.authXoauth2 && !caps.authOauthBearer) {
        ReportDomainFailure(kFailNoMechanism, domainIndex, d.host, d.name);
        return Fail(domainIndex);
    }
    bool bearer = !caps.authXoauth2;
    std::string token;
    bool cached = false;
    char why[700] = "";
    if (!GetAccessToken(d, false, &token, &cached, why, sizeof why)) {
        ReportDomainFailure(kFailToken, d.authUser, d.name, why);
        return Fail(domainIndex);
    }
    int code = TryAuth(bearer, d.authUser, token);
    if (code != 235 && cached && !relaySession.connectionLost) {
        // The server refused a token we still thought valid: renew it once
        // and try once more.
        relayState.sessionFailed = 0;
        if (!GetAccessToken(d, true, &token, &cached, why, sizeof why)) {
            std::fill(token.begin(), token.end(), '\0');
            ReportDomainFailure(kFailToken, d.authUser, d.name, why);
            return Fail(domainIndex);
        }
        code = TryAuth(bearer, d.authUser, token);
    }
    std::fill(token.begin(), token.end(), '\0');
    if (code == 235 && !relayState.sessionFailed) {
        LogBoth(kLoggedIn, d.authUser);
        return true;
    }
    ReportDomainFailure(kFailLogin, d.authUser, domainIndex, d.host, d.name, code);
    return Fail(domainIndex);
}
