#include "tests/config/event_recorder.h"

namespace {

EventRecorder* gRecorder = nullptr;
const LogCapture* gRecorderCapture = nullptr;

HANDLE WINAPI FakeRegister(LPCWSTR server, LPCWSTR source) {
    gRecorder->calls.push_back("register");
    gRecorder->registeredOnLocalComputer.push_back(server == nullptr);
    gRecorder->registeredSources.push_back(source ? source : L"<null>");
    if (gRecorder->failRegister) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return EventRecorder::FakeHandle();
}

BOOL WINAPI FakeReport(HANDLE source, WORD type, WORD category, DWORD eventId, PSID userSid, WORD stringCount,
                       DWORD dataSize, LPCWSTR* strings, LPVOID data) {
    gRecorder->calls.push_back("report");
    RecordedReport r;
    r.source = source;
    r.type = type;
    r.category = category;
    r.eventId = eventId;
    r.userSid = userSid;
    r.stringCount = stringCount;
    r.dataSize = dataSize;
    for (WORD i = 0; i < stringCount; ++i) r.strings.push_back(strings[i] ? strings[i] : L"<null>");
    r.data = data;
    r.logLinesBefore = gRecorderCapture ? gRecorderCapture->RawLines().size() : 0;
    gRecorder->reports.push_back(r);
    if (gRecorder->failReport) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeDeregister(HANDLE source) {
    gRecorder->calls.push_back("deregister");
    gRecorder->deregistered.push_back(source);
    return TRUE;
}

}  // namespace

EventRecorder::EventRecorder(const LogCapture* capture)
    : saved_(eventlog_detail::CurrentEventLogApi()), capture_(capture) {
    gRecorder = this;
    gRecorderCapture = capture_;
    eventlog_detail::CurrentEventLogApi() = {FakeRegister, FakeReport, FakeDeregister};
}

EventRecorder::~EventRecorder() {
    eventlog_detail::CurrentEventLogApi() = saved_;
    gRecorder = nullptr;
    gRecorderCapture = nullptr;
}
