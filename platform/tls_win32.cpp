// TLS client on a connected blocking socket through SSPI (SChannel): nothing
// to ship beside the program. SChannel is told not to judge the server's
// certificate itself; the checks after the handshake decide, so that a pinned
// certificate on the local network needs no trust in the system's stores.
#define SECURITY_WIN32
#include "platform.h"

#include <winsock.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Room for one whole record as it arrives (16 KB of data plus header, padding
// and MAC) and for handshake messages that SChannel wants in one piece; a
// peer that needs more is refused rather than let the buffer grow.
constexpr size_t kInputSize = 0x10000;

// The error a failure of TLS itself (not of the socket) leaves in
// SockLastError(): the connection is of no further use, as after an abort.
constexpr int kTlsBrokenError = 10053;  // WSAECONNABORTED

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

}  // namespace

struct TlsChannel {
    SockHandle sock;
    CredHandle cred;
    CtxtHandle ctx;
    bool haveCred;
    bool haveCtx;
    bool closed;      // close_notify or end of stream seen
    char target[256]; // the name the handshake was made for (SNI)
    bool pinned;      // a certificate after the first is held to the same check
    unsigned char pin[kSha256Size];
    SecPkgContext_StreamSizes sizes;
    char* in;         // received, not yet decrypted bytes
    size_t inLen;
    char* plain;      // decrypted bytes not yet handed to the caller
    size_t plainPos, plainLen;
    char* out;        // header + data + trailer of one record being sent
};

namespace {

void Release(TlsChannel* t) {
    if (t->haveCtx) DeleteSecurityContext(&t->ctx);
    if (t->haveCred) FreeCredentialsHandle(&t->cred);
    // Decrypted replies may hold what a server echoes of a login.
    if (t->plain) SecureZeroMemory(t->plain, kInputSize);
    delete[] t->in;
    delete[] t->plain;
    delete[] t->out;
    delete t;
}

// Sends a token SChannel allocated and frees it; false when the socket failed.
bool SendToken(TlsChannel* t, SecBuffer* token) {
    bool ok = true;
    if (token->pvBuffer) {
        if (token->cbBuffer > 0)
            ok = SockSend(t->sock, static_cast<const char*>(token->pvBuffer), (int)token->cbBuffer) ==
                 (int)token->cbBuffer;
        FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = nullptr;
        token->cbBuffer = 0;
    }
    return ok;
}

// Reads more bytes after the ones already held: > 0 read, 0 closed, -1 socket
// error (its code kept), -2 the buffer is full.
int ReadMore(TlsChannel* t) {
    if (t->inLen >= kInputSize) return -2;
    int n = SockRecv(t->sock, t->in + t->inLen, (int)(kInputSize - t->inLen));
    if (n > 0) t->inLen += (size_t)n;
    return n;
}

// Keeps the unprocessed tail SChannel reports as extra at the front of the
// input buffer, or empties it.
void KeepExtra(TlsChannel* t, const SecBuffer& maybeExtra) {
    if (maybeExtra.BufferType == SECBUFFER_EXTRA && maybeExtra.cbBuffer > 0 &&
        maybeExtra.cbBuffer <= t->inLen) {
        memmove(t->in, t->in + (t->inLen - maybeExtra.cbBuffer), maybeExtra.cbBuffer);
        t->inLen = maybeExtra.cbBuffer;
    } else {
        t->inLen = 0;
    }
}

// How a negotiation ended when the socket, not SChannel, stopped it.
enum SockOutcome { kSockFine, kSockFailed, kSockClosed, kSockFull };

// Runs InitializeSecurityContext until the context is complete, starting with
// whatever the input buffer already holds (nothing at the start, the server's
// post-handshake message later). 0 when done, else the failing status; when
// the socket stopped it, *sock says how (its error code is kept).
SECURITY_STATUS Negotiate(TlsChannel* t, bool first, SockOutcome* sock) {
    *sock = kSockFine;
    bool needRead = false;
    for (int rounds = 0; rounds < 64; rounds++) {
        if (needRead) {
            int n = ReadMore(t);
            if (n <= 0) {
                *sock = n == 0 ? kSockClosed : n == -2 ? kSockFull : kSockFailed;
                return SEC_E_INTERNAL_ERROR;
            }
        }
        SecBuffer inBufs[2] = {{(unsigned long)t->inLen, SECBUFFER_TOKEN, t->in},
                               {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBufs};
        SecBuffer outBufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, outBufs};
        ULONG attrs = 0;
        SECURITY_STATUS st = InitializeSecurityContextA(
            &t->cred, first ? nullptr : &t->ctx, t->target, kContextFlags, 0, 0,
            first ? nullptr : &inDesc, 0, &t->ctx, &outDesc, &attrs, nullptr);
        if (first && !FAILED(st)) t->haveCtx = true;
        first = false;
        if (st == SEC_E_INCOMPLETE_MESSAGE) {
            if (outBufs[0].pvBuffer) FreeContextBuffer(outBufs[0].pvBuffer);
            needRead = true;
            continue;
        }
        // A failure can come with an alert for the server: send it on the way out.
        bool sent = SendToken(t, &outBufs[0]);
        if (FAILED(st)) return st;
        if (!sent) {
            *sock = kSockFailed;
            return SEC_E_INTERNAL_ERROR;
        }
        if (st == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate; we have none to give,
            // and SChannel goes on without one when asked again.
            needRead = false;
            continue;
        }
        KeepExtra(t, inBufs[1]);
        if (st == SEC_E_OK) return 0;
        if (st != SEC_I_CONTINUE_NEEDED) return st;
        needRead = t->inLen == 0;
    }
    return SEC_E_INTERNAL_ERROR;
}

bool Sha256(const BYTE* data, DWORD len, unsigned char out[kSha256Size]) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
    HCRYPTHASH hash = 0;
    DWORD size = kSha256Size;
    bool ok = CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, data, len, 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, out, &size, 0) && size == kSha256Size;
    if (hash) CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
    return ok;
}

