// A scripted SMTP peer on 127.0.0.1 for the client's tests: it sends exact
// reply bytes in the chunks the script gives, reads what the client sends,
// stays silent or closes early. Each accepted connection runs the next
// session script; every wait is bounded so a broken client cannot hang a test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace testsupport {

struct PeerStep {
    enum Kind {
        Send,   // send `text` as one chunk
        Line,   // read one command line (up to CR LF)
        Data,   // read message text up to and including "\r\n.\r\n"
        Pause,  // wait `ms`
        Close,  // close the connection now
        Hold,   // say nothing until the client closes
        Serve,  // answer commands from the reply table (see below)
        Call,   // run `call` (what the test does at this point of the session)
    } kind;
    std::string text;
    int ms = 0;
    std::function<void()> call = nullptr;
};

inline PeerStep SendStep(const std::string& t) { return {PeerStep::Send, t, 0}; }
inline PeerStep LineStep() { return {PeerStep::Line, "", 0}; }
inline PeerStep DataStep() { return {PeerStep::Data, "", 0}; }
inline PeerStep PauseStep(int ms) { return {PeerStep::Pause, "", ms}; }
inline PeerStep CloseStep() { return {PeerStep::Close, "", 0}; }
inline PeerStep HoldStep() { return {PeerStep::Hold, "", 0}; }
inline PeerStep ServeStep() { return {PeerStep::Serve, "", 0}; }
inline PeerStep CallStep(std::function<void()> f) { return {PeerStep::Call, "", 0, std::move(f)}; }

// The reply table of the Serve step. Keys: "GREET", "HELO", "MAIL", "RCPT",
// "DATA", "." (end of message text), "RSET", "QUIT"; a key "RCPT#2" is used
// for the second RCPT the peer has seen in its life (before "RCPT"). A value
// of kDrop closes the connection instead of answering, kSilent holds it open
// without an answer. Missing keys take the willing server's replies.
inline const char kDrop[] = "<drop>";
inline const char kSilent[] = "<silent>";

class ScriptedPeer {
public:
    // Sessions are used in order; connections beyond them are served from
    // the reply table.
    explicit ScriptedPeer(std::vector<std::vector<PeerStep>> sessions,
                          std::map<std::string, std::string> replies = {})
        : sessions_(std::move(sessions)), replies_(std::move(replies)) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = 0;
        bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        listen(listen_, 8);
        thread_ = std::thread([this] { Run(); });
    }
    // Only the table, every connection.
    explicit ScriptedPeer(std::map<std::string, std::string> replies) : ScriptedPeer({}, std::move(replies)) {}

    ~ScriptedPeer() {
        stop_ = 1;
        thread_.join();
        close(listen_);
    }

    uint16_t port = 0;

    int Connections() const { return connections_; }
    // Every byte the client sent, over all connections.
    std::string Received() {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }
    // Message texts received by Serve steps, each up to and including the
    // final "\r\n.\r\n".
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> g(lock_);
        return messages_;
    }
    // The command lines received, each with its CR LF.
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> g(lock_);
        return commands_;
    }
    // True when the peer has seen the client close its current connection.
    bool Idle() const { return idle_; }

