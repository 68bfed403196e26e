#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/identity.h"

#include "diag/log.h"

namespace {
using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
}

std::string GetOsDescription() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;  // 284
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        LogSystemCallFailure("GetVersionEx", ::GetLastError());
        return std::string();
    }
    SYSTEM_INFO system = {};
    ::GetSystemInfo(&system);

    std::string description = "Windows NT " + std::to_string(version.dwMajorVersion) + "." +
                              std::to_string(version.dwMinorVersion) + "." + std::to_string(version.dwBuildNumber);
    switch (system.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
        description += " x64";
        break;
    case PROCESSOR_ARCHITECTURE_IA64:
        description += " IA64";
        break;
    case PROCESSOR_ARCHITECTURE_INTEL: {
        // Only a 32-bit build of the module can see this; the 64-bit module always reports x64.
        BOOL wow64 = FALSE;
        const auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "IsWow64Process"));
        if (isWow64 && !isWow64(::GetCurrentProcess(), &wow64)) {
            LogSystemCallFailure("IsWow64Process", ::GetLastError());
            wow64 = FALSE;
        }
        description += wow64 ? " WOW64" : " x86";
        break;
    }
    default:
        break;
    }
    return description;
}

std::string BuildUserAgent(const std::string& productToken) {
    const std::string product = productToken.empty() ? "VynAuth/Unknown" : productToken;
    return product + " (" + GetOsDescription() + ")";
}
