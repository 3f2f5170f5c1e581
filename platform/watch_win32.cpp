// The folder watch with change notifications: one handle per folder.
#include "platform.h"

#include <windows.h>

#include <new>
#include <vector>

struct FolderWatch {
    std::vector<HANDLE> handles;
};

FolderWatch* WatchCreate() { return new (std::nothrow) FolderWatch(); }

bool WatchAddFolder(FolderWatch* w, const char* folder, int* err) {
    // Names only: a file created, renamed or moved in (and also one deleted,
    // which the caller's look into the folder tells apart).
    HANDLE h = FindFirstChangeNotificationA(folder, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
    if (h == INVALID_HANDLE_VALUE) {
        *err = (int)GetLastError();
        return false;
    }
    w->handles.push_back(h);
    return true;
}

bool WatchWait(FolderWatch* w, int ms) {
    if (w->handles.empty()) {
        Sleep((DWORD)ms);
        return false;
    }
    // One wait takes at most 64 handles: the first group waits the time,
    // the others are only looked at.
    bool any = false;
    const size_t n = w->handles.size();
    for (size_t first = 0; first < n; first += MAXIMUM_WAIT_OBJECTS) {
        DWORD count = (DWORD)(n - first < MAXIMUM_WAIT_OBJECTS ? n - first : MAXIMUM_WAIT_OBJECTS);
        DWORD wait = first == 0 && !any ? (DWORD)ms : 0;
        DWORD r = WaitForMultipleObjects(count, &w->handles[first], FALSE, wait);
        if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) any = true;
    }
    if (!any) return false;
    // Take every change that has come, and arm each handle again.
    for (HANDLE h : w->handles) {
        if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) FindNextChangeNotification(h);
    }
    return true;
}

void WatchDestroy(FolderWatch* w) {
    if (!w) return;
    for (HANDLE h : w->handles) FindCloseChangeNotification(h);
    delete w;
}
