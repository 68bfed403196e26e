// The log file the loaded module writes: folder and file created under the
// common application-data folder, the 99-hyphen separator at every load, the
// exact line layout, appending to what is there.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <fstream>
#include <map>
#include <iterator>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "common/strings.h"
#include "gina/msgina.h"
#include "tests/gina/loaded_module.h"
#include "tests/support/child_process.h"
#include "tests/support/log_capture.h"

namespace {

const std::string kSeparator(99, '-');

std::wstring LogDirectory() {
    wchar_t appData[MAX_PATH] = {};
    EXPECT_EQ(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData), S_OK);
    return std::wstring(appData) + L"\\Vyn Security";
}

std::wstring LogFile() { return LogDirectory() + L"\\vyn.log"; }

std::string ReadAll(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
    file << bytes;
}

// The "vyn.log*" files in the log folder: the log, the old log, and logs
// moved aside when the folder was taken back.
std::vector<std::wstring> LogFiles() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((LogDirectory() + L"\\vyn.log*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

void RemoveLogFolder() {
    for (const std::wstring& name : LogFiles()) {
        const std::wstring path = LogDirectory() + L"\\" + name;
        if (!::DeleteFileW(path.c_str())) ::RemoveDirectoryW(path.c_str());
    }
    ::RemoveDirectoryW(LogDirectory().c_str());
    ASSERT_EQ(::GetFileAttributesW(LogDirectory().c_str()), INVALID_FILE_ATTRIBUTES);
}

// Splits the file into lines, each of which must end in CR LF, and keeps the
// lines this thread wrote: other test programs may load the module at the
// same time and append their own.
std::vector<std::string> Lines(const std::string& bytes) {
    const std::string tid = "(" + std::to_string(::GetCurrentThreadId()) + ") ";
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated last line: " << bytes.substr(start);
            break;
        }
        const std::string line = bytes.substr(start, end - start);
        if (line.find(tid) != std::string::npos) lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

// Checks "MM/DD/YY hh:mm:ss (tid) <text>" against the local time taken just
// before and after the line was written, and returns the text.
std::string CheckPrefix(const std::string& line, const SYSTEMTIME& before, const SYSTEMTIME& after) {
    static const std::regex layout(R"(^(\d{2})/(\d{2})/(\d{2}) (\d{2}):(\d{2}):(\d{2}) \((\d+)\) )");
    std::smatch m;
    if (!std::regex_search(line, m, layout)) {
        ADD_FAILURE() << "no prefix: " << line;
        return line;
    }
    auto matches = [&](const SYSTEMTIME& t) {
        return std::stoi(m[1]) == t.wMonth && std::stoi(m[2]) == t.wDay && std::stoi(m[3]) == t.wYear % 1000 &&
               std::stoi(m[4]) == t.wHour;
    };
    EXPECT_TRUE(matches(before) || matches(after)) << line;
    EXPECT_EQ(std::stoul(m[7]), ::GetCurrentThreadId()) << line;
    return line.substr(m.length(0));
}

TEST(LogFile, FolderAndFileAreCreatedAndTheSeparatorComesFirst) {
    RemoveLogFolder();
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    {
        LoadedModule m(L"");
        ASSERT_NE(m.handle, nullptr);
        m.Get<PFN_WlxNegotiate>("WlxNegotiate")(0x00010004, nullptr);
    }
    ::GetLocalTime(&after);
    EXPECT_TRUE(::GetFileAttributesW(LogDirectory().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    const auto lines = Lines(ReadAll(LogFile()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(CheckPrefix(lines[0], before, after), kSeparator);
    EXPECT_EQ(CheckPrefix(lines[1], before, after), "Entered WlxNegotiate");
}

// One access-control entry as read back from the file system.
struct Ace {
    BYTE type, flags;
    ACCESS_MASK mask;
    std::wstring sid;  // string form, e.g. S-1-5-18
    bool operator==(const Ace& o) const {
        return type == o.type && flags == o.flags && mask == o.mask && sid == o.sid;
    }
};

std::ostream& operator<<(std::ostream& out, const Ace& ace) {
    return out << "{type " << int(ace.type) << ", flags 0x" << std::hex << int(ace.flags) << ", mask 0x" << ace.mask
               << std::dec << ", " << std::string(ace.sid.begin(), ace.sid.end()) << "}";
}

struct Dacl {
    bool read = false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    std::vector<Ace> aces;
    std::wstring sddl;
};

// The DACL of a file or folder, through the same API an administrator's
// tools use.
Dacl ReadDacl(const std::wstring& path) {
    Dacl result;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor) != ERROR_SUCCESS) {
        return result;
    }
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &result.control, &revision);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) break;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        LPWSTR sid = nullptr;
        std::wstring sidText;
        if (::ConvertSidToStringSidW(const_cast<DWORD*>(&allowed->SidStart), &sid)) {
            sidText = sid;
            ::LocalFree(sid);
        }
        result.aces.push_back(Ace{header->AceType, header->AceFlags, allowed->Mask, sidText});
    }
    LPWSTR text = nullptr;
    if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                               &text, nullptr)) {
        result.sddl = text;
        ::LocalFree(text);
    }
    ::LocalFree(descriptor);
    result.read = true;
    return result;
}

