#include "tools/fleet/results.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "common/handles.h"
#include "common/ntdll.h"
#include "common/strings.h"
#include "diag/log.h"
#include "tools/check/words.h"

namespace handle_traits {
// A directory search of FindFirstFileW.
struct FindFile {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::FindClose(h); }
};
}  // namespace handle_traits

namespace {

using json = nlohmann::json;
using unique_find = unique_any<handle_traits::FindFile>;

// A bound of the input was passed: the file is not read any further.
class InputBound : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

const char* const kVerdicts[] = {"registration-broken", "keys-refused", "refused", "unreachable",
                                 "bypass",              "exposed",      "ready"};

// The parsed document, each string and each nesting level checked as the
// parser meets it, before the whole document is built.
json ParseBounded(const std::string& bytes, const FleetLimits& limits) {
    const auto check = [&limits](int depth, json::parse_event_t event, json& parsed) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
            static_cast<size_t>(depth) >= limits.maxDepth)
            throw InputBound("nested more than " + std::to_string(limits.maxDepth) + " levels deep");
        if ((event == json::parse_event_t::key || event == json::parse_event_t::value) && parsed.is_string() &&
            parsed.get_ref<const std::string&>().size() > limits.maxStringBytes)
            throw InputBound("a string longer than " + std::to_string(limits.maxStringBytes) + " bytes");
        return true;
    };
    return json::parse(bytes, check);
}

// Field readers: each names the field that is missing or of the wrong type.
const json& Field(const json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end()) throw InputBound(std::string("no \"") + name + "\"");
    return *found;
}

std::string Text(const json& object, const char* name) {
    const json& value = Field(object, name);
    if (!value.is_string()) throw InputBound(std::string("\"") + name + "\" is not a string");
    return value.get<std::string>();
}

// A string or null (the result could not learn it).
std::string TextOrNull(const json& object, const char* name) {
    const json& value = Field(object, name);
    if (value.is_null()) return std::string();
    if (!value.is_string()) throw InputBound(std::string("\"") + name + "\" is neither a string nor null");
    return value.get<std::string>();
}

void Read(const json& doc, const FleetLimits& limits, MachineResult& r) {
    if (!doc.is_object()) throw InputBound("not a JSON object");
    const json& schema = Field(doc, "schema");
    if (!schema.is_number_integer() || schema.get<int64_t>() != 1)
        throw InputBound("\"schema\" is not 1 (a result of another vyn-check version)");
    r.machine = Text(doc, "machine");
    if (r.machine.empty()) throw InputBound("\"machine\" is empty");
    r.domain = TextOrNull(doc, "domain");
    // No computer or domain name holds a control character. A NUL would end
    // the name where it is compared with the file's name and its owner, and
    // the page would show the rest: "WEB\u00001" in WEB.json would pass as
    // WEB's own and read as WEB1.
    for (const std::string* name : {&r.machine, &r.domain})
        if (std::any_of(name->begin(), name->end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7f; }))
            throw InputBound(std::string("\"") + (name == &r.machine ? "machine" : "domain") +
                             "\" holds a control character");
    r.verdict = Text(doc, "verdict");
    if (std::find(std::begin(kVerdicts), std::end(kVerdicts), r.verdict) == std::end(kVerdicts))
        throw InputBound("\"verdict\" is not a verdict of vyn-check (" + std::to_string(r.verdict.size()) +
                         " bytes)");
    r.sentence = Text(doc, "sentence");
    r.checkedAt = Text(doc, "checked_at");
    if (!ParseUtcTime(r.checkedAt, r.checkedTime)) throw InputBound("\"checked_at\" is not a UTC time");
    const json& os = Field(doc, "os");
    if (!os.is_object()) throw InputBound("\"os\" is not an object");
    r.osVersion = Text(os, "version");
    r.servicePack = Text(os, "service_pack");
    r.architecture = Text(os, "architecture");
    r.moduleVersion = TextOrNull(doc, "module_version");
    r.toolVersion = Text(doc, "tool_version");
    r.tls = TextOrNull(doc, "tls");
    const json& failOpen = Field(doc, "fail_open");
    if (!failOpen.is_boolean()) throw InputBound("\"fail_open\" is not true or false");
    r.failOpen = failOpen.get<bool>();
    const json& codes = Field(doc, "recovery_codes");
    if (!codes.is_number_unsigned()) throw InputBound("\"recovery_codes\" is not a count");
    r.recoveryCodes = codes.get<uint64_t>();
    const json& checks = Field(doc, "checks");
    if (!checks.is_array()) throw InputBound("\"checks\" is not a list");
    if (checks.size() > limits.maxChecks)
        throw InputBound("more than " + std::to_string(limits.maxChecks) + " findings");
    for (const json& check : checks) {
        if (!check.is_object()) throw InputBound("a check is not an object");
        r.checks.push_back({Text(check, "name"), Text(check, "status"), Text(check, "detail")});
    }
}

