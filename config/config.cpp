// Loading the current configuration layout: the product section, the domain
// section and the mailbox section.
#include "config.h"

#include <cstdio>
#include <cstring>
#include <strings.h>
#include <mutex>

#include "config_internal.h"
#include "keys.h"
#include "log/log.h"
#include "platform/platform.h"

const char kSectionProduct[] = "Ambrel";
const char kSectionDomains[] = "Domains";
const char kSectionMailboxes[] = "MailBoxes";
const char kDefaultHelo[] = "Vorpal";
const char kDefaultXToHeader[] = "X-Envelope-To:";

RelaySettings relaySettings;
HostSettings hostSettings;
DomainEntry domainTable[kMaxDomains];
std::atomic<int> domainCount{0};
MailboxEntry mailboxTable[kMaxMailboxes];
std::atomic<int> mailboxCount{0};

void (*loadBetweenSectionsHook)() = nullptr;

namespace {

// Guards the published tables and what goes with them. Held only to copy
// whole tables in or out, never across a file read, a folder check or a log
// line, so the window thread never waits for a load.
std::mutex tableLock;

// The load being made (worker thread only).
struct LoadStage {
    DomainEntry domains[kMaxDomains];
    int domainCount;
    MailboxEntry mailboxes[kMaxMailboxes];
    char userFolder[kLoadedUserFolderSize];
    bool succeeded;
    int skippedLines;
    int mailboxCount;
};
LoadStage stage;

// Published with the tables.
char loadedUserFolder[kLoadedUserFolderSize];
bool loadSucceeded = false;
int loadSkippedLines = 0;
unsigned loadGeneration = 0;

// Working folder of the first load: relative user folders are taken against
// it, since every mailbox check changes the working folder.
char baseFolder[kLoadedUserFolderSize];
bool haveBaseFolder = false;

}  // namespace

void ResetConfiguration() {
    logSettings = {&relaySettings.FlushLog, &relaySettings.Debug, relaySettings.LogName, hostSettings.serviceName};
    relaySettings.UserFolder[0] = 0;
    relaySettings.Badmails[0] = 0;
    relaySettings.LoopDelay = -1;
    relaySettings.FlushLog = 0;
    relaySettings.Debug = 0;
    relaySettings.MaxMailSent = kMaxMailSent;
    relaySettings.LowLatency = 0;
    relaySettings.WatchFolders = 0;
    snprintf(relaySettings.SMTPHelo, sizeof relaySettings.SMTPHelo, "%s", kDefaultHelo);
    snprintf(relaySettings.XToHeader, sizeof relaySettings.XToHeader, "%s", kDefaultXToHeader);
    std::lock_guard<std::mutex> g(tableLock);
    domainCount = 0;
    domainTable[0].host[0] = 0;
    mailboxCount = 0;
    loadedUserFolder[0] = 0;
    loadSucceeded = false;
    loadSkippedLines = 0;
    haveBaseFolder = false;
}

void CopyLoadedConfig(LoadedConfig* out) {
    std::lock_guard<std::mutex> g(tableLock);
    int d = domainCount, m = mailboxCount;
    out->domainCount = d < 0 ? 0 : (d > kMaxDomains ? kMaxDomains : d);
    out->mailboxCount = m < 0 ? 0 : (m > kMaxMailboxes ? kMaxMailboxes : m);
    memcpy(out->domains, domainTable, sizeof domainTable);
    memcpy(out->mailboxes, mailboxTable, sizeof mailboxTable);
    snprintf(out->userFolder, sizeof out->userFolder, "%s", loadedUserFolder);
    out->loadSucceeded = loadSucceeded;
    out->skippedLines = loadSkippedLines;
    out->generation = loadGeneration;
}

bool CopyLoadedDomain(int index, DomainEntry* out) {
    std::lock_guard<std::mutex> g(tableLock);
    if (index < 0 || index >= kMaxDomains) {
        *out = DomainEntry{};
        return false;
    }
    *out = domainTable[index];
    return true;
}

void ForgetLoadedMailboxes() {
    std::lock_guard<std::mutex> g(tableLock);
    mailboxCount = 0;
    loadSucceeded = false;
    loadSkippedLines = 0;
    loadGeneration++;
}

