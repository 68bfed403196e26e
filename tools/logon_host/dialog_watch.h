#pragma once
// Watches and drives the module's authentication status dialog from the
// dialog service that shows it (the logon host's stand-in for Winlogon's
// WlxDialogBoxParam, or a test's dialog hook): records every status text the
// dialog is given and, when told to, presses its Cancel button the way a user
// would. With an empty script the dialog is left to a person.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct StatusDialogScript {
    // Press Cancel this long after the dialog opened (INFINITE: never).
    DWORD cancelAfterMs = INFINITE;
    // Press Cancel as soon as this status text is shown (empty: never).
    std::wstring cancelOnText;
    // Told every status text as the dialog receives it (may be empty).
    std::function<void(const std::wstring&)> onText;
};

struct StatusDialogRecord {
    // Every status text the dialog was given, in order, across dialogs.
    std::vector<std::wstring> texts;
    int dialogsShown = 0;
    int cancelsPressed = 0;
    // GetTickCount() when Cancel was last pressed and when the last dialog closed.
    DWORD cancelPressedAt = 0;
    DWORD closedAt = 0;
};

// The status dialog's template id and messages, as the module defines them.
constexpr WORD kStatusDialogTemplate = 101;
constexpr UINT kSetStatusTextMessage = WM_APP + 1;

// Shows a dialog exactly as DialogBoxParamW does. The status dialog (template
// 101) is watched and driven by `script`, recording into `record`; any other
// dialog runs untouched. Call on one thread at a time (dialogs may nest).
INT_PTR ShowWatchedDialog(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc, LPARAM param,
                          const StatusDialogScript& script, StatusDialogRecord& record);

// --- For the logon host ---------------------------------------------------

// The host's script and record for the status dialogs it shows.
extern StatusDialogScript gHostStatusScript;
extern StatusDialogRecord gHostStatusRecord;

// The host's stand-in for Winlogon's WlxDialogBoxParam service (the eighth
// member of its dispatch table): shows every dialog of the module, watching
// and driving the status dialog with gHostStatusScript.
int WINAPI WatchedWlxDialogBoxParam(HANDLE wlx, HANDLE instance, LPWSTR templateName, HWND owner, DLGPROC proc,
                                    LPARAM param);

// Reads one status-dialog option at argv[index] into `script`:
//   --cancel-after <milliseconds>   press Cancel that long after the dialog opens
//   --cancel-on <text>              press Cancel when that status text is shown
// Without either option nobody presses Cancel: under a real X display the
// dialog is left to a person. Returns 1 + the number of values consumed when
// the option was one of these, 0 when it is not, -1 when its value is missing
// or malformed.
int ParseStatusDialogOption(int index, int argc, wchar_t** argv, StatusDialogScript& script);

// One line per recorded event, UTF-8: "status text: <text>" for every text in
// order, then "status dialogs shown: <n>" and "cancel pressed: <n>".
std::string DescribeStatusDialogRecord(const StatusDialogRecord& record);
