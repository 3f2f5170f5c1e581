// The mail relay engine: the worker's cycle, message routing, the SMTP client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

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
constexpr size_t kChunkShown = 502;     // bytes of a received chunk that are shown
// The most a server may send as one reply; more ends the session as a
// temporary failure, so that no server can fill the memory or the log.
constexpr int kReplyLinesMax = 512;
constexpr size_t kReplyBytesMax = 65536;
constexpr size_t kReplyLineMax = 4096;  // one line, its CR LF included
constexpr size_t kLastReplySize = 512;

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
    // The limit of SIZE n (RFC 1870); 0 when not offered or given as 0.
    long long sizeLimit;
    int pipelining;  // PIPELINING (RFC 2920)
    int authXoauth2;
    int authOauthBearer;
    char line[kReplyLineMax];  // the reply line being read, whole (the reader bounds it)
    size_t lineLen;
};

// Over TLS, and in fast mode over plain SMTP too, what is sent is gathered
// into pieces of this size (the most a TLS record holds) instead of one send
// per line; the gathered bytes go out when the buffer is full and before
// every reply read.
constexpr size_t kGatherSize = 16384;

struct RelaySession {
    int permanentFailure;
    // The connection can carry nothing more: a reply timed out, the server
    // closed it, or a receive or send failed. The session end then closes
    // it without RSET and QUIT, which would only wait for replies that
    // cannot come.
    int connectionLost;
    // Messages accepted in this session (each deleted right after its 250):
    // the session ends when they reach MaxMailSent.
    int pendingCount;
    uint32_t peerAddress;  // network order
    uint16_t peerPort;
    ReplyParser parser;
    // The line being read, for lastReply.
    char replyLine[kLastReplySize];
    size_t replyLineLen;
    // The reply to be read is the one to the end of the message text, which
    // may take the longer time-out.
    int awaitDataEnd;
    // No pause before a reply read and the sends gathered (LowLatency, and
    // every session with EHLO).
    int fastMode;
    // While the replies of a pipelined group are read, the bytes after one
    // reply in its chunk are the next reply's: held here for it.
    int keepRest;
    char heldReply[kLineRead];
    size_t heldLen;
    int bytesSent;
    // "MAIL FROM:<" + 255 + "> SIZE=" + 19 digits + "\r\n" fits.
    char commandLine[48 + kAddressMax];
    char textBuffer[kTextBufferSize];
    char lineBuffer[kLineRead];  // message text as read, before it is made fit for the wire
    // The TLS channel over relaySocket, or none for plain SMTP.
    TlsChannel* tls;
    // Bytes gathered to go out in one send (see kGatherSize).
    char gather[kGatherSize];
    size_t gatherLen;
    // The capabilities are collected while this is set (EHLO replies only).
    int collectCapabilities;
    ServerCapabilities caps;
    // Domain index + 1 whose login or TLS failed in this pass (0: none). Its
    // other messages wait for the next pass instead of each trying again: a
    // wrong password sent once per message may get the account locked.
    int securityFailedDomain;
    // The final line of the last reply, without its CR LF: what a refusal
    // said, for the log and the bad-mail list.
    char lastReply[512];
    // Set by RouteMessage for each message: the size declared with MAIL FROM
    // (0: no SIZE parameter), and the domain index + 1 whose From: header
    // the message text gets (0: the text goes out as it is).
    long long declaredSize;
    int rewriteDomain;
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
// Ends the folder watch of WatchFolders=1 (the worker's end).
void StopFolderWatch();

// ---- message routing -------------------------------------------------------
void RouteMessage(int mailboxIndex, const char* fileName);
// What ExtractAddress made of a value.
enum AddressResult { kAddressTaken = 0, kAddressTooLong = 1, kAddressUnusable = 2 };
// Envelope lines the scan could not use (kAddressTaken: none), for the
// sender (Return-path:) and the recipient (XToHeader) lines.
struct EnvelopeFaults {
    int sender;
    int recipient;
};
bool ScanEnvelope(MsgFile* file, char* sender, char* recipient, EnvelopeFaults* faults = nullptr);
// Leaves `out` unchanged unless the result is kAddressTaken.
int ExtractAddress(char* out, const char* value);
// Moves a message file into the bad-mail folder and, when it moved, adds its
// line to badmail.log there. `folder` is the mailbox folder it came from, as
// the mailbox table holds it; `reason` the server's reply or a local reason.
void MoveToBadmails(const char* path, const char* fileName, const char* folder, const char* reason);
// One line "date time<TAB>file<TAB>folder<TAB>reason<CR LF>" appended to
// badmail.log in the bad-mail folder, under the sinks' lock; false (reported)
// when it cannot be written.
bool AppendBadmailLog(const char* fileName, const char* folder, const char* reason);
// Forget the accepted files whose delete failed (process start).
void ForgetDeliveredFiles();

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
// One line for a domain's TLS, login or configuration failure: window, file,
// the event log as a service, and the queue's last result.
void ReportDomainFailure(const char* format, ...) AMBREL_PRINTF(1, 2);
extern const char kFailLogin[];
// Whether the domain needs EHLO (any of its security keys is set).
bool NeedsExtendedSession(int domainIndex);
// TLS from the first byte, before the greeting; false (reported) on failure.
bool StartImplicitTls(int domainIndex);
// EHLO, STARTTLS and EHLO again, AUTH, as the domain asks; after the
// greeting. False (reported, session ended) on failure.
bool StartExtendedSession(int domainIndex);
void ResetCapabilities();
void NoteCapabilityChar(char c);
// A refusal that the domain's settings cause, not the message: reply code
// 530, or a 5xx whose enhanced status code is 5.7.0, 5.7.8, 5.7.9, 5.7.11,
// 5.7.30, 5.7.57 or 5.7.139. `line` is the reply's final line.
bool IsConfigurationRefusal(int code, const char* line);
// After a failed step: when the last reply is a configuration refusal, the
// report (window, file, event log as a service), the session ended and the
// domain held for the pass; true then, and the message stays.
bool HoldAfterConfigurationRefusal(int domainIndex);

// ---- the From: rewrite of a domain with RewriteFrom (rewrite.cpp) ----------
// Fed the message text byte by byte as it is read (CR LF folded to LF), it
// hands on what goes out instead: the header block with its first From:
// field replaced by one that names the domain's sending address, the
// original kept in X-Original-From: and, when the message has none, in an
// added Reply-To:; every other byte as it was (all of the text when a header
// line is beyond any sound length). Lines it hands on end in LF;
// the byte sender makes every line end CR LF, as it does for the file.
class FromRewriter {
public:
    FromRewriter(const char* domain, const char* senderAddress) : domain_(domain), sender_(senderAddress) {}
    void Take(char c, std::string& out);
    // The end of the text (a file that ends inside its header block).
    void Finish(std::string& out);
    // Past the header block: every further byte goes on as it is.
    bool InBody() const { return state_ == kBody; }

private:
    enum State { kHeader, kBodyNext, kBody };
    void EndLine(std::string& out);
    void EndField(std::string& out);
    void EndHeader(std::string& out);
    std::string domain_, sender_;
    std::string line_;  // the header line being read
    std::string from_;  // the From: field after its name, its lines joined by LF
    State state_ = kHeader;
    bool afterCR_ = false;  // the last line ended with CR: an LF now belongs to it
    bool capturing_ = false, fromSeen_ = false, replyToSeen_ = false;
};
// The From: line (with its LF) that replaces a field of value `value`
// (after "From:", continuation lines joined by LF).
std::string RewrittenFromLine(const std::string& value, const char* domain, const char* senderAddress);
