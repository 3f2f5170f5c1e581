// OAuth 2.0 for a domain with AuthMethod<n> oauth2: the tokens file, the
// token endpoint (renewal and the three grants that get a first token), the
// XOAUTH2 / OAUTHBEARER login.
#pragma once

#include <cstddef>
#include <string>

#include "config/config.h"

// ---- the tokens file (oauth_store.cpp) ----------------------------------------
// Machine-written secrets stay out of the hand-edited INI: "<program
// name>.tokens" beside it, one protected entry per domain name, replaced in
// one step, readable by its owner only.
struct OAuthTokens {
    std::string refreshToken;  // empty for client_credentials
    std::string accessToken;   // empty: none cached
    long long expiresAt = 0;   // seconds since 1970 (UTC)
    // Whom they were issued to: the token endpoint, the client and the user
    // of the sign-in. All empty in an entry written before they were kept.
    std::string tokenUrl, clientId, user;
};
// The path of the tokens file for the INI in hostSettings.
std::string OAuthTokensPath();

// The tokens file held from its reading to its writing against every other
// writer: the other threads of this process and other processes on the
// same file (the service and a window's sign-in, a daemon and a console
// sign-in), through a lock file beside it.
struct TokensFile;
// Locks and reads the file. A missing file is an empty one; nullptr, with
// one line in `why` (the file, what is wrong, what to do), when it cannot be
// locked, read or understood: such a file is never written over, since it
// may hold every other domain's sign-in.
TokensFile* OpenTokensFile(char* why, size_t whySize);
// False when the file has no (readable) entry for the domain.
bool TokensFileEntry(TokensFile* f, const char* domainName, OAuthTokens* t);
// Replaces the domain's entry and writes the file; false with a reason in
// `why` (the file as it was stays whole).
bool TokensFileReplace(TokensFile* f, const char* domainName, const OAuthTokens& t, char* why, size_t whySize);
void CloseTokensFile(TokensFile* f);
// The same, each in one call.
bool LoadOAuthTokens(const char* domainName, OAuthTokens* t);
bool StoreOAuthTokens(const char* domainName, const OAuthTokens& t, char* why, size_t whySize);

// ---- the token endpoint (oauth.cpp) --------------------------------------------
// A valid access token for the domain: the cached one while it has more than
// a few minutes left (and `renew` is false), else a new one by the domain's
// grant, stored with a rotated refresh token. `fromCache` says which. False
// with one line in `why` (the endpoint and its error and error_description;
// never a token or the secret).
bool GetAccessToken(const DomainEntry& d, bool renew, std::string* token, bool* fromCache, char* why,
                    size_t whySize);

// What a sign-in shows the user and asks of it.
struct SignInHooks {
    // Device grant: the code to type at the address (and, when the server
    // gives one, the address with the code in it).
    void (*showDeviceCode)(void* ctx, const char* userCode, const char* url, const char* completeUrl);
    // Authorization code grant: the address the browser must open.
    void (*showBrowserUrl)(void* ctx, const char* url);
    // Polled while waiting; true ends the sign-in.
    bool (*cancelled)(void* ctx);
    void* ctx;
    bool openBrowser;  // hand the address to the system's browser too
};
// Signs the domain's user in (device grant when a device endpoint is known,
// else the authorization code grant with PKCE and a loopback redirect) and
// stores the refresh token. False with one line in `why`.
bool OAuthSignIn(const DomainEntry& d, const SignInHooks& hooks, char* why, size_t whySize);

// Test hook: the pause between two polls of the device grant is the
// server's interval times this many milliseconds (1000).
extern int oauthPollUnitMs;

// ---- the session (oauth_login.cpp) ---------------------------------------------
// AUTH XOAUTH2 (or OAUTHBEARER when only that is offered) after EHLO; false
// (reported, session ended, domain held for the pass) on failure.
bool OAuthLogin(int domainIndex);
