// Whole message files through the envelope scan and one transaction to a
// peer at the other end of a socket pair. What the peer receives as message
// text must hold no bare CR or LF, a doubled dot at every line start, and
// nothing but those changes; the envelope comes only from real line starts.
// A second transaction sends the file with its From: rewritten: the header
// must come out well formed, with nothing changed but the From: field and
// the lines added for it, and the body byte for byte.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <strings.h>
#include <thread>
#include <vector>

#include "config/config.h"
#include "relay/relay.h"
#include "fuzz/message_file.h"
#include "tests/wire_text.h"

namespace {
std::string filePath;
int peerFd = -1;
std::mutex lock;
std::condition_variable arrived;
std::string received;  // the message text of the last transaction, with its end
bool done = false;

void Reply(const char* r) {
    if (send(peerFd, r, strlen(r), MSG_NOSIGNAL) < 0) __builtin_trap();
}

// A willing server: 250 to every command, 354 to DATA, 250 to the text.
void Peer() {
    std::string buf;
    bool inText = false;
    char chunk[65536];
    for (;;) {
        ssize_t n = recv(peerFd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        buf.append(chunk, (size_t)n);
        for (;;) {
            size_t e = buf.find(inText ? "\r\n.\r\n" : "\r\n");
            if (e == std::string::npos) break;
            size_t len = e + (inText ? 5 : 2);
            std::string piece = buf.substr(0, len);
            buf.erase(0, len);
            if (!inText) {
                inText = piece == "DATA\r\n";
                Reply(inText ? "354 go\r\n" : "250 ok\r\n");
                continue;
            }
            inText = false;
            Reply("250 ok\r\n");
            std::lock_guard<std::mutex> g(lock);
            received = piece;
            done = true;
            arrived.notify_one();
        }
    }
}

// An address found must come from a line that starts with the header name,
// before the first empty line.
bool FromRealLine(const std::string& file, const char* header) {
    std::string lf;
    for (size_t i = 0; i < file.size(); i++) {
        if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') continue;
        lf += file[i];
    }
    size_t n = strlen(header);
    for (size_t at = 0; at < lf.size();) {
        size_t e = lf.find('\n', at);
        std::string line = lf.substr(at, e == std::string::npos ? std::string::npos : e - at);
        while (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) return false;
        if (line.size() >= n && strncasecmp(line.c_str(), header, n) == 0) return true;
        if (e == std::string::npos) break;
        at = e + 1;
    }
    return false;
}

const char kSender[] = "john@example.org";

bool StartsNoCase(const std::string& s, const char* p) { return strncasecmp(s.c_str(), p, strlen(p)) == 0 && s.size() >= strlen(p); }
bool IsFold(const std::string& line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

// The message text without its end mark, cut into header lines and body.
struct Parts {
    std::vector<std::string> header;
    bool hasBody = false;
    std::string body;
};

Parts Split(const std::string& wire) {
    std::string c = wire.substr(0, wire.size() - 5);  // every text ends in "\r\n.\r\n"
    Parts p;
    size_t e = ("\r\n" + c).find("\r\n\r\n");
    std::string head = c;
    if (e != std::string::npos) {
        head = e >= 2 ? c.substr(0, e - 2) : "";
        p.hasBody = true;
        p.body = c.substr(e + 2);
    }
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos) end = head.size();
        p.header.push_back(head.substr(at, end - at));
        at = end + 2;
    }
    return p;
}

// From: phrase <sender>: quoted strings (printable, only \" and \\ escaped)
// and encoded-words, one blank apart.
bool WellFormedFrom(const std::string& line) {
    const std::string tail = std::string(" <") + kSender + ">";
    if (line.size() >= 998 || line.compare(0, 6, "From: ") != 0) return false;
    if (line == std::string("From: <") + kSender + ">") return true;
    if (line.size() < 6 + tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
    std::string phrase = line.substr(6, line.size() - 6 - tail.size());
    size_t i = 0;
    while (i < phrase.size()) {
        if (phrase[i] == '"') {
            for (i++; i < phrase.size() && phrase[i] != '"'; i++) {
                unsigned char c = (unsigned char)phrase[i];
                if (c < 0x20 || c == 0x7F) return false;
                if (c == '\\' && (i + 1 >= phrase.size() || (phrase[i + 1] != '"' && phrase[i + 1] != '\\'))) return false;
                if (c == '\\') i++;
            }
            if (i >= phrase.size()) return false;
            i++;
        } else {
            size_t e = phrase.find(' ', i);
            std::string w = phrase.substr(i, e == std::string::npos ? std::string::npos : e - i);
            if (w.size() < 8 || w.compare(0, 2, "=?") != 0 || w.compare(w.size() - 2, 2, "?=") != 0 ||
                w.find('"') != std::string::npos)
                return false;
            i += w.size();
        }
        if (i < phrase.size() && (phrase[i] != ' ' || i + 1 == phrase.size())) return false;
        if (i < phrase.size()) i++;
    }
    return !phrase.empty();
}

// The rewritten text against the plain one: header lines as a model of the
// rewrite expects them (the new From: line checked for its form), the
// body unchanged.
void CheckRewrite(const std::string& plain, const std::string& rewritten) {
    Parts a = Split(plain), b = Split(rewritten);
    if (a.hasBody != b.hasBody || a.body != b.body) __builtin_trap();
    std::vector<std::string> want;
    size_t from = a.header.size(), fromLine = 0;
    for (size_t i = 0; i < a.header.size(); i++)
        if (!IsFold(a.header[i]) && StartsNoCase(a.header[i], "From:")) {
            from = i;
            break;
        }
    bool replyTo = false;
    for (size_t i = 0; i < a.header.size(); i++)
        if (i != from && StartsNoCase(a.header[i], "Reply-To:")) replyTo = true;
    if (from == a.header.size()) {
        want = a.header;
        fromLine = want.size();
        want.push_back("");
    } else {
        size_t j = from + 1;
        while (j < a.header.size() && IsFold(a.header[j])) j++;
        std::vector<std::string> value(a.header.begin() + (long)from, a.header.begin() + (long)j);
        value[0] = value[0].substr(5);
        bool blank = true;
        for (const std::string& v : value)
            if (v.find_first_not_of(" \t") != std::string::npos) blank = false;
        want.assign(a.header.begin(), a.header.begin() + (long)from);
        fromLine = want.size();
        want.push_back("");
        if (!blank) {
            want.push_back("X-Original-From:" + value[0]);
            want.insert(want.end(), value.begin() + 1, value.end());
        }
        want.insert(want.end(), a.header.begin() + (long)j, a.header.end());
        if (!blank && !replyTo) {
            want.push_back("Reply-To:" + value[0]);
            want.insert(want.end(), value.begin() + 1, value.end());
        }
    }
    if (b.header.size() != want.size() || !WellFormedFrom(b.header[fromLine])) __builtin_trap();
    want[fromLine] = b.header[fromLine];
    if (b.header != want) __builtin_trap();
}

void CheckWire(const std::string& t) {
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] == '\r' && (i + 1 == t.size() || t[i + 1] != '\n')) __builtin_trap();
        if (t[i] == '\n' && (i == 0 || t[i - 1] != '\r')) __builtin_trap();
        // A line that starts with a dot is either stuffed or the end mark.
        bool lineStart = i == 0 || t[i - 1] == '\n';
        if (lineStart && t[i] == '.' && i + 3 != t.size() && (i + 1 == t.size() || t[i + 1] != '.'))
            __builtin_trap();
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ResetConfiguration();
    domainCount = 1;
    snprintf(domainTable[0].name, sizeof domainTable[0].name, "example.org");
    snprintf(domainTable[0].senderAddress, sizeof domainTable[0].senderAddress, "%s", kSender);
    domainTable[0].rewriteFrom = 1;
    relayTimings.replyPauseMs = 0;
    relayTimings.replyTimeoutMs = relayTimings.dataEndTimeoutMs = 5000;
    filePath = (std::filesystem::temp_directory_path() / ("ambrel-fuzz-msg-" + std::to_string(getpid()) + ".CNM"))
                   .string();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) __builtin_trap();
    relayState.relaySocket = fds[0];
    peerFd = fds[1];
    std::thread(Peer).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size);
    MsgFile* m = OpenInputAsMessage(filePath.c_str(), data, size);
    if (!m) return 0;

    char sender[kAddressMax + 1], recipient[kAddressMax + 1];
    ScanEnvelope(m, sender, recipient);
    if (recipient[0] && !FromRealLine(file, relaySettings.XToHeader)) __builtin_trap();
    if (sender[0] && !FromRealLine(file, "Return-path:")) __builtin_trap();

    {
        std::lock_guard<std::mutex> g(lock);
        done = false;
    }
    relaySession.ending = SessionEnding::kEndNone;
    relaySession.rewriteDomain = 0;
    bool ok = DeliverMessage(sender, recipient[0] ? recipient : "r@example.org", m);
    if (!ok) __builtin_trap();
    std::string plain;
    {
        std::unique_lock<std::mutex> g(lock);
        if (!arrived.wait_for(g, std::chrono::seconds(5), [] { return done; })) __builtin_trap();
        CheckWire(received);
        if (received != WireText(file)) __builtin_trap();
        plain = received;
        done = false;
    }
    MsgRewind(m);
    relaySession.rewriteDomain = 1;
    ok = DeliverMessage(kSender, "r@example.org", m);
    relaySession.rewriteDomain = 0;
    MsgClose(m);
    if (!ok) __builtin_trap();
    std::unique_lock<std::mutex> g(lock);
    if (!arrived.wait_for(g, std::chrono::seconds(5), [] { return done; })) __builtin_trap();
    CheckWire(received);
    CheckRewrite(plain, received);
    return 0;
}
