#pragma once
// A scripted user at the module's passcode dialog, for the logon host: types
// answers into the edit control and presses the dialog's buttons and keys with
// real window messages, one action each time the dialog waits for the user
// (when it opens, and again whenever OK leaves it open, e.g. after a refusal).
// Without a script the dialog is left to whoever sits at the display.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The passcode dialog's template and controls, as the module defines them.
constexpr WORD kPasscodeDialogTemplate = 12325;
constexpr int kPasscodeEditId = 1001;

struct PasscodeAction {
    enum Kind { Answer, Ok, Enter, Cancel, Escape, Close };
    Kind kind;
    std::wstring text;  // Answer: what is typed before OK is pressed
};

struct PasscodeScript {
    std::vector<PasscodeAction> actions;
    // How long the user looks at a typed answer before pressing OK.
    DWORD thinkMs = 0;
    // How the dialog is named in the lines said about it. The recovery-code
    // dialog is played by a script of its own: its field, OK and Cancel have
    // the passcode dialog's ids.
    std::string dialogName = "passcode dialog";
    bool Scripted() const { return !actions.empty(); }
};

// Reads one passcode-dialog option at argv[index] into `script`:
//   --answer TEXT        type TEXT and press OK
//   --answers "A;B;..."  the same for each answer in turn (a second try after
//                        a refusal, ...)
//   --press ok|enter|cancel|escape|close
//                        press that button or key (close: the caption's close
//                        button); ok and enter leave the field as it is
//   --think MS           wait MS between typing an answer and pressing OK
// Returns 1 + the number of values consumed when the option was one of these,
// 0 when it is not, -1 when its value is missing or malformed.
int ParsePasscodeOption(int index, int argc, wchar_t** argv, PasscodeScript& script);

// The recovery-code dialog (shown when the service cannot be reached, FailOpen
// is clear and recovery codes are stored): the same options, spelt
//   --recovery-code TEXT, --recovery-codes "A;B;...", --recovery-press KEY.
constexpr WORD kRecoveryDialogTemplate = 12326;
int ParseRecoveryOption(int index, int argc, wchar_t** argv, PasscodeScript& script);

// Shows the passcode dialog exactly as DialogBoxParamW does, acting out
// script.actions from `cursor` on (the cursor is advanced past every action
// used, so several dialogs share one script). When the script is used up
// while the dialog is still open, Cancel is pressed so that a scripted run
// never waits for a person. `say` receives one line per action.
INT_PTR ShowScriptedPasscodeDialog(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                                   LPARAM param, const PasscodeScript& script, size_t& cursor,
                                   const std::function<void(const std::string&)>& say);
