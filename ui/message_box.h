#pragma once
// Message boxes of the gate and the passcode dialog, captioned "Vyn Security".

#include <windows.h>
#include <winwlx.h>

#include <string>

// Shows `text` through Winlogon's WlxMessageBox with MB_OK | MB_ICONERROR.
// Without a dispatch table (the module loaded by a host program before
// WlxInitialize) it falls back to MessageBoxW rather than dereferencing null.
int ShowVynMessageBox(PWLX_DISPATCH_VERSION_1_0 functions, HANDLE wlx, HWND owner, const std::wstring& text);
