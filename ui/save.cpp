// Save of the Options dialog: the mailbox rows as the list holds them, the
// domains' working copy and RelaySettings go to the configuration writer.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <new>

#include <string>

#include "config/config.h"
#include "config/notation.h"
#include "platform/platform.h"
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

const char kQuestionCaption[] = " Save";
// Mailboxes named one by one in the question about moved mailboxes.
constexpr int kNamedMoves = 8;

void Refuse(const char* text) { MessageBoxA(nullptr, text, kSaveCaption, MB_OK | MB_ICONSTOP); }

bool Confirmed(const char* text) {
    return MessageBoxA(nullptr, text, kQuestionCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) ==
           IDYES;
}

// Number of Mailbox lines the file on disk holds, as a load would read them.
int MailboxLinesInFile() {
    int n = ProfileGetInt(kSectionProduct, "MailBoxes", 0, hostSettings.iniPath);
    return n < 0 ? 0 : (n > kMaxMailboxes ? kMaxMailboxes : n);
}

// The questions a save asks before it writes; false when the user said No.
bool AskBeforeWriting(const MailboxRow* rows, int count) {
    const DomainEditCopy& t = DomainEditTable;
    char text[1600];
    if (t.count == 0 &&
        !Confirmed(" No domain is left: with this configuration no mail is relayed at all.\r\n"
                   " Save it anyway?"))
        return false;

    // A mailbox whose domain is no longer in the list is saved on the first
    // domain (its mail then goes out under that domain's relay).
    std::string moved;
    int movedCount = 0;
    for (int r = 0; r < count; r++) {
        if (AddressDomainKnown(rows[r].email, t.records, t.count)) continue;
        if (movedCount++ < kNamedMoves) moved += std::string("    ") + rows[r].email + "\r\n";
    }
    if (movedCount > 0) {
        if (movedCount > kNamedMoves) {
            snprintf(text, sizeof text, "    and %d more\r\n", movedCount - kNamedMoves);
            moved += text;
        }
        snprintf(text, sizeof text,
                 " These mailboxes name a domain that is not in the domain list:\r\n%s"
                 " Saving moves them to the first domain (%.100s).\r\n Save anyway?",
                 moved.c_str(), t.count > 0 ? t.records[0].name : "none");
        if (!Confirmed(text)) return false;
    }

    const LoadedConfig& loaded = OptionsLoaded;
    if (loaded.loadSucceeded && loaded.skippedLines > 0) {
        snprintf(text, sizeof text,
                 " The last load of the configuration file left out %d mailbox line(s)"
                 " (the log says why: a folder that could not be entered, a text too long, ...).\r\n"
                 " Saving now removes them from the file.\r\n Save anyway?",
                 loaded.skippedLines);
        if (!Confirmed(text)) return false;
    }
    return true;
}

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
    bool saved = false;
    int inFile = OptionsLoaded.loadSucceeded ? 0 : MailboxLinesInFile();
    if (!CheckConfigurationCore(DomainEditTable.records, DomainEditTable.count, rows, count, error,
                                sizeof error)) {
        Refuse(error[0] ? error : " The configuration could not be saved.");
    } else if (count < inFile) {
        // The list was made from a load that failed (or found no file), so
        // it does not show what the file holds; writing it would drop those
        // mailboxes.
        snprintf(error, sizeof error,
                 " The configuration file could not be loaded when this dialog opened (the log"
                 " says why), so this list does not show its %d mailbox(es).\r\n"
                 " Saving now would remove them from the file; nothing was saved.\r\n"
                 " Correct the file, or wait until it loads, and open Options again.",
                 inFile);
        Refuse(error);
    } else if (AskBeforeWriting(rows, count)) {
        saved = SaveConfigurationCore(DomainEditTable.records, DomainEditTable.count, rows, count,
                                      error, sizeof error);
        if (!saved) Refuse(error[0] ? error : " The configuration could not be saved.");
    }
    delete[] texts;
    delete[] rows;
    return saved;
}
