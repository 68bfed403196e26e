#pragma once
// A blocking platform call run on a thread of its own, so that its caller can
// stop waiting for it: the system's name lookups can hang far beyond any bound
// (a DNS server that does not answer), and so can Windows' chain building,
// which fetches URLs the peer's certificates name. Used by the module's own
// TLS client for name resolution and for Windows' root search
// (net/tls/root_update.cpp), and by the client-address lookup
// (net/identity.cpp).
//
// The work holds, through shared pointers, everything it touches, and the
// thread holds a reference on this module until it has let go of the work; so
// a call that returns after its caller gave up neither writes into freed
// memory nor runs code of an unloaded module.

#include <windows.h>

#include <functional>

enum class CallEnd { Done, TimedOut, Cancelled, Failed };

// Runs `work` and waits for it at most `ms` (INFINITE: without bound) and,
// when `cancel` is not null, until that event is signalled. Failed (logged):
// the thread could not be started or waited for.
CallEnd RunDetached(std::function<void()> work, DWORD ms, HANDLE cancel = nullptr);
