// BSD sockets behaving like blocking Windows Sockets 1.1; errors are reported
// with the Windows Sockets numbers.
#include "platform.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
thread_local int lastError = 0;
thread_local int64_t readDeadline = 0;
// The socket SockInterrupt was given: its waits end, its calls fail.
std::atomic<SockHandle> interrupted{kNoSocket};
constexpr int kInterrupted = 10004;  // WSAEINTR
constexpr int kTimedOutError = 10060;

int MapErrno(int e) {
    switch (e) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10060;  // only a receive/send time-out produces it here
    case EINPROGRESS: return 10036;
    case ENOTSOCK: return 10038;
    case EPROTONOSUPPORT: return 10043;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case EPIPE: return 10054;
    case ENOBUFS: return 10055;
    case ENOTCONN: return 10057;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTUNREACH: return 10065;
    default: return 10000 + e;  // no Windows Sockets twin: still a number, named "unknown"
    }
}
void SetError() { lastError = MapErrno(errno); }

bool Interrupted(SockHandle s) {
    if (s == kNoSocket || interrupted.load() != s) return false;
    lastError = kInterrupted;
    return true;
}
}  // namespace

int SockStartup() { return 0; }
int SockCleanup() { return 0; }
int SockLastError() { return lastError; }

bool SockResolveIPv4(const char* host, uint32_t* addr) {
    in_addr_t a = inet_addr(host);
    if (a != INADDR_NONE) {
        *addr = a;
        return true;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (host[0] == 0 || getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

SockHandle SockCreateTcp() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        SetError();
        return kNoSocket;
    }
    return s;
}

bool SockConnect(SockHandle s, uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    if (connect((int)s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        SetError();
        return false;
    }
    return true;
}

bool SockSetNoDelay(SockHandle s) {
    int one = 1;
    if (setsockopt((int)s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        SetError();
        return false;
    }
    return true;
}

bool SockSetTimeouts(SockHandle s, int recvMs, int sendMs) {
    timeval r = {recvMs / 1000, (recvMs % 1000) * 1000};
    timeval w = {sendMs / 1000, (sendMs % 1000) * 1000};
    if (setsockopt((int)s, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) != 0 ||
        setsockopt((int)s, SOL_SOCKET, SO_SNDTIMEO, &w, sizeof w) != 0) {
        SetError();
        return false;
    }
    return true;
}

int SockSend(SockHandle s, const char* data, int len) {
    // A blocking Windows send hands over the whole buffer; a POSIX send may
    // stop short when interrupted, so finish it here.
    int done = 0;
    while (done < len) {
        if (Interrupted(s)) return -1;
        ssize_t n = send((int)s, data + done, (size_t)(len - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetError();
            return -1;
        }
        done += (int)n;
    }
    return done;
}

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SockSetReadDeadline(int64_t steadyMs) { readDeadline = steadyMs; }

int SockRecv(SockHandle s, char* buf, int len) {
    for (;;) {
        if (Interrupted(s)) return -1;
        if (readDeadline != 0 && s >= 0) {  // poll skips a negative one: recv reports it
            // poll, not the receive time-out: that one starts again with
            // every byte, so a peer dripping bytes would never run it out.
            int64_t left = readDeadline - SteadyMs();
            if (left <= 0) {
                lastError = kTimedOutError;
                return -1;
            }
            pollfd p{(int)s, POLLIN, 0};
            int r = poll(&p, 1, left > INT_MAX ? INT_MAX : (int)left);
            if (r < 0 && errno != EINTR) {
                SetError();
                return -1;
            }
            if (r <= 0) continue;  // the deadline or the interrupt is looked at again
            if (Interrupted(s)) return -1;
        }
        ssize_t n = recv((int)s, buf, (size_t)len, 0);
        if (n >= 0) return (int)n;
        if (errno == EINTR) continue;
        SetError();
        return -1;
    }
}

void SockInterrupt(SockHandle s) {
    if (s == kNoSocket) return;
    interrupted = s;
    // A poll or a blocked receive or send on the socket returns at once; the
    // descriptor stays valid until its owner closes it.
    shutdown((int)s, SHUT_RDWR);
}

bool SockClose(SockHandle s) {
    SockHandle was = s;
    interrupted.compare_exchange_strong(was, kNoSocket);
    // Wake a thread blocked in recv/send on this socket, as closesocket does
    // on Windows, then release it.
    shutdown((int)s, SHUT_RDWR);
    if (close((int)s) != 0) {
        SetError();
        return false;
    }
    return true;
}
