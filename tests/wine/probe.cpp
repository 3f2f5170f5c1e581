// Test probe: finds Ambrel's windows under the same Wine prefix and reads or
// drives them from outside, the way a user or the shell would. Each
// subcommand prints its result on stdout; the exit code is 1 when the target
// is not there or the call failed, 2 on a usage error.
//
// Texts are printed with C escapes (\r \n \t \\) so that one window, row or
// box is always one line; winetest.py undoes them.
//
// Reading another process's controls: window texts travel with WM_GETTEXT,
// which the system marshals across processes. Status bar parts and list-view
// cells do not: their messages carry pointers, so the buffer has to live in
// the target process (VirtualAllocEx, then ReadProcessMemory). Menus of
// another process cannot be read under Wine at all.
#include <windows.h>
#include <commctrl.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UINT kSendTimeoutMs = 5000;

HWND ParseHwnd(const char* text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(strtoull(text, nullptr, 0)));
}

long long ParseNumber(const char* text) { return strtoll(text, nullptr, 0); }

void PrintHwnd(HWND hwnd) {
    printf("0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)));
}

void PrintEscaped(const std::string& text) {
    for (unsigned char c : text) {
        switch (c) {
            case '\r': fputs("\\r", stdout); break;
            case '\n': fputs("\\n", stdout); break;
            case '\t': fputs("\\t", stdout); break;
            case '\\': fputs("\\\\", stdout); break;
            default:
                if (c < 0x20) printf("\\x%02x", c);
                else putchar(c);
        }
    }
}

// Sends with a bound so that a hung target fails the probe instead of
// hanging the test run.
bool SendBounded(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) {
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r))
        return false;
    if (result) *result = r;
    return true;
}

std::string WindowText(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendBounded(hwnd, WM_GETTEXTLENGTH, 0, 0, &length)) return {};
    std::vector<char> buffer(length + 2, '\0');
    DWORD_PTR got = 0;
    if (!SendBounded(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), &got))
        return {};
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

