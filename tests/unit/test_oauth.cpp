// The tokens file and the cache in front of the token endpoint. The
// endpoint itself is a real HTTPS server in the integration tests; here an
// address nobody listens on shows what is and is not asked of it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>

#include "relay/oauth.h"
#include "tests/unit/test_support.h"

using namespace testsupport;

namespace {

class TokenStore : public EngineTest {
protected:
    DomainEntry Domain(const char* name, int grant) {
        DomainEntry d{};
        snprintf(d.name, sizeof d.name, "%s", name);
        snprintf(d.authUser, sizeof d.authUser, "joe");
        d.security = kSecurityStartTls;
        d.oauth.method = kAuthOAuth2;
        d.oauth.grant = grant;
        snprintf(d.oauth.clientId, sizeof d.oauth.clientId, "id");
        snprintf(d.oauth.clientSecret, sizeof d.oauth.clientSecret, "cl-secret");
        // Nobody listens on port 1: any request fails at once.
        snprintf(d.oauth.tokenUrl, sizeof d.oauth.tokenUrl, "https://127.0.0.1:1/token");
        return d;
    }
};

TEST_F(TokenStore, OneEntryPerDomainReplacedWholeAndPrivate) {
    std::string path = OAuthTokensPath();
    EXPECT_EQ(path, dir + "/Ambrel.tokens");
    char why[300] = "";
    OAuthTokens a;
    a.refreshToken = "rt-a";
    a.accessToken = "at-a";
    a.expiresAt = 1900000000;
    ASSERT_TRUE(StoreOAuthTokens("a.org", a, why, sizeof why)) << why;
    OAuthTokens b;
    b.accessToken = "at-b";
    b.expiresAt = 5;
    ASSERT_TRUE(StoreOAuthTokens("b.org", b, why, sizeof why)) << why;
    a.refreshToken = "rt-a2";  // rotated
    ASSERT_TRUE(StoreOAuthTokens("a.org", a, why, sizeof why)) << why;

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fs::exists(path + ".new"));
    OAuthTokens got;
    ASSERT_TRUE(LoadOAuthTokens("a.org", &got));
    EXPECT_EQ(got.refreshToken, "rt-a2");
    EXPECT_EQ(got.accessToken, "at-a");
    EXPECT_EQ(got.expiresAt, 1900000000);
    ASSERT_TRUE(LoadOAuthTokens("b.org", &got));
    EXPECT_EQ(got.refreshToken, "");
    EXPECT_EQ(got.accessToken, "at-b");
    EXPECT_FALSE(LoadOAuthTokens("c.org", &got));

    // A file that cannot be read or understood is never written over: it
    // holds the other domains' sign-ins. The line names it and what is wrong.
    std::string broken = "{\n \"a.org\": {\"refresh_token\": \"rt\"},\n}\n";  // a hand edit's comma
    WriteFile(path, broken);
    EXPECT_FALSE(StoreOAuthTokens("b.org", b, why, sizeof why));
    EXPECT_NE(std::string(why).find("'" + path + "' is not valid JSON (line 3)"), std::string::npos) << why;
    EXPECT_EQ(ReadFile(path), broken);
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(StoreOAuthTokens("b.org", b, why, sizeof why));
    EXPECT_NE(std::string(why).find("cannot be read (errno "), std::string::npos) << why;
}

TEST_F(TokenStore, CachedTokenUsedUntilShortlyBeforeItsEnd) {
    DomainEntry d = Domain("a.org", kGrantRefreshToken);
    char why[700] = "";
    std::string token;
    bool cached = false;
    EXPECT_FALSE(GetAccessToken(d, false, &token, &cached, why, sizeof why));
    EXPECT_NE(std::string(why).find("not signed in"), std::string::npos) << why;

    OAuthTokens t;
    t.refreshToken = "rt-secret";
    t.accessToken = "at-secret";
    t.expiresAt = (long long)time(nullptr) + 3600;
    ASSERT_TRUE(StoreOAuthTokens("a.org", t, why, sizeof why));
    ASSERT_TRUE(GetAccessToken(d, false, &token, &cached, why, sizeof why)) << why;
    EXPECT_EQ(token, "at-secret");
    EXPECT_TRUE(cached);

    // Renewal asked for, or a token with a minute left: the endpoint is
    // asked, and its failure is one line without a token or the secret.
    for (long long left : {3600LL, 60LL}) {
        t.expiresAt = (long long)time(nullptr) + left;
        ASSERT_TRUE(StoreOAuthTokens("a.org", t, why, sizeof why));
        why[0] = 0;
        EXPECT_FALSE(GetAccessToken(d, left == 3600, &token, &cached, why, sizeof why));
        std::string w = why;
        EXPECT_EQ(w.rfind("https://127.0.0.1:1/token unreachable: ", 0), 0u) << w;
        EXPECT_EQ(w.find('\n'), std::string::npos);
        for (const char* secret : {"rt-secret", "at-secret", "cl-secret"}) EXPECT_EQ(w.find(secret), std::string::npos);
    }
    // The failure keeps what was stored.
    OAuthTokens kept;
    ASSERT_TRUE(LoadOAuthTokens("a.org", &kept));
    EXPECT_EQ(kept.refreshToken, "rt-secret");

    // Tokens issued for another user (or endpoint, or client) are neither
    // used nor sent anywhere: the domain signs in again.
    t.expiresAt = (long long)time(nullptr) + 3600;
    t.tokenUrl = d.oauth.tokenUrl;
    t.clientId = d.oauth.clientId;
    t.user = "mary";
    ASSERT_TRUE(StoreOAuthTokens("a.org", t, why, sizeof why));
    EXPECT_FALSE(GetAccessToken(d, false, &token, &cached, why, sizeof why));
    EXPECT_NE(std::string(why).find("another OAuthTokenUrl, OAuthClientId or AuthUser: sign in again"),
              std::string::npos) << why;
    t.user = "joe";
    ASSERT_TRUE(StoreOAuthTokens("a.org", t, why, sizeof why));
    EXPECT_TRUE(GetAccessToken(d, false, &token, &cached, why, sizeof why)) << why;
}

TEST_F(TokenStore, SignInNeedsAUserGrant) {
    DomainEntry d = Domain("a.org", kGrantClientCredentials);
    SignInHooks hooks{};
    char why[300] = "";
    EXPECT_FALSE(OAuthSignIn(d, hooks, why, sizeof why));
    EXPECT_NE(std::string(why).find("OAuthGrant refresh_token"), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(OAuthTokensPath()));
}

}  // namespace
