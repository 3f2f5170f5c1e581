// Keeping the log file to a size: it is only ever renamed while closed (the
// worker opens it at the start of a cycle's first line), so a line is never
// written into a file that is being moved.
#include <atomic>
#include <cstdio>
#include <string>

#include "log.h"
#include "platform/platform.h"

namespace {
std::atomic<int> logMaxKB{0};
constexpr int kKeptFiles = 5;
}  // namespace

void SetLogMaxKB(int kb) { logMaxKB = kb > 0 ? kb : 0; }

void RotateLogIfLarge(const char* name) {
    int kb = logMaxKB;
    FileStamp st;
    if (kb <= 0 || !name[0] || !GetFileStamp(name, &st) || st.size <= (int64_t)kb * 1024) return;
    std::string base = name;
    RemoveFileErrno((base + "." + std::to_string(kKeptFiles)).c_str());
    for (int i = kKeptFiles - 1; i >= 1; i--)
        RenameFileErrno((base + "." + std::to_string(i)).c_str(), (base + "." + std::to_string(i + 1)).c_str());
    // A failed rename leaves the file in use as it is: it grows on, and
    // nothing written to it is lost.
    RenameFileErrno(name, (base + ".1").c_str());
}
