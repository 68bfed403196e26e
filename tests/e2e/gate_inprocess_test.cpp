// The gate compiled into the test itself, for the two things the module on
// Wine cannot show from outside: a remote (Terminal Services) session, and a
// failure of a type outside the module's exception family inside
// pre-authentication. Both go through the client-identity platform table, the
// one place that asks whether the session is remote.
#include <winsock2.h>
#include <windows.h>

#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gina/gate.h"
#include "gina/module_objects.h"
#include "net/identity.h"
#include "tests/config/registry_helpers.h"
#include "tests/support/log_capture.h"
#include "tests/support/refservice.h"
#include "ui/dialog_host.h"

namespace {

constexpr char kSkey[] = "e2e-inprocess-secret-key-0123456789abcdef";

struct Box {
    std::wstring text;
    UINT style;
    HWND owner;
};
std::vector<Box> gBoxes;

int WINAPI RecordMessageBox(HANDLE, HWND owner, LPWSTR text, LPWSTR, UINT style) {
    gBoxes.push_back({text, style, owner});
    return IDOK;
}

// The session as the test plays it: remote or console; and how many times
// the question may be answered before it throws a foreign exception.
int gRemote = 0;
int gAnswersBeforeThrow = -1;
int gQuestions = 0;

int WINAPI FakeGetSystemMetrics(int index) {
    if (index != SM_REMOTESESSION) return ::GetSystemMetrics(index);
    ++gQuestions;
    if (gAnswersBeforeThrow >= 0 && gQuestions > gAnswersBeforeThrow) throw std::bad_alloc();
    return gRemote;
}
// No remote-session library: the client address stays unknown.
HMODULE WINAPI NoLibrary(LPCWSTR) { return nullptr; }

class GateInProcess : public testing::Test {
protected:
    void SetUp() override {
        saved_ = gIdentityPlatform;
        gIdentityPlatform.getSystemMetrics = &FakeGetSystemMetrics;
        gIdentityPlatform.loadLibrary = &NoLibrary;
        gRemote = 0;
        gAnswersBeforeThrow = -1;
        gQuestions = 0;
        gBoxes.clear();
        table_.WlxMessageBox = &RecordMessageBox;
        gWinlogonFunctions = &table_;
        gCurrentUsername = "alice";

        ikey = refservice::UniqueIkey();
        testreg::DeleteKey(testreg::kPolicyKey);
        testreg::DeleteKey(testreg::kNormalKey);
        testreg::SetString(testreg::kNormalKey, "Host", "localhost:" + std::to_string(refservice::Port()));
        testreg::SetString(testreg::kNormalKey, "IKey", ikey);
        testreg::SetString(testreg::kNormalKey, "SKey", kSkey);
        testreg::SetDword(testreg::kNormalKey, "FailOpen", 0);
        testreg::SetDword(testreg::kNormalKey, "RdpOnly", 1);
        gSession.config = SessionConfig();
    }
    void TearDown() override {
        gIdentityPlatform = saved_;
        gWinlogonFunctions = nullptr;
        testreg::DeleteKey(testreg::kNormalKey);
    }
    void Load(const std::string& scenario) {
        std::string error;
        ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, scenario, &error)) << error;
    }
    bool Logged(const std::string& line) const {
        for (const std::string& text : log.Texts())
            if (text == line) return true;
        return false;
    }

    std::string ikey;
    LogCapture log;

private:
    ClientIdentityPlatform saved_{};
    WLX_DISPATCH_VERSION_1_0 table_{};
};

TEST_F(GateInProcess, RemoteSessionIsChallengedEvenWithRdpOnly) {
    gRemote = 1;
    Load(R"({"users":{"alice":{"result":"deny","status":"Not from outside"}}})");
    EXPECT_FALSE(PerformSecondaryAuth());
    EXPECT_FALSE(Logged("Not configured to challenge in a non-RDP context; bypassing"));
    ASSERT_EQ(refservice::Requests(ikey).size(), 1u);
    EXPECT_EQ(refservice::Requests(ikey)[0].body, "user=alice");
    ASSERT_EQ(gBoxes.size(), 1u);
    EXPECT_EQ(gBoxes[0].text, L"Not from outside");

    // The same settings in a console session let the user through untouched.
    gRemote = 0;
    EXPECT_TRUE(PerformSecondaryAuth());
    EXPECT_TRUE(Logged("Not configured to challenge in a non-RDP context; bypassing"));
    EXPECT_EQ(refservice::Requests(ikey).size(), 1u);
}

TEST_F(GateInProcess, ForeignExceptionInPreAuthenticationIsRefusedWithTheUnexpectedErrorText) {
    // The gate asks first; pre-authentication's question (for the client
    // address) throws.
    gRemote = 1;
    gAnswersBeforeThrow = 1;
    Load(R"({"users":{"alice":{"result":"allow"}}})");
    EXPECT_FALSE(PerformSecondaryAuth());
    EXPECT_TRUE(Logged("ERROR: Unexpected exception from PreAuthorizeVynUser; refusing"));
    EXPECT_FALSE(Logged("Attempting secondary authentication"));
    ASSERT_EQ(gBoxes.size(), 1u);
    EXPECT_EQ(gBoxes[0].text,
              L"There was an unexpected error while performing authentication.  "
              L"Please contact your system administrator.");
    EXPECT_EQ(gBoxes[0].style, 0x10u);
    EXPECT_EQ(gBoxes[0].owner, nullptr);
    EXPECT_TRUE(refservice::Requests(ikey).empty());
}

}  // namespace
