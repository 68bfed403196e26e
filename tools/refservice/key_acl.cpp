// vyn-key-acl: gives a key under HKLM the access list written in SDDL, as an
// administrator might by hand, and the owner when the SDDL names one (as a
// Power User's key would have). The list is protected when the SDDL says so
// ("D:P"), and takes its parent's entries otherwise. Run only inside a lab's
// Wine prefix (the fleet demo leaves one machine's settings key readable by
// Users; the installer test plants keys), whose reg.exe cannot change a key's
// security.
//   vyn-key-acl.exe <key under HKLM> <SDDL>
#include <windows.h>
#include <sddl.h>

#include <cstdio>

#include "common/handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vyn-key-acl <key under HKLM> <SDDL>\n");
        return 64;
    }
    unique_hkey key;
    LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER, key.put());
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "vyn-key-acl: RegOpenKeyExW failed with error %ld\n", status);
        return 1;
    }
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[2], SDDL_REVISION_1, &raw, nullptr)) {
        std::fprintf(stderr, "vyn-key-acl: the access list does not read (error %lu)\n", ::GetLastError());
        return 1;
    }
    const unique_hlocal descriptor(raw);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted) ||
        !::GetSecurityDescriptorControl(descriptor.get(), &control, &revision)) {
        std::fprintf(stderr, "vyn-key-acl: the descriptor does not read (error %lu)\n", ::GetLastError());
        return 1;
    }
    // Wine replaces a key's owner when only its list is set: an owner named
    // is set with the list.
    const SECURITY_INFORMATION parts =
        DACL_SECURITY_INFORMATION | (owner ? OWNER_SECURITY_INFORMATION : 0) |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    status = ::RegSetKeySecurity(key.get(), parts, descriptor.get());
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "vyn-key-acl: RegSetKeySecurity failed with error %ld\n", status);
        return 1;
    }
    return 0;
}
