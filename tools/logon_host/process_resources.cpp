// Counts of this process's resources for --repeat (see process_resources.h).
#include "tools/logon_host/process_resources.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "common/handles.h"
#include "tools/logon_host/host_output.h"

namespace {

// Wine's GetProcessHandleCount always answers 0, so handles are counted in the
// system's handle table (SystemHandleInformation), which both Wine and
// Windows fill in.
struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectTypeIndex;
    UCHAR attributes;
    USHORT handleValue;
    PVOID object;
    ULONG grantedAccess;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The committed private memory of this process, as the pages the address
// space holds privately committed (Wine leaves PrivateUsage at 0).
unsigned long long CommittedPrivateBytes() {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return total;
}

}  // namespace

long CountHandles() {
    static const auto query = reinterpret_cast<NtQuerySystemInformationFn>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    if (!query) return -1;
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch && buffer.size() < (64u << 20)) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return -1;
        break;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    // The table holds 16-bit process ids; compare the low bits of ours.
    const USHORT self = static_cast<USHORT>(::GetCurrentProcessId());
    long mine = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].processId == self) ++mine;
    return mine;
}

// The threads of this process, from a system snapshot (GetProcessHandleCount's
// thread twin does not exist; the snapshot works from XP on and under Wine).
long CountThreads() {
    const unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return -1;
    const DWORD self = ::GetCurrentProcessId();
    long mine = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == self) ++mine;
    return mine;
}

// PROCESS_MEMORY_COUNTERS_EX.PrivateUsage where the platform fills it in.
unsigned long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters) &&
        counters.PrivateUsage != 0)
        return counters.PrivateUsage;
    return CommittedPrivateBytes();
}

void ReportResources(const char* when) {
    Report("host: resources %s: handles %ld, private bytes %llu, threads %ld", when, CountHandles(), PrivateBytes(),
           CountThreads());
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}
