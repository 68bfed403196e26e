#include "common/gina_image.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

#include "common/handles.h"

const char* const kRequiredWlxExports[12] = {
    "WlxNegotiate",         "WlxInitialize",   "WlxDisplaySASNotice",    "WlxLoggedOutSAS",
    "WlxActivateUserShell", "WlxLoggedOnSAS",  "WlxDisplayLockedNotice", "WlxWkstaLockedSAS",
    "WlxIsLockOk",          "WlxIsLogoffOk",   "WlxLogoff",              "WlxShutdown",
};

namespace {

// A login module is a few hundred kilobytes; anything past this bound is not
// one, and the tool must not read a huge file into memory to say so.
constexpr DWORD kMaxImageBytes = 64u * 1024 * 1024;
constexpr size_t kMaxExportName = 256;

// The file's bytes; false with `error` set when it cannot be read.
bool ReadWholeFile(const std::wstring& path, std::string& data, DWORD& error) {
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = ::GetLastError();
        return false;
    }
    DWORD high = 0;
    const DWORD size = ::GetFileSize(file.get(), &high);
    if (size == INVALID_FILE_SIZE && (error = ::GetLastError()) != NO_ERROR) return false;
    // Too large to be a module: read only the start, which is enough to tell.
    const DWORD wanted = (high != 0 || size > kMaxImageBytes) ? kMaxImageBytes : size;
    data.assign(wanted, '\0');
    DWORD done = 0;
    while (done < wanted) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), data.data() + done, wanted - done, &got, nullptr)) {
            error = ::GetLastError();
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    data.resize(done);
    return true;
}

// Bounds-checked reads of the file's structures: a truncated or hostile
// header gives "not a PE image", never a read past the buffer.
template <class T>
bool ReadAt(const std::string& data, size_t offset, T& out) {
    if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, data.data() + offset, sizeof(T));
    return true;
}

// The file offset of a relative virtual address, through the section table
// (at most kMaxImageSections entries, checked by the caller).
bool RvaToOffset(const std::string& data, size_t sections, WORD count, DWORD rva, size_t& offset) {
    for (WORD i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!ReadAt(data, sections + i * sizeof(IMAGE_SECTION_HEADER), section)) return false;
        const DWORD start = section.VirtualAddress;
        if (rva >= start && rva - start < section.SizeOfRawData) {
            offset = static_cast<size_t>(section.PointerToRawData) + (rva - start);
            return offset < data.size();
        }
    }
    return false;
}

enum class NameRead { Read, TooLong, Outside };

// A NUL-terminated name at `rva`, scanning at most `limit` bytes: a hostile
// file must not make each of thousands of names a scan of the whole file.
NameRead ReadName(const std::string& data, size_t sections, WORD count, DWORD rva, size_t limit, std::string& name) {
    size_t at = 0;
    if (!RvaToOffset(data, sections, count, rva, at)) return NameRead::Outside;
    const size_t span = std::min(limit + 1, data.size() - at);
    const void* end = std::memchr(data.data() + at, '\0', span);
    if (end == nullptr) return NameRead::TooLong;
    name.assign(data.data() + at, static_cast<const char*>(end));
    return NameRead::Read;
}

enum class TableRead { Read, Damaged, TooMany };

// The names the export directory lists. A name longer than any function's is
// skipped (it names nothing Winlogon looks up); a table that points outside
// the file is damaged.
TableRead ExportNames(const std::string& data, size_t sections, WORD count, const IMAGE_DATA_DIRECTORY& directory,
                      std::set<std::string>& names) {
    if (directory.VirtualAddress == 0 || directory.Size == 0) return TableRead::Read;  // exports nothing
    size_t at = 0;
    IMAGE_EXPORT_DIRECTORY exports;
    if (!RvaToOffset(data, sections, count, directory.VirtualAddress, at) || !ReadAt(data, at, exports))
        return TableRead::Damaged;
    if (exports.NumberOfNames > kMaxExportNames) return TableRead::TooMany;
    size_t table = 0;
    if (exports.NumberOfNames != 0 && !RvaToOffset(data, sections, count, exports.AddressOfNames, table))
        return TableRead::Damaged;
    for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
        DWORD nameRva = 0;
        std::string name;
        if (!ReadAt(data, table + i * sizeof(DWORD), nameRva)) return TableRead::Damaged;
        const NameRead read = ReadName(data, sections, count, nameRva, kMaxExportName, name);
        if (read == NameRead::Outside) return TableRead::Damaged;
        if (read == NameRead::Read) names.insert(name);
    }
    return TableRead::Read;
}

// The DLLs of the import table, as the loader walks it: up to the first
// descriptor without a name or a thunk table.
TableRead ImportedDlls(const std::string& data, size_t sections, WORD count, const IMAGE_DATA_DIRECTORY& directory,
                       std::vector<std::string>& dlls) {
    if (directory.VirtualAddress == 0 || directory.Size == 0) return TableRead::Read;  // imports nothing
    size_t at = 0;
    if (!RvaToOffset(data, sections, count, directory.VirtualAddress, at)) return TableRead::Damaged;
    for (unsigned i = 0;; ++i, at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        if (!ReadAt(data, at, descriptor)) return TableRead::Damaged;
        if (descriptor.Name == 0 || descriptor.FirstThunk == 0) return TableRead::Read;
        if (i == kMaxImportedDlls) return TableRead::TooMany;
        std::string name;
        // The loader cannot open a DLL whose name is no file name.
        if (ReadName(data, sections, count, descriptor.Name, MAX_PATH, name) != NameRead::Read || name.empty())
            return TableRead::Damaged;
        // A DLL listed again is the one already loaded: the loader maps it
        // once, and the give-back must look for it once, or a hostile table
        // naming one large DLL a thousand times costs a thousand reads of it.
        const std::string file = LoaderFileName(name);
        const bool listed = std::any_of(dlls.begin(), dlls.end(), [&file](const std::string& earlier) {
            return earlier.size() == file.size() &&
                   std::equal(earlier.begin(), earlier.end(), file.begin(), [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                   });
        });
        if (!listed) dlls.push_back(file);
    }
}

