// Paths and names derived from the executable's own path.
#pragma once

#include <cstddef>

// From the executable's full path: `iniPath` (stem + ".ini"), the default
// `LogName` (stem + ".log"), `serviceCommand` (stem + ".exe -s") and
// `serviceName` (file name of the stem, when 1 to 63 characters). The stem
// is the path without a final ".exe" in any case. A path whose results do not
// fit their capacities is refused: false, with a message in `error`.
bool DeriveHostPaths(const char* fullPath, char* error, size_t errorSize);
