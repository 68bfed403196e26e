#pragma once
// The vyn-check results of many machines, as vyn-collect.cmd leaves them on a
// share: one "<computer>.json" each. Every computer may write to that share,
// so every file is hostile input: its size, nesting, strings and the number
// of files are bounded, and a result that may have been written by another
// computer than the one it names is flagged.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FleetLimits {
    uint64_t maxFileBytes = 1024 * 1024;
    size_t maxDepth = 8;            // vyn-check's results nest three deep
    size_t maxStringBytes = 8192;   // its longest sentences are under 1,000
    size_t maxFiles = 10000;
    size_t maxChecks = 100;         // vyn-check writes about 25 findings
};

struct CheckLine {
    std::string name;
    std::string status;  // "ok", "info", "warn", "fail"
    std::string detail;
};

struct MachineResult {
    std::string file;  // the file's name, UTF-8
    std::string machine;
    std::string domain;  // empty when the result names none
    std::string verdict;
    std::string sentence;
    std::string checkedAt;
    ULONGLONG checkedTime = 0;  // FILETIME of checkedAt
    std::string osVersion, servicePack, architecture;
    std::string moduleVersion;  // empty: none read on that machine
    std::string toolVersion;
    std::string tls;  // "system", "own" or empty
    bool failOpen = false;
    uint64_t recoveryCodes = 0;
    std::vector<CheckLine> checks;
    // Why this result may come from another computer than the one it names,
    // one sentence each; empty when nothing says so.
    std::vector<std::string> doubts;
};

struct UnreadFile {
    std::string file;
    std::string reason;
};

struct FleetResults {
    std::vector<MachineResult> machines;    // one per machine: the one that counts
    std::vector<MachineResult> superseded;  // the other results of those machines
    std::vector<UnreadFile> unread;
    size_t filesSeen = 0;
};

// Reads every "*.json" of `folder`. One bad file never stops the rest: it is
// listed with its reason. False only when the folder itself cannot be read
// (`error` set).
bool ReadFleetResults(const std::wstring& folder, const FleetLimits& limits, FleetResults& out, DWORD& error);

// One file's bytes as a result, or false with `reason`. `fileName` is the
// file's name (UTF-8), which the result's machine must match.
bool ParseMachineResult(const std::string& bytes, const std::string& fileName, const FleetLimits& limits,
                        MachineResult& result, std::string& reason);

// A computer writes its share file as its own account, DOMAIN\NAME$ (NTFS
// makes a file's creator its owner): any other owner ("DOMAIN\name", as
// LookupAccountSid names it) wrote the result for that computer, or replaced
// it, and is added to `result.doubts`. An empty owner (none kept) adds nothing.
void DoubtOwner(MachineResult& result, const std::string& owner);

// "2026-12-09T05:40:20Z" as a FILETIME; false for any other form.
bool ParseUtcTime(const std::string& text, ULONGLONG& filetime);
