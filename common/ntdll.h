#pragma once
// Functions of ntdll that Win32 does not offer on XP x64 / Server 2003 x64,
// looked up at run time rather than imported: the module and the tools import
// no ntdll. Each lookup is made once by its caller (a function-local static).

#include <windows.h>

// `name` in ntdll as a `Function`, or nullptr when ntdll has no such export
// (ERROR_PROC_NOT_FOUND).
template <typename Function>
Function NtdllFunction(const char* name) {
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}
