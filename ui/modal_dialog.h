#pragma once
// CVynModalDialog: the small base of the module's modal dialogs. A derived
// class names its template and handles its messages; the base binds the dialog
// window to the object and shows it through gDialogBoxHook(), so the same
// dialog runs through DialogBoxParamW before WlxInitialize and through
// Winlogon's WlxDialogBoxParam service after it.
//
// Dialog objects are plain objects owned by whoever shows them (usually on the
// stack); the framework never allocates or frees them.

#include <windows.h>

#include <cstdint>

class CVynModalDialog {
public:
    CVynModalDialog() = default;
    CVynModalDialog(const CVynModalDialog&) = delete;
    CVynModalDialog& operator=(const CVynModalDialog&) = delete;
    virtual ~CVynModalDialog() = default;

    // Shows the dialog modally over `owner` and returns the value it ended
    // with (the EndDialog value, or -1 when the window could not be created).
    virtual INT_PTR DoModal(HWND owner);
    virtual uint32_t GetTemplateId() const = 0;
    // True when the message was handled. Runs on the dialog's thread; must not
    // throw (the dialog procedure answers FALSE for a handler that does).
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    // The dialog procedure of every dialog of the module. The creation
    // parameter (lParam of WM_INITDIALOG) is the dialog object.
    static INT_PTR CALLBACK StaticDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND GetWindow() const { return m_hWnd; }

protected:
    // Null until WM_INITDIALOG; set before the derived handler sees that message.
    HWND m_hWnd = nullptr;
};
