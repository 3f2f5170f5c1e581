// The SMTP client: one connection at a time to the relay server of the pass,
// HELO, one sender and one recipient per message, replies read through a
// small per-character reply-code parser.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "config/config.h"
#include "log/log.h"
#include "relay.h"

RelaySession relaySession;

namespace {

constexpr int kTimedOut = 10060;       // WSAETIMEDOUT
constexpr int kConnRefused = 10061;    // WSAECONNREFUSED

void LogSocketError(const char* format) {
    int code = SockLastError();
    LogBoth(format, code, SocketErrorName(code));
}

// Closes the relay connection and marks it none; a failed close is reported
// and marks the session failed.
void CloseRelaySocket() {
    RelaySession& rs = relaySession;
    SockHandle s = relayState.relaySocket.exchange(kNoSocket);
    rs.gatherLen = 0;
    rs.heldLen = 0;
    if (rs.tls) {
        // The closing alert goes out only on a socket still ours: one the
        // shutdown has closed may already carry another file's number.
        if (s != kNoSocket) TlsClose(rs.tls);
        rs.tls = nullptr;
    }
    if (s != kNoSocket && !SockClose(s)) {
        LogSocketError("\r\n AMBREL Error in close(socket): %d (%s)\r\n");
        relayState.sessionFailed = 1;
    }
}

void ReportTimeout() {
    LogBoth(" TIMEOUT in read !!!\r\n");
    NoteLastResult("no reply from the server (time-out)");
    relayState.sessionFailed = 1;
    relaySession.connectionLost = 1;
    relaySession.permanentFailure = relaySession.parser.replyCode >= 500;
}

// The final line of a refusing reply (the reader keeps it whole), or its
// code when the line holds nothing more.
void NoteLastReply(int code) {
    if (relaySession.lastReply[0]) NoteLastResult("%s", relaySession.lastReply);
    else NoteLastResult("%03d", code);
}

bool StartsWith(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

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
        if (len == 0 || relayState.sessionFailed) {
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

void WriteFailed() {
    LogSocketError("\r\n AMBREL Error in write: %d (%s)\r\n");
    relayState.sessionFailed = 1;
    relaySession.connectionLost = 1;
}

// Sends what has been gathered; false (reported) when the send failed.
bool FlushGathered() {
    RelaySession& rs = relaySession;
    if (rs.gatherLen == 0) return true;
    size_t n = rs.gatherLen;
    rs.gatherLen = 0;
    int sent = rs.tls ? TlsSend(rs.tls, rs.gather, (int)n) : SockSend(relayState.relaySocket, rs.gather, (int)n);
    if (sent < 0) {
        WriteFailed();
        return false;
    }
    return true;
}

int RecvChunk(char* buf, int len) {
    RelaySession& rs = relaySession;
    if (rs.tls) return TlsRecv(rs.tls, buf, len);
    return SockRecv(relayState.relaySocket, buf, len);
}

// A reply past the bounds: the session ends as after a time-out (nothing
// more is sent on it, the message stays), with one line that says why.
int ReplyTooLong(const char* what) {
    LogBoth("\r\n AMBREL Error: reply too long (%s); connection closed\r\n", what);
    relayState.sessionFailed = 1;
    relaySession.connectionLost = 1;
    relaySession.permanentFailure = 0;
    return -1;
}

// Keeps the line being read for lastReply: each line end makes it the last
// line, so after the reply it is the final one.
void NoteReplyLine(char c) {
    RelaySession& rs = relaySession;
    if (c == '\n' && rs.replyLineLen > 0 && rs.replyLine[rs.replyLineLen - 1] == '\r') {
        size_t n = rs.replyLineLen - 1;
        memcpy(rs.lastReply, rs.replyLine, n);
        rs.lastReply[n] = 0;
        rs.replyLineLen = 0;
    } else if (rs.replyLineLen < sizeof rs.replyLine - 1) {
        rs.replyLine[rs.replyLineLen++] = c;
    } else {
        rs.replyLine[sizeof rs.replyLine - 2] = c;  // the CR before the LF must stay seen
    }
}

}  // namespace

void SendCommand(const char* format, const char* arg) {
    RelaySession& rs = relaySession;
    snprintf(rs.commandLine, sizeof rs.commandLine, format, arg);
    LogToWindow("-> %s", rs.commandLine);
    LogDebugToFile("  -> %s", rs.commandLine);
    SendText(rs.commandLine);
}

// A reply cut short by the time-out returns what was parsed, which may be the
// expected digits of an unfinished line; the failure mark tells it apart.
void NoteLastResult(const char* format, ...) {
    char* out = relaySession.lastResult;
    va_list ap;
    va_start(ap, format);
    vsnprintf(out, sizeof relaySession.lastResult, format, ap);
    va_end(ap);
    // One line of plain text: it goes into a tab-separated log line, a
    // table row and a mail body.
    for (char* c = out; *c; c++)
        if ((unsigned char)*c < 0x20 || *c == 0x7F) *c = ' ';
}

bool Expect(int expected) { return ReadReply(expected) == expected && !relayState.sessionFailed; }

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
    if (rs.securityFailedDomain == domainIndex + 1) return false;  // reported once in this pass
    if (!ResolveRelayHost(domainIndex)) {
        LogBoth("\r\n AMBREL Error: Unable to connect to server #%d (%s for %s)\r\n", domainIndex,
                d.host, d.name);
        return false;
    }
    rs.pendingCount = 0;
    rs.connectionLost = 0;
    rs.peerPort = d.port;
    rs.tls = nullptr;
    rs.gatherLen = 0;
    rs.heldLen = 0;
    rs.keepRest = 0;
    // A domain with security keys is beyond the design already: it takes the
    // fast mode whatever LowLatency says.
    rs.fastMode = relaySettings.LowLatency || NeedsExtendedSession(domainIndex);
    // What an earlier session's server offered (its SIZE limit) is not this one's.
    ResetCapabilities();

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
        // As after a refused greeting: a close that failed here must not
        // mark the next message's transaction as failed.
        relayState.sessionFailed = 0;
        if (code == kTimedOut || code == kConnRefused) {
            LogBoth("  delaying AMBREL by 10 minutes\r\n");
            relayState.cancelBackoff = 0;
            for (int i = 0; i < relayTimings.backoffSteps; i++) {
                SleepMs(relayTimings.backoffStepMs);
                if (relayState.cancelBackoff) break;
            }
        }
        return false;
    }

