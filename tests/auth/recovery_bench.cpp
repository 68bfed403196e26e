// Benchmark, not a test: the cost of checking one typed recovery code as the
// gate does it (one derivation with the set's iteration count, then a
// comparison with every stored hash), against a full set of the default size
// and against the largest set. scripts/bench-recovery.sh runs it.
//   recovery_bench [runs]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "auth/recovery.h"

namespace {

ULONGLONG ThreadCpu100ns() {
    FILETIME created, exited, kernel, user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    return ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
           ((static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
}

// The median wall time of one check, and (in cpuMs) the processor time of
// one, averaged: on a busy machine the wall time also holds the waits for a
// processor, which the processor time leaves out.
double MedianCheckMs(const RecoverySet& set, int runs, double& cpuMs) {
    const ULONGLONG cpuStart = ThreadCpu100ns();
    std::vector<double> times;
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER start, end;
        ::QueryPerformanceCounter(&start);
        uint8_t hash[kRecoveryHashBytes];
        DeriveRecoveryHash("123456789012", set.salt, set.iterations, hash);
        volatile long found = MatchRecoveryHash(hash, set.hashes);
        (void)found;
        ::QueryPerformanceCounter(&end);
        times.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart));
    }
    cpuMs = static_cast<double>(ThreadCpu100ns() - cpuStart) / 10000.0 / runs;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? std::max(1, static_cast<int>(std::wcstol(argv[1], nullptr, 10))) : 9;
    for (size_t codes : {kDefaultRecoveryCodes, kMaxRecoveryCodes}) {
        RecoverySet set;
        set.salt.assign(kRecoverySaltBytes, 0x5A);
        set.iterations = kRecoveryIterations;
        set.hashes.assign(codes * kRecoveryHashBytes, 0xA5);
        double cpuMs = 0;
        const double wallMs = MedianCheckMs(set, runs, cpuMs);
        std::printf("one recovery-code check, %u codes, %lu iterations: %.1f ms (median of %d), %.1f ms of "
                    "processor time\n",
                    static_cast<unsigned>(codes), static_cast<unsigned long>(set.iterations), wallMs, runs, cpuMs);
    }
    return 0;
}
