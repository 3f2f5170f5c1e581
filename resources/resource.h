// Identifiers shared by the resource script and the program. Plain #defines:
// the resource compiler reads this file too.
#pragma once

// Icons: the program icon (window class, About and Help boxes) and the
// notification-area icon.
#define IDI_AMBREL 102
#define IDI_TRAY 106

// Menu commands of "SMTPMenu" and "TRAY_MENU".
#define IDM_ABOUT 1
#define IDM_EXIT 3
#define IDM_CLEARSCREEN 4
#define IDM_SENDNOW 6
#define IDM_PAUSE 8
#define IDM_OPTIONS 14
#define IDM_SHOW 17
#define IDM_TRAYEXIT 19
#define IDM_QUEUE 21
// The grayed blank items that space out the menu bar.
#define IDM_SPACER 40010

// Child window identifier of the status bar.
#define IDC_STATUSBAR 1
