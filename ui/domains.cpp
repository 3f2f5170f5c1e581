// The domain editor: the "Domains" dialog with its list, and "ChangeDomain"
// for one row. Edits stay in the list until Close folds them back into
// DomainEditTable; only the Options dialog's Save writes them to the file.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/notation.h"
#include "dialogs_ids.h"
#include "ui/app.h"
#include "ui/dialogs.h"
#include "ui/listviews.h"

namespace {

// Room for reading a column back: more than any text the editor accepts,
// so nothing is cut on the way into the record.
constexpr int kReadRoom = 256;

// The security settings ChangeDomain shows: its "Security..." dialog edits
// them, and only Change or Add puts them into a record. Cleared when the
// dialog closes, since they hold the password.
DomainEntry pendingSecurity;

// Record of the working copy behind a row of the list (its Num label), or
// null.
DomainEditRecord* RecordOfRow(int row) {
    DomainEditCopy& t = DomainEditTable;
    if (!t.records || !DomainListView || row < 0) return nullptr;
    char label[kReadRoom];
    GetRowText(DomainListView, row, kColNum, label, sizeof label);
    int n = (int)strtol(label, nullptr, 10);
    return n >= 0 && n < t.count ? &t.records[n] : nullptr;
}

void PutPendingFrom(const DomainEditRecord& r) {
    pendingSecurity.security = r.security;
    memcpy(pendingSecurity.authUser, r.authUser, sizeof r.authUser);
    memcpy(pendingSecurity.authPassword, r.authPassword, sizeof r.authPassword);
    pendingSecurity.hasPin = r.hasPin;
    memcpy(pendingSecurity.tlsPin, r.tlsPin, sizeof r.tlsPin);
    memcpy(pendingSecurity.senderAddress, r.senderAddress, sizeof r.senderAddress);
    pendingSecurity.rewriteFrom = r.rewriteFrom;
}

void PutSecurity(DomainEditRecord* r) {
    if (!r) return;
    r->security = pendingSecurity.security;
    memcpy(r->authUser, pendingSecurity.authUser, sizeof r->authUser);
    memcpy(r->authPassword, pendingSecurity.authPassword, sizeof r->authPassword);
    r->hasPin = pendingSecurity.hasPin;
    memcpy(r->tlsPin, pendingSecurity.tlsPin, sizeof r->tlsPin);
    memcpy(r->senderAddress, pendingSecurity.senderAddress, sizeof r->senderAddress);
    r->rewriteFrom = pendingSecurity.rewriteFrom;
}

void FoldBackRows() {
    DomainEditCopy& t = DomainEditTable;
    // Without the list there are no rows to read, and without the copy no
    // records to write: the working copy stays as it was.
    if (!DomainListView || !t.records) return;
    for (int i = t.count - 1; i >= 0; i--) {
        char text[kReadRoom];
        GetRowText(DomainListView, i, kColNum, text, sizeof text);
        int n = (int)strtol(text, nullptr, 10);
        if (n != i)
            MessageBoxA(nullptr, " Internal error in processing domains", " Error in Domains", MB_OK);
        GetRowText(DomainListView, i, kColDomain, text, sizeof text);
        if (strcmp(text, kDeletedMark) == 0) {
            RemoveEditDomain(i);
            t.count--;
            continue;
        }
        // A label outside the table names no record: writing it would land
        // outside the copy, so such a row is skipped.
        if (n < 0 || n >= kMaxDomains) continue;
        DomainEditRecord& r = t.records[n];
        snprintf(r.name, sizeof r.name, "%.*s", (int)kDomainNameMax, text);
        GetRowText(DomainListView, i, kColServer, text, sizeof text);
        char host[sizeof r.host];
        uint16_t port;
        // ChangeDomain refuses a host the record cannot hold; a row that
        // still has one keeps the record's server rather than a cut name.
        if (ParseServerText(text, host, sizeof host, &port)) {
            snprintf(r.host, sizeof r.host, "%s", host);
            r.port = port;
        }
    }
}

void OnListNotify(HWND dialog, const NMHDR* header) {
    if (header->code == NM_RCLICK) {
        CurrentDomainRow = reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem;
        DialogBoxA(appInstance, "ChangeDomain", dialog, ChangeDomainDialogProc);
        RedrawRows(DomainListView, (int)SendMessageA(DomainListView, LVM_GETITEMCOUNT, 0, 0));
    } else if (header->code == LVN_KEYDOWN &&
               reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE) {
        ShowDeleteQuestion(kDeleteQuestionList);
    }
}

void ApplyDomainRow(HWND dialog, bool add) {
    char name[1024], server[1024];
    GetDlgItemTextA(dialog, IDC_DOMAIN_NAME, name, sizeof name);
    GetDlgItemTextA(dialog, IDC_DOMAIN_SERVER, server, sizeof server);
    // The names of the other rows as the list shows them now (a Change
    // keeps its own row's name, so that row is left out).
    char others[kMaxDomains * 2][kReadRoom];
    const char* otherNames[kMaxDomains * 2];
    int otherCount = 0;
    int rows = DomainListView ? (int)SendMessageA(DomainListView, LVM_GETITEMCOUNT, 0, 0) : 0;
    for (int r = 0; r < rows && otherCount < kMaxDomains * 2; r++) {
        if (!add && r == CurrentDomainRow) continue;
        GetRowText(DomainListView, r, kColDomain, others[otherCount], kReadRoom);
        otherNames[otherCount] = others[otherCount];
        otherCount++;
    }
    if (const char* error = CheckDomainFields(name, server, otherNames, otherCount)) {
        MessageBoxA(nullptr, error, kAddChangeCaption, MB_OK | MB_ICONSTOP);
        return;
    }
    if (!add) {
        // Change needs a row; in add mode the button is disabled, and Enter
        // on it does nothing.
        if (CurrentDomainRow < 0) return;
        SetRowText(DomainListView, CurrentDomainRow, kColDomain, name);
        SetRowText(DomainListView, CurrentDomainRow, kColServer, server);
        PutSecurity(RecordOfRow(CurrentDomainRow));
        EndDialog(dialog, 1);
        return;
    }
    DomainEditCopy& t = DomainEditTable;
    if (t.count >= kMaxDomains) {
        MessageBoxA(nullptr, " Unable to add domain: domains maximum reached", " Error Adding", MB_OK);
        EndDialog(dialog, 1);
        return;
    }
    char label[16];
    snprintf(label, sizeof label, "%d", t.count);
    int row = DomainListView ? AppendRow(DomainListView, label) : -1;
    if (row >= 0) {
        SetRowText(DomainListView, row, kColNum, label);
        SetRowText(DomainListView, row, kColDomain, name);
        SetRowText(DomainListView, row, kColServer, server);
        // Always written: after a removal the record past the count still
        // holds the settings of the domain that moved down.
        PutSecurity(&t.records[t.count]);
        t.count++;
    }
    EndDialog(dialog, 1);
}

}  // namespace

