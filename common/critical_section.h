#pragma once
// A CRITICAL_SECTION owned by the object that embeds it, and a scope that holds
// it. Used where two threads touch one object (the win32 thread model of the
// toolchain has no std::mutex).

#include <windows.h>

class CCriticalSection {
public:
    CCriticalSection() noexcept { ::InitializeCriticalSection(&section_); }
    ~CCriticalSection() { ::DeleteCriticalSection(&section_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    CRITICAL_SECTION* get() noexcept { return &section_; }

private:
    CRITICAL_SECTION section_;
};

class CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(CCriticalSection& section) noexcept : section_(section.get()) {
        ::EnterCriticalSection(section_);
    }
    ~CCriticalSectionLock() { ::LeaveCriticalSection(section_); }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION* section_;
};
