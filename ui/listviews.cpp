// The two report lists of the configuration dialogs and the domains'
// working copy.
#include "ui/listviews.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "config/notation.h"
#include "dialogs_ids.h"
#include "ui/app.h"

DomainEditCopy DomainEditTable = {nullptr, 0};
LoadedConfig OptionsLoaded;
HWND MailboxListView = nullptr;
HWND DomainListView = nullptr;
int CurrentMailboxRow = -1;
int CurrentDomainRow = -1;

namespace {

constexpr DWORD kListStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_GROUP |
                             WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_NOLABELWRAP |
                             LVS_AUTOARRANGE;

struct ColumnSpec {
    const char* header;
    int width;
};
constexpr ColumnSpec kMailboxColumns[3] = {{"User", 67}, {"eMail", 115}, {"Folder", 174}};
constexpr ColumnSpec kDomainColumns[3] = {{"Num", 35}, {"Domain", 80}, {"Server", 240}};

HWND CreateList(HWND owner, DWORD sortStyle, int width, int height, const ColumnSpec* columns,
                int reserve) {
    HWND list = CreateWindowExA(0, "SysListView32", "", kListStyle | sortStyle, 6, 22, width,
                                height, owner, nullptr, appInstance, nullptr);
    if (!list) return nullptr;
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    for (int c = 0; c < 3; c++) {
        LVCOLUMNA col = {};
        col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        col.fmt = LVCFMT_LEFT;
        col.cx = columns[c].width;
        col.pszText = const_cast<char*>(columns[c].header);
        col.iSubItem = c;
        SendMessageA(list, LVM_INSERTCOLUMNA, c, (LPARAM)&col);
    }
    SendMessageA(list, LVM_SETITEMCOUNT, reserve, 0);
    return list;
}

}  // namespace

void TakeOptionsLoaded() { CopyLoadedConfig(&OptionsLoaded); }

bool MakeDomainEditTable() {
    FreeDomainEditTable();
    // Zeroed, so a record that an Add counted but the fold-back has not
    // written yet holds empty texts, never undefined ones.
    DomainEditTable.records = new (std::nothrow) DomainEditRecord[kMaxDomains]();
    if (!DomainEditTable.records) return false;
    int count = OptionsLoaded.domainCount;
    for (int i = 0; i < count; i++) DomainEditTable.records[i] = OptionsLoaded.domains[i];
    DomainEditTable.count = count;
    return true;
}

void FreeDomainEditTable() {
    // The records hold the domains' passwords in clear text.
    if (DomainEditTable.records) SecureZeroMemory(DomainEditTable.records, sizeof(DomainEditRecord) * kMaxDomains);
    delete[] DomainEditTable.records;
    DomainEditTable.records = nullptr;
    DomainEditTable.count = 0;
}

void GetRowText(HWND list, int row, int column, char* out, int size) {
    if (size <= 0) return;
    out[0] = 0;
    if (!list) return;
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = out;
    item.cchTextMax = size;
    SendMessageA(list, LVM_GETITEMTEXTA, row, (LPARAM)&item);
    out[size - 1] = 0;
}

void SetRowText(HWND list, int row, int column, const char* text) {
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text);
    SendMessageA(list, LVM_SETITEMTEXTA, row, (LPARAM)&item);
}

int AppendRow(HWND list, const char* label) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
    item.pszText = const_cast<char*>(label);
    return (int)SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&item);
}

void RedrawRows(HWND list, int last) {
    if (!list) return;
    SendMessageA(list, LVM_REDRAWITEMS, 0, last);
    UpdateWindow(list);
}

void MoveToRowAnchor(HWND editor, HWND list, int row) {
    RECT listRect, label = {}, own;
    if (!list || !GetWindowRect(list, &listRect) || !GetWindowRect(editor, &own)) return;
    label.left = LVIR_LABEL;
    if (!SendMessageA(list, LVM_GETITEMRECT, row, (LPARAM)&label)) return;
    MoveWindow(editor, listRect.left + label.right, listRect.top + label.top,
               own.right - own.left, own.bottom - own.top, FALSE);
}