std::string ClassOf(HWND hwnd) {
    char name[256] = "";
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

// A buffer inside the process that owns `hwnd`.
class RemoteBuffer {
public:
    RemoteBuffer(HWND hwnd, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                   PROCESS_QUERY_INFORMATION,
                               FALSE, pid);
        if (process_)
            memory_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteBuffer() {
        if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;

    bool ok() const { return memory_ != nullptr; }
    char* at(size_t offset) const { return static_cast<char*>(memory_) + offset; }
    bool Write(size_t offset, const void* data, size_t length) const {
        SIZE_T done = 0;
        return offset + length <= size_ &&
               WriteProcessMemory(process_, at(offset), data, length, &done) && done == length;
    }
    bool Read(size_t offset, void* data, size_t length) const {
        SIZE_T done = 0;
        return offset + length <= size_ &&
               ReadProcessMemory(process_, at(offset), data, length, &done) && done == length;
    }
    // A NUL-terminated text of at most `capacity` bytes starting at `offset`.
    std::string ReadText(size_t offset, size_t capacity) const {
        std::vector<char> local(capacity + 1, '\0');
        if (!Read(offset, local.data(), capacity)) return {};
        return std::string(local.data(), strnlen(local.data(), capacity));
    }

private:
    HANDLE process_ = nullptr;
    void* memory_ = nullptr;
    size_t size_;
};

// ---- subcommands -----------------------------------------------------------

int Find(int argc, char** argv) {
    if (argc < 2) return 2;
    const char* cls = strcmp(argv[0], "-") ? argv[0] : nullptr;
    const char* title = strcmp(argv[1], "-") ? argv[1] : nullptr;
    DWORD waitMs = argc > 2 ? static_cast<DWORD>(ParseNumber(argv[2])) : 0;
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = FindWindowA(cls, title);
        if (hwnd) {
            PrintHwnd(hwnd);
            putchar('\n');
            return 0;
        }
        if (GetTickCount() - start >= waitMs) return 1;
        Sleep(50);
    }
}

int Title(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    char title[1024] = "";
    GetWindowTextA(hwnd, title, sizeof title);
    PrintEscaped(title);
    putchar('\n');
    return 0;
}

int Text(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    PrintEscaped(WindowText(hwnd));
    putchar('\n');
    return 0;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
    PrintHwnd(child);
    printf("\t%s\t%d\t", ClassOf(child).c_str(), GetDlgCtrlID(child));
    PrintEscaped(WindowText(child));
    printf("\t%s\t%s\n", IsWindowVisible(child) ? "visible" : "hidden",
           IsWindowEnabled(child) ? "enabled" : "disabled");
    return TRUE;
}

int Children(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    EnumChildWindows(hwnd, PrintChild, 0);
    return 0;
}

BOOL CALLBACK FindStatusBar(HWND child, LPARAM out) {
    if (_stricmp(ClassOf(child).c_str(), STATUSCLASSNAMEA) != 0) return TRUE;
    *reinterpret_cast<HWND*>(out) = child;
    return FALSE;
}

// The status bar itself or the window that holds one.
HWND StatusBarOf(HWND hwnd) {
    if (_stricmp(ClassOf(hwnd).c_str(), STATUSCLASSNAMEA) == 0) return hwnd;
    HWND bar = nullptr;
    EnumChildWindows(hwnd, FindStatusBar, reinterpret_cast<LPARAM>(&bar));
    return bar;
}

int StatusText(int argc, char** argv) {
    if (argc < 2) return 2;
    HWND bar = StatusBarOf(ParseHwnd(argv[0]));
    if (!bar) return 1;
    constexpr size_t kCapacity = 1024;
    RemoteBuffer remote(bar, kCapacity + 1);
    if (!remote.ok()) return 1;
    const char zero = 0;
    remote.Write(0, &zero, 1);
    if (!SendBounded(bar, SB_GETTEXTA, static_cast<WPARAM>(ParseNumber(argv[1])),
                     reinterpret_cast<LPARAM>(remote.at(0)), nullptr))
        return 1;
    PrintEscaped(remote.ReadText(0, kCapacity));
    putchar('\n');
    return 0;
}

// The right edges of the status bar's parts (SB_GETPARTS), space-separated.
int StatusParts(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND bar = StatusBarOf(ParseHwnd(argv[0]));
    if (!bar) return 1;
    constexpr int kMaxParts = 16;
    RemoteBuffer remote(bar, kMaxParts * sizeof(int));
    if (!remote.ok()) return 1;
    DWORD_PTR count = 0;
    if (!SendBounded(bar, SB_GETPARTS, kMaxParts, reinterpret_cast<LPARAM>(remote.at(0)), &count) ||
        count > kMaxParts)
        return 1;
    int edges[kMaxParts] = {};
    if (!remote.Read(0, edges, count * sizeof(int))) return 1;
    for (DWORD_PTR i = 0; i < count; ++i) printf(i ? " %d" : "%d", edges[i]);
    putchar('\n');
    return 0;
}

int Command(int argc, char** argv) {
    if (argc < 2) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    return PostMessageA(hwnd, WM_COMMAND, static_cast<WPARAM>(ParseNumber(argv[1])), 0) ? 0 : 1;
}

int Send(int argc, char** argv) {
    if (argc < 4) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    DWORD_PTR result = 0;
    if (!SendBounded(hwnd, static_cast<UINT>(ParseNumber(argv[1])),
                     static_cast<WPARAM>(ParseNumber(argv[2])), static_cast<LPARAM>(ParseNumber(argv[3])),
                     &result))
        return 1;
    printf("%lld\n", static_cast<long long>(result));
    return 0;
}

int Post(int argc, char** argv) {
    if (argc < 4) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    return PostMessageA(hwnd, static_cast<UINT>(ParseNumber(argv[1])), static_cast<WPARAM>(ParseNumber(argv[2])),
                        static_cast<LPARAM>(ParseNumber(argv[3])))
               ? 0
               : 1;
}

// A posted WM_COMMAND does not end a message box under Wine; a button click
// does.
int Click(int argc, char** argv) {
    if (argc < 2) return 2;
    HWND button = GetDlgItem(ParseHwnd(argv[0]), static_cast<int>(ParseNumber(argv[1])));
    if (!button) return 1;
    return SendBounded(button, BM_CLICK, 0, 0, nullptr) ? 0 : 1;
}

int SetEdit(int argc, char** argv) {
    if (argc < 3) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    int id = static_cast<int>(ParseNumber(argv[1]));
    HWND edit = id ? GetDlgItem(hwnd, id) : hwnd;
    if (!edit) return 1;
    DWORD_PTR ok = 0;
    return SendBounded(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]), &ok) && ok ? 0 : 1;
}

