// Names of Windows Sockets error codes, and the socket library error report.
#include <cstdio>

#include "log.h"
#include "platform/platform.h"

namespace {
struct ErrorName {
    int code;
    const char* name;
};
const ErrorName kSocketErrors[] = {
    {10004, "WSAEINTR"},           {10009, "WSAEBADF"},          {10013, "WSAEACCES"},
    {10014, "WSAEFAULT"},          {10022, "WSAEINVAL"},         {10024, "WSAEMFILE"},
    {10035, "WSAEWOULDBLOCK"},     {10036, "WSAEINPROGRESS"},    {10038, "WSAENOTSOCK"},
    {10043, "WSAEPROTONOSUPPORT"}, {10048, "WSAEADDRINUSE"},     {10049, "WSAEADDRNOTAVAIL"},
    {10050, "WSAENETDOWN"},        {10051, "WSAENETUNREACH"},    {10052, "WSAENETRESET"},
    {10055, "WSAENOBUFS"},         {10060, "WSAETIMEDOUT"},      {10061, "WSAECONNREFUSED"},
    {10066, "WSAENOTEMPTY"},       {10091, "WSASYSNOTREADY"},    {10092, "WSAVERNOTSUPPORTED"},
    {10093, "WSANOTINITIALISED"},
};
}  // namespace

const char* SocketErrorName(int code) {
    for (const ErrorName& e : kSocketErrors)
        if (e.code == code) return e.name;
    return "unknown";
}

void ReportSocketError(int boxFlag, int result, const char* context) {
    if (result == 0) return;
    int code = SockLastError();
    char report[200];
    snprintf(report, sizeof report, "%s: %d (%s)", context, code, SocketErrorName(code));
    LogToWindow("\r\nSOCKET ERROR: %s\r\n", report);
    if (boxFlag && uiHooks.alertBox) uiHooks.alertBox(report, "TCPIP Error");
}