constexpr wchar_t kSystemSid[] = L"S-1-5-18";

constexpr wchar_t kEveryoneSid[] = L"S-1-1-0";

// Wine keeps no security descriptor of its own for files: it maps the DACL the
// folder is created with onto the Unix mode, and reads back a DACL made from
// that mode (SYSTEM, the owner, and Everyone when others may read). So on the
// prefix's file system the check is that nobody else gets in, where a folder
// made with default security lets Everyone read; the exact descriptor is
// checked where it is built (tests/diag).
TEST(LogFile, FolderTheModuleCreatesLetsNobodyElseIn) {
    RemoveLogFolder();
    { LoadedModule m(L""); }
    const Dacl folder = ReadDacl(LogDirectory());
    ASSERT_TRUE(folder.read);
    ASSERT_FALSE(folder.aces.empty());
    for (const Ace& ace : folder.aces) {
        EXPECT_NE(ace.sid, kEveryoneSid) << ace;
        EXPECT_NE(ace.sid, L"S-1-5-32-545") << ace;  // Users
        EXPECT_NE(ace.sid, L"S-1-5-11") << ace;      // Authenticated Users
    }
    EXPECT_EQ(folder.aces.front(), (Ace{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                        FILE_ALL_ACCESS, kSystemSid}));
    // The log file is there and in use.
    EXPECT_NE(::GetFileAttributesW(LogFile().c_str()), INVALID_FILE_ATTRIBUTES);
}

