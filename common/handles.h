#pragma once
// Owners of the kernel, registry, module and event-source handles the module uses.
// WinHTTP and CryptoAPI owners live beside their users in net/.

#include <windows.h>

#include "common/unique_any.h"

namespace handle_traits {

// Handles whose "none" value is null: threads, events.
struct Handle {
    using pointer = HANDLE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};

// Handles whose "none" value is INVALID_HANDLE_VALUE: files.
struct File {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};

struct HKey {
    using pointer = HKEY;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct HModule {
    using pointer = HMODULE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::FreeLibrary(h); }
};

struct EventSource {
    using pointer = HANDLE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DeregisterEventSource(h); }
};

// Memory the system allocated for the caller with LocalAlloc (security
// descriptors built from text, for instance).
struct LocalMemory {
    using pointer = HLOCAL;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::LocalFree(h); }
};

// A timer of the default timer queue. Deleting it waits until a callback
// already running has returned, so whatever the callback uses may be released
// right after the owner is.
struct TimerQueueTimer {
    using pointer = HANDLE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DeleteTimerQueueTimer(nullptr, h, INVALID_HANDLE_VALUE); }
};

// Memory that an API hands out for GlobalFree (WinHttpGetDefaultProxyConfiguration's strings).
struct GlobalMemory {
    using pointer = void*;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::GlobalFree(h); }
};

// Directory searches (FindFirstFileW), closed with FindClose, not CloseHandle.
struct FindSearch {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::FindClose(h); }
};

}  // namespace handle_traits

using unique_handle = unique_any<handle_traits::Handle>;
using unique_hfile = unique_any<handle_traits::File>;
using unique_hkey = unique_any<handle_traits::HKey>;
using unique_hmodule = unique_any<handle_traits::HModule>;
using unique_event_source = unique_any<handle_traits::EventSource>;
using unique_hlocal = unique_any<handle_traits::LocalMemory>;
using unique_timer = unique_any<handle_traits::TimerQueueTimer>;
using unique_hglobal = unique_any<handle_traits::GlobalMemory>;
using unique_hfind = unique_any<handle_traits::FindSearch>;
