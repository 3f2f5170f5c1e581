// Win32 implementation of the OS layer (files, folders, profile access,
// threads, time, event log).
#include "platform.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <direct.h>
#include <process.h>

const char kDirSep = '\\';

bool GetExecutablePath(char* out, size_t size) {
    char buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf || (size_t)n >= size) return false;
    memcpy(out, buf, (size_t)n + 1);
    return true;
}

bool IsAbsolutePath(const char* path) {
    bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                 path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
    return drive || unc;
}

bool MakeFullPath(const char* path, char* out, size_t size) {
    char* filePart = nullptr;
    DWORD n = GetFullPathNameA(path, (DWORD)size, out, &filePart);
    return n != 0 && (size_t)n < size;
}

// ---- profile access ----------------------------------------------------------

size_t ProfileGetString(const char* section, const char* key, const char* def,
                        char* out, size_t size, const char* path) {
    if (size == 0) return 0;
    return GetPrivateProfileStringA(section, key, def, out, (DWORD)size, path);
}

int ProfileGetInt(const char* section, const char* key, int def, const char* path) {
    return (int)GetPrivateProfileIntA(section, key, def, path);
}

bool ProfileWriteString(const char* section, const char* key, const char* value,
                        const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) != 0;
}

// ---- directory search ------------------------------------------------------

namespace {
void CopyEntry(const WIN32_FIND_DATAA& fd, FindEntry* entry) {
    snprintf(entry->name, sizeof entry->name, "%s", fd.cFileName);
    entry->sizeLow = fd.nFileSizeLow;
}
}  // namespace

void* FindFirstEntry(const char* pattern, FindEntry* entry) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    CopyEntry(fd, entry);
    return h;
}

bool FindNextEntry(void* search, FindEntry* entry) {
    WIN32_FIND_DATAA fd;
    if (!search || !FindNextFileA((HANDLE)search, &fd)) return false;
    CopyEntry(fd, entry);
    return true;
}

void FindCloseSearch(void* search) {
    if (search) FindClose((HANDLE)search);
}

bool GetFileStamp(const char* path, FileStamp* stamp) {
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &fa)) return false;
    // FILETIME counts 100-ns steps since 1601.
    uint64_t t = ((uint64_t)fa.ftLastWriteTime.dwHighDateTime << 32) | fa.ftLastWriteTime.dwLowDateTime;
    stamp->seconds = (int64_t)(t / 10000000u);
    stamp->nanos = (int64_t)(t % 10000000u) * 100;
    stamp->size = (int64_t)(((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow);
    return true;
}

// 369 years of 100-ns steps lie between 1601 and 1970.
int64_t StampUnixSeconds(const FileStamp& stamp) { return stamp.seconds - 11644473600LL; }

bool TouchFileNow(const char* path) {
    HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    bool ok = SetFileTime(h, nullptr, nullptr, &now) != 0;
    CloseHandle(h);
    return ok;
}

int ChangeDirectory(const char* path) { return _chdir(path) == 0 ? 0 : -1; }

int RemoveFileErrno(const char* path) { return remove(path) == 0 ? 0 : errno; }

int RenameFileErrno(const char* from, const char* to) { return rename(from, to) == 0 ? 0 : errno; }

int ReplaceFileErrno(const char* from, const char* to) {
    HANDLE h = CreateFileA(from, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    BOOL flushed = FlushFileBuffers(h);
    CloseHandle(h);
    if (!flushed) return EIO;
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

int LastErrno() { return errno; }

void FormatLocalTime(const char* format, char* out, size_t size) {
    time_t now = time(nullptr);
    struct tm* tmv = localtime(&now);
    if (!tmv || strftime(out, size, format, tmv) == 0) {
        if (size) out[0] = 0;
    }
}

// ---- threads and time ------------------------------------------------------

void SleepMs(int ms) {
    if (ms > 0) Sleep((DWORD)ms);
}

namespace {
struct ThreadStart {
    unsigned (*fn)(void*);
    void* arg;
};
unsigned __stdcall ThreadTrampoline(void* p) {
    ThreadStart ts = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    return ts.fn(ts.arg);
}
}  // namespace

bool StartThread(unsigned (*fn)(void*), void* arg) {
    ThreadStart* ts = new ThreadStart{fn, arg};
    uintptr_t h = _beginthreadex(nullptr, 0, ThreadTrampoline, ts, 0, nullptr);
    if (h == 0) {
        delete ts;
        return false;
    }
    CloseHandle((HANDLE)h);
    return true;
}

// ---- event log -------------------------------------------------------------

void ReportSystemEvent(const char* source, char type, const char* text) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    if (!h) return;
    WORD kind = type == 'I' ? EVENTLOG_INFORMATION_TYPE
              : type == 'W' ? EVENTLOG_WARNING_TYPE
                            : EVENTLOG_ERROR_TYPE;
    const char* strings[1] = {text};
    ReportEventA(h, kind, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(h);
}
