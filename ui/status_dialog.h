#pragma once
// CAuthStatusDialog: the small modal progress dialog shown while the
// authentication service decides. A worker thread runs the work (the whole
// conversation with the service); the dialog shows its progress texts and lets
// the user cancel. Afterwards the owner reads the outcome from GetState() and,
// for a failure, rethrows GetException() on its own thread.
//
// Ownership and threads. Winlogon's thread owns the dialog object (usually on
// its stack). The worker never touches that object: everything it uses lives
// in a heap-allocated WorkerContext shared through std::shared_ptr, one
// reference held by the dialog and one by the worker thread. A worker that does
// not end within about a second of a finish request is abandoned, never
// terminated (a thread killed inside Winlogon while holding the heap, loader or
// WinHTTP locks could hang every later logon): the dialog clears the context's
// window handle, settles its outcome as it stands (cancelled) and drops its
// reference; the worker frees the context, and with it the work and whatever
// the work captured, when it finally ends.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "common/handles.h"
#include "ui/modal_dialog.h"

// Sent (synchronously) by the work: wParam 0, lParam a NUL-terminated UTF-16
// text valid for the duration of the call; shown as the status line.
constexpr UINT WM_SET_STATUS_TEXT = WM_APP + 1;
// Posted by the worker when the work ends, and by Cancel(): stop the worker
// and close the dialog.
constexpr UINT WM_WORK_FINISHED = WM_APP + 2;

// Thrown by a work whose request the cancel action ended (the request failed
// as cancelled): the user's cancel decided, so the outcome is cancelled, the
// same as for a worker the dialog stopped waiting for.
struct CWorkCancelled {};

class CAuthStatusDialog : public CVynModalDialog {
public:
    // Outcome values of the state word.
    static constexpr int32_t kRunning = -1;
    static constexpr int32_t kCompleted = 0;
    static constexpr int32_t kFailed = 1;
    static constexpr int32_t kCancelled = 2;

    // How long a finish request waits for the worker before abandoning it.
    static constexpr DWORD kWorkerWaitMilliseconds = 1000;

    // work: runs once on the worker thread with the dialog's window; may send
    // WM_SET_STATUS_TEXT to it, returns on success, throws on failure, and
    // must not use anything owned by the dialog's caller unless it holds its
    // own reference to it (it may outlive the dialog when abandoned).
    // cancelAction: runs on the dialog's thread when the user cancels; it must
    // make the work stop at its next chance and end the request it is waiting
    // for, so that the worker ends within the dialog's wait (a work that ends
    // that way throws CWorkCancelled).
    CAuthStatusDialog(std::function<void(HWND)> work, std::function<void()> cancelAction);
    ~CAuthStatusDialog() override;

    // Always 0; the outcome is GetState() (and GetException() for kFailed).
    INT_PTR DoModal(HWND owner) override;
    uint32_t GetTemplateId() const override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The cancel path of the Cancel button, Escape and DoModal.
    void Cancel();

    // kRunning (no outcome: the dialog never ran its worker), kCompleted,
    // kFailed or kCancelled. Final once DoModal has returned.
    int32_t GetState() const { return state_.load(); }
    // The exception that ended the work; set only for kFailed.
    std::exception_ptr GetException() const { return exception_; }

    // Becomes true when this dialog gives up on its worker (the worker did not
    // end within kWorkerWaitMilliseconds of a finish request). From then on the
    // dialog's outcome is settled and whatever the work achieves later belongs
    // to nobody: the work consults this to keep its late outcome out of
    // anything an administrator audits (it may still log). The flag lives as
    // long as any holder, the worker included.
    std::shared_ptr<const std::atomic<bool>> AbandonedFlag() const;

private:
    struct WorkerContext;
    static DWORD WINAPI WorkerThreadProc(LPVOID parameter);
    static void RunWork(WorkerContext& context);

    void OnInitDialog();
    void OnWorkFinished();
    void CentreOnScreen();
    void StartWorker();
    // Waits up to kWorkerWaitMilliseconds for the worker (servicing messages
    // sent to this thread meanwhile), abandons it when it does not end, and
    // settles the outcome. Nothing happens when no worker is held.
    void StopWorker();
    bool WaitForWorker(DWORD milliseconds);
    void AbandonWorker();
    // Copies the shared state word (and a failure's exception) into the
    // dialog's own record, while the dialog is still attached to the context.
    void SettleOutcome();

    std::function<void()> cancelAction_;
    // The dialog's record of the outcome: the shared word as last settled.
    std::atomic<int32_t> state_{kRunning};
    std::exception_ptr exception_;
    unique_handle workerThread_;
    // Null once the worker has been abandoned.
    std::shared_ptr<WorkerContext> context_;
    std::shared_ptr<std::atomic<bool>> abandoned_;
};
