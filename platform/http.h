// What the OAuth 2.0 sign-in needs from the system: HTTPS requests, files
// only their owner reads, random bytes, a browser and a loopback listener.
// One implementation per OS (http_win32.cpp with WinHTTP, http_posix.cpp
// with libcurl).
#pragma once

#include <cstddef>
#include <string>

#include "platform.h"

// ---- HTTPS ------------------------------------------------------------------
// POSTs an application/x-www-form-urlencoded body to an https:// URL. Only
// HTTPS, TLS 1.2 at least, the server's certificate checked against the
// system's trust (POSIX: the OpenSSL store, SSL_CERT_FILE and SSL_CERT_DIR
// as the TLS channel honours them) and naming the URL's host; no redirect
// is followed. True when an HTTP answer came (any status, in `status`, its
// body in `body`); false with a one-line reason in `err` when none did.
bool HttpsPostForm(const char* url, const std::string& form, int timeoutMs, int* status, std::string* body,
                   char* err, size_t errSize);

// ---- files readable by their owner only ---------------------------------------
// Replaces `path` in one step by a file holding `data`, made readable and
// writable by its owner only (POSIX: mode 0600; Windows: SYSTEM,
// Administrators and the user writing it). 0 on success, else an
// errno-style code; a failure leaves the old file whole.
int WritePrivateFileErrno(const char* path, const std::string& data);
// The whole file: 0, or an errno-style code (ENOENT when there is none).
int ReadWholeFileErrno(const char* path, std::string* data);

// ---- sign-in helpers ----------------------------------------------------------
// Bytes from the system's cryptographic generator; false when it failed.
bool RandomBytes(unsigned char* out, size_t len);
// SHA-256 of `len` bytes into out[32]; false when the system could not.
bool Sha256(const void* data, size_t len, unsigned char* out);
// Hands an https:// address to the user's browser; false when none started.
bool OpenInBrowser(const char* url);

// A listener on 127.0.0.1 at a port the system picks, for the one redirect
// of an authorization code sign-in.
struct LoopbackListener;
LoopbackListener* LoopbackListen(int* port);
// The next connection, waited for up to timeoutMs; kNoSocket when none came.
SockHandle LoopbackAccept(LoopbackListener* l, int timeoutMs);
void LoopbackClose(LoopbackListener* l);

// What the listener waits for: the first GET whose target `wanted` takes
// gets `page` (200, text/html) and ends the wait; any other request gets a
// 400 and the wait goes on, so no other local process can end or spoil it.
struct LoopbackWait {
    int64_t untilMs;  // SteadyMs() at which the wait gives up
    bool (*stop)(void* ctx);
    bool (*wanted)(void* ctx, const std::string& target);
    void* ctx;
    const char* page;
};
// True with the wanted target; false when `stop` said so or the time ran
// out. The wait is served one connection at a time, each with one deadline
// for its whole request line, and `stop` and the time are looked at between
// reads, so a client that sends a byte now and then holds nothing up.
bool LoopbackAwait(LoopbackListener* l, const LoopbackWait& w, std::string* target);
// The request line's target (false when the request is not a whole GET
// line), shared by both builds.
bool LoopbackRequestTarget(const std::string& request, std::string* target);
