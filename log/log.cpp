// The four log sinks. One lock serializes them all, so lines written by the
// user-interface thread and the worker never interleave.
#include "log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

UiHooks uiHooks = {};
LogSettings logSettings = {};

namespace {
std::recursive_mutex sinkLock;
char LogWindowText[kLogWindowSize];
FILE* logFile = nullptr;

// Drops the front of the window text as the log window does: everything
// before the first line feed at or after index 150, or the first 150
// characters when there is none.
void TrimWindowFront() {
    size_t len = strlen(LogWindowText);
    const char* lf = len > kLogWindowTrimFrom ? strchr(LogWindowText + kLogWindowTrimFrom, '\n') : nullptr;
    size_t cut = lf ? (size_t)(lf - LogWindowText) : (len < kLogWindowTrimFrom ? len : kLogWindowTrimFrom);
    memmove(LogWindowText, LogWindowText + cut, len - cut + 1);
}

void AppendToWindow(const char* piece) {
    size_t plen = strlen(piece);
    if (strlen(LogWindowText) > kLogWindowTrimAt) TrimWindowFront();
    // The buffer must also hold the new piece: keep trimming by the same rule
    // until it fits (the usual texts never need a second step).
    while (strlen(LogWindowText) + plen >= kLogWindowSize && LogWindowText[0]) TrimWindowFront();
    size_t len = strlen(LogWindowText);
    memcpy(LogWindowText + len, piece, plen + 1);
    if (uiHooks.windowTextAdded) uiHooks.windowTextAdded(piece);
}

void WriteFileV(const char* format, va_list ap) {
    if (!logFile) return;
    vfprintf(logFile, format, ap);
    if (logSettings.FlushLog && *logSettings.FlushLog) fflush(logFile);
}
}  // namespace

void LogToWindow(const char* format, ...) {
    char line[kLogLineSize];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);  // a longer piece is cut, never written past
    va_end(ap);
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    AppendToWindow(line);
}

void LogToFile(const char* format, ...) {
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    va_list ap;
    va_start(ap, format);
    WriteFileV(format, ap);
    va_end(ap);
}

void LogDebugToFile(const char* format, ...) {
    if (!logSettings.Debug || !*logSettings.Debug) return;
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    va_list ap;
    va_start(ap, format);
    WriteFileV(format, ap);
    va_end(ap);
}

void LogBoth(const char* format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    LogToWindow("%s", text);
    LogToFile("%s", text);
}

namespace {
// In the order of EventKind; resources/events.mc has the same numbers.
constexpr EventKindInfo kEventKinds[kEventKindCount] = {
    {'I', 100, 1, "START"},         {'I', 101, 2, "STOP_REQUESTED"}, {'E', 102, 3, "STOP_WAITING"},
    {'W', 103, 4, "UNKNOWN_CONTROL"}, {'E', 104, 5, "TRAY_ERROR"},   {'E', 105, 6, "STATUS_ERROR"},
    {'E', 106, 7, "HANDLER_ERROR"}, {'E', 107, 8, "PATH_ERROR"},     {'E', 108, 9, "DOMAIN_FAILURE"},
    {'W', 109, 10, "BAD_MAIL"},
};
}  // namespace

const EventKindInfo& EventKindOf(EventKind kind) { return kEventKinds[static_cast<int>(kind)]; }

void LogEvent(EventKind kind, const char* format, ...) {
    char text[kLogLineSize];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    const char* source = logSettings.eventSource && logSettings.eventSource[0] ? logSettings.eventSource : "Ambrel";
    // Under the same lock as the other sinks: the service handler thread and
    // the window both report events, and the system log is opened, written
    // and closed per entry.
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    const EventKindInfo& info = EventKindOf(kind);
    ReportSystemEvent(source, info.type, info.category, info.eventId, text);
}

void OpenLogFile() {
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    if (logFile || !logSettings.LogName) return;
    RotateLogIfLarge(logSettings.LogName);
    logFile = fopen(logSettings.LogName, "ab");
    if (!logFile) {
        int err = errno;
        LogToWindow("ERROR Opening LogFile: %d (%s)\r\n", err, SocketErrorName(err));
        return;
    }
    char date[60];
    FormatLocalTime("%d.%m. %Y, %H:%M", date, sizeof date);
    fprintf(logFile, "- Ver: " AMBREL_VERSION " -------- %s -----------------------\r\n", date);
}

void CloseLogFile() {
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    if (!logFile) return;
    fclose(logFile);
    logFile = nullptr;
}

bool LogFileIsOpen() {
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    return logFile != nullptr;
}

void ClearLogWindowText() {
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    LogWindowText[0] = 0;
}

void CopyLogWindowText(char* out, size_t size) {
    std::lock_guard<std::recursive_mutex> g(sinkLock);
    snprintf(out, size, "%s", LogWindowText);
}

void UpdateStatusBar() {
    if (uiHooks.updateStatusBar) uiHooks.updateStatusBar();
}

void UpdateLoopStatus() {
    if (uiHooks.updateLoopStatus) uiHooks.updateLoopStatus();
}

SettingsTextGuard::SettingsTextGuard() { sinkLock.lock(); }
SettingsTextGuard::~SettingsTextGuard() { sinkLock.unlock(); }
