// The SMTP client: one connection at a time to the relay server of the pass,
// HELO, one sender and one recipient per message, replies read through a
// small per-character reply-code parser.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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
    rs.tlsOutLen = 0;
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

// The final line of a refusing reply, as far as the shown chunk holds it.
void NoteLastReply(const char* chunk, int code) {
    const char* end = chunk + strlen(chunk);
    while (end > chunk && (end[-1] == '\n' || end[-1] == '\r')) end--;
    const char* start = end;
    while (start > chunk && start[-1] != '\n') start--;
    if (start == end) {
        NoteLastResult("%03d", code);
        return;
    }
    NoteLastResult("%.*s", (int)(end - start), start);
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

// Sends what waits for a TLS record; false (reported) when the send failed.
bool FlushTlsOut() {
    RelaySession& rs = relaySession;
    if (rs.tlsOutLen == 0) return true;
    size_t n = rs.tlsOutLen;
    rs.tlsOutLen = 0;
    if (!rs.tls || TlsSend(rs.tls, rs.tlsOut, (int)n) < 0) {
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
    rs.tlsOutLen = 0;

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
    if (!FlushTlsOut()) return -1;
    SleepMs(relayTimings.replyPauseMs);
    ResetReplyParser();
    if (rs.collectCapabilities) ResetCapabilities();
    rs.idlePolls = 0;
    rs.textBuffer[0] = 0;
    for (;;) {
        if (rs.idlePolls >= kIdlePollLimit) {
            ReportTimeout();
            return p.replyCode;
        }
        int n = RecvChunk(rs.textBuffer, (int)kLineRead);
        if (n == 0) {
            LogToWindow(".");
            SleepMs(relayTimings.idlePollMs);
            rs.idlePolls++;
            continue;
        }
        if (n < 0) {
            int code = SockLastError();
            if (code == kTimedOut) {  // the receive time-out ran out: the server is silent
                ReportTimeout();
                return p.replyCode;
            }
            rs.idlePolls = 0;
            LogToWindow("\r\n Error in read: %d (%s)\r\n", code, SocketErrorName(code));
            NoteLastResult("Error in read: %d (%s)", code, SocketErrorName(code));
            relayState.sessionFailed = 1;
            rs.connectionLost = 1;
            return -1;
        }
        rs.idlePolls = 0;
        // Only the first 502 bytes of a chunk are shown, but the whole chunk
        // is parsed: a long multi-line reply that arrives in one piece would
        // otherwise lose its final line, and the read would wait for it
        // until the time-out on every attempt.
        for (int i = 0; i < n && !p.replyDone; i++) {
            FeedReplyChar(rs.textBuffer[i]);
            if (rs.collectCapabilities) NoteCapabilityChar(rs.textBuffer[i]);
        }
        rs.textBuffer[(size_t)n < kChunkShown ? (size_t)n : kChunkShown] = 0;
        LogToWindow("<- %s", rs.textBuffer);
        LogDebugToFile("*  <- %s", rs.textBuffer);
        if (!p.moreLines) break;
    }
    if (p.replyCode != expected) {
        if (!relaySettings.Debug) LogToFile("  <- %s", rs.textBuffer);
        LogBoth("Code detected: %d\r\n", p.replyCode);
        LogBoth("   Error: Bad SMTP status %03d received\r\n", p.replyCode);
        NoteLastReply(rs.textBuffer, p.replyCode);
        relayState.sessionFailed = 1;
    }
    rs.permanentFailure = p.replyCode >= 500;
    return p.replyCode;
}

void SendBytes(const char* data, size_t len) {
    RelaySession& rs = relaySession;
    if (!rs.tls) {
        // Plain SMTP: one send per piece, as always.
        if (SockSend(relayState.relaySocket, data, (int)len) < 0) WriteFailed();
        return;
    }
    // Over TLS the bytes wait for a full record; every read sends them first.
    while (len > 0) {
        size_t room = sizeof rs.tlsOut - rs.tlsOutLen;
        size_t n = len < room ? len : room;
        memcpy(rs.tlsOut + rs.tlsOutLen, data, n);
        rs.tlsOutLen += n;
        data += n;
        len -= n;
        if (rs.tlsOutLen == sizeof rs.tlsOut && !FlushTlsOut()) return;
    }
}

void SendText(const char* text) { SendBytes(text, strlen(text)); }

bool DeliverMessage(const char* sender, const char* recipient, MsgFile* file) {
    RelaySession& rs = relaySession;
    rs.permanentFailure = 0;
    if (!sender[0]) LogToFile(" routed to <%s>\r\n", recipient);
    else LogToFile(" routed from <%s> to <%s>\r\n", sender, recipient);

    SendCommand("MAIL FROM:<%s>\r\n", sender);
    if (!Expect(250)) return false;
    SendCommand("RCPT TO:<%s>\r\n", recipient);
    if (!Expect(250)) return false;
    LogToWindow("-> DATA\r\n");
    LogDebugToFile("  -> DATA\r\n");
    SendText("DATA\r\n");
    if (!Expect(354)) return false;

    LogToWindow("-> <data>\r\n");
    // The text goes out with every line end as CR LF and a dot doubled at
    // every line start. A line end is LF, CR LF, or a CR alone: a bare CR or
    // LF must never reach the wire, where a lenient next hop could take
    // "<CR>.<CR><LF>" for the end of the data and run what follows as
    // commands. (CR CR LF in the file reads as CR LF and stays one line
    // end.) Every other byte, NUL and Ctrl-Z included, goes out as it is.
    TextSender out;
    size_t n;
    while (!MsgAtEnd(file) && !MsgFailed(file) && !relayState.sessionFailed &&
           (n = MsgReadLine(file, rs.lineBuffer, sizeof rs.lineBuffer)) > 0) {
        for (size_t i = 0; i < n; i++) out.Take(rs.lineBuffer[i]);
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
    SockHandle s = relayState.relaySocket;
    SockSetTimeouts(s, relayTimings.dataEndTimeoutMs, relayTimings.replyTimeoutMs);
    bool accepted = Expect(250);
    SockSetTimeouts(s, relayTimings.replyTimeoutMs, relayTimings.replyTimeoutMs);
    return accepted;
}

void CloseSession() {
    RelaySession& rs = relaySession;
    bool closed = false;
    bool quitAccepted = false;
    if (relayState.relaySocket != kNoSocket) {
        if (!rs.connectionLost) {
            if (relayState.sessionFailed) {
                LogToWindow("-> RSET\r\n");
                LogToFile("  -> RSET\r\n");
                SendText("RSET\r\n");
                ReadReply(250);
                rs.pendingCount = 0;
            }
            LogToWindow("-> QUIT\r\n");
            LogToFile("  -> QUIT\r\n");
            SendText("QUIT\r\n");
            quitAccepted = ReadReply(221) == 221;
        }
        CloseRelaySocket();
        closed = true;
    }
    // Accepted files are deleted only after a QUIT answered by 221 in this
    // session. Without it (the connection was lost, or the shutdown closed
    // it under the worker) they stay and are sent again: a copy twice is
    // better than none.
    if (!relayState.sessionFailed && quitAccepted) {
        for (int i = 0; i < rs.pendingCount && i < kMaxMailSent; i++) {
            int err = RemoveFileErrno(rs.pendingPaths[i]);
            if (err) LogBoth(" Error deleting mail %s (errno: %d)\r\n", rs.pendingPaths[i], err);
        }
    }
    rs.pendingCount = 0;
    rs.connectionLost = 0;
    if (closed) LogBoth("SMTP Session ended.\r\n");
    relayState.sessionFailed = 0;
}
