// Windows Sockets 1.1: blocking sockets, gethostbyname, inet_addr.
#include "platform.h"

#include <winsock.h>

#include <atomic>
#include <cstring>

namespace {
thread_local int64_t readDeadline = 0;
// The socket SockInterrupt was given: its waits end, its calls fail.
std::atomic<SockHandle> interrupted{kNoSocket};
constexpr int kInterrupted = 10004;  // WSAEINTR
// A wait looks at the interrupt this often: select cannot wait for it.
constexpr int64_t kWaitSliceMs = 50;

bool Interrupted(SockHandle s) {
    if (s == kNoSocket || interrupted.load() != s) return false;
    WSASetLastError(kInterrupted);
    return true;
}
}  // namespace

int SockStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data);
}

int SockCleanup() { return WSACleanup() == 0 ? 0 : WSAGetLastError(); }

int SockLastError() { return WSAGetLastError(); }

bool SockResolveIPv4(const char* host, uint32_t* addr) {
    unsigned long a = inet_addr(host);
    if (a != INADDR_NONE) {
        *addr = (uint32_t)a;
        return true;
    }
    if (host[0] == 0) return false;
    hostent* he = gethostbyname(host);
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list[0]) return false;
    memcpy(addr, he->h_addr_list[0], 4);
    return true;
}

SockHandle SockCreateTcp() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? kNoSocket : (SockHandle)s;
}

bool SockConnect(SockHandle s, uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = addr;
    return connect((SOCKET)s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool SockSetNoDelay(SockHandle s) {
    BOOL one = TRUE;
    return setsockopt((SOCKET)s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                      sizeof one) == 0;
}

bool SockSetTimeouts(SockHandle s, int recvMs, int sendMs) {
    // Winsock takes the time-outs as DWORD milliseconds.
    DWORD r = (DWORD)recvMs, w = (DWORD)sendMs;
    return setsockopt((SOCKET)s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&r), sizeof r) == 0 &&
           setsockopt((SOCKET)s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&w), sizeof w) == 0;
}

int SockSend(SockHandle s, const char* data, int len) {
    int done = 0;
    while (done < len) {
        if (Interrupted(s)) return -1;
        int n = send((SOCKET)s, data + done, len - done, 0);
        if (n == SOCKET_ERROR) return -1;
        done += n;
    }
    return done;
}

int64_t SteadyMs() { return (int64_t)GetTickCount64(); }

void SockSetReadDeadline(int64_t steadyMs) { readDeadline = steadyMs; }

int SockRecv(SockHandle s, char* buf, int len) {
    while (readDeadline != 0) {
        // select, not the receive time-out: that one starts again with every
        // byte, so a peer dripping bytes would never run it out.
        if (Interrupted(s)) return -1;
        int64_t left = readDeadline - SteadyMs();
        if (left <= 0) {
            WSASetLastError(WSAETIMEDOUT);
            return -1;
        }
        if (left > kWaitSliceMs) left = kWaitSliceMs;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET((SOCKET)s, &readable);
        timeval tv = {0, (long)(left * 1000)};
        int r = select(0, &readable, nullptr, nullptr, &tv);
        if (r == SOCKET_ERROR) return -1;
        if (r > 0) break;
    }
    if (Interrupted(s)) return -1;
    int n = recv((SOCKET)s, buf, len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void SockInterrupt(SockHandle s) {
    if (s == kNoSocket) return;
    interrupted = s;
    // A blocked receive or send ends; a wait sees the mark within a slice.
    shutdown((SOCKET)s, 2 /* SD_BOTH */);
}

bool SockClose(SockHandle s) {
    SockHandle was = s;
    interrupted.compare_exchange_strong(was, kNoSocket);
    return closesocket((SOCKET)s) == 0;
}
