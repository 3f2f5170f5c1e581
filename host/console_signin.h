// `ambrel --sign-in N [INI]`: the sign-in of domain N's user in the terminal.
#pragma once

// Loads the configuration, signs in the user of Domain<N> and stores the
// refresh token; the process exit code (0 when signed in). `stop` is polled:
// non-zero ends the wait.
int RunConsoleSignIn(int domainNumber, const volatile int* stop);
