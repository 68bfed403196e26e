#include "ui/recovery_dialog.h"

#include <utility>
#include <vector>

#include "ui/message_box.h"
#include "ui/passcode_dialog.h"
#include "ui/resource.h"

namespace {
const wchar_t kWrongCodeText[] = L"That recovery code is not valid.";
}  // namespace

CVynRecoveryDialog::CVynRecoveryDialog(CheckRecoveryAnswer check, PWLX_DISPATCH_VERSION_1_0 winlogonFunctions,
                                       HANDLE wlxHandle)
    : check_(std::move(check)), winlogonFunctions_(winlogonFunctions), wlxHandle_(wlxHandle) {}

uint32_t CVynRecoveryDialog::GetTemplateId() const { return IDD_RECOVERY; }

bool CVynRecoveryDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_CLOSE:
        ::EndDialog(m_hWnd, IDCANCEL);
        return true;
    case WM_INITDIALOG: {
        // Where the passcode dialog goes, which this one stands in for.
        RECT rect;
        if (::GetWindowRect(m_hWnd, &rect)) {
            const int width = rect.right - rect.left;
            const int height = rect.bottom - rect.top;
            const POINT at = PasscodeDialogPosition(::GetSystemMetrics(SM_CXSCREEN),
                                                    ::GetSystemMetrics(SM_CYSCREEN), width, height);
            ::MoveWindow(m_hWnd, at.x, at.y, width, height, TRUE);
        }
        return false;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) != 0) return false;
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(m_hWnd, IDCANCEL);
            return true;
        }
        return false;
    default:
        return false;
    }
}

void CVynRecoveryDialog::OnOK() {
    const HWND edit = ::GetDlgItem(m_hWnd, IDC_RECOVERY_CODE);
    const int length = ::GetWindowTextLengthW(edit);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(edit, buffer.data(), length + 1);
    std::wstring typed(buffer.data());
    // The code is a secret: it leaves the field as soon as it has been read,
    // and every copy is wiped once it has been checked.
    ::SetWindowTextW(edit, L"");
    SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
    const RecoveryAnswer answer = check_(typed);
    if (!typed.empty()) SecureZeroMemory(&typed[0], typed.size() * sizeof(wchar_t));

    switch (answer) {
    case RecoveryAnswer::Accepted:
        ::EndDialog(m_hWnd, IDOK);
        return;
    case RecoveryAnswer::Refused:
        ::EndDialog(m_hWnd, IDABORT);
        return;
    case RecoveryAnswer::Wrong:
        break;
    }
    if (++wrong_ >= kMaxWrongRecoveryCodes) {
        ShowVynMessageBox(winlogonFunctions_, wlxHandle_, m_hWnd, kWrongCodeText);
        ::EndDialog(m_hWnd, IDCANCEL);
        return;
    }
    ShowVynMessageBox(winlogonFunctions_, wlxHandle_, m_hWnd, kWrongCodeText);
    ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
}
