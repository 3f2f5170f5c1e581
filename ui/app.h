// What the host (entry point, service runtime) needs from the windowed
// application: the main window class, the window itself and the message loop.
#pragma once

#include <windows.h>

#include <atomic>

constexpr UINT UM_CLOSEREQUEST = WM_USER + 1;  // close the main window (stop handler)
constexpr UINT UM_TRAYRETRY = WM_USER + 3;     // re-insert the tray icon; wParam = attempt
constexpr UINT UM_TRAYNOTIFY = WM_USER + 14;   // tray icon callback; lParam = mouse message
constexpr UINT UM_QUEUEPROBLEM = WM_USER + 30; // the worker met bad mail or a failed domain

extern HINSTANCE appInstance;  // kept by WinMain for resources and dialogs
extern HWND mainWindow;
// Set by the service's stop handler, cleared when the message loop ends.
extern std::atomic<int> serviceClosing;

// Registers "AmbrelClass"; false when the system refuses.
bool RegisterMainClass(HINSTANCE instance);
// Creates the main window, status bar and log control, starts the worker and
// the socket library, writes the opening line and adds the tray icon.
// Non-zero when the message loop must run; shows its own message otherwise.
int CreateMainWindow(HINSTANCE instance, int showCommand);
// Runs until WM_QUIT; returns its wParam.
int RunMessageLoop();
// The service's stop: posts the close request to the main window, or, when
// the window is already gone, WM_QUIT to the thread that ran it. False when
// neither could be posted (no loop is left to end).
bool PostCloseRequest();

// The modeless Queue window (ui/queue.cpp); brought to the front when open.
void OpenQueueWindow();
// Installs the worker's problem hook: it posts UM_QUEUEPROBLEM to `window`,
// whose handler calls ShowQueueProblem (a tray balloon).
void InstallQueueHooks(HWND window);
void ShowQueueProblem();

// Procedures of the "AboutBox" and "HelpBox" dialog templates; the
// configuration dialogs open "HelpBox" on F1.
INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK HelpBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
