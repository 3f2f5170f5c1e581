// The Queue window: what waits in the mailboxes and what is in bad mail. It
// reads only the worker's snapshot (never a folder or a socket) and hands a
// retry to the worker, which runs it before its next cycle.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "app.h"
#include "config/config.h"
#include "log/log.h"
#include "relay/queue.h"
#include "relay/relay.h"
#include "mainwindow_internal.h"
#include "resource.h"

namespace {

const char kQueueClass[] = "AmbrelQueueClass";
constexpr int kWaitingColumns = 6, kBadColumns = 4;
constexpr UINT_PTR kRefreshTimer = 1;
enum { IDC_WAITING = 100, IDC_BADMAIL, IDC_RETRY, IDC_OPENFOLDER, IDC_SENDNOW, IDC_CLOSE };

HWND queueWindow = nullptr;
HWND waitingList = nullptr, badList = nullptr;
HWND buttons[4];
HWND labels[2];
QueueSnapshot shown;
unsigned shownGeneration = ~0u, shownRetry = 0;
int waitingSort = 0, badSort = 0;  // column, negative + 1 for descending
int waitingWidths[kWaitingColumns] = {90, 110, 60, 120, 50, 260};
int badWidths[kBadColumns] = {130, 110, 180, 260};

const char* const kWaitingHeads[kWaitingColumns] = {"Mailbox", "File", "Size", "Waiting since", "Tries", "Last result"};
const char* const kBadHeads[kBadColumns] = {"When", "File", "Mailbox", "Reason"};

std::string Since(int64_t t) {
    time_t tt = (time_t)t;
    struct tm* p = localtime(&tt);
    char buf[48] = "?";
    if (p) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", p);
    long long age = (long long)(QueueNow() - t) / 60;
    char out[80];
    if (age < 60) snprintf(out, sizeof out, "%s (%lldm)", buf, age < 0 ? 0 : age);
    else if (age < 1440) snprintf(out, sizeof out, "%s (%lldh)", buf, age / 60);
    else snprintf(out, sizeof out, "%s (%lldd)", buf, age / 1440);
    return out;
}

std::string WaitingCell(const WaitingRow& r, int c) {
    switch (c) {
    case 0: return r.mailbox;
    case 1: return r.file;
    case 2: return std::to_string(r.size);
    case 3: return Since(r.since);
    case 4: return std::to_string(r.tries);
    default: return r.result;
    }
}

std::string BadCell(const BadmailRow& r, int c) {
    switch (c) {
    case 0: return r.when;
    case 1: return r.file;
    case 2: return r.folder;
    default: return r.reason;
    }
}

void AddColumns(HWND list, const char* const* heads, const int* widths, int count) {
    for (int i = 0; i < count; i++) {
        LVCOLUMNA col = {};
        col.mask = LVCF_TEXT | LVCF_WIDTH;
        col.pszText = const_cast<char*>(heads[i]);
        col.cx = widths[i];
        SendMessageA(list, LVM_INSERTCOLUMNA, i, (LPARAM)&col);
    }
}

void SetRow(HWND list, int row, const std::vector<std::string>& cells) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<char*>(cells[0].c_str());
    SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&item);
    for (size_t c = 1; c < cells.size(); c++) {
        item.iSubItem = (int)c;
        item.pszText = const_cast<char*>(cells[c].c_str());
        SendMessageA(list, LVM_SETITEMTEXTA, row, (LPARAM)&item);
    }
}

// Numbers sort as numbers, the rest as text.
template <class Row, class Cell>
void SortRows(std::vector<Row>& rows, int sort, Cell cell, int numericColumn1, int numericColumn2) {
    int col = sort < 0 ? -sort - 1 : sort;
    bool down = sort < 0;
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
        std::string x = cell(a, col), y = cell(b, col);
        bool less = (col == numericColumn1 || col == numericColumn2) ? atoll(x.c_str()) < atoll(y.c_str()) : x < y;
        bool more = (col == numericColumn1 || col == numericColumn2) ? atoll(y.c_str()) < atoll(x.c_str()) : y < x;
        return down ? more : less;
    });
}

void Fill() {
    SortRows(shown.waiting, waitingSort, WaitingCell, 2, 4);
    SortRows(shown.badmail, badSort, BadCell, -1, -1);
    SendMessageA(waitingList, WM_SETREDRAW, FALSE, 0);
    SendMessageA(waitingList, LVM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < shown.waiting.size(); i++) {
        std::vector<std::string> cells;
        for (int c = 0; c < kWaitingColumns; c++) cells.push_back(WaitingCell(shown.waiting[i], c));
        SetRow(waitingList, (int)i, cells);
    }
    SendMessageA(waitingList, WM_SETREDRAW, TRUE, 0);
    SendMessageA(badList, WM_SETREDRAW, FALSE, 0);
    SendMessageA(badList, LVM_DELETEALLITEMS, 0, 0);
    for (size_t i = 0; i < shown.badmail.size(); i++) {
        std::vector<std::string> cells;
        for (int c = 0; c < kBadColumns; c++) cells.push_back(BadCell(shown.badmail[i], c));
        SetRow(badList, (int)i, cells);
    }
    SendMessageA(badList, WM_SETREDRAW, TRUE, 0);
}

