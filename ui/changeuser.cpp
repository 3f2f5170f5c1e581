// The mailbox editor ("ChangeUser"): changes, adds or deletes one row of
// the mailbox list. Only the Options dialog's Save writes the rows out.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>

#include "config/notation.h"
#include "dialogs_ids.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/listviews.h"

namespace {

void OnInit(HWND dialog) {
    SendDlgItemMessageA(dialog, IDC_USER_NAME, EM_LIMITTEXT, 255, 0);
    SendDlgItemMessageA(dialog, IDC_USER_FOLDER, EM_LIMITTEXT, kFolderFieldMax, 0);
    if (CurrentMailboxRow < 0) {
        EnableWindow(GetDlgItem(dialog, IDC_ROW_DELETE), FALSE);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        FillDomainChoice(dialog, nullptr);
    } else {
        char text[kColumnTextMax + 1], field[kColumnTextMax + 1];
        MoveToRowAnchor(dialog, MailboxListView, CurrentMailboxRow);
        GetRowText(MailboxListView, CurrentMailboxRow, kColUser, text, sizeof text);
        SetDlgItemTextA(dialog, IDC_USER_NAME, text);
        GetRowText(MailboxListView, CurrentMailboxRow, kColFolder, text, sizeof text);
        FolderFieldFromColumn(text, field, sizeof field);
        SetDlgItemTextA(dialog, IDC_USER_FOLDER, field);
        GetRowText(MailboxListView, CurrentMailboxRow, kColEmail, text, sizeof text);
        FillDomainChoice(dialog, text);
    }
    SetFocus(GetDlgItem(dialog, IDC_ROW_ADD));
}

void ApplyMailboxRow(HWND dialog, bool add) {
    char name[1024], field[1024], domain[kColumnTextMax + 1];
    char folder[kColumnTextMax + 16], email[kColumnTextMax + 1];
    GetDlgItemTextA(dialog, IDC_USER_NAME, name, sizeof name);
    GetDlgItemTextA(dialog, IDC_USER_FOLDER, field, sizeof field);
    GetDlgItemTextA(dialog, IDC_USER_DOMAIN, domain, sizeof domain);
    if (const char* error =
            MakeMailboxRow(name, field, domain, folder, sizeof folder, email, sizeof email)) {
        MessageBoxA(nullptr, error, kAddChangeCaption, MB_OK | MB_ICONSTOP);
        return;
    }
    // The user folder that Save will use is the one in the Options dialog's
    // field (this editor's owner), typed or not yet saved.
    char userFolder[sizeof RelaySettings::UserFolder];
    GetDlgItemTextA(GetWindow(dialog, GW_OWNER), IDC_OPT_USERFOLDER, userFolder, sizeof userFolder);
    if (const char* error = CheckMailboxFolderPath(folder, userFolder)) {
        MessageBoxA(nullptr, error, kAddChangeCaption, MB_OK | MB_ICONSTOP);
        return;
    }
    if (!MailboxListView) {
        EndDialog(dialog, 1);
        return;
    }
    int row = CurrentMailboxRow;
    if (add) {
        row = AppendRow(MailboxListView, "");
    } else if (row < 0) {
        return;  // Change needs a row; Enter in add mode does nothing
    }
    if (row >= 0) {
        SetRowText(MailboxListView, row, kColUser, name);
        SetRowText(MailboxListView, row, kColEmail, email);
        SetRowText(MailboxListView, row, kColFolder, folder);
    }
    EndDialog(dialog, 1);
}

void EditDomains(HWND dialog) {
    char chosen[kColumnTextMax + 1];
    GetDlgItemTextA(dialog, IDC_USER_DOMAIN, chosen, sizeof chosen);
    DialogBoxA(appInstance, "Domains", dialog, DomainsDialogProc);
    FillDomainChoice(dialog, chosen);
}

}  // namespace

INT_PTR CALLBACK ChangeUserDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OnInit(dialog);
        return FALSE;  // the focus stays on Add
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDCANCEL:
            EndDialog(dialog, 1);
            return TRUE;
        case IDC_ROW_DELETE:
            if (MailboxListView && CurrentMailboxRow >= 0)
                SendMessageA(MailboxListView, LVM_DELETEITEM, CurrentMailboxRow, 0);
            EndDialog(dialog, 1);
            return TRUE;
        case IDC_EDIT_DOMAINS:
            EditDomains(dialog);
            return TRUE;
        case IDOK:
        case IDC_ROW_ADD:
            ApplyMailboxRow(dialog, LOWORD(wParam) == IDC_ROW_ADD);
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        OpenHelpBox(dialog);
        return TRUE;
    }
    return FALSE;
}
