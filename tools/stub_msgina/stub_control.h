#pragma once
// Control interface of the test double of msgina.dll (tools/stub_msgina).
//
// The double exports the 22 entries the module looks up in msgina, plus the
// functions below. What it answers is set by the environment variable
// VYN_STUB_MSGINA, read when the library is loaded, and may be changed later
// with StubConfigure. The settings are separated by ';':
//
//   absent              the library refuses to load (LoadLibrary fails)
//   missing=A,B         the entries A and B cannot be found (GetProcAddress
//                       answers null); load time only
//   throw=A,B           A and B throw a C++ exception instead of answering
//   <Entry>=N           what entry <Entry> answers (e.g. WlxLoggedOutSAS=2)
//   user=U domain=D password=P
//                       the account WlxLoggedOutSAS writes into the
//                       network-provider info when it answers a logon
//                       (strings allocated with LocalAlloc, as from msgina)
//   version=N           what WlxNegotiate writes as msgina's version
//
// Defaults: BOOL entries answer TRUE; WlxLoggedOutSAS answers 1 (logon) for
// user "user" with an empty domain; WlxWkstaLockedSAS answers 8 (unlock);
// WlxLoggedOnSAS answers 2 (none); ShellShutdownDialog answers 0; version is
// 0x00010004.
//
// Every call of an entry is recorded with its arguments (pointers and
// integers as pointer-sized values), in order.

#include <windows.h>

#define VYN_STUB_MSGINA_ENV L"VYN_STUB_MSGINA"

struct StubCall {
    char name[48];
    DWORD argCount;
    ULONG_PTR args[8];
};

// GetProcAddress names and signatures of the control functions.
using PFN_StubCallCount = int(WINAPI*)();
using PFN_StubGetCall = BOOL(WINAPI*)(int index, StubCall* call);
using PFN_StubClearCalls = void(WINAPI*)();
using PFN_StubWlxContext = PVOID(WINAPI*)();  // the context its WlxInitialize produced
using PFN_StubConfigure = BOOL(WINAPI*)(LPCWSTR settings);
