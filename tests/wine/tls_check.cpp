// The TLS channel and the protected secrets against the system's own
// services, under Wine. The test step starts a TLS server on 127.0.0.1 that
// obeys the first line of each connection (echo N / close / drop / silent)
// and a plain one that answers like an SMTP server, and passes their ports
// and the SHA-256 of the server's certificate.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/http.h"
#include "platform/platform.h"

#include <windows.h>
#include <aclapi.h>

namespace {

int passed = 0, failed = 0;

void Check(const char* name, bool ok, const std::string& detail = "") {
    (ok ? passed : failed)++;
    printf("%s%s\n", ok ? "ok   " : "FAIL ", name);
    if (!ok && !detail.empty()) printf("     %s\n", detail.c_str());
    fflush(stdout);
}

bool ParsePin(const char* hex, unsigned char pin[kSha256Size]) {
    if (strlen(hex) != 2 * kSha256Size) return false;
    for (size_t i = 0; i < kSha256Size; i++) {
        unsigned v = 0;
        if (sscanf(hex + 2 * i, "%2x", &v) != 1) return false;
        pin[i] = (unsigned char)v;
    }
    return true;
}

uint16_t tlsPort = 0, plainPort = 0;

SockHandle Dial(uint16_t port, int recvMs) {
    SockHandle s = SockCreateTcp();
    if (s == kNoSocket) return s;
    if (!SockConnect(s, 0x0100007F /* 127.0.0.1 in network order */, port) ||
        !SockSetTimeouts(s, recvMs, 10000)) {
        SockClose(s);
        return kNoSocket;
    }
    return s;
}

// A handshake with `pin` (or none); the channel or nullptr with `err` filled.
TlsChannel* Open(SockHandle* s, const unsigned char* pin, std::string* err, int recvMs = 10000,
                 uint16_t port = 0) {
    *s = Dial(port ? port : tlsPort, recvMs);
    if (*s == kNoSocket) {
        *err = "cannot connect";
        return nullptr;
    }
    char buf[200];
    TlsChannel* t = TlsConnect(*s, "localhost", pin, buf, sizeof buf);
    *err = buf;
    if (!t) SockClose(*s);
    return t;
}

bool SendText(TlsChannel* t, const std::string& text) {
    return TlsSend(t, text.data(), (int)text.size()) == (int)text.size();
}

void EchoAndCloses(const unsigned char* pin) {
    SockHandle s;
    std::string err;
    TlsChannel* t = Open(&s, pin, &err);
    Check("handshake with the right fingerprint", t, err);
    if (!t) return;
    // More than six full records in one call, then read back in pieces that
    // never line up with a record: splitting, partial records and the
    // decrypted surplus all take part.
    std::string data(150001, 0);
    uint32_t x = 12345;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = (char)(x >> 24);
    }
    bool sent = SendText(t, "echo " + std::to_string(data.size()) + "\n") && SendText(t, data);
    std::string back;
    char buf[7000];
    int n = 0, step = 1;
    while (sent && back.size() < data.size()) {
        step = (step + 997) % (int)sizeof buf + 1;
        n = TlsRecv(t, buf, step);
        if (n <= 0) break;
        back.append(buf, (size_t)n);
    }
    Check("150 KB round trip byte-exact", sent && back == data,
          "sent " + std::to_string(sent) + ", got " + std::to_string(back.size()) + " bytes, last " +
              std::to_string(n) + ", error " + std::to_string(SockLastError()));

    // The server's reply, then its closing alert: the reply first, then 0.
    SendText(t, "close\n");
    n = TlsRecv(t, buf, sizeof buf);
    std::string bye(buf, n > 0 ? (size_t)n : 0);
    int end = TlsRecv(t, buf, sizeof buf);
    Check("closing alert: data, then 0", bye == "bye\n" && end == 0,
          "got \"" + bye + "\", then " + std::to_string(end));
    TlsClose(t);
    SockClose(s);

    t = Open(&s, pin, &err);
    if (t) {
        SendText(t, "drop\n");
        n = TlsRecv(t, buf, sizeof buf);
        Check("connection cut without alert: 0", n == 0, std::to_string(n));
        TlsClose(t);
        SockClose(s);
    } else {
        Check("connection cut without alert: 0", false, err);
    }

