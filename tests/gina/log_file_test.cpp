// The log file the loaded module writes: folder and file created under the
// common application-data folder, the 99-hyphen separator at every load, the
// exact line layout, appending to what is there.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "gina/msgina.h"
#include "tests/gina/loaded_module.h"
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

void RemoveLogFolder() {
    ::DeleteFileW(LogFile().c_str());
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

TEST(LogFile, NewLinesFollowEarlierContentAtEveryLoad) {
    ::CreateDirectoryW(LogDirectory().c_str(), nullptr);
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

TEST(LogFile, TheSeparatorAlsoReachesTheDebuggerOutput) {
    LogCapture capture;
    LoadedModule m(L"");
    ASSERT_NE(m.handle, nullptr);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{kSeparator});
}

TEST(LogFile, AnUnopenableFileLeavesTheDebuggerOutputToCarryEveryLine) {
    RemoveLogFolder();
    // A folder where the file should be: the module cannot open its log.
    ASSERT_TRUE(::CreateDirectoryW(LogDirectory().c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(LogFile().c_str(), nullptr));
    std::vector<std::string> texts;
    {
        LogCapture capture;
        LoadedModule m(L"");
        ASSERT_NE(m.handle, nullptr);
        EXPECT_TRUE(m.Get<PFN_WlxNegotiate>("WlxNegotiate")(0x00010004, nullptr));
        texts = capture.Texts();
    }
    EXPECT_EQ(texts, (std::vector<std::string>{kSeparator, "Entered WlxNegotiate"}));
    EXPECT_TRUE(::RemoveDirectoryW(LogFile().c_str()));
    EXPECT_TRUE(::RemoveDirectoryW(LogDirectory().c_str()));
}

}  // namespace
