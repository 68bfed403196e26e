// The dialog framework with real dialogs: binding of window and object,
// messages before WM_INITDIALOG, and both targets of the dialog hook.
#include <windows.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "ui/dialog_host.h"
#include "tests/ui/dialog_test_util.h"
#include "ui/modal_dialog.h"
#include "ui/resource.h"

namespace {

constexpr INT_PTR kEndValue = 42;

// Ends itself at WM_INITDIALOG, recording what it saw there.
class ProbeDialog : public CVynModalDialog {
public:
    uint32_t GetTemplateId() const override { return IDD_AUTH_STATUS; }
    bool HandleMessage(UINT message, WPARAM, LPARAM) override {
        messages.push_back(message);
        if (message == WM_INITDIALOG) {
            windowAtInit = m_hWnd;
            userDataAtInit = ::GetWindowLongPtrW(m_hWnd, GWLP_USERDATA);
            windowWasLive = ::IsWindow(m_hWnd) != FALSE;
            ::EndDialog(m_hWnd, kEndValue);
            return true;
        }
        return false;
    }

    std::vector<UINT> messages;
    HWND windowAtInit = nullptr;
    LONG_PTR userDataAtInit = 0;
    bool windowWasLive = false;
};

// Wraps the module's dialog procedure to see what it answers before WM_INITDIALOG.
struct PreInitRecord {
    bool initSeen = false;
    std::vector<UINT> messages;
    std::vector<INT_PTR> answers;
};
PreInitRecord* gPreInit = nullptr;

INT_PTR CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) gPreInit->initSeen = true;
    const INT_PTR answer = CVynModalDialog::StaticDialogProc(window, message, wParam, lParam);
    if (!gPreInit->initSeen) {
        gPreInit->messages.push_back(message);
        gPreInit->answers.push_back(answer);
    }
    return answer;
}

class ModalDialogTest : public testing::Test {
protected:
    DialogTestEnvironment environment;
};

TEST_F(ModalDialogTest, PlainTargetShowsTheTemplateAndReturnsTheEndValue) {
    ProbeDialog dialog;
    EXPECT_EQ(dialog.DoModal(nullptr), kEndValue);
    ASSERT_FALSE(dialog.messages.empty());
    EXPECT_EQ(dialog.messages.front(), static_cast<UINT>(WM_INITDIALOG));
}

TEST_F(ModalDialogTest, WindowIsBoundBeforeTheDerivedHandlerRuns) {
    ProbeDialog dialog;
    EXPECT_EQ(dialog.GetWindow(), nullptr);
    dialog.DoModal(nullptr);
    EXPECT_NE(dialog.windowAtInit, nullptr);
    EXPECT_TRUE(dialog.windowWasLive);
    EXPECT_EQ(dialog.userDataAtInit, reinterpret_cast<LONG_PTR>(static_cast<CVynModalDialog*>(&dialog)));
}

TEST_F(ModalDialogTest, MessagesBeforeInitDialogReachNoHandlerAndAreAnsweredFalse) {
    PreInitRecord record;
    gPreInit = &record;
    gDialogBoxHook() = [](uint32_t id, HWND owner, DLGPROC, LPVOID param) {
        return ::DialogBoxParamW(gModuleInstance, MAKEINTRESOURCEW(id), owner, RecordingProc,
                                 reinterpret_cast<LPARAM>(param));
    };
    ProbeDialog dialog;
    EXPECT_EQ(dialog.DoModal(nullptr), kEndValue);
    gPreInit = nullptr;

    // DS_SETFONT makes the system send WM_SETFONT before WM_INITDIALOG.
    ASSERT_FALSE(record.messages.empty());
    EXPECT_NE(std::find(record.messages.begin(), record.messages.end(), static_cast<UINT>(WM_SETFONT)),
              record.messages.end());
    for (INT_PTR answer : record.answers) EXPECT_EQ(answer, FALSE);
    EXPECT_EQ(dialog.messages.front(), static_cast<UINT>(WM_INITDIALOG));
}

