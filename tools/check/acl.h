#pragma once
// Who may read an object, from its security descriptor: used for the key that
// holds the secret key and for the module's log folder.

#include <windows.h>

#include <string>
#include <vector>

// The accounts or groups that an allow entry of the DACL grants any of
// `readMask` (generic read and generic all always count), other than SYSTEM,
// Administrators and CREATOR OWNER; each named "DOMAIN\name" or, when the SID
// has no name, by its string form. A missing (null) DACL lets everyone read.
// Entries that only pass on to children (inherit-only) do not count.
std::vector<std::string> UnexpectedReaders(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK readMask);

// Whether the DACL grants all of `desired` to SYSTEM, the account the module
// runs under inside Winlogon. The tool runs as an administrator, and an
// administrator cannot obtain a SYSTEM token on XP to ask AccessCheck, so the
// entries are evaluated here, in order, for the SIDs of SYSTEM's token: SYSTEM,
// Everyone, Authenticated Users and Administrators. Generic rights in entries
// are mapped with `mapping`; a deny entry takes away what no earlier entry
// granted; a missing (null) DACL grants everything.
bool SystemMayAccess(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired, const GENERIC_MAPPING& mapping);

// The mappings of generic rights for registry keys and files.
extern const GENERIC_MAPPING kKeyMapping;
extern const GENERIC_MAPPING kFileMapping;

// The same for any rights: whoever an allow entry grants any of `mask` (the
// generic bits count only as given), by the same rules.
std::vector<std::string> UnexpectedGrantees(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK mask);

// The owner of the descriptor as "DOMAIN\name" (or its SID string), and
// whether it is the Administrators group; "(no owner)" when none is recorded.
std::string OwnerName(PSECURITY_DESCRIPTOR descriptor, bool& administrators);

// The DACL (and with `parts`, more) of HKLM\keyPath (false with `error` set
// when it cannot be read).
bool ReadKeySecurity(const char* keyPath, std::vector<BYTE>& descriptor, DWORD& error,
                     SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION);
// The DACL (and with `parts`, more) of a file or folder.
bool ReadFileSecurity(const std::wstring& path, std::vector<BYTE>& descriptor, DWORD& error,
                      SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION);
