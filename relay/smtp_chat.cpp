// The dialogue with the relay server: commands out (one send per piece, or
// gathered into TLS-record-sized pieces), replies in through a small
// per-character reply-code parser and a reader bounded in time and size.
// What a reply means is not decided here (smtp_trouble.cpp).
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "log/log.h"
#include "relay.h"

RelaySession relaySession;

namespace {

constexpr int kTimedOut = 10060;  // WSAETIMEDOUT

void WriteFailed() {
    LogSocketError("\r\n AMBREL Error in write: %d (%s)\r\n");
    EndSessionAs(SessionEnding::kEndDrop);
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

// The connection can carry nothing more: a time-out, a close, a receive
// error, a reply past the bounds. The session ends without RSET and QUIT,
// which would only wait for replies that cannot come.
void LoseConnection() { EndSessionAs(SessionEnding::kEndDrop); }

void ReportTimeout() {
    LogBoth(" TIMEOUT in read !!!\r\n");
    NoteLastResult("no reply from the server (time-out)");
    LoseConnection();
}

// A reply past the bounds ends the session as a time-out does (the message
// stays), with one line that says why.
void ReplyTooLong(const char* what) {
    LogBoth("\r\n AMBREL Error: reply too long (%s); connection closed\r\n", what);
    LoseConnection();
}

// Keeps the line being read: each line end makes it the reply's final line
// so far, so after the reply it is the final one.
void NoteReplyLine(char c) {
    RelaySession& rs = relaySession;
    if (c == '\n' && rs.replyLineLen > 0 && rs.replyLine[rs.replyLineLen - 1] == '\r') {
        size_t n = rs.replyLineLen - 1;
        memcpy(rs.reply.line, rs.replyLine, n);
        rs.reply.line[n] = 0;
        rs.replyLineLen = 0;
    } else if (rs.replyLineLen < sizeof rs.replyLine - 1) {
        rs.replyLine[rs.replyLineLen++] = c;
    } else {
        rs.replyLine[sizeof rs.replyLine - 2] = c;  // the CR before the LF must stay seen
    }
}

}  // namespace

// "5xx 5.7.8 text": the enhanced status code after the reply code.
void ParseEnhancedStatus(SmtpReply& r) {
    r.status[0] = 0;
    const char* line = r.line;
    if (strlen(line) < 5 || (line[3] != ' ' && line[3] != '-') || r.code < 200) return;
    const char* p = line + 4;
    while (*p == ' ') p++;
    if (p[0] != line[0] || p[1] != '.') return;
    const char* q = p + 2;
    int digits = 0;
    for (; *q >= '0' && *q <= '9' && digits < 4; q++) digits++;
    if (digits == 0 || digits > 3 || *q != '.') return;
    q++;
    digits = 0;
    for (; *q >= '0' && *q <= '9' && digits < 4; q++) digits++;
    if (digits == 0 || digits > 3 || (*q != 0 && *q != ' ' && *q != '\t')) return;
    snprintf(r.status, sizeof r.status, "%.*s", (int)(q - p), p);
}

namespace {

// Feeds one received chunk to the parser: false, with the reason in `over`,
// when the reply passes the reader's bounds. `used` ends at the reply's end.
bool ParseChunk(int n, int* used, size_t* replyBytes, int* replyLines, bool capabilities, const char** over) {
    RelaySession& rs = relaySession;
    ReplyParser& p = rs.parser;
    for (*used = 0; *used < n && !p.replyDone; ++*used) {
        char c = rs.textBuffer[*used];
        FeedReplyChar(c);
        NoteReplyLine(c);
        if (capabilities) NoteCapabilityChar(c);
        if (c == '\n' && p.linePos == 0) ++*replyLines;
        if ((size_t)p.linePos > kReplyLineMax) *over = "a line over 4096 bytes";
        else if (*replyLines >= kReplyLinesMax && !p.replyDone) *over = "more than 512 lines";
        else if (++*replyBytes > kReplyBytesMax) *over = "more than 65536 bytes";
        if (*over) return false;
    }
    return true;
}

// The next chunk: what an earlier read kept, or what the server sends.
// Returns its length; 0 for a close, -1 for an error (both reported).
int NextChunk() {
    RelaySession& rs = relaySession;
    if (rs.heldLen > 0) {
        int n = (int)rs.heldLen;
        memcpy(rs.textBuffer, rs.heldReply, rs.heldLen);
        rs.heldLen = 0;
        return n;
    }
    int n = RecvChunk(rs.textBuffer, (int)kLineRead);
    if (n == 0) {
        // The server closed the connection: nothing more can come, so the
        // read ends now.
        LogToWindow(".");
        ReportTimeout();
    } else if (n < 0) {
        int code = SockLastError();
        if (code == kTimedOut) {
            ReportTimeout();
            return 0;
        }
        LogToWindow("\r\n Error in read: %d (%s)\r\n", code, SocketErrorName(code));
        NoteLastResult("Error in read: %d (%s)", code, SocketErrorName(code));
        LoseConnection();
    }
    return n;
}

// Reads chunks until the reply is whole; false when it was cut short (the
// code is then what was parsed, or -1).
bool ReadWholeReply(SmtpStep step, int* code) {
    RelaySession& rs = relaySession;
    ReplyParser& p = rs.parser;
    size_t replyBytes = 0;
    int replyLines = 0;
    while (!p.replyDone) {
        int n = NextChunk();
        if (n <= 0) {
            *code = n < 0 ? -1 : p.replyCode;
            return false;
        }
        // A reply ends at the CR LF of its final line, wherever the chunks
        // are cut; what follows in the same chunk is the next reply's start.
        const char* over = nullptr;
        int used = 0;
        ParseChunk(n, &used, &replyBytes, &replyLines, step == SmtpStep::kEhlo, &over);
        if (p.replyDone && used < n) {
            rs.heldLen = (size_t)(n - used);
            memcpy(rs.heldReply, rs.textBuffer + used, rs.heldLen);
        }
        // Only the first 502 bytes of a chunk are shown; the reply bounds
        // keep the window and the log as small as the reply.
        rs.textBuffer[(size_t)n < kChunkShown ? (size_t)n : kChunkShown] = 0;
        LogToWindow("<- %s", rs.textBuffer);
        LogDebugToFile("*  <- %s", rs.textBuffer);
        if (over) {
            ReplyTooLong(over);
            *code = -1;
            return false;
        }
    }
    *code = p.replyCode;
    return true;
}

}  // namespace

void LogSocketError(const char* format) {
    int code = SockLastError();
    LogBoth(format, code, SocketErrorName(code));
}

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
    if (s != kNoSocket && !SockClose(s)) LogSocketError("\r\n AMBREL Error in close(socket): %d (%s)\r\n");
}