template <class Text>
Text LoaderFileNameOf(const Text& name) {
    using Char = typename Text::value_type;
    if (!name.empty() && name.back() == Char('.')) return name.substr(0, name.size() - 1);
    const size_t base = name.find_last_of(Text{Char('\\'), Char('/')});
    const size_t dot = name.find(Char('.'), base == Text::npos ? 0 : base + 1);
    if (dot != Text::npos) return name;
    return name + Text{Char('.'), Char('d'), Char('l'), Char('l')};
}

ImageFinding InspectImage(const std::wstring& path, bool loginModule) {
    ImageFinding finding;
    std::string data;
    DWORD error = 0;
    if (!ReadWholeFile(path, data, error)) {
        finding.error = error;
        return finding;
    }
    finding.problem = ImageProblem::NotPe;
    IMAGE_DOS_HEADER dos;
    if (!ReadAt(data, 0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return finding;
    const size_t pe = static_cast<size_t>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER header;
    if (!ReadAt(data, pe, signature) || signature != IMAGE_NT_SIGNATURE || !ReadAt(data, pe + 4, header))
        return finding;
    finding.machine = header.Machine;
    if (header.Machine != IMAGE_FILE_MACHINE_AMD64) {
        finding.problem = ImageProblem::NotAmd64;
        return finding;
    }
    const size_t optional = pe + 4 + sizeof(IMAGE_FILE_HEADER);
    IMAGE_OPTIONAL_HEADER64 optionalHeader;
    if (header.SizeOfOptionalHeader < sizeof optionalHeader || !ReadAt(data, optional, optionalHeader) ||
        optionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        finding.problem = ImageProblem::NotPe32Plus;
        return finding;
    }
    if (!(header.Characteristics & IMAGE_FILE_DLL)) {
        finding.problem = ImageProblem::NotDll;
        return finding;
    }
    if (header.NumberOfSections > kMaxImageSections) {
        finding.problem = ImageProblem::TooManyEntries;
        return finding;
    }
    const size_t sections = optional + header.SizeOfOptionalHeader;
    const WORD count = header.NumberOfSections;
    static const IMAGE_DATA_DIRECTORY kNone = {0, 0};
    auto directory = [&](unsigned index) -> const IMAGE_DATA_DIRECTORY& {
        return optionalHeader.NumberOfRvaAndSizes > index ? optionalHeader.DataDirectory[index] : kNone;
    };
    std::set<std::string> names;
    std::vector<std::string> imports;
    TableRead read = ExportNames(data, sections, count, directory(IMAGE_DIRECTORY_ENTRY_EXPORT), names);
    if (read == TableRead::Read) read = ImportedDlls(data, sections, count, directory(IMAGE_DIRECTORY_ENTRY_IMPORT), imports);
    if (read != TableRead::Read) {
        finding.problem = read == TableRead::TooMany ? ImageProblem::TooManyEntries : ImageProblem::NotPe;
        return finding;
    }
    finding.imports = imports;
    if (loginModule)
        for (const char* required : kRequiredWlxExports)
            if (names.count(required) == 0) finding.missing.push_back(required);
    finding.problem = finding.missing.empty() ? ImageProblem::None : ImageProblem::MissingExports;
    return finding;
}

}  // namespace

std::string LoaderFileName(const std::string& name) { return LoaderFileNameOf(name); }
std::wstring LoaderFileName(const std::wstring& name) { return LoaderFileNameOf(name); }

ImageFinding InspectGinaImage(const std::wstring& path) { return InspectImage(path, true); }
ImageFinding InspectDllImage(const std::wstring& path) { return InspectImage(path, false); }

std::string ImageProblemWords(const ImageFinding& finding) {
    switch (finding.problem) {
        case ImageProblem::None: return "a 64-bit login module";
        case ImageProblem::Unreadable: return "not readable (error " + std::to_string(finding.error) + ")";
        case ImageProblem::NotPe: return "not a Windows image (no valid PE header)";
        case ImageProblem::NotAmd64:
            if (finding.machine == IMAGE_FILE_MACHINE_I386) return "a 32-bit (x86) image: 64-bit Winlogon loads only x64 DLLs";
            return "an image for another processor (machine " + std::to_string(finding.machine) + ")";
        case ImageProblem::NotPe32Plus: return "not a 64-bit (PE32+) image";
        case ImageProblem::NotDll: return "a program, not a DLL";
        case ImageProblem::MissingExports: {
            std::string words = "a DLL without the login module functions Winlogon requires (missing ";
            for (size_t i = 0; i < finding.missing.size(); ++i) words += (i ? ", " : "") + finding.missing[i];
            return words + ")";
        }
        case ImageProblem::TooManyEntries:
            return "a damaged image (more sections, export names or imported DLLs than any DLL has)";
    }
    return "not a login module";
}