struct BoxScan {
    std::string statics;
    std::string buttons;
};

BOOL CALLBACK ScanBoxChild(HWND child, LPARAM param) {
    auto* scan = reinterpret_cast<BoxScan*>(param);
    std::string cls = ClassOf(child);
    std::string text = WindowText(child);
    if (_stricmp(cls.c_str(), "Static") == 0) {
        if (text.empty()) return TRUE;
        if (!scan->statics.empty()) scan->statics += '|';
        scan->statics += text;
    } else if (_stricmp(cls.c_str(), "Button") == 0) {
        if (!scan->buttons.empty()) scan->buttons += ',';
        scan->buttons += std::to_string(GetDlgCtrlID(child)) + ":" + text;
    }
    return TRUE;
}

// One line per visible dialog window: HWND, process id, caption, the texts
// of its static controls joined by '|', its buttons as ID:TEXT joined by ','.
BOOL CALLBACK PrintBox(HWND hwnd, LPARAM count) {
    if (ClassOf(hwnd) != "#32770" || !IsWindowVisible(hwnd)) return TRUE;
    BoxScan scan;
    EnumChildWindows(hwnd, ScanBoxChild, reinterpret_cast<LPARAM>(&scan));
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    char caption[512] = "";
    GetWindowTextA(hwnd, caption, sizeof caption);
    PrintHwnd(hwnd);
    printf("\t%lu\t", static_cast<unsigned long>(pid));
    PrintEscaped(caption);
    putchar('\t');
    PrintEscaped(scan.statics);
    putchar('\t');
    PrintEscaped(scan.buttons);
    putchar('\n');
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

int Boxes(int, char**) {
    int count = 0;
    EnumWindows(PrintBox, reinterpret_cast<LPARAM>(&count));
    return count ? 0 : 1;
}

// Rows of a list view, cells separated by tabs (escaped inside cells).
int ListItems(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND list = ParseHwnd(argv[0]);
    if (!IsWindow(list)) return 1;
    DWORD_PTR rows = 0, columns = 1;
    if (!SendBounded(list, LVM_GETITEMCOUNT, 0, 0, &rows)) return 1;
    DWORD_PTR header = 0;
    if (SendBounded(list, LVM_GETHEADER, 0, 0, &header) && header) {
        DWORD_PTR n = 0;
        if (SendBounded(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, &n) && n > 0 &&
            n < 64)
            columns = n;
    }
    constexpr size_t kTextCapacity = 1024;
    RemoteBuffer remote(list, sizeof(LVITEMA) + kTextCapacity + 1);
    if (!remote.ok()) return 1;
    for (DWORD_PTR row = 0; row < rows; ++row) {
        for (DWORD_PTR column = 0; column < columns; ++column) {
            LVITEMA item{};
            item.iSubItem = static_cast<int>(column);
            item.pszText = remote.at(sizeof(LVITEMA));
            item.cchTextMax = static_cast<int>(kTextCapacity);
            const char zero = 0;
            if (!remote.Write(0, &item, sizeof item) || !remote.Write(sizeof(LVITEMA), &zero, 1))
                return 1;
            SendBounded(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(remote.at(0)), nullptr);
            if (column) putchar('\t');
            PrintEscaped(remote.ReadText(sizeof(LVITEMA), kTextCapacity));
        }
        putchar('\n');
    }
    return 0;
}

int WaitGone(int argc, char** argv) {
    if (argc < 2) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    DWORD waitMs = static_cast<DWORD>(ParseNumber(argv[1]));
    DWORD start = GetTickCount();
    while (IsWindow(hwnd)) {
        if (GetTickCount() - start >= waitMs) return 1;
        Sleep(50);
    }
    return 0;
}

// Freezes the thread that owns a window for MS, as a hung program would be.
int Suspend(int argc, char** argv) {
    if (argc < 2) return 2;
    DWORD tid = GetWindowThreadProcessId(ParseHwnd(argv[0]), nullptr);
    HANDLE thread = tid ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, tid) : nullptr;
    if (!thread) return 1;
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
        CloseHandle(thread);
        return 1;
    }
    printf("suspended\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(ParseNumber(argv[1])));
    ResumeThread(thread);
    CloseHandle(thread);
    return 0;
}

