#include "ui/modal_dialog.h"

#include "ui/dialog_host.h"

INT_PTR CVynModalDialog::DoModal(HWND owner) {
    return gDialogBoxHook()(GetTemplateId(), owner, StaticDialogProc, this);
}

INT_PTR CALLBACK CVynModalDialog::StaticDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CVynModalDialog*>(lParam);
        if (dialog != nullptr) {
            dialog->m_hWnd = window;
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(dialog));
        }
    }
    // Messages the system sends before WM_INITDIALOG (WM_SETFONT, ...) find no
    // object yet and get the default answer.
    auto* dialog = reinterpret_cast<CVynModalDialog*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (dialog == nullptr) return FALSE;
    // This procedure is called from user32 (and, after WlxInitialize, from
    // Winlogon's dialog service): a C++ exception must never unwind through
    // those frames, so a throwing handler counts as "not handled".
    try {
        return dialog->HandleMessage(message, wParam, lParam) ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}
