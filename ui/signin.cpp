// "SignIn": a user's first OAuth 2.0 sign-in for one domain. The token
// endpoint is slow and the device grant waits minutes for the user, so the
// relay's sign-in runs on a thread of its own and the dialog only shows what
// it reports; Cancel ends the dialog at once and the thread stops at its next
// poll.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "config/config.h"
#include "dialogs_ids.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "relay/oauth.h"
#include "ui/dialogs.h"

namespace {

const char kSignInCaption[] = " Sign in";
constexpr UINT kSignInShow = WM_APP + 40;  // the code or the address is known
constexpr UINT kSignInDone = WM_APP + 41;  // wParam: 1 signed in, 0 failed

// Shared by the dialog and the thread; the last of the two to let go frees
// it, so a thread still in a request after Cancel never touches freed memory.
struct SignInRun {
    DomainEntry domain;
    std::atomic<int> cancelled{0};
    std::mutex lock;
    HWND dialog = nullptr;  // null once the dialog is gone: nothing is posted then
    std::string code, url, status;
    bool ok = false;
    ~SignInRun() { SecureZeroMemory(domain.oauth.clientSecret, sizeof domain.oauth.clientSecret); }
};

void Post(SignInRun* run, UINT message, WPARAM wParam) {
    std::lock_guard<std::mutex> hold(run->lock);
    if (run->dialog) PostMessageA(run->dialog, message, wParam, 0);
}

void ShowDeviceCode(void* ctx, const char* userCode, const char* url, const char* completeUrl) {
    auto* run = static_cast<SignInRun*>(ctx);
    {
        std::lock_guard<std::mutex> hold(run->lock);
        run->code = userCode;
        // The address with the code in it saves typing when the server gives one.
        run->url = completeUrl && *completeUrl ? completeUrl : url;
        run->status = "Open the address in a browser, enter the code and sign in as " +
                      std::string(run->domain.authUser) + ". Waiting...";
    }
    Post(run, kSignInShow, 0);
}

void ShowBrowserUrl(void* ctx, const char* url) {
    auto* run = static_cast<SignInRun*>(ctx);
    {
        std::lock_guard<std::mutex> hold(run->lock);
        run->code.clear();
        run->url = url;
        run->status = "Sign in as " + std::string(run->domain.authUser) +
                      " in the browser on this machine. Waiting for it to come back...";
    }
    Post(run, kSignInShow, 0);
}

bool Cancelled(void* ctx) { return static_cast<SignInRun*>(ctx)->cancelled.load() != 0; }

unsigned SignInThread(void* arg) {
    // Takes over the reference the dialog made for it.
    std::shared_ptr<SignInRun> run(*static_cast<std::shared_ptr<SignInRun>*>(arg));
    delete static_cast<std::shared_ptr<SignInRun>*>(arg);
    SignInHooks hooks{};
    hooks.showDeviceCode = ShowDeviceCode;
    hooks.showBrowserUrl = ShowBrowserUrl;
    hooks.cancelled = Cancelled;
    hooks.ctx = run.get();
    // The device code is typed on any device, so the browser opens only when
    // asked; the loopback redirect needs this machine's browser, so it opens
    // at once.
    OAuthEndpoints e;
    ResolveOAuthEndpoints(run->domain.oauth, &e);
    hooks.openBrowser = e.deviceUrl[0] == '\0';
    char why[700] = "";
    bool ok = OAuthSignIn(run->domain, hooks, why, sizeof why);
    {
        std::lock_guard<std::mutex> hold(run->lock);
        run->ok = ok;
        run->status = ok ? "Signed in." : std::string("Sign-in failed: ") + why;
    }
    Post(run.get(), kSignInDone, ok ? 1 : 0);
    return 0;
}

std::shared_ptr<SignInRun>* current = nullptr;  // the open dialog's run (one at a time)

void ShowState(HWND dialog, SignInRun& run) {
    std::string code, url, status;
    {
        std::lock_guard<std::mutex> hold(run.lock);
        code = run.code;
        url = run.url;
        status = run.status;
    }
    SetDlgItemTextA(dialog, IDC_SIGNIN_CODE, code.c_str());
    SetDlgItemTextA(dialog, IDC_SIGNIN_URL, url.c_str());
    SetDlgItemTextA(dialog, IDC_SIGNIN_STATUS, status.c_str());
    EnableWindow(GetDlgItem(dialog, IDC_SIGNIN_OPEN), !url.empty());
}

}  // namespace

INT_PTR CALLBACK SignInDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        const auto* d = reinterpret_cast<const DomainEntry*>(lParam);
        auto run = std::make_shared<SignInRun>();
        run->domain = *d;
        run->dialog = dialog;
        run->status = "Asking the sign-in server for " + std::string(d->name) + "...";
        current = new std::shared_ptr<SignInRun>(run);
        ShowState(dialog, *run);
        auto* forThread = new std::shared_ptr<SignInRun>(run);
        if (!StartThread(SignInThread, forThread)) {
            delete forThread;
            run->status = "Sign-in failed: no thread could be started";
            ShowState(dialog, *run);
        }
        return TRUE;
    }
    case kSignInShow:
        if (current) ShowState(dialog, **current);
        return TRUE;
    case kSignInDone:
        if (!current) return TRUE;
        ShowState(dialog, **current);
        if (wParam) {
            MessageBoxA(dialog, "Signed in.", kSignInCaption, MB_OK | MB_ICONINFORMATION);
            EndDialog(dialog, 1);
        } else {
            // The error line stays readable; the only thing left to do is close.
            SetDlgItemTextA(dialog, IDCANCEL, "&Close");
            EnableWindow(GetDlgItem(dialog, IDC_SIGNIN_OPEN), FALSE);
        }
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SIGNIN_OPEN: {
            char url[kOAuthUrlMax + 2000];
            GetDlgItemTextA(dialog, IDC_SIGNIN_URL, url, sizeof url);
            if (url[0] && !OpenInBrowser(url))
                MessageBoxA(dialog, "The browser could not be started: copy the address into one.",
                            kSignInCaption, MB_OK | MB_ICONEXCLAMATION);
            return TRUE;
        }
        case IDCANCEL:
            if (current) (*current)->cancelled = 1;
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        if (current) {
            (*current)->cancelled = 1;
            {
                std::lock_guard<std::mutex> hold((*current)->lock);
                (*current)->dialog = nullptr;
            }
            delete current;
            current = nullptr;
        }
        return FALSE;
    }
    return FALSE;
}
