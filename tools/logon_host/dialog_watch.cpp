#include "tools/logon_host/dialog_watch.h"

#include "common/strings.h"

namespace {

constexpr UINT_PTR kCancelTimer = 0x7A11;

// The status dialog being watched; dialogs are modal, so there is at most one.
struct Watch {
    DLGPROC proc;
    const StatusDialogScript* script;
    StatusDialogRecord* record;
};
Watch* gWatch = nullptr;

void PressCancel(HWND dialog, StatusDialogRecord& record) {
    ++record.cancelsPressed;
    record.cancelPressedAt = ::GetTickCount();
    ::PostMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
}

INT_PTR CALLBACK WatchingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Watch& watch = *gWatch;
    if (message == kSetStatusTextMessage && lParam != 0) {
        const std::wstring text = reinterpret_cast<LPCWSTR>(lParam);
        watch.record->texts.push_back(text);
        if (watch.script->onText) watch.script->onText(text);
        if (!watch.script->cancelOnText.empty() && text == watch.script->cancelOnText) PressCancel(window, *watch.record);
    }
    if (message == WM_TIMER && wParam == kCancelTimer) {
        ::KillTimer(window, kCancelTimer);
        PressCancel(window, *watch.record);
        return TRUE;
    }
    const INT_PTR answer = watch.proc(window, message, wParam, lParam);
    if (message == WM_INITDIALOG && watch.script->cancelAfterMs != INFINITE) {
        ::SetTimer(window, kCancelTimer, watch.script->cancelAfterMs, nullptr);
    }
    return answer;
}

}  // namespace

INT_PTR ShowWatchedDialog(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc, LPARAM param,
                          const StatusDialogScript& script, StatusDialogRecord& record) {
    if (!IS_INTRESOURCE(templateName) || LOWORD(reinterpret_cast<ULONG_PTR>(templateName)) != kStatusDialogTemplate) {
        return ::DialogBoxParamW(instance, templateName, owner, proc, param);
    }
    Watch watch{proc, &script, &record};
    Watch* outer = gWatch;
    gWatch = &watch;
    ++record.dialogsShown;
    const INT_PTR result = ::DialogBoxParamW(instance, templateName, owner, WatchingProc, param);
    record.closedAt = ::GetTickCount();
    gWatch = outer;
    return result;
}

StatusDialogScript gHostStatusScript;
StatusDialogRecord gHostStatusRecord;

int WINAPI WatchedWlxDialogBoxParam(HANDLE, HANDLE instance, LPWSTR templateName, HWND owner, DLGPROC proc,
                                    LPARAM param) {
    return static_cast<int>(ShowWatchedDialog(static_cast<HINSTANCE>(instance), templateName, owner, proc, param,
                                              gHostStatusScript, gHostStatusRecord));
}

int ParseStatusDialogOption(int index, int argc, wchar_t** argv, StatusDialogScript& script) {
    const std::wstring name = argv[index];
    if (name != L"--cancel-after" && name != L"--cancel-on") return 0;
    if (index + 1 >= argc) return -1;
    const std::wstring value = argv[index + 1];
    if (name == L"--cancel-on") {
        if (value.empty()) return -1;
        script.cancelOnText = value;
        return 2;
    }
    if (value.empty() || value.size() > 9) return -1;
    DWORD milliseconds = 0;
    for (wchar_t c : value) {
        if (c < L'0' || c > L'9') return -1;
        milliseconds = milliseconds * 10 + static_cast<DWORD>(c - L'0');
    }
    script.cancelAfterMs = milliseconds;
    return 2;
}

std::string DescribeStatusDialogRecord(const StatusDialogRecord& record) {
    std::string out;
    for (const std::wstring& text : record.texts) out += "status text: " + ToUtf8(text) + "\n";
    out += "status dialogs shown: " + std::to_string(record.dialogsShown) + "\n";
    out += "cancel pressed: " + std::to_string(record.cancelsPressed) + "\n";
    return out;
}
