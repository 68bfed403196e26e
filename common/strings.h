#pragma once
// Conversions between the module's 8-bit UTF-8 strings and Windows UTF-16 text.
// Both go through the platform's code-page conversion (CP_UTF8, no flags); an
// empty input, or a conversion that fails, yields an empty string.

#include <string>

std::string ToUtf8(const std::wstring& text);
std::string ToUtf8(const wchar_t* text);  // null reads as empty
std::wstring FromUtf8(const std::string& text);
