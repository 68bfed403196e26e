// vyn-recovery: makes, shows the state of, and removes this machine's
// break-glass recovery codes, for an administrator. The codes are printed once,
// when they are made, and written nowhere else: the store keeps only their
// salted hashes (auth/recovery.h), and nothing here writes to the module's log.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "auth/recovery.h"
#include "common/machine_lock.h"
#include "common/strings.h"
#include "config/config.h"
#include "config/recovery_store.h"
#include "tools/check/acl.h"
#include "tools/check/console.h"

namespace {

const char kUsage[] =
    "usage: vyn-recovery new [N] | status | clear | --help\n"
    "\n"
    "Recovery codes let a user log on, once each, when the authentication service\n"
    "cannot be reached and FailOpen is 0. Run as an administrator.\n"
    "\n"
    "  new [N]   make a new set of N codes (1 to 50, default 10) and print them;\n"
    "            the previous set stops working\n"
    "  status    how many codes are left, when the set was made, whether FailOpen\n"
    "            is clear and whether the store is private\n"
    "  clear     remove the set\n"
    "\n"
    "Exit codes: 0 done, 1 not an administrator, 2 the store cannot be written\n"
    "or read, 64 usage.\n";

constexpr int kDone = 0, kNotAdministrator = 1, kStoreFailed = 2, kUsageError = 64;

void Write(DWORD which, const std::string& text) { WriteStdText(which, text); }
void Out(const std::string& text) { Write(STD_OUTPUT_HANDLE, text); }
int Fail(int code, const std::string& text) {
    Write(STD_ERROR_HANDLE, "vyn-recovery: " + text + "\n");
    return code;
}

bool IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                    &administrators))
        return false;
    BOOL member = FALSE;
    const BOOL asked = ::CheckTokenMembership(nullptr, administrators, &member);
    ::FreeSid(administrators);
    return asked && member;
}

std::string MachineName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &size) ? ToUtf8(name) : std::string("(this machine)");
}

// FailOpen as the module reads it: from the key that holds a complete
// configuration, set when there is none.
bool FailOpenSet() {
    SessionConfig config;
    config.LoadFromSettingsKeys();
    return config.failOpen;
}

const char* FailOpenLine(bool failOpen) {
    return failOpen ? "FailOpen: set: the codes are never asked for (an outage lets logons through unchallenged)\n"
                    : "FailOpen: clear: a code is asked for when the service cannot be reached\n";
}

// False with a reason when N is not a whole number from 1 to kMaxRecoveryCodes.
bool ParseCount(const std::wstring& text, size_t& count) {
    if (text.empty() || text.size() > 2) return false;
    count = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        count = count * 10 + static_cast<size_t>(c - L'0');
    }
    return count >= 1 && count <= kMaxRecoveryCodes;
}

// Wipes the codes and the text that printed them when `New` returns, however
// it returns.
class WipedCodes {
public:
    WipedCodes(std::vector<std::string>& codes, std::string& text) : codes_(codes), text_(text) {}
    ~WipedCodes() {
        for (std::string& code : codes_) WipeRecoveryText(code);
        WipeRecoveryText(text_);
    }
    WipedCodes(const WipedCodes&) = delete;
    WipedCodes& operator=(const WipedCodes&) = delete;

private:
    std::vector<std::string>& codes_;
    std::string& text_;
};

// Takes the store's machine-wide lock for a change (new, clear), as each
// session's Winlogon does for a code it uses. False (reported) when another
// process holds it past the wait, or someone else made it.
bool LockStore(MachineLock& lock, std::string& refusal) {
    switch (lock.state()) {
    case MachineLockState::NotOurs:
        refusal = "the lock \"" + ToUtf8(kRecoveryLockName) + "\" was created by another account (" + lock.owner() +
                  "); restart the machine to remove it";
        return false;
    case MachineLockState::Unavailable:
        refusal = "the lock of the recovery codes cannot be opened (" + std::string(lock.failure().name) +
                  ", error " + std::to_string(lock.failure().error) + ")";
        return false;
    case MachineLockState::Usable:
        break;
    }
    if (lock.Acquire(kRecoveryLockWaitMs)) return true;
    refusal = "another process held the lock of the recovery codes for " +
              std::to_string(kRecoveryLockWaitMs / 1000) + " s; try again";
    return false;
}

