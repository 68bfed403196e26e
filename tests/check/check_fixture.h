#pragma once
// What the tests of vyn-check share: the tool run as a child process, its
// output read back, and a fixture that writes the settings each test needs
// (and removes them after) with the module registered and loaded once.

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>

#include "diag/log.h"
#include "diag/log_setup.h"
#include "tests/config/registry_helpers.h"
#include "tests/support/child_process.h"
#include "tests/support/refservice.h"
#include "tests/support/windows_path.h"

namespace checktest {

constexpr char kSkey[] = "check-secret-0123456789abcdefABCDEF";
constexpr char kLockedOut[] =
    "verdict: unreachable: the service cannot be used from this machine and FailOpen is off: every challenged logon "
    "and unlock, administrators' included, will be refused. Do not restart until this is fixed.";
constexpr wchar_t kGinaDll[] = L"GinaDLL";

// Runs vyn-check.exe with `args`; its standard error (the usage text) is not
// part of what the tests read.
inline ChildRun RunCheck(const std::wstring& args) {
    return RunChild(WindowsPath(VYN_CHECK_PATH), args, ChildStderr::Discarded);
}

inline bool HasLine(const std::string& out, const std::string& line) {
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

inline std::string LastLine(const std::string& out) {
    const size_t end = out.find_last_not_of('\n');
    const size_t start = out.rfind('\n', end);
    return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

inline std::string ReadLogFile() {
    wchar_t folder[520] = {};
    if (FAILED(GetLogDirectory(folder))) return std::string();
    std::ifstream file((std::wstring(folder) + L"\\vyn.log").c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The log folder and file, made as the module makes them at load: the tool
// itself creates neither.
inline void EnsureLogFile() {
    OpenLogFile();
    CloseLogFile();
}

// Keeps Winlogon's GinaDLL as it was before the test.
class SavedGinaDll {
public:
    SavedGinaDll() : saved_(testreg::Query(testreg::kWinlogonKey, kGinaDll)) {}
    ~SavedGinaDll() {
        if (!saved_.present) {
            testreg::DeleteValue(testreg::kWinlogonKey, kGinaDll);
            return;
        }
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, testreg::kWinlogonKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr) != ERROR_SUCCESS)
            return;
        ::RegSetValueExW(key, kGinaDll, 0, saved_.type, reinterpret_cast<const BYTE*>(saved_.bytes.data()),
                         static_cast<DWORD>(saved_.bytes.size()));
        ::RegCloseKey(key);
    }
    SavedGinaDll(const SavedGinaDll&) = delete;
    SavedGinaDll& operator=(const SavedGinaDll&) = delete;

private:
    testreg::Value saved_;
};

// A REG_SZ under HKLM\keyPath, written through the UTF-16 interface.
inline void SetWideString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string bytes = testreg::WideBytesWithNul(text);
    EXPECT_EQ(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
}

inline void SetGinaDll(const std::wstring& path) { SetWideString(testreg::kWinlogonKey, kGinaDll, path); }

// Gives HKLM\keyPath the access list `sddl`, as an administrator or the
// package would.
inline void SetKeyAcl(const char* keyPath, const wchar_t* sddl) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, READ_CONTROL | WRITE_DAC, &key), ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    EXPECT_EQ(::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
    ::LocalFree(sd);
    ::RegCloseKey(key);
}

// The access list the package gives the settings key.
constexpr wchar_t kProtectedKeyAcl[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

inline std::string ReadBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A file of the test's own in the Windows temporary folder, removed after.
class TempFile {
public:
    TempFile(const wchar_t* name, const std::string& bytes) {
        wchar_t folder[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, folder);
        path_ = std::wstring(folder) + name;
        std::ofstream(path_.c_str(), std::ios::binary | std::ios::trunc) << bytes;
    }
    ~TempFile() { ::DeleteFileW(path_.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// The module's own image with the headers of a 32-bit build: the machine
// field of i386 and the PE32 optional-header magic.
inline std::string AsX86Image(std::string image) {
    const auto lfanew = *reinterpret_cast<const LONG*>(image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew));
    const WORD machine = IMAGE_FILE_MACHINE_I386;
    const WORD magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
    image.replace(lfanew + 4 + offsetof(IMAGE_FILE_HEADER, Machine), 2, reinterpret_cast<const char*>(&machine), 2);
    image.replace(lfanew + 4 + sizeof(IMAGE_FILE_HEADER), 2, reinterpret_cast<const char*>(&magic), 2);
    return image;
}

class VynCheck : public testing::Test {
protected:
    void SetUp() override {
        ikey = refservice::UniqueIkey();
        testreg::DeleteKey(testreg::kPolicyKey);
        testreg::DeleteKey(testreg::kNormalKey);
        // Registered as the package registers it, and loaded once (the log
        // folder and file exist): each test that wants another registration
        // says so.
        SetGinaDll(WindowsPath(VYNGINA_DLL_PATH));
        EnsureLogFile();
        std::string error;
        ASSERT_TRUE(refservice::LoadScenario(ikey, kSkey, R"({
            "users": {"alice": {"result": "auth", "factors": {"default": "push"}},
                      "corp\\bob": {"result": "allow"},
                      "carol": {"result": "enroll", "status": "ignored"},
                      "dave": {"result": "deny", "status": "Locked by the helpdesk"}}})",
                                             &error))
            << error;
    }
    void TearDown() override {
        testreg::DeleteKey(testreg::kPolicyKey);
        testreg::DeleteKey(testreg::kNormalKey);
    }

    // A complete configuration in `key` for this test's tenant.
    void Configure(const char* key, uint16_t port, const std::string& skey = kSkey, DWORD failOpen = 1) {
        testreg::SetString(key, "Host", "localhost:" + std::to_string(port));
        testreg::SetString(key, "IKey", ikey);
        testreg::SetString(key, "SKey", skey);
        testreg::SetDword(key, "FailOpen", failOpen);
        SetKeyAcl(key, kProtectedKeyAcl);
    }

    std::string ikey;
    SavedGinaDll savedGinaDll_;
};

}  // namespace checktest
