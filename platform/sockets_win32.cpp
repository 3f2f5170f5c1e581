// Windows Sockets 1.1: blocking sockets, gethostbyname, inet_addr.
#include "platform.h"

#include <winsock.h>

#include <cstring>

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
        int n = send((SOCKET)s, data + done, len - done, 0);
        if (n == SOCKET_ERROR) return -1;
        done += n;
    }
    return done;
}

int SockRecv(SockHandle s, char* buf, int len) {
    int n = recv((SOCKET)s, buf, len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool SockClose(SockHandle s) { return closesocket((SOCKET)s) == 0; }
