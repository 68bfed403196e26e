#pragma once
// The built VynGina.dll loaded into the test process together with the msgina
// test double, as Winlogon would have them: the module's own LoadLibraryW
// ("msgina.dll") finds the double because its folder is searched before the
// system folders.

#include <windows.h>

#include <string>
#include <vector>

#include "tests/gina/paths.h"
#include "tools/stub_msgina/stub_control.h"

class LoadedModule {
public:
    // stubSettings: what the double is told at load (see stub_control.h).
    explicit LoadedModule(const std::wstring& stubSettings) {
        ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, stubSettings.c_str());
        ::SetDllDirectoryW(StubMsginaDir().c_str());
        handle = ::LoadLibraryW(ModulePath().c_str());
        msgina = ::GetModuleHandleW(L"msgina.dll");
        if (msgina) {
            callCount_ = reinterpret_cast<PFN_StubCallCount>(::GetProcAddress(msgina, "StubCallCount"));
            getCall_ = reinterpret_cast<PFN_StubGetCall>(::GetProcAddress(msgina, "StubGetCall"));
            clearCalls_ = reinterpret_cast<PFN_StubClearCalls>(::GetProcAddress(msgina, "StubClearCalls"));
            context_ = reinterpret_cast<PFN_StubWlxContext>(::GetProcAddress(msgina, "StubWlxContext"));
            configure_ = reinterpret_cast<PFN_StubConfigure>(::GetProcAddress(msgina, "StubConfigure"));
        }
    }
    ~LoadedModule() {
        if (handle) ::FreeLibrary(handle);
        ::SetDllDirectoryW(nullptr);
        ::SetEnvironmentVariableW(VYN_STUB_MSGINA_ENV, nullptr);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    template <class F>
    F Get(const char* name) const {
        return reinterpret_cast<F>(::GetProcAddress(handle, name));
    }

    bool IsStub() const { return callCount_ && getCall_ && clearCalls_ && context_ && configure_; }
    std::vector<StubCall> Calls() const {
        std::vector<StubCall> calls(static_cast<size_t>(callCount_()));
        for (size_t i = 0; i < calls.size(); ++i) getCall_(static_cast<int>(i), &calls[i]);
        return calls;
    }
    void ClearCalls() const { clearCalls_(); }
    PVOID StubContext() const { return context_(); }
    bool Configure(const std::wstring& settings) const { return configure_(settings.c_str()) != FALSE; }

    HMODULE handle = nullptr;
    HMODULE msgina = nullptr;

private:
    PFN_StubCallCount callCount_ = nullptr;
    PFN_StubGetCall getCall_ = nullptr;
    PFN_StubClearCalls clearCalls_ = nullptr;
    PFN_StubWlxContext context_ = nullptr;
    PFN_StubConfigure configure_ = nullptr;
};
