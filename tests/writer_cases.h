// Round trips of the configuration writer, run natively against our own
// profile reader and writer and under Wine against the system's: load a
// file, turn the tables into the rows the Options dialog holds, save them,
// load again, and compare. Both builds must agree.
#pragma once

#include "config/config.h"
#include "config/notation.h"
#include "log/log.h"
#include "platform/platform.h"
#include "tests/ini_cases.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace writer_cases {

// What the user changes between the load and the save.
enum class Edit {
    kNone,
    kRenameSecondDomain,  // the second domain is renamed to new.example
    kDropLastMailbox,
    kFresh,               // no file yet: one domain and one mailbox made by hand
    kMoveUserFolder,      // UserFolder becomes {dir}elsewhere/ (the rows stay as loaded)
    kRemoveFirstDomain,   // the first domain is removed, the others move up
};

// Texts use "\n" for line ends (files get CR LF), '/' for the folder
// separator and "{dir}" for the scratch folder (with its separator).
struct Case {
    const char* name;
    const char* before;   // the INI file, or nullptr when there is none
    const char* folders;  // folders to make below the scratch folder, blank-separated
    Edit edit;
    // Lines the saved file must hold; "*" at the end of a line matches any
    // rest, and a line "!text" says no line of the file begins with text.
    const char* fileHas;
    bool wholeFile;       // fileHas is the whole file, in order
    const char* saveLog;  // what the save writes to the log window
    const char* after;    // the tables after the reload (see Dump); nullptr: as loaded first
};

#define WC_PRODUCT                                                                              \
    "[Ambrel]\nVersion=0.28\nLoopDelay=30\nUserFolder={dir}users/\nBadmails={dir}bad\n"         \
    "FlushLog=1\nDebug=1\nMaxMailSent=3\nXToHeader=X-To:\nSMTPHelo=relay.test\nHideWin=1\n"    \
    "Domains=2\n"
#define WC_DOMAINS                                                                             \
    "[Domains]\nDomain1=example.com\nSMTPServer1=mail.example\nDomain2=example.org\n"          \
    "SMTPServer2=relay.example:2525\n"
#define WC_MAILBOXES "[MailBoxes]\nMailbox1=mary;@{dir}abs/mary;1\nMailbox2=john;sub;2\n"
#define WC_SETTINGS                                                                            \
    "settings LoopDelay=30 UserFolder={dir}users/ Badmails={dir}bad/ LogName={dir}Ambrel.log " \
    "FlushLog=1 Debug=1 MaxMailSent=3 SMTPHelo=relay.test XToHeader=X-To:\n"

// A user name that makes "name@example.org" 255 characters long.
#define WC_PIN_COLONS                                                                          \
    "7d:e1:0d:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:01:02:03:04:05:06:07:08:09:0a:c7:1a"
#define WC_USER243                                                                              \
    "uuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuu" \
    "uuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuu" \
    "uuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuuu"

