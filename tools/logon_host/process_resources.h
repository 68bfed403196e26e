#pragma once
// What this process holds, for --repeat: a module that leaks shows as a count
// that grows from round to round. Read by the rounds loop (logon_host.cpp).

// This process's handles, from the system's handle table; -1 when unreadable.
long CountHandles();
// This process's threads, from a system snapshot; -1 when unreadable.
long CountThreads();
// This process's private bytes.
unsigned long long PrivateBytes();
// "host: resources <when>: handles N, private bytes N, threads N".
void ReportResources(const char* when);
// A clock in milliseconds, for the time per round.
double NowMs();
