// The file lock on POSIX: flock on a file of its own. A lock of flock
// belongs to the open file, so two opens in one process exclude each other
// as two processes do.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

struct FileLock {
    int fd;
};

FileLock* FileLockAcquire(const char* path, int waitMs, int* err) {
    // Read-only and readable by all: the file holds nothing, and the account
    // of a daemon must be able to lock the file that root made, and back.
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    int64_t end = SteadyMs() + waitMs;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return new FileLock{fd};
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (SteadyMs() >= end) {
            errno = ETIMEDOUT;
            break;
        }
        SleepMs(50);
    }
    *err = errno;
    close(fd);
    return nullptr;
}

void FileLockRelease(FileLock* lock) {
    if (!lock) return;
    close(lock->fd);  // ends the lock with it
    delete lock;
}
