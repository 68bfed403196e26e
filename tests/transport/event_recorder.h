#pragma once
// Wine's event log records nothing, so the reports of the executor are
// observed by replacing the event-log calls for the life of this object.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "common/strings.h"
#include "diag/eventlog.h"

class EventRecorder {
public:
    // (type, text) of every event reported, in order.
    using Events = std::vector<std::pair<WORD, std::string>>;

    EventRecorder() : saved_(eventlog_detail::CurrentEventLogApi()) {
        Recorded().clear();
        eventlog_detail::CurrentEventLogApi() = {Register, Report, Deregister};
    }
    ~EventRecorder() { eventlog_detail::CurrentEventLogApi() = saved_; }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    const Events& events() const { return Recorded(); }

private:
    static Events& Recorded() {
        static Events events;
        return events;
    }
    static HANDLE WINAPI Register(LPCWSTR, LPCWSTR) { return reinterpret_cast<HANDLE>(0x5EC); }
    static BOOL WINAPI Report(HANDLE, WORD type, WORD, DWORD, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID) {
        Recorded().emplace_back(type, count == 1 ? ToUtf8(strings[0]) : std::string("<bad string count>"));
        return TRUE;
    }
    static BOOL WINAPI Deregister(HANDLE) { return TRUE; }

    eventlog_detail::EventLogApi saved_;
};
