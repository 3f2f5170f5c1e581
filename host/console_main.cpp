// The headless console host of the relay engine: `ambrel [INI]`.
// Log window text goes to stdout as it arrives; SIGUSR1 is "send now";
// SIGINT and SIGTERM run the shutdown and end the process.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "config/config.h"
#include "host/console_signin.h"
#include "host/paths.h"
#include "host/queue_command.h"
#include "host/shutdown.h"
#include "log/log.h"
#include "platform/platform.h"
#include "relay/relay.h"

namespace {

volatile int stopSignal = 0;
std::atomic<int> workerEnded{0};

void OnSignal(int sig) {
    if (sig == SIGUSR1) {
        RequestSendNow();
    } else {
        stopSignal = sig;
    }
}

void PrintPiece(const char* piece) {
    fputs(piece, stdout);
    fflush(stdout);
}

void PrintAlert(const char* text, const char* caption) {
    fprintf(stderr, "%s: %s\n", caption, text);
}

void Usage() {
    fprintf(stderr,
            "usage: ambrel [INI]\n"
            "       ambrel --sign-in N [INI]\n"
            "       ambrel --queue [INI] [--json]\n"
            "       ambrel --retry-badmail [INI] [FILE.CNM...]\n"
            "  Relays the *.CNM files of the mailboxes configured in INI (default: the\n"
            "  file beside this program named after it, with .ini).\n"
            "  SIGUSR1: send now.  SIGINT/SIGTERM: stop.\n"
            "  --sign-in N: signs in the OAuth 2.0 user of Domain<N> and stores its\n"
            "  refresh token in the tokens file beside INI.\n"
            "  AMBREL_CYCLES=n: stop after n cycles (for scripts).\n"
            "  AMBREL_REPLY_TIMEOUT_MS: a shorter wait for a silent server (for scripts).\n"
            "  --queue: what waits in the mailboxes and what is in bad mail.\n"
            "  --retry-badmail: moves the named bad-mail files (all without names) back.\n");
}

unsigned CountedWorker(void* arg) {
    // Like the worker, but ends after a given number of cycles (0: never).
    RunWorkerLoop(*static_cast<long*>(arg));
    workerEnded = 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--queue") == 0) return RunQueueCommand(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "--retry-badmail") == 0) return RunRetryCommand(argc, argv);
    int signInDomain = 0;
    if (argc >= 3 && argc <= 4 && strcmp(argv[1], "--sign-in") == 0) {
        signInDomain = atoi(argv[2]);
        if (signInDomain < 1) {
            Usage();
            return 2;
        }
        argv += 2;
        argc -= 2;
    }
    if (argc > 2 || (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))) {
        Usage();
        return argc > 2 ? 2 : 0;
    }
    ResetConfiguration();
    char exe[300] = "", error[512] = "";
    if (!GetExecutablePath(exe, sizeof exe)) {
        fprintf(stderr, "ambrel: cannot find the program's own path\n");
        return 1;
    }
    if (!DeriveHostPaths(exe, error, sizeof error)) {
        fprintf(stderr, "ambrel: %s\n", error);
        return 1;
    }
    if (argc == 2) {
        char full[sizeof hostSettings.iniPath];
        if (!MakeFullPath(argv[1], full, sizeof full)) {
            fprintf(stderr, "ambrel: the INI path '%s' is too long (at most %d characters)\n",
                    argv[1], (int)sizeof hostSettings.iniPath - 1);
            return 2;
        }
        snprintf(hostSettings.iniPath, sizeof hostSettings.iniPath, "%s", full);
    }

    uiHooks.windowTextAdded = PrintPiece;
    uiHooks.alertBox = PrintAlert;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    if (signInDomain) return RunConsoleSignIn(signInDomain, &stopSignal);

    static long cycles = 0;
    if (const char* c = getenv("AMBREL_CYCLES")) cycles = strtol(c, nullptr, 10);
    // Scripts that provoke silent or vanished servers shorten the waits.
    if (const char* t = getenv("AMBREL_REPLY_TIMEOUT_MS")) {
        long ms = strtol(t, nullptr, 10);
        if (ms > 0 && ms <= 3600000) relayTimings.replyTimeoutMs = relayTimings.dataEndTimeoutMs = (int)ms;
    }
    // The socket library first: the worker's first connect needs it.
    if (!StartSocketLibrary()) return 1;
    // Marked running before it starts, so that a stop right away still waits
    // for it.
    relayState.workerRunning = 1;
    if (!StartThread(CountedWorker, &cycles)) {
        relayState.workerRunning = 0;
        fprintf(stderr, "ambrel: unable to start the relay thread\n");
        ShutdownResources();
        return 1;
    }
    char when[200];
    FormatLocalTime("%b %d %H:%M:%S", when, sizeof when);
    LogToWindow("---- %s     Console Ambrel is opened ----\r\n", when);

    while (!workerEnded && !stopSignal) SleepMs(50);
    ShutdownResources();
    return 0;
}
