// POSIX implementation of the OS layer (files, folders, threads, time, syslog).
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

const char kDirSep = '/';

bool GetExecutablePath(char* out, size_t size) {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0 || (size_t)n >= size) return false;
    buf[n] = 0;
    memcpy(out, buf, (size_t)n + 1);
    return true;
}

bool IsAbsolutePath(const char* path) { return path[0] == '/'; }

bool MakeFullPath(const char* path, char* out, size_t size) {
    char cwd[PATH_MAX] = "";
    if (path[0] != '/' && !getcwd(cwd, sizeof cwd)) return false;
    int n = path[0] == '/' ? snprintf(out, size, "%s", path) : snprintf(out, size, "%s/%s", cwd, path);
    return n >= 0 && (size_t)n < size;
}

// ---- directory search ------------------------------------------------------

namespace {
struct Search {
    DIR* dir;
    char folder[PATH_MAX];
    char suffix[64];  // the part of the pattern after '*', matched without case
};

bool NextMatch(Search* s, FindEntry* entry) {
    while (dirent* d = readdir(s->dir)) {
        size_t n = strlen(d->d_name), k = strlen(s->suffix);
        if (n < k || strcasecmp(d->d_name + n - k, s->suffix) != 0) continue;
        if (n >= sizeof entry->name) continue;  // cannot be named in a path of ours
        char full[PATH_MAX * 2];
        snprintf(full, sizeof full, "%s%s", s->folder, d->d_name);
        struct stat st;
        if (stat(full, &st) != 0) continue;
        memcpy(entry->name, d->d_name, n + 1);
        entry->sizeLow = (uint32_t)((uint64_t)st.st_size & 0xFFFFFFFFu);
        return true;
    }
    return false;
}
}  // namespace

void* FindFirstEntry(const char* pattern, FindEntry* entry) {
    // Only "folder/*SUFFIX" patterns are used by the program.
    const char* slash = strrchr(pattern, '/');
    const char* name = slash ? slash + 1 : pattern;
    if (name[0] != '*' || strchr(name + 1, '*') || strlen(name + 1) >= sizeof(Search::suffix))
        return nullptr;
    Search* s = new Search();
    size_t folderLen = (size_t)(name - pattern);
    if (folderLen >= sizeof s->folder) { delete s; return nullptr; }
    memcpy(s->folder, pattern, folderLen);
    s->folder[folderLen] = 0;
    snprintf(s->suffix, sizeof s->suffix, "%s", name + 1);
    s->dir = opendir(folderLen ? s->folder : ".");
    if (!s->dir) { delete s; return nullptr; }
    if (!NextMatch(s, entry)) {
        closedir(s->dir);
        delete s;
        return nullptr;
    }
    return s;
}

bool FindNextEntry(void* search, FindEntry* entry) {
    return search && NextMatch(static_cast<Search*>(search), entry);
}

void FindCloseSearch(void* search) {
    if (!search) return;
    Search* s = static_cast<Search*>(search);
    closedir(s->dir);
    delete s;
}

bool GetFileStamp(const char* path, FileStamp* stamp) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    stamp->seconds = (int64_t)st.st_mtim.tv_sec;
    stamp->nanos = (int64_t)st.st_mtim.tv_nsec;
    stamp->size = (int64_t)st.st_size;
    return true;
}

int64_t StampUnixSeconds(const FileStamp& stamp) { return stamp.seconds; }

bool FileBeingWritten(const char*) { return false; }

bool TouchFileNow(const char* path) { return utimensat(AT_FDCWD, path, nullptr, 0) == 0; }

int ChangeDirectory(const char* path) { return chdir(path) == 0 ? 0 : -1; }

int RemoveFileErrno(const char* path) { return remove(path) == 0 ? 0 : errno; }

int RenameFileErrno(const char* from, const char* to) {
    // Windows' rename never replaces an existing file; keep that, so a
    // bad-mail move never overwrites an earlier refused message.
    if (access(to, F_OK) == 0) return EEXIST;
    return rename(from, to) == 0 ? 0 : errno;
}

namespace {
// fsync of a file or folder by name; 0 or errno.
int SyncPath(const char* path, int flags) {
    int fd = open(path, flags);
    if (fd < 0) return errno;
    int rc = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return rc;
}
}  // namespace

int ReplaceFileErrno(const char* from, const char* to) {
    if (int rc = SyncPath(from, O_RDONLY)) return rc;
    if (rename(from, to) != 0) return errno;
    // The rename itself reaches the disk with the folder's entry.
    std::string folder(to);
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    SyncPath(folder.c_str(), O_RDONLY | O_DIRECTORY);
    return 0;
}

FILE* CreatePrivateFile(const char* path, int* err) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        *err = errno;
        close(fd);
    }
    return f;
}

namespace {
// The process's umask, read without changing it (umask() can only be read
// by setting it, and another thread may be creating a file meanwhile).
mode_t CurrentUmask() {
    mode_t mask = 022;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[128];
        unsigned value;
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Umask: %o", &value) == 1) {
                mask = (mode_t)(value & 0777);
                break;
            }
        fclose(f);
    }
    return mask;
}
}  // namespace

int SetFileAccessLike(const char* path, const char* model, bool secret) {
    struct stat st;
    mode_t mode;
    if (model && stat(model, &st) == 0) {
        mode = st.st_mode & 0777;
        // A file saved by another user (root editing a service's file, say)
        // goes back to its owner when that is allowed. Where the group
        // cannot be kept either, its bits would open the file to the
        // writer's own group instead: they go.
        if (chown(path, st.st_uid, st.st_gid) != 0 && chown(path, (uid_t)-1, st.st_gid) != 0)
            mode &= ~(mode_t)070;
    } else {
        mode = 0666 & ~CurrentUmask();
    }
    if (secret) mode = 0600;
    if (chmod(path, mode) == 0) return 0;
    int rc = errno;
    // A file system without modes (a FAT stick) refuses the change: that is
    // no failure when the file grants no more than asked for anyway.
    return stat(path, &st) == 0 && (st.st_mode & 0777 & ~mode) == 0 ? 0 : rc;
}

int LastErrno() { return errno; }

void FormatLocalTime(const char* format, char* out, size_t size) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (strftime(out, size, format, &tmv) == 0 && size) out[0] = 0;
}

// ---- threads and time ------------------------------------------------------

void SleepMs(int ms) {
    if (ms <= 0) return;
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {
struct ThreadStart {
    unsigned (*fn)(void*);
    void* arg;
};
void* ThreadTrampoline(void* p) {
    ThreadStart ts = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    ts.fn(ts.arg);
    return nullptr;
}
}  // namespace

bool StartThread(unsigned (*fn)(void*), void* arg) {
    pthread_t t;
    ThreadStart* ts = new ThreadStart{fn, arg};
    if (pthread_create(&t, nullptr, ThreadTrampoline, ts) != 0) {
        delete ts;
        return false;
    }
    pthread_detach(t);
    return true;
}

void ReportSystemEvent(const char* source, char type, int, int, const char* text) {
    int prio = type == 'I' ? LOG_INFO : type == 'W' ? LOG_WARNING : LOG_ERR;
    openlog(source, LOG_PID, LOG_DAEMON);
    syslog(prio, "%s", text);
    closelog();
}
