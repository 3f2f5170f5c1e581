// Paths and names derived from the executable's own path.
#pragma once

#include <cstddef>

// From the executable's full path: `iniPath` (stem + ".ini"), the default
// `LogName` (stem + ".log"), `serviceCommand` (stem + ".exe -s") and
// `serviceName` (file name of the stem, when 1 to 63 characters). The stem
// is the path without a final ".exe" in any case. A path whose results do not
// fit their capacities is refused: false, with a message in `error`.
bool DeriveHostPaths(const char* fullPath, char* error, size_t errorSize);

// The program's path as the process command line names it: the text between
// a leading double quote and the next one (or the rest of the line when the
// closing quote is missing), otherwise the first white-space-separated word,
// or, when that names no file, the shortest text up to a blank that does
// (an unquoted path with blanks, as the system resolved it). False when it
// does not fit in `size` (nothing is cut short).
bool TakeProgramPath(const char* commandLine, char* out, size_t size);

// The switch words of the argument text: "-i", "/I", "-u", "-s" in any case
// set the matching request flags of `hostSettings`; words not starting with
// '-' or '/' are ignored. False at the first other switch (the caller then
// shows the help and derives nothing).
bool ParseSwitchWords(const char* args);
