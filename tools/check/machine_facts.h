#pragma once
// What vyn-check's JSON says about the machine and the run beside the
// findings, so that a report over many machines' results (vyn-fleet) can tell
// whose result it holds, how old it is and what it was made with.

#include <string>

struct MachineFacts {
    std::string machine;       // the NetBIOS computer name, as %COMPUTERNAME%
    std::string domain;        // the domain or workgroup it belongs to; empty when unknown
    std::string osVersion;     // "5.2.3790"
    std::string servicePack;   // "Service Pack 2"; empty when none
    std::string architecture;  // "x64", "x86", "ia64" or "unknown"
    std::string checkedAt;     // UTC, "2026-12-09T05:40:20Z"
};

// Read once per run; a value the system will not give stays empty.
MachineFacts ReadMachineFacts();
