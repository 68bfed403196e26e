#pragma once
// Break-glass recovery codes: one-time codes an administrator makes per
// machine (vyn-recovery) and reads out, by phone, when the authentication
// service cannot be reached and FailOpen is clear. A code is 12 random digits;
// the store (config/recovery_store.h) keeps only a salted PBKDF2-HMAC-SHA256
// hash of each. Used by the gate on Winlogon's thread, and by vyn-recovery.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/recovery_store.h"

constexpr size_t kRecoveryCodeDigits = 12;
constexpr size_t kDefaultRecoveryCodes = 10;
// Chosen so that checking one typed code (one derivation, then a comparison
// with every stored hash) takes about 100 ms of processor time on the build
// machine (scripts/bench-recovery.sh measures it): slow enough that a stolen
// store yields codes only slowly, quick enough for Winlogon's thread. Each set
// records the count it was made with, so a later change leaves sets already
// handed out working.
constexpr DWORD kRecoveryIterations = 120000;

// What each wrong code costs, the fifth included, served by UseRecoveryCode
// while it holds the store's lock: fifty sessions guess no faster than one.
constexpr DWORD kWrongRecoveryCodePauseMs = 2000;

// The 12 digits of a typed code, dashes and spaces dropped; empty when
// anything else is left or the count is not 12. The caller wipes the result.
std::string NormalizeRecoveryCode(const std::wstring& typed);
// "1234-5678-9012": groups of four, to be read out over the phone.
std::string FormatRecoveryCode(const std::string& digits);
// The same, appended to `out` in place, leaving no temporary copy behind
// (vyn-recovery's output, reserved up front and wiped after it is written).
void AppendRecoveryCode(std::string& out, const std::string& digits);
// SecureZeroMemory over the characters of a text that held a code.
void WipeRecoveryText(std::string& text) noexcept;
void WipeRecoveryText(std::wstring& text) noexcept;

// PBKDF2-HMAC-SHA256 of `password` over `salt`, 32 bytes, by the TLS
// library's own PKCS#5 code. False (logged) only when that library fails.
bool DeriveRecoveryHash(const std::string& password, const std::vector<uint8_t>& salt, DWORD iterations,
                        uint8_t (&out)[kRecoveryHashBytes]);
// The index of the stored hash equal to `hash`, or -1. Every stored hash is
// compared whole, whatever matched, so the time taken says nothing about
// which bytes were right.
long MatchRecoveryHash(const uint8_t (&hash)[kRecoveryHashBytes], const std::vector<uint8_t>& hashes);

// Random bytes from RtlGenRandom; false (logged) when it fails.
bool RecoveryRandom(void* buffer, size_t length);
// A new set of `count` codes: `set` to store, `codes` (digits) to hand out.
bool MakeRecoverySet(size_t count, RecoverySet& set, std::vector<std::string>& codes);

// "2026-12-08 21:45 UTC" for a set's making time (a FILETIME).
std::string FormatRecoverySetTime(ULONGLONG filetime);

// Whether at least one code is stored; a malformed store counts as none and
// is reported to the event log, once for this reading.
bool RecoveryCodesAvailable();

enum class RecoveryCheck {
    Accepted,    // the code matched and is removed for good
    Wrong,       // no stored code matches
    NotRemoved,  // it matched, but its removal could not be written: refused
    NotChecked,  // the store's lock was busy past kRecoveryLockWaitMs, or not ours: refused (logged)
};
// Checks a typed code and removes it when it matches, under the store's
// machine-wide lock: the set is read again there, the matched hash removed
// from what was read, written and flushed before the lock is released. A
// wrong code pays kWrongRecoveryCodePauseMs before the lock is released.
// `left` is the number of codes that remain after an accepted one. Called
// on Winlogon's thread by the recovery dialog's check.
RecoveryCheck UseRecoveryCode(const std::wstring& typed, size_t& left);
