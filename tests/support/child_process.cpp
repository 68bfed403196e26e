#include "tests/support/child_process.h"

#include <sstream>

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
    // Wine, rarely and mostly while a fresh prefix is busy, fails a process
    // that dies during its own start-up with ERROR_INTERNAL_ERROR, before any
    // code of the program has run: only that start is tried again. Any other
    // failure, and anything the program does once started, counts.
    BOOL started = FALSE;
    DWORD startError = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &process);
        startError = ::GetLastError();
        if (started || startError != ERROR_INTERNAL_ERROR) break;
        ::Sleep(200);
    }
    // The child holds its own copy now; ours must go, or the read never ends.
    writeEnd.reset();
    nul.reset();
    if (!started) {
        ADD_FAILURE() << "CreateProcessW " << startError;
        return run;
    }
    const unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
    // The pipe is read until the child has exited, not until it reports its
    // end: a process the child started may hold a copy of the write end and
    // outlive it (Wine starts its desktop process from the first window of a
    // session, with the opener's standard handles), and the pipe would then
    // never end. A child still running after 100 s is ended and fails the
    // test with what it wrote, within ctest's own limit.
    char buffer[4096];
    auto drain = [&]() {
        DWORD available = 0;
        while (::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            DWORD got = 0;
            if (!::ReadFile(readEnd.get(), buffer, available < sizeof buffer ? available : sizeof buffer, &got,
                            nullptr) ||
                got == 0)
                return;
            run.out.append(buffer, got);
        }
    };
    const DWORD startedAt = ::GetTickCount();
    for (;;) {
        drain();
        if (::WaitForSingleObject(processHandle.get(), 20) == WAIT_OBJECT_0) {
            drain();
            ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
            return run;
        }
        if (::GetTickCount() - startedAt > 100000) {
            ::TerminateProcess(processHandle.get(), 0xFFFFFFFF);
            ADD_FAILURE() << "the child ran past 100 s; it wrote:\n" << run.out;
            return run;
        }
    }
}

ChildRun RunChildWithOutputFile(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    ChildRun run;
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"vyn", 0, path) == 0) {
        ADD_FAILURE() << "temporary file " << ::GetLastError();
        return run;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // Deleted when the last handle goes, whichever process holds it last.
    const unique_hfile output(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                            nullptr));
    if (!output) {
        ADD_FAILURE() << "CreateFileW " << ::GetLastError();
        return run;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "CreateProcessW " << ::GetLastError();
        return run;
    }
    const unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
    if (::WaitForSingleObject(processHandle.get(), timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(processHandle.get(), &run.exitCode);
    } else {
        ADD_FAILURE() << "still running after " << timeoutMs << " ms; ended";
        ::TerminateProcess(processHandle.get(), 0xFFFFFFFF);
        ::WaitForSingleObject(processHandle.get(), 5000);
    }
    // The child wrote through its own copy of the handle, at its own offset:
    // read the file from its start.
    ::SetFilePointer(output.get(), 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(output.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) run.out.append(buffer, got);
    return run;
}

std::vector<std::string> ChildRun::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
