// The SMTP client: its steps and their table, the reply it reads, what a
// reply means for the message (the failure policy) and the session record.
//
// The client is split as its protocol reads:
//   smtp_chat.cpp     the dialogue: send and gather, the bounded reply reader
//   smtp_proto.cpp    the steps: OpenSession, DeliverMessage, CloseSession
//   smtp_auth.cpp     STARTTLS and every AUTH variant
//   smtp_trouble.cpp  the failure policy: ClassifyReply and the session end
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"

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
// Over TLS, and in fast mode over plain SMTP too, what is sent is gathered
// into pieces of this size (the most a TLS record holds) instead of one send
// per line; the gathered bytes go out when the buffer is full and before
// every reply read.
constexpr size_t kGatherSize = 16384;

// ---- the steps ----------------------------------------------------------------

enum class SmtpStep {
    kConnect,
    kGreeting,
    kHelo,
    kEhlo,
    kStartTls,
    kAuthPlain,
    kAuthLogin,       // AUTH LOGIN, answered with 334
    kAuthUser,        // the user name, answered with 334
    kAuthPassword,    // the password, answered with 235
    kAuthXoauth2,
    kAuthOauthBearer,
    kAuthChallenge,   // the answer to an OAuth error challenge
    kMail,
    kRcpt,
    kData,
    kText,
    kDataEnd,
    kRset,
    kQuit,
    kCount
};

// How a step's command shows in the window and the log file.
enum class CommandShown {
    kAsSent,         // window "-> cmd", file with Debug only "  -> cmd"
    kAsText,         // as kAsSent but `shown` instead of the command (a credential, the end of data)
    kTextToFile,     // window "-> shown", file always "  -> shown"
    kTextToWindow,   // window "-> shown" only
};

struct StepInfo {
    const char* name;
    CommandShown shown;
    const char* shownText;  // what shows instead of the command, or null
    int expected;           // the reply code that lets the step succeed (0: none is read)
    bool longWait;          // the reply may take the longer time-out (the end of data)
};
extern const StepInfo kSteps[(int)SmtpStep::kCount];
inline const StepInfo& StepOf(SmtpStep step) { return kSteps[(int)step]; }

// ---- a reply ------------------------------------------------------------------

struct SmtpReply {
    // The reply code; what was parsed when the reply was cut short (often 0),
    // -1 after a receive error or a reply past the reader's bounds.
    int code;
    bool whole;              // read to the CR LF of its final line
    char status[16];         // the enhanced status code ("5.7.8"), or ""
    char line[kLastReplySize];  // the final line without its CR LF
};

// ---- the failure policy --------------------------------------------------------

// What a reply means for the message (or the domain) at a step.
enum class Fate {
    kGoOn,            // the step's reply: the transaction goes on
    kDelivered,       // the end of data accepted: the server has the message
    kDeferred,        // the file stays for the next cycle
    kRefused,         // 5xx: the file goes to bad mail
    kHoldDomain,      // the settings are at fault: the domain's mail waits for the next pass
    kConnectionLost,  // nothing more can go over this connection; the file stays
};
Fate ClassifyReply(SmtpStep step, const SmtpReply& reply);
// A refusal that the domain's settings cause, not the message: reply code
// 530, or a 5xx whose enhanced status code is 5.7.0, 5.7.8, 5.7.9, 5.7.11,
// 5.7.30, 5.7.57 or 5.7.139.
bool IsConfigurationRefusal(const SmtpReply& reply);

// How the session is to end, the one record of its failure. Anything but
// kEndNone also means that no more message text goes out.
enum class SessionEnding {
    kEndNone,      // all well: QUIT at the end of the pass
    kEndRsetQuit,  // a reply refused something: RSET, then QUIT
    kEndQuit,      // a step of ours failed on a usable connection: QUIT
    kEndDrop,      // the connection is lost or unusable: closed at once
};
// Marks the session as ending at least as badly as `ending`.
void EndSessionAs(SessionEnding ending);
// A failed step's fate applied to the session: the ending it calls for
// (a refusal: RSET then QUIT; a lost connection: a drop).
void EndAfterFate(Fate fate);

// ---- the session record -----------------------------------------------------------

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

