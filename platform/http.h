// What the OAuth 2.0 sign-in needs from the system: HTTPS requests, files
// only their owner reads, random bytes, a browser and a loopback listener.
// One implementation per OS (http_win32.cpp with WinHTTP, http_posix.cpp
// with libcurl).
#pragma once

#include <cstddef>
#include <string>

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
// Waits up to timeoutMs for one HTTP request, returns its request line's
// target ("/?code=...&state=...") and answers it with `page` (text/html).
// False on time-out or failure.
bool LoopbackAcceptRequest(LoopbackListener* l, int timeoutMs, const char* page, std::string* target);
void LoopbackClose(LoopbackListener* l);
// Shared by both builds' listeners: the request line's target (false when
// the request is not a whole GET line) and the page's HTTP answer.
bool LoopbackRequestTarget(const std::string& request, std::string* target);
std::string LoopbackReply(const char* page);
