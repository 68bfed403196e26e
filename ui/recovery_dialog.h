#pragma once
// The recovery-code dialog: when the service cannot be reached and the machine
// fails closed, the user types a one-time code read out by an administrator.
// Shown by the gate on Winlogon's thread through gDialogBoxHook, as the
// passcode dialog is. It ends with IDOK only when a code was accepted; IDCANCEL
// for Cancel, Escape, the close box or the fifth wrong code; IDABORT when a
// right code could not be removed from the store (it is refused).

#include <windows.h>
#include <winwlx.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ui/modal_dialog.h"

enum class RecoveryAnswer { Accepted, Wrong, Refused };

// Checks one typed code (and removes it when it matches). Must not throw.
using CheckRecoveryAnswer = std::function<RecoveryAnswer(const std::wstring& typed)>;

constexpr int kMaxWrongRecoveryCodes = 5;
// What each wrong code costs before the next try: five tries cannot be
// spread over many dialogs faster than this.
constexpr DWORD kWrongRecoveryCodePauseMs = 2000;

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
