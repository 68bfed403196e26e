#pragma once
// Opening and closing the shared log for a process, and the warnings about it
// that must reach the event log. Sits above the line log and the event log,
// and wires the file writer's reports to both.

// Opens the log for appending, creating folder and file as needed. A folder
// it creates is private (PrivateLogDirectorySecurity); an existing one that
// lets in anyone but SYSTEM and the Administrators, or has another owner, is
// taken back (Administrators as owner, the private DACL), and the vyn.log and
// vyn.log.old found in it are moved aside to names with the time and never
// written again (the two newest such files are kept): a new vyn.log is
// created. A reparse-point folder or log file, a log file with more than one
// link, a folder in the file's place, or a folder that cannot be taken back
// leaves the log on the debugger output alone, reported once per load to the
// event log as a warning naming the path and the reason. A vyn.log or
// vyn.log.old owned by another account is moved aside as well. Called at
// process attach (and by the tools that log); calling it again starts over.
//
// With `deferEvents` (process attach: the event log is reached by RPC, which
// must not be called under the loader lock) the warnings are logged at once
// but reported to the event log only by ReportDeferredLogEvents.
bool OpenLogFile(bool deferEvents = false) noexcept;
void CloseLogFile() noexcept;

// Reports the warnings kept since OpenLogFile(true), and every later one at
// once. Called by the first export Winlogon calls, WlxNegotiate.
void ReportDeferredLogEvents() noexcept;
