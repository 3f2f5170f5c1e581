// The configuration dialogs opened from the main window.
#pragma once

#include <windows.h>

// Procedure of the modal "Options" dialog: 1 after Save, 0 after Cancel.
INT_PTR CALLBACK OptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// "Domains": the domain list, folded back into the working copy on Close.
INT_PTR CALLBACK DomainsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// "ChangeDomain": one row of the domain list (CurrentDomainRow, -1 to add).
INT_PTR CALLBACK ChangeDomainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// "DomainSecurity": the four security settings of one domain; lParam is the
// DomainEntry they are read from and, after OK, written to.
INT_PTR CALLBACK DomainSecurityDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// "SignIn": the sign-in of the loaded domain that lParam points to (a
// DomainEntry with its OAuth settings); 1 when the refresh token is stored.
INT_PTR CALLBACK SignInDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// "ChangeUser": one row of the mailbox list (CurrentMailboxRow, -1 to add).
INT_PTR CALLBACK ChangeUserDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Writes the settings, the domains' working copy and the mailbox rows to
// the INI file. False, after telling the user why in a box, when it wrote
// nothing.
bool SaveConfiguration();

// The question box of the Delete key in either list; the answer is not used.
void ShowDeleteQuestion(const char* text);
extern const char kDeleteQuestionList[];    // LVN_KEYDOWN in a list
extern const char kDeleteQuestionDialog[];  // WM_KEYUP in the Options dialog

// Opens "HelpBox" over a configuration dialog.
void OpenHelpBox(HWND owner);
