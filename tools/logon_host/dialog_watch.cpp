#include "tools/logon_host/dialog_watch.h"

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
