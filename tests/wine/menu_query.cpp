// Built into the test copy of the program only (AmbrelTest.exe): answers a
// menu item's state and text to the Wine tests, which cannot read another
// process's menus. The shipped program has no such answer.
//
// UM_MENUQUERY (WM_APP + 1): wParam = menu in the high word (0 the menu bar,
// 1 the tray menu), command in the low word. lParam -1: the item's state
// (GetMenuState), -1 when missing; lParam 0..99: the item's text from that
// character on, eight characters packed into the result, the first in the
// lowest byte (0 past the end). Every other value is refused with -1: a test
// hook must not be a way to read the program's memory either.
#include <windows.h>

#include "ui/mainwindow_internal.h"

namespace {

constexpr UINT UM_MENUQUERY = WM_APP + 1;
constexpr LPARAM kTextCapacity = 100;

LRESULT AnswerMenuQuery(HWND window, WPARAM wParam, LPARAM lParam) {
    if ((wParam >> 16) > 1) return -1;
    HMENU menu = (wParam >> 16) == 0 ? GetMenu(window) : trayMenu;
    UINT command = LOWORD(wParam);
    if (!menu) return -1;
    if (lParam == -1) {
        UINT state = GetMenuState(menu, command, MF_BYCOMMAND);
        return state == (UINT)-1 ? -1 : (LRESULT)state;
    }
    if (lParam < 0 || lParam >= kTextCapacity) return -1;
    char text[kTextCapacity] = "";
    int len = GetMenuStringA(menu, command, text, sizeof text, MF_BYCOMMAND);
    if (len < 0) len = 0;
    ULONG_PTR packed = 0;
    for (int i = (int)sizeof packed - 1; i >= 0; i--) {
        LPARAM at = lParam + i;  // below 100 + 8: no overflow
        unsigned char c = at < len ? (unsigned char)text[at] : 0;
        packed = (packed << 8) | c;
    }
    return (LRESULT)packed;
}

bool TestHook(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message != UM_MENUQUERY) return false;
    *result = AnswerMenuQuery(window, wParam, lParam);
    return true;
}

struct Install {
    Install() { testMessageHook = TestHook; }
} install;

}  // namespace