void CreateMailboxListView(HWND owner) {
    MailboxListView = CreateList(owner, LVS_SORTDESCENDING, 356, 232, kMailboxColumns, 30);
    if (!MailboxListView) {
        MessageBoxA(nullptr, "Unable to open SMS Window", nullptr, MB_OK);
        return;
    }
    // The rows come from the copy taken when the dialog opened (one load,
    // whole); the texts live in the string pool, which is never released.
    int count = OptionsLoaded.mailboxCount;
    for (int i = 0; i < count; i++) {
        char user[kColumnTextMax + 16], email[kColumnTextMax + 16], column[kColumnTextMax + 16];
        LoadedMailboxColumns(OptionsLoaded, i, user, email, column, sizeof user);
        int row = AppendRow(MailboxListView, "");
        if (row < 0) continue;
        SetRowText(MailboxListView, row, kColUser, user);
        SetRowText(MailboxListView, row, kColEmail, email);
        SetRowText(MailboxListView, row, kColFolder, column);
    }
    RedrawRows(MailboxListView, count);
}

void CreateDomainListView(HWND owner) {
    DomainListView = CreateList(owner, LVS_SORTASCENDING, 355, 200, kDomainColumns, 10);
    if (!DomainListView) {
        MessageBoxA(nullptr, "Unable to open Domain Window", nullptr, MB_OK);
        return;
    }
    const DomainEditCopy& t = DomainEditTable;
    for (int i = 0; t.records && i < t.count; i++) {
        char label[16], server[sizeof t.records[i].host + 16];
        snprintf(label, sizeof label, "%d", i);
        snprintf(server, sizeof server, "%s:%u", t.records[i].host, (unsigned)t.records[i].port);
        int row = AppendRow(DomainListView, label);
        if (row < 0) continue;
        SetRowText(DomainListView, row, kColNum, label);
        SetRowText(DomainListView, row, kColDomain, t.records[i].name);
        SetRowText(DomainListView, row, kColServer, server);
    }
    RedrawRows(DomainListView, t.count);
}

void RemoveEditDomain(int index) {
    DomainEditCopy& t = DomainEditTable;
    if (!t.records || index < 0 || index >= t.count) return;
    char removed[sizeof t.records[index].name];
    snprintf(removed, sizeof removed, "%s", t.records[index].name);
    RemoveDomainRecord(t.records, t.count, index);
    int remaining = t.count - 1;
    if (!MailboxListView) return;
    int rows = (int)SendMessageA(MailboxListView, LVM_GETITEMCOUNT, 0, 0);
    for (int r = 0; r < rows; r++) {
        char email[kColumnTextMax + 1], user[kColumnTextMax + 1];
        char moved[2 * kColumnTextMax + 2];
        GetRowText(MailboxListView, r, kColEmail, email, sizeof email);
        if (!strchr(email, '@') || AddressDomainKnown(email, t.records, remaining)) continue;
        // Only the mailboxes of the removed domain move with it. A mailbox
        // whose domain was renamed in the same Close keeps its address, so
        // that Save names it and asks before it moves.
        if (strcmp(strchr(email, '@') + 1, removed) != 0) continue;
        GetRowText(MailboxListView, r, kColUser, user, sizeof user);
        // With no domain left there is no first domain to move to: the row
        // keeps its user name and an empty domain ("john@"), as the mailbox
        // editor writes it when there are no domains, instead of the removed
        // record's stale name.
        snprintf(moved, sizeof moved, "%s@%s", user, remaining > 0 ? t.records[0].name : "");
        SetRowText(MailboxListView, r, kColEmail, moved);
    }
    RedrawRows(MailboxListView, rows);
}

void FillDomainChoice(HWND editor, const char* text) {
    HWND choice = GetDlgItem(editor, IDC_USER_DOMAIN);
    SendMessageA(choice, CB_RESETCONTENT, 0, 0);
    const DomainEditCopy& t = DomainEditTable;
    int count = t.records ? t.count : 0;
    for (int i = 0; i < count; i++) SendMessageA(choice, CB_ADDSTRING, 0, (LPARAM)t.records[i].name);
    if (count == 0) return;
    int chosen = FindDomainChoice(t.records, count, WantedDomain(text));
    SendMessageA(choice, CB_SETCURSEL, chosen < 0 ? 0 : chosen, 0);
}
