// The mail relay engine: the worker's cycle, message routing, the SMTP client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "smtp.h"

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
    // Set when the socket library was started (the window does it), cleared
    // by the shutdown.
    std::atomic<int> socketLibraryStarted{0};
};
extern RelayState relayState;
// "Send NOW": the loop delay and a connect back-off end at once.
void RequestSendNow();

constexpr size_t kPathMax = 119;        // message and bad-mail paths

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
// The worker's loop, both hosts': cycle, wait, pause, until a stop or
// `cycles` cycles (0: no limit).
void RunWorkerLoop(long cycles);
// The worker's start: running flag, start pause, the log name from the INI.
void BeginWorker();
void ReloadConfigIfChanged();
// One cycle without the loop delay and pause (reload, passes, log closed).
void RunRelayCycle();
// The loop delay of the cycle loop (after a connect back-off that a
// refused or timed-out connect asked for); then the wait while paused.
void RunLoopDelay();
// The back-off, when due: up to ten minutes, cut short by "Send NOW"
// (cancelBackoff) and by a stop.
void RunConnectBackoff();
void WaitWhilePaused();
// Forget the stamp of the last load (process start).
void ResetConfigStamp();
// Ends the folder watch of WatchFolders=1 (the worker's end).
void StopFolderWatch();

// ---- message routing -------------------------------------------------------
// The search pattern of a mailbox's message files; false when it does not
// fit (the loader refuses such folders).
bool MailboxPattern(int mailboxIndex, char* out, size_t size);
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
// The pieces of a routing that the pickup side shares (routing.cpp):
// `out` (kPathMax + 1) is folder + name, refused with a line when too long.
bool BuildPath(char* out, const char* folder, const char* name, const char* what);
// The session of the mailbox's domain, opened on demand; false (the file
// stays, its try noted) when it cannot be.
bool EnsureSession(int mailboxIndex, const char* path, const char* fileName);
// An accepted file whose delete failed: never sent again while it stays.
void RememberDelivered(const char* path);
// A file that waited longer than GiveUpAfterDays and failed once more goes
// to bad mail.
void GiveUpIfExpired(int mailboxIndex, const char* path, const char* fileName, const char* result);
// Moves the file to bad mail and notes the refusal for the queue.
void MoveAndNote(int mailboxIndex, const char* path, const char* fileName, const char* reason, const char* result);
// A pickup file (pickup.cpp): its recipients in transactions of at most
// 100, the file replaced by one that names only the recipients still open.
void RoutePickupFile(int mailboxIndex, const char* path, const char* fileName);

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
