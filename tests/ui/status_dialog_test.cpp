// The authentication status dialog with real dialogs, a real worker thread and
// real window messages: outcomes, cancellation, status texts, centring.
#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "diag/errors.h"
#include "ui/dialog_host.h"
#include "tests/ui/dialog_test_util.h"
#include "ui/resource.h"
#include "tools/logon_host/dialog_watch.h"
#include "ui/status_dialog.h"

namespace {

unique_handle NewEvent(bool manualReset = true) {
    return unique_handle(::CreateEventW(nullptr, manualReset, FALSE, nullptr));
}

// Records the value each dialog ended with, as the plain target returns it.
INT_PTR gEndValue = 0;

class StatusDialogTest : public testing::Test {
protected:
    void SetUp() override {
        gEndValue = 0;
        gDialogBoxHook() = [](uint32_t id, HWND owner, DLGPROC proc, LPVOID param) {
            gEndValue = ::DialogBoxParamW(gModuleInstance, MAKEINTRESOURCEW(id), owner, proc,
                                          reinterpret_cast<LPARAM>(param));
            return gEndValue;
        };
    }
    DialogTestEnvironment environment;
};

int32_t KindOf(const std::exception_ptr& exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const CVynException& e) {
        return e.GetKind();
    } catch (...) {
        return -100;
    }
}

std::wstring MessageOf(const std::exception_ptr& exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const CVynException& e) {
        return e.GetUserMessage();
    } catch (...) {
        return L"<not CVynException>";
    }
}

TEST_F(StatusDialogTest, WorkThatReturnsAtOnceCompletes) {
    HWND seen = nullptr;
    CAuthStatusDialog dialog([&](HWND window) { seen = window; }, [] {});
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kRunning);
    EXPECT_EQ(dialog.DoModal(nullptr), 0);
    EXPECT_EQ(gEndValue, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCompleted);
    EXPECT_FALSE(dialog.GetException());
    EXPECT_NE(seen, nullptr);
    EXPECT_EQ(dialog.GetWindow(), nullptr);
}

