// The dialog hook's two targets and WlxInitialize's switch between them, in
// this process: the exports are compiled into the test, so the globals they
// set are the ones the test reads. msgina is the test double.
#include <gtest/gtest.h>

#include <windows.h>

extern "C" {
#include <winwlx.h>
}

#include <new>
#include <string>
#include <vector>

#include "diag/errors.h"
#include "gina/module_objects.h"
#include "tests/gina/paths.h"
#include "tests/support/log_capture.h"
#include "tools/stub_msgina/stub_control.h"
#include "ui/dialog_host.h"

namespace {

// The hook as the process started with it: the plain target.
const DialogBoxHook kPlainTarget = gDialogBoxHook();

const auto kWinlogonHandle = reinterpret_cast<HANDLE>(0x3A11);

struct Shown {
    HINSTANCE instance = nullptr;
    std::wstring caption;
    LPARAM param = 0;
};

INT_PTR CALLBACK RecordingDialogProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
    if (message != WM_INITDIALOG) return FALSE;
    auto* shown = reinterpret_cast<Shown*>(lParam);
    shown->instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
    wchar_t caption[64] = {};
    ::GetWindowTextW(dialog, caption, 64);
    shown->caption = caption;
    shown->param = lParam;
    ::EndDialog(dialog, 77);
    return TRUE;
}

// Winlogon's dialog service as the hook must call it.
struct DialogServiceCall {
    int count = 0;
    HANDLE wlx = nullptr;
    HANDLE instance = nullptr;
    LPWSTR name = nullptr;
    HWND owner = nullptr;
    DLGPROC proc = nullptr;
    LPARAM param = 0;
};
DialogServiceCall gServiceCall;
int gServiceAnswer = 0;

int WINAPI RecordingDialogService(HANDLE wlx, HANDLE instance, LPWSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    gServiceCall = {gServiceCall.count + 1, wlx, instance, name, owner, proc, param};
    return gServiceAnswer;
}

class DialogHook : public testing::Test {
protected:
    void SetUp() override {
        gDialogBoxHook() = kPlainTarget;
        gModuleInstance = ::GetModuleHandleW(nullptr);  // this program holds the test templates
        gWlxHandle = nullptr;
        gWinlogonFunctions = nullptr;
        gCenterStatusDialog = true;
        gServiceCall = {};
        dispatch_.WlxDialogBoxParam = RecordingDialogService;
    }
    void TearDown() override {
        ReleaseMsgina(gMsgina);
        ::SetDllDirectoryW(nullptr);
        ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, nullptr);
    }

    // Loads the msgina double into this process's entry table.
    void LoadStubMsgina(const wchar_t* settings) {
        ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, settings);
        ::SetDllDirectoryW(StubMsginaDir().c_str());
        LoadMsgina(gMsgina);
        ASSERT_NE(gMsgina.module, nullptr);
    }

    BOOL Initialize() {
        wchar_t winstation[] = L"WinSta0";
        return WlxInitialize(winstation, kWinlogonHandle, nullptr, &dispatch_, &context_);
    }

    WLX_DISPATCH_VERSION_1_4 dispatch_ = {};
    PVOID context_ = nullptr;
};

TEST_F(DialogHook, BeforeInitializeShowsTheModulesTemplateWithDialogBoxParam) {
    for (const auto& [id, caption] : {std::pair<uint32_t, std::wstring>{4242, L"Hook test 4242"},
                                      std::pair<uint32_t, std::wstring>{4243, L"Hook test 4243"}}) {
        Shown shown;
        EXPECT_EQ(ShowDialogThroughHook(id, nullptr, RecordingDialogProc, &shown), 77);
        EXPECT_EQ(shown.instance, gModuleInstance);
        EXPECT_EQ(shown.caption, caption);
        EXPECT_EQ(shown.param, reinterpret_cast<LPARAM>(&shown));
    }
    EXPECT_EQ(gServiceCall.count, 0);
}

TEST_F(DialogHook, BeforeInitializeATemplateTheModuleLacksFails) {
    ::SetLastError(0);
    EXPECT_EQ(ShowDialogThroughHook(12325, nullptr, RecordingDialogProc, nullptr), -1);
    const DWORD error = ::GetLastError();
    EXPECT_TRUE(error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND) << error;
}

TEST_F(DialogHook, AfterInitializeGoesThroughWinlogonWithItsHandleAndTheModuleInstance) {
    LoadStubMsgina(L"");
    LogCapture capture;
    EXPECT_TRUE(Initialize());
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Entered WlxInitialize"});
    EXPECT_EQ(gWlxHandle, kWinlogonHandle);
    EXPECT_EQ(gWinlogonFunctions, reinterpret_cast<PWLX_DISPATCH_VERSION_1_0>(&dispatch_));
    EXPECT_FALSE(gCenterStatusDialog);
    ASSERT_NE(context_, nullptr);

    const auto owner = reinterpret_cast<HWND>(0x0A11);
    int param = 0;
    for (int answer : {1, 0, -1, -5, INT_MIN, INT_MAX}) {
        gServiceAnswer = answer;
        EXPECT_EQ(ShowDialogThroughHook(12325, owner, RecordingDialogProc, &param), static_cast<INT_PTR>(answer));
    }
    EXPECT_EQ(gServiceCall.count, 6);
    EXPECT_EQ(gServiceCall.wlx, kWinlogonHandle);
    EXPECT_EQ(gServiceCall.instance, gModuleInstance);
    EXPECT_EQ(gServiceCall.name, MAKEINTRESOURCEW(12325));
    EXPECT_EQ(gServiceCall.owner, owner);
    EXPECT_EQ(gServiceCall.proc, RecordingDialogProc);
    EXPECT_EQ(gServiceCall.param, reinterpret_cast<LPARAM>(&param));
}