// What the shell sends to every top-level window when it (re)starts.
int BroadcastTaskbarCreated(int, char**) {
    UINT message = RegisterWindowMessageA("TaskbarCreated");
    return message && PostMessageA(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
}

// Outer rectangle of a window in screen pixels: LEFT TOP RIGHT BOTTOM.
int Rect(int argc, char** argv) {
    if (argc < 1) return 2;
    RECT r;
    if (!GetWindowRect(ParseHwnd(argv[0]), &r)) return 1;
    printf("%ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top), static_cast<long>(r.right),
           static_cast<long>(r.bottom));
    return 0;
}

// Moves and sizes a window of another program as a user dragging its frame
// would: the owner gets WM_WINDOWPOSCHANGED and WM_SIZE.
int SetPos(int argc, char** argv) {
    if (argc < 5) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    return SetWindowPos(hwnd, nullptr, static_cast<int>(ParseNumber(argv[1])), static_cast<int>(ParseNumber(argv[2])),
                        static_cast<int>(ParseNumber(argv[3])), static_cast<int>(ParseNumber(argv[4])),
                        SWP_NOZORDER | SWP_NOACTIVATE)
               ? 0
               : 1;
}

// Waits until the thread that owns a window has worked through what was
// posted to it before: each round trip of a sent WM_NULL needs one more
// turn of its message loop, and a posted message may post a follow-up
// (WM_CLOSE of a dialog posts its IDCANCEL).
int Sync(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    for (int round = 0; round < 4; ++round)
        if (!IsWindow(hwnd) || !SendBounded(hwnd, WM_NULL, 0, 0, nullptr)) return 1;
    return 0;
}

// ---- the shell's notification area ------------------------------------------

// Wine's Shell_NotifyIcon sends each request to the window of class
// "Shell_TrayWnd" as WM_COPYDATA: dwData the request (NIM_ADD 0, NIM_MODIFY 1,
// NIM_DELETE 2), the data a record that starts with the owner window (32
// bits), the icon id, the flags and the callback message. The tip (WCHAR[128])
// follows at once in older Wine versions and after four more fields (the icon
// bitmap's size) in newer ones: the first of the two that reads as text wins.
bool trayAccepts = false;

std::string TipAt(const COPYDATASTRUCT* data, size_t offset) {
    if (data->cbData < offset + 2) return {};
    const auto* tip = reinterpret_cast<const WCHAR*>(static_cast<const char*>(data->lpData) + offset);
    size_t room = (data->cbData - offset) / sizeof(WCHAR);
    std::string text;
    for (size_t i = 0; i < room && i < 128 && tip[i]; ++i) {
        if (tip[i] < 0x20 || tip[i] > 0x7e) return {};
        text += static_cast<char>(tip[i]);
    }
    return text;
}

LRESULT CALLBACK TrayProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COPYDATA) return DefWindowProcA(hwnd, message, wParam, lParam);
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (data && data->cbData >= 16) {
        UINT fields[4];
        memcpy(fields, data->lpData, sizeof fields);
        static const char* const kNames[] = {"ADD", "MODIFY", "DELETE", "SETFOCUS", "SETVERSION"};
        const char* name = data->dwData < 5 ? kNames[data->dwData] : "?";
        std::string tip = TipAt(data, 16);
        if (tip.empty()) tip = TipAt(data, 32);
        printf("%s\t0x%x\t%u\t0x%x\t0x%x\t", name, fields[0], fields[1], fields[2], fields[3]);
        PrintEscaped(tip);
        printf("\t%s\n", trayAccepts ? "accepted" : "refused");
        fflush(stdout);
    }
    return trayAccepts;
}

