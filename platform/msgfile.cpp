// Message files, read the same way on every build: in binary, with a CR LF
// pair folded into one LF as Windows text mode does. The runtime's own text
// mode is not used because it stops at a Ctrl-Z byte, which would relay a cut
// message and then delete the file.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

struct MsgFile {
    FILE* f;
};

MsgFile* MsgOpen(const char* path, int* err) {
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        *err = EACCES;  // what the Windows runtime reports for a folder
        return nullptr;
    }
    FILE* f = fopen(path, "rb");
    if (!f) {
        *err = errno;
        return nullptr;
    }
    *err = 0;
    return new MsgFile{f};
}

size_t MsgReadLine(MsgFile* m, char* buf, size_t size) {
    if (size < 2) return 0;
    size_t n = 0;
    while (n < size - 1) {
        int c = getc(m->f);
        if (c == EOF) break;
        if (c == '\r') {
            int d = getc(m->f);
            if (d == '\n') c = '\n';
            else if (d != EOF) ungetc(d, m->f);
        }
        buf[n++] = (char)c;
        if (c == '\n') break;
    }
    buf[n] = 0;
    return n;
}

bool MsgAtEnd(MsgFile* m) { return feof(m->f) != 0; }
bool MsgFailed(MsgFile* m) { return ferror(m->f) != 0; }
void MsgRewind(MsgFile* m) { rewind(m->f); }
void MsgClose(MsgFile* m) {
    if (!m) return;
    fclose(m->f);
    delete m;
}
