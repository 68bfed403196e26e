#pragma once
// Output of the administrators' console tools (vyn-check, vyn-recovery).

#include <windows.h>

#include <string>

// Writes UTF-8 `text` to the standard handle `which` (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE): as UTF-16 to a console, so that names outside the
// console's code page read right, and as the UTF-8 bytes themselves to a pipe
// or file, which a script reads.
void WriteStdText(DWORD which, const std::string& text);
