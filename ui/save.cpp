// Save of the Options dialog: the mailbox rows as the list holds them, the
// domains' working copy and RelaySettings go to the configuration writer.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <new>

#include "config/config.h"
#include "ui/dialogs.h"
#include "ui/listviews.h"

namespace {

const char kSaveCaption[] = " Save Error";

// The list is read with more room than any row the editors make, so that a
// text is never cut here; a row the file cannot hold is the writer's to
// refuse, with its own message.
struct RowTexts {
    char user[511];
    char email[512];
    char folder[512];
};

void Refuse(const char* text) { MessageBoxA(nullptr, text, kSaveCaption, MB_OK | MB_ICONSTOP); }

}  // namespace

bool SaveConfiguration() {
    // Writing from a missing working copy would store "Domains 0" or
    // "MailBoxes 0" and drop every domain or mailbox of the file, so these
    // cases write nothing.
    if (!DomainEditTable.records) {
        Refuse(" The domain list could not be copied when this dialog opened.\r\n"
               " Saving now would remove every domain from the configuration file;"
               " nothing was saved.");
        return false;
    }
    if (!MailboxListView) {
        Refuse(" The mailbox list could not be opened in this dialog.\r\n"
               " Saving now would remove every mailbox from the configuration file;"
               " nothing was saved.");
        return false;
    }
    if (DomainEditTable.count == 0 &&
        MessageBoxA(nullptr,
                    " No domain is left: with this configuration no mail is relayed at all.\r\n"
                    " Save it anyway?",
                    " Save", MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES)
        return false;

    int count = (int)SendMessageA(MailboxListView, LVM_GETITEMCOUNT, 0, 0);
    if (count < 0) count = 0;
    RowTexts* texts = new (std::nothrow) RowTexts[count > 0 ? count : 1];
    MailboxRow* rows = new (std::nothrow) MailboxRow[count > 0 ? count : 1];
    if (!texts || !rows) {
        delete[] texts;
        delete[] rows;
        Refuse(" Not enough memory to read the mailbox list; nothing was saved.");
        return false;
    }
    for (int r = 0; r < count; r++) {
        GetRowText(MailboxListView, r, kColUser, texts[r].user, sizeof texts[r].user);
        GetRowText(MailboxListView, r, kColEmail, texts[r].email, sizeof texts[r].email);
        GetRowText(MailboxListView, r, kColFolder, texts[r].folder, sizeof texts[r].folder);
        rows[r] = {texts[r].user, texts[r].email, texts[r].folder};
    }
    char error[512] = "";
    bool saved = SaveConfigurationCore(DomainEditTable.records, DomainEditTable.count, rows,
                                       count, error, sizeof error);
    delete[] texts;
    delete[] rows;
    if (!saved) Refuse(error[0] ? error : " The configuration could not be saved.");
    return saved;
}
