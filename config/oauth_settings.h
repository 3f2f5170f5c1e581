// A domain's OAuth 2.0 sign-in keys: AuthMethod<n>, OAuthProvider<n>,
// OAuthTenant<n>, the endpoint and scope overrides, the client and the grant.
#pragma once

#include <cstddef>

#include "config/keys.h"

enum AuthMethod { kAuthPassword = 0, kAuthOAuth2 = 1 };
enum OAuthProvider { kOAuthCustom = 0, kOAuthMicrosoft = 1, kOAuthGoogle = 2 };
enum OAuthGrant { kGrantRefreshToken = 0, kGrantClientCredentials = 1 };

constexpr size_t kOAuthUrlMax = 300;
constexpr size_t kOAuthScopeMax = 300;
constexpr size_t kOAuthIdMax = 200;
constexpr size_t kOAuthTenantMax = 100;
constexpr size_t kOAuthSecretMax = 255;

// The keys as the file has them: the endpoints and the scope are only the
// overrides (empty: the provider's preset), so a save writes back what the
// user wrote and not the preset.
struct OAuthSettings {
    int method;    // AuthMethod
    int provider;  // OAuthProvider
    int grant;     // OAuthGrant
    char tenant[kOAuthTenantMax + 1];
    char tokenUrl[kOAuthUrlMax + 1];
    char deviceUrl[kOAuthUrlMax + 1];
    char authorizeUrl[kOAuthUrlMax + 1];
    char scope[kOAuthScopeMax + 1];
    char clientId[kOAuthIdMax + 1];
    char clientSecret[kOAuthSecretMax + 1];  // clear text (memory only)
};

// What a sign-in and a renewal use: the overrides over the preset.
struct OAuthEndpoints {
    char tokenUrl[kOAuthUrlMax + 1];
    char deviceUrl[kOAuthUrlMax + 1];     // empty: no device grant
    char authorizeUrl[kOAuthUrlMax + 1];  // empty: no authorization code grant
    char scope[kOAuthScopeMax + 1];
};
void ResolveOAuthEndpoints(const OAuthSettings& s, OAuthEndpoints* out);

const char* OAuthProviderName(int provider);
const char* OAuthGrantName(int grant);

struct DomainEntry;
// Reads the OAuth keys of key number n into d.oauth; false, with a "Config
// error" line, when a value is refused. The domain's other keys are read
// into d before (the rules between them and AuthMethod are checked here).
bool LoadDomainOAuth(int n, DomainEntry& d);
void ReportDomainOAuth(int row, const DomainEntry& d);
// The writer's check: null, or why the domain's OAuth keys cannot be saved.
const char* CheckDomainOAuth(const DomainEntry& d);

// The keys a save writes for a domain, in order; value null removes the key.
// The client secret is the caller's to protect (index kOAuthSecretKey).
constexpr int kOAuthKeyCount = 10;
constexpr int kOAuthSecretKey = 9;
struct OAuthKeyValue {
    KeyId key;
    const char* value;
};
void OAuthKeysToSave(const DomainEntry& d, OAuthKeyValue out[kOAuthKeyCount]);
