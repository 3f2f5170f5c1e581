// Log sinks: the log window text, the log file, the event log (with the kinds
// of entry and their IDs); the socket error names. Below the configuration:
// what the sinks read of the settings comes through LogSettings.
#pragma once

#include <cstddef>

#if defined(__GNUC__)
#define AMBREL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define AMBREL_PRINTF(f, a)
#endif

// What the sinks read of the settings: the configuration owns them (log/
// sits below it and cannot see its records), so it points the sinks at its
// own values (ResetConfiguration), and a value the loaders or the Options
// dialog change is seen at the next line. Unset, the sinks neither flush,
// write debug lines nor open a file, and report events as "Ambrel".
struct LogSettings {
    const int* FlushLog;      // 1: every line to disk at once
    const int* Debug;         // 1: the debug lines too
    const char* LogName;      // the log file (read under the sinks' lock)
    const char* eventSource;  // the event log's source name
};
extern LogSettings logSettings;

// Capacity of the log window text, and the size beyond which its front is
// dropped before a new piece is added.
constexpr size_t kLogWindowSize = 3000;
constexpr size_t kLogWindowTrimAt = 2900;
constexpr size_t kLogWindowTrimFrom = 150;
constexpr size_t kLogLineSize = 512;

void LogToWindow(const char* format, ...) AMBREL_PRINTF(1, 2);
void LogToFile(const char* format, ...) AMBREL_PRINTF(1, 2);
void LogDebugToFile(const char* format, ...) AMBREL_PRINTF(1, 2);

// What an event-log entry is about. Each kind has its own event ID and
// category in the program's message table (resources/events.mc), whose
// entries carry the text as their one insertion string; the type
// (information, warning, error) goes with the kind too.
enum class EventKind {
    Start,           // the service starts
    StopRequested,   // a stop request reached the service
    StopWaiting,     // a stop still waits for the window to close
    UnknownControl,  // a control other than stop or status query
    TrayError,       // the notification-area icon failed
    StatusError,     // SetServiceStatus failed
    HandlerError,    // the control handler could not be registered
    PathError,       // a path of the program is too long (start-up)
    DomainFailure,   // a domain's TLS, login or configuration failed
    BadMail,         // a message refused for good went to the bad-mail folder
};
struct EventKindInfo {
    char type;     // 'I', 'W' or 'E'
    int eventId;   // MessageId of the entry in the message table
    int category;  // MessageId of its category name
    const char* symbol;  // SymbolicName in the message table, without AMBREL_EVENT_
};
constexpr int kEventKindCount = 10;
const EventKindInfo& EventKindOf(EventKind kind);
void LogEvent(EventKind kind, const char* format, ...) AMBREL_PRINTF(2, 3);
void OpenLogFile();
void CloseLogFile();
bool LogFileIsOpen();
// LogMaxKB (0: off): a log file found larger when it is opened becomes
// <name>.1, the older ones move up to <name>.5 and the oldest goes.
void SetLogMaxKB(int kb);
void RotateLogIfLarge(const char* name);

// Clear Screen: empties the window text (the caller then logs "").
void ClearLogWindowText();
// A copy of the window text as it stands (for the window and for tests).
void CopyLogWindowText(char* out, size_t size);

// "%d (%s)" names of Windows Sockets error codes; "unknown" for the rest.
const char* SocketErrorName(int code);
// Window line and, with boxFlag, beeps and a box; nothing when result is 0.
void ReportSocketError(int boxFlag, int result, const char* context);

// What the core asks of whatever user interface hosts it. Every entry may be
// left empty. The Windows UI fills it in; the console host fills it differently.
struct UiHooks {
    // Called with the sinks' lock held, for every piece added to the window
    // text. It must not wait for another thread (the other thread may be
    // waiting for the lock): a window posts itself a refresh instead of
    // sending across threads.
    void (*windowTextAdded)(const char* piece);
    void (*updateStatusBar)();
    void (*updateLoopStatus)();
    // The worker took a send-now request: enable "&Send NOW" again and redraw.
    void (*sendNowServed)();
    // An error box with three beeps (socket library errors).
    void (*alertBox)(const char* text, const char* caption);
};
extern UiHooks uiHooks;

// Status bar refreshes, callable from either thread.
void UpdateStatusBar();
void UpdateLoopStatus();

// The same text to the window and then to the file (most events of the
// configuration loaders are reported so).
void LogBoth(const char* format, ...) AMBREL_PRINTF(1, 2);

// UserFolder, Badmails and LogName are changed by the Options dialog on the
// window thread while the worker reads them. Both sides hold this guard (the
// sinks' lock) around every read or write of those texts, so neither ever
// sees half of one.
struct SettingsTextGuard {
    SettingsTextGuard();
    ~SettingsTextGuard();
    SettingsTextGuard(const SettingsTextGuard&) = delete;
    SettingsTextGuard& operator=(const SettingsTextGuard&) = delete;
};
