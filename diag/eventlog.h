#pragma once
// Reports the outcomes an administrator must see to the Application event log,
// under the source "Vyn Security" whose message file is this module (its
// message table has one message, 0xC0020000, that prints the inserted text).

#include <windows.h>

#include <string>

// The one message of the module's message table, used for every event type.
constexpr DWORD kVynEventId = 0xC0020000;

// Writes `message` (UTF-8) to the diagnostic log, then reports it as an event of
// `type` (EVENTLOG_ERROR_TYPE, _WARNING_TYPE or _INFORMATION_TYPE) with the
// message as its single UTF-16 insertion string. Returns non-zero when the event
// was reported. Never throws; callers may ignore the result, since the text is
// already in the diagnostic log.
BOOL ReportToEventLog(WORD type, const std::string& message) noexcept;

// The same report without the diagnostic-log line, for a text that was logged
// earlier (a warning kept until the event log may be called).
BOOL ReportEventOnly(WORD type, const std::string& message) noexcept;

namespace eventlog_detail {

// The three event-log calls ReportToEventLog makes. Wine's event log is only a
// stub that records nothing, so tests swap this table to observe the reports.
struct EventLogApi {
    HANDLE(WINAPI* registerSource)(LPCWSTR server, LPCWSTR source);
    BOOL(WINAPI* report)(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                         DWORD dataSize, LPCWSTR* strings, LPVOID data);
    BOOL(WINAPI* deregisterSource)(HANDLE source);
};

// The platform's own functions.
const EventLogApi& PlatformEventLogApi() noexcept;

// The table in use: the platform's unless a test installed another one.
EventLogApi& CurrentEventLogApi() noexcept;

}  // namespace eventlog_detail
