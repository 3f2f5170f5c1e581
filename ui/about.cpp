// The About box and the Help box: static texts from their templates. Escape
// and the close box are left unhandled on purpose, so only OK/Close (or
// Enter) ends either box.
#include <windows.h>

#include "ui/app.h"

namespace {
// OK (or Enter) is the one way out of either box.
INT_PTR EndOnOk(HWND dialog, WPARAM wParam) {
    if (LOWORD(wParam) != IDOK) return FALSE;
    EndDialog(dialog, 1);
    return TRUE;
}
}  // namespace

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;  // the dialog manager focuses OK, the only tab stop
    case WM_COMMAND:
        return EndOnOk(dialog, wParam);
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK HelpBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetFocus(GetDlgItem(dialog, IDOK));
        return TRUE;
    case WM_HELP:
        // F1 inside the help box: swallowed, so the owning dialog does not
        // open a second help box.
        return TRUE;
    case WM_COMMAND:
        return EndOnOk(dialog, wParam);
    default:
        return FALSE;
    }
}
