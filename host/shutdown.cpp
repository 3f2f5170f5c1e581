// The start of the socket library and the shutdown sequence. They live with
// the hosts because they reach into the relay engine, the log sinks and
// (through a hook) the user interface.
#include "host/shutdown.h"

#include "log/log.h"
#include "platform/platform.h"
#include "relay/relay.h"

void (*shutdownHostUi)() = nullptr;

bool StartSocketLibrary() {
    int rc = SockStartup();
    if (rc != 0) {
        ReportSocketError(1, rc, " Error opening WinSock");
        return false;
    }
    relayState.socketLibraryStarted = 1;
    return true;
}

void ShutdownResources() {
    // Always asked, also when the worker has not marked itself running yet:
    // a worker that starts late then ends at once instead of working on
    // without a socket library.
    relayState.stopRequested = 1;
    relayState.cancelBackoff = 1;

    // The interrupt ends a send, receive or wait the worker is in. The
    // socket is closed only once the worker has let go of it: closed under
    // its wait, the number could go to another file before the wait ends.
    SockHandle s = relayState.relaySocket.exchange(kNoSocket);
    SockInterrupt(s);

    // The socket library and the log file go only after the worker has let
    // go of them: cleaned up under a running worker, every connect left in
    // the pass fails with 10093, and a line written while the file closes
    // is lost or torn. The wait is bounded so that a stuck worker cannot
    // hold the exit (or a service stop) for ever.
    for (int waited = 0; relayState.workerRunning && waited < kWorkerStopWaitMs; waited += 20) SleepMs(20);

    // A worker that is still running keeps its socket; the process ends
    // around both.
    if (s != kNoSocket && !relayState.workerRunning && !SockClose(s)) {
        int code = SockLastError();
        LogToWindow("\r\n AMBREL Error in close(socket): %d (%s)\r\n", code, SocketErrorName(code));
    }

    if (relayState.socketLibraryStarted.exchange(0)) {
        int rc = SockCleanup();
        if (rc != 0) ReportSocketError(1, rc, "Error cleaning WinSock");
    }
    CloseLogFile();

    if (shutdownHostUi) shutdownHostUi();
}
