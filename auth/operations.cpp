// The closed operation table: wire names, paths and methods of the service's
// operations, and the user-name normalisation applied before "user" is sent.
#include "auth/operations.h"

#include "common/strings.h"
#include "diag/log.h"

std::string VynOpName(VynOperation op) {
    switch (op) {
    case VynOperation::Ping: return "ping";
    case VynOperation::Check: return "check";
    case VynOperation::Preauth: return "preauth";
    case VynOperation::Auth: return "auth";
    case VynOperation::Status: return "status";
    }
    LogMessage("ERROR: Unhandled Vyn operation");
    return std::string();
}

std::string VynOpMethod(VynOperation op) {
    switch (op) {
    case VynOperation::Ping:
    case VynOperation::Check:
    case VynOperation::Status: return "GET";
    case VynOperation::Preauth:
    case VynOperation::Auth: return "POST";
    }
    LogMessage("ERROR: Unhandled Vyn operation");
    return std::string();
}

std::string FormatVynOp(VynOperation op) {
    const std::string name = VynOpName(op);
    if (name.empty()) {
        LogMessage("ERROR: FormatVynOp failed");
        return std::string();
    }
    return "/rest/v1/" + name + ".bson";
}

std::string NormalizeUsername(const std::string& user) {
    // Only ASCII capitals are lowered: the service compares names that way, and
    // a locale-aware lowering could turn one account name into another.
    std::wstring wide = FromUtf8(user);
    for (wchar_t& c : wide) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 0x20);
    }
    return ToUtf8(wide);
}
