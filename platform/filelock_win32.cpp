// The file lock on Windows: LockFileEx on the first byte of a file of its
// own. The lock belongs to the handle, so two opens in one process exclude
// each other as two processes do.
#include "platform.h"

#include <windows.h>

#include <cerrno>

struct FileLock {
    HANDLE h;
};

FileLock* FileLockOpen(const char* path, int* err) {
    // Read access is enough to lock; the file holds nothing, and the service
    // and a user's window must both be able to open the one the other made.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return nullptr;
    }
    return new FileLock{h};
}

int FileLockTry(FileLock* lock) {
    OVERLAPPED at = {};
    if (LockFileEx(lock->h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return 0;
    DWORD e = GetLastError();
    return e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING ? EWOULDBLOCK : e == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

void FileLockRelease(FileLock* lock) {
    if (!lock) return;
    CloseHandle(lock->h);  // ends the lock with it
    delete lock;
}