void Refresh() {
    QueueSnapshot s;
    CopyQueueSnapshot(&s);
    if (s.retryGeneration != shownRetry) {
        shownRetry = s.retryGeneration;
        if (!s.retryMessages.empty())
            MessageBoxA(queueWindow, s.retryMessages.c_str(), "Retry", MB_OK | MB_ICONWARNING);
    }
    if (s.generation == shownGeneration) return;
    shownGeneration = s.generation;
    shown = std::move(s);
    Fill();
}

void Layout(HWND window) {
    RECT rc;
    GetClientRect(window, &rc);
    int w = rc.right, h = rc.bottom, buttonRow = 34, label = 18, half = (h - buttonRow - 2 * label - 12) / 2;
    MoveWindow(labels[0], 8, 4, w - 16, label - 2, TRUE);
    MoveWindow(waitingList, 6, 4 + label, w - 12, half, TRUE);
    MoveWindow(labels[1], 8, 10 + label + half, w - 16, label - 2, TRUE);
    MoveWindow(badList, 6, 10 + 2 * label + half, w - 12, half, TRUE);
    for (int i = 0; i < 4; i++) MoveWindow(buttons[i], 6 + i * 110, h - buttonRow + 4, 100, 26, TRUE);
}

// QueueWindow=<width> <height> <the ten column widths>
void LoadPlacement(int* width, int* height) {
    char text[200];
    ProfileGetString(kSectionProduct, "QueueWindow", "", text, sizeof text, hostSettings.iniPath);
    int v[2 + kWaitingColumns + kBadColumns];
    int n = 0;
    for (const char* p = text; *p && n < (int)(sizeof v / sizeof v[0]);) {
        char* end;
        long x = strtol(p, &end, 10);
        if (end == p) break;
        v[n++] = x < 20 ? 20 : x > 4000 ? 4000 : (int)x;
        p = end;
    }
    if (n >= 2) {
        *width = v[0];
        *height = v[1];
    }
    for (int i = 0; i < kWaitingColumns && 2 + i < n; i++) waitingWidths[i] = v[2 + i];
    for (int i = 0; i < kBadColumns && 2 + kWaitingColumns + i < n; i++) badWidths[i] = v[2 + kWaitingColumns + i];
}

void SavePlacement(HWND window) {
    RECT rc;
    GetWindowRect(window, &rc);
    std::string text = std::to_string(rc.right - rc.left) + " " + std::to_string(rc.bottom - rc.top);
    for (int i = 0; i < kWaitingColumns; i++)
        text += " " + std::to_string((int)SendMessageA(waitingList, LVM_GETCOLUMNWIDTH, i, 0));
    for (int i = 0; i < kBadColumns; i++)
        text += " " + std::to_string((int)SendMessageA(badList, LVM_GETCOLUMNWIDTH, i, 0));
    char old[200];
    ProfileGetString(kSectionProduct, "QueueWindow", "", old, sizeof old, hostSettings.iniPath);
    // Written only when it changed: the relay reloads a changed INI.
    if (text != old) ProfileWriteString(kSectionProduct, "QueueWindow", text.c_str(), hostSettings.iniPath);
}

void Retry(HWND window) {
    std::vector<size_t> rows;
    for (int i = -1; (i = (int)SendMessageA(badList, LVM_GETNEXTITEM, i, LVNI_SELECTED)) >= 0;)
        if ((size_t)i < shown.badmail.size()) rows.push_back((size_t)i);
    if (rows.empty()) {
        if (shown.badmail.empty()) return;
        char ask[160];
        snprintf(ask, sizeof ask, "Nothing is selected. Send all %d files of the bad-mail list again?",
                 (int)shown.badmail.size());
        if (MessageBoxA(window, ask, "Retry", MB_YESNO | MB_ICONQUESTION) != IDYES) return;
        for (size_t i = 0; i < shown.badmail.size(); i++) rows.push_back(i);
    }
    std::vector<std::string> files;
    std::string refused;
    for (size_t i : rows) {
        const BadmailRow& r = shown.badmail[i];
        if (BadmailOriginConfigured(r.folder)) files.push_back(r.file);
        else refused += r.file + " is not moved: its mailbox folder " + r.folder + " is no longer configured.\n";
    }
    if (!refused.empty()) MessageBoxA(window, refused.c_str(), "Retry", MB_OK | MB_ICONWARNING);
    if (!files.empty()) RequestBadmailRetry(files);
}

void OpenBadFolder() {
    char folder[sizeof relaySettings.Badmails];
    {
        SettingsTextGuard guard;
        snprintf(folder, sizeof folder, "%s", relaySettings.Badmails);
    }
    if (folder[0]) ShellExecuteA(queueWindow, "open", folder, nullptr, nullptr, SW_SHOWNORMAL);
}

