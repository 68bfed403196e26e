#include "auth/recovery.h"

#include <mbedtls/pkcs5.h>

#include <cstdio>
#include <cstring>

#include "common/machine_lock.h"
#include "common/strings.h"
#include "diag/eventlog.h"
#include "diag/log.h"

// RtlGenRandom, exported by advapi32 under this name since Windows XP.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace {

// Wipes a string that held a code, typed or made, before its memory goes back
// to the heap. Codes are twelve digits: within std::string's own buffer, so
// nothing was left behind by a reallocation.
class WipedString {
public:
    explicit WipedString(std::string& text) : text_(text) {}
    ~WipedString() { WipeRecoveryText(text_); }
    WipedString(const WipedString&) = delete;
    WipedString& operator=(const WipedString&) = delete;

private:
    std::string& text_;
};

}  // namespace

void WipeRecoveryText(std::string& text) noexcept {
    if (!text.empty()) SecureZeroMemory(&text[0], text.size());
}

void WipeRecoveryText(std::wstring& text) noexcept {
    if (!text.empty()) SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
}

std::string NormalizeRecoveryCode(const std::wstring& typed) {
    std::string digits;
    WipedString wipe(digits);
    for (wchar_t c : typed) {
        if (c == L'-' || c == L' ') continue;
        if (c < L'0' || c > L'9' || digits.size() == kRecoveryCodeDigits) return std::string();
        digits.push_back(static_cast<char>(c));
    }
    return digits.size() == kRecoveryCodeDigits ? std::string(digits) : std::string();
}

void AppendRecoveryCode(std::string& out, const std::string& digits) {
    out.append(digits, 0, 4).append(1, '-').append(digits, 4, 4).append(1, '-').append(digits, 8, 4);
}

std::string FormatRecoveryCode(const std::string& digits) {
    return digits.substr(0, 4) + "-" + digits.substr(4, 4) + "-" + digits.substr(8, 4);
}

bool DeriveRecoveryHash(const std::string& password, const std::vector<uint8_t>& salt, DWORD iterations,
                        uint8_t (&out)[kRecoveryHashBytes]) {
    if (mbedtls_pkcs5_pbkdf2_hmac_ext(MBEDTLS_MD_SHA256, reinterpret_cast<const unsigned char*>(password.data()),
                                      password.size(), salt.data(), salt.size(), iterations, kRecoveryHashBytes,
                                      out) != 0) {
        LogMessage("ERROR: Recovery code hash cannot be computed");
        return false;
    }
    return true;
}

long MatchRecoveryHash(const uint8_t (&hash)[kRecoveryHashBytes], const std::vector<uint8_t>& hashes) {
    long found = -1;
    const size_t count = hashes.size() / kRecoveryHashBytes;
    for (size_t i = 0; i < count; ++i) {
        unsigned difference = 0;
        for (size_t b = 0; b < kRecoveryHashBytes; ++b) difference |= hash[b] ^ hashes[i * kRecoveryHashBytes + b];
        // All ones when equal, zero otherwise: the choice is made without a branch.
        const long equal = -static_cast<long>((difference - 1u) >> 31 & 1u);
        found = (found & ~equal) | (static_cast<long>(i) & equal);
    }
    return found;
}

bool RecoveryRandom(void* buffer, size_t length) {
    if (!SystemFunction036(buffer, static_cast<ULONG>(length))) {
        LogSystemCallFailure("RtlGenRandom", ::GetLastError());
        return false;
    }
    return true;
}

bool MakeRecoverySet(size_t count, RecoverySet& set, std::vector<std::string>& codes) {
    set = RecoverySet();
    codes.clear();
    // Room for every code up front: a vector that grows would leave copies
    // of the codes already made in the memory it gives back.
    codes.reserve(count);
    set.salt.assign(kRecoverySaltBytes, 0);
    if (!RecoveryRandom(set.salt.data(), set.salt.size())) return false;
    set.iterations = kRecoveryIterations;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    set.created = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    while (codes.size() < count) {
        std::string digits;
        WipedString wipe(digits);
        while (digits.size() < kRecoveryCodeDigits) {
            // Bytes of 250 and more are drawn again, so each digit is uniform.
            unsigned char byte = 0;
            if (!RecoveryRandom(&byte, 1)) return false;
            if (byte < 250) digits.push_back(static_cast<char>('0' + byte % 10));
        }
        uint8_t hash[kRecoveryHashBytes];
        if (!DeriveRecoveryHash(digits, set.salt, set.iterations, hash)) return false;
        // Two equal codes in one set would be one code that works twice.
        if (MatchRecoveryHash(hash, set.hashes) >= 0) continue;
        set.hashes.insert(set.hashes.end(), hash, hash + sizeof hash);
        codes.push_back(digits);
    }
    return true;
}