bool EndsWithJson(const std::wstring& name) {
    return name.size() > 5 && lstrcmpiW(name.c_str() + name.size() - 5, L".json") == 0;
}

std::wstring Stem(const std::wstring& name) { return name.substr(0, name.size() - 5); }

// The attributes of an open file, from the handle alone. Not
// GetFileInformationByHandle: under Wine that call also asks the volume for
// its serial number, half a millisecond a file, most of the time a report
// over 2,000 machines takes. NtQueryInformationFile's basic information has
// answered since NT 3.1. ERROR_SUCCESS or the Win32 error.
DWORD AttributesOf(HANDLE file, DWORD& attributes) {
    struct IoStatus {
        union {
            LONG status;
            void* pointer;
        };
        ULONG_PTR information;
    };
    struct BasicInformation {  // FILE_BASIC_INFORMATION
        LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;
        ULONG fileAttributes;
    };
    constexpr int kFileBasicInformation = 4;
    using QueryFunction = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
    using StatusToErrorFunction = ULONG(WINAPI*)(LONG);
    static const auto query = NtdllFunction<QueryFunction>("NtQueryInformationFile");
    static const auto statusToError = NtdllFunction<StatusToErrorFunction>("RtlNtStatusToDosError");
    static_assert(sizeof(IoStatus) == 2 * sizeof(void*) && sizeof(BasicInformation) == 40, "ntdll's layout");
    if (query == nullptr || statusToError == nullptr) {
        // Not GetLastError: the look-up ran once, for the first file only.
        LogSystemCallFailure("GetProcAddress", ERROR_PROC_NOT_FOUND);
        return ERROR_PROC_NOT_FOUND;
    }
    IoStatus io = {};
    BasicInformation basic = {};
    const LONG status = query(file, &io, &basic, sizeof basic, kFileBasicInformation);
    if (status < 0) {  // an error or a warning: the answer is not to be trusted
        const DWORD error = statusToError(status);
        return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    }
    attributes = basic.fileAttributes;
    return ERROR_SUCCESS;
}

bool NotPlain(std::string& reason) {
    reason = "not a plain file (a device, a link or another reparse point)";
    return false;
}

// The file's bytes, read in one short opening: other computers replace their
// files on the share while this runs, and every sharing mode is granted so
// that this read never makes their rename fail. `listedSize` is the size the
// folder's listing gave: a file over the bound is not opened at all, and one
// that grew past it since is caught by asking for one byte more.
bool ReadWholeFile(const std::wstring& path, uint64_t listedSize, uint64_t maxBytes, std::string& bytes,
                   std::string& reason) {
    const auto tooLarge = [&reason, maxBytes](const std::string& size) {
        reason = "larger than " + std::to_string(maxBytes / 1024) + " KiB" + size;
        return false;
    };
    if (listedSize > maxBytes) return tooLarge(" (" + std::to_string(listedSize) + " bytes)");
    // A link is not followed: it is opened itself, and refused below.
    const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    if (!file) {
        reason = "cannot be opened (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    // Only a plain file on a disk is read: a device would block the read (a
    // serial port, the console) or never end.
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return NotPlain(reason);
    DWORD attributes = 0;
    const DWORD queried = AttributesOf(file.get(), attributes);
    if (queried != ERROR_SUCCESS) {
        reason = "cannot be read (error " + std::to_string(queried) + ")";
        return false;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return NotPlain(reason);
    bytes.assign(static_cast<size_t>(listedSize) + 1, '\0');
    size_t got = 0;
    for (;;) {
        const DWORD wanted = static_cast<DWORD>(bytes.size() - got);
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + got, wanted, &read, nullptr)) {
            reason = "cannot be read (error " + std::to_string(::GetLastError()) + ")";
            return false;
        }
        got += read;
        // A synchronous read of a file returns less than asked only at its end.
        if (read < wanted) break;
        if (got > maxBytes) return tooLarge(std::string());
        bytes.resize(std::min<uint64_t>(bytes.size() * 2, maxBytes + 1));
    }
    bytes.resize(got);
    return true;
}