// The chain up to a root the system trusts, for server authentication, with
// the certificate naming `serverName`. 0 when it holds, else the reason's code.
DWORD VerifyChain(PCCERT_CONTEXT cert, const char* serverName) {
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH),
                      const_cast<LPSTR>(szOID_SERVER_GATED_CRYPTO),
                      const_cast<LPSTR>(szOID_SGC_NETSCAPE)};
    CERT_CHAIN_PARA chainPara;
    memset(&chainPara, 0, sizeof chainPara);
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The intermediates the server sent are in the certificate's own store.
    // No revocation look-up: a relay host often has no route to the lists,
    // and a look-up that cannot finish would hold up every message.
    if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, 0, nullptr,
                                 &chain))
        return GetLastError() ? GetLastError() : (DWORD)CERT_E_CHAINING;
    wchar_t wideName[256];
    if (MultiByteToWideChar(CP_ACP, 0, serverName, -1, wideName, 256) == 0) wideName[0] = 0;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
    memset(&ssl, 0, sizeof ssl);
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = wideName;
    CERT_CHAIN_POLICY_PARA policyPara;
    memset(&policyPara, 0, sizeof policyPara);
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status;
    memset(&status, 0, sizeof status);
    status.cbSize = sizeof status;
    DWORD result = 0;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &status))
        result = GetLastError() ? GetLastError() : (DWORD)CERT_E_CHAINING;
    else
        result = status.dwError;
    CertFreeCertificateChain(chain);
    return result;
}

// The checks SChannel was told to leave to us; false with the reason in err.
bool CheckServer(TlsChannel* t, char* err, size_t errSize) {
    const unsigned char* pin = t->pinned ? t->pin : nullptr;
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(&t->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        !cert) {
        snprintf(err, errSize, "the server sent no certificate");
        return false;
    }
    bool ok = false;
    if (pin) {
        unsigned char digest[kSha256Size];
        if (!Sha256(cert->pbCertEncoded, cert->cbCertEncoded, digest))
            snprintf(err, errSize, "cannot hash the server certificate (0x%08lX)",
                     (unsigned long)GetLastError());
        else if (memcmp(digest, pin, kSha256Size) != 0)
            snprintf(err, errSize, "certificate fingerprint does not match");
        else
            ok = true;
    } else if (!CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                  cert->pCertInfo->rgExtension)) {
        // The system's SSL policy falls back to the subject's common name
        // when there is no subjectAltName; that fallback is refused, as the
        // OpenSSL build refuses it.
        snprintf(err, errSize, "certificate does not match the host name %s (no subjectAltName)", t->target);
    } else {
        DWORD code = VerifyChain(cert, t->target);
        if (code == 0) ok = true;
        else if (code == (DWORD)CERT_E_CN_NO_MATCH)
            snprintf(err, errSize, "certificate does not match the host name %s (0x%08lX)",
                     t->target, (unsigned long)code);
        else if (code == (DWORD)CERT_E_EXPIRED)
            snprintf(err, errSize, "certificate expired or not yet valid (0x%08lX)",
                     (unsigned long)code);
        else
            snprintf(err, errSize, "certificate not trusted (0x%08lX)", (unsigned long)code);
    }
    CertFreeCertificateContext(cert);
    return ok;
}

}  // namespace