TEST_F(ModalDialogTest, UnboundWindowIsAnsweredFalse) {
    HWND window = ::CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(CVynModalDialog::StaticDialogProc(window, WM_COMMAND, IDCANCEL, 0), FALSE);
    ::DestroyWindow(window);
}

TEST_F(ModalDialogTest, ThrowingHandlerIsAnsweredFalseInsteadOfUnwindingThroughUser32) {
    class ThrowingDialog : public ProbeDialog {
    public:
        bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
            if (message == WM_APP + 9) throw 7;
            return ProbeDialog::HandleMessage(message, wParam, lParam);
        }
    };
    ThrowingDialog dialog;
    HWND window = ::CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(static_cast<CVynModalDialog*>(&dialog)));
    EXPECT_EQ(CVynModalDialog::StaticDialogProc(window, WM_APP + 9, 0, 0), FALSE);
    ::DestroyWindow(window);
}

// Winlogon's dispatch table, with a dialog service that records its arguments
// and shows the dialog the way Winlogon would.
struct WlxCall {
    int calls = 0;
    HANDLE wlx = nullptr;
    HANDLE instance = nullptr;
    LPWSTR templateName = nullptr;
    HWND owner = nullptr;
    DLGPROC proc = nullptr;
    LPARAM param = 0;
    int forcedResult = 0;  // 0: show the dialog
};
WlxCall gWlxCall;

int WINAPI FakeWlxDialogBoxParam(HANDLE wlx, HANDLE instance, LPWSTR templateName, HWND owner, DLGPROC proc,
                                 LPARAM param) {
    gWlxCall.calls++;
    gWlxCall.wlx = wlx;
    gWlxCall.instance = instance;
    gWlxCall.templateName = templateName;
    gWlxCall.owner = owner;
    gWlxCall.proc = proc;
    gWlxCall.param = param;
    if (gWlxCall.forcedResult != 0) return gWlxCall.forcedResult;
    return static_cast<int>(
        ::DialogBoxParamW(static_cast<HINSTANCE>(instance), templateName, owner, proc, param));
}

class WinlogonTargetTest : public ModalDialogTest {
protected:
    void SetUp() override {
        gWlxCall = WlxCall();
        table = WLX_DISPATCH_VERSION_1_0();
        table.WlxDialogBoxParam = FakeWlxDialogBoxParam;
        gWlxHandle = reinterpret_cast<HANDLE>(0x5A5A);
        gWinlogonFunctions = &table;
        InstallWinlogonDialogTarget();
    }
    void TearDown() override {
        gWinlogonFunctions = nullptr;
        gWlxHandle = nullptr;
    }
    WLX_DISPATCH_VERSION_1_0 table;
};

TEST_F(WinlogonTargetTest, DialogGoesThroughWinlogonsServiceWithTheSameArguments) {
    ProbeDialog dialog;
    EXPECT_EQ(dialog.DoModal(nullptr), kEndValue);
    EXPECT_EQ(gWlxCall.calls, 1);
    EXPECT_EQ(gWlxCall.wlx, reinterpret_cast<HANDLE>(0x5A5A));
    EXPECT_EQ(gWlxCall.instance, gModuleInstance);
    EXPECT_EQ(gWlxCall.templateName, MAKEINTRESOURCEW(IDD_AUTH_STATUS));
    EXPECT_EQ(gWlxCall.owner, nullptr);
    EXPECT_EQ(gWlxCall.proc, &CVynModalDialog::StaticDialogProc);
    EXPECT_EQ(gWlxCall.param, reinterpret_cast<LPARAM>(static_cast<CVynModalDialog*>(&dialog)));
    EXPECT_NE(dialog.windowAtInit, nullptr);
}

TEST_F(WinlogonTargetTest, NegativeResultComesBackNegative) {
    gWlxCall.forcedResult = -1;
    ProbeDialog dialog;
    EXPECT_EQ(dialog.DoModal(nullptr), -1);
    EXPECT_TRUE(dialog.messages.empty());
}

}  // namespace