// The account that owns the file, as DOMAIN\name (or the SID's text when it
// has no name); empty when the file system keeps no owner.
std::string FileOwner(const std::wstring& path) {
    DWORD needed = 0;
    ::GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return std::string();
    std::string descriptor(needed, '\0');
    if (!::GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        LogSystemCallFailure("GetFileSecurityW", ::GetLastError());
        return std::string();
    }
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == nullptr)
        return std::string();
    wchar_t name[256] = {}, domain[256] = {};
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (::LookupAccountSidW(nullptr, owner, name, &nameLength, domain, &domainLength, &use))
        return ToUtf8(domain) + "\\" + ToUtf8(name);
    LogSystemCallFailure("LookupAccountSidW", ::GetLastError());
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(owner, &text)) return "an account that cannot be named";
    const unique_hlocal held(text);
    return ToUtf8(text);
}

// Whether the file system holding `folder` keeps access lists, owners
// included (NTFS does; FAT and many non-Windows servers do not). Wine keeps
// none for files, yet claims to and reports its own user as every file's
// owner: under Wine no owner is judged.
bool KeepsOwners(const std::wstring& folder) {
    if (RunningUnderWine()) return false;
    wchar_t root[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1)) {
        LogSystemCallFailure("GetVolumePathNameW", ::GetLastError());
        return false;
    }
    DWORD flags = 0;
    if (!::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
        LogSystemCallFailure("GetVolumeInformationW", ::GetLastError());
        return false;
    }
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

bool SameName(const std::string& a, const std::string& b) {
    return lstrcmpiW(FromUtf8(a).c_str(), FromUtf8(b).c_str()) == 0;
}

}  // namespace

void DoubtOwner(MachineResult& result, const std::string& owner) {
    if (owner.empty()) return;  // the share keeps no owners
    const size_t slash = owner.find('\\');
    const std::string account = slash == std::string::npos ? owner : owner.substr(slash + 1);
    const std::string domain = slash == std::string::npos ? std::string() : owner.substr(0, slash);
    const bool accountMatches = SameName(account, result.machine + "$");
    const bool domainMatches = result.domain.empty() || SameName(domain, result.domain);
    if (accountMatches && domainMatches) return;
    const std::string expected = (result.domain.empty() ? std::string() : result.domain + "\\") + result.machine + "$";
    result.doubts.push_back("the file's owner is " + owner + ", not " + expected);
}

namespace {

// Of one machine's results, the one that counts: one nothing casts doubt on
// before any other (a computer cannot displace another's result by writing a
// newer one), then the newest, then the last file name.
bool Outranks(const MachineResult& a, const MachineResult& b) {
    if (a.doubts.empty() != b.doubts.empty()) return a.doubts.empty();
    if (a.checkedTime != b.checkedTime) return a.checkedTime > b.checkedTime;
    return a.file > b.file;
}

std::string Upper(const std::string& text) {
    std::wstring wide = FromUtf8(text);
    if (!wide.empty()) ::CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return ToUtf8(wide);
}

}  // namespace

bool ParseUtcTime(const std::string& text, ULONGLONG& filetime) {
    // Exactly "YYYY-MM-DDTHH:MM:SSZ".
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kForm - 1) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) return false;
    }
    const auto number = [&text](size_t at, size_t length) {
        return static_cast<WORD>(std::stoi(text.substr(at, length)));
    };
    SYSTEMTIME time = {};
    time.wYear = number(0, 4);
    time.wMonth = number(5, 2);
    time.wDay = number(8, 2);
    time.wHour = number(11, 2);
    time.wMinute = number(14, 2);
    time.wSecond = number(17, 2);
    FILETIME ft = {};
    if (!::SystemTimeToFileTime(&time, &ft)) return false;  // 2026-02-30 and the like
    filetime = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return true;
}

