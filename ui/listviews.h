// The mailbox and domain list views of the configuration dialogs and the
// working copies they edit: the rows of MailboxListView are the mailbox
// table while the Options dialog is open, DomainEditTable is the domain
// table. Nothing here touches the INI file; Save does that.
#pragma once

#include <windows.h>

#include "config/config.h"

// A record of the domains' working copy has the layout of a loaded domain.
using DomainEditRecord = DomainEntry;

struct DomainEditCopy {
    DomainEditRecord* records;  // room for kMaxDomains, null when not made
    int count;                  // 0 to kMaxDomains
};

extern DomainEditCopy DomainEditTable;
// The loaded tables as the Options dialog found them when it opened, taken
// in one piece; the lists and the domains' working copy are made from it,
// and Save asks about what that load left out.
extern LoadedConfig OptionsLoaded;
extern HWND MailboxListView;  // child of the Options dialog, or null
extern HWND DomainListView;   // child of the Domains dialog, or null
// Row that the last right-click hit, -1 for empty space.
extern int CurrentMailboxRow;
extern int CurrentDomainRow;

// Column indexes of the two lists.
constexpr int kColUser = 0, kColEmail = 1, kColFolder = 2;
constexpr int kColNum = 0, kColDomain = 1, kColServer = 2;

// Takes OptionsLoaded from the tables in force.
void TakeOptionsLoaded();

// Makes DomainEditTable anew from OptionsLoaded's domains; false (count 0,
// records null) when there is no room for it.
bool MakeDomainEditTable();
void FreeDomainEditTable();

// Create the list in the owner dialog and fill it from OptionsLoaded's
// mailboxes / from DomainEditTable. On failure a box says so and the handle
// stays null.
void CreateMailboxListView(HWND owner);
void CreateDomainListView(HWND owner);

// Removes record `index` of DomainEditTable (the caller lowers the count
// afterwards) and moves the mailbox rows whose domain is gone to the first
// remaining domain.
void RemoveEditDomain(int index);

// Fills the drop-down list 1014 of the mailbox editor with the domain names
// and selects the one named by `text` (an address or a bare domain name;
// null for none), else the first.
void FillDomainChoice(HWND editor, const char* text);

// Text of one cell, always terminated (empty when the list or row is gone).
void GetRowText(HWND list, int row, int column, char* out, int size);
void SetRowText(HWND list, int row, int column, const char* text);
// Inserts a row at the end with the given label; its index or -1.
int AppendRow(HWND list, const char* label);

// Moves an editor dialog to the clicked row of `list` (its size is kept).
void MoveToRowAnchor(HWND editor, HWND list, int row);

// Redraws every row of the list at once after an editor returns.
void RedrawRows(HWND list, int last);
