#include "diag/eventlog.h"

#include "common/strings.h"
#include "common/unique_any.h"
#include "diag/log.h"

namespace eventlog_detail {

const EventLogApi& PlatformEventLogApi() noexcept {
    static const EventLogApi api = {::RegisterEventSourceW, ::ReportEventW, ::DeregisterEventSource};
    return api;
}

EventLogApi& CurrentEventLogApi() noexcept {
    static EventLogApi api = PlatformEventLogApi();
    return api;
}

}  // namespace eventlog_detail

namespace {

// Like unique_event_source, but deregisters through the replaceable table so a
// substituted source handle is never handed to the real DeregisterEventSource.
struct EventSourceThroughApi {
    using pointer = HANDLE;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { eventlog_detail::CurrentEventLogApi().deregisterSource(h); }
};
using unique_reported_source = unique_any<EventSourceThroughApi>;

constexpr wchar_t kEventSourceName[] = L"Vyn Security";

}  // namespace

BOOL ReportToEventLog(WORD type, const std::string& message) noexcept {
    LogMessage(message);
    return ReportEventOnly(type, message);
}

BOOL ReportEventOnly(WORD type, const std::string& message) noexcept {
    try {
        const auto& api = eventlog_detail::CurrentEventLogApi();
        // Registered for this event only: the module keeps no handle between
        // events, and may be called from Winlogon's thread or the status
        // dialog's worker.
        unique_reported_source source(api.registerSource(nullptr, kEventSourceName));
        if (!source) return FALSE;
        const std::wstring text = FromUtf8(message);
        LPCWSTR strings[1] = {text.c_str()};
        return api.report(source.get(), type, 0, kVynEventId, nullptr, 1, 0, strings, nullptr);
    } catch (...) {
        // Out of memory while converting: the line is in the diagnostic log already.
        return FALSE;
    }
}
