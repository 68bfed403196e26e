// vyn-test-log-writer <bound> <writer id> <lines> <start event name> [<idle event name>]
// Plays one of several Winlogon processes sharing the log, on a file system
// that keeps delete-pending names as NTFS does: opens the log as the module
// does at load, waits until the test lets every writer go at once, then
// appends numbered lines of a fixed length under the given rotation bound.
// With an idle event it then stays loaded, writing nothing, until that event
// is set: an idle Winlogon of a disconnected session.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/handles.h"
#include "diag/log.h"
#include "diag/log_setup.h"
#include "tests/diag/delete_pending.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 && argc != 6) return 2;
    const delete_pending::Scope ntfs;
    log_detail::RotationBytes() = std::wcstoull(argv[1], nullptr, 10);
    const int id = std::wcstol(argv[2], nullptr, 10);
    const int lines = std::wcstol(argv[3], nullptr, 10);
    if (!OpenLogFile()) return 3;
    const unique_handle start(::OpenEventW(SYNCHRONIZE, FALSE, argv[4]));
    if (!start || ::WaitForSingleObject(start.get(), 30000) != WAIT_OBJECT_0) return 4;
    for (int n = 0; n < lines; ++n) {
        char text[32];
        std::snprintf(text, sizeof text, "writer %d line %03d ", id, n);
        // Every text is 64 bytes, so a torn or merged line shows in its length.
        LogMessage(std::string(text) + std::string(64 - std::string(text).size(), 'x'));
    }
    if (argc == 6) {
        const unique_handle idle(::OpenEventW(SYNCHRONIZE, FALSE, argv[5]));
        if (!idle || ::WaitForSingleObject(idle.get(), 60000) != WAIT_OBJECT_0) return 5;
    }
    CloseLogFile();
    return 0;
}