struct RelaySession {
    SmtpStep step;          // the step in progress
    SessionEnding ending;   // how the session is to end
    // Messages accepted in this session (each deleted right after its 250):
    // the session ends when they reach MaxMailSent.
    int pendingCount;
    uint32_t peerAddress;  // network order
    uint16_t peerPort;
    ReplyParser parser;
    SmtpReply reply;        // the last reply read
    // The line being read, for reply.line.
    char replyLine[kLastReplySize];
    size_t replyLineLen;
    // No pause before a reply read and the sends gathered (LowLatency, and
    // every session with EHLO).
    int fastMode;
    // What followed a reply in its chunk: the start of the next reply.
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
    ServerCapabilities caps;
    // Domain index + 1 held for the rest of the pass (0: none): its login,
    // TLS or settings failed, so its other messages wait for the next pass
    // instead of each trying again (a wrong password sent once per message
    // may get the account locked).
    int heldDomain;
    // Why the held domain's messages wait when its server could not be
    // reached: each counts that as its try of the pass. Empty for a hold
    // that the settings cause (no try of the message).
    char heldResult[200];  // the size of lastResult
    // A connect was refused or timed out: the cycle's wait begins with the
    // back-off (up to ten minutes).
    int backoffDue;
    // Set by RouteMessage for each message: the size declared with MAIL FROM
    // (0: no SIZE parameter), and the domain index + 1 whose From: header
    // the message text gets (0: the text goes out as it is).
    long long declaredSize;
    int rewriteDomain;
    // The text is a pickup file's: its envelope lines and Bcc: field stay
    // behind (RoutePickupFile sets it for each transaction).
    int pickupText;
    // The last reply that was not the one expected, or the local error, for
    // the queue's "last result" (the routing clears it before each try).
    char lastResult[200];
};
extern RelaySession relaySession;
// Process start and tests: the whole record as new, no connection.
void ResetRelaySession();

// ---- the dialogue (smtp_chat.cpp) --------------------------------------------------
// Sends one command of `step` and shows it as the step's row says.
void SendCommand(SmtpStep step, const char* format, const char* arg);
// Reads the reply of `step` within its time-out. A reply that is not the
// step's expected one is logged; a lost connection marks the session for a
// drop. What follows the reply in its chunk is kept for the next read.
const SmtpReply& ReadReply(SmtpStep step);
// The enhanced status code of the reply's final line (RFC 3463), kept in
// `status` when its class is the reply's.
void ParseEnhancedStatus(SmtpReply& reply);
// True when the reply is whole and the one the step expects.
bool ReplyIs(const SmtpReply& reply, SmtpStep step);
void ResetReplyParser();
void FeedReplyChar(char c);
void SendText(const char* text);
void SendBytes(const char* data, size_t len);
// Closes the relay connection and marks it none.
void CloseRelaySocket();
void LogSocketError(const char* format);
// Keeps a one-line result in relaySession.lastResult (line ends dropped).
void NoteLastResult(const char* format, ...) AMBREL_PRINTF(1, 2);
// Makes a text one printable line in place: control characters (tabs and
// line ends included) become blanks.
void MakeOneLine(char* text);
std::string MakeOneLine(std::string text);

// ---- the protocol (smtp_proto.cpp) --------------------------------------------------
bool ResolveRelayHost(int domainIndex);
bool OpenSession(int domainIndex);
struct SmtpRecipient {
    std::string address;
    Fate fate = Fate::kDeferred;  // kDelivered, kRefused, kDeferred, ...
    std::string reply;            // the reply that settled it (its final line)
};
// One transaction: MAIL FROM, one RCPT TO per recipient, DATA when one was
// accepted, the text. Each recipient's fate is set; the result is the fate
// of the message as a whole (kDelivered when every recipient accepted
// ... and the end of data was answered 250).
Fate DeliverMessage(const char* sender, std::vector<SmtpRecipient>& recipients, MsgFile* file);
// One recipient (a message file, the notice): true when delivered.
bool DeliverMessage(const char* sender, const char* recipient, MsgFile* file);
// Ends the session as relaySession.ending says and clears the mark.
void CloseSession();
void ResetCapabilities();
void NoteCapabilityChar(char c);

// ---- STARTTLS and login (smtp_auth.cpp) -------------------------------------------
// One line for a domain's TLS, login or configuration failure: window, file,
// the event log as a service, and the queue's last result.
void ReportDomainFailure(const char* format, ...) AMBREL_PRINTF(1, 2);
extern const char kFailLogin[];
// Whether the domain needs EHLO (any of its security keys is set).
bool NeedsExtendedSession(int domainIndex);
// TLS from the first byte, before the greeting; false (reported) on failure.
bool StartImplicitTls(int domainIndex);
// EHLO, STARTTLS and EHLO again, AUTH, as the domain asks; after the
// greeting. False (reported, session ended, domain held) on failure.
bool StartExtendedSession(int domainIndex);
// After a refused step: when the reply is a configuration refusal, the
// report (window, file, event log as a service), the session ended and the
// domain held for the pass; true then, and the message stays.
bool HoldAfterConfigurationRefusal(int domainIndex);
