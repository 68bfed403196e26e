#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/identity.h"

#include <cstring>
#include <memory>

#include "diag/log.h"
#include "net/detached_call.h"

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

ClientIdentityPlatform gIdentityPlatform = {::GetSystemMetrics, ::LoadLibraryW, ::GetProcAddress, ::FreeLibrary};

namespace {

constexpr ULONG kCurrentSession = 0xFFFFFFFF;
constexpr int kWinStationRemoteAddress = 29;
constexpr ULONG kRemoteAddressRecordBytes = 32;
constexpr size_t kIpv4AddressOffset = 8;
constexpr size_t kIpv6AddressOffset = 12;

// "winsta.dll" for the length of one lookup, freed through the same table that loaded it.
class WinstaLibrary {
public:
    WinstaLibrary() : module_(gIdentityPlatform.loadLibrary(L"winsta.dll")) {}
    ~WinstaLibrary() {
        if (module_) gIdentityPlatform.freeLibrary(module_);
    }
    WinstaLibrary(const WinstaLibrary&) = delete;
    WinstaLibrary& operator=(const WinstaLibrary&) = delete;

    explicit operator bool() const { return module_ != nullptr; }
    template <class Fn>
    Fn Find(const char* name) const {
        return reinterpret_cast<Fn>(gIdentityPlatform.getProcAddress(module_, name));
    }

private:
    HMODULE module_;
};

}  // namespace

std::string GetClientIpAddress(bool localIpFallback) {
    // In a remote session the console machine's own address says nothing about
    // where the user sits, so a failed remote lookup is not replaced by it.
    if (gIdentityPlatform.getSystemMetrics(SM_REMOTESESSION) != 0) return GetRemoteClientAddress();
    if (localIpFallback) return GetLocalIpAddress();
    return std::string();
}

std::string GetRemoteClientAddress() {
    const WinstaLibrary winsta;
    if (!winsta) return std::string();
    const auto openServer = winsta.Find<WinStationOpenServerWFn>("WinStationOpenServerW");
    const auto queryInformation = winsta.Find<WinStationQueryInformationWFn>("WinStationQueryInformationW");
    const auto closeServer = winsta.Find<WinStationCloseServerFn>("WinStationCloseServer");
    if (!openServer || !queryInformation || !closeServer) return std::string();

    const HANDLE server = openServer(nullptr);
    if (!server) return std::string();

    std::string address;
    BYTE record[kRemoteAddressRecordBytes] = {};
    ULONG returned = 0;
    if (queryInformation(server, kCurrentSession, kWinStationRemoteAddress, record, sizeof record, &returned)) {
        uint16_t family = 0;
        std::memcpy(&family, record, sizeof family);
        if (family == AF_INET) address = FormatNumericAddress(family, record + kIpv4AddressOffset);
        else if (family == AF_INET6) address = FormatNumericAddress(family, record + kIpv6AddressOffset);
    }
    closeServer(server);
    return address;
}

HostLookupFn gHostLookup = ::gethostbyname;

std::string GetLocalIpAddress() {
    char name[1024] = {};
    if (::gethostname(name, sizeof name) == SOCKET_ERROR) {
        LogSocketFailure("gethostname");
        return std::string();
    }
    // The lookup may ask a DNS server that does not answer, and the caller is
    // Winlogon's thread: it runs detached and is given up after the bound of
    // a name resolution. Winsock's entry lives in the thread that made the
    // call, so the worker copies out what is kept.
    struct Lookup {
        std::string name;
        HostLookupFn lookup;
        bool found = false;
        uint16_t family = 0;
        BYTE address[16] = {};
        int error = 0;
    };
    auto lookup = std::make_shared<Lookup>();
    lookup->name = name;
    lookup->lookup = gHostLookup;
    const CallEnd end = RunDetached(
        [lookup] {
            const hostent* entry = lookup->lookup(lookup->name.c_str());
            lookup->error = ::WSAGetLastError();
            // An entry without a first address of its family's size is as unusable as none.
            const int needed = entry && entry->h_addrtype == AF_INET6 ? 16 : 4;
            if (!entry || !entry->h_addr_list || !entry->h_addr_list[0] || entry->h_length < needed) return;
            lookup->family = static_cast<uint16_t>(entry->h_addrtype);
            std::memcpy(lookup->address, entry->h_addr_list[0], static_cast<size_t>(needed));
            lookup->found = true;
        },
        kHostLookupMs);
    if (end == CallEnd::Failed) return std::string();
    if (end != CallEnd::Done || !lookup->found) {
        ::WSASetLastError(end == CallEnd::Done ? lookup->error : WSAETIMEDOUT);
        LogSocketFailure("gethostbyname");
        return std::string();
    }
    return FormatNumericAddress(lookup->family, lookup->address);
}

std::string FormatNumericAddress(uint16_t family, const void* addressBytes) {
    if (!addressBytes) return std::string();
    sockaddr_storage storage = {};
    int length = 0;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        std::memcpy(&v4->sin_addr, addressBytes, 4);
        length = sizeof(sockaddr_in);
    } else if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        std::memcpy(&v6->sin6_addr, addressBytes, 16);
        length = sizeof(sockaddr_in6);
    } else {
        return std::string();
    }
    char host[65] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        LogSocketFailure("getnameinfo");
        return std::string();
    }
    return host;
}
