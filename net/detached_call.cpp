// Blocking calls on a thread the caller may stop waiting for (see
// net/detached_call.h).
#include "net/detached_call.h"

#include <memory>
#include <utility>

#include "common/handles.h"
#include "diag/log.h"

namespace {

// Shared by the caller and the thread: whichever of the two lets go last
// frees it.
struct DetachedWork {
    std::function<void()> work;
    unique_handle done;
};

DWORD WINAPI DetachedThread(LPVOID parameter) {
    {
        std::unique_ptr<std::shared_ptr<DetachedWork>> job(static_cast<std::shared_ptr<DetachedWork>*>(parameter));
        (*job)->work();
        ::SetEvent((*job)->done.get());
    }  // the work is let go here, while the module is still pinned
    HMODULE module = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&DetachedThread), &module)) {
        // Drops the reference RunDetached took for this thread, and leaves.
        ::FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

}  // namespace

CallEnd RunDetached(std::function<void()> work, DWORD ms, HANDLE cancel) {
    auto job = std::make_shared<DetachedWork>();
    job->work = std::move(work);
    job->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->done) {
        LogSystemCallFailure("CreateEventW", ::GetLastError());
        return CallEnd::Failed;
    }
    HMODULE pinned = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&DetachedThread),
                              &pinned)) {
        LogSystemCallFailure("GetModuleHandleExW", ::GetLastError());
        return CallEnd::Failed;
    }
    auto parameter = std::make_unique<std::shared_ptr<DetachedWork>>(job);
    unique_handle thread(::CreateThread(nullptr, 0, DetachedThread, parameter.get(), 0, nullptr));
    if (!thread) {
        const DWORD error = ::GetLastError();
        ::FreeLibrary(pinned);
        LogSystemCallFailure("CreateThread", error);
        return CallEnd::Failed;
    }
    parameter.release();  // the thread's now

    const HANDLE waits[2] = {job->done.get(), cancel};
    const DWORD waited = ::WaitForMultipleObjects(cancel ? 2 : 1, waits, FALSE, ms);
    if (waited == WAIT_OBJECT_0) return CallEnd::Done;
    if (waited == WAIT_OBJECT_0 + 1) return CallEnd::Cancelled;
    if (waited == WAIT_TIMEOUT) return CallEnd::TimedOut;
    LogSystemCallFailure("WaitForMultipleObjects", ::GetLastError());
    return CallEnd::Failed;
}
