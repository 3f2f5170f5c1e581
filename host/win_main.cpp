// Entry point of the Windows program. The windowed application, the service
// and the installer are added on top of this.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    MessageBoxA(nullptr, "This build holds the relay engine only; the application is not built yet.",
                "Ambrel", MB_OK);
    return 0;
}