    LogBoth("Connected.\r\n");
    UpdateStatusBar();
    if (!SockSetNoDelay(s)) LogSocketError("\r\n AMBREL Warning: error in SetSock: %d (%s)\r\n");
    SockSetTimeouts(s, relayTimings.replyTimeoutMs, relayTimings.replyTimeoutMs);
    if (!StartImplicitTls(domainIndex)) return false;

    int code = ReadReply(220);
    if (code != 220 || relayState.sessionFailed) {
        LogBoth("\r\n GFR: %d\r\n", code);
        CloseRelaySocket();
        // A failed start leaves nothing behind: no connection and no failure
        // mark, so the next message of the pass opens a fresh session.
        relayState.sessionFailed = 0;
        return false;
    }
    if (NeedsExtendedSession(domainIndex)) return StartExtendedSession(domainIndex);
    SendCommand("HELO %s\r\n", relaySettings.SMTPHelo);
    if (Expect(250)) return true;
    if (rs.permanentFailure && HoldAfterConfigurationRefusal(domainIndex)) return false;
    // HELO refused: end the session properly (RSET, QUIT, close), which also
    // clears the failure mark for the next message.
    CloseSession();
    return false;
}

void ResetReplyParser() {
    ReplyParser& p = relaySession.parser;
    p.replyCode = 0;
    p.linePos = 0;
    p.parsingCode = 1;
    p.moreLines = 1;
    p.replyDone = 0;
    p.lastWasCR = 0;
    p.codeOnly = 0;
}

