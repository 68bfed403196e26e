#include "tools/check/console.h"

#include "common/strings.h"

void WriteStdText(DWORD which, const std::string& text) {
    const HANDLE out = ::GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(out, &mode)) {
        std::wstring wide = FromUtf8(text);
        ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        // vyn-recovery prints its codes through here: the converted copy is
        // wiped as the caller wipes its own.
        if (!wide.empty()) SecureZeroMemory(&wide[0], wide.size() * sizeof(wchar_t));
        return;
    }
    ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
