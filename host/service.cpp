// Installing and removing the Windows service, and the service itself: its
// entry point, its control handler and its status reports. The service runs
// the same main window, worker and message loop as the application, on the
// service's own thread; a stop becomes a close of that window.
#include "host/service.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/config.h"
#include "log/log.h"
#include "ui/app.h"

namespace {

// ---- installation and removal ----------------------------------------------

// Right to start, stop and delete the service (STANDARD_RIGHTS_REQUIRED |
// SERVICE_START | SERVICE_STOP).
constexpr DWORD kServiceAccess = 0xF0030;
// Own process, allowed to show its window on the desktop
// (SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS).
constexpr DWORD kServiceType = 0x110;

constexpr char kErrorCaption[] = "Service Ambrel Error";

struct ErrorName {
    DWORD code;
    const char* name;
};

// One table per step that can fail. 1060 and 1072 carry our own wording.
constexpr ErrorName kOpenManagerErrors[] = {
    {5, "ERROR_ACCESS_DENIED"},
    {87, "ERROR_INVALID_PARAMETER"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {1065, "ERROR_DATABASE_DOES_NOT_EXIST"},
};
constexpr ErrorName kCreateErrors[] = {
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {52, "ERROR_DUP_NAME"},
    {87, "ERROR_INVALID_PARAMETER"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {123, "ERROR_INVALID_NAME"},
    {1057, "ERROR_INVALID_SERVICE_ACCOUNT"},
    {1073, "ERROR_SERVICE_EXISTS"},
};
constexpr ErrorName kOpenServiceErrors[] = {
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {52, "ERROR_DUP_NAME"},
    {87, "ERROR_INVALID_PARAMETER"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {123, "ERROR_INVALID_NAME"},
    {1057, "ERROR_INVALID_SERVICE_ACCOUNT"},
    {1060, "ERROR_SERVICE_NOT_EXISTS"},
};
constexpr ErrorName kDeleteErrors[] = {
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {1072, "ERROR_SERVICE_IN_DELETING"},
};

template <size_t N>
const char* ErrorNameOf(const ErrorName (&table)[N], DWORD code) {
    for (const ErrorName& entry : table)
        if (entry.code == code) return entry.name;
    return "unknown";
}

// Every outcome is one box without owner, icon or other button than OK.
void ShowOutcome(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_OK);
}

template <size_t N>
void ShowStepError(const ErrorName (&table)[N], DWORD code, const char* closing) {
    char message[200];
    snprintf(message, sizeof message, "Error %d (%s%s", static_cast<int>(code), ErrorNameOf(table, code),
             closing);
    ShowOutcome(message, kErrorCaption);
}

SC_HANDLE OpenManager() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) ShowStepError(kOpenManagerErrors, GetLastError(), ") opening service manager.");
    return manager;
}

// ---- what -i sets beside the registration ------------------------------------

// Restart after a minute, three times; a day without a failure starts the
// count again.
constexpr DWORD kRestartDelayMs = 60 * 1000;
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;
// Entries of the message table's categories (resources/events.mc).
constexpr DWORD kEventCategoryCount = 10;

DWORD SetRecoveryActions(SC_HANDLE service, const char*) {
    SC_ACTION actions[3];
    for (SC_ACTION& action : actions) action = {SC_ACTION_RESTART, kRestartDelayMs};
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = kFailureResetSeconds;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ? ERROR_SUCCESS
                                                                                    : GetLastError();
}

// Delayed: the first cycle then runs once the network is up.
DWORD SetDelayedStart(SC_HANDLE service, const char*) {
    SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed) ? ERROR_SUCCESS
                                                                                            : GetLastError();
}

void EventSourceKey(char* out, size_t size) {
    snprintf(out, size, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s",
             hostSettings.serviceName);
}

// The program itself holds the message table, so Event Viewer shows each
// entry's text with its ID and category.
DWORD RegisterMessageFile(SC_HANDLE, const char* program) {
    char keyName[200];
    EventSourceKey(keyName, sizeof keyName);
    HKEY key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    const BYTE* file = reinterpret_cast<const BYTE*>(program);
    DWORD fileSize = static_cast<DWORD>(strlen(program) + 1);
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    DWORD categories = kEventCategoryCount;
    const BYTE* typesData = reinterpret_cast<const BYTE*>(&types);
    const BYTE* countData = reinterpret_cast<const BYTE*>(&categories);
    rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, file, fileSize);
    if (rc == ERROR_SUCCESS) rc = RegSetValueExA(key, "CategoryMessageFile", 0, REG_EXPAND_SZ, file, fileSize);
    if (rc == ERROR_SUCCESS) rc = RegSetValueExA(key, "CategoryCount", 0, REG_DWORD, countData, sizeof categories);
    if (rc == ERROR_SUCCESS) rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, typesData, sizeof types);
    RegCloseKey(key);
    return static_cast<DWORD>(rc);
}

