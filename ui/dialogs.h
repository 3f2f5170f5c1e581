// The configuration dialogs opened from the main window.
#pragma once

#include <windows.h>

// Procedure of the modal "Options" dialog: 1 after Save, 0 after Cancel.
INT_PTR CALLBACK OptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
