#pragma once
// Runs a program of the build as a child process of the test, as an
// administrator would run it from a console: what it writes and how it exits.

#include <windows.h>

#include <string>
#include <vector>

struct ChildRun {
    DWORD exitCode = 0xFFFFFFFF;  // stays so when the program did not start or end
    std::string out;

    // The output by line, without line ends (CR LF or LF).
    std::vector<std::string> Lines() const;
};

enum class ChildStderr {
    Merged,     // standard error joins standard output, in the order written
    Discarded,  // standard error goes to NUL (a usage text the test does not read)
};

// Starts `program` (a Windows path) with `arguments` and reads its standard
// output until it exits: at most 100 s, after which it is ended and the run is
// a test failure (exitCode stays 0xFFFFFFFF). A program that cannot be started
// is a test failure.
ChildRun RunChild(const std::wstring& program, const std::wstring& arguments, ChildStderr errors);

// The same for a program that may start Wine's desktop process (the first
// window of a prefix does): that process inherits the program's standard
// handles and outlives it, so a pipe would never report its end. The output
// goes to a temporary file instead, read once the program has exited. A
// program still running after `timeoutMs` is ended, and the run is a test
// failure (exitCode stays 0xFFFFFFFF).
ChildRun RunChildWithOutputFile(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);

// Runs a shell command on the Unix side (Wine starts Unix programs too) and
// waits until `done` holds, since Wine cannot wait for such a child.
template <class Done>
bool RunUnixShell(const std::string& command, Done done) {
    std::wstring line = L"Z:\\bin\\sh -c \"" + std::wstring(command.begin(), command.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    for (int i = 0; i < 100 && !done(); ++i) ::Sleep(50);
    return done();
}