    t = Open(&s, pin, &err, 1000);
    if (t) {
        SendText(t, "silent\n");
        n = TlsRecv(t, buf, sizeof buf);
        int code = SockLastError();
        Check("silent server: -1 and 10060 after the time-out", n == -1 && code == 10060,
              std::to_string(n) + " / " + std::to_string(code));
        TlsClose(t);
        SockClose(s);
    } else {
        Check("silent server: -1 and 10060 after the time-out", false, err);
    }
}

void Refusals(const unsigned char* pin) {
    SockHandle s;
    std::string err;
    unsigned char wrong[kSha256Size];
    memcpy(wrong, pin, kSha256Size);
    wrong[kSha256Size - 1] ^= 1;
    TlsChannel* t = Open(&s, wrong, &err);
    Check("wrong fingerprint refused", !t && err == "certificate fingerprint does not match", err);
    if (t) TlsClose(t);

    t = Open(&s, nullptr, &err);
    Check("self-signed without a fingerprint refused as untrusted",
          !t && err.rfind("certificate not trusted (0x", 0) == 0, err);
    if (t) TlsClose(t);

    t = Open(&s, pin, &err, 1000, plainPort);
    Check("plain SMTP server: handshake failed",
          !t && err.rfind("TLS handshake failed (", 0) == 0, err);
    if (t) TlsClose(t);
}

void Secrets() {
    const char* secret = "p\xE4ss word:with=odd;chars";
    unsigned char blob[2048];
    size_t len = ProtectSecret(secret, blob, sizeof blob);
    char clear[64];
    bool back = len > 0 && UnprotectSecret(blob, len, clear, sizeof clear);
    Check("secret round trip", back && strcmp(clear, secret) == 0 &&
                                   std::string((const char*)blob, len).find("word:with") == std::string::npos,
          "protected " + std::to_string(len) + " bytes");
    if (len < 30) return;
    bool refused = true;
    // A changed byte in the encrypted text or in the signature that ends the
    // blob (the system may ignore some header bytes that carry no secret).
    for (size_t at : {len - 30, len - 1}) {
        blob[at] ^= 0x20;
        refused = refused && !UnprotectSecret(blob, len, clear, sizeof clear) && clear[0] == 0;
        blob[at] ^= 0x20;
    }
    Check("tampered secret refused", refused);
    Check("secret that does not fit refused",
          !UnprotectSecret(blob, len, clear, strlen(secret)) && clear[0] == 0 &&
              ProtectSecret(secret, blob, 10) == 0);
}

// A server that speaks nothing newer than TLS 1.1 (where the system still
// allows 1.1): the channel asks for 1.2 and 1.3 only, so the handshake
// fails even with the right fingerprint.
void OldProtocolRefused(uint16_t oldPort, const unsigned char* pin) {
    SockHandle s;
    std::string err;
    TlsChannel* t = Open(&s, pin, &err, 10000, oldPort);
    Check("TLS 1.1 server refused", !t && err.find("handshake") != std::string::npos, err);
    if (t) {
        TlsClose(t);
        SockClose(s);
    }
}

// The token endpoints' client (WinHTTP) against the local identity provider.
// Before the run's CA is in the prefix's Root store the endpoint is refused,
// as an http:// address is; after it, the same request is answered. (The
// address names the host: Wine's name check matches DNS names of the
// certificate only, not its IP addresses.)
struct TokenAnswer {
    bool ok;
    int status;
    std::string body;
    char err[300];
};

// A client-credentials request to the identity provider's token endpoint,
// at `url` or (empty) at https://localhost:PORT/token.
TokenAnswer PostToken(int idpPort, const std::string& url = "") {
    TokenAnswer a{false, 0, "", ""};
    std::string to = url.empty() ? "https://localhost:" + std::to_string(idpPort) + "/token" : url;
    a.ok = HttpsPostForm(to.c_str(), "grant_type=client_credentials&client_id=ambrel-test&client_secret=cl-s3cret",
                         20000, &a.status, &a.body, a.err, sizeof a.err);
    return a;
}

void Https(int idpPort) {
    TokenAnswer a = PostToken(idpPort);
    Check("HTTPS: an untrusted endpoint refused", !a.ok && strstr(a.err, "WinHTTP error"), a.err);
    a = PostToken(idpPort, "http://127.0.0.1:" + std::to_string(idpPort) + "/token");
    Check("HTTPS: an http:// address refused", !a.ok && strstr(a.err, "https://"), a.err);
}

// The control of the refusal above: the same request, the CA now trusted.
void HttpsTrusted(int idpPort) {
    TokenAnswer a = PostToken(idpPort);
    Check("HTTPS: a trusted endpoint answers with a token",
          a.ok && a.status == 200 && a.body.find("\"access_token\"") != std::string::npos, a.err + (" " + a.body));
}