namespace {
bool Unprintable(char c) { return (unsigned char)c < 0x20 || c == 0x7F; }
}  // namespace

void MakeOneLine(char* text) {
    for (char* c = text; *c; c++)
        if (Unprintable(*c)) *c = ' ';
}

// Every byte of the text, a NUL too: a NUL inside would end the line for C.
std::string MakeOneLine(std::string text) {
    for (char& c : text)
        if (Unprintable(c)) c = ' ';
    return text;
}

void NoteLastResult(const char* format, ...) {
    char* out = relaySession.lastResult;
    va_list ap;
    va_start(ap, format);
    vsnprintf(out, sizeof relaySession.lastResult, format, ap);
    va_end(ap);
    // One line of plain text: it goes into a tab-separated log line, a
    // table row and a mail body.
    MakeOneLine(out);
}

void SendCommand(SmtpStep step, const char* format, const char* arg) {
    RelaySession& rs = relaySession;
    const StepInfo& info = StepOf(step);
    rs.step = step;
    if (format) snprintf(rs.commandLine, sizeof rs.commandLine, format, arg);
    const char* shown = info.shownText ? info.shownText : rs.commandLine;
    LogToWindow("-> %s", shown);
    if (info.shown == CommandShown::kTextToFile) LogToFile("  -> %s", shown);
    else if (info.shown != CommandShown::kTextToWindow) LogDebugToFile("  -> %s", shown);
    // A command whose text the caller sent itself (a credential, the end
    // of data) shows only.
    if (format) SendText(rs.commandLine);
}

const SmtpReply& ReadReply(SmtpStep step) {
    RelaySession& rs = relaySession;
    const StepInfo& info = StepOf(step);
    SmtpReply& r = rs.reply;
    rs.step = step;
    r.code = 0;
    r.whole = false;
    r.status[0] = 0;
    r.line[0] = 0;
    // The time-out counts from the command, not from the last byte: a
    // server that drips a byte or a line at a time is held to it as well.
    int waitMs = info.longWait ? relayTimings.dataEndTimeoutMs : relayTimings.replyTimeoutMs;
    if (!FlushGathered()) {
        r.code = -1;
        return r;
    }
    if (!rs.fastMode) SleepMs(relayTimings.replyPauseMs);
    ResetReplyParser();
    if (step == SmtpStep::kEhlo) ResetCapabilities();
    rs.textBuffer[0] = 0;
    rs.replyLineLen = 0;
    SockSetReadDeadline(SteadyMs() + waitMs);
    r.whole = ReadWholeReply(step, &r.code);
    SockSetReadDeadline(0);
    if (!r.whole) return r;
    ParseEnhancedStatus(r);
    if (r.code != info.expected) {
        if (!relaySettings.Debug) LogToFile("  <- %s", rs.textBuffer);
        LogBoth("Code detected: %d\r\n", r.code);
        LogBoth("   Error: Bad SMTP status %03d received\r\n", r.code);
        // The final line of the refusing reply, or its code when the line
        // holds nothing more.
        if (r.line[0]) NoteLastResult("%s", r.line);
        else NoteLastResult("%03d", r.code);
    }
    return r;
}

bool ReplyIs(const SmtpReply& reply, SmtpStep step) { return reply.whole && reply.code == StepOf(step).expected; }

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
