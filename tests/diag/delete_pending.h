#pragma once
// Plays NTFS's delete-pending rule for the log writer's file calls, which
// Wine does not keep: a file deleted while any handle is open on it keeps its
// name (and its space) until the last handle closes, and opening, creating,
// renaming or replacing that name fails with ERROR_ACCESS_DENIED. Wine
// unlinks the name at once, so a writer that keeps its handle between lines
// looks harmless there.
//
// The mark of a delete-pending file is its read-only attribute, so every
// process that plays the rule (this test and the writer processes) sees it;
// no log file is read-only otherwise. Each call first deletes the marked files
// of the folder that nobody holds any more, as NTFS does at the last close.

#include <windows.h>

#include <string>

#include "diag/log_file.h"

namespace delete_pending {

// Deletes `path` as NTFS would: gone when nobody holds it, else marked.
BOOL WINAPI DeleteAsNtfs(LPCWSTR path);

// The descriptor (SDDL) the last file created through CreateFile was given,
// empty when it was given none.
std::wstring LastCreatedSecurity();

// Plays the rule for this process's log writer while it lives.
class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    log_detail::LogFileSystem saved_;
};

}  // namespace delete_pending