TEST_F(StatusDialogTest, WorkThatThrowsKind3FailsWithThatException) {
    CAuthStatusDialog dialog([](HWND) { throw CVynException(UnexpectedResponse, ""); }, [] {});
    dialog.DoModal(nullptr);
    EXPECT_EQ(gEndValue, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
    ASSERT_TRUE(dialog.GetException());
    EXPECT_EQ(KindOf(dialog.GetException()), UnexpectedResponse);
}

TEST_F(StatusDialogTest, DerivedExceptionIsKeptWithItsType) {
    CAuthStatusDialog dialog([](HWND) { throw CINetException(12029); }, [] {});
    dialog.DoModal(nullptr);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
    EXPECT_THROW(std::rethrow_exception(dialog.GetException()), CINetException);
}

TEST_F(StatusDialogTest, WorkThatThrowsKind0CompletesLikeANormalReturn) {
    CAuthStatusDialog dialog([](HWND) { throw CVynException(NoError, ""); }, [] {});
    dialog.DoModal(nullptr);
    EXPECT_EQ(gEndValue, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCompleted);
    EXPECT_FALSE(dialog.GetException());
}

TEST_F(StatusDialogTest, ForeignExceptionFails) {
    CAuthStatusDialog dialog([](HWND) { throw std::string("boom"); }, [] {});
    dialog.DoModal(nullptr);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
    EXPECT_THROW(std::rethrow_exception(dialog.GetException()), std::string);
}

TEST_F(StatusDialogTest, StatusTextIsShownBeforeTheSendReturns) {
    std::wstring shown;
    CAuthStatusDialog dialog(
        [&](HWND window) {
            const wchar_t text[] = L"Pushed a login request to your phone...";
            ::SendMessageW(window, WM_SET_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(text));
            shown = ControlText(window, IDC_AUTH_STATUS_TEXT);
        },
        [] {});
    dialog.DoModal(nullptr);
    EXPECT_EQ(shown, L"Pushed a login request to your phone...");
}

TEST_F(StatusDialogTest, StatusLineStartsWithTheTemplateText) {
    std::wstring initial;
    CAuthStatusDialog dialog([&](HWND window) { initial = ControlText(window, IDC_AUTH_STATUS_TEXT); }, [] {});
    dialog.DoModal(nullptr);
    EXPECT_EQ(initial, L"Authenticating...");
}

TEST_F(StatusDialogTest, CancelNoticedByTheWorkWithinTheWaitEndsWithTheWorksException) {
    unique_handle cancelled = NewEvent();
    int cancelActions = 0;
    int stopActions = 0;
    CAuthStatusDialog dialog(
        [&](HWND window) {
            PressCancel(window);
            if (::WaitForSingleObject(cancelled.get(), 10000) == WAIT_OBJECT_0)
                throw CVynException(AuthenticationDenied, "User cancelled authentication");
        },
        [&] {
            ++cancelActions;
            ::SetEvent(cancelled.get());
        },
        [&] { ++stopActions; });
    dialog.DoModal(nullptr);
    EXPECT_EQ(cancelActions, 1);
    EXPECT_EQ(stopActions, 0);
    EXPECT_EQ(gEndValue, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
    EXPECT_EQ(KindOf(dialog.GetException()), AuthenticationDenied);
    EXPECT_EQ(MessageOf(dialog.GetException()), L"User cancelled authentication");
    // A worker that ended within the wait was not given up on.
    EXPECT_FALSE(dialog.AbandonedFlag()->load());
}

TEST_F(StatusDialogTest, CancelWithAWorkThatReturnsNormallyCompletes) {
    unique_handle cancelled = NewEvent();
    CAuthStatusDialog dialog(
        [&](HWND window) {
            PressCancel(window);
            ::WaitForSingleObject(cancelled.get(), 10000);
        },
        [&] { ::SetEvent(cancelled.get()); });
    dialog.DoModal(nullptr);
    EXPECT_EQ(gEndValue, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCompleted);
}

// What a blocked worker leaves behind: the test holds only a weak reference,
// so it can tell when the abandoned worker has finally let go of its work.
struct BlockedWork {
    unique_handle release = NewEvent();
    unique_handle clicked = NewEvent();
    std::atomic<bool> ended{false};
};

// The stop action ends what a blocked work waits in, and only once the
// dialog's wait has run out: the outcome is then settled as cancelled, though
// the work ends with an exception of its own, and the worker has ended (its
// context freed) by the time DoModal returns.
TEST_F(StatusDialogTest, StopActionEndsABlockedWorkerOnlyAfterTheWaitAndTheOutcomeStaysCancelled) {
    auto blocked = std::make_shared<BlockedWork>();
    std::weak_ptr<BlockedWork> watch = blocked;
    DWORD clickedAt = 0;
    DWORD stoppedAt = 0;
    std::vector<std::string> actions;
    CAuthStatusDialog dialog(
        [blocked, &clickedAt](HWND window) {
            clickedAt = ::GetTickCount();
            PressCancel(window);
            if (::WaitForSingleObject(blocked->release.get(), 60000) == WAIT_OBJECT_0)
                throw CVynException(AuthenticationDenied, "User cancelled authentication");
        },
        [&] { actions.push_back("cancel"); },
        [&, release = blocked->release.get()] {
            actions.push_back("stop");
            stoppedAt = ::GetTickCount();
            ::SetEvent(release);
        });
    blocked.reset();
    dialog.DoModal(nullptr);
    const DWORD returnedAt = ::GetTickCount();
    EXPECT_EQ(actions, (std::vector<std::string>{"cancel", "stop"}));
    EXPECT_GE(stoppedAt - clickedAt, CAuthStatusDialog::kWorkerWaitMilliseconds - 50);
    EXPECT_LT(returnedAt - stoppedAt, CAuthStatusDialog::kStoppedWorkerWaitMilliseconds);
    EXPECT_TRUE(watch.expired()) << "the worker still holds its work";
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCancelled);
    EXPECT_FALSE(dialog.GetException());
    EXPECT_TRUE(dialog.AbandonedFlag()->load());
    EXPECT_EQ(gEndValue, 2);
}

TEST_F(StatusDialogTest, CancelWhileTheWorkIsBlockedReturnsWithinAboutASecondAndAbandonsTheWorker) {
    auto blocked = std::make_shared<BlockedWork>();
    std::weak_ptr<BlockedWork> watch = blocked;
    HANDLE release = blocked->release.get();
    DWORD clickedAt = 0;
    DWORD returnedAt = 0;
    std::shared_ptr<const std::atomic<bool>> abandoned;
    {
        CAuthStatusDialog dialog(
            // The work owns a reference of its own: it may outlive the dialog.
            [blocked, &clickedAt](HWND window) {
                clickedAt = ::GetTickCount();
                PressCancel(window);
                ::WaitForSingleObject(blocked->release.get(), 60000);  // a status request held by the service
                blocked->ended = true;
                throw CVynException(AuthenticationDenied, "User cancelled authentication");
            },
            [] {});
        blocked.reset();
        abandoned = dialog.AbandonedFlag();
        EXPECT_FALSE(abandoned->load());
        dialog.DoModal(nullptr);
        returnedAt = ::GetTickCount();
        // The flag the work consults before reporting a late outcome.
        EXPECT_TRUE(abandoned->load());
        EXPECT_EQ(gEndValue, 2);
        EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCancelled);
        EXPECT_FALSE(dialog.GetException());
    }
    EXPECT_LT(returnedAt - clickedAt, 3000u);
    {
        std::shared_ptr<BlockedWork> alive = watch.lock();
        ASSERT_NE(alive, nullptr) << "the abandoned worker still holds its work";
        EXPECT_FALSE(alive->ended.load());
    }

    // A second dialog right away works normally while the first worker is still blocked.
    {
        CAuthStatusDialog second([](HWND) {}, [] {});
        second.DoModal(nullptr);
        EXPECT_EQ(second.GetState(), CAuthStatusDialog::kCompleted);
        EXPECT_EQ(gEndValue, 1);
    }
    ASSERT_FALSE(watch.expired());

    // Once released, the abandoned worker ends without touching either dialog
    // and frees what it held.
    ::SetEvent(release);
    for (int i = 0; i < 500 && !watch.expired(); ++i) ::Sleep(10);
    EXPECT_TRUE(watch.expired());
}

