// The logon host's options for the status dialog and its report.
#include <windows.h>

#include <gtest/gtest.h>

#include "tools/logon_host/dialog_watch.h"

namespace {

int Parse(std::vector<std::wstring> args, StatusDialogScript& script) {
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(&a[0]);
    return ParseStatusDialogOption(0, static_cast<int>(argv.size()), argv.data(), script);
}

TEST(StatusDialogOptions, CancelAfterAndCancelOn) {
    StatusDialogScript script;
    EXPECT_EQ(script.cancelAfterMs, static_cast<DWORD>(INFINITE));
    EXPECT_EQ(Parse({L"--cancel-after", L"1500"}, script), 2);
    EXPECT_EQ(script.cancelAfterMs, 1500u);
    EXPECT_EQ(Parse({L"--cancel-on", L"Pushed a login request"}, script), 2);
    EXPECT_EQ(script.cancelOnText, L"Pushed a login request");
}

TEST(StatusDialogOptions, OtherOptionsAreLeftToTheHostAndBadValuesRefused) {
    StatusDialogScript script;
    EXPECT_EQ(Parse({L"--user", L"alice"}, script), 0);
    EXPECT_EQ(Parse({L"--cancel-after"}, script), -1);
    EXPECT_EQ(Parse({L"--cancel-after", L"12x"}, script), -1);
    EXPECT_EQ(Parse({L"--cancel-after", L"-5"}, script), -1);
    EXPECT_EQ(Parse({L"--cancel-after", L"9999999999"}, script), -1);
    EXPECT_EQ(Parse({L"--cancel-on", L""}, script), -1);
    EXPECT_EQ(script.cancelAfterMs, static_cast<DWORD>(INFINITE));
    EXPECT_TRUE(script.cancelOnText.empty());
}

TEST(StatusDialogRecordReport, OneLinePerTextThenCounts) {
    StatusDialogRecord record;
    record.texts = {L"A", L"Gr\u00fc\u00dfe"};
    record.dialogsShown = 1;
    record.cancelsPressed = 1;
    EXPECT_EQ(DescribeStatusDialogRecord(record),
              "status text: A\nstatus text: Gr\xC3\xBC\xC3\x9F" "e\nstatus dialogs shown: 1\ncancel pressed: 1\n");
}

}  // namespace
