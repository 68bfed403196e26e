#include <windows.h>

#include "diag/log.h"
#include "gina/globals.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    gModuleInstance = instance;
    if (reason == DLL_PROCESS_ATTACH) {
        OpenLogFile();
        LogMessage(std::string(99, '-'));
    } else if (reason == DLL_PROCESS_DETACH) {
        CloseLogFile();
    }
    return TRUE;
}
