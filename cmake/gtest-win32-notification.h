#pragma once
// GoogleTest's Notification is built on std::mutex and std::condition_variable,
// which GCC 12's win32 thread model lacks. This Win32-event version takes its
// place (GTEST_HAS_NOTIFICATION_=1) when GoogleTest and the tests are built.
#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