DomainEntry& StageDomain(int index) { return stage.domains[index]; }
void SetStageDomainCount(int count) { stage.domainCount = count; }

void StageFromLoaded() {
    std::lock_guard<std::mutex> g(tableLock);
    memcpy(stage.domains, domainTable, sizeof domainTable);
    memcpy(stage.mailboxes, mailboxTable, sizeof mailboxTable);
    stage.domainCount = domainCount;
    stage.mailboxCount = mailboxCount;
    stage.succeeded = false;
    stage.skippedLines = 0;
    snprintf(stage.userFolder, sizeof stage.userFolder, "%s", loadedUserFolder);
}

void FinishStage(bool succeeded, int skippedLines, int count) {
    stage.succeeded = succeeded;
    stage.skippedLines = skippedLines;
    if (count >= 0) stage.mailboxCount = count;
}

namespace {
void PublishStage() {
    std::lock_guard<std::mutex> g(tableLock);
    memcpy(domainTable, stage.domains, sizeof domainTable);
    memcpy(mailboxTable, stage.mailboxes, sizeof mailboxTable);
    domainCount = stage.domainCount;
    mailboxCount = stage.mailboxCount;
    snprintf(loadedUserFolder, sizeof loadedUserFolder, "%s", stage.userFolder);
    loadSucceeded = stage.succeeded;
    loadSkippedLines = stage.skippedLines;
    loadGeneration++;
}
}  // namespace

namespace {

const char* Ini() { return hostSettings.iniPath; }

bool EndsWithSep(const char* s) {
    size_t n = strlen(s);
    return n > 0 && s[n - 1] == kDirSep;
}

}  // namespace

// Reads a decimal integer as "%d" does: blanks, optional sign, digits. The
// value wraps at 32 bits instead of being undefined when it is too large.
bool ParseDecimal(const char* s, int* value, const char** end) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f') s++;
    bool neg = false;
    if (*s == '-' || *s == '+') neg = *s++ == '-';
    if (*s < '0' || *s > '9') return false;
    uint32_t v = 0;
    while (*s >= '0' && *s <= '9') v = v * 10u + (uint32_t)(*s++ - '0');
    if (neg) v = 0u - v;
    *value = (int)v;
    if (end) *end = s;
    return true;
}

void ParseMailboxLine(const char* line, char* user, size_t userSize, char* folder,
                      size_t folderSize, int* domainNumber) {
    // "%[^;];%[^;];%d": each field stops the parse when it is empty or missing.
    user[0] = 0;
    folder[0] = 0;
    *domainNumber = 0;
    const char* p = line;
    size_t n = strcspn(p, ";");
    if (n == 0 || n >= userSize) return;
    memcpy(user, p, n);
    user[n] = 0;
    p += n;
    if (*p++ != ';') return;
    n = strcspn(p, ";");
    if (n == 0 || n >= folderSize) return;
    memcpy(folder, p, n);
    folder[n] = 0;
    p += n;
    if (*p++ != ';') return;
    ParseDecimal(p, domainNumber, nullptr);
}

void SwitchLogNameIfChanged(const char* logName) {
    SettingsTextGuard guard;
    if (strcmp(logName, relaySettings.LogName) == 0) return;
    CloseLogFile();
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%s", logName);
    OpenLogFile();
}

void AppendSepIfMissing(char* text, size_t size) {
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] != kDirSep && n + 1 < size) {
        text[n] = kDirSep;
        text[n + 1] = 0;
    }
}

namespace {
// Texts over the limits of the mailbox table are refused, never cut into a
// different folder or address.
bool WithinLimit(int keyNumber, const char* what, size_t length, size_t limit) {
    if (length <= limit) return true;
    LogBoth("Error adding user %d: %s too long (%d characters, at most %d).\r\n", keyNumber, what,
            (int)length, (int)limit);
    return false;
}
}  // namespace

namespace {
bool AddMailboxTo(MailboxEntry* table, int row, int absolute, const char* user,
                  const char* folderPath, const char* email, int domainIndex);
}  // namespace

