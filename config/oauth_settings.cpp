// A domain's OAuth 2.0 keys, read beside its other security keys. A domain
// without AuthMethod<n> oauth2 never gets here past the check that no OAuth
// key is set: its login stays the password's.
#include "oauth_settings.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "config.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {

const char kMicrosoftBase[] = "https://login.microsoftonline.com/";
const char kMicrosoftUserScope[] = "https://outlook.office.com/SMTP.Send offline_access";
const char kMicrosoftAppScope[] = "https://outlook.office365.com/.default";
const char kMicrosoftDefaultTenant[] = "organizations";
const char kGoogleTokenUrl[] = "https://oauth2.googleapis.com/token";
const char kGoogleAuthorizeUrl[] = "https://accounts.google.com/o/oauth2/v2/auth";
const char kGoogleScope[] = "https://mail.google.com/";

const char* const kProviderNames[] = {"custom", "microsoft", "google"};
const char* const kGrantNames[] = {"refresh_token", "client_credentials"};

// The value of key<n>; false when it is longer than its row allows
// (refused, never cut).
bool ReadKey(KeyId key, int n, char* out, size_t size) { return ReadDomainKey(key, n, out, size); }


int FindName(const char* value, const char* const* names, int count) {
    for (int i = 0; i < count; i++)
        if (strcasecmp(value, names[i]) == 0) return i;
    return -1;
}

// An endpoint is HTTPS with a host: a token or a secret never crosses in
// clear text, whatever the file says.
bool IsHttpsUrl(const char* url) {
    if (strncasecmp(url, "https://", 8) != 0) return false;
    const char* host = url + 8;
    return *host && *host != '/' && *host != ':' && !strpbrk(url, " \t\r\n");
}

// A tenant goes into the preset's path: a name, a domain or an id only.
bool IsTenantText(const char* t) {
    if (!*t) return false;
    for (const char* p = t; *p; p++)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '.' ||
              *p == '-' || *p == '_'))
            return false;
    return true;
}

bool Refuse(int n, const DomainEntry& d, KeyId key, const char* why) {
    char name[48];
    KeyName(key, n, name, sizeof name);
    LogBoth("Config error: %s for Domain%d (%s): %s\r\n", name, n, d.name, why);
    return false;
}

}  // namespace

const char* OAuthProviderName(int provider) {
    return provider >= 0 && provider <= kOAuthGoogle ? kProviderNames[provider] : "custom";
}

const char* OAuthGrantName(int grant) { return grant == kGrantClientCredentials ? kGrantNames[1] : kGrantNames[0]; }

void ResolveOAuthEndpoints(const OAuthSettings& s, OAuthEndpoints* out) {
    memset(out, 0, sizeof *out);
    if (s.provider == kOAuthMicrosoft) {
        const char* tenant = s.tenant[0] ? s.tenant : kMicrosoftDefaultTenant;
        snprintf(out->tokenUrl, sizeof out->tokenUrl, "%s%s/oauth2/v2.0/token", kMicrosoftBase, tenant);
        snprintf(out->deviceUrl, sizeof out->deviceUrl, "%s%s/oauth2/v2.0/devicecode", kMicrosoftBase, tenant);
        snprintf(out->authorizeUrl, sizeof out->authorizeUrl, "%s%s/oauth2/v2.0/authorize", kMicrosoftBase, tenant);
        snprintf(out->scope, sizeof out->scope, "%s",
                 s.grant == kGrantClientCredentials ? kMicrosoftAppScope : kMicrosoftUserScope);
    } else if (s.provider == kOAuthGoogle) {
        // Google's device grant does not allow the mail scope: its users sign
        // in through the browser.
        snprintf(out->tokenUrl, sizeof out->tokenUrl, "%s", kGoogleTokenUrl);
        snprintf(out->authorizeUrl, sizeof out->authorizeUrl, "%s", kGoogleAuthorizeUrl);
        snprintf(out->scope, sizeof out->scope, "%s", kGoogleScope);
    }
    if (s.tokenUrl[0]) snprintf(out->tokenUrl, sizeof out->tokenUrl, "%s", s.tokenUrl);
    if (s.deviceUrl[0]) snprintf(out->deviceUrl, sizeof out->deviceUrl, "%s", s.deviceUrl);
    if (s.authorizeUrl[0]) snprintf(out->authorizeUrl, sizeof out->authorizeUrl, "%s", s.authorizeUrl);
    if (s.scope[0]) snprintf(out->scope, sizeof out->scope, "%s", s.scope);
}

