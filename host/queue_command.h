// The console host's queue commands (see queue_command.cpp).
#pragma once

// `ambrel --queue [INI] [--json]`: 0, or 1 when the INI cannot be read.
int RunQueueCommand(int argc, char** argv);
// `ambrel --retry-badmail [INI] [FILE...]`: 0 when every file named (or
// listed) went back, 1 when the INI cannot be read, 3 when a file stayed.
int RunRetryCommand(int argc, char** argv);
