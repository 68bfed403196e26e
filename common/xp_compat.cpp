// XP-compatible stand-ins for the two Vista functions that libbson calls.
//
// libbson is built for Vista and later: its one-time initialisation calls
// InitOnceExecuteOnce and its clock calls GetTickCount64, both through the
// import pointers __imp_<name>. Defining those pointers here, in an object
// linked directly into the module, makes the linker bind libbson to these
// versions and leave kernel32's Vista exports out of the import table, so the
// module still loads on Windows XP x64 / Server 2003 x64.

#include <windows.h>

namespace {

using InitOnceFn = BOOL(WINAPI*)(void** once, void* parameter, void** context);

// The once-object is one pointer-sized word: 0 not run, 1 running, 2 done.
BOOL WINAPI XpInitOnceExecuteOnce(void** once, InitOnceFn fn, void* parameter, void** context) {
    auto* word = reinterpret_cast<PVOID volatile*>(once);
    for (;;) {
        const PVOID seen = InterlockedCompareExchangePointer(word, reinterpret_cast<PVOID>(1), nullptr);
        if (seen == nullptr) {
            const BOOL ok = fn(once, parameter, context);
            InterlockedExchangePointer(word, reinterpret_cast<PVOID>(ok ? 2 : 0));
            return ok;
        }
        if (seen == reinterpret_cast<PVOID>(2)) {
            if (context) *context = nullptr;
            return TRUE;
        }
        ::Sleep(0);  // another thread is running fn: wait for it
    }
}

// Extends GetTickCount to 64 bits by counting its wraps. Each call publishes the
// last tick seen with one compare-exchange, so concurrent callers agree; a wrap
// is noticed as long as the clock is read at least once every 49.7 days.
volatile LONG64 gLastTick = 0;  // high 32 bits: wraps, low 32 bits: last tick

ULONGLONG WINAPI XpGetTickCount64() {
    for (;;) {
        const LONG64 last = gLastTick;
        const DWORD tick = ::GetTickCount();
        ULONGLONG wraps = static_cast<ULONGLONG>(last) >> 32;
        if (tick < static_cast<DWORD>(last)) ++wraps;
        const LONG64 now = static_cast<LONG64>((wraps << 32) | tick);
        if (InterlockedCompareExchange64(&gLastTick, now, last) == last) return static_cast<ULONGLONG>(now);
    }
}

}  // namespace

extern "C" {
void* __imp_InitOnceExecuteOnce = reinterpret_cast<void*>(&XpInitOnceExecuteOnce);
void* __imp_GetTickCount64 = reinterpret_cast<void*>(&XpGetTickCount64);
}
