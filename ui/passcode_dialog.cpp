#include "ui/passcode_dialog.h"

#include <utility>
#include <vector>

#include "diag/secrets.h"
#include "common/strings.h"
#include "diag/errors.h"
#include "diag/log.h"
#include "ui/message_box.h"

POINT PasscodeDialogPosition(int screenWidth, int screenHeight, int width, int height) {
    POINT p;
    p.x = static_cast<LONG>(static_cast<double>(screenWidth - width) * 0.5);
    p.y = static_cast<LONG>(static_cast<double>(screenHeight - height) * 0.33);
    return p;
}

CVynAuthDialog::CVynAuthDialog(AuthorizeAnswer authorize, PWLX_DISPATCH_VERSION_1_0 winlogonFunctions,
                               HANDLE wlxHandle)
    : authorize_(std::move(authorize)), winlogonFunctions_(winlogonFunctions), wlxHandle_(wlxHandle) {}

CVynAuthDialog::~CVynAuthDialog() = default;

uint32_t CVynAuthDialog::GetTemplateId() const { return IDD_PASSCODE; }

void CVynAuthDialog::Place() {
    RECT rect;
    if (!::GetWindowRect(m_hWnd, &rect)) return;
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const POINT at =
        PasscodeDialogPosition(::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), width, height);
    ::MoveWindow(m_hWnd, at.x, at.y, width, height, TRUE);
}

void CVynAuthDialog::ShowMessage(const std::wstring& text) {
    ShowVynMessageBox(winlogonFunctions_, wlxHandle_, m_hWnd, text);
}

bool CVynAuthDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_CLOSE:
        ::EndDialog(m_hWnd, IDCLOSE);
        return true;
    case WM_INITDIALOG:
        Place();
        return false;  // we leave the keyboard focus where the dialog manager puts it
    case WM_COMMAND: {
        if (HIWORD(wParam) != 0) return false;
        const WORD id = LOWORD(wParam);
        if (id == IDOK) {
            if (OnOK()) {
                ::EndDialog(m_hWnd, IDOK);
            } else if (foreignFailure_) {
                ::EndDialog(m_hWnd, kPasscodeDialogAborted);
            } else {
                ::SendMessageW(m_hWnd, WM_NEXTDLGCTL,
                               reinterpret_cast<WPARAM>(::GetDlgItem(m_hWnd, kPasscodeEditId)), TRUE);
            }
            return true;
        }
        if (id == IDCANCEL) {
            ::EndDialog(m_hWnd, IDCANCEL);
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

bool CVynAuthDialog::OnOK() {
    // Nothing may escape into the dialog manager's frames (and from there into
    // Winlogon): exceptions outside our family are kept for the gate instead.
    try {
        const HWND edit = ::GetDlgItem(m_hWnd, kPasscodeEditId);
        const int length = ::GetWindowTextLengthW(edit);
        if (length == 0) {
            ShowMessage(L"Please enter your Vyn passcode.");
            return false;
        }
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
        ::GetWindowTextW(edit, buffer.data(), length + 1);
        const std::string answer = ToUtf8(std::wstring(buffer.data()));
        // A passcode is a secret: only factor words are logged as typed.
        LogMessage("Vyn passcode: " + MaskAnswerForLog(answer));
        try {
            return authorize_(m_hWnd, answer);
        } catch (const CVynException& e) {
            const std::wstring text = e.GetUserMessage();
            LogMessage("Caught exception from AuthorizeVynUser: " + ServiceTextForLog(ToUtf8(text)));
            if (e.GetKind() == NoError) return true;
            ShowMessage(text);
            return false;
        }
    } catch (...) {
        LogMessage("ERROR: Unexpected exception during authentication");
        foreignFailure_ = std::current_exception();
        return false;
    }
}
