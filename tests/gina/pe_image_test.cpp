// Reads the built VynGina.dll and vyn-check.exe from disk and checks what
// decides whether they load on Windows XP x64 / Server 2003 x64: PE32+ for x64,
// subsystem and OS versions of at most 5.2, imports only from system DLLs and
// no function those systems lack; and the exports Winlogon looks up.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/gina/paths.h"

namespace {

// The exports by name. Add here when the module exports more.
const std::vector<std::string> kExpectedExports = {
    "DllRegisterServer",       "DllUnregisterServer",
    "ShellShutdownDialog",     "WlxActivateUserShell",   "WlxDisconnectNotify",
    "WlxDisplayLockedNotice",  "WlxDisplaySASNotice",    "WlxDisplayStatusMessage",
    "WlxGetConsoleSwitchCredentials", "WlxGetStatusMessage", "WlxInitialize",
    "WlxIsLockOk",             "WlxIsLogoffOk",          "WlxLoggedOnSAS",
    "WlxLoggedOutSAS",         "WlxLogoff",              "WlxNegotiate",
    "WlxNetworkProviderLoad",  "WlxReconnectNotify",     "WlxRemoveStatusMessage",
    "WlxShutdown",             "WlxStartApplication",    "WlxWkstaLockedSAS",
};

const std::set<std::string> kSystemDlls = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "comctl32.dll",
    "winhttp.dll",  "ws2_32.dll", "msvcrt.dll",   "gdi32.dll",   "ole32.dll",
    "secur32.dll",  "crypt32.dll", "version.dll", "shlwapi.dll", "ntdll.dll",   "psapi.dll",
    "msi.dll",
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool IsAllowedDll(const std::string& name) { return kSystemDlls.count(Lower(name)) != 0; }

// Functions of Vista and later that a module for NT 5.2 must not import.
bool IsDeniedFunction(const std::string& name) {
    auto starts = [&](const char* prefix) { return name.rfind(prefix, 0) == 0; };
    auto contains = [&](const char* part) { return name.find(part) != std::string::npos; };
    return starts("InitOnce") || contains("SRWLock") || contains("ConditionVariable") ||
           name == "GetTickCount64" || name == "GetSystemTimePreciseAsFileTime" || starts("CreateEventEx") ||
           starts("CreateMutexEx") || starts("CreateSemaphoreEx") || name == "InitializeCriticalSectionEx" ||
           starts("BCrypt") || name == "inet_pton" || name == "inet_ntop" ||
           // The C runtime's bounds-checked functions (vsnprintf_s, gmtime_s, ...):
           // msvcrt.dll of XP x64 / Server 2003 x64 does not export them.
           (name.size() > 2 && name.compare(name.size() - 2, 2, "_s") == 0);
}

class PeImage {
public:
    explicit PeImage(const std::wstring& path) {
        std::ifstream file(path.c_str(), std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (bytes_.size() < sizeof(IMAGE_DOS_HEADER)) return;
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return;
        nt_ = At<IMAGE_NT_HEADERS64>(static_cast<size_t>(dos->e_lfanew));
        if (!nt_ || nt_->Signature != IMAGE_NT_SIGNATURE) nt_ = nullptr;
    }

    bool valid() const { return nt_ != nullptr; }
    const IMAGE_NT_HEADERS64& nt() const { return *nt_; }

    template <class T>
    const T* At(size_t offset) const {
        return offset + sizeof(T) <= bytes_.size() ? reinterpret_cast<const T*>(bytes_.data() + offset) : nullptr;
    }

    // File offset of a relative virtual address, through the section table.
    size_t Offset(DWORD rva) const {
        const auto* section = IMAGE_FIRST_SECTION(nt_);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
            const DWORD size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + size)
                return rva - section->VirtualAddress + section->PointerToRawData;
        }
        return bytes_.size();
    }

    std::string String(DWORD rva) const {
        std::string s;
        for (size_t at = Offset(rva); at < bytes_.size() && bytes_[at]; ++at) s += bytes_[at];
        return s;
    }

    const IMAGE_DATA_DIRECTORY& Directory(int index) const { return nt_->OptionalHeader.DataDirectory[index]; }

