#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include "common/handles.h"

ChildRun RunChild(const std::wstring& program, const std::wstring& arguments, ChildStderr errors) {
    ChildRun run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    unique_handle readEnd;
    unique_handle writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe " << ::GetLastError();
        return run;
    }
    // Only the write end goes to the child: with the read end inherited too,
    // the pipe would never report its end.
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    unique_hfile nul;
    if (errors == ChildStderr::Discarded) {
        nul.reset(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = errors == ChildStderr::Merged ? writeEnd.get() : nul.get();
    startup.hStdInput = nullptr;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    const DWORD startError = ::GetLastError();
    // The child holds its own copy now; ours must go, or the read never ends.
    writeEnd.reset();
    nul.reset();
    if (!started) {
        ADD_FAILURE() << "CreateProcessW " << startError;
        return run;
    }
    const unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(readEnd.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) run.out.append(buffer, got);
    if (::WaitForSingleObject(processHandle.get(), 60000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
    return run;
}
