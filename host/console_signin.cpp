// The console host's sign-in: the device code (or the browser's address) is
// printed, the wait polls the endpoint as the server says, and the refresh
// token lands in the tokens file the relay reads.
#include "console_signin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "platform/platform.h"
#include "relay/oauth.h"

namespace {

void ShowDeviceCode(void*, const char* userCode, const char* url, const char* completeUrl) {
    printf("To sign in, open %s and enter the code %s\n", url, userCode);
    if (completeUrl) printf("(or open %s)\n", completeUrl);
    printf("Waiting for the sign-in to be completed...\n");
    fflush(stdout);
}

void ShowBrowserUrl(void*, const char* url) {
    printf("To sign in, open this address in a browser on this machine:\n%s\n", url);
    printf("Waiting for the browser to come back...\n");
    fflush(stdout);
}

bool Cancelled(void* ctx) { return *static_cast<const volatile int*>(ctx) != 0; }

}  // namespace

int RunConsoleSignIn(int domainNumber, const volatile int* stop) {
    LoadConfiguration();
    char key[32], name[100];
    snprintf(key, sizeof key, "Domain%d", domainNumber);
    ProfileGetString(kSectionDomains, key, "", name, sizeof name, hostSettings.iniPath);
    DomainEntry d{};
    bool found = false;
    for (int i = 0; i < kMaxDomains && !found; i++) {
        DomainEntry row;
        if (CopyLoadedDomain(i, &row) && i < domainCount && name[0] && strcmp(row.name, name) == 0) {
            d = row;
            found = true;
        }
    }
    if (!found) {
        fprintf(stderr, "ambrel: Domain%d is not a loaded domain of %s (see the load lines above)\n", domainNumber,
                hostSettings.iniPath);
        return 1;
    }
    SignInHooks hooks{};
    hooks.showDeviceCode = ShowDeviceCode;
    hooks.showBrowserUrl = ShowBrowserUrl;
    hooks.cancelled = Cancelled;
    hooks.ctx = const_cast<int*>(stop);
    // Only where a desktop session can show a browser.
    hooks.openBrowser = getenv("DISPLAY") || getenv("WAYLAND_DISPLAY");
    char why[700] = "";
    if (!OAuthSignIn(d, hooks, why, sizeof why)) {
        fprintf(stderr, "ambrel: sign-in of %s for %s failed: %s\n", d.authUser, d.name, why);
        return 1;
    }
    printf("Signed in as %s for %s: the refresh token is stored in %s\n", d.authUser, d.name,
           OAuthTokensPath().c_str());
    return 0;
}
