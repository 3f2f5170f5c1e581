// Service installation, removal and runtime: not built yet; the switches
// say so instead of doing nothing.
#include "host/service.h"

namespace {
void NotBuiltYet() {
    MessageBoxA(nullptr, "The service functions are not built yet.", " Error", MB_OK | MB_ICONSTOP);
}
}  // namespace

void InstallService() { NotBuiltYet(); }
void RemoveService() { NotBuiltYet(); }
void WINAPI ServiceMain(DWORD, LPSTR*) {}