TlsChannel* TlsConnect(SockHandle s, const char* serverName, const unsigned char* pinSha256,
                       char* err, size_t errSize) {
    if (errSize > 0) err[0] = 0;
    TlsChannel* t = new (std::nothrow) TlsChannel();
    if (!t) {
        snprintf(err, errSize, "out of memory for TLS");
        return nullptr;
    }
    t->sock = s;
    snprintf(t->target, sizeof t->target, "%s", serverName ? serverName : "");
    t->pinned = pinSha256 != nullptr;
    if (pinSha256) memcpy(t->pin, pinSha256, kSha256Size);
    t->in = new (std::nothrow) char[kInputSize];
    t->plain = new (std::nothrow) char[kInputSize];
    if (!t->in || !t->plain) {
        snprintf(err, errSize, "out of memory for TLS");
        Release(t);
        return nullptr;
    }

    // TLS 1.2 and 1.3 only, with strong crypto, whatever older versions and
    // ciphers the system still allows: the same floor as the OpenSSL build.
    // A system that does not know TLS 1.3 in these credentials refuses them;
    // it is then asked for TLS 1.2 alone.
    SECURITY_STATUS st = SEC_E_INTERNAL_ERROR;
    const DWORD floors[] = {SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT, SP_PROT_TLS1_2_CLIENT};
    for (DWORD protocols : floors) {
        SCHANNEL_CRED cred;
        memset(&cred, 0, sizeof cred);
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = protocols;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        TimeStamp expiry;
        st = AcquireCredentialsHandleA(nullptr, const_cast<LPSTR>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                       &cred, nullptr, nullptr, &t->cred, &expiry);
        if (st == SEC_E_OK) break;
    }
    if (st != SEC_E_OK) {
        snprintf(err, errSize, "TLS not available (0x%08lX)", (unsigned long)st);
        Release(t);
        return nullptr;
    }
    t->haveCred = true;

    SockOutcome sock;
    st = Negotiate(t, true, &sock);
    if (st != 0) {
        if (sock == kSockFailed)
            snprintf(err, errSize, "TLS handshake failed (socket error %d)", SockLastError());
        else if (sock == kSockClosed)
            snprintf(err, errSize, "TLS handshake failed (connection closed by the server)");
        else
            snprintf(err, errSize, "TLS handshake failed (0x%08lX)", (unsigned long)st);
        Release(t);
        return nullptr;
    }
    if (!CheckServer(t, err, errSize)) {
        TlsClose(t);
        return nullptr;
    }
    st = QueryContextAttributesA(&t->ctx, SECPKG_ATTR_STREAM_SIZES, &t->sizes);
    size_t recordSize = t->sizes.cbHeader + t->sizes.cbMaximumMessage + t->sizes.cbTrailer;
    if (st != SEC_E_OK || t->sizes.cbMaximumMessage == 0 || recordSize > kInputSize) {
        snprintf(err, errSize, "TLS handshake failed (0x%08lX)", (unsigned long)st);
        TlsClose(t);
        return nullptr;
    }
    t->out = new (std::nothrow) char[recordSize];
    if (!t->out) {
        snprintf(err, errSize, "out of memory for TLS");
        TlsClose(t);
        return nullptr;
    }
    return t;
}

