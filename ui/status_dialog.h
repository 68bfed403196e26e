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
// not end within about a second of a finish request is given up on, never
// terminated (a thread killed inside Winlogon while holding the heap, loader or
// WinHTTP locks could hang every later logon): the dialog settles its outcome
// as it stands (cancelled), clears the context's window handle and drops its
// reference; then it runs the stop action, which ends what the worker is
// blocked in, and gives the worker a moment more to end. A worker that still
// runs frees the context, and with it the work and whatever the work
// captured, when it finally ends.

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

class CAuthStatusDialog : public CVynModalDialog {
public:
    // Outcome values of the state word.
    static constexpr int32_t kRunning = -1;
    static constexpr int32_t kCompleted = 0;
    static constexpr int32_t kFailed = 1;
    static constexpr int32_t kCancelled = 2;

    // How long a finish request waits for the worker before giving up on it.
    static constexpr DWORD kWorkerWaitMilliseconds = 1000;
    // How long the worker then has, after the stop action, before it is abandoned.
    static constexpr DWORD kStoppedWorkerWaitMilliseconds = 500;

    // work: runs once on the worker thread with the dialog's window; may send
    // WM_SET_STATUS_TEXT to it, returns on success, throws on failure, and
    // must not use anything owned by the dialog's caller unless it holds its
    // own reference to it (it may outlive the dialog when abandoned).
    // cancelAction: runs on the dialog's thread when the user cancels; it must
    // make the work stop at its next chance (a work that notices it ends with
    // its own exception, which is the outcome then).
    // stopAction (may be empty): runs on the dialog's thread once the dialog
    // has given up waiting for the worker; it ends whatever the work is
    // blocked in, so that the worker ends too and leaves nothing running. The
    // outcome is settled by then: what the worker does afterwards is not it.
    CAuthStatusDialog(std::function<void(HWND)> work, std::function<void()> cancelAction,
                      std::function<void()> stopAction = nullptr);
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
    // sent to this thread meanwhile) and settles the outcome; a worker that
    // does not end is given up on (see above). Nothing happens when no worker
    // is held.
    void StopWorker();
    bool WaitForWorker(DWORD milliseconds);
    // Settles the outcome as it stands and lets go of the worker's context;
    // the worker's thread handle stays held.
    void GiveUpOnWorker();
    // Copies the shared state word (and a failure's exception) into the
    // dialog's own record, while the dialog is still attached to the context.
    void SettleOutcome();

    std::function<void()> cancelAction_;
    std::function<void()> stopAction_;
    // The dialog's record of the outcome: the shared word as last settled.
    std::atomic<int32_t> state_{kRunning};
    std::exception_ptr exception_;
    unique_handle workerThread_;
    // Null once the worker has been abandoned.
    std::shared_ptr<WorkerContext> context_;
    std::shared_ptr<std::atomic<bool>> abandoned_;
};
