#include "auth/recovery.h"

#include <mbedtls/md.h>

#include <cstdio>
#include <cstring>

#include "diag/eventlog.h"
#include "diag/log.h"

// RtlGenRandom, exported by advapi32 under this name since Windows XP.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace {

// Owner of one HMAC context of the hash library.
class HmacContext {
public:
    HmacContext() { mbedtls_md_init(&context_); }
    ~HmacContext() { mbedtls_md_free(&context_); }
    HmacContext(const HmacContext&) = delete;
    HmacContext& operator=(const HmacContext&) = delete;
    mbedtls_md_context_t* get() { return &context_; }

private:
    mbedtls_md_context_t context_;
};

}  // namespace

std::string NormalizeRecoveryCode(const std::wstring& typed) {
    std::string digits;
    for (wchar_t c : typed) {
        if (c == L'-' || c == L' ') continue;
        if (c < L'0' || c > L'9' || digits.size() == kRecoveryCodeDigits) return std::string();
        digits.push_back(static_cast<char>(c));
    }
    return digits.size() == kRecoveryCodeDigits ? digits : std::string();
}

std::string FormatRecoveryCode(const std::string& digits) {
    return digits.substr(0, 4) + "-" + digits.substr(4, 4) + "-" + digits.substr(8, 4);
}

bool DeriveRecoveryHash(const std::string& password, const std::vector<uint8_t>& salt, DWORD iterations,
                        uint8_t (&out)[kRecoveryHashBytes]) {
    const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    HmacContext hmac;
    if (sha256 == nullptr || mbedtls_md_setup(hmac.get(), sha256, 1) != 0 ||
        mbedtls_md_hmac_starts(hmac.get(), reinterpret_cast<const unsigned char*>(password.data()),
                               password.size()) != 0) {
        LogMessage("ERROR: Recovery code hash cannot be computed");
        return false;
    }
    // One block of output (32 bytes, the hash's own size): U1 = HMAC(P, S ||
    // 1), Ui = HMAC(P, Ui-1), the result the XOR of all of them.
    static const unsigned char kBlockOne[4] = {0, 0, 0, 1};
    unsigned char u[kRecoveryHashBytes];
    int failed = mbedtls_md_hmac_update(hmac.get(), salt.data(), salt.size()) |
                 mbedtls_md_hmac_update(hmac.get(), kBlockOne, sizeof kBlockOne) |
                 mbedtls_md_hmac_finish(hmac.get(), u);
    std::memcpy(out, u, sizeof u);
    for (DWORD i = 1; i < iterations && failed == 0; ++i) {
        failed = mbedtls_md_hmac_reset(hmac.get()) | mbedtls_md_hmac_update(hmac.get(), u, sizeof u) |
                 mbedtls_md_hmac_finish(hmac.get(), u);
        for (size_t b = 0; b < sizeof u; ++b) out[b] ^= u[b];
    }
    if (failed != 0) {
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
    set.salt.assign(kRecoverySaltBytes, 0);
    if (!RecoveryRandom(set.salt.data(), set.salt.size())) return false;
    set.iterations = kRecoveryIterations;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    set.created = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    while (codes.size() < count) {
        std::string digits;
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
    RecoverySet set;
    if (LoadAndReport(set) != RecoveryLoad::Loaded) return RecoveryCheck::Wrong;
    // A typed text that is no code at all still costs one derivation, so
    // the time taken does not tell a malformed entry from a wrong code.
    const std::string digits = NormalizeRecoveryCode(typed);
    uint8_t hash[kRecoveryHashBytes];
    if (!DeriveRecoveryHash(digits.empty() ? std::string(kRecoveryCodeDigits, 'x') : digits, set.salt,
                            set.iterations, hash))
        return RecoveryCheck::Wrong;
    const long index = digits.empty() ? -1 : MatchRecoveryHash(hash, set.hashes);
    if (index < 0) return RecoveryCheck::Wrong;
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