std::string FormatRecoverySetTime(ULONGLONG filetime) {
    const FILETIME ft = {static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)};
    SYSTEMTIME t = {};
    if (!::FileTimeToSystemTime(&ft, &t)) return "(unknown time)";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    return text;
}

namespace {

RecoveryLoad LoadAndReport(RecoverySet& set) {
    std::string reason;
    const RecoveryLoad load = LoadRecoverySet(set, reason);
    if (load == RecoveryLoad::Malformed)
        ReportToEventLog(EVENTLOG_ERROR_TYPE, "Recovery codes cannot be used: " + reason);
    return load;
}

}  // namespace

bool RecoveryCodesAvailable() {
    RecoverySet set;
    return LoadAndReport(set) == RecoveryLoad::Loaded;
}

RecoveryCheck UseRecoveryCode(const std::wstring& typed, size_t& left) {
    // A typed text that is no code at all still costs one derivation, so
    // the time taken does not tell a malformed entry from a wrong code.
    std::string digits = NormalizeRecoveryCode(typed);
    WipedString wipe(digits);
    const std::string candidate = digits.empty() ? std::string(kRecoveryCodeDigits, 'x') : std::string();
    const std::string& password = digits.empty() ? candidate : digits;

    // The derivation (about 100 ms) runs before the lock, against the set as
    // it is now; under the lock the set is read again, and derived again
    // only if a new set came in between.
    RecoverySet seen;
    std::string ignored;
    uint8_t hash[kRecoveryHashBytes];
    bool derived = LoadRecoverySet(seen, ignored) == RecoveryLoad::Loaded &&
                   DeriveRecoveryHash(password, seen.salt, seen.iterations, hash);

    MachineLock lock(kRecoveryLockName, kRecoveryLockSecurity);
    switch (lock.state()) {
    case MachineLockState::NotOurs:
        ReportToEventLog(EVENTLOG_ERROR_TYPE, "Recovery code refused: the lock \"" + ToUtf8(kRecoveryLockName) +
                                                  "\" was created by another account (" + lock.owner() + ")");
        return RecoveryCheck::NotChecked;
    case MachineLockState::Unavailable:
        LogSystemCallFailure(lock.failure().name, lock.failure().error);
        LogMessage("ERROR: Recovery code refused: the recovery codes' lock cannot be opened");
        return RecoveryCheck::NotChecked;
    case MachineLockState::Usable:
        break;
    }
    if (!lock.Acquire(kRecoveryLockWaitMs)) {
        if (lock.failure().name) LogSystemCallFailure(lock.failure().name, lock.failure().error);
        LogMessage("ERROR: Recovery code refused: another logon held the recovery codes' lock for " +
                   std::to_string(kRecoveryLockWaitMs / 1000) + " s");
        return RecoveryCheck::NotChecked;
    }

    RecoverySet set;
    long index = -1;
    if (LoadAndReport(set) == RecoveryLoad::Loaded) {
        if (!derived || set.salt != seen.salt || set.iterations != seen.iterations)
            derived = DeriveRecoveryHash(password, set.salt, set.iterations, hash);
        if (derived && !digits.empty()) index = MatchRecoveryHash(hash, set.hashes);
    }
    if (index < 0) {
        // Served while holding the lock: every session's tries wait for it,
        // so wrong codes are paced per machine, not per dialog.
        ::Sleep(kWrongRecoveryCodePauseMs);
        return RecoveryCheck::Wrong;
    }
    // Removed by value from the set just read: what other sessions removed
    // meanwhile stays removed.
    std::vector<uint8_t> remaining = set.hashes;
    remaining.erase(remaining.begin() + index * static_cast<long>(kRecoveryHashBytes),
                    remaining.begin() + (index + 1) * static_cast<long>(kRecoveryHashBytes));
    if (StoreRemainingRecoveryHashes(remaining) != ERROR_SUCCESS) {
        LogMessage("ERROR: Recovery code matched but could not be removed; refusing it");
        return RecoveryCheck::NotRemoved;
    }
    left = remaining.size() / kRecoveryHashBytes;
    return RecoveryCheck::Accepted;
}
