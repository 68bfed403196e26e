#pragma once
// The time bounds of the module's own TLS client (net/builtin_tls.cpp): each
// step of a connection waits until its deadline at most.

#include <windows.h>

#include <cstdint>

// A point in time after which a wait gives up; "never" for no bound.
class Deadline {
public:
    static Deadline Never() { return Deadline(); }
    static Deadline In(DWORD ms) {
        Deadline d;
        d.bounded_ = true;
        d.start_ = ::GetTickCount();
        d.span_ = ms;
        return d;
    }
    // Milliseconds left (INFINITE when unbounded); 0 once passed.
    DWORD Remaining() const {
        if (!bounded_) return INFINITE;
        const DWORD elapsed = ::GetTickCount() - start_;  // unsigned: correct across the 49-day wrap
        return elapsed >= span_ ? 0 : span_ - elapsed;
    }

private:
    bool bounded_ = false;
    DWORD start_ = 0;
    DWORD span_ = 0;
};

// The bound of one wait for a request's time-out value.
inline DWORD BoundMs(int32_t timeoutSeconds, DWORD whenUnset) {
    if (timeoutSeconds == 0) return whenUnset;
    if (timeoutSeconds < 0) return INFINITE;
    return static_cast<DWORD>(timeoutSeconds) * 1000u;
}

inline Deadline DeadlineFor(DWORD ms) { return ms == INFINITE ? Deadline::Never() : Deadline::In(ms); }
