#pragma once
// What the logon host prints: the lines of a run (Say), which rounds after
// the first of a --repeat run keep quiet, and the summary lines (Report),
// which are always printed. Every line is flushed at once, so that a test
// reading the host's output sees each line while the module still runs.

#include <string>

std::string Utf8(const std::wstring& text);
// "(null)" for a null text: the module may hand Winlogon null strings.
std::string Utf8(const wchar_t* text);

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Set by the rounds loop (logon_host.cpp) after the first round of --repeat.
extern bool gQuiet;
