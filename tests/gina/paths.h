#pragma once
// Paths of build outputs, handed in by CMake as Unix paths and seen by the
// test under Wine through drive Z:.

#include <string>

#include "tests/support/windows_path.h"

inline std::wstring ModulePath() { return WindowsPath(VYNGINA_DLL_PATH); }
inline std::wstring StubMsginaDir() { return WindowsPath(STUB_MSGINA_DIR); }