// Plays the shell's notification area for MS: the shell finds it by its
// class name, and this window is found before the real one. "accept" takes
// every request, "refuse" fails them all. Prints "tray" once in place, then
// one line per request: the request, owner window, icon id, flags, callback
// message, tip, and whether it was accepted.
int Tray(int argc, char** argv) {
    if (argc < 2) return 2;
    trayAccepts = strcmp(argv[1], "accept") == 0;
    WNDCLASSA wc{};
    wc.lpfnWndProc = TrayProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "Shell_TrayWnd";
    if (!RegisterClassA(&wc)) return 1;
    HWND tray = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "Shell_TrayWnd", "", WS_POPUP, 0, 0, 0, 0,
                                nullptr, nullptr, wc.hInstance, nullptr);
    if (!tray || FindWindowExA(nullptr, nullptr, "Shell_TrayWnd", nullptr) != tray) return 1;
    printf("tray\n");
    fflush(stdout);
    DWORD waitMs = static_cast<DWORD>(ParseNumber(argv[0]));
    DWORD start = GetTickCount();
    while (GetTickCount() - start < waitMs) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    DestroyWindow(tray);
    return 0;
}

// The visible popup menus (class #32768) of the process that owns HWND:
// one line each with the menu window and its size in pixels.
BOOL CALLBACK PrintPopup(HWND hwnd, LPARAM pid) {
    DWORD owner = 0;
    GetWindowThreadProcessId(hwnd, &owner);
    if (owner != static_cast<DWORD>(pid) || ClassOf(hwnd) != "#32768" || !IsWindowVisible(hwnd)) return TRUE;
    RECT r;
    GetWindowRect(hwnd, &r);
    PrintHwnd(hwnd);
    printf("\t%ld\t%ld\n", static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
    return TRUE;
}

int Popups(int argc, char** argv) {
    if (argc < 1) return 2;
    DWORD pid = 0;
    GetWindowThreadProcessId(ParseHwnd(argv[0]), &pid);
    if (!pid) return 1;
    EnumWindows(PrintPopup, static_cast<LPARAM>(pid));
    return 0;
}

// ---- service manager -------------------------------------------------------

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "STOPPED";
        case SERVICE_START_PENDING: return "START_PENDING";
        case SERVICE_STOP_PENDING: return "STOP_PENDING";
        case SERVICE_RUNNING: return "RUNNING";
        case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
        case SERVICE_PAUSED: return "PAUSED";
        default: return "?";
    }
}

void PrintStatus(const SERVICE_STATUS& s) {
    printf("%s checkpoint=%lu wait=%lu accepts=0x%lx exit=%lu type=0x%lx\n", StateName(s.dwCurrentState),
           static_cast<unsigned long>(s.dwCheckPoint), static_cast<unsigned long>(s.dwWaitHint),
           static_cast<unsigned long>(s.dwControlsAccepted), static_cast<unsigned long>(s.dwWin32ExitCode),
           static_cast<unsigned long>(s.dwServiceType));
}

class Service {
public:
    Service(const char* name, DWORD access) {
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager_) service_ = OpenServiceA(manager_, name, access);
        if (!service_) error_ = GetLastError();
    }
    ~Service() {
        if (service_) CloseServiceHandle(service_);
        if (manager_) CloseServiceHandle(manager_);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    SC_HANDLE get() const { return service_; }
    // Prints the reason the service could not be opened.
    bool Check() const {
        if (!service_) printf("error %lu\n", static_cast<unsigned long>(error_));
        return service_ != nullptr;
    }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    DWORD error_ = 0;
};

