// Runs the shared INI cases and the writer's round trips against the
// system's profile functions, and reads back the security descriptor a
// Save leaves on the file. Started under Wine by the Windows tests with a
// scratch folder as argument.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>

#include "tests/ini_cases.h"
#include "tests/writer_cases.h"

namespace {

// The DACL of a file as SDDL ("D:P(A;;FA;;;SY)..."), or "" when it cannot be read.
std::string DaclText(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::string name = path;
    if (GetNamedSecurityInfoA(&name[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return "";
    char* text = nullptr;
    std::string out;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        out = text;
        LocalFree(text);
    }
    LocalFree(sd);
    return out;
}

// Whether an allowing entry of the DACL names one of the groups every
// local account is in: Users, Everyone, Authenticated Users.
bool OpenToLocalUsers(const std::string& dacl) {
    for (const char* who : {";;;BU)", ";;;WD)", ";;;AU)", ";;;S-1-5-32-545)", ";;;S-1-1-0)", ";;;S-1-5-11)"})
        if (dacl.find(who) != std::string::npos) return true;
    return dacl == "D:NO_ACCESS_CONTROL";
}

bool SetDaclText(const std::string& path, const char* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) return false;
    bool ok = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    return ok;
}

// Save keeps the old file's DACL when no password is stored, and leaves
// SYSTEM, Administrators and the saving user only when one is.
int FileAccessChecks(const std::string& dir, FILE* out) {
    int failures = 0;
    auto check = [&](const char* what, bool ok, const std::string& dacl) {
        fprintf(out, "%s %s: %s\n", ok ? "ok" : "FAIL", what, dacl.c_str());
        if (!ok) failures++;
    };
    std::string ini = dir + "Access.ini";
    snprintf(hostSettings.iniPath, sizeof hostSettings.iniPath, "%s", ini.c_str());
    std::string users = dir + "users";
    CreateDirectoryA(users.c_str(), nullptr);
    CreateDirectoryA((users + "\\john").c_str(), nullptr);
    ini_cases::WriteWhole(ini, ("[Ambrel]\r\nVersion=0.28\r\nUserFolder=" + users +
                                "\\\r\nDomains=1\r\nMailBoxes=1\r\n[Domains]\r\nDomain1=example.org\r\n"
                                "SMTPServer1=127.0.0.1:587\r\n[MailBoxes]\r\nMailbox1=john;john;1\r\n")
                                   .c_str());
    CloseLogFile();
    ResetConfiguration();
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%sAccess.log", dir.c_str());
    if (!LoadConfiguration()) check("load", false, "");
    writer_cases::Working w = writer_cases::FromTables();
    auto save = [&](const writer_cases::Working& rows) {
        std::vector<MailboxRow> r = rows.Rows();
        char error[300];
        bool ok = SaveConfigurationCore(rows.domains.data(), (int)rows.domains.size(), r.data(), (int)r.size(),
                                        error, sizeof error);
        if (!ok) fprintf(out, "save: %s\n", error);
        return ok;
    };

    // A file opened to every user on purpose, without a password: kept so.
    // (Wine keeps no descriptor of its own: it maps the DACL to the Unix
    // mode and back, so the entry reads back as Everyone's read access.)
    const char kOpen[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)";
    bool set = SetDaclText(ini, kOpen);
    check("the model DACL is set", set && OpenToLocalUsers(DaclText(ini)), DaclText(ini));
    check("Save without a password keeps the old DACL", save(w) && OpenToLocalUsers(DaclText(ini)), DaclText(ini));

    // A password: nobody but SYSTEM, Administrators and the saver.
    writer_cases::Working secret = w;
    DomainEntry& d = secret.domains[0];
    d.security = kSecurityStartTls;
    snprintf(d.authUser, sizeof d.authUser, "joe");
    snprintf(d.authPassword, sizeof d.authPassword, "s3cret");
    bool saved = save(secret);
    std::string dacl = DaclText(ini);
    check("Save with a password: protected, no access for Users, Everyone or Authenticated Users",
          saved && !dacl.empty() && !OpenToLocalUsers(dacl) && dacl.find(";;;SY)") != std::string::npos,
          dacl);
    std::string text = ini_cases::ReadWhole(ini);
    check("the password is stored protected", text.find("AuthPassword1=dpapi:") != std::string::npos &&
                                                  text.find("s3cret") == std::string::npos,
          "");
    // The saver can still read and replace it: the next load and Save work.
    CloseLogFile();
    ResetConfiguration();
    snprintf(relaySettings.LogName, sizeof relaySettings.LogName, "%sAccess.log", dir.c_str());
    check("the private file loads again", LoadConfiguration() && strcmp(domainTable[0].authPassword, "s3cret") == 0,
          "");
    check("and saves again, still private", save(secret) && !OpenToLocalUsers(DaclText(ini)), DaclText(ini));
    CloseLogFile();
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: profile_check SCRATCH-FOLDER\n");
        return 2;
    }
    char full[400];
    if (!MakeFullPath(argv[1], full, sizeof full)) {
        fprintf(stderr, "profile_check: folder path too long\n");
        return 2;
    }
    std::string dir = full;
    if (dir.empty() || dir.back() != kDirSep) dir += kDirSep;
    int failures = ini_cases::RunAll(dir, stdout);
    SockStartup();  // the older layout's loader resolves its relay host
    failures += writer_cases::RunAll(dir, stdout);
    SockCleanup();
    failures += FileAccessChecks(dir, stdout);
    return failures == 0 ? 0 : 1;
}
