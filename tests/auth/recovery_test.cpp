// The recovery codes' pieces that need no registry: how a typed code is read,
// the derivation against published vectors, and the match over a set.
#include <gtest/gtest.h>

#include <cstring>

#include "auth/recovery.h"

namespace {

TEST(RecoveryCode, TypedCodesAreReadAsTwelveDigits) {
    const struct {
        const wchar_t* typed;
        const char* digits;  // "" for no code
    } rows[] = {
        {L"1234-5678-9012", "123456789012"},
        {L" 1234 5678 9012 ", "123456789012"},
        {L"123456789012", "123456789012"},
        {L"1234-5678-901", ""},       // eleven digits
        {L"1234-5678-90123", ""},     // thirteen
        {L"1234_5678_9012", ""},      // another separator
        {L"1234-5678-901\x0662", ""}, // a digit of another script
        {L"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(NormalizeRecoveryCode(row.typed), row.digits);
    EXPECT_EQ(FormatRecoveryCode("123456789012"), "1234-5678-9012");
}

// RFC 7914, section 11 (PBKDF2-HMAC-SHA256, "passwd" / "salt", c = 1), and
// the RFC 6070 inputs with c = 4096 as published for SHA-256: the first 32
// bytes of each.
TEST(RecoveryCode, DerivationMatchesPublishedVectors) {
    const struct {
        const char* password;
        const char* salt;
        DWORD iterations;
        uint8_t expected[32];
    } rows[] = {
        {"passwd", "salt", 1, {0x55, 0xac, 0x04, 0x6e, 0x56, 0xe3, 0x08, 0x9f, 0xec, 0x16, 0x91, 0xc2, 0x25, 0x44, 0xb6, 0x05,
                               0xf9, 0x41, 0x85, 0x21, 0x6d, 0xde, 0x04, 0x65, 0xe6, 0x8b, 0x9d, 0x57, 0xc2, 0x0d, 0xac, 0xbc}},
        {"password", "salt", 4096, {0xc5, 0xe4, 0x78, 0xd5, 0x92, 0x88, 0xc8, 0x41, 0xaa, 0x53, 0x0d, 0xb6, 0x84, 0x5c, 0x4c, 0x8d,
                                    0x96, 0x28, 0x93, 0xa0, 0x01, 0xce, 0x4e, 0x11, 0xa4, 0x96, 0x38, 0x73, 0xaa, 0x98, 0x13, 0x4a}},
    };
    for (const auto& row : rows) {
        const std::vector<uint8_t> salt(row.salt, row.salt + std::strlen(row.salt));
        uint8_t hash[kRecoveryHashBytes];
        ASSERT_TRUE(DeriveRecoveryHash(row.password, salt, row.iterations, hash));
        EXPECT_EQ(0, std::memcmp(hash, row.expected, sizeof hash)) << row.password << " " << row.iterations;
    }
}

TEST(RecoveryCode, MatchFindsTheOneEqualHashAnywhereInTheSet) {
    std::vector<uint8_t> set(3 * kRecoveryHashBytes);
    for (size_t i = 0; i < set.size(); ++i) set[i] = static_cast<uint8_t>(i);
    for (long index = 0; index < 3; ++index) {
        uint8_t hash[kRecoveryHashBytes];
        std::memcpy(hash, &set[index * kRecoveryHashBytes], sizeof hash);
        EXPECT_EQ(MatchRecoveryHash(hash, set), index);
        hash[kRecoveryHashBytes - 1] ^= 1;  // one bit off, in the last byte
        EXPECT_EQ(MatchRecoveryHash(hash, set), -1);
    }
    uint8_t none[kRecoveryHashBytes] = {};
    EXPECT_EQ(MatchRecoveryHash(none, {}), -1);
}

}  // namespace