MailboxKind KindOfMailbox(const char* user) {
    if (strncasecmp(user, "dm:", 3) == 0) return kMailboxDomain;
    if (strncasecmp(user, "pk:", 3) == 0) return kMailboxPickup;
    return kMailboxPersonal;
}

bool MakeMailboxFolder(int keyNumber, const char* folderText, char* path, size_t pathSize,
                       int* absolute) {
    *absolute = folderText[0] == '@';
    const char* rest = *absolute ? folderText + 1 : folderText;
    char joined[1024];
    snprintf(joined, sizeof joined, "%s%s", *absolute ? "" : stage.userFolder, rest);
    size_t full = strlen(joined) + (EndsWithSep(joined) ? 0 : 1);
    if (!WithinLimit(keyNumber, "mail directory", full, kMailboxFolderMax)) return false;
    int rc = ChangeDirectory(joined);
    if (rc != 0) {
        LogBoth("Error adding user: bad mail directory '%s' (err: %d).\r\n", joined, rc);
        return false;
    }
    snprintf(path, pathSize, "%s", joined);
    AppendSepIfMissing(path, pathSize);
    return true;
}

bool AddMailboxChecked(int row, int keyNumber, const char* user, const char* folderText,
                       const char* domainName, int domainIndex) {
    char email[600];
    snprintf(email, sizeof email, "%s@%s", user, domainName);
    if (!WithinLimit(keyNumber, "user name", strlen(user), kMailboxTextMax) ||
        !WithinLimit(keyNumber, "folder", strlen(folderText), kMailboxTextMax) ||
        !WithinLimit(keyNumber, "e-mail address", strlen(email), kMailboxTextMax))
        return false;
    char path[kMailboxTextMax + 2];
    int absolute = 0;
    if (!MakeMailboxFolder(keyNumber, folderText, path, sizeof path, &absolute)) return false;
    if (!AddMailboxTo(stage.mailboxes, row, absolute, user, path, email, domainIndex)) {
        LogBoth("Error adding user: '%s', memory alloc error.\r\n", user);
        return false;
    }
    const MailboxEntry& m = stage.mailboxes[row];
    LogBoth("Added user: %s, mailDir: %s, email: %s\r\n", m.user, m.folder, m.email);
    return true;
}

namespace {
bool AddMailboxTo(MailboxEntry* table, int row, int absolute, const char* user,
                  const char* folderPath, const char* email, int domainIndex) {
    const char* e = PoolCopy(email);
    if (!e) return false;
    const char* f = PoolCopy(folderPath);
    if (!f) return false;
    const char* u = PoolCopy(user);
    if (!u) return false;
    MailboxEntry& m = table[row];
    m.folder = f;
    m.absolute = (uint8_t)(absolute ? 1 : 0);
    m.email = e;
    m.user = u;
    m.domainIndex = domainIndex;
    return true;
}
}  // namespace

bool AddMailbox(int row, int absolute, const char* user, const char* folderPath, const char* email,
                int domainIndex) {
    std::lock_guard<std::mutex> g(tableLock);
    return AddMailboxTo(mailboxTable, row, absolute, user, folderPath, email, domainIndex);
}

bool LoadDomainSection() {
    int keys = ReadKeyNumber(kKeyDomains);
    if (keys > kMaxDomains) {
        LogBoth("Config error: number of domains must be <= %d\r\n", kMaxDomains);
        keys = kMaxDomains;
    }
    int count = 0;
    stage.domainCount = 0;
    for (int n = 1; n <= keys; n++) {
        DomainEntry& d = stage.domains[count];
        char server[80];
        ReadKeyText(kKeyDomain, n, nullptr, d.name, sizeof d.name);
        if (!d.name[0]) {
            LogBoth("Config error: mising 'Domain%d'\r\n", n);
            continue;
        }
        ReadKeyText(kKeySMTPServer, n, nullptr, server, sizeof server);
        if (!server[0]) {
            LogBoth("Config error: mising server for Domain%d (%s)\r\n", n, d.name);
            continue;
        }
        char* colon = strchr(server, ':');
        int port = 25;
        if (colon) {
            *colon = 0;
            int v;
            if (ParseDecimal(colon + 1, &v, nullptr)) port = v;
        }
        snprintf(d.host, sizeof d.host, "%s", server);
        d.port = (uint16_t)(port & 0xFFFF);
        if (!LoadDomainSecurity(n, d)) continue;
        LogBoth("Added domain[%d]='%s' (Server: %s:%d)\r\n", count + 1, d.name, d.host, (int)d.port);
        ReportDomainSecurity(count + 1, d);
        stage.domainCount = ++count;
    }
    return count > 0;
}

