// Whole message files through the envelope scan and one transaction to a
// peer at the other end of a socket pair. What the peer receives as message
// text must hold no bare CR or LF, a doubled dot at every line start, and
// nothing but those changes; the envelope comes only from real line starts.
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
    relayState.sessionFailed = 0;
    bool ok = DeliverMessage(sender, recipient[0] ? recipient : "r@example.org", m);
    MsgClose(m);
    if (!ok) __builtin_trap();
    std::unique_lock<std::mutex> g(lock);
    if (!arrived.wait_for(g, std::chrono::seconds(5), [] { return done; })) __builtin_trap();
    CheckWire(received);
    if (received != WireText(file)) __builtin_trap();
    return 0;
}
