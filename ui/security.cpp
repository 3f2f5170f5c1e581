// "DomainSecurity": the connection, login and certificate pin of one domain,
// and the address its mail is sent as.
// It edits the pending settings of the ChangeDomain dialog that opened it;
// ChangeDomain's Change or Add puts them into the domains' working copy, so
// a Cancel anywhere on the way changes nothing.
#include <windows.h>

#include <cstring>

#include "config/config.h"
#include "config/keys.h"
#include "dialogs_ids.h"
#include "ui/dialogs.h"

namespace {

const char kSecurityCaption[] = " Security Error";
const char kSaveFirst[] =
    "Save first: the sign-in uses this domain's OAuth settings as the INI file has them "
    "(AuthMethod oauth2 with OAuthGrant refresh_token), and the loaded domains have none for it.";
// In the order of DomainSecurity: the item index is the setting.
const char* const kModes[] = {"none", "STARTTLS", "TLS"};

DomainEntry* editing = nullptr;  // the pending settings (one dialog at a time)

void Fill(HWND dialog, const DomainEntry& d) {
    HWND mode = GetDlgItem(dialog, IDC_SEC_MODE);
    for (const char* m : kModes) SendMessageA(mode, CB_ADDSTRING, 0, (LPARAM)m);
    SendMessageA(mode, CB_SETCURSEL, d.security >= kSecurityNone && d.security <= kSecurityTls ? d.security : 0, 0);
    SendDlgItemMessageA(dialog, IDC_SEC_USER, EM_LIMITTEXT, KeyOf(kKeyAuthUser).maxLength, 0);
    SendDlgItemMessageA(dialog, IDC_SEC_PASSWORD, EM_LIMITTEXT, KeyOf(kKeyAuthPassword).maxLength, 0);
    // 32 pairs with a colon between each.
    SendDlgItemMessageA(dialog, IDC_SEC_FINGERPRINT, EM_LIMITTEXT, 95, 0);
    SetDlgItemTextA(dialog, IDC_SEC_USER, d.authUser);
    SetDlgItemTextA(dialog, IDC_SEC_PASSWORD, d.authPassword);
    char pin[2 * sizeof d.tlsPin + 1] = "";
    if (d.hasPin) FormatTlsFingerprint(d.tlsPin, pin, sizeof pin);
    SetDlgItemTextA(dialog, IDC_SEC_FINGERPRINT, pin);
    SendDlgItemMessageA(dialog, IDC_SEC_SENDER, EM_LIMITTEXT, KeyOf(kKeySenderAddress).maxLength, 0);
    SetDlgItemTextA(dialog, IDC_SEC_SENDER, d.senderAddress);
    CheckDlgButton(dialog, IDC_SEC_REWRITE, d.rewriteFrom ? BST_CHECKED : BST_UNCHECKED);
}

// Rewrite From only means something with a Send as address: without one the
// box is gray and clear, so it can never be left checked where it cannot be
// changed.
void UpdateRewriteBox(HWND dialog) {
    bool hasSender = GetWindowTextLengthA(GetDlgItem(dialog, IDC_SEC_SENDER)) > 0;
    if (!hasSender) CheckDlgButton(dialog, IDC_SEC_REWRITE, BST_UNCHECKED);
    EnableWindow(GetDlgItem(dialog, IDC_SEC_REWRITE), hasSender);
}

// The loaded row of the domain named in ChangeDomain (the owner): false when
// the last load has no domain of that name.
bool FindLoadedDomain(HWND dialog, DomainEntry* out) {
    char name[sizeof out->name + 1] = "";
    GetDlgItemTextA(GetParent(dialog), IDC_DOMAIN_NAME, name, sizeof name);
    int count = domainCount.load();
    for (int i = 0; i < count; i++) {
        if (CopyLoadedDomain(i, out) && name[0] && lstrcmpiA(out->name, name) == 0) return true;
    }
    SecureZeroMemory(out, sizeof *out);
    return false;
}

bool NeedsSignIn(const DomainEntry& d) {
    return d.oauth.method == kAuthOAuth2 && d.oauth.grant == kGrantRefreshToken;
}

// Only a user's token is signed for; a password or an application's own
// credentials have nothing to sign in. A name the last load does not know
// may be a domain not saved yet, so its button stays and says so.
void UpdateSignInButton(HWND dialog) {
    DomainEntry d;
    bool enable = !FindLoadedDomain(dialog, &d) || NeedsSignIn(d);
    SecureZeroMemory(&d, sizeof d);
    EnableWindow(GetDlgItem(dialog, IDC_SEC_SIGNIN), enable);
}

void SignIn(HWND dialog) {
    DomainEntry d;
    if (!FindLoadedDomain(dialog, &d) || !NeedsSignIn(d)) {
        MessageBoxA(dialog, kSaveFirst, " Sign in", MB_OK | MB_ICONEXCLAMATION);
    } else {
        DialogBoxParamA(GetModuleHandleA(nullptr), "SignIn", dialog, SignInDialogProc,
                        reinterpret_cast<LPARAM>(&d));
    }
    SecureZeroMemory(&d, sizeof d);
}

// The fields into the pending settings; false (the dialog stays open) after
// a box says what is refused.
bool Apply(HWND dialog) {
    // One more than the longest value, so an over-long text is seen, not cut.
    char user[kAuthTextMax + 2], password[kAuthTextMax + 2], pin[200], sender[kSenderAddressMax + 2];
    GetDlgItemTextA(dialog, IDC_SEC_USER, user, sizeof user);
    GetDlgItemTextA(dialog, IDC_SEC_PASSWORD, password, sizeof password);
    GetDlgItemTextA(dialog, IDC_SEC_FINGERPRINT, pin, sizeof pin);
    GetDlgItemTextA(dialog, IDC_SEC_SENDER, sender, sizeof sender);
    int mode = (int)SendDlgItemMessageA(dialog, IDC_SEC_MODE, CB_GETCURSEL, 0, 0);
    int rewrite = IsDlgButtonChecked(dialog, IDC_SEC_REWRITE) == BST_CHECKED;
    const char* refusal = ApplySecurityFields(mode < 0 ? kSecurityNone : mode, user, password,
                                              pin, sender, rewrite, editing);
    SecureZeroMemory(password, sizeof password);
    if (!refusal) return true;
    MessageBoxA(nullptr, refusal, kSecurityCaption, MB_OK | MB_ICONSTOP);
    return false;
}

}  // namespace

INT_PTR CALLBACK DomainSecurityDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        editing = reinterpret_cast<DomainEntry*>(lParam);
        if (!editing) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        Fill(dialog, *editing);
        UpdateRewriteBox(dialog);
        UpdateSignInButton(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SEC_SENDER:
            if (HIWORD(wParam) == EN_CHANGE) UpdateRewriteBox(dialog);
            return TRUE;
        case IDC_SEC_SIGNIN:
            SignIn(dialog);
            return TRUE;
        case IDOK:
            if (Apply(dialog)) EndDialog(dialog, 1);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        OpenHelpBox(dialog);
        return TRUE;
    case WM_DESTROY:
        // The masked text is the password itself: it does not outlive the dialog.
        SetDlgItemTextA(dialog, IDC_SEC_PASSWORD, "");
        editing = nullptr;
        return FALSE;
    }
    return FALSE;
}