void FeedReplyChar(char c) {
    ReplyParser& p = relaySession.parser;
    bool digit = c >= '0' && c <= '9';
    if (p.parsingCode) {
        if (p.linePos < 3 && !digit) {
            p.parsingCode = 0;
            p.replyCode = 0;
        } else if (p.linePos == 0) {
            p.replyCode += 100 * (c - '0');
        } else if (p.linePos == 1) {
            p.replyCode += 10 * (c - '0');
        } else if (p.linePos == 2) {
            p.replyCode += c - '0';
        } else if (p.linePos == 3) {
            if (c == ' ') p.moreLines = 0;
            else if (c == '\r') p.codeOnly = 1;
            else p.replyCode = 0;
        } else if (p.linePos == 4 && p.codeOnly) {
            // "250" CR LF is a whole final line: the text after the code is
            // optional. Anything but LF after the CR makes it no reply line.
            p.codeOnly = 0;
            if (c == '\n') p.moreLines = 0;
            else p.replyCode = 0;
        }
    }
    if (p.linePos < INT_MAX) p.linePos++;  // only positions 0 to 3 matter
    if (c == '\n') {
        if (p.lastWasCR) {
            if (!p.moreLines) p.replyDone = 1;
            p.linePos = 0;
            p.parsingCode = 1;
        }
        p.lastWasCR = 0;
    } else {
        p.lastWasCR = c == '\r';
    }
}

int ReadReply(int expected) {
    RelaySession& rs = relaySession;
    ReplyParser& p = rs.parser;
    // The time-out counts from the command, not from the last byte: a
    // server that drips a byte or a line at a time is held to it as well.
    int waitMs = rs.awaitDataEnd ? relayTimings.dataEndTimeoutMs : relayTimings.replyTimeoutMs;
    rs.awaitDataEnd = 0;
    if (!FlushGathered()) return -1;
    if (!rs.fastMode) SleepMs(relayTimings.replyPauseMs);
    ResetReplyParser();
    if (rs.collectCapabilities) ResetCapabilities();
    rs.textBuffer[0] = 0;
    rs.lastReply[0] = 0;
    rs.replyLineLen = 0;
    SockSetReadDeadline(SteadyMs() + waitMs);
    size_t replyBytes = 0;
    int replyLines = 0;
    int result = 0;
    bool whole = false;
    while (!whole) {
        int n;
        if (rs.heldLen > 0) {
            n = (int)rs.heldLen;
            memcpy(rs.textBuffer, rs.heldReply, rs.heldLen);
            rs.heldLen = 0;
        } else {
            n = RecvChunk(rs.textBuffer, (int)kLineRead);
        }
        if (n == 0) {
            // The server closed the connection: nothing more can come, so
            // the read ends now (the design polled it for 30 seconds).
            LogToWindow(".");
            ReportTimeout();
            result = p.replyCode;
            break;
        }
        if (n < 0) {
            int code = SockLastError();
            if (code == kTimedOut) {
                ReportTimeout();
                result = p.replyCode;
                break;
            }
            LogToWindow("\r\n Error in read: %d (%s)\r\n", code, SocketErrorName(code));
            NoteLastResult("Error in read: %d (%s)", code, SocketErrorName(code));
            relayState.sessionFailed = 1;
            rs.connectionLost = 1;
            result = -1;
            break;
        }
        // A reply ends at the CR LF of its final line, wherever the chunks
        // are cut; what follows in the same chunk is not this reply's.
        const char* over = nullptr;
        int used = 0;
        for (; used < n && !p.replyDone; used++) {
            char c = rs.textBuffer[used];
            FeedReplyChar(c);
            NoteReplyLine(c);
            if (rs.collectCapabilities) NoteCapabilityChar(c);
            if (c == '\n' && p.linePos == 0) replyLines++;
            if ((size_t)p.linePos > kReplyLineMax) over = "a line over 4096 bytes";
            else if (replyLines >= kReplyLinesMax && !p.replyDone) over = "more than 512 lines";
            else if (++replyBytes > kReplyBytesMax) over = "more than 65536 bytes";
            if (over) break;
        }
        if (p.replyDone && rs.keepRest && used < n) {
            rs.heldLen = (size_t)(n - used);
            memcpy(rs.heldReply, rs.textBuffer + used, rs.heldLen);
        }
        // Only the first 502 bytes of a chunk are shown; the reply bounds
        // keep the window and the log as small as the reply.
        rs.textBuffer[(size_t)n < kChunkShown ? (size_t)n : kChunkShown] = 0;
        LogToWindow("<- %s", rs.textBuffer);
        LogDebugToFile("*  <- %s", rs.textBuffer);
        if (over) {
            result = ReplyTooLong(over);
            break;
        }
        whole = p.replyDone;
    }
    SockSetReadDeadline(0);
    if (!whole) return result;
    if (p.replyCode != expected) {
        if (!relaySettings.Debug) LogToFile("  <- %s", rs.textBuffer);
        LogBoth("Code detected: %d\r\n", p.replyCode);
        LogBoth("   Error: Bad SMTP status %03d received\r\n", p.replyCode);
        NoteLastReply(p.replyCode);
        relayState.sessionFailed = 1;
    }
    rs.permanentFailure = p.replyCode >= 500;
    return p.replyCode;
}

