#pragma once
// Paths of build outputs, handed in by CMake as Unix paths and seen by the
// test under Wine through drive Z:.

#include <string>

inline std::wstring WindowsPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return path;
}

inline std::wstring ModulePath() { return WindowsPath(VYNGINA_DLL_PATH); }
inline std::wstring StubMsginaDir() { return WindowsPath(STUB_MSGINA_DIR); }
