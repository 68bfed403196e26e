#pragma once
// Reading the built module's resources back, for tests of what windres wrote.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// A Unix path of the build (e.g. a CMake target file) as Wine sees it, under Z:.
inline std::wstring WinePath(const char* unixPath) {
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return std::wstring(path.begin(), path.end());
}

// The bytes of one resource of the module file at `path`, loaded as data only:
// language English (US) when `englishUs` is set, else any. Empty when absent.
inline std::vector<uint8_t> ModuleResource(const std::wstring& path, LPCWSTR type, WORD id, bool englishUs = true) {
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return {};
    HRSRC resource = englishUs ? ::FindResourceExW(module, type, MAKEINTRESOURCEW(id),
                                                   MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US))
                               : ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
    std::vector<uint8_t> bytes;
    if (resource) {
        const auto* data = static_cast<const uint8_t*>(::LockResource(::LoadResource(module, resource)));
        if (data) bytes.assign(data, data + ::SizeofResource(module, resource));
    }
    ::FreeLibrary(module);
    return bytes;
}

// Sequential reader of resource data (dialog templates and the like). Reads
// past the end yield zeros and are noted in Overrun().
class ResourceReader {
public:
    explicit ResourceReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    template <class T>
    T Read() {
        T value{};
        if (offset_ + sizeof(T) > bytes_.size()) {
            overrun_ = true;
            return value;
        }
        std::memcpy(&value, bytes_.data() + offset_, sizeof(T));
        offset_ += sizeof(T);
        return value;
    }
    std::wstring ReadString() {
        std::wstring text;
        for (wchar_t c = Read<wchar_t>(); c != 0 && !overrun_; c = Read<wchar_t>()) text += c;
        return text;
    }
    // A name, or an ordinal as "#<number>"; empty for none.
    std::wstring ReadNameOrOrdinal() {
        const uint16_t first = Read<uint16_t>();
        if (first == 0) return L"";
        if (first == 0xFFFF) return L"#" + std::to_wstring(Read<uint16_t>());
        offset_ -= sizeof(uint16_t);
        return ReadString();
    }
    void AlignToDword() { offset_ = (offset_ + 3) & ~size_t(3); }
    size_t Offset() const { return offset_; }
    bool Overrun() const { return overrun_; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t offset_ = 0;
    bool overrun_ = false;
};
