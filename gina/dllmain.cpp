#include <windows.h>

#include "diag/log.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        OpenLogFile();
        LogMessage(std::string(99, '-'));
    } else if (reason == DLL_PROCESS_DETACH) {
        CloseLogFile();
    }
    return TRUE;
}