    // DLL name -> imported function names ("#n" for imports by ordinal).
    std::vector<std::pair<std::string, std::vector<std::string>>> Imports() const {
        std::vector<std::pair<std::string, std::vector<std::string>>> result;
        const auto& dir = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
        if (!dir.VirtualAddress) return result;
        for (size_t at = Offset(dir.VirtualAddress);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* d = At<IMAGE_IMPORT_DESCRIPTOR>(at);
            if (!d || !d->Name) break;
            result.push_back({String(d->Name), Thunks(d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk)});
        }
        return result;
    }

    std::vector<std::pair<std::string, std::vector<std::string>>> DelayImports() const {
        std::vector<std::pair<std::string, std::vector<std::string>>> result;
        const auto& dir = Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
        if (!dir.VirtualAddress) return result;
        for (size_t at = Offset(dir.VirtualAddress);; at += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)) {
            const auto* d = At<IMAGE_DELAYLOAD_DESCRIPTOR>(at);
            if (!d || !d->DllNameRVA) break;
            result.push_back({String(d->DllNameRVA), Thunks(d->ImportNameTableRVA)});
        }
        return result;
    }

    std::vector<std::string> ExportNames() const {
        std::vector<std::string> names;
        const auto& dir = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
        if (!dir.VirtualAddress) return names;
        const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(Offset(dir.VirtualAddress));
        if (!exports) return names;
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            const auto* rva = At<DWORD>(Offset(exports->AddressOfNames) + i * sizeof(DWORD));
            if (rva) names.push_back(String(*rva));
        }
        return names;
    }

private:
    std::vector<std::string> Thunks(DWORD rva) const {
        std::vector<std::string> names;
        for (size_t at = Offset(rva);; at += sizeof(ULONGLONG)) {
            const auto* thunk = At<ULONGLONG>(at);
            if (!thunk || !*thunk) break;
            if (*thunk & IMAGE_ORDINAL_FLAG64)
                names.push_back("#" + std::to_string(*thunk & 0xFFFF));
            else
                names.push_back(String(static_cast<DWORD>(*thunk) + sizeof(WORD)));  // skip the hint
        }
        return names;
    }

    std::vector<char> bytes_;
    const IMAGE_NT_HEADERS64* nt_ = nullptr;
};

// scripts/package.sh runs these checks on each release binary, named in
// VYN_PE_IMAGE (a Windows path); the test build's module otherwise.
std::wstring ImagePath() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD chars = ::GetEnvironmentVariableW(L"VYN_PE_IMAGE", path, MAX_PATH + 1);
    return chars != 0 && chars <= MAX_PATH ? std::wstring(path, chars) : ModulePath();
}

// Normal and delay-load imports alike: only system DLLs, and none of the
// functions that first shipped after Windows XP x64 / Server 2003 x64.
void ExpectXpEraImports(const PeImage& image) {
    auto imports = image.Imports();
    ASSERT_FALSE(imports.empty());
    const auto delayed = image.DelayImports();
    imports.insert(imports.end(), delayed.begin(), delayed.end());
    for (const auto& [dll, functions] : imports) {
        EXPECT_TRUE(IsAllowedDll(dll)) << "imports from " << dll;
        for (const auto& function : functions) EXPECT_FALSE(IsDeniedFunction(function)) << dll << "!" << function;
    }
}

class ModuleImage : public testing::Test {
protected:
    PeImage image{ImagePath()};
    void SetUp() override { ASSERT_TRUE(image.valid()) << "cannot read the image under test"; }
};