void RemoveEventSource() {
    char keyName[200];
    EventSourceKey(keyName, sizeof keyName);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyName);
}

struct InstallStep {
    DWORD (*run)(SC_HANDLE service, const char* program);
    const char* what;  // "Error n <what>." in the installed box
};
constexpr InstallStep kInstallSteps[] = {
    {SetRecoveryActions, "setting the recovery actions"},
    {SetDelayedStart, "setting the delayed start"},
    {RegisterMessageFile, "registering the event source"},
};

// ---- runtime ---------------------------------------------------------------

// The status record is written by the service thread and by the control
// handler on the dispatcher's thread. The lock keeps the record whole and
// orders the reports; it is never held across SetServiceStatus, because the
// dispatcher may hold its own lock while the handler runs (Wine does) and a
// report from the service thread would then wait on both.
//
// STOPPED must be the last report. Once it is stored nothing else is sent,
// and the STOPPED report itself waits until every report decided before it
// has gone out: a handler that read STOP_PENDING just before the service
// stopped would otherwise send it after STOPPED.
std::mutex statusLock;
SERVICE_STATUS serviceStatus;
SERVICE_STATUS_HANDLE statusHandle;
DWORD checkPointCounter = 1;  // grows over the whole life of the process
DWORD serviceExitCode = 0;    // reported with STOPPED; nothing sets it
bool stoppedStored = false;
int reportsInFlight = 0;      // decided under the lock, not yet sent
constexpr int kInFlightWaitMs = 3000;

constexpr int kStopPollMs = 50;
constexpr int kStopPollsPerWarning = 202;  // about 10 seconds

BOOL SendStatus(const SERVICE_STATUS& status) {
    SERVICE_STATUS copy = status;
    BOOL ok = SetServiceStatus(statusHandle, &copy);
    if (!ok) {
        DWORD error = GetLastError();
        // An invalid handle is what a report after the final STOPPED gets;
        // it is expected and not worth an event.
        if (error != ERROR_INVALID_HANDLE)
            LogEvent(EventKind::StatusError, "Error %d in SetServiceStatus", static_cast<int>(error));
    }
    return ok;
}

BOOL ReportServiceStatus(DWORD state, DWORD exitCode, DWORD waitHint) {
    SERVICE_STATUS status;
    bool last = state == SERVICE_STOPPED;
    {
        std::lock_guard<std::mutex> guard(statusLock);
        if (stoppedStored) return TRUE;  // the service has said its last word
        if (last) stoppedStored = true;
        else ++reportsInFlight;
        serviceStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
        serviceStatus.dwCurrentState = state;
        serviceStatus.dwWin32ExitCode = exitCode;
        serviceStatus.dwWaitHint = waitHint;
        if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) serviceStatus.dwCheckPoint = 0;
        else serviceStatus.dwCheckPoint = checkPointCounter++;
        status = serviceStatus;
    }
    if (last) {
        // Bounded: the reports in flight are SetServiceStatus calls already
        // under way on the handler's thread.
        for (int waited = 0; waited < kInFlightWaitMs; waited += 5) {
            {
                std::lock_guard<std::mutex> guard(statusLock);
                if (reportsInFlight == 0) break;
            }
            Sleep(5);
        }
        return SendStatus(status);
    }
    BOOL ok = SendStatus(status);
    std::lock_guard<std::mutex> guard(statusLock);
    --reportsInFlight;
    return ok;
}

DWORD CurrentServiceState() {
    std::lock_guard<std::mutex> guard(statusLock);
    return serviceStatus.dwCurrentState;
}

void RunServiceWindow() {
    if (!ReportServiceStatus(SERVICE_START_PENDING, 0, 3000)) return;
    if (!CreateMainWindow(appInstance, SW_SHOW)) return;
    if (!ReportServiceStatus(SERVICE_RUNNING, 0, 0)) return;
    RunMessageLoop();
}

