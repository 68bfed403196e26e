#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <string>

#include "common/strings.h"

namespace {

struct Pair {
    std::wstring wide;
    std::string utf8;
};

class Utf8Conversion : public testing::TestWithParam<Pair> {};

TEST_P(Utf8Conversion, BothWays) {
    EXPECT_EQ(ToUtf8(GetParam().wide), GetParam().utf8);
    EXPECT_EQ(FromUtf8(GetParam().utf8), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Conversion,
    testing::Values(Pair{L"", ""}, Pair{L"alice", "alice"}, Pair{L"CORP\\alice", "CORP\\alice"},
                    Pair{L"J\u00F6rg M\u00FCller", "J\xC3\xB6rg M\xC3\xBCller"},
                    Pair{L"\u65E5\u672C\u8A9E", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
                    // A character outside the basic plane: a surrogate pair in UTF-16.
                    Pair{L"\U0001F512 ok", "\xF0\x9F\x94\x92 ok"},
                    // Embedded NULs are characters like any other.
                    Pair{std::wstring(L"a\0b", 3), std::string("a\0b", 3)}));

TEST(ToUtf8, NullPointerReadsAsEmpty) { EXPECT_EQ(ToUtf8(static_cast<const wchar_t*>(nullptr)), ""); }

TEST(ToUtf8, PointerReadsUpToTheNul) { EXPECT_EQ(ToUtf8(L"Pr\u00FCfung"), "Pr\xC3\xBC" "fung"); }

}  // namespace