TEST_F(StatusDialogTest, StatusUpdateDuringTheFinishWaitDoesNotCostTheWait) {
    unique_handle cancelled = NewEvent();
    std::wstring shown;
    DWORD clickedAt = 0;
    CAuthStatusDialog dialog(
        [&](HWND window) {
            clickedAt = ::GetTickCount();
            PressCancel(window);
            ::WaitForSingleObject(cancelled.get(), 10000);
            ::Sleep(100);  // the dialog's thread is now waiting for this worker
            const wchar_t text[] = L"late progress";
            ::SendMessageW(window, WM_SET_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(text));
            shown = ControlText(window, IDC_AUTH_STATUS_TEXT);
            throw CVynException(AuthenticationDenied, "User cancelled authentication");
        },
        [&] { ::SetEvent(cancelled.get()); });
    dialog.DoModal(nullptr);
    const DWORD elapsed = ::GetTickCount() - clickedAt;
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
    EXPECT_EQ(gEndValue, 1);
    EXPECT_EQ(shown, L"late progress");
    EXPECT_LT(elapsed, 900u);
}

TEST_F(StatusDialogTest, DialogThatCannotBeCreatedLeavesTheStateRunning) {
    gDialogBoxHook() = [](uint32_t, HWND, DLGPROC, LPVOID) -> INT_PTR { return -1; };
    bool ran = false;
    CAuthStatusDialog dialog([&](HWND) { ran = true; }, [] {});
    EXPECT_EQ(dialog.DoModal(nullptr), 0);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kRunning);
    EXPECT_FALSE(ran);
}

// Winlogon's dialog service may end a dialog by itself (for instance on a
// time-out), without the dialog's own finish request.
INT_PTR CALLBACK EndedFromOutsideProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const INT_PTR answer = CVynModalDialog::StaticDialogProc(window, message, wParam, lParam);
    if (message == WM_INITDIALOG) ::SetTimer(window, 77, 50, nullptr);
    if (message == WM_TIMER && wParam == 77) {
        ::KillTimer(window, 77);
        ::EndDialog(window, 5);
    }
    return answer;
}

TEST_F(StatusDialogTest, DialogEndedFromOutsideCancelsABlockedWorkerAndReturnsPromptly) {
    gDialogBoxHook() = [](uint32_t id, HWND owner, DLGPROC, LPVOID param) {
        return ::DialogBoxParamW(gModuleInstance, MAKEINTRESOURCEW(id), owner, EndedFromOutsideProc,
                                 reinterpret_cast<LPARAM>(param));
    };
    auto release = std::make_shared<unique_handle>(NewEvent());
    int cancelActions = 0;
    CAuthStatusDialog dialog([release](HWND) { ::WaitForSingleObject(release->get(), 60000); },
                             [&] { ++cancelActions; });
    const DWORD start = ::GetTickCount();
    dialog.DoModal(nullptr);
    EXPECT_LT(::GetTickCount() - start, 3000u);
    EXPECT_EQ(cancelActions, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCancelled);
    EXPECT_TRUE(dialog.AbandonedFlag()->load());
    ::SetEvent(release->get());
}

