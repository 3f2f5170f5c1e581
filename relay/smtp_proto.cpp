// The SMTP client's steps: one connection at a time to the relay server of
// the pass, HELO (or the extended start of smtp_auth.cpp), one transaction
// per message file with its list of recipients, the end of the session.
// Every command goes out through SendCommand(step) and every reply is read
// by ReadReply(step); what a reply means is ClassifyReply's.
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <strings.h>

#include "config/config.h"
#include "log/log.h"
#include "envelope.h"
#include "relay.h"

// One row per step: its name, how its command shows, the reply it expects
// and whether that reply may take the longer time-out.
const StepInfo kSteps[(int)SmtpStep::kCount] = {
    {"connect", CommandShown::kAsSent, nullptr, 0, false},
    {"greeting", CommandShown::kAsSent, nullptr, 220, false},
    {"HELO", CommandShown::kAsSent, nullptr, 250, false},
    {"EHLO", CommandShown::kAsSent, nullptr, 250, false},
    {"STARTTLS", CommandShown::kAsSent, nullptr, 220, false},
    {"AUTH PLAIN", CommandShown::kAsText, "AUTH PLAIN <credentials>\r\n", 235, false},
    {"AUTH LOGIN", CommandShown::kAsSent, nullptr, 334, false},
    {"AUTH LOGIN user", CommandShown::kAsText, "<user name>\r\n", 334, false},
    {"AUTH LOGIN password", CommandShown::kAsText, "<password>\r\n", 235, false},
    {"AUTH XOAUTH2", CommandShown::kAsText, "AUTH XOAUTH2 <token>\r\n", 235, false},
    {"AUTH OAUTHBEARER", CommandShown::kAsText, "AUTH OAUTHBEARER <token>\r\n", 235, false},
    {"AUTH challenge answer", CommandShown::kTextToWindow, "(error challenge answered)\r\n", 235, false},
    {"MAIL", CommandShown::kAsSent, nullptr, 250, false},
    {"RCPT", CommandShown::kAsSent, nullptr, 250, false},
    {"DATA", CommandShown::kAsSent, nullptr, 354, false},
    {"text", CommandShown::kTextToWindow, "<data>\r\n", 0, false},
    {"end of data", CommandShown::kAsText, "CRLF.CRLF\r\n", 250, true},
    {"RSET", CommandShown::kTextToFile, "RSET\r\n", 250, false},
    {"QUIT", CommandShown::kTextToFile, "QUIT\r\n", 221, false},
};