// Asks the main window to close and waits until the message loop has ended.
// The wait has no limit: the service must not report itself stopped while
// the window and worker still run; a slow close is reported instead.
void StopService() {
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
    serviceClosing = 1;
    // With neither a window nor a loop left there is nothing that would clear
    // the flag; waiting for it would hang the handler for ever.
    if (!PostCloseRequest()) {
        serviceClosing = 0;
        return;
    }
    int sleeps = 0;
    // A loop that ended on its own (and a service thread that reported
    // STOPPED) will not clear the flag either.
    while (serviceClosing && CurrentServiceState() != SERVICE_STOPPED) {
        Sleep(kStopPollMs);
        if (++sleeps == kStopPollsPerWarning) {
            LogEvent(EventKind::StopWaiting, "Service is being closed.");
            sleeps = 0;
        }
    }
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            LogEvent(EventKind::StopRequested, "Ambrel Stop started");
            {
                std::lock_guard<std::mutex> guard(statusLock);
                if (!stoppedStored) serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
            }
            StopService();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            break;
        default:
            LogEvent(EventKind::UnknownControl, "Service unknown control code");
            break;
    }
    // Repeat the current state: STOP_PENDING after a stop, unless the service
    // thread has reported STOPPED meanwhile; then nothing follows it.
    ReportServiceStatus(CurrentServiceState(), 0, 0);
}

}  // namespace

void InstallService() {
    SC_HANDLE manager = OpenManager();
    if (!manager) return;
    // A path with a blank is registered in quotes: unquoted, the service
    // manager would try "C:\Program.exe" and the like first. Start-up takes
    // a quoted program path whole, so the service still finds its INI file.
    const char* command = hostSettings.serviceCommand;  // "<program>.exe -s"
    size_t length = strlen(command);
    size_t pathLength = length >= 3 && strcmp(command + length - 3, " -s") == 0 ? length - 3 : length;
    char quoted[sizeof hostSettings.serviceCommand + 2];
    if (command[0] != '"' && memchr(command, ' ', pathLength)) {
        snprintf(quoted, sizeof quoted, "\"%.*s\"%s", static_cast<int>(pathLength), command, command + pathLength);
        command = quoted;
    }
    SC_HANDLE service = CreateServiceA(manager, hostSettings.serviceName, hostSettings.serviceName,
                                       kServiceAccess | SERVICE_CHANGE_CONFIG, kServiceType, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, command, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service) {
        char program[sizeof hostSettings.serviceCommand];
        snprintf(program, sizeof program, "%.*s", static_cast<int>(pathLength), hostSettings.serviceCommand);
        // The service is installed whatever follows; a setting that could
        // not be made is named in the same box, so the administrator can
        // make it by hand.
        char message[600];
        int used = snprintf(message, sizeof message, "Service '%s' installed.", hostSettings.serviceName);
        for (const InstallStep& step : kInstallSteps) {
            DWORD error = step.run(service, program);
            if (error != ERROR_SUCCESS && used >= 0 && static_cast<size_t>(used) < sizeof message)
                used += snprintf(message + used, sizeof message - used, "\r\nError %d %s.",
                                 static_cast<int>(error), step.what);
        }
        CloseServiceHandle(service);
        ShowOutcome(message, "Service Ambrel installed");
    } else {
        ShowStepError(kCreateErrors, GetLastError(), ") creating service.");
    }
    CloseServiceHandle(manager);
}

void RemoveService() {
    SC_HANDLE manager = OpenManager();
    if (!manager) return;
    SC_HANDLE service = OpenServiceA(manager, hostSettings.serviceName, kServiceAccess);
    if (!service) {
        ShowStepError(kOpenServiceErrors, GetLastError(), ") opening service.");
    } else {
        // A running service is not stopped: the service manager removes the
        // registration once it has stopped.
        if (DeleteService(service)) {
            // The event source goes with the service; a key already gone is
            // no failure.
            RemoveEventSource();
            char message[200];
            snprintf(message, sizeof message, "Service '%s' deleted.", hostSettings.serviceName);
            ShowOutcome(message, "Service Ambrel Deleted");
        } else {
            ShowStepError(kDeleteErrors, GetLastError(), ") deleting service.");
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    statusHandle = RegisterServiceCtrlHandlerA(hostSettings.serviceName, ServiceCtrlHandler);
    if (!statusHandle) {
        LogEvent(EventKind::HandlerError, "Error RegisteringServiceHandle");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(statusLock);
        serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        serviceStatus.dwServiceSpecificExitCode = 0;
    }
    LogEvent(EventKind::Start, "Ambrel Starting");  // fixed text, whatever the service is called
    if (ReportServiceStatus(SERVICE_START_PENDING, 0, 3000)) RunServiceWindow();
    ReportServiceStatus(SERVICE_STOPPED, serviceExitCode, 0);
}
