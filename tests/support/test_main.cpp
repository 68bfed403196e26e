// main() of every test program: GoogleTest, plus a crash filter. Under Wine a
// crashing process can exit with code 0, which ctest would count as a pass.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace {
LONG WINAPI TerminateOnCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "test program crashed: exception 0x%08lX at %p\n",
                 info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 0xC0DEDEAD);
    return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

int main(int argc, char** argv) {
    ::SetUnhandledExceptionFilter(TerminateOnCrash);
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
