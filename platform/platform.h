// The thin OS layer: plain functions, one implementation per OS
// (platform_win32.cpp / platform_posix.cpp and friends). Nothing outside this
// folder includes an OS header or tests which OS it is built for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- paths -------------------------------------------------------------

// Folder separator of this build: '\\' on Windows, '/' on POSIX. Every place
// that appends or tests "the backslash" of a folder uses this instead.
extern const char kDirSep;

// Full path of the running executable, or false when it does not fit.
bool GetExecutablePath(char* out, size_t size);

// True for a path that names the same place whatever the working folder
// is ("/..." on POSIX; "X:\\..." or a "\\\\server" path on Windows).
bool IsAbsolutePath(const char* path);

// Absolute form of a path (GetFullPathName / realpath of the folder part);
// false when it does not fit in `size`.
bool MakeFullPath(const char* path, char* out, size_t size);

// ---- profile (INI) access -----------------------------------------------
// Windows: the profile functions of the system. POSIX: our own reader and
// writer with the same rules for what this program uses (names without
// regard to case, values trimmed and cut to size - 1, integers as the system
// reads them, absent key gives the default).

// Returns the number of characters copied (without the terminator).
size_t ProfileGetString(const char* section, const char* key, const char* def,
                        char* out, size_t size, const char* path);
int ProfileGetInt(const char* section, const char* key, int def, const char* path);
// Creates the file and the section when missing; replaces a key in place.
// A null value removes the key.
bool ProfileWriteString(const char* section, const char* key, const char* value,
                        const char* path);

// ---- files and folders ---------------------------------------------------

struct FindEntry {
    char name[260];        // file name without folder
    uint32_t sizeLow;      // low 32 bits of the file size
};

// Directory search with a pattern "folder<sep>*.EXT"; the name part matches
// without regard to case on every build. Returns a handle or nullptr.
void* FindFirstEntry(const char* pattern, FindEntry* entry);
bool FindNextEntry(void* search, FindEntry* entry);
void FindCloseSearch(void* search);

// Modification stamp of a file: seconds and sub-second part as the file
// system gives it. False when the file cannot be examined.
struct FileStamp {
    int64_t seconds;
    int64_t nanos;
    int64_t size;
};
// The same time to the nanosecond and the same size.
inline bool SameFileStamp(const FileStamp& a, const FileStamp& b) {
    return a.seconds == b.seconds && a.nanos == b.nanos && a.size == b.size;
}
bool GetFileStamp(const char* path, FileStamp* stamp);
// The stamp's seconds counted from 1970, as time() counts (Windows file
// times count from 1601).
int64_t StampUnixSeconds(const FileStamp& stamp);
// Sets a file's modification time to now; false when it cannot.
bool TouchFileNow(const char* path);
// True while another program holds the file open for writing (Windows: an
// open that denies others write access meets a sharing violation). The
// POSIX build has no such lock to ask and answers false.
bool FileBeingWritten(const char* path);

// chdir: 0 on success, -1 on failure (as the runtime library reports it).
int ChangeDirectory(const char* path);

// remove/rename: 0 on success, else the runtime library's errno.
int RemoveFileErrno(const char* path);
int RenameFileErrno(const char* from, const char* to);
// Replaces `to` by `from` in one step (the old file stays whole until the new
// one is complete); 0 on success, else an errno-style code. The new file's
// contents are forced to the disk before the replace (and, on POSIX, the
// folder's entry after it), so a power loss leaves the old file or the
// new one, never an empty one.
int ReplaceFileErrno(const char* from, const char* to);

// A file that holds a secret (a password, protected or not) is kept to
// those who must read it: on POSIX its owner (mode 0600), on Windows
// SYSTEM, Administrators and the user who wrote it.
//
// Creates `path`, which must not exist yet, for writing ("wb") with that
// private access from its first byte, so nothing written to it is ever
// readable by anyone else. nullptr, with an errno-style code in *err, when
// it cannot be made.
FILE* CreatePrivateFile(const char* path, int* err);
// Gives `path` the access of `model`, the file it is about to replace: its
// mode, owner and group as far as this user may set them (POSIX; a group
// that cannot be kept loses its bits), its DACL (Windows; the owner is the
// writer's). Without a model (null, or no such file) the access a new file
// gets there (POSIX: 0666 less the umask; Windows: the folder's inherited
// entries). With `secret`, the private access instead, whatever the model
// allowed. 0 or an errno-style code.
int SetFileAccessLike(const char* path, const char* model, bool secret);

// An exclusive lock on the file `path` (created when missing and left in
// place: a lock file that is removed and made anew could be held by two
// processes at once, each on its own copy). It holds against every other
// process and every other holder in this one (flock on POSIX, LockFileEx
// on Windows) until FileLockRelease, and ends with the process. Waits up to
// `waitMs` for another holder; nullptr with an errno-style code in *err
// (ETIMEDOUT when the wait ran out).
struct FileLock;
FileLock* FileLockAcquire(const char* path, int waitMs, int* err);
void FileLockRelease(FileLock* lock);
// The two steps each OS gives for it: the file opened (not locked yet), and
// one try at the lock: 0 taken, EWOULDBLOCK held by another, else an
// errno-style code.
FileLock* FileLockOpen(const char* path, int* err);
int FileLockTry(FileLock* lock);

