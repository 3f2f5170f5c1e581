// Win32 implementation of the OS layer (files, folders, profile access,
// threads, time, event log).
#include "platform.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
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

bool FileBeingWritten(const char* path) {
    // Readers may share the file; a writer that is still at work makes this
    // open fail, since it asks that nobody else write.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return false;
}

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

namespace {

// SYSTEM, Administrators and the user this process runs as, each with full
// access, nothing inherited: who runs the service, who administers the
// machine, and who saved the file. LocalFree the result.
PSECURITY_DESCRIPTOR PrivateSecurityDescriptor() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    DWORD buf[128];  // a TOKEN_USER and its SID, DWORD-aligned
    DWORD len = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, buf, sizeof buf, &len);
    CloseHandle(token);
    char* sid = nullptr;
    if (!ok || !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &sid)) return nullptr;
    char sddl[300];
    int n = snprintf(sddl, sizeof sddl, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;%s)", sid);
    LocalFree(sid);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (n <= 0 || (size_t)n >= sizeof sddl ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
        return nullptr;
    return sd;
}

// A volume without access lists (FAT) has nothing to keep or narrow.
bool NoAccessLists(DWORD e) { return e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION; }

}  // namespace

FILE* CreatePrivateFile(const char* path, int* err) {
    PSECURITY_DESCRIPTOR sd = PrivateSecurityDescriptor();
    if (!sd) {
        *err = EACCES;
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD e = GetLastError();
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE) {
        *err = e == ERROR_FILE_EXISTS ? EEXIST : e == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return nullptr;
    }
    int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        *err = EIO;
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (!f) {
        _close(fd);
        *err = EIO;
    }
    return f;
}

int SetFileAccessLike(const char* path, const char* model, bool secret) {
    // SetFileSecurity, not SetNamedSecurityInfo: Wine carries out only the
    // former on a file (it maps the DACL to the Unix mode there), and on
    // Windows it stores the descriptor as given, with its protected bit;
    // the model's inherited entries come from the same folder anyway.
    auto apply = [&](PSECURITY_DESCRIPTOR sd) {
        if (SetFileSecurityA(path, DACL_SECURITY_INFORMATION, sd)) return 0;
        DWORD e = GetLastError();
        return NoAccessLists(e) ? 0 : e == ERROR_ACCESS_DENIED ? EACCES : EIO;
    };
    if (secret) {
        PSECURITY_DESCRIPTOR sd = PrivateSecurityDescriptor();
        if (!sd) return EACCES;
        int rc = apply(sd);
        LocalFree(sd);
        return rc;
    }
    if (model && GetFileAttributesA(model) != INVALID_FILE_ATTRIBUTES) {
        DWORD need = 0;
        if (!GetFileSecurityA(model, DACL_SECURITY_INFORMATION, nullptr, 0, &need) && need == 0)
            return NoAccessLists(GetLastError()) ? 0 : EIO;
        if (need == 0 || need > 65536) return EIO;
        void* buf = LocalAlloc(LPTR, need);
        if (!buf) return ENOMEM;
        int rc = GetFileSecurityA(model, DACL_SECURITY_INFORMATION, buf, need, &need) ? apply(buf) : EIO;
        LocalFree(buf);
        return rc;
    }
    // No model: only what the folder hands down, as for any new file. (Wine
    // does not carry this out and leaves the file private.)
    ACL empty;
    if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return EIO;
    char name[MAX_PATH * 2];
    snprintf(name, sizeof name, "%s", path);  // the call takes a writable name
    DWORD rc = SetNamedSecurityInfoA(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, &empty, nullptr);
    return rc == ERROR_SUCCESS || NoAccessLists(rc) ? 0 : rc == ERROR_ACCESS_DENIED ? EACCES : EIO;
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

void ReportSystemEvent(const char* source, char type, int category, int eventId, const char* text) {
    HANDLE h = RegisterEventSourceA(nullptr, source);
    if (!h) return;
    WORD kind = type == 'I' ? EVENTLOG_INFORMATION_TYPE
              : type == 'W' ? EVENTLOG_WARNING_TYPE
                            : EVENTLOG_ERROR_TYPE;
    const char* strings[1] = {text};
    ReportEventA(h, kind, static_cast<WORD>(category), static_cast<DWORD>(eventId), nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(h);
}