int ServiceConfig(int argc, char** argv) {
    if (argc < 1) return 2;
    Service service(argv[0], SERVICE_QUERY_CONFIG);
    if (!service.Check()) return 1;
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    printf("type=0x%lx\nstart=%lu\nerrorcontrol=%lu\n", static_cast<unsigned long>(config->dwServiceType),
           static_cast<unsigned long>(config->dwStartType), static_cast<unsigned long>(config->dwErrorControl));
    printf("binary=%s\naccount=%s\ndisplay=%s\n", config->lpBinaryPathName ? config->lpBinaryPathName : "",
           config->lpServiceStartName ? config->lpServiceStartName : "",
           config->lpDisplayName ? config->lpDisplayName : "");
    // What Windows keeps beside the registration: the delayed start and the
    // recovery actions ("error N" where the query fails).
    SERVICE_DELAYED_AUTO_START_INFO delayed{};
    if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                             reinterpret_cast<BYTE*>(&delayed), sizeof delayed, &needed))
        printf("delayed=%d\n", delayed.fDelayedAutostart ? 1 : 0);
    else
        printf("delayed=error %lu\n", static_cast<unsigned long>(GetLastError()));
    needed = 0;
    QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> actions(needed + 16);
    auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(actions.data());
    if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, actions.data(),
                             static_cast<DWORD>(actions.size()), &needed)) {
        printf("failure=reset %lu", static_cast<unsigned long>(failure->dwResetPeriod));
        for (DWORD i = 0; i < failure->cActions; i++)
            printf(" %d/%lu", static_cast<int>(failure->lpsaActions[i].Type),
                   static_cast<unsigned long>(failure->lpsaActions[i].Delay));
        printf("\n");
    } else {
        printf("failure=error %lu\n", static_cast<unsigned long>(GetLastError()));
    }
    return 0;
}

// The text Event Viewer would show for an entry: message ID of the file's
// message table, with TEXT as its one insertion string.
int EventText(int argc, char** argv) {
    if (argc < 3) return 2;
    HMODULE module = LoadLibraryExA(argv[0], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    DWORD_PTR inserts[1] = {reinterpret_cast<DWORD_PTR>(argv[2])};
    char text[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                             static_cast<DWORD>(strtoul(argv[1], nullptr, 0)), 0, text, sizeof text,
                             reinterpret_cast<va_list*>(inserts));
    DWORD error = GetLastError();
    FreeLibrary(module);
    if (n == 0) {
        printf("error %lu\n", static_cast<unsigned long>(error));
        return 1;
    }
    PrintEscaped(std::string(text, n));
    return 0;
}

int ServiceStatus(int argc, char** argv) {
    if (argc < 1) return 2;
    Service service(argv[0], SERVICE_QUERY_STATUS);
    if (!service.Check()) return 1;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    PrintStatus(status);
    return 0;
}

int ServiceStart(int argc, char** argv) {
    if (argc < 1) return 2;
    Service service(argv[0], SERVICE_START);
    if (!service.Check()) return 1;
    if (!StartServiceA(service.get(), 0, nullptr)) {
        printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return 0;
}

// Sends a control code and prints the status the service answered with.
int ServiceControl(int argc, char** argv) {
    if (argc < 2) return 2;
    Service service(argv[0], SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL |
                                 SERVICE_QUERY_STATUS);
    if (!service.Check()) return 1;
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), static_cast<DWORD>(ParseNumber(argv[1])), &status)) {
        printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    PrintStatus(status);
    return 0;
}

