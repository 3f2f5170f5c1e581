// The mail relay engine: the worker's cycle, message routing, the SMTP client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "log/log.h"
#include "platform/platform.h"

// Flags and counters shared by the worker and the user interface. Each is
// written whole by one side and polled by the other.
struct RelayState {
    std::atomic<int> stopRequested{0};
    std::atomic<int> workerRunning{0};
    std::atomic<int> paused{0};
    std::atomic<int> sendNow{0};
    std::atomic<int> cancelBackoff{0};
    std::atomic<int> loopSecond{-1};
    std::atomic<int> passDomain{0};
    std::atomic<int> currentMailbox{0};
    std::atomic<SockHandle> relaySocket{kNoSocket};
    std::atomic<int> sessionFailed{0};
    // Set when the socket library was started (the window does it), cleared
    // by the shutdown.
    std::atomic<int> socketLibraryStarted{0};
};
extern RelayState relayState;

constexpr size_t kPathMax = 119;        // message and bad-mail paths
constexpr size_t kAddressMax = 255;     // envelope sender and recipient
constexpr size_t kLineRead = 4990;      // a read takes at most 4989 characters
constexpr size_t kTextBufferSize = 5000;
constexpr size_t kChunkShown = 502;     // bytes of a received chunk that are shown and parsed
constexpr int kIdlePollLimit = 150;

struct ReplyParser {
    int replyCode;
    int linePos;
    int parsingCode;
    int moreLines;
    int replyDone;
    int lastWasCR;
    // The line so far is exactly three digits and a CR: a final line when LF
    // comes next (the text after the code is optional).
    int codeOnly;
};

// What the server's EHLO reply offers, as far as this client uses it.
struct ServerCapabilities {
    int startTls;
    int authPlain;
    int authLogin;
    char line[128];  // the reply line being read (its start; the rest is dropped)
    size_t lineLen;
};

// Over TLS the message text is gathered into records of this size (the
// largest a record holds) instead of one record per line.
constexpr size_t kTlsRecordText = 16384;

struct RelaySession {
    int permanentFailure;
    // The connection can carry nothing more: a reply timed out, the server
    // closed it, or a receive or send failed. The session end then closes
    // it without RSET and QUIT, which would only wait for replies that
    // cannot come.
    int connectionLost;
    int pendingCount;
    char pendingPaths[6][kPathMax + 1];
    uint32_t peerAddress;  // network order
    uint16_t peerPort;
    ReplyParser parser;
    int idlePolls;
    int bytesSent;
    char commandLine[16 + kAddressMax];  // "MAIL FROM:<" + 255 + ">\r\n" fits
    char textBuffer[kTextBufferSize];
    char lineBuffer[kLineRead];  // message text as read, before it is made fit for the wire
    // The TLS channel over relaySocket, or none for plain SMTP.
    TlsChannel* tls;
    // Bytes waiting to go out over TLS; sent when full and before every read.
    char tlsOut[kTlsRecordText];
    size_t tlsOutLen;
    // The capabilities are collected while this is set (EHLO replies only).
    int collectCapabilities;
    ServerCapabilities caps;
    // Domain index + 1 whose login or TLS failed in this pass (0: none). Its
    // other messages wait for the next pass instead of each trying again: a
    // wrong password sent once per message may get the account locked.
    int securityFailedDomain;
    // The last reply that was not the one expected, or the local error, for
    // the queue's "last result" (the routing clears it before each try).
    char lastResult[200];
};
extern RelaySession relaySession;

// Every pause and time-out of the engine, in milliseconds. The defaults are
// the product's; tests shorten them.
struct RelayTimings {
    int workerStartMs = 60;
    int mailboxScanMs = 10;
    int loopSecondMs = 1000;
    int noConfigWaitMs = 15000;
    int pauseStepMs = 2000;
    int replyPauseMs = 60;
    int idlePollMs = 200;
    int backoffStepMs = 5000;
    int backoffSteps = 120;
    // A server that keeps the connection open and never answers must not
    // hold the relay for ever: 5 minutes per reply (and per send), 10 minutes
    // for the reply to the end of the message text.
    int replyTimeoutMs = 5 * 60 * 1000;
    int dataEndTimeoutMs = 10 * 60 * 1000;
};
extern RelayTimings relayTimings;

// ---- relay cycle -----------------------------------------------------------
unsigned RelayWorker(void* unused);
// The worker's start: running flag, start pause, the log name from the INI.
void BeginWorker();
void ReloadConfigIfChanged();
// One cycle without the loop delay and pause (reload, passes, log closed).
void RunRelayCycle();
// The loop delay of the cycle loop; then the wait while paused.
void RunLoopDelay();
void WaitWhilePaused();
// Forget the stamp of the last load (process start).
void ResetConfigStamp();

// ---- message routing -------------------------------------------------------
void RouteMessage(int mailboxIndex, const char* fileName);
bool ScanEnvelope(MsgFile* file, char* sender, char* recipient);
void ExtractAddress(char* out, const char* value);

// Moves a refused file to the bad-mail folder and records the move in its
// badmail.log (`folder`: the mailbox folder it came from).
void MoveToBadmails(const char* path, const char* fileName, const char* folder, const char* reason);
bool AppendBadmailLog(const char* fileName, const char* folder, const char* reason);

// ---- SMTP client -------------------------------------------------------------
// Keeps a one-line result in relaySession.lastResult (line ends dropped).
void NoteLastResult(const char* format, ...) AMBREL_PRINTF(1, 2);
bool ResolveRelayHost(int domainIndex);
bool OpenSession(int domainIndex);
int ReadReply(int expected);
void ResetReplyParser();
void FeedReplyChar(char c);
void SendText(const char* text);
void SendBytes(const char* data, size_t len);
bool DeliverMessage(const char* sender, const char* recipient, MsgFile* file);
void CloseSession();
// Sends one command and shows it as the protocol table says.
void SendCommand(const char* format, const char* arg);
// A step succeeds only on a whole reply with the expected code.
bool Expect(int expected);

// ---- TLS and login (secure.cpp) ---------------------------------------------
// Whether the domain needs EHLO (any of its security keys is set).
bool NeedsExtendedSession(int domainIndex);
// TLS from the first byte, before the greeting; false (reported) on failure.
bool StartImplicitTls(int domainIndex);
// EHLO, STARTTLS and EHLO again, AUTH, as the domain asks; after the
// greeting. False (reported, session ended) on failure.
bool StartExtendedSession(int domainIndex);
void ResetCapabilities();
void NoteCapabilityChar(char c);
