#pragma once
// Where the built VynGina.dll is, as Wine sees it (the build passes the Unix
// path; Wine maps the root to drive Z:).

#include <string>

inline std::wstring BuiltModulePath() {
    std::wstring path = L"Z:";
    for (const char* p = VYN_MODULE_PATH; *p; ++p) path += static_cast<wchar_t>(*p == '/' ? '\\' : *p);
    return path;
}
