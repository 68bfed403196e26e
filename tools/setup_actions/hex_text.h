#pragma once
// How the installer's actions carry bytes through CustomActionData (text
// only): two upper-case hex digits a byte. The immediate actions write it,
// the deferred and rollback actions read it back.

#include <windows.h>

#include <string>

inline void AppendHex(std::wstring& out, const void* data, size_t size) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
}

// Fills `bytes` (a std::string or std::vector<BYTE>); false for an odd count
// or anything but upper-case hex digits.
template <class Bytes>
bool FromHex(const std::wstring& text, Bytes& bytes) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9') return c - L'0';
        if (c >= L'A' && c <= L'F') return c - L'A' + 10;
        return -1;
    };
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<typename Bytes::value_type>(high << 4 | low));
    }
    return true;
}
