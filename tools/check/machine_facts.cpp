#include "tools/check/machine_facts.h"

#include <windows.h>
#include <ntsecapi.h>

#include <cstdio>

#include "common/strings.h"
#include "common/unique_any.h"
#include "diag/log.h"

namespace handle_traits {
// A handle to the machine's local security policy.
struct LsaPolicy {
    using pointer = LSA_HANDLE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::LsaClose(h); }
};
// A buffer the local security authority allocated for the caller.
struct LsaMemory {
    using pointer = void*;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer p) noexcept { ::LsaFreeMemory(p); }
};
}  // namespace handle_traits

namespace {

using unique_lsa_policy = unique_any<handle_traits::LsaPolicy>;
using unique_lsa_memory = unique_any<handle_traits::LsaMemory>;

std::string ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &length)) {
        LogSystemCallFailure("GetComputerNameW", ::GetLastError());
        return std::string();
    }
    return ToUtf8(std::wstring(name, length));
}

// The primary domain's NetBIOS name for a domain member, the workgroup's for
// any other machine: the name in which the share sees this machine's account.
std::string DomainOrWorkgroup() {
    LSA_OBJECT_ATTRIBUTES attributes = {};
    unique_lsa_policy policy;
    NTSTATUS status = ::LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, policy.put());
    if (status != 0) {
        LogSystemCallFailure("LsaOpenPolicy", ::LsaNtStatusToWinError(status));
        return std::string();
    }
    void* raw = nullptr;
    status = ::LsaQueryInformationPolicy(policy.get(), PolicyPrimaryDomainInformation, &raw);
    const unique_lsa_memory info(raw);
    if (status != 0) {
        LogSystemCallFailure("LsaQueryInformationPolicy", ::LsaNtStatusToWinError(status));
        return std::string();
    }
    const auto* primary = static_cast<const POLICY_PRIMARY_DOMAIN_INFO*>(info.get());
    if (primary == nullptr || primary->Name.Buffer == nullptr) return std::string();
    return ToUtf8(std::wstring(primary->Name.Buffer, primary->Name.Length / sizeof(wchar_t)));
}

const char* ArchitectureWord(WORD architecture) {
    switch (architecture) {
        case PROCESSOR_ARCHITECTURE_AMD64: return "x64";
        case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
        case PROCESSOR_ARCHITECTURE_IA64: return "ia64";
        default: return "unknown";
    }
}

std::string UtcNow() {
    SYSTEMTIME now = {};
    ::GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

}  // namespace

MachineFacts ReadMachineFacts() {
    MachineFacts facts;
    facts.machine = ComputerName();
    facts.domain = DomainOrWorkgroup();
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        facts.osVersion = std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                          std::to_string(version.dwBuildNumber);
        facts.servicePack = ToUtf8(version.szCSDVersion);
    } else {
        LogSystemCallFailure("GetVersionExW", ::GetLastError());
    }
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    facts.architecture = ArchitectureWord(system.wProcessorArchitecture);
    facts.checkedAt = UtcNow();
    return facts;
}
