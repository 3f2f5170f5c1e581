// The Options dialog: not built yet. Without its template the dialog box
// call fails and the main window carries on.
#include "ui/dialogs.h"

INT_PTR CALLBACK OptionsDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
