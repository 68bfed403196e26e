#include <windows.h>

#include "diag/log.h"
#include "diag/log_setup.h"
#include "ui/dialog_host.h"

// The module's globals (msgina's table, the session, the user name) are built
// before this runs at attach and torn down after it at detach.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    gModuleInstance = instance;
    if (reason == DLL_PROCESS_ATTACH) {
        // Under the loader lock: the event log's warnings wait for WlxNegotiate.
        OpenLogFile(true);
        // Marks each load of the module in the shared log file.
        LogMessage("---------------------------------------------------------------------------------------------------");
    } else if (reason == DLL_PROCESS_DETACH) {
        CloseLogFile();
    }
    return TRUE;
}