// Holds the service open for MS: a service deleted meanwhile stays marked for
// deletion until the handle is closed.
int ServiceHold(int argc, char** argv) {
    if (argc < 2) return 2;
    Service service(argv[0], SERVICE_QUERY_STATUS);
    if (!service.Check()) return 1;
    printf("holding\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(ParseNumber(argv[1])));
    return 0;
}

// Test clean-up: removes a service left over by an earlier run.
int ServiceDelete(int argc, char** argv) {
    if (argc < 1) return 2;
    Service service(argv[0], DELETE);
    if (!service.Check()) return 1;
    if (!DeleteService(service.get())) {
        printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    return 0;
}

// Polls the status and prints every change it sees, until the service has
// left STOPPED and come back to it, or MS have passed (exit code 1). Quick
// transitions between two polls can be missed.
int ServiceWatch(int argc, char** argv) {
    if (argc < 2) return 2;
    Service service(argv[0], SERVICE_QUERY_STATUS);
    if (!service.Check()) return 1;
    DWORD waitMs = static_cast<DWORD>(ParseNumber(argv[1]));
    DWORD start = GetTickCount();
    SERVICE_STATUS last{};
    bool first = true, active = false;
    for (;;) {
        SERVICE_STATUS now{};
        if (!QueryServiceStatus(service.get(), &now)) return 1;
        if (first || memcmp(&now, &last, sizeof now) != 0) {
            PrintStatus(now);
            fflush(stdout);
            last = now;
            first = false;
        }
        if (now.dwCurrentState != SERVICE_STOPPED) active = true;
        else if (active) return 0;
        if (GetTickCount() - start >= waitMs) return 1;
        Sleep(1);
    }
}

// ---- a target for the probe's own self-test ----------------------------------

LRESULT CALLBACK DemoProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// A window with a three-part status bar, a two-column list view and an
// edit control, for checking the cross-process readers.
int Demo(int, char**) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSA wc{};
    wc.lpfnWndProc = DemoProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ProbeDemo";
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    if (!RegisterClassA(&wc)) return 1;
    HWND main = CreateWindowA("ProbeDemo", "Probe demo", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 400,
                              300, nullptr, nullptr, wc.hInstance, nullptr);
    if (!main) return 1;
    HWND bar = CreateWindowA(STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, main,
                             reinterpret_cast<HMENU>(200), wc.hInstance, nullptr);
    int parts[3] = {65, 140, -1};
    SendMessageA(bar, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
    const char* texts[3] = {"  RUNNING", " Loop: 1/2", "part two"};
    for (int i = 0; i < 3; ++i) SendMessageA(bar, SB_SETTEXTA, i, reinterpret_cast<LPARAM>(texts[i]));
    HWND list = CreateWindowA(WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT, 0, 0, 380, 150, main,
                              reinterpret_cast<HMENU>(300), wc.hInstance, nullptr);
    const char* headings[2] = {"User", "Folder"};
    for (int c = 0; c < 2; ++c) {
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = 150;
        column.pszText = const_cast<char*>(headings[c]);
        SendMessageA(list, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&column));
    }
    const char* cells[2][2] = {{"john", "<UserFolder\\>john"}, {"mary", "@D:\\Mail\\mary"}};
    for (int r = 0; r < 2; ++r) {
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = r;
        item.pszText = const_cast<char*>(cells[r][0]);
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 1;
        item.pszText = const_cast<char*>(cells[r][1]);
        SendMessageA(list, LVM_SETITEMTEXTA, r, reinterpret_cast<LPARAM>(&item));
    }
    CreateWindowA("EDIT", "edit me", WS_CHILD | WS_VISIBLE | WS_BORDER, 0, 160, 200, 24, main,
                  reinterpret_cast<HMENU>(400), wc.hInstance, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

// Whether a top-level window is shown: "visible" or "hidden", then
// "minimized" or "normal".
int State(int argc, char** argv) {
    if (argc < 1) return 2;
    HWND hwnd = ParseHwnd(argv[0]);
    if (!IsWindow(hwnd)) return 1;
    printf("%s %s\n", IsWindowVisible(hwnd) ? "visible" : "hidden",
           IsIconic(hwnd) ? "minimized" : "normal");
    return 0;
}

INT_PTR CALLBACK TemplateProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// Shows a dialog template of another program's resources (loaded as data,
// never run) until its button 1 or 2 is pressed: for looking at and reading
// boxes the program opens only from places a test cannot reach.
int Template(int argc, char** argv) {
    if (argc < 2) return 2;
    HMODULE module = LoadLibraryExA(argv[0], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return 1;
    INT_PTR rc = DialogBoxParamA(module, argv[1], nullptr, TemplateProc, 0);
    FreeLibrary(module);
    return rc > 0 ? 0 : 1;
}

// Keeps a program of the prefix running: when the last one ends, Wine shuts
// the prefix's services down.
int Idle(int argc, char** argv) {
    if (argc < 1) return 2;
    Sleep(static_cast<DWORD>(ParseNumber(argv[0])));
    return 0;
}

// Holds a file open for writing, as a program still writing it does (others
// may read, none may write), for MS milliseconds.
int WriteHold(int argc, char** argv) {
    if (argc < 2) return 2;
    HANDLE h = CreateFileA(argv[0], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    printf("holding\n");
    fflush(stdout);
    Sleep(static_cast<DWORD>(ParseNumber(argv[1])));
    CloseHandle(h);
    return 0;
}

int ShowBox(int argc, char** argv) {
    if (argc < 2) return 2;
    return MessageBoxA(nullptr, argv[1], argv[0], MB_OK) == IDOK ? 0 : 1;
}

// Adds a PEM certificate to the machine's Root store, which the window, the
// service and WinHTTP all trust: how a test trusts the CA it made.
int TrustRoot(int argc, char** argv) {
    if (argc < 1) return 2;
    FILE* f = fopen(argv[0], "rb");
    if (!f) return 1;
    std::string pem;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) pem.append(buf, n);
    fclose(f);
    DWORD len = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &len, nullptr, nullptr)) return 1;
    std::vector<BYTE> der(len);
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &len, nullptr, nullptr))
        return 1;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (!store) return 1;
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), len,
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}