void SendBytes(const char* data, size_t len) {
    RelaySession& rs = relaySession;
    if (!rs.tls && !rs.fastMode) {
        // Plain SMTP as designed: one send per piece.
        if (SockSend(relayState.relaySocket, data, (int)len) < 0) WriteFailed();
        return;
    }
    // The bytes wait for a full buffer; every read sends them first.
    while (len > 0) {
        size_t room = sizeof rs.gather - rs.gatherLen;
        size_t n = len < room ? len : room;
        memcpy(rs.gather + rs.gatherLen, data, n);
        rs.gatherLen += n;
        data += n;
        len -= n;
        if (rs.gatherLen == sizeof rs.gather && !FlushGathered()) return;
    }
}

void SendText(const char* text) { SendBytes(text, strlen(text)); }

namespace {

// MAIL FROM (already gathered), RCPT TO and DATA go out in one send; the
// replies are read in order with the rules of the steps one at a time. The
// first refusal is the one that counts (the code, the permanence, the reply
// line); the replies after it are read all the same, so that the session
// stays in step for its RSET.
bool PipelinedEnvelope(const char* recipient) {
    RelaySession& rs = relaySession;
    SendCommand("RCPT TO:<%s>\r\n", recipient);
    LogToWindow("-> DATA\r\n");
    LogDebugToFile("  -> DATA\r\n");
    SendText("DATA\r\n");
    const int expected[3] = {250, 250, 354};
    bool refused = false;
    ReplyParser firstParser{};
    int firstPermanent = 0;
    char firstReply[sizeof rs.lastReply];
    int code = 0;
    for (int i = 0; i < 3; i++) {
        rs.keepRest = i < 2;
        code = ReadReply(expected[i]);
        rs.keepRest = 0;
        if (rs.connectionLost) {
            rs.heldLen = 0;
            return false;
        }
        if (code != expected[i] && !refused) {
            refused = true;
            firstParser = rs.parser;
            firstPermanent = rs.permanentFailure;
            memcpy(firstReply, rs.lastReply, sizeof firstReply);
        }
    }
    rs.heldLen = 0;
    if (!refused) return true;
    if (code == 354) {
        // The server waits for message text although the envelope was
        // refused: an RSET now would be text. Drop the connection; a
        // message whose end never came is discarded.
        rs.connectionLost = 1;
    }
    rs.parser = firstParser;
    rs.permanentFailure = firstPermanent;
    memcpy(rs.lastReply, firstReply, sizeof rs.lastReply);
    relayState.sessionFailed = 1;
    return false;
}

}  // namespace

