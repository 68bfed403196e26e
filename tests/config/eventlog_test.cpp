#include <gtest/gtest.h>

#include <windows.h>

#include "diag/eventlog.h"
#include "tests/config/event_recorder.h"
#include "tests/support/log_capture.h"

namespace {

struct EventCase {
    WORD type;
    const char* utf8;
    const wchar_t* utf16;
};

// The events the module raises, with user names outside ASCII (Latin, Greek,
// CJK and a character beyond the BMP, which takes a surrogate pair).
const EventCase kEvents[] = {
    {EVENTLOG_ERROR_TYPE, "VynAuth not configured", L"VynAuth not configured"},
    {EVENTLOG_INFORMATION_TYPE, "Skipped Vyn login for 'CORP\\J\xC3\xBCrgen'", L"Skipped Vyn login for 'CORP\\J\u00fcrgen'"},
    {EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for '\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1'",
     L"Successful Vyn login for '\u03a9\u03bc\u03ad\u03b3\u03b1'"},
    {EVENTLOG_WARNING_TYPE, "Aborted Vyn login for '\xE5\xB1\xB1\xE7\x94\xB0'", L"Aborted Vyn login for '\u5c71\u7530'"},
    {EVENTLOG_ERROR_TYPE, "Error in Vyn login for 'smile\xF0\x9F\x98\x80': Login request denied.",
     L"Error in Vyn login for 'smile\xD83D\xDE00': Login request denied."},
    {EVENTLOG_ERROR_TYPE, "Failsafe Vyn login: Vyn response not understood",
     L"Failsafe Vyn login: Vyn response not understood"},
    {EVENTLOG_ERROR_TYPE, "Failsafe Vyn login: timeout or other network error",
     L"Failsafe Vyn login: timeout or other network error"},
};

TEST(ReportToEventLog, LogsFirstThenReportsOneUtf16StringUnderTheFixedId) {
    for (const auto& event : kEvents) {
        SCOPED_TRACE(event.utf8);
        LogCapture capture;
        EventRecorder recorder(&capture);

        EXPECT_NE(ReportToEventLog(event.type, event.utf8), FALSE);

        EXPECT_EQ(capture.Texts(), std::vector<std::string>{event.utf8});
        EXPECT_EQ(recorder.calls, (std::vector<std::string>{"register", "report", "deregister"}));
        ASSERT_EQ(recorder.registeredSources.size(), 1u);
        EXPECT_EQ(recorder.registeredSources[0], L"Vyn Security");
        EXPECT_TRUE(recorder.registeredOnLocalComputer[0]);
        ASSERT_EQ(recorder.reports.size(), 1u);
        const RecordedReport& r = recorder.reports[0];
        EXPECT_EQ(r.logLinesBefore, 1u);
        EXPECT_EQ(r.source, EventRecorder::FakeHandle());
        EXPECT_EQ(r.type, event.type);
        EXPECT_EQ(r.category, 0);
        EXPECT_EQ(r.eventId, 0xC0020000u);
        EXPECT_EQ(r.userSid, nullptr);
        EXPECT_EQ(r.stringCount, 1);
        EXPECT_EQ(r.strings, std::vector<std::wstring>{event.utf16});
        EXPECT_EQ(r.dataSize, 0u);
        EXPECT_EQ(r.data, nullptr);
        EXPECT_EQ(recorder.deregistered, std::vector<HANDLE>{EventRecorder::FakeHandle()});
    }
}

TEST(ReportToEventLog, SourceThatCannotBeRegisteredReportsNothingButKeepsTheLogLine) {
    LogCapture capture;
    EventRecorder recorder(&capture);
    recorder.failRegister = true;

    EXPECT_EQ(ReportToEventLog(EVENTLOG_ERROR_TYPE, "VynAuth not configured"), FALSE);

    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"VynAuth not configured"});
    EXPECT_EQ(recorder.calls, std::vector<std::string>{"register"});
}

TEST(ReportToEventLog, FailedReportStillDeregistersAndAnswersZero) {
    LogCapture capture;
    EventRecorder recorder(&capture);
    recorder.failReport = true;

    EXPECT_EQ(ReportToEventLog(EVENTLOG_WARNING_TYPE, "Aborted Vyn login for 'bob'"), FALSE);

    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"register", "report", "deregister"}));
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Aborted Vyn login for 'bob'"});
}

TEST(ReportToEventLog, EmptyMessageIsStillOneString) {
    EventRecorder recorder;
    EXPECT_NE(ReportToEventLog(EVENTLOG_INFORMATION_TYPE, ""), FALSE);
    ASSERT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(recorder.reports[0].strings, std::vector<std::wstring>{L""});
}

TEST(ReportToEventLog, PlatformEventLogAcceptsTheReport) {
    ASSERT_EQ(eventlog_detail::CurrentEventLogApi().report, eventlog_detail::PlatformEventLogApi().report);
    LogCapture capture;
    EXPECT_NE(ReportToEventLog(EVENTLOG_INFORMATION_TYPE, "Successful Vyn login for 'J\xC3\xBCrgen'"), FALSE);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Successful Vyn login for 'J\xC3\xBCrgen'"});
}

}  // namespace
