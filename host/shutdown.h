// The socket library's start, and the shutdown sequence both hosts run on
// every way out of the program.
#pragma once

// Starts the socket library, reporting a failure with a box; on success marks
// it started so that the shutdown cleans it up.
bool StartSocketLibrary();

// Asks the worker to stop and wakes it (relay connection closed, connect
// back-off cancelled), waits for it a bounded time, then stops the socket
// library, closes the log file and releases what the host's user interface
// holds. Each step acts only on what is still held, so it may run more than
// once.
void ShutdownResources();

// How long the shutdown waits for the worker. Its slowest wake-up is one step
// of the connect back-off (5 s); a worker stuck longer (a name lookup that
// hangs) is left behind, and the process ends without it.
constexpr int kWorkerStopWaitMs = 6000;

// The host's own last step (the Windows program: delete the tray icon, free
// its image and menu); empty for the console host.
extern void (*shutdownHostUi)();
