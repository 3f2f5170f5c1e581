// The status bar texts, the log window's view of the log text, and the log
// font. The worker asks for refreshes from its own thread; the texts are
// always formatted and set on the thread that owns the windows, so a part's
// buffer is never rewritten while the status bar is still reading it.
#include <windows.h>
// needs windows.h first
#include <commctrl.h>

#include <atomic>
#include <cstdio>

#include "config/config.h"
#include "log/log.h"
#include "mainwindow_internal.h"
#include "relay/relay.h"
#include "ui/app.h"

namespace {

char statusPart0[52];
char statusPart1[80];
char statusPart2[160];

std::atomic<int> logRefreshPosted{0};

bool OnUiThread() { return GetCurrentThreadId() == uiThreadId; }

void ShowLogText() {
    static char text[kLogWindowSize];
    logRefreshPosted = 0;
    if (!logEdit) return;
    CopyLogWindowText(text, sizeof text);
    SetWindowTextA(logEdit, text);
    // Scroll far down, then one page up: the newest line ends up at the
    // bottom of the visible page.
    PostMessageA(logEdit, EM_LINESCROLL, 0, 1000);
    PostMessageA(logEdit, EM_SCROLL, SB_PAGEUP, 0);
}

// Called with the sinks' lock held, from either thread: the worker only
// posts, it never waits for the window thread.
void OnWindowTextAdded(const char*) {
    if (!logEdit) return;  // the text is kept and shown with the next piece
    if (OnUiThread()) {
        ShowLogText();
        return;
    }
    if (!logRefreshPosted.exchange(1)) PostMessageA(mainWindow, UM_LOGREFRESH, 0, 0);
}

void OnUpdateStatusBar() {
    if (!statusBar) return;
    if (OnUiThread())
        RefreshStatusParts();
    else
        PostMessageA(mainWindow, UM_STATUSREFRESH, 0, 0);
}

void OnUpdateLoopStatus() {
    if (!statusBar) return;
    // The counter moves on right after this call: the values travel with
    // the request so the part shows the second that was just counted.
    int second = relayState.loopSecond, delay = relaySettings.LoopDelay;
    if (OnUiThread())
        RefreshLoopPart(second, delay);
    else
        PostMessageA(mainWindow, UM_LOOPREFRESH, (WPARAM)(INT_PTR)second, (LPARAM)delay);
}

void OnSendNowServed() { PostMessageA(mainWindow, UM_SENDNOWSERVED, 0, 0); }

void OnAlertBox(const char* text, const char* caption) {
    for (int i = 0; i < 3; i++) Beep(100, 500);
    MessageBoxA(nullptr, text, caption, MB_OK);
}

}  // namespace

void InstallStatusHooks() {
    uiHooks.windowTextAdded = OnWindowTextAdded;
    uiHooks.updateStatusBar = OnUpdateStatusBar;
    uiHooks.updateLoopStatus = OnUpdateLoopStatus;
    uiHooks.sendNowServed = OnSendNowServed;
    uiHooks.alertBox = OnAlertBox;
}

void ShowLogWindowText() { ShowLogText(); }

void RefreshStatusParts() {
    if (!statusBar) return;
    bool connected = relayState.relaySocket != kNoSocket;
    snprintf(statusPart0, sizeof statusPart0, "  %s",
             relayState.paused ? "PAUSED" : (connected ? "Connected" : "Idle"));
    SendMessageA(statusBar, SB_SETTEXTA, 0, (LPARAM)statusPart0);

    // A long log path or host name is cut at the end of the part's buffer.
    // The log name and the domain row are copied whole under the locks their
    // writers hold, so a load or a Save never shows through half-written.
    char logName[sizeof relaySettings.LogName];
    {
        SettingsTextGuard guard;
        snprintf(logName, sizeof logName, "%s", relaySettings.LogName);
    }
    if (!connected) {
        snprintf(statusPart2, sizeof statusPart2, " Log: '%s'      Domains: %d      Users: %d",
                 logName, domainCount.load(), mailboxCount.load());
    } else {
        int domain = relayState.passDomain;
        DomainEntry row;
        bool valid = CopyLoadedDomain(domain, &row);
        snprintf(statusPart2, sizeof statusPart2,
                 " Log: '%s'      Domain: %d      User: %d      SmtpServer: '%s:%d'",
                 logName, domain + 1, relayState.currentMailbox + 1, valid ? row.host : "",
                 valid ? row.port : 0);
    }
    SendMessageA(statusBar, SB_SETTEXTA, 2, (LPARAM)statusPart2);
}

void RefreshLoopPart(int second, int delay) {
    if (!statusBar) return;
    snprintf(statusPart1, sizeof statusPart1, " Loop: %d/%d", second, delay);
    SendMessageA(statusBar, SB_SETTEXTA, 1, (LPARAM)statusPart1);
}

void ApplyLogFont() {
    static const char kLogFontDescription[] = "-11,0,0,0,400,0,0,0,0,3,2,1,34,Arial";
    LOGFONTA font = {};
    // The byte-sized members are read through shorts, and the face name is
    // bounded by its 31 characters.
    unsigned short b[8] = {};
    char face[LF_FACESIZE] = {};
    sscanf(kLogFontDescription, "%ld,%ld,%ld,%ld,%ld,%hu,%hu,%hu,%hu,%hu,%hu,%hu,%hu,%31[^\n]",
           &font.lfHeight, &font.lfWidth, &font.lfEscapement, &font.lfOrientation, &font.lfWeight,
           &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], face);
    font.lfItalic = (BYTE)b[0];
    font.lfUnderline = (BYTE)b[1];
    font.lfStrikeOut = (BYTE)b[2];
    font.lfCharSet = (BYTE)b[3];
    font.lfOutPrecision = (BYTE)b[4];
    font.lfClipPrecision = (BYTE)b[5];
    font.lfQuality = (BYTE)b[6];
    font.lfPitchAndFamily = (BYTE)b[7];
    snprintf(font.lfFaceName, sizeof font.lfFaceName, "%s", face);

    // Kept for the life of the process.
    static HFONT logFont = nullptr;
    if (!logFont) logFont = CreateFontIndirectA(&font);
    if (!logFont) {
        char text[60];
        snprintf(text, sizeof text, "Error %d in Applying Font", (int)GetLastError());
        MessageBoxA(nullptr, text, nullptr, MB_OK);
        return;
    }
    SendMessageA(logEdit, WM_SETFONT, (WPARAM)logFont, TRUE);
}
