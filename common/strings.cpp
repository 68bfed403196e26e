#include "common/strings.h"

#include <windows.h>

#include <climits>

std::string ToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], needed, nullptr, nullptr) != needed)
        return {};
    return out;
}

std::string ToUtf8(const wchar_t* text) {
    return text ? ToUtf8(std::wstring(text)) : std::string();
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<size_t>(needed), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &out[0], needed) != needed) return {};
    return out;
}