// Stands in for the web browser (a test registers it for https:): notes
// the address it was asked to open, one line each, for the test to visit.
int Browse(int argc, char** argv) {
    if (argc < 2) return 2;
    FILE* f = fopen(argv[0], "ab");
    if (!f) return 1;
    fprintf(f, "%s\n", argv[1]);
    return fclose(f) == 0 ? 0 : 1;
}

struct Subcommand {
    const char* name;
    int (*run)(int, char**);
    const char* usage;
};

const Subcommand kSubcommands[] = {
    {"find", Find, "find CLASS|- TITLE|- [WAIT-MS]"},
    {"title", Title, "title HWND"},
    {"text", Text, "text HWND"},
    {"children", Children, "children HWND"},
    {"sbtext", StatusText, "sbtext HWND PART"},
    {"command", Command, "command HWND ID"},
    {"send", Send, "send HWND MSG WPARAM LPARAM"},
    {"post", Post, "post HWND MSG WPARAM LPARAM"},
    {"click", Click, "click HWND CONTROLID"},
    {"setedit", SetEdit, "setedit HWND ID|0 TEXT"},
    {"boxes", Boxes, "boxes"},
    {"lvitems", ListItems, "lvitems HWND"},
    {"wait-gone", WaitGone, "wait-gone HWND MS"},
    {"suspend", Suspend, "suspend HWND MS"},
    {"broadcast-taskbarcreated", BroadcastTaskbarCreated, "broadcast-taskbarcreated"},
    {"rect", Rect, "rect HWND"},
    {"setpos", SetPos, "setpos HWND X Y W H"},
    {"sync", Sync, "sync HWND"},
    {"tray", Tray, "tray MS accept|refuse"},
    {"popups", Popups, "popups HWND"},
    {"sbparts", StatusParts, "sbparts HWND"},
    {"svc-config", ServiceConfig, "svc-config NAME"},
    {"event-text", EventText, "event-text FILE ID TEXT"},
    {"svc-status", ServiceStatus, "svc-status NAME"},
    {"svc-start", ServiceStart, "svc-start NAME"},
    {"svc-control", ServiceControl, "svc-control NAME CODE"},
    {"svc-watch", ServiceWatch, "svc-watch NAME MS"},
    {"svc-hold", ServiceHold, "svc-hold NAME MS"},
    {"svc-delete", ServiceDelete, "svc-delete NAME"},
    {"demo", Demo, "demo"},
    {"idle", Idle, "idle MS"},
    {"write-hold", WriteHold, "write-hold FILE MS"},
    {"msgbox", ShowBox, "msgbox CAPTION TEXT"},
    {"state", State, "state HWND"},
    {"template", Template, "template EXE NAME"},
    {"trust-root", TrustRoot, "trust-root PEM-FILE"},
    {"browse", Browse, "browse FILE URL"},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2) {
        for (const auto& sub : kSubcommands) {
            if (strcmp(argv[1], sub.name) != 0) continue;
            int rc = sub.run(argc - 2, argv + 2);
            if (rc == 2) fprintf(stderr, "usage: probe %s\n", sub.usage);
            fflush(stdout);
            return rc;
        }
    }
    fprintf(stderr, "usage: probe SUBCOMMAND ARGS...\n");
    for (const auto& sub : kSubcommands) fprintf(stderr, "  %s\n", sub.usage);
    return 2;
}