private:
    static constexpr int kWaitLimitMs = 10000;

    int listen_ = -1;
    std::vector<std::vector<PeerStep>> sessions_;
    std::map<std::string, std::string> replies_;
    std::map<std::string, int> seen_;
    std::thread thread_;
    std::atomic<int> stop_{0};
    std::atomic<int> connections_{0};
    std::atomic<bool> idle_{true};
    std::mutex lock_;
    std::string received_;
    std::vector<std::string> messages_;
    std::vector<std::string> commands_;
    std::string pending_;  // received and not yet consumed by a step
    bool peerClosed_ = false;

    // Waits up to `ms` for bytes; false on stop, time-out or the client's close.
    bool Fill(int fd, int ms = kWaitLimitMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[8192];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                peerClosed_ = true;
                return false;
            }
            pending_.append(buf, (size_t)n);
            std::lock_guard<std::mutex> g(lock_);
            received_.append(buf, (size_t)n);
            return true;
        }
        return false;
    }

    bool ReadUntil(int fd, const std::string& end, std::string* out) {
        for (;;) {
            size_t at = pending_.find(end);
            if (at != std::string::npos) {
                *out = pending_.substr(0, at + end.size());
                pending_.erase(0, at + end.size());
                return true;
            }
            if (!Fill(fd)) return false;
        }
    }

    static void SendAll(int fd, const std::string& t) {
        size_t done = 0;
        while (done < t.size()) {
            ssize_t n = send(fd, t.data() + done, t.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += (size_t)n;
        }
    }

    // Waits `ms`, taking in what the client sends; a client that closed
    // ends the wait (a script dripping bytes need not run to its end).
    void Pause(int fd, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (auto now = std::chrono::steady_clock::now(); now < end && !peerClosed_ && !stop_;
             now = std::chrono::steady_clock::now()) {
            Fill(fd, (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
        }
    }

    void HoldUntilClosed(int fd) {
        while (!stop_ && !peerClosed_) Fill(fd, 100);
    }

    std::string Reply(const std::string& key) {
        int n = ++seen_[key];
        auto numbered = replies_.find(key + "#" + std::to_string(n));
        if (numbered != replies_.end()) return numbered->second;
        auto plain = replies_.find(key);
        if (plain != replies_.end()) return plain->second;
        static const std::map<std::string, std::string> willing = {
            {"GREET", "220 peer ready\r\n"}, {"HELO", "250 hello\r\n"},  {"MAIL", "250 sender ok\r\n"},
            {"RCPT", "250 rcpt ok\r\n"},     {"DATA", "354 go on\r\n"},  {".", "250 queued\r\n"},
            {"RSET", "250 reset\r\n"},       {"QUIT", "221 bye\r\n"},
        };
        auto w = willing.find(key);
        return w != willing.end() ? w->second : "500 what\r\n";
    }

    // Answers one reply; false when the connection is to end here.
    bool Answer(int fd, const std::string& key, std::string* sent = nullptr) {
        std::string r = Reply(key);
        if (sent) *sent = r;
        if (r == kDrop) return false;
        if (r == kSilent) {
            HoldUntilClosed(fd);
            return false;
        }
        SendAll(fd, r);
        return true;
    }

    void Serve(int fd) {
        if (!Answer(fd, "GREET")) return;
        std::string line;
        while (ReadUntil(fd, "\r\n", &line)) {
            {
                std::lock_guard<std::mutex> g(lock_);
                commands_.push_back(line);
            }
            std::string verb = line.substr(0, 4);
            for (char& c : verb) c = (char)toupper((unsigned char)c);
            std::string sent;
            if (!Answer(fd, verb, &sent)) return;
            if (verb == "DATA" && sent.compare(0, 3, "354") == 0) {
                std::string text;
                if (!ReadUntil(fd, "\r\n.\r\n", &text)) return;
                {
                    std::lock_guard<std::mutex> g(lock_);
                    messages_.push_back(text);
                }
                if (!Answer(fd, ".")) return;
            }
            if (verb == "QUIT") return;
        }
    }

    void RunSession(int fd, const std::vector<PeerStep>& steps) {
        std::string scratch;
        for (const PeerStep& s : steps) {
            switch (s.kind) {
            case PeerStep::Send: SendAll(fd, s.text); break;
            case PeerStep::Line:
                if (!ReadUntil(fd, "\r\n", &scratch)) return;
                break;
            case PeerStep::Data:
                if (!ReadUntil(fd, "\r\n.\r\n", &scratch)) return;
                break;
            case PeerStep::Pause: Pause(fd, s.ms); break;
            case PeerStep::Close: return;
            case PeerStep::Hold: HoldUntilClosed(fd); return;
            case PeerStep::Serve: Serve(fd); return;
            case PeerStep::Call: s.call(); break;
            }
        }
        HoldUntilClosed(fd);  // the script is over: leave the closing to the client
    }

    void Run() {
        size_t next = 0;
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int fd = accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            idle_ = false;
            connections_++;
            pending_.clear();
            peerClosed_ = false;
            if (next < sessions_.size()) RunSession(fd, sessions_[next++]);
            else Serve(fd);
            close(fd);
            idle_ = true;
        }
    }
};

// The relay engine against a peer: one domain whose relay host is the peer,
// a personal mailbox "john" and a domain mailbox "dm:shop", a bad-mail
// folder, the log file open; the file text is read back without its header.
class RelayTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Mkdir("john");
        Mkdir("shop");
        Mkdir("bad");
        snprintf(relaySettings.Badmails, sizeof relaySettings.Badmails, "%s/bad/", dir.c_str());
        relayTimings.replyTimeoutMs = 300;
        relayTimings.dataEndTimeoutMs = 300;
        OpenLogFile();
    }
    void TearDown() override {
        CloseRelay();
        EngineTest::TearDown();
    }
    // Points the domain at `port` and fills the mailbox table.
    void UsePort(uint16_t port) {
        domainCount = 1;
        snprintf(domainTable[0].name, sizeof domainTable[0].name, "example.org");
        snprintf(domainTable[0].host, sizeof domainTable[0].host, "127.0.0.1");
        domainTable[0].port = port;
        ClearDomainSecurity(domainTable[0]);
        ASSERT_TRUE(AddMailbox(0, 0, "john", (dir + "/john/").c_str(), "john@example.org", 0));
        ASSERT_TRUE(AddMailbox(1, 0, "dm:shop", (dir + "/shop/").c_str(), "dm:shop@example.org", 0));
        mailboxCount = 2;
    }
    // Leaves no connection behind for the next test.
    static void CloseRelay() { CloseRelaySocket(); }
    // Opens a bare connection to the peer as the session's socket.
    static void ConnectRaw(uint16_t port) {
        SockHandle s = SockCreateTcp();
        ASSERT_NE(s, kNoSocket);
        ASSERT_TRUE(SockConnect(s, htonl(INADDR_LOOPBACK), port));
        SockSetTimeouts(s, relayTimings.replyTimeoutMs, relayTimings.replyTimeoutMs);
        relayState.relaySocket = s;
    }
    std::string Mail(const std::string& box, const std::string& name) const { return Path(box + "/" + name); }
    void Drop(const std::string& box, const std::string& name, const std::string& text) const {
        WriteFile(Mail(box, name), text);
    }
    // The log file so far, without the header line its opening wrote.
    std::string FileText() {
        CloseLogFile();
        std::string t = LogFileText();
        OpenLogFile();
        size_t end = t.find("\r\n");
        t = end == std::string::npos ? t : t.substr(end + 2);
        // Later openings add their own header lines: drop those too.
        for (size_t at; (at = t.find("- Ver: " AMBREL_VERSION " ----")) != std::string::npos;) {
            size_t e = t.find("\r\n", at);
            t.erase(at, e == std::string::npos ? std::string::npos : e + 2 - at);
        }
        return t;
    }
};

}  // namespace testsupport
