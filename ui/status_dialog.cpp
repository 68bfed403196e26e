#include "ui/status_dialog.h"

#include <commctrl.h>

#include <utility>

#include "diag/errors.h"
#include "diag/log.h"
#include "ui/dialog_host.h"
#include "ui/resource.h"

// Everything the worker thread uses. The worker holds its own reference, so an
// abandoned worker keeps this alive (and the work with whatever it captured)
// until it ends, while the dialog object may long be gone.
struct CAuthStatusDialog::WorkerContext {
    explicit WorkerContext(std::function<void(HWND)> w) : work(std::move(w)) {}

    std::function<void(HWND)> work;
    // The dialog's window while it can take WM_WORK_FINISHED; cleared by the
    // dialog when it closes or abandons the worker.
    std::atomic<HWND> window{nullptr};
    // The state word both threads write (exchange) and read (load): whoever
    // writes last decides, until the dialog settles its own copy.
    std::atomic<int32_t> state{kRunning};
    // Written by the worker before it sets kFailed; read by the dialog only
    // after seeing kFailed.
    std::exception_ptr exception;
    // Set once by the dialog when it abandons the worker; never cleared. A
    // separate allocation, so that the work may hold it without holding (and
    // keeping alive) this context.
    std::shared_ptr<std::atomic<bool>> abandoned = std::make_shared<std::atomic<bool>>(false);
    // A counted reference on this module, taken for the worker when the module
    // is a DLL, so that code it runs cannot be unloaded under it.
    HMODULE moduleReference = nullptr;
};

namespace {

// A reference that keeps the module holding this code loaded; null when the
// code is linked into the program itself (which cannot unload).
HMODULE TakeModuleReference() {
    const auto address = reinterpret_cast<LPCWSTR>(&TakeModuleReference);
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              address, &self)) {
        LogSystemCallFailure("GetModuleHandleExW", ::GetLastError());
        return nullptr;
    }
    if (self == ::GetModuleHandleW(nullptr)) return nullptr;
    HMODULE counted = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &counted)) {
        LogSystemCallFailure("GetModuleHandleExW", ::GetLastError());
        return nullptr;
    }
    return counted;
}

}  // namespace

CAuthStatusDialog::CAuthStatusDialog(std::function<void(HWND)> work, std::function<void()> cancelAction,
                                     std::function<void()> stopAction)
    : cancelAction_(std::move(cancelAction)),
      stopAction_(std::move(stopAction)),
      context_(std::make_shared<WorkerContext>(std::move(work))),
      abandoned_(context_->abandoned) {}

CAuthStatusDialog::~CAuthStatusDialog() {
    // Only reached with a worker when DoModal was left abnormally; the object
    // is going away, so the worker must not wait for it.
    if (workerThread_) {
        GiveUpOnWorker();
        workerThread_.reset();
    }
}

uint32_t CAuthStatusDialog::GetTemplateId() const { return IDD_AUTH_STATUS; }

std::shared_ptr<const std::atomic<bool>> CAuthStatusDialog::AbandonedFlag() const { return abandoned_; }

INT_PTR CAuthStatusDialog::DoModal(HWND owner) {
    // The template's progress bar needs its window class before the dialog is built.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);

    try {
        gDialogBoxHook()(GetTemplateId(), owner, StaticDialogProc, this);
    } catch (...) {
        if (workerThread_) {
            Cancel();
            StopWorker();
        }
        throw;
    }
    // The window is gone: nothing may post to it any more.
    if (context_) context_->window.store(nullptr);
    m_hWnd = nullptr;
    if (workerThread_) {
        // Ended without WM_WORK_FINISHED (e.g. by Winlogon's dialog service):
        // count it as a cancel, and give the worker the same bounded chance to
        // end before the caller destroys this object.
        if (context_) context_->state.exchange(kCancelled);
        cancelAction_();
        StopWorker();
    }
    SettleOutcome();
    return 0;
}

bool CAuthStatusDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog();
        return false;  // the system does not set the focus
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == 0) {
            Cancel();
            return true;
        }
        return false;
    case WM_SET_STATUS_TEXT:
        if (!::SetDlgItemTextW(m_hWnd, IDC_AUTH_STATUS_TEXT, reinterpret_cast<LPCWSTR>(lParam))) {
            LogSystemCallFailure("SetDlgItemTextW", ::GetLastError());
        }
        return true;
    case WM_WORK_FINISHED:
        OnWorkFinished();
        return true;
    default:
        return false;
    }
}

void CAuthStatusDialog::OnInitDialog() {
    if (context_) context_->state.exchange(kRunning);
    state_.exchange(kRunning);
    if (gCenterStatusDialog) CentreOnScreen();
    ::SendDlgItemMessageW(m_hWnd, IDC_AUTH_PROGRESS, PBM_SETMARQUEE, TRUE, 50);
    StartWorker();
}