bool DeliverMessage(const char* sender, const char* recipient, MsgFile* file) {
    RelaySession& rs = relaySession;
    rs.permanentFailure = 0;
    if (!sender[0]) LogToFile(" routed to <%s>\r\n", recipient);
    else LogToFile(" routed from <%s> to <%s>\r\n", sender, recipient);

    if (rs.declaredSize > 0) {
        // The server said how much it takes (SIZE in its EHLO reply): the
        // size goes with the sender, so that it can refuse at once.
        char mailFrom[sizeof rs.commandLine];
        snprintf(mailFrom, sizeof mailFrom, "MAIL FROM:<%s> SIZE=%lld\r\n", sender, rs.declaredSize);
        SendCommand("%s", mailFrom);
    } else {
        SendCommand("MAIL FROM:<%s>\r\n", sender);
    }
    if (rs.fastMode && rs.caps.pipelining) {
        if (!PipelinedEnvelope(recipient)) return false;
    } else {
        if (!Expect(250)) return false;
        SendCommand("RCPT TO:<%s>\r\n", recipient);
        if (!Expect(250)) return false;
        LogToWindow("-> DATA\r\n");
        LogDebugToFile("  -> DATA\r\n");
        SendText("DATA\r\n");
        if (!Expect(354)) return false;
    }

    LogToWindow("-> <data>\r\n");
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
    std::string rewritten;
    size_t n;
    while (!MsgAtEnd(file) && !MsgFailed(file) && !relayState.sessionFailed &&
           (n = MsgReadLine(file, rs.lineBuffer, sizeof rs.lineBuffer)) > 0) {
        for (size_t i = 0; i < n; i++) {
            if (!rewriter || rewriter->InBody()) {
                out.Take(rs.lineBuffer[i]);
                continue;
            }
            rewriter->Take(rs.lineBuffer[i], rewritten);
            for (char c : rewritten) out.Take(c);
            rewritten.clear();
        }
    }
    if (rewriter) {
        rewriter->Finish(rewritten);
        for (char c : rewritten) out.Take(c);
    }
    out.Finish();
    long long bytesSent = out.bytesSent;  // counted wide: a message may exceed 2 GiB
    rs.bytesSent = bytesSent > INT_MAX ? INT_MAX : (int)bytesSent;
    LogBoth("  %lld bytes sent\r\n", bytesSent);
    if (MsgFailed(file) && !relayState.sessionFailed) {
        // The file could not be read to its end. Ending the data now would
        // hand the server a cut message as if it were whole, and the file
        // would then be deleted. Drop the connection instead: a server
        // discards a message whose end never came, and the file stays.
        LogBoth(" AMBREL Error: unable to read mail to its end, message not sent\r\n");
        relayState.sessionFailed = 1;
        CloseRelaySocket();
    }
    if (relayState.sessionFailed) return false;

    LogToWindow("-> CRLF.CRLF\r\n");
    LogDebugToFile("  -> CRLF.CRLF\r\n");
    SendText("\r\n.\r\n");
    rs.awaitDataEnd = 1;
    return Expect(250);
}

void CloseSession() {
    RelaySession& rs = relaySession;
    bool closed = false;
    if (relayState.relaySocket != kNoSocket) {
        if (!rs.connectionLost) {
            if (relayState.sessionFailed) {
                LogToWindow("-> RSET\r\n");
                LogToFile("  -> RSET\r\n");
                SendText("RSET\r\n");
                ReadReply(250);
            }
            LogToWindow("-> QUIT\r\n");
            LogToFile("  -> QUIT\r\n");
            SendText("QUIT\r\n");
            // Nothing waits for this answer: each accepted file was deleted
            // right after its 250 (the server has taken it over then), so a
            // server that closes without 221 costs nothing but this line.
            int code = ReadReply(221);
            if (code != 221 || rs.connectionLost) LogBoth(" QUIT not answered with 221 (%d); connection closed\r\n", code);
        }
        CloseRelaySocket();
        closed = true;
    }
    rs.pendingCount = 0;
    rs.connectionLost = 0;
    if (closed) LogBoth("SMTP Session ended.\r\n");
    relayState.sessionFailed = 0;
}
