#pragma once
// The TLS library's process-wide set-up, done once by the module's own TLS
// client before its first use of the library.

// Installs the CRITICAL_SECTION mutexes of the library's global state and
// starts its PSA crypto core (key slots, random generator). Safe to call from
// any thread any number of times. Returns false (logged) when the crypto core
// cannot start; the next call tries again.
bool EnsureTlsLibrary() noexcept;
