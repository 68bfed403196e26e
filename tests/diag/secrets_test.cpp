// What of the user's answer reaches the log.
#include <gtest/gtest.h>

#include "diag/secrets.h"

namespace {

struct MaskCase {
    const char* answer;
    const char* logged;
};

class MaskAnswerForLogTest : public testing::TestWithParam<MaskCase> {};

TEST_P(MaskAnswerForLogTest, FactorWordsInClearEverythingElseMasked) {
    EXPECT_EQ(MaskAnswerForLog(GetParam().answer), GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MaskAnswerForLogTest,
    testing::Values(MaskCase{"push", "push"}, MaskCase{"phone", "phone"}, MaskCase{"sms", "sms"},
                    MaskCase{"auto", "auto"}, MaskCase{"PUSH", "PUSH"}, MaskCase{"Phone2", "Phone2"},
                    MaskCase{"sms1", "sms1"}, MaskCase{"push12", "push12"},
                    // Passcodes and anything else that is not a factor word.
                    MaskCase{"123456", "******"}, MaskCase{"", ""}, MaskCase{"push ", "*****"},
                    MaskCase{"push2a", "******"}, MaskCase{"pus", "***"}, MaskCase{"pushpush", "********"},
                    MaskCase{"2push", "*****"}, MaskCase{"smsx", "****"}, MaskCase{"phone-1", "*******"},
                    MaskCase{"autopush", "********"},
                    // Characters, not bytes: "pässe" is five characters in six bytes.
                    MaskCase{"p\xC3\xA4sse", "*****"}, MaskCase{"\xE2\x82\xAC" "1", "**"},
                    // Bytes above 0x7F never match a factor word's letters.
                    MaskCase{"p\xC4\xB1ush", "*****"}));

}  // namespace
