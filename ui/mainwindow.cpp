// The main window: log window, status bar, menus and tray icon; the worker
// thread and the socket library are started with it. The same window serves
// the application and the service, which only differ in how it may be closed.
#include <windows.h>
// needs windows.h first
#include <commctrl.h>

#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "host/shutdown.h"
#include "log/log.h"
#include "mainwindow_internal.h"
#include "platform/platform.h"
#include "relay/relay.h"
#include "resource.h"
#include "ui/app.h"
#include "ui/dialogs.h"

HINSTANCE appInstance = nullptr;
HWND mainWindow = nullptr;
std::atomic<int> serviceClosing{0};

HWND statusBar = nullptr;
HWND logEdit = nullptr;
DWORD uiThreadId = 0;
int windowHidden = 0;
TestMessageHook testMessageHook = nullptr;

namespace {

const char kClassName[] = "AmbrelClass";
int statusHeight = 0;
HBRUSH LogBrush = nullptr;
UINT taskbarCreatedMessage = 0;

void FailBox(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

void ConfirmExit(HWND window) {
    if (hostSettings.serviceMode) {
        // Only a service stop closes the window.
        if (trayPresent) {
            ShowWindow(window, SW_HIDE);
            windowHidden = 1;
        }
        return;
    }
    if (trayPresent) {
        int answer = MessageBoxA(window,
                                 "       Exit Windows Ambrel ?\n"
                                 "          'OK' to Exit\n"
                                 "          'No'   to Send to SystemTray",
                                 "Exit Windows Ambrel", MB_YESNOCANCEL);
        if (answer == IDYES) {
            DestroyWindow(window);
        } else if (answer == IDNO) {
            ShowWindow(window, SW_HIDE);
            windowHidden = 1;
        }
        return;
    }
    if (MessageBoxA(window, "       Exit Windows Ambrel ?", "Exit Windows Ambrel", MB_YESNO) ==
        IDYES)
        DestroyWindow(window);
}

// What PAUSE and Send NOW share: cut a connect back-off short and redraw the
// menu bar and the status bar.
void CommandTail(HWND window) {
    relayState.cancelBackoff = 1;
    PostMessageA(window, WM_NCACTIVATE, TRUE, 0);
    DrawMenuBar(window);
    PostMessageA(window, WM_NCPAINT, 1, 0);
    UpdateStatusBar();
}

void OnCommand(HWND window, WPARAM command) {
    HMENU menu = GetMenu(window);
    switch (command) {
    case IDM_ABOUT:
        DialogBoxA(appInstance, "AboutBox", window, AboutBoxProc);
        break;
    case IDM_EXIT:
        ConfirmExit(window);
        break;
    case IDM_QUEUE:
        OpenQueueWindow();
        break;
    case IDM_CLEARSCREEN:
        ClearLogWindowText();
        LogBrush = (HBRUSH)GetStockObject(WHITE_BRUSH);
        LogToWindow("%s", "");
        break;
    case IDM_SENDNOW:
        if (!relayState.sendNow) EnableMenuItem(menu, IDM_SENDNOW, MF_BYCOMMAND | MF_GRAYED);
        RequestSendNow();
        CommandTail(window);
        break;
    case IDM_PAUSE:
        relayState.paused = !relayState.paused;
        ModifyMenuA(menu, IDM_PAUSE, MF_BYCOMMAND | MF_STRING, IDM_PAUSE,
                    relayState.paused ? "&RESUME" : "&PAUSE");
        CommandTail(window);
        break;
    case IDM_OPTIONS:
        if (DialogBoxA(appInstance, "Options", window, OptionsDialogProc) > 0) UpdateStatusBar();
        break;
    case IDM_SHOW:
        ShowWindow(window, SW_RESTORE);
        windowHidden = 0;
        SetForegroundWindow(window);
        break;
    case IDM_TRAYEXIT:
        if (hostSettings.serviceMode) break;
        if (MessageBoxA(window, "       Exit Windows Ambrel ?", "Exit Ambrel", MB_YESNO) == IDYES) {
            ShutdownResources();
            PostQuitMessage(0);
        }
        break;
    default:
        break;
    }
}

void OnTrayRetry(HWND window, int attempt) {
    Sleep(250);
    int done = UpdateTrayIcon();
    if (done && trayPresent) {
        LogToWindow("TaskBarIcon reinserted\r\n");
        if (windowHidden) ShowWindow(window, SW_HIDE);
        return;
    }
    // A delete that went through (it follows a failed add) has not put the
    // icon back: the next attempt asks for the add again rather than
    // reporting the icon as reinserted.
    if (done) trayWanted = 1;
    if (attempt < 6) {
        Sleep(250);
        PostMessageA(window, UM_TRAYRETRY, attempt + 1, 0);
    } else {
        LogToWindow("Error reinserting TaskBarIcon\r\n");
        ShowWindow(window, SW_SHOW);
        windowHidden = 0;
    }
}

void OnTrayNotify(HWND window, LPARAM mouse) {
    if (mouse == WM_LBUTTONDOWN || mouse == WM_RBUTTONDOWN) {
        POINT at;
        GetCursorPos(&at);
        SetForegroundWindow(window);
        if (trayMenu)
            TrackPopupMenu(GetSubMenu(trayMenu, 0), TPM_RIGHTALIGN | TPM_BOTTOMALIGN, at.x, at.y, 0,
                           window, nullptr);
        SendMessageA(window, WM_NULL, 0, 0);
    } else if (mouse == WM_LBUTTONDBLCLK) {
        PostMessageA(window, WM_COMMAND, IDM_SHOW, 0);
    } else if (mouse == NIN_BALLOONUSERCLICK) {
        OpenQueueWindow();
    }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT answer = 0;
    if (testMessageHook && testMessageHook(window, message, wParam, lParam, &answer)) return answer;
    if (taskbarCreatedMessage && message == taskbarCreatedMessage) {
        // The shell restarted: its notification area is empty again.
        Sleep(100);
        trayWanted = 1;
        trayPresent = 0;
        PostMessageA(window, UM_TRAYRETRY, 0, 0);
        return DefWindowProcA(window, message, wParam, lParam);
    }

    switch (message) {
    case WM_CREATE:
        taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
        if (!taskbarCreatedMessage) LogToWindow("WM_TB register error !\r\n");
        return 0;
    case WM_DESTROY:
        if (!hostSettings.serviceMode || serviceClosing) {
            ShutdownResources();
            PostQuitMessage(0);
        }
        return 0;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED) {
            if (trayPresent) {
                ShowWindow(window, SW_HIDE);
                windowHidden = 1;
            }
        } else {
            if (logEdit)
                MoveWindow(logEdit, 0, 0, LOWORD(lParam), HIWORD(lParam) - statusHeight, TRUE);
            if (statusBar) PostMessageA(statusBar, WM_SIZE, 0, 0);
        }
        return 0;
    case WM_CLOSE:
        ConfirmExit(window);
        return 0;
    case WM_COMMAND:
        OnCommand(window, wParam);
        return 0;
    case WM_CTLCOLORSTATIC:
        // The read-only log window: white behind the text as well.
        SetBkColor((HDC)wParam, RGB(255, 255, 255));
        return (LRESULT)LogBrush;
    case UM_CLOSEREQUEST:
        // Any program on the desktop can post this. Only the service's stop
        // handler means it, and it sets serviceClosing first: acted on at any
        // other time, it would end the application without the exit question,
        // or take the service's window away with no stop under way, so that a
        // later stop had no loop left to end.
        if (!hostSettings.serviceMode || !serviceClosing) return 0;
        ShutdownResources();
        DestroyWindow(window);
        return 0;
    case UM_TRAYRETRY:
        OnTrayRetry(window, (int)wParam);
        return 0;
    case UM_TRAYNOTIFY:
        OnTrayNotify(window, lParam);
        return 0;
    case UM_QUEUEPROBLEM:
        ShowQueueProblem();
        return 0;
    case UM_LOGREFRESH:
        ShowLogWindowText();
        return 0;
    case UM_STATUSREFRESH:
        RefreshStatusParts();
        return 0;
    case UM_LOOPREFRESH:
        RefreshLoopPart((int)(INT_PTR)wParam, (int)lParam);
        return 0;
    case UM_SENDNOWSERVED:
        EnableMenuItem(GetMenu(window), IDM_SENDNOW, MF_BYCOMMAND | MF_ENABLED);
        PostMessageA(window, WM_NCACTIVATE, TRUE, 0);
        DrawMenuBar(window);
        PostMessageA(window, WM_NCPAINT, 1, 0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

bool RegisterMainClass(HINSTANCE instance) {
    WNDCLASSA wc = {};
    wc.style = CS_CLASSDC | CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_AMBREL));
    wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = "SMTPMenu";
    wc.lpszClassName = kClassName;
    return RegisterClassA(&wc) != 0;
}

int CreateMainWindow(HINSTANCE instance, int showCommand) {
    uiThreadId = GetCurrentThreadId();
    shutdownHostUi = ReleaseTray;
    LogBrush = (HBRUSH)GetStockObject(WHITE_BRUSH);
    InstallStatusHooks();
    InitCommonControls();

    // serviceName holds at most 63 characters, so the title always fits.
    char title[100];
    if (strcmp(hostSettings.serviceName, "Ambrel") == 0)
        snprintf(title, sizeof title, " Windows Ambrel");
    else
        snprintf(title, sizeof title, " Windows Ambrel (%s)", hostSettings.serviceName);

    mainWindow = CreateWindowA(kClassName, title, WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                               nullptr, instance, nullptr);
    if (!mainWindow) return 0;
    if (hostSettings.serviceMode)
        EnableMenuItem(GetMenu(mainWindow), IDM_EXIT, MF_BYCOMMAND | MF_GRAYED);

    statusBar = CreateStatusWindowA(WS_CHILD | WS_VISIBLE, "", mainWindow, IDC_STATUSBAR);
    if (!statusBar) {
        FailBox("Unable to open Status Window");
        return 0;
    }
    int parts[3] = {65, 140, -1};
    SendMessageA(statusBar, SB_SETPARTS, 3, (LPARAM)parts);
    RECT r;
    statusHeight = GetWindowRect(statusBar, &r) ? r.bottom - r.top : 0;

    RECT client;
    GetClientRect(mainWindow, &client);
    logEdit = CreateWindowA("Edit", "",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL | ES_READONLY |
                                ES_WANTRETURN,
                            0, 0, client.right, client.bottom - statusHeight, mainWindow, nullptr,
                            instance, nullptr);
    if (!logEdit) {
        FailBox("Unable to open Log Window");
        return 0;
    }
    ApplyLogFont();
    // Whatever was logged before the log window existed shows up now.
    ShowLogWindowText();

    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);
    SendMessageA(mainWindow, WM_SETREDRAW, TRUE, 0);

    // The socket library before the worker: its first connect needs it
    // (10093 otherwise, when the worker gets there first).
    if (!StartSocketLibrary()) return 0;
    // Marked running before it starts, so that a shutdown right after this
    // still waits for it.
    relayState.workerRunning = 1;
    if (!StartThread(RelayWorker, nullptr)) {
        relayState.workerRunning = 0;
        MessageBoxA(nullptr, "Unable to SMTP thread", " Ambrel Error", MB_OK);
        return 0;
    }

    char when[200];
    FormatLocalTime("%b %d %H:%M:%S", when, sizeof when);
    LogToWindow("---- %s     Windows Ambrel is opened ----\r\n", when);
    UpdateStatusBar();
    UpdateLoopStatus();

    PrepareTray(mainWindow, title + 1);
    InstallQueueHooks(mainWindow);
    trayWanted = 1;
    UpdateTrayIcon();
    if (trayPresent && hostSettings.hideWindow) {
        ShowWindow(mainWindow, SW_HIDE);
        windowHidden = 1;
    } else {
        windowHidden = 0;
    }
    return 1;
}

int RunMessageLoop() {
    MSG msg;
    for (;;) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1) {
            ShutdownResources();
            return 0;
        }
        if (!got) break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    ShutdownResources();
    serviceClosing = 0;
    return (int)msg.wParam;
}

bool PostCloseRequest() {
    if (mainWindow && IsWindow(mainWindow) && PostMessageA(mainWindow, UM_CLOSEREQUEST, 0, 0)) return true;
    // The window is gone but its thread may still be in the message loop:
    // end the loop directly, so that the stop still completes.
    return uiThreadId && PostThreadMessageA(uiThreadId, WM_QUIT, 0, 0);
}
