// The platform pieces the TLS library is configured to take from the module
// (net/tls/mbedtls_config.h): mutexes, randomness and calendar time, each from
// a function XP x64 / Server 2003 x64 have.
#include "net/tls/tls_platform.h"

#include <windows.h>

#include <mbedtls/platform_util.h>
#include <mbedtls/threading.h>
#include <psa/crypto.h>

#include <cstring>
#include <ctime>
#include <string>

#include "diag/log.h"

// RtlGenRandom, exported by advapi32 under this name since Windows XP. It
// needs no provider handle, so it cannot fail for want of a key container
// the way CryptAcquireContext can on a locked-down machine.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace {

void MutexInit(mbedtls_threading_mutex_t* mutex) {
    ::InitializeCriticalSection(&mutex->section);
    mutex->initialised = 1;
}

void MutexFree(mbedtls_threading_mutex_t* mutex) {
    if (mutex->initialised) ::DeleteCriticalSection(&mutex->section);
    mutex->initialised = 0;
}

int MutexLock(mbedtls_threading_mutex_t* mutex) {
    if (!mutex->initialised) return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
    ::EnterCriticalSection(&mutex->section);
    return 0;
}

int MutexUnlock(mbedtls_threading_mutex_t* mutex) {
    if (!mutex->initialised) return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
    ::LeaveCriticalSection(&mutex->section);
    return 0;
}

// Installed once; the library's global mutexes stay for the life of the
// process: a TLS client of another thread may still be closing when the
// module unloads.
struct TlsThreading {
    TlsThreading() { mbedtls_threading_set_alt(MutexInit, MutexFree, MutexLock, MutexUnlock); }
};

}  // namespace

bool EnsureTlsLibrary() noexcept {
    // A function-local static: the compiler guards its construction, so two
    // threads starting their first connection at once install the mutexes once.
    static TlsThreading threading;
    // Asked at every request: a start that failed (randomness unavailable for
    // a while) is tried again at the next one, so one bad moment does not
    // disable this client for the life of Winlogon. Once started, the call
    // only checks that under the library's own lock.
    const psa_status_t status = psa_crypto_init();
    if (status != PSA_SUCCESS) {
        LogMessage("ERROR: The TLS library's crypto core did not start (" + std::to_string(status) + ")");
        return false;
    }
    return true;
}

extern "C" psa_status_t mbedtls_psa_external_get_random(mbedtls_psa_external_random_context_t*, uint8_t* output,
                                                        size_t size, size_t* length) {
    *length = 0;
    while (*length < size) {
        const size_t remaining = size - *length;
        const ULONG part = remaining > 0x10000 ? 0x10000 : static_cast<ULONG>(remaining);
        if (!SystemFunction036(output + *length, part)) {
            LogSystemCallFailure("RtlGenRandom", ::GetLastError());
            return PSA_ERROR_INSUFFICIENT_ENTROPY;
        }
        *length += part;
    }
    return PSA_SUCCESS;
}

// Certificate validity is checked against UTC calendar time. msvcrt.dll of
// XP x64 has no gmtime_s, and its gmtime uses one buffer per thread, so the
// conversion is done here with the Win32 calendar functions.
extern "C" struct tm* mbedtls_platform_gmtime_r(const mbedtls_time_t* tt, struct tm* tm_buf) {
    // Seconds since 1970 to 100 ns intervals since 1601.
    const long long seconds = static_cast<long long>(*tt);
    if (seconds < 0) return nullptr;
    ULARGE_INTEGER ticks;
    ticks.QuadPart = (static_cast<unsigned long long>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME fileTime;
    fileTime.dwLowDateTime = ticks.LowPart;
    fileTime.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME st;
    if (!::FileTimeToSystemTime(&fileTime, &st)) return nullptr;
    std::memset(tm_buf, 0, sizeof(*tm_buf));
    tm_buf->tm_year = st.wYear - 1900;
    tm_buf->tm_mon = st.wMonth - 1;
    tm_buf->tm_mday = st.wDay;
    tm_buf->tm_hour = st.wHour;
    tm_buf->tm_min = st.wMinute;
    tm_buf->tm_sec = st.wSecond;
    tm_buf->tm_wday = st.wDayOfWeek;
    return tm_buf;
}
