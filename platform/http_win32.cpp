// HTTPS through WinHTTP (the system's TLS and trust, nothing to ship beside
// the program), private files with an explicit access list, the loopback
// listener on Windows Sockets 2.
#include "http.h"

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>
#include <shellapi.h>
#include <winhttp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3  // older SDK headers
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace {

std::wstring Wide(const char* s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    w.resize((size_t)n - 1);
    return w;
}

const char* WinHttpErrorName(DWORD e) {
    switch (e) {
        case ERROR_WINHTTP_TIMEOUT: return "timed out";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "host name not resolved";
        case ERROR_WINHTTP_CANNOT_CONNECT: return "cannot connect";
        case ERROR_WINHTTP_CONNECTION_ERROR: return "connection broken";
        case ERROR_WINHTTP_SECURE_FAILURE: return "TLS failed or certificate not trusted";
        case ERROR_WINHTTP_INVALID_URL: return "invalid address";
        default: return "request failed";
    }
}

struct Handle {
    HINTERNET h = nullptr;
    ~Handle() {
        if (h) WinHttpCloseHandle(h);
    }
};

}  // namespace

bool HttpsPostForm(const char* url, const std::string& form, int timeoutMs, int* status, std::string* body,
                   char* err, size_t errSize) {
    *status = 0;
    body->clear();
    std::wstring wurl = Wide(url);
    URL_COMPONENTS uc;
    memset(&uc, 0, sizeof uc);
    uc.dwStructSize = sizeof uc;
    uc.dwHostNameLength = (DWORD)-1;
    uc.dwUrlPathLength = (DWORD)-1;
    uc.dwExtraInfoLength = (DWORD)-1;
    if (wurl.empty() || !WinHttpCrackUrl(wurl.c_str(), 0, 0, &uc) || uc.nScheme != INTERNET_SCHEME_HTTPS) {
        snprintf(err, errSize, "not an https:// address");
        return false;
    }
    std::wstring host(uc.lpszHostName, uc.dwHostNameLength);
    std::wstring path(uc.lpszUrlPath, uc.dwUrlPathLength);
    if (uc.lpszExtraInfo) path.append(uc.lpszExtraInfo, uc.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    Handle session, connection, request;
    DWORD e = 0;
    auto fail = [&](const char* step) {
        e = GetLastError();
        snprintf(err, errSize, "%s: WinHTTP error %lu (%s)", step, (unsigned long)e, WinHttpErrorName(e));
        return false;
    };
    session.h = WinHttpOpen(L"Ambrel", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session.h) return fail("open");
    // TLS 1.2 and 1.3, nothing older. A WinHTTP without 1.3 (before
    // Windows 11) refuses the option with 1.3 in it: then 1.2 alone.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session.h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!WinHttpSetOption(session.h, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
            return fail("TLS 1.2");
    }
    WinHttpSetTimeouts(session.h, timeoutMs, timeoutMs, timeoutMs, timeoutMs);
    connection.h = WinHttpConnect(session.h, host.c_str(), uc.nPort, 0);
    if (!connection.h) return fail("connect");
    request.h = WinHttpOpenRequest(connection.h, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!request.h) return fail("request");
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.h, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    const wchar_t headers[] = L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
    if (!WinHttpSendRequest(request.h, headers, (DWORD)-1L, const_cast<char*>(form.data()), (DWORD)form.size(),
                            (DWORD)form.size(), 0) ||
        !WinHttpReceiveResponse(request.h, nullptr))
        return fail("send");
    DWORD code = 0, len = sizeof code;
    if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &len, WINHTTP_NO_HEADER_INDEX))
        return fail("status");
    for (;;) {
        DWORD avail = 0;
        if (!WinHttpQueryDataAvailable(request.h, &avail)) return fail("receive");
        if (avail == 0) break;
        // An answer far larger than any token reply is not one.
        if (body->size() + avail > (1u << 20)) {
            snprintf(err, errSize, "answer too large");
            return false;
        }
        std::string chunk(avail, '\0');
        DWORD got = 0;
        if (!WinHttpReadData(request.h, &chunk[0], avail, &got)) return fail("receive");
        body->append(chunk.data(), got);
        if (got == 0) break;
    }
    *status = (int)code;
    return true;
}

int WritePrivateFileErrno(const char* path, const std::string& data) {
    // SYSTEM (the service), Administrators and the user writing it: the
    // window and the service both renew tokens, nobody else reads them.
    std::string sddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        unsigned char buf[256];
        DWORD len = 0;
        char* sid = nullptr;
        if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &len) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &sid)) {
            sddl += std::string("(A;;FA;;;") + sid + ")";
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return EACCES;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    std::string tmp = std::string(path) + ".new";
    DeleteFileA(tmp.c_str());
    HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    DWORD written = 0;
    BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &written, nullptr) && written == data.size();
    CloseHandle(h);
    if (!ok) {
        DeleteFileA(tmp.c_str());
        return EIO;
    }
    // Moved within its folder, the file keeps the access list it was made with.
    int rc = ReplaceFileErrno(tmp.c_str(), path);
    if (rc != 0) DeleteFileA(tmp.c_str());
    return rc;
}

bool RandomBytes(unsigned char* out, size_t len) {
    return len <= 0xFFFFFFFFu && BCryptGenRandom(nullptr, out, (ULONG)len, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

bool Sha256(const void* data, size_t len, unsigned char* out) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0;
    ok = ok && BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    ok = ok && BCryptHashData(hash, (PUCHAR)const_cast<void*>(data), (ULONG)len, 0) == 0;
    ok = ok && BCryptFinishHash(hash, out, 32, 0) == 0;
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

bool OpenInBrowser(const char* url) {
    if (_strnicmp(url, "https://", 8) != 0) return false;
    return (INT_PTR)ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL) > 32;
}

struct LoopbackListener {
    SOCKET s;
};

LoopbackListener* LoopbackListen(int* port) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return nullptr;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        WSACleanup();
        return nullptr;
    }
    *port = ntohs(a.sin_port);
    return new LoopbackListener{s};
}

SockHandle LoopbackAccept(LoopbackListener* l, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(l->s, &set);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &tv) <= 0) return kNoSocket;
    SOCKET c = accept(l->s, nullptr, nullptr);
    return c == INVALID_SOCKET ? kNoSocket : (SockHandle)c;
}

void LoopbackClose(LoopbackListener* l) {
    if (!l) return;
    closesocket(l->s);
    delete l;
    WSACleanup();
}