LRESULT OnNotify(NMHDR* hdr) {
    if (hdr->code == LVN_COLUMNCLICK) {
        int col = ((NMLISTVIEW*)hdr)->iSubItem;
        int& sort = hdr->idFrom == IDC_WAITING ? waitingSort : badSort;
        sort = sort == col ? -col - 1 : col;
        Fill();
        return 0;
    }
    if (hdr->code == NM_CUSTOMDRAW && hdr->idFrom == IDC_WAITING) {
        NMLVCUSTOMDRAW* cd = (NMLVCUSTOMDRAW*)hdr;
        if (cd->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
        if (cd->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            size_t i = (size_t)cd->nmcd.dwItemSpec;
            if (i < shown.waiting.size() && shown.waiting[i].overdue) cd->clrText = RGB(200, 0, 0);
            return CDRF_DODEFAULT;
        }
    }
    return 0;
}

LRESULT CALLBACK QueueProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        DWORD style = WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT | LVS_SHOWSELALWAYS;
        waitingList = CreateWindowExA(0, WC_LISTVIEWA, "", style | LVS_SINGLESEL, 0, 0, 0, 0, window,
                                      (HMENU)(INT_PTR)IDC_WAITING, appInstance, nullptr);
        badList = CreateWindowExA(0, WC_LISTVIEWA, "", style, 0, 0, 0, 0, window, (HMENU)(INT_PTR)IDC_BADMAIL,
                                  appInstance, nullptr);
        for (HWND l : {waitingList, badList})
            SendMessageA(l, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
        AddColumns(waitingList, kWaitingHeads, waitingWidths, kWaitingColumns);
        AddColumns(badList, kBadHeads, badWidths, kBadColumns);
        const char* heads[2] = {"Waiting (a red line waits longer than WarnAfterHours)",
                                "Bad mail (select files and Retry to send them again)"};
        for (int i = 0; i < 2; i++)
            labels[i] = CreateWindowExA(0, "STATIC", heads[i], WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window, nullptr,
                                        appInstance, nullptr);
        const char* names[4] = {"&Retry", "&Open folder", "&Send NOW", "&Close"};
        for (int i = 0; i < 4; i++)
            buttons[i] = CreateWindowExA(0, "BUTTON", names[i], WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 0, 0,
                                         window, (HMENU)(INT_PTR)(IDC_RETRY + i), appInstance, nullptr);
        HFONT font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
        for (HWND c : {waitingList, badList, buttons[0], buttons[1], buttons[2], buttons[3], labels[0], labels[1]})
            SendMessageA(c, WM_SETFONT, (WPARAM)font, FALSE);
        SetTimer(window, kRefreshTimer, 1000, nullptr);
        return 0;
    }
    case WM_SIZE:
        Layout(window);
        return 0;
    case WM_TIMER:
        Refresh();
        return 0;
    case WM_NOTIFY:
        return OnNotify((NMHDR*)lParam);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_RETRY: Retry(window); break;
        case IDC_OPENFOLDER: OpenBadFolder(); break;
        case IDC_SENDNOW:
            RequestSendNow();
            break;
        case IDC_CLOSE: DestroyWindow(window); break;
        }
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kRefreshTimer);
        SavePlacement(window);
        queueWindow = nullptr;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The worker's latest problem, taken by the window thread.
std::mutex problemLock;
std::string problemText;
HWND problemWindow = nullptr;

void ProblemFromWorker(int kind, const char* text) {
    {
        std::lock_guard<std::mutex> g(problemLock);
        problemText = std::string(kind == kNoticeBadmail ? "Bad mail: " : "Relay failed: ") + text;
    }
    // Posted, never sent: the worker must not wait for the window.
    if (problemWindow) PostMessageA(problemWindow, UM_QUEUEPROBLEM, 0, 0);
}

}  // namespace

void InstallQueueHooks(HWND window) {
    problemWindow = window;
    queueProblemHook = ProblemFromWorker;
}

void ShowQueueProblem() {
    std::string text;
    {
        std::lock_guard<std::mutex> g(problemLock);
        text.swap(problemText);
    }
    if (!text.empty()) ShowTrayBalloon("Ambrel: mail needs attention (click for the queue)", text.c_str());
}

void OpenQueueWindow() {
    if (queueWindow) {
        ShowWindow(queueWindow, SW_SHOWNORMAL);
        SetForegroundWindow(queueWindow);
        return;
    }
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = QueueProc;
        wc.hInstance = appInstance;
        wc.hIcon = LoadIconA(appInstance, MAKEINTRESOURCEA(IDI_AMBREL));
        wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
        wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
        wc.lpszClassName = kQueueClass;
        if (!RegisterClassA(&wc)) return;
        registered = true;
    }
    int width = 720, height = 480;
    LoadPlacement(&width, &height);
    shownGeneration = ~0u;
    QueueSnapshot s;
    CopyQueueSnapshot(&s);
    shownRetry = s.retryGeneration;
    queueWindow = CreateWindowExA(0, kQueueClass, "Ambrel Queue", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  width, height, mainWindow, nullptr, appInstance, nullptr);
    if (!queueWindow) return;
    Refresh();
    ShowWindow(queueWindow, SW_SHOWNORMAL);
}