INT_PTR CALLBACK DomainsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        CreateDomainListView(dialog);
        return TRUE;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (!DomainListView || header->hwndFrom != DomainListView) return FALSE;
        OnListNotify(dialog, header);
        return TRUE;
    }
    case WM_COMMAND:
        // Close or Enter only; Escape (IDCANCEL) leaves the dialog open.
        if (LOWORD(wParam) != IDOK) return FALSE;
        FoldBackRows();
        DestroyWindow(DomainListView);
        DomainListView = nullptr;
        EndDialog(dialog, 1);
        return TRUE;
    case WM_HELP:
        OpenHelpBox(dialog);
        return TRUE;
    case WM_DESTROY:
        DomainListView = nullptr;
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK ChangeDomainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        ClearDomainSecurity(pendingSecurity);
        if (const DomainEditRecord* r = RecordOfRow(CurrentDomainRow)) PutPendingFrom(*r);
        SendDlgItemMessageA(dialog, IDC_DOMAIN_NAME, EM_LIMITTEXT, 255, 0);
        SendDlgItemMessageA(dialog, IDC_DOMAIN_SERVER, EM_LIMITTEXT, 241, 0);
        if (CurrentDomainRow < 0) {
            EnableWindow(GetDlgItem(dialog, IDC_ROW_DELETE), FALSE);
            EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        } else {
            char text[kColumnTextMax + 1];
            MoveToRowAnchor(dialog, DomainListView, CurrentDomainRow);
            GetRowText(DomainListView, CurrentDomainRow, kColDomain, text, sizeof text);
            SetDlgItemTextA(dialog, IDC_DOMAIN_NAME, text);
            GetRowText(DomainListView, CurrentDomainRow, kColServer, text, sizeof text);
            SetDlgItemTextA(dialog, IDC_DOMAIN_SERVER, text);
        }
        SetFocus(GetDlgItem(dialog, IDC_ROW_ADD));
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_DOMAIN_SECURITY:
            DialogBoxParamA(appInstance, "DomainSecurity", dialog, DomainSecurityDialogProc,
                            reinterpret_cast<LPARAM>(&pendingSecurity));
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 1);
            return TRUE;
        case IDC_ROW_DELETE:
            if (CurrentDomainRow >= 0)
                SetRowText(DomainListView, CurrentDomainRow, kColDomain, kDeletedMark);
            EndDialog(dialog, 1);
            return TRUE;
        case IDOK:
        case IDC_ROW_ADD:
            ApplyDomainRow(dialog, LOWORD(wParam) == IDC_ROW_ADD);
            return TRUE;
        }
        return FALSE;
    case WM_HELP:
        OpenHelpBox(dialog);
        return TRUE;
    case WM_DESTROY:
        ClearDomainSecurity(pendingSecurity);
        return FALSE;
    }
    return FALSE;
}
