// Reads the built VynGina.dll and vyn-check.exe from disk and checks what
// decides whether they load on Windows XP x64 / Server 2003 x64: PE32+ for x64,
// subsystem and OS versions of at most 5.2, imports only from system DLLs and
// no function those systems lack; and the exports Winlogon looks up. Then the
// product's own reader of such headers (common/gina_image), which vyn-check
// and the uninstall run on files anyone may have written: damaged and hostile
// copies of a real login module.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "common/gina_image.h"
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

// What the module and the tools may import. Winlogon maps every one of these
// DLLs into the logon process: nothing else is allowed in.
const std::set<std::string> kSystemDlls = {
    "kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "comctl32.dll",
    "winhttp.dll",  "ws2_32.dll", "msvcrt.dll",   "gdi32.dll",   "ole32.dll",
    "secur32.dll",  "crypt32.dll", "version.dll", "shlwapi.dll", "ntdll.dll",   "psapi.dll",
};

// The installer's actions run inside Windows Installer, whose own msi.dll
// they call; nothing more.
const std::set<std::string> kSetupActionsDlls = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "msi.dll"};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool IsAllowedDll(const std::string& name, const std::set<std::string>& allowed = kSystemDlls) {
    return allowed.count(Lower(name)) != 0;
}

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
void ExpectXpEraImports(const PeImage& image, const std::set<std::string>& allowed = kSystemDlls) {
    auto imports = image.Imports();
    ASSERT_FALSE(imports.empty());
    const auto delayed = image.DelayImports();
    imports.insert(imports.end(), delayed.begin(), delayed.end());
    for (const auto& [dll, functions] : imports) {
        EXPECT_TRUE(IsAllowedDll(dll, allowed)) << "imports from " << dll;
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
    ExpectXpEraImports(image, kSetupActionsDlls);
    auto names = image.ExportNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"GiveBackGina", "KeepReplacedGina", "PrepareGinaGiveBack",
                                                 "PrepareRecoveryRemoval", "PrepareSecureInstallerKey",
                                                 "RecordReplacedGina", "RemoveRecoveryCodes", "RestoreRecoveryCodes",
                                                 "SecureInstallerKey", "UndoSecureInstallerKey"}));
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
    // The installer's DLL has no place in Winlogon; the setup actions need it.
    for (const char* foreign : {"api-ms-win-core-synch-l1-2-0.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                                "libwinpthread-1.dll", "bcrypt.dll", "ucrtbase.dll", "msi.dll"})
        EXPECT_FALSE(IsAllowedDll(foreign)) << foreign;
    EXPECT_TRUE(IsAllowedDll("MSI.dll", kSetupActionsDlls));
    EXPECT_FALSE(IsAllowedDll("winhttp.dll", kSetupActionsDlls));
}

// A copy of the msgina test double, a real x64 login module, with one change,
// written to a file for the reader. Offsets, not pointers: Append grows the bytes.
class EditedModule {
public:
    EditedModule() {
        std::ifstream file((StubMsginaDir() + L"\\msgina.dll").c_str(), std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    IMAGE_NT_HEADERS64& Nt() { return *At<IMAGE_NT_HEADERS64>(At<IMAGE_DOS_HEADER>(0)->e_lfanew); }
    IMAGE_SECTION_HEADER& Section(WORD i) {
        return *At<IMAGE_SECTION_HEADER>(static_cast<size_t>(At<IMAGE_DOS_HEADER>(0)->e_lfanew) +
                                         offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                         Nt().FileHeader.SizeOfOptionalHeader + i * sizeof(IMAGE_SECTION_HEADER));
    }
    size_t Offset(DWORD rva) {
        for (WORD i = 0; i < Nt().FileHeader.NumberOfSections; ++i) {
            const auto& section = Section(i);
            if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.SizeOfRawData)
                return rva - section.VirtualAddress + section.PointerToRawData;
        }
        throw std::runtime_error("no section holds the address");
    }
    template <class T>
    T* At(size_t offset) {
        if (offset + sizeof(T) > bytes_.size()) throw std::runtime_error("outside the file");
        return reinterpret_cast<T*>(bytes_.data() + offset);
    }
    IMAGE_DATA_DIRECTORY& Directory(int index) { return Nt().OptionalHeader.DataDirectory[index]; }
    IMAGE_EXPORT_DIRECTORY& Exports() { return *At<IMAGE_EXPORT_DIRECTORY>(Offset(Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress)); }
    // The entry of the export names' table that names `name`.
    DWORD& ExportName(const std::string& name) {
        for (DWORD i = 0; i < Exports().NumberOfNames; ++i) {
            DWORD& rva = *At<DWORD>(Offset(Exports().AddressOfNames) + i * sizeof(DWORD));
            if (bytes_.data() + Offset(rva) == name) return rva;
        }
        throw std::runtime_error("no export " + name);
    }
    IMAGE_IMPORT_DESCRIPTOR& Import(size_t i) {
        return *At<IMAGE_IMPORT_DESCRIPTOR>(Offset(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress) +
                                            i * sizeof(IMAGE_IMPORT_DESCRIPTOR));
    }
    char* ImportName(size_t i) { return bytes_.data() + Offset(Import(i).Name); }
    // Adds bytes at the end of the file, inside the last section; their address.
    DWORD Append(const std::string& data) {
        WORD last = 0;
        for (WORD i = 1; i < Nt().FileHeader.NumberOfSections; ++i)
            if (Section(i).PointerToRawData > Section(last).PointerToRawData) last = i;
        const size_t at = bytes_.size();
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        auto& section = Section(last);
        section.SizeOfRawData = static_cast<DWORD>(bytes_.size() - section.PointerToRawData);
        return static_cast<DWORD>(section.VirtualAddress + (at - section.PointerToRawData));
    }
    std::wstring Write() {
        wchar_t folder[MAX_PATH + 1] = {};
        const DWORD chars = ::GetTempPathW(MAX_PATH + 1, folder);
        if (chars == 0 || chars > MAX_PATH) throw std::runtime_error("no temporary folder");
        const std::wstring path = std::wstring(folder, chars) + L"vyn-edited-module-" +
                                  std::to_wstring(::GetCurrentProcessId()) + L".dll";
        std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc).write(bytes_.data(), bytes_.size());
        return path;
    }

private:
    std::vector<char> bytes_;
};

struct ReaderCase {
    const char* name;
    void (*change)(EditedModule&);
    ImageProblem problem;
    std::vector<std::string> missing;
    std::string import;  // one DLL the finding must list; empty: none checked
    size_t imports = 0;  // how many DLLs the finding lists; 0: not checked
};

const std::string kLongName(300, 'A');

const ReaderCase kReaderCases[] = {
    {"unchanged", [](EditedModule&) {}, ImageProblem::None, {}, "KERNEL32.dll"},
    // Counts a hostile file sets to make the reader walk for minutes.
    {"export names counted in billions", [](EditedModule& m) { m.Exports().NumberOfNames = 0xFFFFFFFF; },
     ImageProblem::TooManyEntries, {}, ""},
    {"one export name more than the bound", [](EditedModule& m) { m.Exports().NumberOfNames = kMaxExportNames + 1; },
     ImageProblem::TooManyEntries, {}, ""},
    {"more sections than the loader takes", [](EditedModule& m) { m.Nt().FileHeader.NumberOfSections = 97; },
     ImageProblem::TooManyEntries, {}, ""},
    {"import descriptors past the bound",
     [](EditedModule& m) {
         const IMAGE_IMPORT_DESCRIPTOR first = m.Import(0);
         std::string table;
         for (unsigned i = 0; i <= kMaxImportedDlls; ++i) table.append(reinterpret_cast<const char*>(&first), sizeof first);
         table.append(sizeof first, '\0');
         m.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress = m.Append(table);
     },
     ImageProblem::TooManyEntries, {}, ""},
    // One DLL named again and again is looked for once, whatever its case.
    {"import descriptors up to the bound, all naming one DLL",
     [](EditedModule& m) {
         IMAGE_IMPORT_DESCRIPTOR first = m.Import(0);
         std::string table;
         for (unsigned i = 0; i < kMaxImportedDlls; ++i) table.append(reinterpret_cast<const char*>(&first), sizeof first);
         first.Name = m.Append(std::string("kernel32") + '\0');
         table.replace(table.size() - sizeof first, sizeof first, reinterpret_cast<const char*>(&first), sizeof first);
         table.append(sizeof first, '\0');
         m.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress = m.Append(table);
     },
     ImageProblem::None, {}, "KERNEL32.dll", 1},
    // An over-long name is skipped, not a reason to refuse the image.
    {"an over-long name of an export Winlogon does not need",
     [](EditedModule& m) { m.ExportName("StubConfigure") = m.Append(kLongName + '\0'); }, ImageProblem::None, {}, ""},
    {"an export name that runs to the end of the file",
     [](EditedModule& m) { m.ExportName("StubConfigure") = m.Append(kLongName); }, ImageProblem::None, {}, ""},
    {"an over-long name where WlxShutdown's was",
     [](EditedModule& m) { m.ExportName("WlxShutdown") = m.Append(kLongName + '\0'); }, ImageProblem::MissingExports,
     {"WlxShutdown"}, ""},
    {"an export name outside the file", [](EditedModule& m) { m.ExportName("StubConfigure") = 0x7FFFFFF0; },
     ImageProblem::NotPe, {}, ""},
    // The loader adds ".dll" to an import named without an extension, and
    // takes a trailing dot as "no extension".
    {"an import named without an extension",
     [](EditedModule& m) { std::strcpy(m.ImportName(0), "KERNEL32"); }, ImageProblem::None, {}, "KERNEL32.dll"},
    {"an import named with a trailing dot",
     [](EditedModule& m) { std::strcpy(m.ImportName(0), "KERNEL32."); }, ImageProblem::None, {}, "KERNEL32"},
};

class HostileModule : public testing::TestWithParam<ReaderCase> {};

TEST_P(HostileModule, GetsItsVerdict) {
    const ReaderCase& c = GetParam();
    EditedModule module;
    ASSERT_EQ(std::string(module.ImportName(0)), "KERNEL32.dll") << "the double's first import changed";
    c.change(module);
    const std::wstring path = module.Write();
    const ImageFinding finding = InspectGinaImage(path);
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(static_cast<int>(finding.problem), static_cast<int>(c.problem)) << ImageProblemWords(finding);
    EXPECT_EQ(finding.missing, c.missing);
    if (!c.import.empty()) {
        EXPECT_NE(std::find(finding.imports.begin(), finding.imports.end(), c.import), finding.imports.end())
            << "imports " << testing::PrintToString(finding.imports);
    }
    if (c.imports != 0) EXPECT_EQ(finding.imports.size(), c.imports) << testing::PrintToString(finding.imports);
}

INSTANTIATE_TEST_SUITE_P(Reader, HostileModule, testing::ValuesIn(kReaderCases),
                         [](const testing::TestParamInfo<ReaderCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(LoaderFileName, AddsDllAsLoadLibraryDoes) {
    const std::pair<const char*, const char*> cases[] = {
        {"helper", "helper.dll"},          {"helper.", "helper"},        {"helper.drv", "helper.drv"},
        {"HELPER.DLL", "HELPER.DLL"},      {"C:\\a.b\\gina", "C:\\a.b\\gina.dll"}, {"C:\\a\\gina.x", "C:\\a\\gina.x"},
    };
    for (const auto& [name, loaded] : cases) {
        EXPECT_EQ(LoaderFileName(std::string(name)), loaded) << name;
        EXPECT_EQ(LoaderFileName(std::wstring(name, name + std::strlen(name))),
                  std::wstring(loaded, loaded + std::strlen(loaded))) << name;
    }
}

}  // namespace
