// What the pieces of the main window (window procedure, status bar, tray,
// log font) share among themselves.
#pragma once

#include <windows.h>

#include <atomic>

extern HWND statusBar;
extern HWND logEdit;
extern DWORD uiThreadId;  // the thread that owns the windows
extern int windowHidden;  // hidden to the tray

// Private messages the worker posts to the main window, so that every change
// to a window happens on the thread that owns it.
constexpr UINT UM_LOGREFRESH = WM_USER + 20;     // show the log window text again
constexpr UINT UM_STATUSREFRESH = WM_USER + 21;  // status parts 0 and 2
constexpr UINT UM_LOOPREFRESH = WM_USER + 23;    // loop part; wParam second, lParam delay
constexpr UINT UM_SENDNOWSERVED = WM_USER + 22;  // enable "&Send NOW" again

// A handler in front of the window procedure, for the test build of the
// program only (tests/wine/menu_query.cpp fills it in). The product leaves it
// empty: whatever the shipped program answers, any process on the desktop
// can send. True when it answered the message (with *result).
using TestMessageHook = bool (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
extern TestMessageHook testMessageHook;

// Status bar and log font.
void RefreshStatusParts();
void RefreshLoopPart(int second, int delay);
void ApplyLogFont();
void InstallStatusHooks();
// Sets the whole log text into the log window and scrolls to its end.
void ShowLogWindowText();

// Notification-area icon.
extern int trayWanted;
extern int trayPresent;
extern HMENU trayMenu;
// Fills the icon record (owner, callback, icon 106, tip) and loads the menu.
void PrepareTray(HWND owner, const char* tip);
int UpdateTrayIcon();
// The tray part of the shutdown: delete the icon, free its image and menu.
void ReleaseTray();
// A warning balloon at the tray icon (when it is there).
void ShowTrayBalloon(const char* title, const char* text);
