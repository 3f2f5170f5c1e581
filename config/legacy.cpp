// Loading the older single-relay layout: one domain, its mailboxes in a
// section named after the domain.
#include <cstdio>
#include <cstring>

#include "config.h"
#include "config_internal.h"
#include "keys.h"
#include "log/log.h"
#include "platform/platform.h"

namespace {
constexpr size_t kLegacyPairRead = 1024;

// The older layout has no security keys; a file that holds some (written by
// hand, or a current file whose Version was lost) asks for TLS or a login
// that this layout cannot give, so its domain sends nothing rather than
// relay in plain SMTP. Their names, in the product section (bare or
// numbered) and the domain section (numbered), go into one load line; true
// when there are any.
bool ReportIgnoredSecurityKeys(const char* ini) {
    char found[400] = "";
    size_t used = 0;
    for (const char* section : {kSectionProduct, kSectionDomains}) {
        for (int n = section == kSectionProduct ? 0 : 1; n <= (section == kSectionProduct ? 1 : kMaxDomains); n++) {
            for (int id = 0; id < kKeyCount; id++) {
                if (KeyOf((KeyId)id).group != kGroupSecurity) continue;
                char name[40], key[48], value[8];
                KeyBaseName((KeyId)id, name, sizeof name);
                snprintf(key, sizeof key, n ? "%s%d" : "%s", name, n);
                if (ProfileGetString(section, key, "", value, sizeof value, ini) == 0) continue;
                int w = snprintf(found + used, sizeof found - used, "%s[%s] %s", used ? ", " : "", section, key);
                if (w > 0 && (size_t)w < sizeof found - used) used += (size_t)w;
            }
        }
    }
    if (used)
        LogBoth("Config error: %s found: the older layout (no Version above 0.11) reads no security "
                "keys, so no mail is sent and it stays in the mailbox folders; set Version=" AMBREL_VERSION " and the "
                "keys of [Domains] to use them\r\n",
                found);
    return used > 0;
}
}  // namespace

bool LoadLegacyConfiguration() {
    const char* ini = hostSettings.iniPath;
    RelaySettings& s = relaySettings;
    StageFromLoaded();
    DomainEntry& d = StageDomain(0);
    SetStageDomainCount(1);
    ClearDomainSecurity(d);  // the old layout has no security keys
    bool securityAsked = ReportIgnoredSecurityKeys(ini);

    d.port = (uint16_t)(ReadKeyNumber(kKeyLegacyPort) & 0xFFFF);
    s.LoopDelay = ReadKeyNumber(kKeyLoopDelay);
    char logName[200];
    {
        // The texts shared with the Options dialog are read under the guard;
        // it is the log's lock too, so it is never held across the host
        // look-up below (the window would wait for the resolver).
        SettingsTextGuard guard;
        ReadKeyText(kKeyUserFolder, 0, nullptr, s.UserFolder, sizeof s.UserFolder);
        ReadKeyText(kKeyBadmails, 0, nullptr, s.Badmails, sizeof s.Badmails);
        ReadKeyText(kKeyLogName, 0, s.LogName, logName, sizeof logName);
    }
    ReadKeyText(kKeyLegacyDomain1, 0, nullptr, d.name, sizeof d.name);
    ReadKeyText(kKeyLegacySMTPServer, 0, nullptr, d.host, sizeof d.host);
    int mailboxKeys = ReadKeyNumber(kKeyMailBoxes);

    SwitchLogNameIfChanged(logName);
    {
        SettingsTextGuard guard;
        AppendSepIfMissing(s.Badmails, sizeof s.Badmails);
    }

    // A failed load of this layout keeps the mailboxes of the last one.
    if (!d.host[0]) {
        LogBoth("Missing SMTP relay host name.\r\n");
        FinishStage(false, 0, -1);
        return false;
    }
    if (mailboxKeys > kMaxMailboxes) {
        LogBoth("Error: too many users (%d), only %d will be configured.\r\n", mailboxKeys,
                kMaxMailboxes);
        mailboxKeys = kMaxMailboxes;
    }
    if (s.LoopDelay < 1) s.LoopDelay = 120;

    // Resolved the way the SMTP client resolves a relay host (the platform's
    // look-up: dotted IPv4 first, then a name look-up); the session resolves
    // it again before it connects, so this is only the check that the host
    // exists.
    uint32_t addr;
    if (!SockResolveIPv4(d.host, &addr)) {
        LogBoth("Invalid SMTP relay host name '%s'.\r\n", d.host);
        FinishStage(false, 0, -1);
        return false;
    }

    FixStageUserFolder();
    // Security keys that this layout cannot honour: no mailbox is relayed.
    if (securityAsked) mailboxKeys = 0;
    int row = 0, skipped = 0;
    for (int n = 1; n <= mailboxKeys; n++) {
        // The pair is read whole and checked against the 255-character
        // limits of the mailbox table, so an overlong name or folder is
        // refused with a message instead of being cut into another one.
        char key[32], user[kLegacyPairRead], folder[kLegacyPairRead];
        KeyName(kKeyLegacyMBaddr, n, key, sizeof key);
        user[0] = folder[0] = 0;
        // An empty domain name names no section: every pair reads empty
        // (and never the lines above the first section).
        if (d.name[0]) {
            ProfileGetString(d.name, key, "", user, sizeof user, ini);
            KeyName(kKeyLegacyMBdir, n, key, sizeof key);
            ProfileGetString(d.name, key, "", folder, sizeof folder, ini);
        }
        bool inFile = user[0] || folder[0];
        if (!user[0]) {
            LogBoth("Error adding user %d: no user name specified.\r\n", n);
            if (inFile) skipped++;
            continue;
        }
        if (AddMailboxChecked(row, n, user, folder, d.name, 0)) row++;
        else skipped++;
    }
    FinishStage(true, skipped, row);
    return true;
}
