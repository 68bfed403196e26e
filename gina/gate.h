#pragma once
// The second-factor gate between msgina's answer and Winlogon.

// Decides whether the logon or unlock that msgina just accepted may go through:
// true lets it through, false refuses it. Called only by WlxLoggedOutSAS and
// WlxWkstaLockedSAS, on Winlogon's thread.
bool PerformSecondaryAuth();
