// The folder watch with inotify: one descriptor for every folder.
#include "platform.h"

#include <cerrno>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

struct FolderWatch {
    int fd;
};

FolderWatch* WatchCreate() {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    return new FolderWatch{fd};
}

bool WatchAddFolder(FolderWatch* w, const char* folder, int* err) {
    // A file is looked at once it is complete: when its writer closes it, or
    // when it is renamed or moved in whole. Deletions (our own, after a
    // relay) are no news.
    if (inotify_add_watch(w->fd, folder, IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) >= 0) return true;
    *err = errno;
    return false;
}

bool WatchWait(FolderWatch* w, int ms) {
    pollfd p{w->fd, POLLIN, 0};
    int r = poll(&p, 1, ms);
    if (r <= 0) return false;
    // Drain the queue: a burst of files is one change.
    alignas(inotify_event) char buf[4096];
    bool any = false;
    for (;;) {
        ssize_t n = read(w->fd, buf, sizeof buf);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    return any;
}

void WatchDestroy(FolderWatch* w) {
    if (!w) return;
    close(w->fd);
    delete w;
}
