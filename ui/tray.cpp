// The notification-area icon: added, modified or deleted to match two flags,
// and released by the shutdown.
#include <windows.h>
// needs windows.h first
#include <shellapi.h>

#include <cstdio>

#include "config/config.h"
#include "log/log.h"
#include "mainwindow_internal.h"
#include "resource.h"
#include "ui/app.h"

int trayWanted = 0;
int trayPresent = 0;
HMENU trayMenu = nullptr;

namespace {
NOTIFYICONDATAA TrayIconData;
HICON trayIcon = nullptr;
}  // namespace

void PrepareTray(HWND owner, const char* tip) {
    // The first form of the record: every shell understands it.
    TrayIconData = {};
    TrayIconData.cbSize = NOTIFYICONDATAA_V1_SIZE;
    TrayIconData.hWnd = owner;
    TrayIconData.uID = 10;
    TrayIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayIconData.uCallbackMessage = UM_TRAYNOTIFY;
    // A private copy of the image (not the shared one LoadIcon gives), so
    // the shutdown may destroy it.
    trayIcon = (HICON)LoadImageA(appInstance, MAKEINTRESOURCEA(IDI_TRAY), IMAGE_ICON,
                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    TrayIconData.hIcon = trayIcon;
    // The tip holds 63 characters; a longer title is cut there.
    snprintf(TrayIconData.szTip, 64, "%s", tip);

    trayMenu = LoadMenuA(appInstance, "TRAY_MENU");
    if (trayMenu && hostSettings.serviceMode)
        EnableMenuItem(trayMenu, IDM_TRAYEXIT, MF_BYCOMMAND | MF_GRAYED);
}

int UpdateTrayIcon() {
    DWORD request;
    int presentAfter;
    if (trayWanted) {
        request = trayPresent ? NIM_MODIFY : NIM_ADD;
        TrayIconData.hIcon = trayIcon;
        presentAfter = 1;
    } else {
        request = NIM_DELETE;
        presentAfter = 0;
    }
    if (Shell_NotifyIconA(request, &TrayIconData)) {
        trayPresent = presentAfter;
        return 1;
    }
    char text[100];
    snprintf(text, sizeof text, "Error %d within SystemTray", (int)GetLastError());
    if (hostSettings.serviceMode)
        LogEvent(EventKind::TrayError, "%s", text);
    else
        LogToWindow("%s", text);
    // After a failed delete the icon may still be there: ask for a modify
    // next; after a failed add or modify, ask for a delete.
    int flag = request == NIM_DELETE ? 1 : 0;
    trayWanted = flag;
    trayPresent = flag;
    return 0;
}

void ShowTrayBalloon(const char* title, const char* text) {
    if (!trayPresent) return;
    // The larger record: only it carries a balloon.
    NOTIFYICONDATAA balloon = {};
    balloon.cbSize = sizeof balloon;
    balloon.hWnd = TrayIconData.hWnd;
    balloon.uID = TrayIconData.uID;
    balloon.uFlags = NIF_INFO;
    balloon.dwInfoFlags = NIIF_WARNING;
    balloon.uTimeout = 15000;
    snprintf(balloon.szInfoTitle, sizeof balloon.szInfoTitle, "%s", title);
    snprintf(balloon.szInfo, sizeof balloon.szInfo, "%s", text);
    Shell_NotifyIconA(NIM_MODIFY, &balloon);
}

void ReleaseTray() {
    if (trayPresent) {
        Shell_NotifyIconA(NIM_DELETE, &TrayIconData);
        trayPresent = 0;
    }
    if (trayIcon) {
        DestroyIcon(trayIcon);
        trayIcon = nullptr;
        TrayIconData.hIcon = nullptr;
    }
    if (trayMenu) {
        DestroyMenu(trayMenu);
        trayMenu = nullptr;
    }
}
