// Entry point of the Windows program: one executable is the installer, the
// service and the windowed application. The switches pick the mode; every
// path and the service name come from the executable's own path.
#include <windows.h>

#include <cstdio>

#include "config/config.h"
#include "host/paths.h"
#include "host/shutdown.h"
#include "host/service.h"
#include "log/log.h"
#include "platform/platform.h"
#include "ui/app.h"

namespace {

enum ParseResult { kParseOk, kParseBadSwitch, kParsePathRefused };

void ShowPathError(const char* text) {
    // A service has no one looking at its boxes (session 0): the event log
    // gets the text first, since the box may never be answered.
    if (hostSettings.serviceMode) LogEvent(EventKind::PathError, "%s", text);
    MessageBoxA(nullptr, text, " Error", MB_OK | MB_ICONSTOP);
}

ParseResult ParseCommandLine(const char* args) {
    ResetConfiguration();  // LoopDelay -1: nothing loaded yet; empty tables
    if (!ParseSwitchWords(args)) return kParseBadSwitch;

    // Paths that do not fit their buffers are refused with a message rather
    // than cut short: a truncated INI or log path would silently name some
    // other file.
    char error[700];
    char exePath[300];
    if (!TakeProgramPath(GetCommandLineA(), exePath, sizeof exePath)) {
        snprintf(error, sizeof error,
                 "The program's path on the command line is too long (at most %d characters).\r\n"
                 "Move the program to a shorter folder.",
                 (int)sizeof exePath - 1);
        ShowPathError(error);
        return kParsePathRefused;
    }
    char fullPath[300];
    if (!MakeFullPath(exePath, fullPath, sizeof fullPath)) {
        snprintf(error, sizeof error,
                 "The program's full path is too long (at most %d characters):\r\n%s",
                 (int)sizeof fullPath - 1, exePath);
        ShowPathError(error);
        return kParsePathRefused;
    }
    if (!DeriveHostPaths(fullPath, error, sizeof error)) {
        ShowPathError(error);
        return kParsePathRefused;
    }
    hostSettings.hideWindow = ProfileGetInt(kSectionProduct, "HideWin", 0, hostSettings.iniPath);
    return kParseOk;
}

void ShowSyntaxHelp() {
    MessageBoxA(nullptr,
                "Ambrel is build as both apps and service.\r\n\n"
                "Syntax:\tAmbrel   [-i|-s|-h|-?]\r\n\n"
                "where \t-i\t...\tinstall service\r\n"
                "      \t-u\t...\tuninstall service\r\n"
                "      \t-s\t...\trun as service\r\n"
                "      \t-h,-?\t...\tprint this help\r\n\r\n"
                "Ambrel makes AMBREL.INI configuration file in its folder.\r\n"
                "Empty commandline will run it as non-service application.\r\n",
                " Syntax Help", MB_OK | MB_ICONSTOP);
}

int RunStartMode(HINSTANCE instance, int showCommand, const char* args) {
    ParseResult parsed = ParseCommandLine(args);
    if (parsed == kParseBadSwitch) {
        ShowSyntaxHelp();
        return 0;
    }
    if (parsed != kParseOk) return 0;
    if (hostSettings.installRequested) {
        InstallService();
        return 0;
    }
    if (hostSettings.removeRequested) {
        RemoveService();
        return 0;
    }
    if (!hostSettings.serviceMode) return CreateMainWindow(instance, showCommand);

    SERVICE_TABLE_ENTRYA table[] = {{hostSettings.serviceName, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table)) return 0;  // returns once the service has stopped

    // Typically started with -s from a desktop: say so and run as the
    // application instead.
    char text[100];
    snprintf(text, sizeof text, "Error %d starting service (continuing as application)",
             (int)GetLastError());
    MessageBoxA(nullptr, text, " Error", MB_OK | MB_ICONSTOP);
    hostSettings.serviceMode = 0;
    return CreateMainWindow(instance, showCommand);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int showCommand) {
    appInstance = instance;
    if (!previous && !RegisterMainClass(instance)) return 0;
    if (!RunStartMode(instance, showCommand, args)) {
        ShutdownResources();
        return 0;
    }
    return RunMessageLoop();
}