int TlsSend(TlsChannel* t, const char* data, int len) {
    int done = 0;
    while (done < len) {
        DWORD chunk = (DWORD)(len - done);
        if (chunk > t->sizes.cbMaximumMessage) chunk = t->sizes.cbMaximumMessage;
        char* body = t->out + t->sizes.cbHeader;
        memcpy(body, data + done, chunk);
        SecBuffer bufs[4] = {{t->sizes.cbHeader, SECBUFFER_STREAM_HEADER, t->out},
                             {chunk, SECBUFFER_DATA, body},
                             {t->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, body + chunk},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
        SECURITY_STATUS st = EncryptMessage(&t->ctx, 0, &desc, 0);
        if (st != SEC_E_OK) {
            SecureZeroMemory(body, chunk);
            WSASetLastError(kTlsBrokenError);
            return -1;
        }
        // The trailer may come out shorter than its room: the record is the
        // three parts as SChannel sized them, back to back.
        int total = (int)(bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer);
        if (SockSend(t->sock, t->out, total) != total) return -1;
        done += (int)chunk;
    }
    return done;
}

int TlsRecv(TlsChannel* t, char* buf, int len) {
    if (len <= 0) return 0;
    for (;;) {
        if (t->plainLen > t->plainPos) {
            size_t n = t->plainLen - t->plainPos;
            if (n > (size_t)len) n = (size_t)len;
            memcpy(buf, t->plain + t->plainPos, n);
            t->plainPos += n;
            return (int)n;
        }
        if (t->closed) return 0;
        SECURITY_STATUS st = SEC_E_INCOMPLETE_MESSAGE;
        const unsigned char recordType = t->inLen > 0 ? (unsigned char)t->in[0] : 0;
        SecBuffer bufs[4] = {{(unsigned long)t->inLen, SECBUFFER_DATA, t->in},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr}};
        if (t->inLen > 0) {
            SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
            st = DecryptMessage(&t->ctx, &desc, 0, nullptr);
        }
        if (st == SEC_E_INCOMPLETE_MESSAGE) {
            int n = ReadMore(t);
            if (n == 0) {
                // The connection ended without a closing alert: the caller
                // sees the end as with a plain socket.
                t->closed = true;
                return 0;
            }
            if (n == -2) WSASetLastError(kTlsBrokenError);
            if (n < 0) return -1;
            continue;
        }
        if (st != SEC_E_OK && st != SEC_I_CONTEXT_EXPIRED && st != SEC_I_RENEGOTIATE) {
            WSASetLastError(kTlsBrokenError);
            return -1;
        }
        // Decrypted data lies inside the input buffer: take it out before the
        // extra bytes move to the front.
        t->plainPos = t->plainLen = 0;
        const SecBuffer* extra = nullptr;
        for (SecBuffer& b : bufs) {
            if (b.BufferType == SECBUFFER_DATA && b.pvBuffer && b.cbBuffer > 0 &&
                b.cbBuffer <= kInputSize && t->plainLen == 0) {
                memcpy(t->plain, b.pvBuffer, b.cbBuffer);
                t->plainLen = b.cbBuffer;
            } else if (b.BufferType == SECBUFFER_EXTRA && !extra) {
                extra = &b;
            }
        }
        SecBuffer none = {0, SECBUFFER_EMPTY, nullptr};
        KeepExtra(t, extra ? *extra : none);
        // SChannel reports the closing alert as SEC_I_CONTEXT_EXPIRED; some
        // implementations of it (Wine's) as a record with nothing in it. Up to
        // TLS 1.2 the record's header still says that it was an alert, and
        // the only alert that decrypts without an error is the closing one.
        constexpr unsigned char kAlertRecord = 21;
        if (st == SEC_I_CONTEXT_EXPIRED ||
            (st == SEC_E_OK && t->plainLen == 0 && recordType == kAlertRecord)) {
            t->closed = true;
        } else if (st == SEC_I_RENEGOTIATE) {
            // Up to TLS 1.2 this is the server asking for a new handshake:
            // refused, since it could bring another certificate and other
            // terms in the middle of a session. On TLS 1.3 it is a handshake
            // message after the handshake (a session ticket, a key update),
            // which SChannel takes through the context again; a certificate
            // that comes with it is checked as the first one was.
            SecPkgContext_ConnectionInfo info;
            if (QueryContextAttributesA(&t->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK ||
                !(info.dwProtocol & SP_PROT_TLS1_3)) {
                WSASetLastError(kTlsBrokenError);
                return -1;
            }
            SockOutcome sock;
            if (Negotiate(t, false, &sock) != 0) {
                if (sock == kSockClosed) {
                    t->closed = true;
                    continue;
                }
                if (sock != kSockFailed) WSASetLastError(kTlsBrokenError);
                return -1;
            }
            char why[200];
            if (!CheckServer(t, why, sizeof why)) {
                WSASetLastError(kTlsBrokenError);
                return -1;
            }
        }
    }
}

void TlsClose(TlsChannel* t) {
    if (!t) return;
    if (t->haveCtx) {
        // Best effort: the closing alert lets the server tell an end from a
        // cut line; a failure to send it changes nothing for the caller.
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer tokenBuf = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc tokenDesc = {SECBUFFER_VERSION, 1, &tokenBuf};
        if (ApplyControlToken(&t->ctx, &tokenDesc) == SEC_E_OK) {
            SecBuffer outBufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, outBufs};
            ULONG attrs = 0;
            SECURITY_STATUS st = InitializeSecurityContextA(&t->cred, &t->ctx, t->target, kContextFlags,
                                                            0, 0, nullptr, 0, &t->ctx, &outDesc,
                                                            &attrs, nullptr);
            if (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED) SendToken(t, &outBufs[0]);
            else if (outBufs[0].pvBuffer) FreeContextBuffer(outBufs[0].pvBuffer);
        }
    }
    Release(t);
}