bool LoadDomainOAuth(int n, DomainEntry& d) {
    OAuthSettings& o = d.oauth;
    memset(&o, 0, sizeof o);
    char value[kOAuthUrlMax + 1];
    if (!ReadKey(kKeyAuthMethod, n, value, sizeof value) ||
        (value[0] && strcasecmp(value, "password") != 0 && strcasecmp(value, "oauth2") != 0))
        return Refuse(n, d, kKeyAuthMethod, "password or oauth2 expected");
    if (strcasecmp(value, "oauth2") != 0) {
        // The OAuth keys other than AuthMethod: any of them without oauth2 is
        // a mistake the user must hear about, not a setting silently unused.
        for (int key = kKeyAuthMethod + 1; key < kKeyCount; key++) {
            if (KeyOf((KeyId)key).group != kGroupOAuth) continue;
            char name[48], probe[8];
            KeyName((KeyId)key, n, name, sizeof name);
            if (ProfileGetString(KeyOf((KeyId)key).section, name, "", probe, sizeof probe, hostSettings.iniPath) > 0) {
                LogBoth("Config error: %s for Domain%d (%s) needs AuthMethod%d oauth2\r\n", name, n, d.name, n);
                return false;
            }
        }
        return true;
    }
    o.method = kAuthOAuth2;
    if (const KeyRule* rule = BrokenKeyRule(d, kKeyAuthMethod)) {
        ReportBrokenRule(*rule, n, d);
        return false;
    }

    if (!ReadKey(kKeyOAuthProvider, n, value, sizeof value)) return Refuse(n, d, kKeyOAuthProvider, "microsoft, google or custom expected");
    int provider = value[0] ? FindName(value, kProviderNames, 3) : kOAuthCustom;
    if (provider < 0) return Refuse(n, d, kKeyOAuthProvider, "microsoft, google or custom expected");
    o.provider = provider;
    if (!ReadKey(kKeyOAuthGrant, n, value, sizeof value)) return Refuse(n, d, kKeyOAuthGrant, "refresh_token or client_credentials expected");
    int grant = value[0] ? FindName(value, kGrantNames, 2) : kGrantRefreshToken;
    if (grant < 0) return Refuse(n, d, kKeyOAuthGrant, "refresh_token or client_credentials expected");
    o.grant = grant;

    if (!ReadKey(kKeyOAuthTenant, n, o.tenant, sizeof o.tenant) || (o.tenant[0] && !IsTenantText(o.tenant)))
        return Refuse(n, d, kKeyOAuthTenant, "a tenant name, domain or id expected");
    struct UrlKey {
        KeyId key;
        char* out;
    } urls[] = {{kKeyOAuthTokenUrl, o.tokenUrl}, {kKeyOAuthDeviceUrl, o.deviceUrl}, {kKeyOAuthAuthorizeUrl, o.authorizeUrl}};
    for (const UrlKey& u : urls) {
        if (!ReadKey(u.key, n, u.out, kOAuthUrlMax + 1))
            return Refuse(n, d, u.key, "too long (at most 300 characters)");
        if (u.out[0] && !IsHttpsUrl(u.out))
            return Refuse(n, d, u.key, "an https:// address expected: tokens never cross in clear text");
    }
    if (!ReadKey(kKeyOAuthScope, n, o.scope, sizeof o.scope)) return Refuse(n, d, kKeyOAuthScope, "too long (at most 300 characters)");
    if (!ReadKey(kKeyOAuthClientId, n, o.clientId, sizeof o.clientId)) return Refuse(n, d, kKeyOAuthClientId, "too long (at most 200 characters)");
    if (!o.clientId[0]) return Refuse(n, d, kKeyOAuthClientId, "missing: the application's (client) id is needed");

    char stored[4096];
    ReadKey(kKeyOAuthClientSecret, n, stored, sizeof stored);
    bool isProtected = strncasecmp(stored, "dpapi:", 6) == 0;
    bool ok = ReadStoredPassword(stored, o.clientSecret, sizeof o.clientSecret);
    memset(stored, 0, sizeof stored);
    if (!ok)
        return Refuse(n, d, kKeyOAuthClientSecret,
                      isProtected ? "cannot be read here: a protected secret can only be read on the Windows "
                                    "machine that wrote it"
                                  : "too long (at most 255 characters)");

    if (o.grant == kGrantClientCredentials) {
        if (o.provider == kOAuthGoogle)
            return Refuse(n, d, kKeyOAuthGrant, "google signs in users only: use refresh_token");
        if (!o.clientSecret[0]) return Refuse(n, d, kKeyOAuthClientSecret, "missing: client_credentials needs it");
        // "organizations" names no tenant to issue an application's token.
        if (o.provider == kOAuthMicrosoft && !o.tenant[0] && !o.tokenUrl[0])
            return Refuse(n, d, kKeyOAuthTenant, "missing: client_credentials needs the tenant's id or domain");
    }
    OAuthEndpoints e;
    ResolveOAuthEndpoints(o, &e);
    if (!e.tokenUrl[0]) return Refuse(n, d, kKeyOAuthTokenUrl, "missing: custom needs the token endpoint");
    if (o.grant == kGrantRefreshToken && !e.deviceUrl[0] && !e.authorizeUrl[0])
        return Refuse(n, d, kKeyOAuthDeviceUrl, "missing: signing in needs OAuthDeviceUrl or OAuthAuthorizeUrl");
    return true;
}