TEST_F(ModuleImage, IsA64BitDll) {
    EXPECT_EQ(image.nt().FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(image.nt().OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_TRUE(image.nt().FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST_F(ModuleImage, SubsystemAndOsVersionAtMost52) {
    const auto& h = image.nt().OptionalHeader;
    auto atMost52 = [](WORD major, WORD minor) { return major < 5 || (major == 5 && minor <= 2); };
    EXPECT_TRUE(atMost52(h.MajorSubsystemVersion, h.MinorSubsystemVersion))
        << h.MajorSubsystemVersion << "." << h.MinorSubsystemVersion;
    EXPECT_TRUE(atMost52(h.MajorOperatingSystemVersion, h.MinorOperatingSystemVersion))
        << h.MajorOperatingSystemVersion << "." << h.MinorOperatingSystemVersion;
}

TEST_F(ModuleImage, ImportsOnlyXpEraFunctionsOfSystemDlls) {
    ExpectXpEraImports(image);
}

TEST_F(ModuleImage, ExportsTheLoginModuleInterfaceByName) {
    auto names = image.ExportNames();
    std::sort(names.begin(), names.end());
    auto expected = kExpectedExports;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

// The preflight tool ships to the same machines, under the same rules.
class ToolImage : public testing::Test {
protected:
    PeImage image{WindowsPath(VYN_CHECK_PATH)};
    void SetUp() override { ASSERT_TRUE(image.valid()) << "cannot read " << VYN_CHECK_PATH; }
};

TEST_F(ToolImage, IsA64BitConsoleProgramForNt52) {
    EXPECT_EQ(image.nt().FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(image.nt().OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_FALSE(image.nt().FileHeader.Characteristics & IMAGE_FILE_DLL);
    const auto& h = image.nt().OptionalHeader;
    EXPECT_EQ(h.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
    EXPECT_EQ(h.MajorSubsystemVersion * 100 + h.MinorSubsystemVersion, 502);
    EXPECT_LE(h.MajorOperatingSystemVersion * 100 + h.MinorOperatingSystemVersion, 502);
}

TEST_F(ToolImage, ImportsOnlyXpEraFunctionsOfSystemDlls) {
    ExpectXpEraImports(image);
}

// The installer's actions run inside Windows Installer on the same machines:
// a DLL under the same rules, exporting exactly the actions the package names.
class SetupActionsImage : public testing::Test {
protected:
    PeImage image{WindowsPath(VYN_SETUP_ACTIONS_PATH)};
    void SetUp() override { ASSERT_TRUE(image.valid()) << "cannot read " << VYN_SETUP_ACTIONS_PATH; }
};

TEST_F(SetupActionsImage, IsA64BitDllForNt52WithXpEraImportsAndItsActions) {
    EXPECT_EQ(image.nt().FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(image.nt().OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_TRUE(image.nt().FileHeader.Characteristics & IMAGE_FILE_DLL);
    const auto& h = image.nt().OptionalHeader;
    EXPECT_LE(h.MajorSubsystemVersion * 100 + h.MinorSubsystemVersion, 502);
    EXPECT_LE(h.MajorOperatingSystemVersion * 100 + h.MinorOperatingSystemVersion, 502);
    ExpectXpEraImports(image);
    auto names = image.ExportNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"GiveBackGina", "KeepReplacedGina", "PrepareGinaGiveBack",
                                                 "RecordReplacedGina"}));
}

// The rules themselves, so that a pass above means something.
TEST(ImportRules, TellVistaFunctionsAndForeignDllsApart) {
    for (const char* denied : {"InitOnceExecuteOnce", "InitOnceBeginInitialize", "AcquireSRWLockExclusive",
                               "SleepConditionVariableCS", "GetTickCount64", "GetSystemTimePreciseAsFileTime",
                               "CreateEventExW", "CreateMutexExW", "CreateSemaphoreExW",
                               "InitializeCriticalSectionEx", "BCryptGenRandom", "inet_pton", "_vsnprintf_s",
                               "vsnprintf_s", "_gmtime64_s"})
        EXPECT_TRUE(IsDeniedFunction(denied)) << denied;
    for (const char* allowed : {"GetTickCount", "CreateEventW", "InitializeCriticalSection", "CryptCreateHash",
                                "SystemFunction036", "_time64", "getaddrinfo", "_vsnprintf"})
        EXPECT_FALSE(IsDeniedFunction(allowed)) << allowed;
    EXPECT_TRUE(IsAllowedDll("KERNEL32.dll"));
    EXPECT_TRUE(IsAllowedDll("WinHttp.DLL"));
    for (const char* foreign : {"api-ms-win-core-synch-l1-2-0.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                                "libwinpthread-1.dll", "bcrypt.dll", "ucrtbase.dll"})
        EXPECT_FALSE(IsAllowedDll(foreign)) << foreign;
}

}  // namespace
