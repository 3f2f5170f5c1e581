// TLS client on a connected socket with OpenSSL.
//
// The TLS records go through the socket functions of this layer (a BIO of
// our own), so time-outs, the socket closed under a blocked read by the
// shutdown, and the Windows Sockets error numbers all behave as on a plain
// connection.
#include "platform.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

struct TlsChannel {
    SSL_CTX* ctx;
    SSL* ssl;
};

namespace {

BIO_METHOD* socketMethod = nullptr;
std::once_flag methodOnce;

SockHandle SocketOf(BIO* b) { return (SockHandle)(intptr_t)BIO_get_data(b); }

int BioWrite(BIO* b, const char* data, int len) {
    BIO_clear_retry_flags(b);
    return SockSend(SocketOf(b), data, len);
}

int BioRead(BIO* b, char* buf, int len) {
    BIO_clear_retry_flags(b);
    return SockRecv(SocketOf(b), buf, len);
}

long BioCtrl(BIO*, int cmd, long, void*) {
    // Flushing is the only control OpenSSL needs from a plain byte pipe:
    // every write above has already gone out whole.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

void MakeMethod() {
    socketMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ambrel socket");
    if (!socketMethod) return;
    BIO_meth_set_write(socketMethod, BioWrite);
    BIO_meth_set_read(socketMethod, BioRead);
    BIO_meth_set_ctrl(socketMethod, BioCtrl);
    BIO_meth_set_create(socketMethod, BioCreate);
}

void SetErr(char* err, size_t errSize, const char* text) {
    if (err && errSize) snprintf(err, errSize, "%s", text);
}

// The reason of the last OpenSSL failure, or `fallback` when the library
// queued none (a socket error or the peer closing mid-handshake).
void SetLibraryErr(char* err, size_t errSize, const char* fallback) {
    unsigned long e = ERR_get_error();
    char reason[200];
    if (e) {
        ERR_error_string_n(e, reason, sizeof reason);
        if (err && errSize) snprintf(err, errSize, "%s (%s)", fallback, reason);
    } else {
        int code = SockLastError();
        if (err && errSize) snprintf(err, errSize, "%s (socket error %d)", fallback, code);
    }
    ERR_clear_error();
}

bool IsIpAddress(const char* host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

void Free(TlsChannel* t) {
    if (!t) return;
    if (t->ssl) SSL_free(t->ssl);  // frees the BIO with it
    if (t->ctx) SSL_CTX_free(t->ctx);
    delete t;
}

}  // namespace

TlsChannel* TlsConnect(SockHandle s, const char* serverName, const unsigned char* pinSha256, char* err,
                       size_t errSize) {
    std::call_once(methodOnce, MakeMethod);
    if (!socketMethod) {
        SetErr(err, errSize, "TLS library unavailable");
        return nullptr;
    }
    ERR_clear_error();
    TlsChannel* t = new TlsChannel{nullptr, nullptr};
    t->ctx = SSL_CTX_new(TLS_client_method());
    if (!t->ctx) {
        SetLibraryErr(err, errSize, "TLS set-up failed");
        Free(t);
        return nullptr;
    }
    // Nothing older than TLS 1.2: the earlier versions are broken, and every
    // provider's submission server speaks 1.2 or 1.3.
    SSL_CTX_set_min_proto_version(t->ctx, TLS1_2_VERSION);
    // Many servers just close after QUIT without the closing alert: that is
    // the end of the connection, not an error.
    SSL_CTX_set_options(t->ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // No renegotiation: a server's HelloRequest in the middle of a session
    // is refused (TLS 1.2; 1.3 has none).
    SSL_CTX_set_options(t->ctx, SSL_OP_NO_RENEGOTIATION);
    if (pinSha256) {
        // A pinned certificate alone decides: the chain and the name are not
        // looked at (a relay on the local network with its own certificate).
        SSL_CTX_set_verify(t->ctx, SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_CTX_set_verify(t->ctx, SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_set_default_verify_paths(t->ctx) != 1) {
            SetLibraryErr(err, errSize, "system certificates unavailable");
            Free(t);
            return nullptr;
        }
    }
    t->ssl = SSL_new(t->ctx);
    BIO* bio = t->ssl ? BIO_new(socketMethod) : nullptr;
    if (!bio) {
        SetLibraryErr(err, errSize, "TLS set-up failed");
        Free(t);
        return nullptr;
    }
    BIO_set_data(bio, (void*)(intptr_t)s);
    SSL_set_bio(t->ssl, bio, bio);

    bool ip = IsIpAddress(serverName);
    // Server name indication is defined for host names only.
    if (!ip) SSL_set_tlsext_host_name(t->ssl, serverName);
    if (!pinSha256) {
        X509_VERIFY_PARAM* param = SSL_get0_param(t->ssl);
        // The name must be in the subjectAltName: a certificate without one
        // is not taken on its common name, as browsers and SChannel refuse
        // it too.
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        int ok = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, serverName)
                    : X509_VERIFY_PARAM_set1_host(param, serverName, 0);
        if (ok != 1) {
            SetErr(err, errSize, "invalid server name for the certificate check");
            Free(t);
            return nullptr;
        }
    }

    if (SSL_connect(t->ssl) != 1) {
        long verify = SSL_get_verify_result(t->ssl);
        if (!pinSha256 && verify != X509_V_OK) {
            char text[240];
            snprintf(text, sizeof text, "certificate not trusted (%s)", X509_verify_cert_error_string(verify));
            SetErr(err, errSize, text);
            ERR_clear_error();
        } else {
            SetLibraryErr(err, errSize, "TLS handshake failed");
        }
        Free(t);
        return nullptr;
    }

    if (pinSha256) {
        X509* cert = SSL_get1_peer_certificate(t->ssl);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        bool match = cert && X509_digest(cert, EVP_sha256(), digest, &len) == 1 && len == kSha256Size &&
                     memcmp(digest, pinSha256, kSha256Size) == 0;
        if (cert) X509_free(cert);
        if (!match) {
            SetErr(err, errSize, "certificate fingerprint does not match");
            Free(t);
            return nullptr;
        }
    }
    return t;
}

int TlsSend(TlsChannel* t, const char* data, int len) {
    int done = 0;
    while (done < len) {
        int n = SSL_write(t->ssl, data + done, len - done);
        if (n <= 0) {
            ERR_clear_error();
            return -1;  // the socket's error number stands
        }
        done += n;
    }
    return done;
}

int TlsRecv(TlsChannel* t, char* buf, int len) {
    {
        int n = SSL_read(t->ssl, buf, len);
        if (n > 0) return n;
        int e = SSL_get_error(t->ssl, n);
        ERR_clear_error();
        // The peer closed, with or without the closing alert.
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        return -1;
    }
}

void TlsClose(TlsChannel* t) {
    if (!t) return;
    // One attempt at the closing alert; the peer's answer is not awaited.
    SSL_shutdown(t->ssl);
    ERR_clear_error();
    Free(t);
}