// Message files are read as Windows reads text files: a CR LF pair arrives as
// one LF. Lines are read like fgets (at most size - 1 characters, LF kept,
// a terminator after them), but the count of bytes read is returned (0 at the
// end or on an error), so a NUL byte in a line is text like any other.
struct MsgFile;
MsgFile* MsgOpen(const char* path, int* err);
size_t MsgReadLine(MsgFile* f, char* buf, size_t size);
bool MsgAtEnd(MsgFile* f);
bool MsgFailed(MsgFile* f);
void MsgRewind(MsgFile* f);
void MsgClose(MsgFile* f);

// Current errno of the runtime library (for "(errno %d)" texts).
int LastErrno();

// Local time formatted with strftime rules.
void FormatLocalTime(const char* format, char* out, size_t size);

// ---- threads and time ------------------------------------------------------

void SleepMs(int ms);
// Starts a detached thread running fn(arg); false when it cannot be started.
bool StartThread(unsigned (*fn)(void*), void* arg);

// ---- folder watch -----------------------------------------------------------
// Tells that files were created in, or moved into, a set of folders
// (inotify; FindFirstChangeNotification). A change is only a hint, and may
// be another file's: the caller looks into the folders itself.
struct FolderWatch;

// nullptr when the system gives none (every folder is then polled).
FolderWatch* WatchCreate();
// False when the folder cannot be watched, with the system's error code in
// *err; the watch goes on with the others.
bool WatchAddFolder(FolderWatch* w, const char* folder, int* err);
// Waits up to `ms` for a change in any of the folders; true when one came.
// Every change that had come is taken with it.
bool WatchWait(FolderWatch* w, int ms);
void WatchDestroy(FolderWatch* w);

// ---- system log ----------------------------------------------------------

// One entry in the system event log under `source`: type 'I' information,
// 'W' warning, anything else error; `text` is the entry's one insertion
// string. Windows: the event log, with the event ID and category of the
// program's message table; POSIX: syslog, the text alone.
void ReportSystemEvent(const char* source, char type, int category, int eventId, const char* text);

// ---- sockets ---------------------------------------------------------------
// Error codes are always Windows Sockets numbers (10061 connection refused,
// 10060 timed out, ...), so that every message reads the same on both builds.

typedef intptr_t SockHandle;
constexpr SockHandle kNoSocket = -1;

// WSAStartup 1.1 / WSACleanup; return 0 on success, else the failure code.
int SockStartup();
int SockCleanup();
int SockLastError();

// Dotted IPv4 first (inet_addr), then a host name look-up (gethostbyname);
// the address is in network byte order.
bool SockResolveIPv4(const char* host, uint32_t* addrNetworkOrder);

SockHandle SockCreateTcp();
// Blocking connect to an IPv4 address (network order) and port (host order).
bool SockConnect(SockHandle s, uint32_t addrNetworkOrder, uint16_t port);
bool SockSetNoDelay(SockHandle s);
// Receive and send time-outs in milliseconds (0 = none).
bool SockSetTimeouts(SockHandle s, int recvMs, int sendMs);
// >= 0 bytes, or -1 with SockLastError() set (10060 when the time-out ran out).
int SockSend(SockHandle s, const char* data, int len);
int SockRecv(SockHandle s, char* buf, int len);
bool SockClose(SockHandle s);

// Milliseconds of a clock that only runs forward (not the time of day).
int64_t SteadyMs();
// Every receive of the calling thread through SockRecv (the TLS channels'
// included) waits for bytes at most until `steadyMs` on the SteadyMs()
// clock and then fails with 10060; 0 leaves only the socket's own
// time-outs. A deadline, unlike those, also bounds a peer that sends one
// byte at a time.
void SockSetReadDeadline(int64_t steadyMs);
// For another thread (the shutdown): ends every wait, receive and send on
// `s` at once and makes later ones fail with 10004 (WSAEINTR). The handle
// stays open, so no other file can take its number under the thread that
// still uses it; SockClose releases it.
void SockInterrupt(SockHandle s);

// ---- TLS client on a connected socket --------------------------------------
// A channel takes over the reads and writes of a connected socket. The
// socket's time-outs still apply, and the socket stays the caller's to close.
struct TlsChannel;

constexpr size_t kSha256Size = 32;

// Handshake as a client. With `pinSha256` (kSha256Size bytes) the server's
// certificate is accepted if and only if its SHA-256 matches; without it the
// chain must be trusted by the system and the certificate must name
// `serverName`. nullptr on failure, with a one-line reason (no line end) in
// `err`.
TlsChannel* TlsConnect(SockHandle s, const char* serverName, const unsigned char* pinSha256,
                       char* err, size_t errSize);
// As SockSend (every byte, or -1) and SockRecv (> 0 bytes, 0 when the peer
// has closed, -1 with SockLastError() set; 10060 when the time-out ran out).
int TlsSend(TlsChannel* t, const char* data, int len);
int TlsRecv(TlsChannel* t, char* buf, int len);
// Sends the closing alert when it can and frees the channel.
void TlsClose(TlsChannel* t);

// ---- stored secrets ----------------------------------------------------------
// Protects a secret with the system's data protection for this machine (any
// account on it can read it back). Returns the number of protected bytes
// written to `out`, or 0 where the system has no such service (POSIX) or it
// failed.
size_t ProtectSecret(const char* clear, unsigned char* out, size_t outSize);
// True where the system has that service (Windows): a 0 from ProtectSecret
// is then a failure, not the absence of protection.
bool SecretProtectionAvailable();
// The clear text back; false when the bytes cannot be read on this machine or
// the text does not fit.
bool UnprotectSecret(const unsigned char* data, size_t len, char* clear, size_t clearSize);