int New(size_t count) {
    RecoverySet set;
    std::vector<std::string> codes;
    // The output is built in one buffer, reserved up front, so that it never
    // moves and leaves a copy of the codes behind.
    std::string text;
    text.reserve(1024 + count * 32);
    const WipedCodes wipe(codes, text);
    if (!MakeRecoverySet(count, set, codes)) return Fail(kStoreFailed, "the codes could not be made");
    MachineLock lock(kRecoveryLockName, kRecoveryLockSecurity);
    std::string refusal;
    if (!LockStore(lock, refusal)) return Fail(kStoreFailed, refusal);
    const LONG saved = SaveRecoverySet(set);
    if (saved != ERROR_SUCCESS)
        return Fail(kStoreFailed, "HKLM\\" + std::string(kRecoveryKey) + " cannot be written (error " +
                                      std::to_string(saved) + "); see vyn-recovery status for what is stored");
    text += "Recovery codes for " + MachineName() + ", made " + FormatRecoverySetTime(set.created) + " (" +
            std::to_string(codes.size()) + (codes.size() == 1 ? " code" : " codes") + "; each works once):\n\n";
    for (size_t i = 0; i < codes.size(); ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%4u. ", static_cast<unsigned>(i + 1));
        text += number;
        AppendRecoveryCode(text, codes[i]);
        text += '\n';
    }
    text +=
        "\nThey are shown only now and stored nowhere: keep them where only administrators\n"
        "can reach them, and read one out when a user cannot log on because the service\n"
        "cannot be reached. The previous set no longer works.\n";
    if (FailOpenSet()) text += std::string("\n") + FailOpenLine(true);
    Out(text);
    return kDone;
}

int Status() {
    RecoverySet set;
    std::string reason;
    std::string text;
    switch (LoadRecoverySet(set, reason)) {
    case RecoveryLoad::Loaded:
        text = "codes left: " + std::to_string(set.Count()) + " (set made " + FormatRecoverySetTime(set.created) + ")\n";
        break;
    case RecoveryLoad::None:
        text = "codes left: 0 (no set, or every code used)\n";
        break;
    case RecoveryLoad::Malformed:
        Out("codes left: 0 (the stored set cannot be used: " + reason + ")\n");
        return Fail(kStoreFailed, "the stored set cannot be used; make a new one with vyn-recovery new");
    }
    text += FailOpenLine(FailOpenSet());
    std::vector<BYTE> descriptor;
    DWORD error = 0;
    if (ReadKeySecurity(kRecoveryKey, descriptor, error)) {
        const std::vector<std::string> readers = UnexpectedReaders(descriptor.data(), KEY_QUERY_VALUE);
        std::string names;
        for (const std::string& r : readers) names += (names.empty() ? "" : ", ") + r;
        text += readers.empty() ? "access list: private (SYSTEM and Administrators only)\n"
                                : "access list: EXPOSED: may be read by " + names +
                                      "; make a new set (vyn-recovery new) to make it private again\n";
    } else if (error != ERROR_FILE_NOT_FOUND) {
        text += "access list: cannot be read (error " + std::to_string(error) + ")\n";
    }
    Out(text);
    return kDone;
}

int Clear() {
    MachineLock lock(kRecoveryLockName, kRecoveryLockSecurity);
    std::string refusal;
    if (!LockStore(lock, refusal)) return Fail(kStoreFailed, refusal);
    const LONG deleted = DeleteRecoverySet();
    if (deleted != ERROR_SUCCESS)
        return Fail(kStoreFailed,
                    "HKLM\\" + std::string(kRecoveryKey) + " cannot be removed (error " + std::to_string(deleted) + ")");
    Out("recovery codes removed: none is asked for any more\n");
    return kDone;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc >= 2 ? argv[1] : L"";
    if (command == L"--help" || command == L"-h" || command == L"/?") {
        Out(kUsage);
        return kDone;
    }
    size_t count = kDefaultRecoveryCodes;
    const bool known = (command == L"new" && argc <= 3) || ((command == L"status" || command == L"clear") && argc == 2);
    if (!known) {
        Write(STD_ERROR_HANDLE, kUsage);
        return kUsageError;
    }
    if (command == L"new" && argc == 3 && !ParseCount(argv[2], count))
        return Fail(kUsageError, "N must be a whole number from 1 to 50, not \"" + ToUtf8(argv[2]) + "\"");
    if (!IsAdministrator()) return Fail(kNotAdministrator, "run this as an administrator");
    if (command == L"new") return New(count);
    if (command == L"status") return Status();
    return Clear();
}
