#pragma once
// Installs a recording stand-in for the event-log calls while it lives, and
// puts the previous table back afterwards. Each report also notes how many log
// lines the given capture held at that moment, so tests can check that the log
// line came first.

#include <windows.h>

#include <string>
#include <vector>

#include "diag/eventlog.h"
#include "tests/support/log_capture.h"

struct RecordedReport {
    HANDLE source = nullptr;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    PSID userSid = nullptr;
    WORD stringCount = 0;
    DWORD dataSize = 0;
    std::vector<std::wstring> strings;
    LPVOID data = nullptr;
    size_t logLinesBefore = 0;
};

class EventRecorder {
public:
    explicit EventRecorder(const LogCapture* capture = nullptr);
    ~EventRecorder();
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    // What the fake calls answer.
    bool failRegister = false;
    bool failReport = false;

    // Calls seen, in order: "register", "report", "deregister".
    std::vector<std::string> calls;
    std::vector<std::wstring> registeredSources;
    std::vector<bool> registeredOnLocalComputer;
    std::vector<RecordedReport> reports;
    std::vector<HANDLE> deregistered;

    static HANDLE FakeHandle() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5EED)); }

private:
    eventlog_detail::EventLogApi saved_;
    const LogCapture* capture_;
};
