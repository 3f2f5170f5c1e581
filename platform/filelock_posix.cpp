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

FileLock* FileLockOpen(const char* path, int* err) {
    // Read-only and readable by all: the file holds nothing, and the account
    // of a daemon must be able to lock the file that root made, and back.
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    return new FileLock{fd};
}

int FileLockTry(FileLock* lock) {
    while (flock(lock->fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno;  // EWOULDBLOCK while another holds it
    }
    return 0;
}

void FileLockRelease(FileLock* lock) {
    if (!lock) return;
    close(lock->fd);  // ends the lock with it
    delete lock;
}