TEST_F(StatusDialogTest, DialogEndedFromOutsideLetsACooperativeWorkerReportItsCancel) {
    gDialogBoxHook() = [](uint32_t id, HWND owner, DLGPROC, LPVOID param) {
        return ::DialogBoxParamW(gModuleInstance, MAKEINTRESOURCEW(id), owner, EndedFromOutsideProc,
                                 reinterpret_cast<LPARAM>(param));
    };
    unique_handle cancelled = NewEvent();
    CAuthStatusDialog dialog(
        [&](HWND) {
            if (::WaitForSingleObject(cancelled.get(), 10000) == WAIT_OBJECT_0)
                throw CVynException(AuthenticationDenied, "User cancelled authentication");
        },
        [&] { ::SetEvent(cancelled.get()); });
    dialog.DoModal(nullptr);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
    EXPECT_EQ(KindOf(dialog.GetException()), AuthenticationDenied);
}

TEST_F(StatusDialogTest, ExceptionFromTheDialogServiceCancelsTheWorkerAndContinues) {
    gDialogBoxHook() = [](uint32_t id, HWND owner, DLGPROC, LPVOID param) -> INT_PTR {
        ::DialogBoxParamW(gModuleInstance, MAKEINTRESOURCEW(id), owner, EndedFromOutsideProc,
                          reinterpret_cast<LPARAM>(param));
        throw std::runtime_error("dialog service failed");
    };
    auto release = std::make_shared<unique_handle>(NewEvent());
    int cancelActions = 0;
    CAuthStatusDialog dialog([release](HWND) { ::WaitForSingleObject(release->get(), 60000); },
                             [&] { ++cancelActions; });
    EXPECT_THROW(dialog.DoModal(nullptr), std::runtime_error);
    EXPECT_EQ(cancelActions, 1);
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kCancelled);
    ::SetEvent(release->get());
}

struct Placement {
    RECT window{};
    int screenWidth = 0;
    int screenHeight = 0;
};

Placement PlacementOfAStatusDialog() {
    Placement placement;
    CAuthStatusDialog dialog(
        [&](HWND window) {
            ::GetWindowRect(window, &placement.window);
            placement.screenWidth = ::GetSystemMetrics(SM_CXSCREEN);
            placement.screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
        },
        [] {});
    dialog.DoModal(nullptr);
    return placement;
}

TEST_F(StatusDialogTest, CentredOnTheScreenWhenAsked) {
    gCenterStatusDialog = true;
    const Placement p = PlacementOfAStatusDialog();
    const int width = p.window.right - p.window.left;
    const int height = p.window.bottom - p.window.top;
    ASSERT_GT(width, 0);
    ASSERT_GT(p.screenWidth, width);
    EXPECT_EQ(p.window.left, static_cast<int>((p.screenWidth - width) * 0.5));
    EXPECT_EQ(p.window.top, static_cast<int>((p.screenHeight - height) * 0.5));
}

TEST_F(StatusDialogTest, KeepsTheTemplatePositionWhenNotAsked) {
    gCenterStatusDialog = false;
    const Placement p = PlacementOfAStatusDialog();
    EXPECT_EQ(p.window.left, 0);
    EXPECT_EQ(p.window.top, 0);
}

}  // namespace

namespace {

// The watcher the logon host uses: it presses Cancel after a set time and
// records the texts the dialog was given.
TEST_F(StatusDialogTest, WatcherPressesCancelAfterTheScriptedTimeAndRecordsTexts) {
    StatusDialogScript script;
    script.cancelAfterMs = 200;
    StatusDialogRecord record;
    gDialogBoxHook() = [&](uint32_t id, HWND owner, DLGPROC proc, LPVOID param) {
        return ShowWatchedDialog(gModuleInstance, MAKEINTRESOURCEW(id), owner, proc,
                                 reinterpret_cast<LPARAM>(param), script, record);
    };
    unique_handle cancelled = NewEvent();
    const DWORD start = ::GetTickCount();
    CAuthStatusDialog dialog(
        [&](HWND window) {
            const wchar_t text[] = L"Waiting for you";
            ::SendMessageW(window, WM_SET_STATUS_TEXT, 0, reinterpret_cast<LPARAM>(text));
            if (::WaitForSingleObject(cancelled.get(), 10000) == WAIT_OBJECT_0)
                throw CVynException(AuthenticationDenied, "User cancelled authentication");
        },
        [&] { ::SetEvent(cancelled.get()); });
    dialog.DoModal(nullptr);
    EXPECT_EQ(record.dialogsShown, 1);
    EXPECT_EQ(record.cancelsPressed, 1);
    EXPECT_GE(record.cancelPressedAt - start, 150u);
    EXPECT_EQ(record.texts, (std::vector<std::wstring>{L"Waiting for you"}));
    EXPECT_EQ(dialog.GetState(), CAuthStatusDialog::kFailed);
}

}  // namespace