namespace {

constexpr int kTimedOut = 10060;     // WSAETIMEDOUT
constexpr int kConnRefused = 10061;  // WSAECONNREFUSED

bool StartsWith(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

bool WordIs(const char* at, size_t len, const char* word) {
    return strlen(word) == len && strncasecmp(at, word, len) == 0;
}

// One whole line of the EHLO reply: "250-STARTTLS", "250 AUTH LOGIN PLAIN",
// or the older "250-AUTH=LOGIN" form.
void NoteCapabilityLine(const char* line, size_t len) {
    ServerCapabilities& caps = relaySession.caps;
    if (len < 4 || (line[3] != '-' && line[3] != ' ')) return;
    const char* p = line + 4;
    const char* end = line + len;
    const char* word = p;
    while (p < end && *p != ' ' && *p != '=') p++;
    size_t keyLen = (size_t)(p - word);
    if (WordIs(word, keyLen, "STARTTLS")) {
        caps.startTls = 1;
    } else if (WordIs(word, keyLen, "PIPELINING")) {
        caps.pipelining = 1;
    } else if (WordIs(word, keyLen, "SIZE")) {
        // "SIZE" alone or "SIZE 0" sets no limit; a number too large for the
        // count is as good as none.
        while (p < end && *p == ' ') p++;
        long long n = 0;
        for (; p < end && *p >= '0' && *p <= '9'; p++) {
            if (n > (LLONG_MAX - 9) / 10) return;
            n = n * 10 + (*p - '0');
        }
        caps.sizeLimit = n;
    } else if (WordIs(word, keyLen, "AUTH")) {
        while (p < end) {
            while (p < end && (*p == ' ' || *p == '=')) p++;
            word = p;
            while (p < end && *p != ' ') p++;
            size_t n = (size_t)(p - word);
            if (WordIs(word, n, "PLAIN")) caps.authPlain = 1;
            if (WordIs(word, n, "LOGIN")) caps.authLogin = 1;
            if (WordIs(word, n, "XOAUTH2")) caps.authXoauth2 = 1;
            if (WordIs(word, n, "OAUTHBEARER")) caps.authOauthBearer = 1;
        }
    }
}

// Turns the message text, byte by byte, into what goes on the wire and sends
// it a line at a time (a line longer than a read goes out in pieces). A CR is
// held back until the next byte shows whether it ends the line with an LF or
// stands alone; either way it goes out as CR LF.
struct TextSender {
    size_t len = 0;
    bool lineStart = true;     // the next byte begins a line
    bool pieceAtStart = true;  // the piece being built begins a line
    bool heldCR = false;
    long long bytesSent = 0;

    void Put(char c) { relaySession.textBuffer[len++] = c; }
    void EndLine() {
        Put('\r');
        Put('\n');
        lineStart = true;
        Flush();
    }
    void Take(char c) {
        if (heldCR) {
            heldCR = false;
            EndLine();
            if (c == '\n') return;
        }
        if (c == '\r') {
            heldCR = true;
        } else if (c == '\n') {
            EndLine();
        } else {
            if (lineStart && c == '.') Put('.');
            Put(c);
            lineStart = false;
            // Two more bytes (a stuffed dot and its byte, or CR LF) must fit.
            if (len >= kLineRead - 1) Flush();
        }
    }
    void Finish() {
        if (heldCR) {
            heldCR = false;
            EndLine();
        }
        Flush();
    }
    void Flush() {
        if (len == 0 || relaySession.ending != SessionEnding::kEndNone) {
            len = 0;
            pieceAtStart = lineStart;
            return;
        }
        char* text = relaySession.textBuffer;
        text[len] = 0;  // for the log lines, which end at a NUL in the text
        if (relaySettings.Debug) {
            LogDebugToFile("%s", text);
        } else if (pieceAtStart && (StartsWith(text, "Date:") || StartsWith(text, "From:") ||
                                    StartsWith(text, "To:") || StartsWith(text, "Subject:"))) {
            LogToFile("%.80s", text);
        }
        SendBytes(text, len);
        bytesSent += (long long)len;
        len = 0;
        pieceAtStart = lineStart;
    }
};

// The connection: socket, connect, no send delay, the reply time-outs.
// False (reported, socket closed) when it cannot be made; a refused or
// timed-out connect asks the cycle for its back-off.
bool ConnectRelay(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    RelaySession& rs = relaySession;
    rs.step = SmtpStep::kConnect;
    LogToWindow("Opening socket\r\n");
    LogToFile("  Opening socket  ");
    SockHandle s = SockCreateTcp();
    if (s == kNoSocket) {
        LogSocketError("\r\n AMBREL Error in open socket: %d (%s)\r\n");
        return false;
    }
    relayState.relaySocket = s;

    LogToWindow("Connecting (%s:%d)\r\n", d.host, (int)d.port);
    LogToFile("Connecting (%s:%d)   ", d.host, (int)d.port);
    if (!SockConnect(s, rs.peerAddress, rs.peerPort)) {
        int code = SockLastError();
        LogBoth("\r\n AMBREL Error in connect: %d (%s)\r\n", code, SocketErrorName(code));
        NoteLastResult("Error in connect: %d (%s)", code, SocketErrorName(code));
        CloseRelaySocket();
        if (code == kTimedOut || code == kConnRefused) {
            // The server is down: the back-off runs in the cycle's wait
            // (cut short by "Send NOW" and by a stop), and the domain's
            // other messages wait for the next pass instead of each
            // connecting again.
            LogBoth("  delaying AMBREL by 10 minutes\r\n");
            relayState.cancelBackoff = 0;
            rs.backoffDue = 1;
            rs.heldDomain = domainIndex + 1;
            memcpy(rs.heldResult, rs.lastResult, sizeof rs.heldResult);  // the same size
        }
        return false;
    }
    LogBoth("Connected.\r\n");
    UpdateStatusBar();
    if (!SockSetNoDelay(s)) LogSocketError("\r\n AMBREL Warning: error in SetSock: %d (%s)\r\n");
    SockSetTimeouts(s, relayTimings.replyTimeoutMs, relayTimings.replyTimeoutMs);
    return true;
}

// The first refusal of a transaction: what the file's fate and its reply
// line follow.
struct FirstRefusal {
    Fate fate = Fate::kGoOn;
    SmtpReply reply{};
    void Note(Fate f) {
        if (fate != Fate::kGoOn) return;
        fate = f;
        reply = relaySession.reply;
    }
};

// Reads the reply of one envelope step and settles it for `rcpt` (null:
// every recipient, for MAIL). False when the connection is gone.
bool SettleEnvelopeReply(SmtpStep step, std::vector<SmtpRecipient>& recipients, SmtpRecipient* rcpt,
                         FirstRefusal& first) {
    const SmtpReply& reply = ReadReply(step);
    Fate fate = ClassifyReply(step, reply);
    if (fate != Fate::kGoOn) first.Note(fate);
    if (rcpt) {
        rcpt->fate = fate;
        rcpt->reply = reply.line;
    } else if (fate != Fate::kGoOn) {
        for (SmtpRecipient& r : recipients) {
            r.fate = fate;
            r.reply = reply.line;
        }
    }
    return relaySession.ending != SessionEnding::kEndDrop;
}

bool AnyAccepted(const std::vector<SmtpRecipient>& recipients) {
    for (const SmtpRecipient& r : recipients)
        if (r.fate == Fate::kGoOn) return true;
    return false;
}

// MAIL FROM (already sent), RCPT TO and DATA one at a time: each reply is
// read before the next command. True when the text may follow.
bool StepByStepEnvelope(std::vector<SmtpRecipient>& recipients, FirstRefusal& first) {
    if (!SettleEnvelopeReply(SmtpStep::kMail, recipients, nullptr, first) || first.fate != Fate::kGoOn)
        return false;
    for (SmtpRecipient& r : recipients) {
        SendCommand(SmtpStep::kRcpt, "RCPT TO:<%s>\r\n", r.address.c_str());
        if (!SettleEnvelopeReply(SmtpStep::kRcpt, recipients, &r, first)) return false;
    }
    if (!AnyAccepted(recipients)) return false;
    SendCommand(SmtpStep::kData, "DATA\r\n", nullptr);
    const SmtpReply& reply = ReadReply(SmtpStep::kData);
    Fate fate = ClassifyReply(SmtpStep::kData, reply);
    if (fate == Fate::kGoOn) return true;
    first.Note(fate);
    return false;
}

// MAIL FROM (already gathered), the RCPT TOs and DATA go out in one send;
// the replies are read in order with the rules of the steps one at a time.
// The first refusal is the one that counts; the replies after it are read
// all the same, so that the session stays in step for its RSET.
bool PipelinedEnvelope(std::vector<SmtpRecipient>& recipients, FirstRefusal& first) {
    for (SmtpRecipient& r : recipients) SendCommand(SmtpStep::kRcpt, "RCPT TO:<%s>\r\n", r.address.c_str());
    SendCommand(SmtpStep::kData, "DATA\r\n", nullptr);
    if (!SettleEnvelopeReply(SmtpStep::kMail, recipients, nullptr, first)) return false;
    bool mailTaken = first.fate == Fate::kGoOn;
    for (SmtpRecipient& r : recipients) {
        Fate mailFate = r.fate;
        if (!SettleEnvelopeReply(SmtpStep::kRcpt, recipients, &r, first)) return false;
        if (!mailTaken) r.fate = mailFate;  // the refused MAIL settles them all
    }
    const SmtpReply& reply = ReadReply(SmtpStep::kData);
    Fate fate = ClassifyReply(SmtpStep::kData, reply);
    if (relaySession.ending == SessionEnding::kEndDrop) return false;
    if (fate != Fate::kGoOn) first.Note(fate);
    if (first.fate == Fate::kGoOn) return true;
    if (fate == Fate::kGoOn) {
        // The server waits for message text although the envelope was
        // refused: an RSET now would be text. Drop the connection; a
        // message whose end never came is discarded.
        EndSessionAs(SessionEnding::kEndDrop);
    }
    return false;
}

// The message text, rewritten and made fit for the wire. False (the
// connection dropped) when the file could not be read to its end.
bool SendMessageText(MsgFile* file) {
    RelaySession& rs = relaySession;
    SendCommand(SmtpStep::kText, nullptr, nullptr);
    // The text goes out with every line end as CR LF and a dot doubled at
    // every line start. A line end is LF, CR LF, or a CR alone: a bare CR or
    // LF must never reach the wire, where a lenient next hop could take
    // "<CR>.<CR><LF>" for the end of the data and run what follows as
    // commands. (CR CR LF in the file reads as CR LF and stays one line
    // end.) Every other byte, NUL and Ctrl-Z included, goes out as it is.
    TextSender out;
    // A domain that sends as its account rewrites the From: field; the
    // rewrite comes before the rules above, so its lines obey them too.
    std::optional<FromRewriter> rewriter;
    if (rs.rewriteDomain > 0 && rs.rewriteDomain <= domainCount) {
        const DomainEntry& d = domainTable[rs.rewriteDomain - 1];
        rewriter.emplace(d.name, d.senderAddress);
    }
    // A pickup file's envelope lines and Bcc: field never go out: that
    // filter comes first.
    std::optional<PickupTextFilter> pickup;
    if (rs.pickupText) pickup.emplace();
    std::string picked, rewritten;
    auto rewrite = [&](char c) {
        if (!rewriter || rewriter->InBody()) {
            out.Take(c);
            return;
        }
        rewriter->Take(c, rewritten);
        for (char r : rewritten) out.Take(r);
        rewritten.clear();
    };
    auto take = [&](char c) {
        if (!pickup || pickup->InBody()) {
            rewrite(c);
            return;
        }
        pickup->Take(c, picked);
        for (char p : picked) rewrite(p);
        picked.clear();
    };
    size_t n;
    while (!MsgAtEnd(file) && !MsgFailed(file) && rs.ending == SessionEnding::kEndNone &&
           (n = MsgReadLine(file, rs.lineBuffer, sizeof rs.lineBuffer)) > 0) {
        for (size_t i = 0; i < n; i++) take(rs.lineBuffer[i]);
    }
    if (pickup) {
        pickup->Finish(picked);
        for (char p : picked) rewrite(p);
    }
    if (rewriter) {
        rewriter->Finish(rewritten);
        for (char c : rewritten) out.Take(c);
    }
    out.Finish();
    long long bytesSent = out.bytesSent;  // counted wide: a message may exceed 2 GiB
    rs.bytesSent = bytesSent > INT_MAX ? INT_MAX : (int)bytesSent;
    LogBoth("  %lld bytes sent\r\n", bytesSent);
    if (MsgFailed(file) && rs.ending == SessionEnding::kEndNone) {
        // The file could not be read to its end. Ending the data now would
        // hand the server a cut message as if it were whole, and the file
        // would then be deleted. Drop the connection instead: a server
        // discards a message whose end never came, and the file stays.
        LogBoth(" AMBREL Error: unable to read mail to its end, message not sent\r\n");
        EndSessionAs(SessionEnding::kEndDrop);
        CloseRelaySocket();
    }
    return rs.ending == SessionEnding::kEndNone;
}

void LogRouted(const char* sender, const std::vector<SmtpRecipient>& recipients) {
    std::string to;
    for (const SmtpRecipient& r : recipients) to += (to.empty() ? "<" : ", <") + r.address + ">";
    if (!sender[0]) LogToFile(" routed to %s\r\n", to.c_str());
    else LogToFile(" routed from <%s> to %s\r\n", sender, to.c_str());
}

// The recipients the text reached get the fate of the end of data.
void SettleAccepted(std::vector<SmtpRecipient>& recipients, Fate fate) {
    for (SmtpRecipient& r : recipients) {
        if (r.fate != Fate::kGoOn) continue;
        r.fate = fate;
        r.reply = relaySession.reply.line;
    }
}

}  // namespace

void ResetRelaySession() {
    relaySession = RelaySession{};
    relaySession.tls = nullptr;
}

void ResetCapabilities() { memset(&relaySession.caps, 0, sizeof relaySession.caps); }

void NoteCapabilityChar(char c) {
    ServerCapabilities& caps = relaySession.caps;
    if (c == '\n') {
        size_t n = caps.lineLen;
        if (n > 0 && caps.line[n - 1] == '\r') n--;
        NoteCapabilityLine(caps.line, n);
        caps.lineLen = 0;
    } else if (caps.lineLen < sizeof caps.line) {
        caps.line[caps.lineLen++] = c;
    }
}

bool ResolveRelayHost(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    uint32_t addr;
    if (!SockResolveIPv4(d.host, &addr)) {
        LogBoth("Invalid SMTP[%d] relay host name '%s'.\r\n", domainIndex, d.host);
        NoteLastResult("invalid relay host name '%s'", d.host);
        return false;
    }
    relaySession.peerAddress = addr;
    return true;
}

bool OpenSession(int domainIndex) {
    const DomainEntry& d = domainTable[domainIndex];
    RelaySession& rs = relaySession;
    if (rs.heldDomain == domainIndex + 1) return false;  // reported once in this pass
    if (!ResolveRelayHost(domainIndex)) {
        LogBoth("\r\n AMBREL Error: Unable to connect to server #%d (%s for %s)\r\n", domainIndex,
                d.host, d.name);
        return false;
    }
    rs.pendingCount = 0;
    rs.ending = SessionEnding::kEndNone;
    rs.peerPort = d.port;
    rs.tls = nullptr;
    rs.gatherLen = 0;
    rs.heldLen = 0;
    // A domain with security keys is beyond the design already: it takes the
    // fast mode whatever LowLatency says.
    rs.fastMode = relaySettings.LowLatency || NeedsExtendedSession(domainIndex);
    // What an earlier session's server offered (its SIZE limit) is not this one's.
    ResetCapabilities();
    if (!ConnectRelay(domainIndex) || !StartImplicitTls(domainIndex)) return false;

    const SmtpReply& greeting = ReadReply(SmtpStep::kGreeting);
    if (!ReplyIs(greeting, SmtpStep::kGreeting)) {
        LogBoth("\r\n GFR: %d\r\n", greeting.code);
        // A failed start leaves nothing behind: no connection and no
        // failure mark, so the next message of the pass opens a fresh one.
        CloseRelaySocket();
        rs.ending = SessionEnding::kEndNone;
        return false;
    }
    if (NeedsExtendedSession(domainIndex)) return StartExtendedSession(domainIndex);
    SendCommand(SmtpStep::kHelo, "HELO %s\r\n", relaySettings.SMTPHelo);
    Fate fate = ClassifyReply(SmtpStep::kHelo, ReadReply(SmtpStep::kHelo));
    if (fate == Fate::kGoOn) return true;
    EndAfterFate(fate);
    if (fate == Fate::kHoldDomain && HoldAfterConfigurationRefusal(domainIndex)) return false;
    // HELO refused: the session ends properly (RSET, QUIT, close), which
    // also clears the failure mark for the next message.
    CloseSession();
    return false;
}

Fate DeliverMessage(const char* sender, std::vector<SmtpRecipient>& recipients, MsgFile* file) {
    RelaySession& rs = relaySession;
    for (SmtpRecipient& r : recipients) r.fate = Fate::kGoOn;
    LogRouted(sender, recipients);
    if (rs.declaredSize > 0) {
        // The server said how much it takes (SIZE in its EHLO reply): the
        // size goes with the sender, so that it can refuse at once.
        char mailFrom[sizeof rs.commandLine];
        snprintf(mailFrom, sizeof mailFrom, "MAIL FROM:<%s> SIZE=%lld\r\n", sender, rs.declaredSize);
        SendCommand(SmtpStep::kMail, "%s", mailFrom);
    } else {
        SendCommand(SmtpStep::kMail, "MAIL FROM:<%s>\r\n", sender);
    }
    FirstRefusal first;
    bool envelope = rs.fastMode && rs.caps.pipelining ? PipelinedEnvelope(recipients, first)
                                                      : StepByStepEnvelope(recipients, first);
    if (!envelope || !SendMessageText(file)) {
        // Nothing was delivered: the recipients the envelope accepted share
        // the transaction's fate, and the first refusal's line is the one
        // that tells it.
        Fate fate = first.fate;
        if (fate == Fate::kGoOn)
            fate = rs.ending == SessionEnding::kEndDrop ? Fate::kConnectionLost : Fate::kDeferred;
        else
            rs.reply = first.reply;
        SettleAccepted(recipients, fate);
        EndAfterFate(fate);
        return fate;
    }
    SendCommand(SmtpStep::kDataEnd, "\r\n.\r\n", nullptr);
    Fate fate = ClassifyReply(SmtpStep::kDataEnd, ReadReply(SmtpStep::kDataEnd));
    SettleAccepted(recipients, fate);
    EndAfterFate(fate);
    return fate;
}

bool DeliverMessage(const char* sender, const char* recipient, MsgFile* file) {
    std::vector<SmtpRecipient> one(1);
    one[0].address = recipient;
    return DeliverMessage(sender, one, file) == Fate::kDelivered;
}

void CloseSession() {
    RelaySession& rs = relaySession;
    bool closed = false;
    if (relayState.relaySocket != kNoSocket) {
        if (rs.ending != SessionEnding::kEndDrop) {
            if (rs.ending == SessionEnding::kEndRsetQuit) {
                SendCommand(SmtpStep::kRset, "RSET\r\n", nullptr);
                ReadReply(SmtpStep::kRset);
            }
            SendCommand(SmtpStep::kQuit, "QUIT\r\n", nullptr);
            // Nothing waits for this answer: each accepted file was deleted
            // right after its 250 (the server has taken it over then), so a
            // server that closes without 221 costs nothing but this line.
            const SmtpReply& reply = ReadReply(SmtpStep::kQuit);
            if (!ReplyIs(reply, SmtpStep::kQuit) || rs.ending == SessionEnding::kEndDrop)
                LogBoth(" QUIT not answered with 221 (%d); connection closed\r\n", reply.code);
        }
        CloseRelaySocket();
        closed = true;
    }
    rs.pendingCount = 0;
    rs.ending = SessionEnding::kEndNone;
    if (closed) LogBoth("SMTP Session ended.\r\n");
}
