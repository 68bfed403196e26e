#pragma once
// The passcode dialog: the user types a passcode or a factor word ("push",
// "phone", "sms") and presses OK; the dialog runs the authentication itself and
// stays open after a refusal, so the user can try again. It ends with 1 only
// when the second factor succeeded, 2 for Cancel/Escape, 8 for the close box.

#include <windows.h>
#include <winwlx.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "ui/modal_dialog.h"
#include "ui/resource.h"

constexpr int kPasscodeEditId = 1001;
// Ends the dialog when authentication failed with an exception outside the
// module's own family; the gate then refuses with the unexpected-error text.
constexpr INT_PTR kPasscodeDialogAborted = IDABORT;

// Where the dialog goes: centred horizontally, a third of the way down.
POINT PasscodeDialogPosition(int screenWidth, int screenHeight, int width, int height);

// Runs the authentication of one answer with the dialog as owner of what it
// shows: true when the second factor succeeded, false when the user may try
// again; the client's failures are thrown (CVynException family).
using AuthorizeAnswer = std::function<bool(HWND owner, const std::string& answer)>;

class CVynAuthDialog : public CVynModalDialog {
public:
    // Made by the gate for one display, with the authentication of the user
    // it stands for; nothing here is owned.
    CVynAuthDialog(AuthorizeAnswer authorize, PWLX_DISPATCH_VERSION_1_0 winlogonFunctions, HANDLE wlxHandle);
    ~CVynAuthDialog() override;

    uint32_t GetTemplateId() const override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    virtual bool OnOK();

    // The exception outside the CVynException family that ended the dialog, if any.
    std::exception_ptr ForeignFailure() const { return foreignFailure_; }

private:
    void Place();
    void ShowMessage(const std::wstring& text);

    AuthorizeAnswer authorize_;
    PWLX_DISPATCH_VERSION_1_0 winlogonFunctions_;
    HANDLE wlxHandle_;
    std::exception_ptr foreignFailure_;
};
