#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "tests/config/module_path.h"
#include "tests/config/registry_helpers.h"
#include "tests/support/log_capture.h"

namespace {

using testreg::kEventSourceKey;
using testreg::kWinlogonKey;
using testreg::Query;

using RegistrationFn = HRESULT(__stdcall*)();

std::string DwordBytes(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

// Loads the built module for real (DllMain runs), and resolves the two
// exports by name, as regsvr32 does.
class Registration : public ::testing::Test {
protected:
    void SetUp() override {
        Clean();
        module_.reset(::LoadLibraryW(BuiltModulePath().c_str()));
        ASSERT_TRUE(module_) << "LoadLibraryW failed: " << ::GetLastError();
        registerServer_ = reinterpret_cast<RegistrationFn>(::GetProcAddress(module_.get(), "DllRegisterServer"));
        unregisterServer_ = reinterpret_cast<RegistrationFn>(::GetProcAddress(module_.get(), "DllUnregisterServer"));
        ASSERT_NE(registerServer_, nullptr);
        ASSERT_NE(unregisterServer_, nullptr);
        wchar_t path[MAX_PATH + 1] = {};
        ASSERT_NE(::GetModuleFileNameW(module_.get(), path, MAX_PATH + 1), 0u);
        modulePath_ = path;
    }
    void TearDown() override {
        module_.reset();
        Clean();
    }
    static void Clean() {
        testreg::DeleteValue(kWinlogonKey, L"GinaDLL");
        testreg::DeleteKey(kEventSourceKey);
    }

    void ExpectRegistered() {
        const std::string pathBytes = testreg::WideBytesWithNul(modulePath_);
        const auto gina = Query(kWinlogonKey, L"GinaDLL");
        EXPECT_TRUE(gina.present);
        EXPECT_EQ(gina.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(gina.bytes, pathBytes);
        ExpectEventSourceRegistered();
    }
    void ExpectEventSourceRegistered() {
        const auto file = Query(kEventSourceKey, L"EventMessageFile");
        EXPECT_TRUE(file.present);
        EXPECT_EQ(file.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(file.bytes, testreg::WideBytesWithNul(modulePath_));
        const auto types = Query(kEventSourceKey, L"TypesSupported");
        EXPECT_TRUE(types.present);
        EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(types.bytes, DwordBytes(7));
    }

    unique_hmodule module_;
    RegistrationFn registerServer_ = nullptr;
    RegistrationFn unregisterServer_ = nullptr;
    std::wstring modulePath_;
};

TEST_F(Registration, NamesTheModuleAsLoginModuleAndEventMessageFile) {
    EXPECT_EQ(modulePath_.substr(modulePath_.size() - 12), L"\\VynGina.dll");
    EXPECT_EQ(registerServer_(), S_OK);
    ExpectRegistered();
    // Byte length (characters + 1) x 2.
    EXPECT_EQ(Query(kWinlogonKey, L"GinaDLL").bytes.size(), (modulePath_.size() + 1) * 2);
}

TEST_F(Registration, RegisteringTwiceOverwritesTheSameValues) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kWinlogonKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t other[] = L"msgina.dll";
    ::RegSetValueExW(key, L"GinaDLL", 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof other);
    ::RegCloseKey(key);

    EXPECT_EQ(registerServer_(), S_OK);
    EXPECT_EQ(registerServer_(), S_OK);
    ExpectRegistered();
}

TEST_F(Registration, RegistrationWritesNoLogLine) {
    LogCapture capture;
    EXPECT_EQ(registerServer_(), S_OK);
    EXPECT_EQ(unregisterServer_(), S_OK);
    EXPECT_TRUE(capture.RawLines().empty());
}

TEST_F(Registration, UnregisteringRemovesOnlyTheLoginModuleAndSucceedsTwice) {
    ASSERT_EQ(registerServer_(), S_OK);
    EXPECT_EQ(unregisterServer_(), S_OK);
    EXPECT_FALSE(Query(kWinlogonKey, L"GinaDLL").present);
    ExpectEventSourceRegistered();
    EXPECT_EQ(unregisterServer_(), S_OK);
    ExpectEventSourceRegistered();
}

TEST_F(Registration, UnregisteringWithoutGinaDllSucceeds) {
    ASSERT_FALSE(Query(kWinlogonKey, L"GinaDLL").present);
    EXPECT_EQ(unregisterServer_(), S_OK);
}

TEST_F(Registration, ReadOnlyWinlogonKeyIsAccessDenied) {
    ASSERT_EQ(registerServer_(), S_OK);
    {
        testreg::ReadOnlyKey readOnly(kWinlogonKey);
        EXPECT_EQ(registerServer_(), static_cast<HRESULT>(0x80070005));
        EXPECT_EQ(unregisterServer_(), static_cast<HRESULT>(0x80070005));
    }
    EXPECT_TRUE(Query(kWinlogonKey, L"GinaDLL").present);
    EXPECT_EQ(unregisterServer_(), S_OK);
}

TEST_F(Registration, ReadOnlyEventSourceKeyIsAccessDeniedAndGinaDllStaysSet) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
    {
        testreg::ReadOnlyKey readOnly(kEventSourceKey);
        EXPECT_EQ(registerServer_(), static_cast<HRESULT>(0x80070005));
    }
    const auto gina = Query(kWinlogonKey, L"GinaDLL");
    EXPECT_EQ(gina.bytes, testreg::WideBytesWithNul(modulePath_));
    EXPECT_FALSE(Query(kEventSourceKey, L"TypesSupported").present);
}

DWORD RunAndWait(std::wstring commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return 0xFFFFFFFF;
    }
    const unique_handle process(pi.hProcess);
    const unique_handle thread(pi.hThread);
    EXPECT_EQ(::WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(pi.hProcess, &code);
    return code;
}

TEST_F(Registration, SystemRegistrationToolRegistersAndUnregisters) {
    EXPECT_EQ(RunAndWait(L"regsvr32.exe /s \"" + BuiltModulePath() + L"\""), 0u);
    ExpectRegistered();
    EXPECT_EQ(RunAndWait(L"regsvr32.exe /s /u \"" + BuiltModulePath() + L"\""), 0u);
    EXPECT_FALSE(Query(kWinlogonKey, L"GinaDLL").present);
    ExpectEventSourceRegistered();
}

}  // namespace

namespace {

// A copy of the module whose full path is longer than the 260 characters the
// registration reads: the path comes back cut short, and a cut path must never
// become Winlogon's login module.
class LongPathCopy {
public:
    LongPathCopy() {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        std::wstring dir = temp;
        dir += L"vyn-long-path";
        dirs_.push_back(dir);
        while (dir.size() < 280) {
            dir += L"\\" + std::wstring(60, L'd');
            dirs_.push_back(dir);
        }
        for (const auto& d : dirs_) ::CreateDirectoryW(d.c_str(), nullptr);
        path_ = dir + L"\\VynGina.dll";
        copied_ = ::CopyFileW(BuiltModulePath().c_str(), path_.c_str(), FALSE) != FALSE;
    }
    ~LongPathCopy() {
        ::DeleteFileW(path_.c_str());
        for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) ::RemoveDirectoryW(it->c_str());
    }
    bool copied() const { return copied_; }
    const std::wstring& path() const { return path_; }

private:
    std::vector<std::wstring> dirs_;
    std::wstring path_;
    bool copied_ = false;
};

TEST(RegistrationLongPath, ModulePathLongerThanTheBufferRegistersNothing) {
    testreg::DeleteValue(kWinlogonKey, L"GinaDLL");
    testreg::DeleteKey(kEventSourceKey);
    LongPathCopy copy;
    ASSERT_TRUE(copy.copied()) << ::GetLastError();
    ASSERT_GT(copy.path().size(), static_cast<size_t>(MAX_PATH));
    {
        const unique_hmodule module(::LoadLibraryW(copy.path().c_str()));
        ASSERT_TRUE(module) << ::GetLastError();
        const auto registerServer = reinterpret_cast<RegistrationFn>(::GetProcAddress(module.get(), "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        EXPECT_EQ(registerServer(), static_cast<HRESULT>(0x8007007A));
    }
    EXPECT_FALSE(Query(kWinlogonKey, L"GinaDLL").present);
    EXPECT_FALSE(Query(kEventSourceKey, L"EventMessageFile").present);
}

}  // namespace
