#include "common/gina_image.h"

#include <windows.h>

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

// The file offset of a relative virtual address, through the section table.
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

// The names the export directory lists; false when the directory is damaged.
bool ExportNames(const std::string& data, size_t sections, WORD count, const IMAGE_DATA_DIRECTORY& directory,
                 std::set<std::string>& names) {
    if (directory.VirtualAddress == 0 || directory.Size == 0) return true;  // exports nothing
    size_t at = 0;
    IMAGE_EXPORT_DIRECTORY exports;
    if (!RvaToOffset(data, sections, count, directory.VirtualAddress, at) || !ReadAt(data, at, exports)) return false;
    size_t table = 0;
    if (exports.NumberOfNames != 0 && !RvaToOffset(data, sections, count, exports.AddressOfNames, table)) return false;
    for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
        DWORD nameRva = 0;
        size_t nameAt = 0;
        if (!ReadAt(data, table + i * sizeof(DWORD), nameRva) || !RvaToOffset(data, sections, count, nameRva, nameAt))
            return false;
        const size_t end = data.find('\0', nameAt);
        if (end == std::string::npos || end - nameAt > kMaxExportName) return false;
        names.insert(data.substr(nameAt, end - nameAt));
    }
    return true;
}

}  // namespace

ImageFinding InspectGinaImage(const std::wstring& path) {
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
    std::set<std::string> names;
    const size_t sections = optional + header.SizeOfOptionalHeader;
    if (optionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_EXPORT &&
        !ExportNames(data, sections, header.NumberOfSections,
                     optionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT], names)) {
        finding.problem = ImageProblem::NotPe;
        return finding;
    }
    for (const char* required : kRequiredWlxExports)
        if (names.count(required) == 0) finding.missing.push_back(required);
    finding.problem = finding.missing.empty() ? ImageProblem::None : ImageProblem::MissingExports;
    return finding;
}

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
    }
    return "not a login module";
}
