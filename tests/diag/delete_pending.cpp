#include "tests/diag/delete_pending.h"

#include <sddl.h>

#include "common/handles.h"

namespace delete_pending {
namespace {

std::wstring gLastCreatedSecurity;

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

bool Marked(LPCWSTR path) {
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// Someone holds the file: an open that shares nothing conflicts with any
// handle open on it, in any process.
bool Held(LPCWSTR path) {
    const unique_hfile probe(::CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    return !probe && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// The last close of a delete-pending file removes it.
void Sweep(LPCWSTR anyPath) {
    const std::wstring folder = FolderOf(anyPath);
    WIN32_FIND_DATAW found;
    const unique_hfind search(::FindFirstFileW((folder + L"\\vyn.log*").c_str(), &found));
    if (!search) return;
    do {
        const std::wstring path = folder + L"\\" + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && !Held(path.c_str())) {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(path.c_str());
        }
    } while (::FindNextFileW(search.get(), &found));
}

HANDLE WINAPI CreateAsNtfs(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                         DWORD disposition, DWORD flags, HANDLE templateFile) {
    Sweep(path);
    if (Marked(path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const bool existed = ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    const HANDLE file = ::CreateFileW(path, access, share, attributes, disposition, flags, templateFile);
    const DWORD error = ::GetLastError();
    if (file != INVALID_HANDLE_VALUE && !existed) {
        gLastCreatedSecurity.clear();
        LPWSTR text = nullptr;
        if (attributes && attributes->lpSecurityDescriptor &&
            ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
                nullptr)) {
            gLastCreatedSecurity = text;
            ::LocalFree(text);
        }
    }
    ::SetLastError(error);
    return file;
}

BOOL WINAPI MoveAsNtfs(LPCWSTR from, LPCWSTR to, DWORD flags) {
    Sweep(from);
    if (Marked(from) || Marked(to)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::MoveFileExW(from, to, flags);
}

}  // namespace

BOOL WINAPI DeleteAsNtfs(LPCWSTR path) {
    Sweep(path);
    if (Marked(path)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!Held(path)) return ::DeleteFileW(path);
    return ::SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
}

std::wstring LastCreatedSecurity() { return gLastCreatedSecurity; }

Scope::Scope() : saved_(log_detail::CurrentLogFileSystem()) {
    log_detail::CurrentLogFileSystem() = {CreateAsNtfs, MoveAsNtfs, DeleteAsNtfs};
}

// A name still marked when the test ends (its holder was another process)
// goes now: the next test program in this prefix finds the folder as NTFS
// would leave it once every holder has closed.
Scope::~Scope() {
    log_detail::CurrentLogFileSystem() = saved_;
    wchar_t folder[520];
    if (GetLogDirectory(folder) != S_OK) return;
    WIN32_FIND_DATAW found;
    const unique_hfind search(::FindFirstFileW((std::wstring(folder) + L"\\vyn.log*").c_str(), &found));
    if (!search) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) continue;
        const std::wstring path = std::wstring(folder) + L"\\" + found.cFileName;
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
    } while (::FindNextFileW(search.get(), &found));
}

}  // namespace delete_pending
