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

std::string LoopbackReply(const char* page) {
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n"
                       "Content-Length: ") +
           std::to_string(strlen(page)) + "\r\n\r\n" + page;
}
