// The parts of the sign-in's system layer that are the same on every build:
// reading the tokens file whole and serving the loopback redirect over the
// sockets of platform.h.
#include "http.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int ReadWholeFileErrno(const char* path, std::string* data) {
    data->clear();
    FILE* f = fopen(path, "rb");
    if (!f) return errno ? errno : EIO;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data->append(buf, n);
    int rc = ferror(f) ? (errno ? errno : EIO) : 0;
    fclose(f);
    return rc;
}

bool LoopbackRequestTarget(const std::string& request, std::string* target) {
    size_t end = request.find("\r\n");
    if (end == std::string::npos || request.compare(0, 4, "GET ") != 0) return false;
    std::string line = request.substr(4, end - 4);
    *target = line.substr(0, line.find(' '));
    return true;
}

namespace {

// A browser sends its request line at once; a client that has not sent one
// within this time (or within 8 KB) is answered 400 and let go.
constexpr int kRequestMs = 10000;
constexpr size_t kRequestMax = 8192;
// How often the wait looks at `stop` and the time.
constexpr int kSliceMs = 200;

void Answer(SockHandle c, bool ok, const char* page) {
    const char* body = ok ? page : "<html><body><p>Not the sign-in's redirect.</p></body></html>";
    std::string reply = std::string(ok ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request") +
                        "\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(strlen(body)) + "\r\n\r\n" + body;
    SockSend(c, reply.data(), (int)reply.size());
    SockClose(c);
}

bool Over(const LoopbackWait& w) { return SteadyMs() >= w.untilMs || (w.stop && w.stop(w.ctx)); }

}  // namespace

bool LoopbackAwait(LoopbackListener* l, const LoopbackWait& w, std::string* target) {
    target->clear();
    while (!Over(w)) {
        SockHandle c = LoopbackAccept(l, kSliceMs);
        if (c == kNoSocket) continue;
        int64_t end = SteadyMs() + kRequestMs;
        std::string request;
        char buf[2048];
        bool stopped = false;
        while (request.find("\r\n") == std::string::npos && request.size() < kRequestMax) {
            if (Over(w)) {
                stopped = true;
                break;
            }
            int64_t now = SteadyMs();
            if (now >= end) break;
            SockSetReadDeadline(now + (end - now < kSliceMs ? end - now : kSliceMs));
            int n = SockRecv(c, buf, sizeof buf);
            SockSetReadDeadline(0);
            if (n < 0 && SockLastError() == 10060) continue;  // a slice ran out
            if (n <= 0) break;
            request.append(buf, (size_t)n);
        }
        std::string got;
        bool ok = !stopped && LoopbackRequestTarget(request, &got) && w.wanted(w.ctx, got);
        Answer(c, ok, w.page);
        if (ok) {
            *target = got;
            return true;
        }
    }
    return false;
}
