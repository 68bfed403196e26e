#pragma once
// Registry set-up for the tests of this folder: every test starts from keys it
// removed itself, and writes values with exact types and byte counts.

#include <windows.h>

#include <string>
#include <vector>

namespace testreg {

constexpr char kPolicyKey[] = "Software\\Policies\\Vyn Security\\VynCredProv";
constexpr char kNormalKey[] = "Software\\Vyn Security\\VynCredProv";
constexpr wchar_t kWinlogonKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vyn Security";

// Removes a leaf key under HKLM (the tests never create subkeys); absent is fine.
void DeleteKey(const char* path);
void DeleteKey(const wchar_t* path);
void DeleteValue(const wchar_t* keyPath, const wchar_t* name);

// Writes raw bytes of any type under HKLM\keyPath through the ANSI interface,
// creating the key. The byte count is exactly bytes.size().
void SetRaw(const char* keyPath, const char* name, DWORD type, const std::string& bytes);
// A REG_SZ with its terminating NUL.
void SetString(const char* keyPath, const char* name, const std::string& text);
void SetDword(const char* keyPath, const char* name, DWORD value);

struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::string bytes;
};
Value Query(const wchar_t* keyPath, const wchar_t* name);

// The UTF-16 bytes of text plus a terminating NUL, as a REG_SZ holds them.
std::string WideBytesWithNul(const std::wstring& text);

// While it lives, the key HKLM\keyPath grants only KEY_READ to everyone, so a
// write attempt fails with ERROR_ACCESS_DENIED for real. The original DACL is
// put back through the handle opened before the change.
class ReadOnlyKey {
public:
    explicit ReadOnlyKey(const wchar_t* keyPath);
    ~ReadOnlyKey();
    ReadOnlyKey(const ReadOnlyKey&) = delete;
    ReadOnlyKey& operator=(const ReadOnlyKey&) = delete;

private:
    HKEY key_ = nullptr;
    std::vector<BYTE> original_;
};

}  // namespace testreg