namespace {

// What a server that checks the HELO name takes: a name with a dot that is
// not a bare IPv4 address, or an address literal in brackets.
bool IsFullyQualifiedHelo(const char* helo) {
    size_t n = strlen(helo);
    if (helo[0] == '[') return n > 2 && helo[n - 1] == ']';
    if (!strchr(helo, '.')) return false;
    return strspn(helo, "0123456789.") != n;
}

bool LoadCurrentLayout() {

    RelaySettings& s = relaySettings;
    s.LoopDelay = ReadKeyNumber(kKeyLoopDelay);
    char logName[200];
    {
        SettingsTextGuard guard;
        ReadKeyText(kKeyUserFolder, 0, nullptr, s.UserFolder, sizeof s.UserFolder);
        ReadKeyText(kKeyBadmails, 0, nullptr, s.Badmails, sizeof s.Badmails);
        ReadKeyText(kKeyLogName, 0, s.LogName, logName, sizeof logName);
    }
    s.FlushLog = ReadKeyNumber(kKeyFlushLog);
    s.Debug = ReadKeyNumber(kKeyDebug);
    s.MaxMailSent = ReadKeyNumber(kKeyMaxMailSent);
    s.LowLatency = ReadKeyNumber(kKeyLowLatency) == 1;
    s.WatchFolders = ReadKeyNumber(kKeyWatchFolders) == 1;

    const KeyInfo& maxMail = KeyOf(kKeyMaxMailSent);
    if (s.MaxMailSent < maxMail.minValue || s.MaxMailSent > maxMail.maxValue) {
        LogBoth("Invalid MaxMailSent (%d), using %d.\r\n", s.MaxMailSent, kMaxMailSent);
        s.MaxMailSent = kMaxMailSent;
    } else if (s.MaxMailSent < kMaxMailSent) {
        LogBoth("MaxMailSent: %d.\r\n", s.MaxMailSent);
    }

    int mailboxKeys = ReadKeyNumber(kKeyMailBoxes);

    char header[80];
    ReadKeyText(kKeyXToHeader, 0, nullptr, header, sizeof header);
    if (strlen(header) >= 2) {
        size_t n = strlen(header);
        if (header[n - 1] != ':') {
            header[n] = ':';
            header[n + 1] = 0;
        }
        snprintf(s.XToHeader, sizeof s.XToHeader, "%s", header);
        LogBoth("SMTP To header searched: '%s'.\r\n", s.XToHeader);
    }

    char helo[80];
    ReadKeyText(kKeySMTPHelo, 0, s.SMTPHelo, helo, sizeof helo);
    if (!helo[0]) {
        snprintf(s.SMTPHelo, sizeof s.SMTPHelo, "%s", kDefaultHelo);
    } else {
        snprintf(s.SMTPHelo, sizeof s.SMTPHelo, "%s", helo);
        LogBoth("SMTPHelo used: '%s'.\r\n", s.SMTPHelo);
        if (!IsFullyQualifiedHelo(s.SMTPHelo))
            LogBoth("Warning: SMTPHelo '%s' is not a fully qualified domain name (such as "
                    "relay.example.org, or an address in brackets: [192.0.2.1]); servers that check "
                    "the HELO name refuse the mail.\r\n",
                    s.SMTPHelo);
    }

    SwitchLogNameIfChanged(logName);

    StageFromLoaded();
    if (!LoadDomainSection()) {
        FinishStage(false, 0, 0);
        return false;
    }
    if (loadBetweenSectionsHook) loadBetweenSectionsHook();
    {
        SettingsTextGuard guard;
        AppendSepIfMissing(s.Badmails, sizeof s.Badmails);
    }
    if (mailboxKeys > kMaxMailboxes) {
        LogBoth("Error: too many users (%d), only %d will be configured.\r\n", mailboxKeys,
                kMaxMailboxes);
        mailboxKeys = kMaxMailboxes;
    }
    if (s.LoopDelay < 1) s.LoopDelay = 120;

    FixStageUserFolder();
    int row = 0, skipped = 0;
    for (int n = 1; n <= mailboxKeys; n++) {
        char line[512], user[512], folder[512];
        int domainNumber;
        ReadKeyText(kKeyMailbox, n, nullptr, line, sizeof line);
        ParseMailboxLine(line, user, sizeof user, folder, sizeof folder, &domainNumber);
        // A line the file holds but this load leaves out is lost at the next
        // save; the Options dialog asks before that (an absent key is not).
        if (line[0]) skipped++;
        if (!user[0]) {
            LogBoth("Error adding user %d: no user name specified.\r\n", n);
            continue;
        }
        if (domainNumber < 1 || domainNumber > stage.domainCount) {
            LogBoth("Error adding user %d: invalid domain(%d).\r\n", n, domainNumber);
            continue;
        }
        if (AddMailboxChecked(row, n, user, folder, stage.domains[domainNumber - 1].name,
                              domainNumber - 1)) {
            row++;
            if (line[0]) skipped--;
        }
    }
    FinishStage(true, skipped, row);
    return true;
}

bool SameStamp(bool hadBefore, const FileStamp& a, bool hadAfter, const FileStamp& b) {
    if (hadBefore != hadAfter) return false;
    return !hadBefore || SameFileStamp(a, b);
}

}  // namespace

