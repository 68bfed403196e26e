#pragma once
// Helpers shared by the dialog tests.

#include <windows.h>

#include <string>

#include "ui/dialog_host.h"

// Points gModuleInstance at the test program (which carries the templates)
// and restores the dialog hook and centring flag when it goes.
class DialogTestEnvironment {
public:
    DialogTestEnvironment();
    ~DialogTestEnvironment();

private:
    DialogBoxHook savedHook_;
    bool savedCentre_;
};

// Presses the dialog's Cancel button the way a user does: a click on the
// button, handled by the dialog's own thread.
void PressCancel(HWND dialog);

// The text of a dialog control, read from any thread.
std::wstring ControlText(HWND dialog, int id);