void ReportDomainOAuth(int row, const DomainEntry& d) {
    const OAuthSettings& o = d.oauth;
    if (o.method != kAuthOAuth2) return;
    OAuthEndpoints e;
    ResolveOAuthEndpoints(o, &e);
    // The client id is no secret; the client secret is never shown.
    LogBoth("Domain[%d] OAuth 2.0: %s, %s, client '%s'%s, token endpoint %s.\r\n", row,
            OAuthProviderName(o.provider), OAuthGrantName(o.grant), o.clientId,
            o.clientSecret[0] ? " with secret" : "", e.tokenUrl);
}

const char* CheckDomainOAuth(const DomainEntry& d) {
    const OAuthSettings& o = d.oauth;
    if (o.method != kAuthOAuth2) return nullptr;
    // The rules between the keys are the writer's own check (BrokenKeyRule).
    if (!o.clientId[0]) return "it signs in with OAuth 2.0 without a user or a client id";
    for (const char* url : {o.tokenUrl, o.deviceUrl, o.authorizeUrl})
        if (url[0] && !IsHttpsUrl(url)) return "an OAuth endpoint is not an https:// address";
    return nullptr;
}

void OAuthKeysToSave(const DomainEntry& d, OAuthKeyValue out[kOAuthKeyCount]) {
    const OAuthSettings& o = d.oauth;
    bool on = o.method == kAuthOAuth2;
    auto text = [on](const char* s) { return on && s[0] ? s : nullptr; };
    out[0] = {kKeyAuthMethod, on ? "oauth2" : nullptr};
    out[1] = {kKeyOAuthProvider, on ? OAuthProviderName(o.provider) : nullptr};
    out[2] = {kKeyOAuthTenant, text(o.tenant)};
    out[3] = {kKeyOAuthTokenUrl, text(o.tokenUrl)};
    out[4] = {kKeyOAuthDeviceUrl, text(o.deviceUrl)};
    out[5] = {kKeyOAuthAuthorizeUrl, text(o.authorizeUrl)};
    out[6] = {kKeyOAuthScope, text(o.scope)};
    out[7] = {kKeyOAuthClientId, text(o.clientId)};
    out[8] = {kKeyOAuthGrant, on && o.grant == kGrantClientCredentials ? OAuthGrantName(o.grant) : nullptr};
    out[9] = {kKeyOAuthClientSecret, text(o.clientSecret)};
}
