// The token endpoint: renewing an access token (refresh_token or
// client_credentials) and the first sign-in of a user (device authorization
// grant, or authorization code with PKCE through the browser and a loopback
// redirect). Every failure comes back as one line for the caller to report:
// the endpoint, its `error` and `error_description`. No token, code or
// secret is ever put into such a line.
#include "oauth.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include <nlohmann/json.hpp>

#include "log/log.h"
#include "platform/http.h"
#include "platform/platform.h"

int oauthPollUnitMs = 1000;

namespace {

using nlohmann::json;

constexpr int kHttpTimeoutMs = 60 * 1000;
// A token with less than this left is renewed before it is used: the
// session that follows must not outlive it.
constexpr long long kRenewMarginSeconds = 300;
// How long a browser sign-in waits for the redirect.
constexpr int kBrowserWaitMs = 10 * 60 * 1000;
// A token's lifetime is taken up to ten years: beyond that (or negative) a
// server's number would only overflow the clock it is added to.
constexpr long long kMaxLifetimeSeconds = 10LL * 365 * 24 * 3600;
// The device grant's pace: the server's interval, but at least a second
// (no polling without pause) and at most five minutes (a sign-in that
// would never ask again); its code lives at most a day.
constexpr long long kMinPollSeconds = 1, kMaxPollSeconds = 300;
constexpr long long kMaxDeviceCodeSeconds = 24 * 3600;

const char kDeviceGrant[] = "urn:ietf:params:oauth:grant-type:device_code";

long long Now() { return (long long)time(nullptr); }

void Why(char* why, size_t size, const char* format, ...) AMBREL_PRINTF(3, 4);
void Why(char* why, size_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(why, size, format, ap);
    va_end(ap);
}

std::string UrlEncode(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string UrlDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) &&
                   isxdigit((unsigned char)s[i + 2])) {
            out += (char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// One query parameter of a redirect target ("/?code=...&state=...").
std::string QueryValue(const std::string& target, const char* name) {
    size_t q = target.find('?');
    if (q == std::string::npos) return "";
    std::string want = std::string(name) + "=";
    for (size_t p = q + 1; p < target.size();) {
        size_t amp = target.find('&', p);
        std::string pair = target.substr(p, amp == std::string::npos ? std::string::npos : amp - p);
        if (pair.compare(0, want.size(), want) == 0) return UrlDecode(pair.substr(want.size()));
        if (amp == std::string::npos) break;
        p = amp + 1;
    }
    return "";
}

std::string Base64Url(const unsigned char* data, size_t len) {
    char text[128];
    if (!Base64Encode(data, len, text, sizeof text)) return "";
    std::string s = text;
    for (char& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
    while (!s.empty() && s.back() == '=') s.pop_back();
    return s;
}

// A server's text shown in a log line: printable, one line, bounded.
std::string Shown(const std::string& s, size_t max = 200) {
    std::string out;
    for (unsigned char c : s) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        out += (c >= 32 && c < 127) ? (char)c : ' ';
    }
    return out;
}

std::string Text(const json& j, const char* key) {
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : "";
}

// expires_in and interval come as numbers, from some servers as strings.
// Whatever comes is held to [lo, hi] before it becomes an integer: a value
// beyond what a long long holds must not be converted, and a lifetime added
// to the clock must not overflow it. Anything that is not a number: `def`.
long long Number(const json& j, const char* key, long long def, long long lo, long long hi) {
    if (!j.is_object() || !j.contains(key)) return def;
    const json& v = j[key];
    double n;
    if (v.is_number_unsigned()) {  // hi is never negative
        unsigned long long u = v.get<unsigned long long>();
        return u > (unsigned long long)hi ? hi : std::max(lo, (long long)u);
    } else if (v.is_number_integer()) {
        return std::clamp(v.get<long long>(), lo, hi);
    } else if (v.is_number()) {
        n = v.get<double>();
    } else if (v.is_string()) {
        const std::string& text = v.get_ref<const std::string&>();
        char* end = nullptr;
        n = strtod(text.c_str(), &end);
        if (text.empty() || !end || *end != 0) return def;
    } else {
        return def;
    }
    if (n != n) return def;  // NaN
    return n <= (double)lo ? lo : n >= (double)hi ? hi : (long long)n;
}

// The outcome of one request to an endpoint.
struct Answer {
    bool reached = false;
    int status = 0;
    json body;              // discarded when the body is not a JSON object
    std::string error;      // "error" of an OAuth error answer
    std::string description;
};

Answer Post(const char* url, const std::string& form, char* why, size_t whySize) {
    Answer a;
    std::string body;
    char err[300] = "";
    a.reached = HttpsPostForm(url, form, kHttpTimeoutMs, &a.status, &body, err, sizeof err);
    if (!a.reached) {
        Why(why, whySize, "%s unreachable: %s", url, err);
        return a;
    }
    a.body = json::parse(body, nullptr, false);
    std::fill(body.begin(), body.end(), '\0');
    if (!a.body.is_object()) a.body = json();
    a.error = Text(a.body, "error");
    a.description = Text(a.body, "error_description");
    return a;
}

// The one line for an answer that brought no token.
void DescribeRefusal(const char* url, const Answer& a, char* why, size_t whySize) {
    if (!a.body.is_object()) {
        Why(why, whySize, "%s answered HTTP %d without the expected JSON", url, a.status);
    } else if (!a.error.empty()) {
        std::string desc = a.description.empty() ? "" : " (" + Shown(a.description) + ")";
        const char* hint = a.error == "invalid_grant"    ? ": sign in again"
                           : a.error == "invalid_client" ? ": check OAuthClientId and OAuthClientSecret"
                                                         : "";
        Why(why, whySize, "%s refused: %s%s%s", url, Shown(a.error, 60).c_str(), desc.c_str(), hint);
    } else {
        Why(why, whySize, "%s answered HTTP %d without an access token", url, a.status);
    }
}

std::string ClientPart(const OAuthSettings& o) {
    std::string form = "client_id=" + UrlEncode(o.clientId);
    if (o.clientSecret[0]) form += "&client_secret=" + UrlEncode(o.clientSecret);
    return form;
}

// Takes the tokens of a successful answer into `t` (a refresh token only when
// the server rotated it); false when the answer holds no access token.
bool TakeTokens(const Answer& a, OAuthTokens* t) {
    std::string access = Text(a.body, "access_token");
    if (a.status != 200 || access.empty()) return false;
    t->accessToken = access;
    t->expiresAt = Now() + Number(a.body, "expires_in", 3600, 0, kMaxLifetimeSeconds);
    std::string refresh = Text(a.body, "refresh_token");
    if (!refresh.empty()) t->refreshToken = refresh;
    return true;
}

// Tokens that were renewed but could not be written (a full disk, access
// refused), by domain name: the server may already refuse the refresh
// token in the file, so the new one is kept here, used in its place and
// written again at every later look-up until that succeeds. Touched only
// while the tokens file is held, which also keeps the threads apart.
std::map<std::string, OAuthTokens> unsaved;

// Marks the tokens as issued for the domain's endpoint, client and user.
void Stamp(OAuthTokens* t, const DomainEntry& d, const OAuthEndpoints& e) {
    t->tokenUrl = e.tokenUrl;
    t->clientId = d.oauth.clientId;
    t->user = d.authUser;
}

// An entry from before the stamp was kept is taken as the domain's own; it
// gets the stamp with its next renewal.
bool IssuedFor(const OAuthTokens& t, const DomainEntry& d, const OAuthEndpoints& e) {
    if (t.tokenUrl.empty() && t.clientId.empty() && t.user.empty()) return true;
    return t.tokenUrl == e.tokenUrl && t.clientId == d.oauth.clientId && t.user == d.authUser;
}

// A sign-in's tokens replace whatever the domain had, kept ones included.
bool Store(const DomainEntry& d, const OAuthEndpoints& e, OAuthTokens t, char* why, size_t whySize) {
    Stamp(&t, d, e);
    char err[400] = "";
    TokensFile* f = OpenTokensFile(err, sizeof err);
    bool ok = f && TokensFileReplace(f, d.name, t, err, sizeof err);
    if (ok) unsaved.erase(d.name);
    CloseTokensFile(f);
    if (!ok) Why(why, whySize, "%s", err);
    return ok;
}

bool WaitUnlessCancelled(const SignInHooks& h, long long ms) {
    for (long long waited = 0; waited < ms; waited += 100) {
        if (h.cancelled && h.cancelled(h.ctx)) return false;
        SleepMs(100);
    }
    return !(h.cancelled && h.cancelled(h.ctx));
}

bool SignInWithDeviceCode(const DomainEntry& d, const OAuthEndpoints& e, const SignInHooks& h, char* why,
                          size_t whySize) {
    const OAuthSettings& o = d.oauth;
    std::string form = "client_id=" + UrlEncode(o.clientId);
    if (e.scope[0]) form += "&scope=" + UrlEncode(e.scope);
    Answer a = Post(e.deviceUrl, form, why, whySize);
    if (!a.reached) return false;
    std::string deviceCode = Text(a.body, "device_code"), userCode = Text(a.body, "user_code");
    std::string url = Text(a.body, "verification_uri");
    if (url.empty()) url = Text(a.body, "verification_url");  // an older spelling some servers keep
    if (a.status != 200 || deviceCode.empty() || userCode.empty() || url.empty()) {
        DescribeRefusal(e.deviceUrl, a, why, whySize);
        return false;
    }
    std::string complete = Text(a.body, "verification_uri_complete");
    long long interval = Number(a.body, "interval", 5, kMinPollSeconds, kMaxPollSeconds);
    long long deadlineMs = SteadyMs() + Number(a.body, "expires_in", 900, 1, kMaxDeviceCodeSeconds) * 1000;
    if (h.showDeviceCode) h.showDeviceCode(h.ctx, Shown(userCode, 40).c_str(), Shown(url).c_str(),
                                           complete.empty() ? nullptr : Shown(complete, 300).c_str());
    if (h.openBrowser) OpenInBrowser(complete.empty() ? url.c_str() : complete.c_str());

    std::string poll = "grant_type=" + UrlEncode(kDeviceGrant) + "&device_code=" + UrlEncode(deviceCode) + "&" +
                       ClientPart(o);
    for (;;) {
        // Never past the code's end: the last wait is cut to what is left.
        long long left = deadlineMs - SteadyMs();
        if (left > 0 && !WaitUnlessCancelled(h, std::min(interval * oauthPollUnitMs, left))) {
            Why(why, whySize, "sign-in cancelled");
            return false;
        }
        if (SteadyMs() >= deadlineMs) {
            Why(why, whySize, "%s: the code expired before the sign-in was completed", e.tokenUrl);
            return false;
        }
        Answer t = Post(e.tokenUrl, poll, why, whySize);
        if (!t.reached) return false;
        // The server decides the pace: wait while the user has not finished,
        // and wait longer each time it asks for that.
        if (t.error == "authorization_pending") continue;
        if (t.error == "slow_down") {
            interval = std::min(interval + 5, kMaxPollSeconds);
            continue;
        }
        OAuthTokens tokens;
        if (!TakeTokens(t, &tokens)) {
            if (t.error == "expired_token")
                Why(why, whySize, "%s refused: expired_token (the code expired): sign in again", e.tokenUrl);
            else
                DescribeRefusal(e.tokenUrl, t, why, whySize);
            return false;
        }
        if (tokens.refreshToken.empty()) {
            Why(why, whySize, "%s gave no refresh token (is offline access in OAuthScope?)", e.tokenUrl);
            return false;
        }
        return Store(d, e, tokens, why, whySize);
    }
}

bool SignInWithBrowser(const DomainEntry& d, const OAuthEndpoints& e, const SignInHooks& h, char* why,
                       size_t whySize) {
    const OAuthSettings& o = d.oauth;
    unsigned char secret[32], stateBytes[16], challenge[32];
    if (!RandomBytes(secret, sizeof secret) || !RandomBytes(stateBytes, sizeof stateBytes)) {
        Why(why, whySize, "no random numbers for the sign-in");
        return false;
    }
    std::string verifier = Base64Url(secret, sizeof secret), state = Base64Url(stateBytes, sizeof stateBytes);
    memset(secret, 0, sizeof secret);
    if (!Sha256(verifier.data(), verifier.size(), challenge)) {
        Why(why, whySize, "no SHA-256 for the sign-in");
        return false;
    }
    int port = 0;
    LoopbackListener* l = LoopbackListen(&port);
    if (!l) {
        Why(why, whySize, "unable to listen on 127.0.0.1 for the browser's redirect");
        return false;
    }
    std::string redirect = "http://127.0.0.1:" + std::to_string(port) + "/";
    std::string url = std::string(e.authorizeUrl) + (strchr(e.authorizeUrl, '?') ? "&" : "?") +
                      "response_type=code&client_id=" + UrlEncode(o.clientId) + "&redirect_uri=" +
                      UrlEncode(redirect) + "&scope=" + UrlEncode(e.scope) +
                      "&code_challenge=" + Base64Url(challenge, sizeof challenge) +
                      "&code_challenge_method=S256&state=" + state + "&login_hint=" + UrlEncode(d.authUser);
    // Google gives a refresh token only when asked for offline access.
    if (o.provider == kOAuthGoogle) url += "&access_type=offline&prompt=consent";
    if (h.showBrowserUrl) h.showBrowserUrl(h.ctx, url.c_str());
    if (h.openBrowser) OpenInBrowser(url.c_str());

    // Only the redirect of this sign-in ends the wait: path "/", this
    // state, and a code or an error. Anything else (a favicon, another
    // local process guessing) gets a 400 and the wait goes on.
    struct Expected {
        const std::string& state;
        const SignInHooks& h;
    } expected{state, h};
    LoopbackWait wait{};
    wait.untilMs = SteadyMs() + kBrowserWaitMs;
    wait.stop = [](void* ctx) {
        const SignInHooks& hooks = static_cast<Expected*>(ctx)->h;
        return hooks.cancelled && hooks.cancelled(hooks.ctx);
    };
    wait.wanted = [](void* ctx, const std::string& target) {
        return target.compare(0, target.find('?'), "/") == 0 &&
               QueryValue(target, "state") == static_cast<Expected*>(ctx)->state &&
               (!QueryValue(target, "code").empty() || !QueryValue(target, "error").empty());
    };
    wait.ctx = &expected;
    wait.page = "<html><body><p>Signed in: you can close this window.</p></body></html>";
    std::string target;
    bool got = LoopbackAwait(l, wait, &target);
    LoopbackClose(l);
    if (!got) {
        Why(why, whySize, h.cancelled && h.cancelled(h.ctx) ? "sign-in cancelled" : "no answer from the browser's sign-in");
        return false;
    }
    std::string code = QueryValue(target, "code");
    if (code.empty()) {
        std::string desc = QueryValue(target, "error_description");
        Why(why, whySize, "%s refused: %s%s%s%s", e.authorizeUrl, Shown(QueryValue(target, "error"), 60).c_str(),
            desc.empty() ? "" : " (", Shown(desc).c_str(), desc.empty() ? "" : ")");
        return false;
    }
    std::string form = "grant_type=authorization_code&code=" + UrlEncode(code) + "&redirect_uri=" +
                       UrlEncode(redirect) + "&code_verifier=" + verifier + "&" + ClientPart(o);
    Answer a = Post(e.tokenUrl, form, why, whySize);
    std::fill(form.begin(), form.end(), '\0');
    if (!a.reached) return false;
    OAuthTokens tokens;
    if (!TakeTokens(a, &tokens)) {
        DescribeRefusal(e.tokenUrl, a, why, whySize);
        return false;
    }
    if (tokens.refreshToken.empty()) {
        Why(why, whySize, "%s gave no refresh token (is offline access in OAuthScope?)", e.tokenUrl);
        return false;
    }
    return Store(d, e, tokens, why, whySize);
}

// GetAccessToken with the tokens file held: the entry is read under the lock
// and the renewal's refresh token comes from it, so two processes never
// spend one refresh token twice (the second finds the first one's tokens),
// and neither writes over the other's entries.
bool TokenFromFile(TokensFile* f, const DomainEntry& d, const OAuthEndpoints& e, bool renew, std::string* token,
                   bool* fromCache, char* why, size_t whySize) {
    const OAuthSettings& o = d.oauth;
    OAuthTokens t;
    bool have = TokensFileEntry(f, d.name, &t);
    char err[400] = "";
    auto kept = unsaved.find(d.name);
    if (kept != unsaved.end()) {
        t = kept->second;
        have = true;
        if (TokensFileReplace(f, d.name, t, err, sizeof err)) unsaved.erase(kept);
    }
    if (have && !IssuedFor(t, d, e)) {
        if (o.grant != kGrantClientCredentials) {
            Why(why, whySize,
                "the sign-in in %s was made for another OAuthTokenUrl, OAuthClientId or AuthUser: sign in again",
                OAuthTokensPath().c_str());
            return false;
        }
        t = OAuthTokens{};  // an application just asks anew
    }
    if (!renew && !t.accessToken.empty() && t.expiresAt - kRenewMarginSeconds > Now()) {
        *token = t.accessToken;
        *fromCache = true;
        return true;
    }
    std::string form;
    if (o.grant == kGrantClientCredentials) {
        form = "grant_type=client_credentials&" + ClientPart(o);
    } else {
        if (t.refreshToken.empty()) {
            Why(why, whySize, "not signed in (no refresh token in %s): sign in first", OAuthTokensPath().c_str());
            return false;
        }
        form = "grant_type=refresh_token&refresh_token=" + UrlEncode(t.refreshToken) + "&" + ClientPart(o);
    }
    if (e.scope[0]) form += "&scope=" + UrlEncode(e.scope);
    Answer a = Post(e.tokenUrl, form, why, whySize);
    std::fill(form.begin(), form.end(), '\0');
    if (!a.reached) return false;
    if (!TakeTokens(a, &t)) {
        DescribeRefusal(e.tokenUrl, a, why, whySize);
        return false;
    }
    Stamp(&t, d, e);
    // A rotated refresh token replaces the old one, which the server may
    // already refuse: losing it would mean signing in again. When it cannot
    // be written it stays in memory, and the token is used all the same.
    if (TokensFileReplace(f, d.name, t, err, sizeof err)) {
        unsaved.erase(d.name);
    } else {
        if (!unsaved.count(d.name)) {  // said once, not at every renewal
            char line[kLogLineSize];
            snprintf(line, sizeof line,
                     " AMBREL Warning: OAuth 2.0 token for %s (%s): %s; the renewed tokens are kept in memory and "
                     "written again at the next renewal\r\n",
                     d.authUser, d.name, err);
            LogBoth("%s", line);
            if (hostSettings.serviceMode) LogEvent(EventKind::DomainFailure, "%s", line);
        }
        unsaved[d.name] = t;
    }
    *token = t.accessToken;
    return true;
}

}  // namespace

bool GetAccessToken(const DomainEntry& d, bool renew, std::string* token, bool* fromCache, char* why,
                    size_t whySize) {
    token->clear();
    *fromCache = false;
    OAuthEndpoints e;
    ResolveOAuthEndpoints(d.oauth, &e);
    TokensFile* f = OpenTokensFile(why, whySize);
    if (!f) return false;
    bool ok = TokenFromFile(f, d, e, renew, token, fromCache, why, whySize);
    CloseTokensFile(f);
    return ok;
}

bool OAuthSignIn(const DomainEntry& d, const SignInHooks& hooks, char* why, size_t whySize) {
    if (d.oauth.method != kAuthOAuth2 || d.oauth.grant != kGrantRefreshToken) {
        Why(why, whySize, "the domain does not sign in a user (AuthMethod oauth2 with OAuthGrant refresh_token)");
        return false;
    }
    OAuthEndpoints e;
    ResolveOAuthEndpoints(d.oauth, &e);
    if (e.deviceUrl[0]) return SignInWithDeviceCode(d, e, hooks, why, whySize);
    if (e.authorizeUrl[0]) return SignInWithBrowser(d, e, hooks, why, whySize);
    Why(why, whySize, "neither a device nor an authorization endpoint is configured");
    return false;
}