TEST_F(DialogHook, MsginasFalseFromInitializeKeepsTheSwitch) {
    LoadStubMsgina(L"WlxInitialize=0");
    EXPECT_FALSE(Initialize());
    EXPECT_EQ(gWlxHandle, kWinlogonHandle);
    EXPECT_FALSE(gCenterStatusDialog);
    gServiceAnswer = 5;
    EXPECT_EQ(ShowDialogThroughHook(4242, nullptr, RecordingDialogProc, nullptr), 5);
    EXPECT_EQ(gServiceCall.count, 1);
}

TEST_F(DialogHook, WithoutMsginasInitializeNothingIsTakenOver) {
    LoadStubMsgina(L"missing=WlxInitialize");
    EXPECT_FALSE(Initialize());
    EXPECT_EQ(gWlxHandle, nullptr);
    EXPECT_EQ(gWinlogonFunctions, nullptr);
    EXPECT_TRUE(gCenterStatusDialog);
    Shown shown;
    EXPECT_EQ(ShowDialogThroughHook(4242, nullptr, RecordingDialogProc, &shown), 77);
    EXPECT_EQ(shown.instance, gModuleInstance);
    EXPECT_EQ(gServiceCall.count, 0);
}

// Entries that fail the way code of this module can: its own exception
// family, the standard library's, anything else.
BOOL WINAPI LockCheckThrowingVynException(PVOID) { throw CVynException(UnexpectedResponse, ""); }
int WINAPI LogonThrowingBadAlloc(PVOID, DWORD, PLUID, PSID, PDWORD, PHANDLE, PWLX_MPR_NOTIFY_INFO, PVOID*) {
    throw std::bad_alloc();
}
int WINAPI UnlockThrowingInt(PVOID, DWORD) { throw 42; }
VOID WINAPI LogoffThrowingVynException(PVOID) { throw CINetException(12029); }

TEST_F(DialogHook, ExceptionsStopAtTheExportWithASafeAnswer) {
    gMsgina.WlxIsLockOk = LockCheckThrowingVynException;
    gMsgina.WlxLoggedOutSAS = LogonThrowingBadAlloc;
    gMsgina.WlxWkstaLockedSAS = UnlockThrowingInt;
    gMsgina.WlxLogoff = LogoffThrowingVynException;
    LogCapture capture;
    EXPECT_EQ(WlxIsLockOk(nullptr), FALSE);
    EXPECT_EQ(WlxLoggedOutSAS(nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              WLX_SAS_ACTION_NONE);
    EXPECT_EQ(WlxWkstaLockedSAS(nullptr, 1), WLX_SAS_ACTION_NONE);
    WlxLogoff(nullptr);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                   "Entered WlxIsLockOk",
                                   "ERROR: Unexpected exception in WlxIsLockOk: kind 3",
                                   "Entered WlxLoggedOutSAS",
                                   "ERROR: Unexpected exception in WlxLoggedOutSAS: std::bad_alloc",
                                   "Entered WlxWkstaLockedSAS",
                                   "ERROR: Unexpected exception in WlxWkstaLockedSAS",
                                   "Entered WlxLogoff",
                                   "ERROR: Unexpected exception in WlxLogoff: kind 2",
                               }));
    ReleaseMsgina(gMsgina);
}

// The entry table as LoadMsgina fills it, read slot by slot in table order.
std::vector<FARPROC> Slots(const MsginaEntries& entries) {
    const auto* first = reinterpret_cast<const FARPROC*>(&entries.ShellShutdownDialog);
    return std::vector<FARPROC>(first, first + kMsginaEntryCount);
}

class MsginaTable : public testing::Test {
protected:
    void Load(const wchar_t* settings) {
        ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, settings);
        ::SetDllDirectoryW(StubMsginaDir().c_str());
        LoadMsgina(entries_);
    }
    void TearDown() override {
        ReleaseMsgina(entries_);
        ::SetDllDirectoryW(nullptr);
        ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, nullptr);
    }
    MsginaEntries entries_;
};

TEST_F(MsginaTable, EveryEntryIsResolvedByItsNameInTableOrder) {
    Load(L"missing=WlxIsLockOk");
    ASSERT_NE(entries_.module, nullptr);
    const auto slots = Slots(entries_);
    for (int i = 0; i < kMsginaEntryCount; ++i) {
        const std::string name = MsginaEntryName(i);
        if (name == "WlxIsLockOk") {
            EXPECT_EQ(slots[i], nullptr);
        } else {
            EXPECT_NE(slots[i], nullptr) << name;
            EXPECT_EQ(slots[i], ::GetProcAddress(entries_.module, name.c_str())) << name;
        }
    }
    EXPECT_STREQ(MsginaEntryName(0), "ShellShutdownDialog");
    EXPECT_STREQ(MsginaEntryName(18), "WlxScreenSaverNotify");
    EXPECT_STREQ(MsginaEntryName(21), "WlxWkstaLockedSAS");
    EXPECT_EQ(MsginaEntryName(22), nullptr);
}

TEST_F(MsginaTable, ALibraryThatDoesNotLoadLeavesEveryEntryNull) {
    Load(L"absent");
    EXPECT_EQ(entries_.module, nullptr);
    for (FARPROC slot : Slots(entries_)) EXPECT_EQ(slot, nullptr);
}

TEST_F(MsginaTable, ReleasingFreesTheLibrary) {
    Load(L"");
    ASSERT_NE(::GetModuleHandleW(L"msgina.dll"), nullptr);
    ReleaseMsgina(entries_);
    EXPECT_EQ(entries_.module, nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"msgina.dll"), nullptr);
    for (FARPROC slot : Slots(entries_)) EXPECT_EQ(slot, nullptr);
}

}  // namespace