// An s_server on TLS 1.2 alone whose trusted certificate names "localhost"
// only in its common name, and which renegotiates when a client sends
// "reneg" (the test step types "r" at its console): the certificate is
// refused without a fingerprint, and with one the renegotiation ends the
// connection as a TLS failure instead of a new handshake.
void CommonNameAndRenegotiation(uint16_t port, const unsigned char* pin) {
    SockHandle s;
    std::string err;
    TlsChannel* t = Open(&s, nullptr, &err, 10000, port);
    Check("trusted certificate naming the host only in its CN refused",
          !t && err == "certificate does not match the host name localhost (no subjectAltName)", err);
    if (t) {
        TlsClose(t);
        SockClose(s);
    }
    t = Open(&s, pin, &err, 15000, port);
    Check("TLS 1.2 server with the right fingerprint accepted", t, err);
    if (!t) return;
    char buf[100];
    int n = SendText(t, "reneg\n") ? TlsRecv(t, buf, sizeof buf) : 0;
    int code = SockLastError();
    Check("TLS 1.2 renegotiation refused: -1 and 10053", n == -1 && code == 10053,
          std::to_string(n) + " / " + std::to_string(code));
    TlsClose(t);
    SockClose(s);
}

// The tokens file: written whole, and its access list names no one but
// SYSTEM, Administrators and the writing user.
void PrivateFile() {
    const char* path = "private_check.tokens";
    bool written = WritePrivateFileErrno(path, "{\"a\": 1}\n") == 0 && WritePrivateFileErrno(path, "{\"b\": 2}\n") == 0;
    std::string back;
    Check("private file replaced whole", written && ReadWholeFileErrno(path, &back) == 0 && back == "{\"b\": 2}\n", back);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                     nullptr, &sd);
    BYTE sids[4][SECURITY_MAX_SID_SIZE];
    WELL_KNOWN_SID_TYPE kinds[4] = {WinLocalSystemSid, WinBuiltinUsersSid, WinWorldSid, WinAuthenticatedUserSid};
    for (int i = 0; i < 4; i++) {
        DWORD n = SECURITY_MAX_SID_SIZE;
        CreateWellKnownSid(kinds[i], nullptr, sids[i], &n);
    }
    bool system = false, others = false;
    int aces = 0;
    for (DWORD i = 0; rc == ERROR_SUCCESS && dacl && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        aces++;
        PSID sid = &ace->SidStart;
        system = system || EqualSid(sid, sids[0]);
        for (int k = 1; k < 4; k++) others = others || EqualSid(sid, sids[k]);
    }
    Check("private file: SYSTEM may read it, Users and Everyone may not",
          rc == ERROR_SUCCESS && dacl && system && !others && aces <= 3,
          "rc " + std::to_string(rc) + ", " + std::to_string(aces) + " entries");
    if (sd) LocalFree(sd);
    DeleteFileA(path);
}

}  // namespace

int main(int argc, char** argv) {
    // Run again once the test has put its certificates into the Root store.
    unsigned char pin[kSha256Size];
    if (argc == 5 && strcmp(argv[1], "trusted") == 0 && ParsePin(argv[4], pin)) {
        SockStartup();
        HttpsTrusted(atoi(argv[2]));
        CommonNameAndRenegotiation((uint16_t)atoi(argv[3]), pin);
        SockCleanup();
        printf("%d passed, %d failed\n", passed, failed);
        return failed == 0 ? 0 : 1;
    }
    if (argc < 4 || !ParsePin(argv[3], pin)) {
        fprintf(stderr, "usage: tls_check TLS-PORT PLAIN-PORT SHA256-HEX [TLS1.1-PORT [IDP-PORT]]\n"
                        "       tls_check trusted IDP-PORT TLS1.2-CN-PORT ITS-SHA256-HEX\n");
        return 2;
    }
    tlsPort = (uint16_t)atoi(argv[1]);
    plainPort = (uint16_t)atoi(argv[2]);
    SockStartup();
    EchoAndCloses(pin);
    Refusals(pin);
    Secrets();
    if (argc >= 5) OldProtocolRefused((uint16_t)atoi(argv[4]), pin);
    PrivateFile();
    // The identity provider's port, when the step runs one.
    if (argc >= 6) Https(atoi(argv[5]));
    SockCleanup();
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
