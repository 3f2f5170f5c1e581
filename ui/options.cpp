// The Options dialog: the four global settings, the mailbox list and the
// way to the domain editor. It works on copies; only Save writes the file.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "config/keys.h"
#include "dialogs_ids.h"
#include "log/log.h"
#include "platform/platform.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/listviews.h"

const char kDeleteQuestionList[] = "wmnDo you really want to permanently\rDELETE all selected SMSs ?";
const char kDeleteQuestionDialog[] =
    "wmkDo you really want to permanently\rDELETE all selected SMSs ?";

void ShowDeleteQuestion(const char* text) {
    // Only a question: the lists delete nothing on this key.
    MessageBoxA(mainWindow, text, "  Textpull - Delete", MB_YESNO | MB_ICONQUESTION);
}

void OpenHelpBox(HWND owner) { DialogBoxA(appInstance, "HelpBox", owner, HelpBoxProc); }

namespace {

// Outer sizes in pixels, taken when the dialog opens (one dialog at a time).
struct OptionsGeometry {
    int minHeight;
    int fixedWidth;
    int lastHeight;
    int frameHeight;
    int listHeight;
};
OptionsGeometry geometry;

// The four settings as they were before a Save, put back when the save
// refuses so that memory keeps matching the file.
struct SettingsBefore {
    char UserFolder[sizeof RelaySettings::UserFolder];
    char LogName[sizeof RelaySettings::LogName];
    char Badmails[sizeof RelaySettings::Badmails];
    int LoopDelay;
};

int OuterHeight(HWND window) {
    RECT r;
    return GetWindowRect(window, &r) ? r.bottom - r.top : 0;
}

void OnInit(HWND dialog) {
    TakeOptionsLoaded();
    if (!MakeDomainEditTable()) LogToWindow("Error allocating dialog memory!\r\n");
    char number[16];
    snprintf(number, sizeof number, "%u", (unsigned)relaySettings.LoopDelay.load());
    SetDlgItemTextA(dialog, IDC_OPT_LOOPDELAY, number);
    {
        SettingsTextGuard guard;
        SetDlgItemTextA(dialog, IDC_OPT_USERFOLDER, relaySettings.UserFolder);
        SetDlgItemTextA(dialog, IDC_OPT_LOGNAME, relaySettings.LogName);
        SetDlgItemTextA(dialog, IDC_OPT_BADMAILS, relaySettings.Badmails);
    }
    // Typing stops where Save would refuse: at the longest text the loaders
    // keep, and the two folders one short of it for the separator that Save
    // appends.
    SendDlgItemMessageA(dialog, IDC_OPT_USERFOLDER, EM_LIMITTEXT, KeyOf(kKeyUserFolder).maxLength - 1, 0);
    SendDlgItemMessageA(dialog, IDC_OPT_LOGNAME, EM_LIMITTEXT, KeyOf(kKeyLogName).maxLength, 0);
    SendDlgItemMessageA(dialog, IDC_OPT_BADMAILS, EM_LIMITTEXT, KeyOf(kKeyBadmails).maxLength - 1, 0);
    SendDlgItemMessageA(dialog, IDC_OPT_LOOPDELAY, EM_LIMITTEXT, 10, 0);

    CreateMailboxListView(dialog);

    RECT outer;
    GetWindowRect(dialog, &outer);
    geometry.minHeight = geometry.lastHeight = outer.bottom - outer.top;
    geometry.fixedWidth = outer.right - outer.left;
    geometry.frameHeight = OuterHeight(GetDlgItem(dialog, IDC_LIST_FRAME));
    geometry.listHeight = MailboxListView ? OuterHeight(MailboxListView) : 0;
    SetFocus(GetDlgItem(dialog, IDC_OPT_LOGNAME));
}

// The dialog grows in height only; the mailbox frame and list grow with it.
void OnSize(HWND dialog) {
    if (geometry.fixedWidth == 0) return;  // sizes before the dialog is set up
    RECT outer;
    GetWindowRect(dialog, &outer);
    int height = outer.bottom - outer.top;
    int width = outer.right - outer.left;
    int h = height < geometry.minHeight ? geometry.minHeight : height;
    if (height == geometry.lastHeight && width == geometry.fixedWidth) return;
    geometry.lastHeight = h;
    MoveWindow(dialog, outer.left, outer.top, geometry.fixedWidth, h, TRUE);
    int grow = h - geometry.minHeight;
    HWND frame = GetDlgItem(dialog, IDC_LIST_FRAME);
    RECT r;
    if (frame && GetWindowRect(frame, &r))
        MoveWindow(frame, 2, 8, r.right - r.left, geometry.frameHeight + grow, TRUE);
    if (MailboxListView && GetWindowRect(MailboxListView, &r))
        MoveWindow(MailboxListView, 6, 22, r.right - r.left, geometry.listHeight + grow, TRUE);
}

void OnSave(HWND dialog) {
    RelaySettings& s = relaySettings;
    SettingsBefore before;
    BOOL ok = FALSE;
    int delay = (int)GetDlgItemInt(dialog, IDC_OPT_LOOPDELAY, &ok, FALSE);
    {
        // The worker reads these texts while we change them. The guard is
        // not held across the save itself, which may ask the user in a box.
        SettingsTextGuard guard;
        snprintf(before.UserFolder, sizeof before.UserFolder, "%s", s.UserFolder);
        snprintf(before.LogName, sizeof before.LogName, "%s", s.LogName);
        snprintf(before.Badmails, sizeof before.Badmails, "%s", s.Badmails);
        before.LoopDelay = s.LoopDelay;
        GetDlgItemTextA(dialog, IDC_OPT_USERFOLDER, s.UserFolder, sizeof s.UserFolder);
        GetDlgItemTextA(dialog, IDC_OPT_LOGNAME, s.LogName, sizeof s.LogName);
        GetDlgItemTextA(dialog, IDC_OPT_BADMAILS, s.Badmails, sizeof s.Badmails);
        s.LoopDelay = delay < 5 ? 120 : delay;
        AppendSepIfMissing(s.Badmails, sizeof s.Badmails);
    }

    if (!SaveConfiguration()) {
        // Nothing was written: the settings in memory go back to what the
        // file holds, and the dialog stays open with the user's edits.
        SettingsTextGuard guard;
        snprintf(s.UserFolder, sizeof s.UserFolder, "%s", before.UserFolder);
        snprintf(s.LogName, sizeof s.LogName, "%s", before.LogName);
        snprintf(s.Badmails, sizeof s.Badmails, "%s", before.Badmails);
        s.LoopDelay = before.LoopDelay;
        return;
    }
    DestroyWindow(MailboxListView);
    MailboxListView = nullptr;
    EndDialog(dialog, 1);
}

BOOL OnNotify(HWND dialog, const NMHDR* header) {
    if (!MailboxListView || header->hwndFrom != MailboxListView) return FALSE;
    if (header->code == NM_RCLICK) {
        CurrentMailboxRow = reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem;
        DialogBoxA(appInstance, "ChangeUser", dialog, ChangeUserDialogProc);
        RedrawRows(MailboxListView, (int)SendMessageA(MailboxListView, LVM_GETITEMCOUNT, 0, 0));
        return FALSE;
    }
    if (header->code == LVN_KEYDOWN &&
        reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE) {
        ShowDeleteQuestion(kDeleteQuestionList);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK OptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInit(dialog);
        return FALSE;  // the focus stays on the log name
    case WM_SIZE:
        OnSize(dialog);
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            OnSave(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_EDIT_DOMAINS:
            DialogBoxA(appInstance, "Domains", dialog, DomainsDialogProc);
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        OpenHelpBox(dialog);
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(dialog, reinterpret_cast<const NMHDR*>(lParam));
    case WM_KEYUP:
        if (wParam != VK_DELETE) return FALSE;
        ShowDeleteQuestion(kDeleteQuestionDialog);
        return TRUE;
    case WM_DESTROY:
        MailboxListView = nullptr;
        FreeDomainEditTable();
        geometry = {};
        return FALSE;
    }
    return FALSE;
}
