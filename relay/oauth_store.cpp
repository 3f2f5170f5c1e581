// The tokens file: a JSON object with one entry per domain name. Where the
// system protects secrets (Windows) an entry is "dpapi:" and the base64 of
// the protected JSON text of the entry; elsewhere it is that JSON object
// itself, and the file's mode (0600) is what protects it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/config.h"
#include "oauth.h"
#include "platform/http.h"
#include "platform/platform.h"

namespace {

using nlohmann::json;

const char kProtectedPrefix[] = "dpapi:";
// Another holder of the file is at most one token request (60 s) away from
// letting go of it.
constexpr int kLockWaitMs = 90 * 1000;
// Threads of this process take turns here before the file lock, which then
// only ever waits for another process.
std::mutex storeLock;

// Where a text stops being JSON, for the line that asks to mend it.
struct SyntaxCheck : nlohmann::json_sax<json> {
    size_t errorAt = 0;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        errorAt = position;
        return false;
    }
};

// What to tell the user when the file is there but of no use: which file,
// what is wrong, what to do; and that it was left as it is.
void Unusable(const std::string& path, const std::string& what, char* why, size_t whySize) {
    snprintf(why, whySize,
             "the tokens file '%s' %s; nothing was written to it (it holds every domain's sign-in)",
             path.c_str(), what.c_str());
}

bool DecodeEntry(const json& v, OAuthTokens* t) {
    json e;
    if (v.is_object()) {
        e = v;
    } else if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        size_t prefix = sizeof kProtectedPrefix - 1;
        if (s.size() <= prefix || strncasecmp(s.c_str(), kProtectedPrefix, prefix) != 0) return false;
        std::vector<unsigned char> blob(s.size());
        size_t n = 0;
        if (!Base64Decode(s.c_str() + prefix, blob.data(), blob.size(), &n) || n == 0) return false;
        std::vector<char> clear(n + 1);
        bool ok = UnprotectSecret(blob.data(), n, clear.data(), clear.size());
        if (ok) e = json::parse(clear.data(), nullptr, false);
        memset(clear.data(), 0, clear.size());
        if (!ok) return false;
    } else {
        return false;
    }
    if (!e.is_object()) return false;
    auto text = [&](const char* k) { return e.contains(k) && e[k].is_string() ? e[k].get<std::string>() : ""; };
    t->refreshToken = text("refresh_token");
    t->accessToken = text("access_token");
    t->expiresAt = e.contains("expires_at") && e["expires_at"].is_number_integer() ? e["expires_at"].get<long long>() : 0;
    t->tokenUrl = text("token_url");
    t->clientId = text("client_id");
    t->user = text("user");
    return !t->refreshToken.empty() || !t->accessToken.empty();
}

}  // namespace

struct TokensFile {
    std::unique_lock<std::mutex> inProcess;
    FileLock* lock = nullptr;
    std::string path;
    json all;
};

std::string OAuthTokensPath() {
    std::string ini = hostSettings.iniPath;
    size_t sep = ini.rfind(kDirSep);
    std::string folder = sep == std::string::npos ? std::string() : ini.substr(0, sep + 1);
    return folder + (hostSettings.serviceName[0] ? hostSettings.serviceName : "Ambrel") + ".tokens";
}

TokensFile* OpenTokensFile(char* why, size_t whySize) {
    auto* f = new TokensFile{std::unique_lock<std::mutex>(storeLock), nullptr, OAuthTokensPath(), json::object()};
    int err = 0;
    f->lock = FileLockAcquire((f->path + ".lock").c_str(), kLockWaitMs, &err);
    if (!f->lock) {
        if (err == ETIMEDOUT)
            snprintf(why, whySize, "the tokens file '%s' stayed locked by another copy of the program (%s.lock)",
                     f->path.c_str(), f->path.c_str());
        else
            snprintf(why, whySize,
                     "unable to lock the tokens file '%s' (%s.lock, errno %d): let this account write in its folder",
                     f->path.c_str(), f->path.c_str(), err);
        delete f;
        return nullptr;
    }
    std::string text;
    int rc = ReadWholeFileErrno(f->path.c_str(), &text);
    if (rc == ENOENT) return f;  // no sign-in yet: the first store makes it
    std::string what;
    if (rc != 0) {
        what = "cannot be read (errno " + std::to_string(rc) +
               "): let this account read it, or sign in again as this account after moving it aside";
    } else {
        SyntaxCheck check;
        if (!json::sax_parse(text, &check)) {
            size_t line = 1;
            for (size_t i = 0; i < check.errorAt && i < text.size(); i++) line += text[i] == '\n';
            what = "is not valid JSON (line " + std::to_string(line) +
                   "): correct it, or remove the entry that is broken (that domain then signs in again)";
        } else {
            f->all = json::parse(text, nullptr, false);
            if (!f->all.is_object()) what = "does not hold one object of entries: correct it or move it aside";
        }
    }
    std::fill(text.begin(), text.end(), '\0');
    if (what.empty()) return f;
    Unusable(f->path, what, why, whySize);
    CloseTokensFile(f);
    return nullptr;
}

bool TokensFileEntry(TokensFile* f, const char* domainName, OAuthTokens* t) {
    *t = OAuthTokens{};
    return f->all.contains(domainName) && DecodeEntry(f->all[domainName], t);
}

bool TokensFileReplace(TokensFile* f, const char* domainName, const OAuthTokens& t, char* why, size_t whySize) {
    json e = json::object();
    if (!t.refreshToken.empty()) e["refresh_token"] = t.refreshToken;
    if (!t.accessToken.empty()) {
        e["access_token"] = t.accessToken;
        e["expires_at"] = t.expiresAt;
    }
    e["token_url"] = t.tokenUrl;
    e["client_id"] = t.clientId;
    e["user"] = t.user;
    json entry;
    if (SecretProtectionAvailable()) {
        std::string clear = e.dump(-1, ' ', false, json::error_handler_t::replace);
        std::vector<unsigned char> blob(clear.size() + 4096);
        size_t n = ProtectSecret(clear.c_str(), blob.data(), blob.size());
        std::fill(clear.begin(), clear.end(), '\0');
        if (n == 0) {
            snprintf(why, whySize, "the tokens could not be protected");
            return false;
        }
        std::vector<char> text((n + 2) / 3 * 4 + 1);
        Base64Encode(blob.data(), n, text.data(), text.size());
        entry = std::string(kProtectedPrefix) + text.data();
    } else {
        entry = e;
    }
    json all = f->all;
    all[domainName] = entry;
    std::string data = all.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
    int rc = WritePrivateFileErrno(f->path.c_str(), data);
    std::fill(data.begin(), data.end(), '\0');
    if (rc != 0) {
        snprintf(why, whySize, "unable to write the tokens file '%s' (errno %d)", f->path.c_str(), rc);
        return false;
    }
    f->all = std::move(all);
    return true;
}

void CloseTokensFile(TokensFile* f) {
    if (!f) return;
    FileLockRelease(f->lock);
    delete f;  // the in-process lock goes last
}

bool LoadOAuthTokens(const char* domainName, OAuthTokens* t) {
    char why[300];
    *t = OAuthTokens{};
    TokensFile* f = OpenTokensFile(why, sizeof why);
    bool ok = f && TokensFileEntry(f, domainName, t);
    CloseTokensFile(f);
    return ok;
}

bool StoreOAuthTokens(const char* domainName, const OAuthTokens& t, char* why, size_t whySize) {
    TokensFile* f = OpenTokensFile(why, whySize);
    bool ok = f && TokensFileReplace(f, domainName, t, why, whySize);
    CloseTokensFile(f);
    return ok;
}
