#pragma once
// Paths of build outputs are handed in by CMake as Unix paths; the test,
// under Wine, sees them through drive Z:.

#include <string>

inline std::wstring WindowsPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return path;
}