void CAuthStatusDialog::CentreOnScreen() {
    RECT rect;
    if (!::GetWindowRect(m_hWnd, &rect)) {
        LogSystemCallFailure("GetWindowRect", ::GetLastError());
        return;
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const int x = static_cast<int>((::GetSystemMetrics(SM_CXSCREEN) - width) * 0.5);
    const int y = static_cast<int>((::GetSystemMetrics(SM_CYSCREEN) - height) * 0.5);
    ::MoveWindow(m_hWnd, x, y, width, height, TRUE);
}

void CAuthStatusDialog::StartWorker() {
    if (!context_ || workerThread_) return;
    context_->window.store(m_hWnd);
    context_->moduleReference = TakeModuleReference();
    auto reference = std::make_unique<std::shared_ptr<WorkerContext>>(context_);
    HANDLE thread = ::CreateThread(nullptr, 0, WorkerThreadProc, reference.get(), 0, nullptr);
    if (thread == nullptr) {
        // No worker: the dialog shows its marquee until the user cancels.
        LogSystemCallFailure("CreateThread", ::GetLastError());
        if (context_->moduleReference != nullptr) ::FreeLibrary(context_->moduleReference);
        context_->moduleReference = nullptr;
        return;
    }
    reference.release();  // now the worker's
    workerThread_.reset(thread);
}

void CAuthStatusDialog::Cancel() {
    if (context_) context_->state.exchange(kCancelled);
    cancelAction_();
    if (m_hWnd != nullptr) ::PostMessageW(m_hWnd, WM_WORK_FINISHED, 0, 0);
}

void CAuthStatusDialog::OnWorkFinished() {
    // A second finish request (the worker's, after a cancel) once the dialog
    // is closing has nothing left to do.
    if (m_hWnd == nullptr) return;
    StopWorker();
    SettleOutcome();
    if (context_) context_->window.store(nullptr);
    ::EndDialog(m_hWnd, GetState() == kCancelled ? 2 : 1);
    m_hWnd = nullptr;
}

void CAuthStatusDialog::StopWorker() {
    if (!workerThread_) return;
    if (WaitForWorker(kWorkerWaitMilliseconds)) {
        workerThread_.reset();
        SettleOutcome();
        return;
    }
    GiveUpOnWorker();
    // Only now is what the worker is blocked in ended: a worker that noticed
    // the cancel within the wait has given its own outcome. Ended, the worker
    // and its connection go before the dialog returns, where the platform can
    // end a request in progress; elsewhere the worker stays abandoned and ends
    // when its request does.
    if (stopAction_) {
        stopAction_();
        WaitForWorker(kStoppedWorkerWaitMilliseconds);
    }
    workerThread_.reset();
}

bool CAuthStatusDialog::WaitForWorker(DWORD milliseconds) {
    // A worker may be blocked in a status update (a sent message) right now:
    // keep taking sent messages, so that the update does not cost the whole wait.
    HANDLE thread = workerThread_.get();
    const DWORD start = ::GetTickCount();
    for (;;) {
        const DWORD elapsed = ::GetTickCount() - start;
        const DWORD remaining = elapsed < milliseconds ? milliseconds - elapsed : 0;
        const DWORD result = ::MsgWaitForMultipleObjects(1, &thread, FALSE, remaining, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0) return true;
        if (result == WAIT_OBJECT_0 + 1) {
            MSG msg;
            ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            if (remaining == 0) return ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
            continue;
        }
        if (result == WAIT_FAILED) LogSystemCallFailure("MsgWaitForMultipleObjects", ::GetLastError());
        return false;
    }
}

void CAuthStatusDialog::GiveUpOnWorker() {
    // The worker stops mattering here: its outcome is what the state word says
    // now (a cancel), whatever it does later. It keeps the context alive on
    // its own reference and never learns of this object again.
    if (!context_) return;
    context_->window.store(nullptr);
    context_->abandoned->store(true);
    SettleOutcome();
    context_.reset();
}

void CAuthStatusDialog::SettleOutcome() {
    if (!context_) return;
    const int32_t state = context_->state.load();
    if (state == kFailed) exception_ = context_->exception;
    state_.exchange(state);
}

DWORD WINAPI CAuthStatusDialog::WorkerThreadProc(LPVOID parameter) {
    HMODULE moduleReference = nullptr;
    {
        std::unique_ptr<std::shared_ptr<WorkerContext>> reference(
            static_cast<std::shared_ptr<WorkerContext>*>(parameter));
        moduleReference = (*reference)->moduleReference;
        RunWork(**reference);
        // Dropping the reference here may free the context, and with it the
        // work and its captures, when the dialog has already let go.
    }
    if (moduleReference != nullptr) ::FreeLibraryAndExitThread(moduleReference, 0);
    return 0;
}

void CAuthStatusDialog::RunWork(WorkerContext& context) {
    try {
        context.work(context.window.load());
        context.state.exchange(kCompleted);
    } catch (const CVynException& e) {
        if (e.GetKind() != NoError) {
            context.exception = std::current_exception();
            context.state.exchange(kFailed);
        } else {
            context.state.exchange(kCompleted);
        }
    } catch (...) {
        context.exception = std::current_exception();
        context.state.exchange(kFailed);
    }
    // Null once the dialog has closed or abandoned this worker: nobody to tell.
    if (HWND window = context.window.load()) ::PostMessageW(window, WM_WORK_FINISHED, 0, 0);
}
