// The shutdown sequence: every step acts only on what is still held, so it
// may run more than once.
#include "log.h"
#include "platform/platform.h"
#include "relay/relay.h"

void ShutdownResources() {
    if (relayState.workerRunning) relayState.stopRequested = 1;

    SockHandle s = relayState.relaySocket.exchange(kNoSocket);
    if (s != kNoSocket && !SockClose(s)) {
        int code = SockLastError();
        LogToWindow("\r\n AMBREL Error in close(socket): %d (%s)\r\n", code, SocketErrorName(code));
        relayState.sessionFailed = 1;
    }

    if (relayState.socketLibraryStarted.exchange(0)) {
        int rc = SockCleanup();
        if (rc != 0) ReportSocketError(1, rc, "Error cleaning WinSock");
    }

    if (uiHooks.shutdownUi) uiHooks.shutdownUi();
}
