#pragma once
// Winlogon's side of the conversation: the dispatch table the host hands the
// module in WlxInitialize, and what those services record or act out (the
// message boxes, and the scripted users of the passcode and recovery-code
// dialogs). The steps (module_steps.h) and the rounds loop read it.

#include <windows.h>

extern "C" {
#include <winwlx.h>
}

#include <string>
#include <vector>

#include "tools/logon_host/passcode_user.h"

// The handle Winlogon gives the module; the module hands it back in every
// dispatch call, so the host can check it.
extern const HANDLE kWinlogonHandle;
// The module's context, from WlxInitialize or WlxSetContextPointer.
extern PVOID gModuleContext;

// How WlxMessageBox answers: without a scripted answer (--message-box-answer)
// or a scripted user, the box is shown and waits for the person at the display.
extern bool gAnswerMessageBoxes;
extern int gMessageBoxAnswer;

// The messages the module asked Winlogon to show, for scripted answers.
struct MessageBoxRecord {
    std::wstring text, caption;
    UINT style;
};
extern std::vector<MessageBoxRecord> gMessageBoxes;

// The scripted user of the passcode dialog, and how far it has got; and the
// scripted user of the recovery-code dialog.
extern PasscodeScript gPasscodeScript;
extern size_t gPasscodeCursor;
extern PasscodeScript gRecoveryScript;
extern size_t gRecoveryCursor;

WLX_DISPATCH_VERSION_1_4 MakeDispatchTable();
