// The tokens file: a JSON object with one entry per domain name. Where the
// system protects secrets (Windows) an entry is "dpapi:" and the base64 of
// the protected JSON text of the entry; elsewhere it is that JSON object
// itself, and the file's mode (0600) is what protects it.
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
// A sign-in and the worker's renewal may both write: one at a time in this
// process. (Another copy of the program on the same file is not expected;
// the replace in one step still keeps the file whole.)
std::mutex storeLock;

json ReadFileObject() {
    std::string text;
    if (!ReadWholeFile(OAuthTokensPath().c_str(), &text)) return json::object();
    json j = json::parse(text, nullptr, false);
    return j.is_object() ? j : json::object();
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
    return !t->refreshToken.empty() || !t->accessToken.empty();
}

}  // namespace

std::string OAuthTokensPath() {
    std::string ini = hostSettings.iniPath;
    size_t sep = ini.rfind(kDirSep);
    std::string folder = sep == std::string::npos ? std::string() : ini.substr(0, sep + 1);
    return folder + (hostSettings.serviceName[0] ? hostSettings.serviceName : "Ambrel") + ".tokens";
}

bool LoadOAuthTokens(const char* domainName, OAuthTokens* t) {
    std::lock_guard<std::mutex> g(storeLock);
    *t = OAuthTokens{};
    json all = ReadFileObject();
    return all.contains(domainName) && DecodeEntry(all[domainName], t);
}

bool StoreOAuthTokens(const char* domainName, const OAuthTokens& t, char* why, size_t whySize) {
    std::lock_guard<std::mutex> g(storeLock);
    json all = ReadFileObject();
    json e = json::object();
    if (!t.refreshToken.empty()) e["refresh_token"] = t.refreshToken;
    if (!t.accessToken.empty()) {
        e["access_token"] = t.accessToken;
        e["expires_at"] = t.expiresAt;
    }
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
        all[domainName] = std::string(kProtectedPrefix) + text.data();
    } else {
        all[domainName] = e;
    }
    std::string path = OAuthTokensPath();
    std::string data = all.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
    int rc = WritePrivateFileErrno(path.c_str(), data);
    std::fill(data.begin(), data.end(), '\0');
    if (rc != 0) {
        snprintf(why, whySize, "unable to write the tokens file '%s' (errno %d)", path.c_str(), rc);
        return false;
    }
    return true;
}
