#include "ui/message_box.h"

int ShowVynMessageBox(PWLX_DISPATCH_VERSION_1_0 functions, HANDLE wlx, HWND owner, const std::wstring& text) {
    constexpr UINT kStyle = MB_OK | MB_ICONERROR;
    if (!functions || !functions->WlxMessageBox)
        return ::MessageBoxW(owner, text.c_str(), L"Vyn Security", kStyle);
    // Winlogon's service takes non-const strings: hand it copies.
    std::wstring body = text;
    std::wstring caption = L"Vyn Security";
    return functions->WlxMessageBox(wlx, owner, &body[0], &caption[0], kStyle);
}
