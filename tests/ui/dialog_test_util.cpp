#include "tests/ui/dialog_test_util.h"

DialogTestEnvironment::DialogTestEnvironment()
    : savedHook_(gDialogBoxHook()), savedCentre_(gCenterStatusDialog) {
    gModuleInstance = ::GetModuleHandleW(nullptr);
}

DialogTestEnvironment::~DialogTestEnvironment() {
    gDialogBoxHook() = savedHook_;
    gCenterStatusDialog = savedCentre_;
}

void PressCancel(HWND dialog) { ::PostMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0); }

std::wstring ControlText(HWND dialog, int id) {
    wchar_t buffer[512] = {};
    ::GetDlgItemTextW(dialog, id, buffer, 512);
    return buffer;
}
