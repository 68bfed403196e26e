#pragma once
// The recovery-code dialog: when the service cannot be reached and the machine
// fails closed, the user types a one-time code read out by an administrator.
// Shown by the gate on Winlogon's thread through gDialogBoxHook, as the
// passcode dialog is. It ends with IDOK only when a code was accepted; IDCANCEL
// for Cancel, Escape, the close box or the fifth wrong code; IDABORT when the
// check refused the try (a right code that could not be removed from the
// store, or a store whose lock could not be taken).

#include <windows.h>
#include <winwlx.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ui/modal_dialog.h"

enum class RecoveryAnswer { Accepted, Wrong, Refused };

// Checks one typed code (and removes it when it matches). Must not throw.
// A wrong code's pause is served inside the check (gina/recovery_prompt.cpp),
// under the machine-wide lock of the stored codes, so that wrong tries are
// paced per machine: the dialog's thread, and with it the dialog, is held
// meanwhile, and nothing can be typed or pressed.
using CheckRecoveryAnswer = std::function<RecoveryAnswer(const std::wstring& typed)>;

constexpr int kMaxWrongRecoveryCodes = 5;

class CVynRecoveryDialog : public CVynModalDialog {
public:
    CVynRecoveryDialog(CheckRecoveryAnswer check, PWLX_DISPATCH_VERSION_1_0 winlogonFunctions, HANDLE wlxHandle);

    uint32_t GetTemplateId() const override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnOK();

    CheckRecoveryAnswer check_;
    PWLX_DISPATCH_VERSION_1_0 winlogonFunctions_;
    HANDLE wlxHandle_;
    int wrong_ = 0;
};