void FixStageUserFolder() {
    char uf[sizeof relaySettings.UserFolder];
    {
        SettingsTextGuard guard;
        snprintf(uf, sizeof uf, "%s", relaySettings.UserFolder);
    }
    snprintf(stage.userFolder, sizeof stage.userFolder, "%s", uf);
    if (IsAbsolutePath(uf)) return;
    // Every mailbox check makes its folder the working folder, so a relative
    // user folder would be taken against the previous mailbox. It is made
    // absolute once, against the working folder the first load found; an
    // empty one is that folder itself. When that cannot be done the text is
    // used as it stands.
    if (!haveBaseFolder) {
        haveBaseFolder = MakeFullPath(".", baseFolder, sizeof baseFolder);
        size_t n = strlen(baseFolder);
        if (haveBaseFolder && n >= 2 && baseFolder[n - 1] == '.' && baseFolder[n - 2] == kDirSep)
            baseFolder[n - 2] = 0;
    }
    if (!haveBaseFolder) return;
    char full[kLoadedUserFolderSize];
    if (!uf[0]) {
        snprintf(full, sizeof full, "%s", baseFolder);
        AppendSepIfMissing(full, sizeof full);
    } else {
        if (ChangeDirectory(baseFolder) != 0 || !MakeFullPath(uf, full, sizeof full)) return;
        // The user folder is a plain prefix: its final separator, or the
        // lack of one, stays as written.
        size_t n = strlen(full);
        if (EndsWithSep(uf)) AppendSepIfMissing(full, sizeof full);
        else if (n > 0 && full[n - 1] == kDirSep) full[n - 1] = 0;
    }
    snprintf(stage.userFolder, sizeof stage.userFolder, "%s", full);
}

bool LoadConfiguration() {
    // The file is read key by key, and a save may replace it between two
    // reads (old domains with new mailbox numbers would send mail as the
    // wrong address). The load is made aside and taken again at once when
    // the file's stamp changed while it was read; a few tries bound it.
    for (int attempt = 1;; attempt++) {
        FileStamp before, after;
        bool hadBefore = GetFileStamp(Ini(), &before);
        char version[8];
        ReadKeyText(kKeyVersion, 0, nullptr, version, sizeof version);
        // "0.11" and everything that sorts before it selects the old layout.
        bool ok = strcmp("0.11", version) >= 0 ? LoadLegacyConfiguration() : LoadCurrentLayout();
        bool hadAfter = GetFileStamp(Ini(), &after);
        if (attempt >= 3 || SameStamp(hadBefore, before, hadAfter, after)) {
            PublishStage();
            return ok;
        }
        LogBoth("Config file changed while it was read, reading it again.\r\n");
    }
}