inline const Case kCases[] = {
    {"host and port, relative and absolute folders, kept keys",
     WC_PRODUCT "MailBoxes=2\n" WC_DOMAINS WC_MAILBOXES, "users/sub abs/mary", Edit::kNone,
     "Version=0.28\nLoopDelay=30\nUserFolder={dir}users/\nDomains=2\nBadmails={dir}bad/\n"
     "MailBoxes=2\nSMTPServer1=mail.example:25\nSMTPServer2=relay.example:2525\n"
     "Mailbox1=mary;@{dir}abs/mary;1\nMailbox2=john;sub;2\nFlushLog=1\nDebug=1\nMaxMailSent=3\n"
     "XToHeader=X-To:\nSMTPHelo=relay.test\nHideWin=1\n",
     false, "", nullptr},
    {"a mailbox whose domain is gone goes to the first one",
     WC_PRODUCT "MailBoxes=2\n" WC_DOMAINS WC_MAILBOXES, "users/sub abs/mary",
     Edit::kRenameSecondDomain, "Domain2=new.example\nMailbox2=john;sub;1\n", false,
     "Error: invalid domain for user 1 (used default)\r\n",
     WC_SETTINGS
     "domain example.com mail.example:25\n"
     "domain new.example relay.example:2525\n"
     "mailbox mary mary@example.com {dir}abs/mary/ abs=1 domain=0\n"
     "mailbox john john@example.com {dir}users/sub/ abs=0 domain=0\n"},
    {"fewer mailboxes leave the surplus keys unread",
     WC_PRODUCT "MailBoxes=3\n" WC_DOMAINS WC_MAILBOXES "Mailbox3=ann;ann;1\n",
     "users/sub users/ann abs/mary", Edit::kDropLastMailbox, "MailBoxes=2\nMailbox3=ann;ann;1\n",
     false, "",
     WC_SETTINGS
     "domain example.com mail.example:25\n"
     "domain example.org relay.example:2525\n"
     "mailbox mary mary@example.com {dir}abs/mary/ abs=1 domain=0\n"
     "mailbox john john@example.org {dir}users/sub/ abs=0 domain=1\n"},
    {"an empty user folder is saved as one separator",
     "[Ambrel]\nVersion=0.28\nLoopDelay=30\nDomains=1\nMailBoxes=1\n"
     "[Domains]\nDomain1=example.org\nSMTPServer1=127.0.0.1:25\n"
     "[MailBoxes]\nMailbox1=mary;@{dir}abs/mary;1\n",
     "abs/mary", Edit::kNone, "UserFolder=/\nMailbox1=mary;@{dir}abs/mary;1\n", false, "",
     "settings LoopDelay=30 UserFolder=/ Badmails= LogName={dir}Ambrel.log FlushLog=0 Debug=0 "
     "MaxMailSent=6 SMTPHelo=Vorpal XToHeader=X-Envelope-To:\n"
     "domain example.org 127.0.0.1:25\n"
     "mailbox mary mary@example.org {dir}abs/mary/ abs=1 domain=0\n"},
    {"a file of the older layout is turned into the current one",
     "[Ambrel]\nPort=2525\nLoopDelay=45\nUserFolder={dir}users/\nDomain1=example.org\n"
     "SMTPServer=127.0.0.1\nMailBoxes=2\n"
     "[example.org]\nMB1addr=john\nMB1dir=john\nMB2addr=mary\nMB2dir=@{dir}abs/mary\n",
     "users/john abs/mary", Edit::kNone,
     "Version=0.28\nDomains=1\nMailBoxes=2\nDomain1=example.org\nSMTPServer1=127.0.0.1:2525\n"
     "Mailbox1=john;john;1\nMailbox2=mary;@{dir}abs/mary;1\nPort=2525\nSMTPServer=127.0.0.1\n"
     "[example.org]\nMB1addr=john\n",
     false, "", nullptr},
    {"a missing file is created", nullptr, "users/john", Edit::kFresh,
     "[Ambrel]\nVersion=0.28\nLoopDelay=60\nUserFolder={dir}users/\nDomains=1\nBadmails=\n"
     "LogName={dir}Ambrel.log\nMailBoxes=1\n[Domains]\nDomain1=example.org\n"
     "SMTPServer1=127.0.0.1:25\n[Mailboxes]\nMailbox1=john;john;1\n",
     true, "",
     "settings LoopDelay=60 UserFolder={dir}users/ Badmails= LogName={dir}Ambrel.log FlushLog=0 "
     "Debug=0 MaxMailSent=6 SMTPHelo=Vorpal XToHeader=X-Envelope-To:\n"
     "domain example.org 127.0.0.1:25\n"
     "mailbox john john@example.org {dir}users/john/ abs=0 domain=0\n"},
    // The rows are made from the paths of the load; a changed UserFolder
    // only moves the relative folders below the new one.
    {"a changed user folder keeps every relative line",
     WC_PRODUCT "MailBoxes=2\n" WC_DOMAINS WC_MAILBOXES, "users/sub elsewhere/sub abs/mary",
     Edit::kMoveUserFolder, "UserFolder={dir}elsewhere/\nMailbox1=mary;@{dir}abs/mary;1\nMailbox2=john;sub;2\n",
     false, "",
     "settings LoopDelay=30 UserFolder={dir}elsewhere/ Badmails={dir}bad/ LogName={dir}Ambrel.log "
     "FlushLog=1 Debug=1 MaxMailSent=3 SMTPHelo=relay.test XToHeader=X-To:\n"
     "domain example.com mail.example:25\n"
     "domain example.org relay.example:2525\n"
     "mailbox mary mary@example.com {dir}abs/mary/ abs=1 domain=0\n"
     "mailbox john john@example.org {dir}elsewhere/sub/ abs=0 domain=1\n"},
    {"nested folders, a domain mailbox and a 255-character address keep their lines",
     WC_PRODUCT "MailBoxes=3\n" WC_DOMAINS
     "[MailBoxes]\nMailbox1=DM:sales;sub/deep;1\nMailbox2=" WC_USER243 ";sub;2\n"
     "Mailbox3=mary;@{dir}abs/mary;2\n",
     "users/sub/deep abs/mary", Edit::kNone,
     "Mailbox1=DM:sales;sub/deep;1\nMailbox2=" WC_USER243 ";sub;2\nMailbox3=mary;@{dir}abs/mary;2\n",
     false, "", nullptr},
    // A file of the current layout without the security keys comes back
    // exactly as it was.
    {"a file without the security keys is saved byte for byte",
     "[Ambrel]\nVersion=0.28\nLoopDelay=30\nUserFolder={dir}users/\nDomains=2\nBadmails={dir}bad/\n"
     "LogName={dir}Ambrel.log\nMailBoxes=1\nFlushLog=1\n[Domains]\nDomain1=example.com\n"
     "SMTPServer1=mail.example:25\nDomain2=example.org\nSMTPServer2=relay.example:2525\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     "users/sub", Edit::kNone,
     "[Ambrel]\nVersion=0.28\nLoopDelay=30\nUserFolder={dir}users/\nDomains=2\nBadmails={dir}bad/\n"
     "LogName={dir}Ambrel.log\nMailBoxes=1\nFlushLog=1\n[Domains]\nDomain1=example.com\n"
     "SMTPServer1=mail.example:25\nDomain2=example.org\nSMTPServer2=relay.example:2525\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     true, "", nullptr},
    // The keys move with their domain; the slot it leaves loses the keys
    // the moved domain lacks; a password with blanks and quotes at its ends
    // reads back whole, and a clear one is stored protected where the system
    // can protect it (only the reload tells, not the stored text).
    {"security keys move with their domain when the one before it is removed",
     WC_PRODUCT "MailBoxes=1\n"
     "[Domains]\nDomain1=example.com\nSMTPServer1=mail.example\nSecurity1=tls\n"
     "TlsFingerprint1=" WC_PIN_COLONS "\nAuthUser1=first\nAuthPassword1=pw1\n"
     "Domain2=example.org\nSMTPServer2=relay.example:587\nSecurity2=STARTTLS\nAuthUser2=' me '\n"
     "AuthPassword2=\"'s e;c=r\"et' \"\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     "users/sub", Edit::kRemoveFirstDomain,
     "Domains=1\nDomain1=example.org\nSMTPServer1=relay.example:587\nSecurity1=starttls\n"
     "AuthUser1=\" me \"\nAuthPassword1=*\n!TlsFingerprint1\nMailbox1=john;sub;1\n",
     false, "",
     WC_SETTINGS
     "domain example.org relay.example:587 security=1 user=[ me ] password=['s e;c=r\"et' ] pin=-\n"
     "mailbox john john@example.org {dir}users/sub/ abs=0 domain=0\n"},
    // The sending keys go with their domain as the security keys do.
    {"sender keys move with their domain and leave the slot it had",
     WC_PRODUCT "MailBoxes=1\n"
     "[Domains]\nDomain1=example.com\nSMTPServer1=mail.example\nSenderAddress1=first@example.com\n"
     "RewriteFrom1=1\nDomain2=example.org\nSMTPServer2=relay.example:587\nSecurity2=starttls\n"
     "SenderAddress2=relay@example.org\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     "users/sub", Edit::kRemoveFirstDomain,
     "Domains=1\nDomain1=example.org\nSenderAddress1=relay@example.org\n!RewriteFrom1\n", false,
     "",
     WC_SETTINGS
     "domain example.org relay.example:587 security=1 user=[] password=[] pin=- sender=[relay@example.org] "
     "rewrite=0\n"
     "mailbox john john@example.org {dir}users/sub/ abs=0 domain=0\n"},
    {"sender and From rewrite saved as loaded",
     WC_PRODUCT "MailBoxes=1\n"
     "[Domains]\nDomain1=example.com\nSMTPServer1=mail.example\nDomain2=example.org\n"
     "SMTPServer2=relay.example:465\nSecurity2=tls\nAuthUser2=relay@example.org\nAuthPassword2=pw\n"
     "SenderAddress2=relay@example.org\nRewriteFrom2=1\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     "users/sub", Edit::kNone,
     "SMTPServer1=mail.example:25\n!SenderAddress1\nSenderAddress2=relay@example.org\nRewriteFrom2=1\n", false,
     "", nullptr},
    // The OAuth keys move with their domain too; a preset is saved as the
    // provider's name, never as the endpoints it stands for, and the client
    // secret is stored like a password.
    {"OAuth keys move with their domain, presets stay presets",
     WC_PRODUCT "MailBoxes=1\n"
     "[Domains]\nDomain1=example.com\nSMTPServer1=mail.example\nSecurity1=tls\nAuthUser1=app@example.com\n"
     "AuthMethod1=oauth2\nOAuthProvider1=microsoft\nOAuthTenant1=contoso.example\nOAuthClientId1=id-1\n"
     "OAuthClientSecret1=s3 cret\nOAuthGrant1=client_credentials\n"
     "Domain2=example.org\nSMTPServer2=relay.example:587\nSecurity2=starttls\nAuthUser2=me@example.org\n"
     "AuthMethod2=OAuth2\nOAuthProvider2=custom\nOAuthTokenUrl2=https://idp.example/token\n"
     "OAuthDeviceUrl2=https://idp.example/device\nOAuthScope2=smtp offline\nOAuthClientId2=id-2\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     "users/sub", Edit::kRemoveFirstDomain,
     "Domains=1\nDomain1=example.org\nAuthMethod1=oauth2\nOAuthProvider1=custom\n"
     "OAuthTokenUrl1=https://idp.example/token\nOAuthDeviceUrl1=https://idp.example/device\n"
     "OAuthScope1=smtp offline\nOAuthClientId1=id-2\n!OAuthTenant1\n!OAuthClientSecret1\n!OAuthGrant1\n"
     "!OAuthAuthorizeUrl1\n",
     false, "",
     WC_SETTINGS
     "domain example.org relay.example:587 security=1 user=[me@example.org] password=[] pin=- "
     "oauth=custom/refresh_token tenant=[] token=[https://idp.example/token] device=[https://idp.example/device] "
     "authorize=[] scope=[smtp offline] client=[id-2] secret=[]\n"
     "mailbox john john@example.org {dir}users/sub/ abs=0 domain=0\n"},
    {"OAuth keys read back whole",
     WC_PRODUCT "MailBoxes=1\n"
     "[Domains]\nDomain1=example.com\nSMTPServer1=mail.example\nSecurity1=tls\nAuthUser1=app@example.com\n"
     "AuthMethod1=oauth2\nOAuthProvider1=microsoft\nOAuthTenant1=contoso.example\nOAuthClientId1=id-1\n"
     "OAuthClientSecret1=\" s3 cret\"\nOAuthGrant1=client_credentials\n"
     "Domain2=example.org\nSMTPServer2=relay.example:587\n"
     "[MailBoxes]\nMailbox1=john;sub;2\n",
     "users/sub", Edit::kNone,
     "AuthMethod1=oauth2\nOAuthProvider1=microsoft\nOAuthTenant1=contoso.example\nOAuthClientId1=id-1\n"
     "OAuthClientSecret1=*\nOAuthGrant1=client_credentials\n!OAuthTokenUrl1\n!AuthMethod2\n!OAuthProvider2\n",
     false, "", nullptr},
};

#undef WC_PRODUCT
#undef WC_DOMAINS
#undef WC_MAILBOXES
#undef WC_SETTINGS
#undef WC_USER243
#undef WC_PIN_COLONS

// A case text for this build: separators and the scratch folder filled in;
// CR LF line ends when `crlf`.
inline std::string Expand(const char* text, const std::string& dir, bool crlf) {
    std::string s;
    for (const char* p = text; *p; p++) {
        if (strncmp(p, "{dir}", 5) == 0) {
            s += dir;
            p += 4;
        } else if (strncmp(p, "https://", 8) == 0 || strncmp(p, "http://", 7) == 0) {
            // An address keeps its slashes on every build.
            while (p[1] && p[1] != '\n' && p[1] != ' ' && p[1] != ']') s += *p++;
            s += *p;
        } else if (*p == '/') {
            s += kDirSep;
        } else if (*p == '\n' && crlf) {
            s += "\r\n";
        } else {
            s += *p;
        }
    }
    return s;
}

// The other way: a text of this build in the case tables' notation.
inline std::string Portable(const std::string& text, const std::string& dir) {
    std::string s;
    for (size_t i = 0; i < text.size(); i++) {
        if (text.compare(i, dir.size(), dir) == 0) {
            s += "{dir}";
            i += dir.size() - 1;
        } else {
            s += text[i] == kDirSep ? '/' : text[i];
        }
    }
    return s;
}

// Settings, domains and mailboxes as they stand, one line each.
inline std::string Dump(const std::string& dir) {
    const RelaySettings& s = relaySettings;
    char line[2200];
    snprintf(line, sizeof line,
             "settings LoopDelay=%d UserFolder=%s Badmails=%s LogName=%s FlushLog=%d Debug=%d "
             "MaxMailSent=%d SMTPHelo=%s XToHeader=%s\n",
             s.LoopDelay.load(), s.UserFolder, s.Badmails, s.LogName, s.FlushLog, s.Debug,
             s.MaxMailSent, s.SMTPHelo, s.XToHeader);
    std::string out = line;
    for (int i = 0; i < domainCount; i++) {
        const DomainEntry& d = domainTable[i];
        snprintf(line, sizeof line, "domain %.99s %.79s:%d", d.name, d.host, (int)d.port);
        out += line;
        // Only a domain with security keys shows them.
        if (d.security || d.authUser[0] || d.authPassword[0] || d.hasPin || d.senderAddress[0] || d.rewriteFrom) {
            char pin[2 * kSha256Size + 1] = "-";
            if (d.hasPin) FormatTlsFingerprint(d.tlsPin, pin, sizeof pin);
            snprintf(line, sizeof line, " security=%d user=[%s] password=[%s] pin=%s", d.security, d.authUser,
                     d.authPassword, pin);
            out += line;
        }
        if (d.senderAddress[0] || d.rewriteFrom) {
            snprintf(line, sizeof line, " sender=[%s] rewrite=%d", d.senderAddress, d.rewriteFrom);
            out += line;
        }
        const OAuthSettings& o = d.oauth;
        if (o.method == kAuthOAuth2) {
            snprintf(line, sizeof line, " oauth=%s/%s tenant=[%s] token=[%s] device=[%s] authorize=[%s] scope=[%s] client=[%s] secret=[%s]",
                     OAuthProviderName(o.provider), OAuthGrantName(o.grant), o.tenant, o.tokenUrl, o.deviceUrl,
                     o.authorizeUrl, o.scope, o.clientId, o.clientSecret);
            out += line;
        }
        out += "\n";
    }
    for (int i = 0; i < mailboxCount; i++) {
        const MailboxEntry& m = mailboxTable[i];
        snprintf(line, sizeof line, "mailbox %s %s %s abs=%d domain=%d\n", m.user, m.email, m.folder,
                 (int)m.absolute, m.domainIndex);
        out += line;
    }
    return Portable(out, dir);
}

// The working copies the Options dialog edits: the domain records and the
// mailbox rows with their three column texts, the folder in the list's
// notation (no final separator).
struct Working {
    std::vector<DomainEntry> domains;
    std::vector<std::string> users, emails, folders;
    std::vector<MailboxRow> Rows() const {
        std::vector<MailboxRow> rows;
        for (size_t i = 0; i < users.size(); i++)
            rows.push_back({users[i].c_str(), emails[i].c_str(), folders[i].c_str()});
        return rows;
    }
    void Add(const char* user, const char* email, const std::string& folder) {
        users.push_back(user);
        emails.push_back(email);
        folders.push_back(folder);
    }
};

// The rows as the Options dialog makes them from the tables in force.
inline Working FromTables() {
    Working w;
    static LoadedConfig loaded;
    CopyLoadedConfig(&loaded);
    for (int i = 0; i < loaded.domainCount; i++) w.domains.push_back(loaded.domains[i]);
    for (int i = 0; i < loaded.mailboxCount; i++) {
        char user[kColumnTextMax + 16], email[kColumnTextMax + 16], folder[kColumnTextMax + 16];
        LoadedMailboxColumns(loaded, i, user, email, folder, sizeof user);
        w.Add(user, email, folder);
    }
    return w;
}

inline std::string WindowText() {
    static char text[kLogWindowSize + 1];
    CopyLogWindowText(text, sizeof text);
    return text;
}

// Runs one case with files in `dir` (an absolute folder ending in the
// separator); writes a line per failed check to `out`; returns the failures.
inline int RunCase(const Case& c, const std::string& dir, FILE* out) {
    int failures = 0;
    auto fail = [&](const char* what, const std::string& got, const std::string& want) {
        fprintf(out, "FAIL %s: %s:\n  got:  %s\n  want: %s\n", c.name, what, got.c_str(), want.c_str());
        failures++;
    };
    std::string ini = dir + "Ambrel.ini";
    std::error_code ec;
    std::filesystem::remove(ini, ec);
    std::filesystem::remove(ini + ".new", ec);
    std::string folders = c.folders;
    for (size_t p = 0; p < folders.size();) {
        size_t e = folders.find(' ', p);
        if (e == std::string::npos) e = folders.size();
        std::filesystem::create_directories(dir + Expand(folders.substr(p, e - p).c_str(), dir, false), ec);
        p = e + 1;
    }
    snprintf(hostSettings.iniPath, sizeof hostSettings.iniPath, "%s", ini.c_str());
    CloseLogFile();
    ResetConfiguration();
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%sAmbrel.log", dir.c_str());

    Working w;
    std::string first;
    if (c.before) {
        ini_cases::WriteWhole(ini, Expand(c.before, dir, true).c_str());
        if (!LoadConfiguration()) fail("first load", "false", "true");
        first = Dump(dir);
        w = FromTables();
    } else {
        snprintf(relaySettings.UserFolder, sizeof relaySettings.UserFolder, "%susers", dir.c_str());
        relaySettings.LoopDelay = 60;
    }
    switch (c.edit) {
    case Edit::kNone: break;
    case Edit::kRenameSecondDomain:
        if (w.domains.size() > 1) snprintf(w.domains[1].name, sizeof w.domains[1].name, "new.example");
        break;
    case Edit::kDropLastMailbox:
        w.users.pop_back();
        w.emails.pop_back();
        w.folders.pop_back();
        break;
    case Edit::kMoveUserFolder:
        snprintf(relaySettings.UserFolder, sizeof relaySettings.UserFolder, "%selsewhere%c", dir.c_str(),
                 kDirSep);
        break;
    case Edit::kRemoveFirstDomain:
        if (!w.domains.empty()) {
            RemoveDomainRecord(w.domains.data(), (int)w.domains.size(), 0);
            w.domains.pop_back();
        }
        break;
    case Edit::kFresh: {
        DomainEntry d{};
        snprintf(d.name, sizeof d.name, "example.org");
        snprintf(d.host, sizeof d.host, "127.0.0.1");
        d.port = 25;
        w.domains.push_back(d);
        w.Add("john", "john@example.org", std::string(kUserFolderPrefix) + "john");
        break;
    }
    }

    ClearLogWindowText();
    std::vector<MailboxRow> rows = w.Rows();
    char error[300];
    if (!SaveConfigurationCore(w.domains.data(), (int)w.domains.size(), rows.data(), (int)rows.size(),
                               error, sizeof error))
        fail("save", error, "success");
    std::string saveLog = Portable(WindowText(), dir);
    if (saveLog != c.saveLog) fail("save log", saveLog, c.saveLog);
    size_t uf = strlen(relaySettings.UserFolder);
    if (uf == 0 || relaySettings.UserFolder[uf - 1] != kDirSep)
        fail("user folder setting after the save", relaySettings.UserFolder, "ends in the separator");

    std::string file = ini_cases::ReadWhole(ini);
    std::string has = Expand(c.fileHas, dir, true);
    if (c.wholeFile) {
        if (file != has) fail("saved file", file, has);
    } else {
        std::string framed = "\r\n" + file;
        for (size_t p = 0; p < has.size();) {
            size_t e = has.find("\r\n", p);
            std::string line = has.substr(p, e - p);
            p = e + 2;
            if (line[0] == '!') {
                if (framed.find("\r\n" + line.substr(1)) != std::string::npos)
                    fail("saved file has a line it must not have", file, line);
                continue;
            }
            bool prefix = line.back() == '*';
            if (prefix) line.pop_back();
            if (framed.find("\r\n" + line + (prefix ? "" : "\r\n")) == std::string::npos)
                fail("saved file lacks a line", file, line);
        }
    }
    if (std::filesystem::exists(ini + ".new")) fail("temporary file", "left beside the file", "gone");

    // Reload from a process-start state, so that everything compared comes from the file.
    CloseLogFile();
    ResetConfiguration();
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%sAmbrel.log", dir.c_str());
    if (!LoadConfiguration()) fail("reload", "false", "true");
    std::string after = Dump(dir);
    std::string want = c.after ? c.after : first;
    if (after != want) fail("tables after the reload", after, want);
    CloseLogFile();
    return failures;
}

inline int RunAll(const std::string& dir, FILE* out) {
    int failures = 0, n = 0;
    for (const Case& c : kCases) {
        failures += RunCase(c, dir, out);
        n++;
    }
    fprintf(out, "writer cases: %d run, %d failed checks\n", n, failures);
    return failures;
}

}  // namespace writer_cases
