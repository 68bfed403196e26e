#include "diag/log_setup.h"

#include <windows.h>

#include <string>
#include <vector>

#include "common/critical_section.h"
#include "diag/eventlog.h"
#include "diag/log.h"
#include "diag/log_file.h"
#include "diag/log_report.h"

namespace {

// Warnings kept while the event log may not be called (OpenLogFile(true)).
// Touched between OpenLogFile and ReportDeferredLogEvents, after every global
// of the module has been built, under gDeferGuard: the writer reports from
// any thread that logs.
struct DeferredEvents {
    bool deferring = false;
    std::vector<std::string> texts;
};
DeferredEvents gDeferred;
CCriticalSection gDeferGuard;

void ReportLine(const std::string& text) noexcept { LogMessage(text); }

// A warning for the administrator: logged at once, and reported to the event
// log at once or, while events are deferred, by ReportDeferredLogEvents.
void ReportWarning(const std::string& text) noexcept {
    LogMessage(text);
    {
        const CCriticalSectionLock guard(gDeferGuard);
        if (gDeferred.deferring) {
            try {
                gDeferred.texts.push_back(text);
            } catch (...) {
                // Out of memory: the line is in the log all the same.
            }
            return;
        }
    }
    ReportEventOnly(EVENTLOG_WARNING_TYPE, text);
}

}  // namespace

bool OpenLogFile(bool deferEvents) noexcept {
    {
        const CCriticalSectionLock guard(gDeferGuard);
        gDeferred.deferring = deferEvents;
        gDeferred.texts.clear();
    }
    SetLogFileReporter({ReportLine, ReportWarning});
    return OpenLogFileWriter();
}

void CloseLogFile() noexcept {
    CloseLogFileWriter();
    SetLogFileReporter({nullptr, nullptr});
}

void ReportDeferredLogEvents() noexcept {
    std::vector<std::string> events;
    {
        const CCriticalSectionLock guard(gDeferGuard);
        gDeferred.deferring = false;
        events.swap(gDeferred.texts);
    }
    for (const std::string& text : events) ReportEventOnly(EVENTLOG_WARNING_TYPE, text);
}