bool ParseMachineResult(const std::string& bytes, const std::string& fileName, const FleetLimits& limits,
                        MachineResult& result, std::string& reason) {
    result = MachineResult();
    result.file = fileName;
    try {
        Read(ParseBounded(bytes, limits), limits, result);
    } catch (const json::parse_error& e) {
        // The parser's own message quotes the input: only the position is kept.
        reason = "not JSON, or not UTF-8 (near byte " + std::to_string(e.byte) + ")";
        return false;
    } catch (const InputBound& e) {
        reason = e.what();
        return false;
    } catch (const json::exception&) {
        reason = "not a result of vyn-check";
        return false;
    }
    const std::wstring wideName = FromUtf8(fileName);
    if (EndsWithJson(wideName) && lstrcmpiW(Stem(wideName).c_str(), FromUtf8(result.machine).c_str()) != 0)
        result.doubts.push_back("the file is named " + fileName + " but the result names the machine " +
                                result.machine);
    return true;
}

namespace {

// `folder` in the "\\?\" form, in which no name is taken for a device: any
// computer can create "com1.json" or "con.json" on the share (its name comes
// to the server whole), and in the ordinary form such a name opens the serial
// port or the console instead of the file. The folder as given when it has
// no full path.
std::wstring VerbatimFolder(const std::wstring& folder) {
    const DWORD needed = ::GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        LogSystemCallFailure("GetFullPathNameW", ::GetLastError());
        return folder;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(folder.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        LogSystemCallFailure("GetFullPathNameW", ::GetLastError());
        return folder;
    }
    full.resize(length);
    while (full.size() > 2 && full.back() == L'\\') full.pop_back();
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace

bool ReadFleetResults(const std::wstring& folder, const FleetLimits& limits, FleetResults& out, DWORD& error) {
    out = FleetResults();
    const std::wstring verbatim = VerbatimFolder(folder);
    WIN32_FIND_DATAW found = {};
    const unique_find search(::FindFirstFileW((folder + L"\\*.json").c_str(), &found));
    if (!search) {
        error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;  // a folder without results
        LogSystemCallFailure("FindFirstFileW", error);
        return false;
    }
    struct Listed {
        std::wstring name;
        uint64_t size;
        bool operator<(const Listed& other) const { return name < other.name; }
    };
    std::vector<Listed> names;
    size_t beyond = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        // The pattern matches short names too: the long name decides.
        if (!EndsWithJson(found.cFileName)) continue;
        if (names.size() < limits.maxFiles)
            names.push_back({found.cFileName, (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow});
        else
            ++beyond;
    } while (::FindNextFileW(search.get(), &found));
    const DWORD ended = ::GetLastError();
    if (ended != ERROR_NO_MORE_FILES) LogSystemCallFailure("FindNextFileW", ended);
    std::sort(names.begin(), names.end());
    out.filesSeen = names.size() + beyond;

    const bool owners = KeepsOwners(folder);
    std::map<std::string, std::vector<MachineResult>> byMachine;
    for (const Listed& listed : names) {
        const std::wstring path = verbatim + L"\\" + listed.name;
        const std::string fileName = ToUtf8(listed.name);
        std::string bytes, reason;
        MachineResult result;
        if (!ReadWholeFile(path, listed.size, limits.maxFileBytes, bytes, reason) ||
            !ParseMachineResult(bytes, fileName, limits, result, reason)) {
            out.unread.push_back({fileName, reason});
            continue;
        }
        if (owners) DoubtOwner(result, FileOwner(path));
        byMachine[Upper(result.machine)].push_back(std::move(result));
    }
    if (beyond > 0)
        out.unread.push_back({"(" + std::to_string(beyond) + " more files)",
                              "only the first " + std::to_string(limits.maxFiles) + " files are read"});
    for (auto& [key, results] : byMachine) {
        std::sort(results.begin(), results.end(), Outranks);
        out.machines.push_back(std::move(results.front()));
        for (size_t i = 1; i < results.size(); ++i) out.superseded.push_back(std::move(results[i]));
    }
    return true;
}
