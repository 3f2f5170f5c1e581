// Installing, removing and running the program as a Windows service.
#pragma once

#include <windows.h>

void InstallService();
void RemoveService();
// Entry point handed to the service control dispatcher.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
