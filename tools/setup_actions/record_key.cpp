#include "tools/setup_actions/record_key.h"

#include <sddl.h>

#include <vector>

#include "common/handles.h"
#include "common/private_key.h"

const wchar_t kInstallerMarksKeySecurity[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

namespace {

constexpr char kInstallerMarksKeyShown[] = "HKLM\\Software\\Vyn Security\\Installer";

// Why the key, opened as itself, is not the package's; "" when it is.
LONG Distrust(HKEY key, std::string& distrust, FailedCall& failure) {
    std::vector<BYTE> descriptor;
    const LONG result = ReadKeySecurity(key, descriptor, failure);
    if (result != ERROR_SUCCESS) return result;
    distrust = KeyDistrust(kInstallerMarksKeyShown, descriptor.data());
    // A link's own descriptor says nothing of the tree it points at.
    if (distrust.empty() && IsKeyLink(key)) {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        ::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted);  // KeyDistrust has read it
        distrust = std::string(kInstallerMarksKeyShown) + " (owner " + SidString(owner) + ") is a symbolic link";
    }
    return ERROR_SUCCESS;
}

// Every key the package makes lets SYSTEM and the Administrators in.
std::string KeptOut() { return std::string(kInstallerMarksKeyShown) + " keeps the installer out"; }

// Opens the record's key as itself for reading its values and security:
// ERROR_SUCCESS with `key` empty when there is no key, or when it keeps the
// installer out (`distrust` says so: not the package's, whatever it holds;
// failing instead would let whoever made it block every uninstall).
LONG OpenRecordKey(unique_hkey& key, std::string& distrust, FailedCall& failure) {
    const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallerMarksKey, REG_OPTION_OPEN_LINK,
                                        KEY_QUERY_VALUE | READ_CONTROL | KEY_WOW64_64KEY, key.put());
    if (result == ERROR_SUCCESS) return ERROR_SUCCESS;
    key.release();
    if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (result == ERROR_ACCESS_DENIED) {
        distrust = KeptOut();
        return ERROR_SUCCESS;
    }
    failure = {"RegOpenKeyExW", static_cast<DWORD>(result)};
    return result;
}

}  // namespace

LONG ReadReplacedGinaRecord(RawValue& record, std::string& distrust, FailedCall& failure) {
    record = RawValue();
    distrust.clear();
    unique_hkey key;
    LONG result = OpenRecordKey(key, distrust, failure);
    if (result != ERROR_SUCCESS || !key) return result;
    if ((result = Distrust(key.get(), distrust, failure)) != ERROR_SUCCESS) return result;
    result = ReadKeyValue(key.get(), L"PreviousGinaDLL", record);
    if (result != ERROR_SUCCESS) failure = {"RegQueryValueExW", static_cast<DWORD>(result)};
    return result;
}

LONG ReadRecordKeyTrust(bool& trusted, std::string& distrust, FailedCall& failure) {
    trusted = false;
    distrust.clear();
    unique_hkey key;
    const LONG opened = OpenRecordKey(key, distrust, failure);
    if (opened != ERROR_SUCCESS || !key) return opened;
    const LONG read = Distrust(key.get(), distrust, failure);
    trusted = read == ERROR_SUCCESS && distrust.empty();
    return read;
}

LONG ForgetRecordKey(FailedCall& failure) {
    const LONG result = DeleteKeyTree(HKEY_LOCAL_MACHINE, kInstallerMarksKey, failure);
    return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

LONG SecureRecordKey(std::string& replaced, FailedCall& failure) {
    replaced.clear();
    unique_hkey key;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallerMarksKey, REG_OPTION_OPEN_LINK,
                                  KEY_QUERY_VALUE | READ_CONTROL | WRITE_DAC | WRITE_OWNER | KEY_WOW64_64KEY,
                                  key.put());
    if (result == ERROR_SUCCESS) {
        if ((result = Distrust(key.get(), replaced, failure)) != ERROR_SUCCESS) return result;
        if (replaced.empty()) {
            PSECURITY_DESCRIPTOR raw = nullptr;
            if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstallerMarksKeySecurity, SDDL_REVISION_1,
                                                                        &raw, nullptr)) {
                failure = {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ::GetLastError()};
                return static_cast<LONG>(failure.error);
            }
            const unique_hlocal descriptor(raw);
            return GiveKeySecurity(key.get(), descriptor.get(), failure);
        }
    } else {
        key.release();
        if (result == ERROR_ACCESS_DENIED)
            replaced = KeptOut();
        else if (result != ERROR_FILE_NOT_FOUND) {
            failure = {"RegOpenKeyExW", static_cast<DWORD>(result)};
            return result;
        }
    }
    key.reset();
    return CreateKeyAnew(HKEY_LOCAL_MACHINE, kInstallerMarksKey, kInstallerMarksKeySecurity, KEY_QUERY_VALUE, key,
                         failure);
}