// A folder someone else made first (here with default security, which lets
// Everyone read) is taken back. The vyn.log and vyn.log.old found in it may be
// theirs, held open to read what follows: both are moved aside to names with
// the time, taken back too, and a new vyn.log is created; of the logs moved
// aside, the two newest are kept. The handle held from before sees no later
// line.
TEST(LogFile, FolderMadeByOthersIsTakenBackAndItsLogsAreMovedAside) {
    RemoveLogFolder();
    ASSERT_TRUE(::CreateDirectoryW(LogDirectory().c_str(), nullptr));
    WriteAll(LogFile(), "planted\r\n");
    WriteAll(LogFile() + L".old", "planted old\r\n");
    // Logs moved aside at earlier take-backs: only the two newest are kept.
    for (const wchar_t* earlier : {L".taken-back-20200101-000000", L".old.taken-back-20200101-000000",
                                   L".taken-back-20250101-000000-2"})
        WriteAll(LogFile() + earlier, "moved aside earlier\r\n");
    auto everyone = [](const Dacl& dacl) {
        bool found = false;
        for (const Ace& ace : dacl.aces) found = found || ace.sid == kEveryoneSid;
        return found;
    };
    ASSERT_TRUE(everyone(ReadDacl(LogDirectory())));
    ASSERT_TRUE(everyone(ReadDacl(LogFile())));
    const HANDLE planter = ::CreateFileW(LogFile().c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(planter, INVALID_HANDLE_VALUE);

    {
        LoadedModule m(L"");
        m.Get<PFN_WlxNegotiate>("WlxNegotiate")(0x00010004, nullptr);
    }
    char seen[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(planter, seen, sizeof seen, &read, nullptr));
    EXPECT_EQ(std::string(seen, read), "planted\r\n");
    ::CloseHandle(planter);

    const auto lines = Lines(ReadAll(LogFile()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(ReadAll(LogFile()).find("planted"), std::string::npos);
    EXPECT_EQ(::GetFileAttributesW((LogFile() + L".old").c_str()), INVALID_FILE_ATTRIBUTES);
    static const std::wregex aside(LR"(vyn\.log(\.old)?\.taken-back-\d{8}-\d{6})");
    std::map<std::string, std::wstring> movedAside;
    for (const std::wstring& name : LogFiles()) {
        if (name == L"vyn.log") continue;
        EXPECT_TRUE(std::regex_match(name, aside)) << std::string(name.begin(), name.end());
        movedAside[ReadAll(LogDirectory() + L"\\" + name)] = name;
    }
    EXPECT_EQ(movedAside.size(), 2u);
    EXPECT_EQ(movedAside.count("planted\r\n"), 1u);
    EXPECT_EQ(movedAside.count("planted old\r\n"), 1u);
    std::vector<std::wstring> paths = {LogDirectory(), LogFile()};
    for (const auto& found : movedAside) paths.push_back(LogDirectory() + L"\\" + found.second);
    for (const std::wstring& path : paths) {
        const Dacl after = ReadDacl(path);
        ASSERT_TRUE(after.read);
        EXPECT_FALSE(everyone(after)) << std::string(after.sddl.begin(), after.sddl.end());
    }
}

TEST(LogFile, NewLinesFollowEarlierContentAtEveryLoad) {
    // The module's own folder: earlier content in a folder made by others
    // would be moved aside.
    { LoadedModule made(L""); }
    const std::string earlier = "earlier line\r\n";
    WriteAll(LogFile(), earlier);
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    { LoadedModule first(L""); }
    {
        LoadedModule second(L"");
        wchar_t message[] = L"";
        second.Get<PFN_WlxDisplayStatusMessage>("WlxDisplayStatusMessage")(nullptr, nullptr, 0, nullptr, message);
    }
    ::GetLocalTime(&after);
    const std::string bytes = ReadAll(LogFile());
    ASSERT_EQ(bytes.compare(0, earlier.size(), earlier), 0);
    const auto lines = Lines(bytes.substr(earlier.size()));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(CheckPrefix(lines[0], before, after), kSeparator);
    EXPECT_EQ(CheckPrefix(lines[1], before, after), kSeparator);
    // An empty message leaves the prefix's trailing space as the line's end.
    EXPECT_EQ(CheckPrefix(lines[2], before, after), "Entered WlxDisplayStatusMessage: ");
}

TEST(LogFile, OthersMayReadAndAppendWhileTheModuleHoldsIt) {
    LoadedModule m(L"");
    ASSERT_NE(m.handle, nullptr);
    const HANDLE reader = ::CreateFileW(LogFile().c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    ::CloseHandle(reader);
    // A second Winlogon (another session) appends to the same file.
    const HANDLE appender = ::CreateFileW(LogFile().c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(appender, INVALID_HANDLE_VALUE);
    ::CloseHandle(appender);
}

// What the module writes to the debugger output while it is loaded once.
std::vector<std::string> DebuggerLinesOfOneLoad() {
    LogCapture capture;
    LoadedModule m(L"");
    EXPECT_NE(m.handle, nullptr);
    return capture.Texts();
}

TEST(LogFile, TheSeparatorAlsoReachesTheDebuggerOutput) {
    LogCapture capture;
    LoadedModule m(L"");
    ASSERT_NE(m.handle, nullptr);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{kSeparator});
}

TEST(LogFile, AnUnopenableFileLeavesTheDebuggerOutputToCarryEveryLine) {
    RemoveLogFolder();
    // A folder where the file should be, in the module's own folder: the
    // module cannot open its log.
    { LoadedModule made(L""); }
    ASSERT_TRUE(::DeleteFileW(LogFile().c_str()));
    ASSERT_TRUE(::CreateDirectoryW(LogFile().c_str(), nullptr));
    std::vector<std::string> texts;
    {
        LogCapture capture;
        LoadedModule m(L"");
        ASSERT_NE(m.handle, nullptr);
        EXPECT_TRUE(m.Get<PFN_WlxNegotiate>("WlxNegotiate")(0x00010004, nullptr));
        texts = capture.Texts();
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"ERROR: Log file '" + ToUtf8(LogFile()) +
                                                   "' refused: it is a folder; logging to the debugger output only",
                                               kSeparator, "Entered WlxNegotiate"}));
    EXPECT_TRUE(::RemoveDirectoryW(LogFile().c_str()));
    RemoveLogFolder();
}

// Wine shows a Unix symbolic link to a folder as a reparse point, the way a
// junction looks on Windows; it cannot create junctions itself.
TEST(LogFile, FolderThatIsAReparsePointIsRefused) {
    RemoveLogFolder();
    const std::wstring elsewhere = LogDirectory() + L" elsewhere";
    ::CreateDirectoryW(elsewhere.c_str(), nullptr);
    auto linked = [&] {
        const DWORD attributes = ::GetFileAttributesW(LogDirectory().c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    };
    ASSERT_TRUE(RunUnixShell("cd \\\"$WINEPREFIX/drive_c/ProgramData\\\" && ln -s 'Vyn Security elsewhere' "
                             "'Vyn Security'", linked));
    const std::vector<std::string> texts = DebuggerLinesOfOneLoad();
    EXPECT_EQ(texts, (std::vector<std::string>{"ERROR: Log folder '" + ToUtf8(LogDirectory()) +
                                                   "' refused: it is a reparse point; logging to the debugger "
                                                   "output only",
                                               kSeparator}));
    EXPECT_EQ(::GetFileAttributesW((elsewhere + L"\\vyn.log").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(RunUnixShell("rm \\\"$WINEPREFIX/drive_c/ProgramData/Vyn Security\\\"", [&] { return !linked(); }));
    EXPECT_TRUE(::RemoveDirectoryW(elsewhere.c_str()));
}

// A log file planted as a second link to a file of someone's choosing is not
// appended to: that file stays as it was.
TEST(LogFile, LogFileWithASecondLinkIsRefused) {
    RemoveLogFolder();
    { LoadedModule made(L""); }
    ASSERT_TRUE(::DeleteFileW(LogFile().c_str()));
    const std::wstring chosen = LogDirectory() + L" chosen.txt";
    WriteAll(chosen, "chosen\r\n");
    ASSERT_TRUE(::CreateHardLinkW(LogFile().c_str(), chosen.c_str(), nullptr));
    const std::vector<std::string> texts = DebuggerLinesOfOneLoad();
    EXPECT_EQ(texts, (std::vector<std::string>{"ERROR: Log file '" + ToUtf8(LogFile()) +
                                                   "' refused: it has more than one link; logging to the debugger "
                                                   "output only",
                                               kSeparator}));
    EXPECT_EQ(ReadAll(chosen), "chosen\r\n");
    EXPECT_TRUE(::DeleteFileW(chosen.c_str()));
    RemoveLogFolder();
}

// Rotation as the load writes its separator: only a log that the line would
// take past 16 MiB moves to vyn.log.old (replacing the earlier one), and a new
// vyn.log starts with this load's lines.
TEST(LogFile, LogTheSeparatorWouldTakePast16MiBBecomesTheOldLog) {
    const std::wstring old = LogFile() + L".old";
    const struct {
        LONGLONG size;
        bool rotated;
    } cases[] = {{(16ll << 20) - 1024, false}, {16ll << 20, true}, {(16ll << 20) + 1, true}};
    for (const auto& c : cases) {
        RemoveLogFolder();
        { LoadedModule made(L""); }
        WriteAll(LogFile(), "first line\r\n");
        WriteAll(old, "earlier old log\r\n");
        {
            const HANDLE file = ::CreateFileW(LogFile().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            LARGE_INTEGER end;
            end.QuadPart = c.size;
            EXPECT_TRUE(::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file));
            ::CloseHandle(file);
        }
        { LoadedModule m(L""); }
        const std::string current = ReadAll(LogFile());
        const std::string previous = ReadAll(old);
        if (c.rotated) {
            EXPECT_EQ(previous.size(), static_cast<size_t>(c.size));
            EXPECT_EQ(previous.rfind("first line\r\n", 0), 0u);
            // Only this load's separator.
            const auto lines = Lines(current);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(current, lines[0] + "\r\n");
        } else {
            EXPECT_EQ(previous, "earlier old log\r\n");
            EXPECT_GT(current.size(), static_cast<size_t>(c.size));
            EXPECT_EQ(current.rfind("first line\r\n", 0), 0u);
        }
        ::DeleteFileW(old.c_str());
    }
    RemoveLogFolder();
    { LoadedModule m(L""); }
}

}  // namespace
