// The wait for a file lock, the same on every build: one try after another
// until the holder lets go or the time is up.
#include "platform.h"

#include <cerrno>

FileLock* FileLockAcquire(const char* path, int waitMs, int* err) {
    FileLock* lock = FileLockOpen(path, err);
    if (!lock) return nullptr;
    int64_t end = SteadyMs() + waitMs;
    for (;;) {
        int rc = FileLockTry(lock);
        if (rc == 0) return lock;
        if (rc != EWOULDBLOCK || SteadyMs() >= end) {
            *err = rc == EWOULDBLOCK ? ETIMEDOUT : rc;
            FileLockRelease(lock);
            return nullptr;
        }
        SleepMs(50);
    }
}
