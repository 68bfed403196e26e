#include "tools/logon_host/passcode_user.h"

#include "common/strings.h"

namespace {

// Posted to the dialog whenever it is ready for the user's next action; a
// dialog that has ended by then is destroyed and the message dropped.
constexpr UINT kNextActionMessage = WM_APP + 0x7A0;
constexpr UINT_PTR kThinkTimer = 0x7A12;

// The passcode dialog being driven; dialogs are modal and this one never
// nests in itself, so there is at most one.
struct Drive {
    DLGPROC proc;
    const PasscodeScript* script;
    size_t* cursor;
    const std::function<void(const std::string&)>* say;
};
Drive* gDrive = nullptr;

void Say(const std::string& line) { (*gDrive->say)(gDrive->script->dialogName + ": " + line); }

// The button's click notification, exactly as the button sends it. (BM_CLICK
// would go through mouse capture, which another process's window can take
// away under Wine and so lose the click.)
void PressButton(HWND dialog, int id, const char* name) {
    Say(std::string("pressed ") + name);
    const HWND button = ::GetDlgItem(dialog, id);
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// A key goes to the focused field, where the dialog's own keyboard handling
// (IsDialogMessage in the modal loop) turns it into OK or Cancel.
void PressKey(HWND dialog, UINT key, const char* name) {
    Say(std::string("pressed ") + name);
    const HWND edit = ::GetDlgItem(dialog, kPasscodeEditId);
    ::SetFocus(edit);
    ::PostMessageW(edit, WM_KEYDOWN, key, 1);
    ::PostMessageW(edit, WM_KEYUP, key, 0xC0000001);
}

// Replaces the field's text keystroke by keystroke, as a person selecting
// the old text and typing over it would.
void Type(HWND dialog, const std::wstring& text) {
    const HWND edit = ::GetDlgItem(dialog, kPasscodeEditId);
    ::SetFocus(edit);
    ::SendMessageW(edit, EM_SETSEL, 0, -1);
    if (text.empty()) ::SendMessageW(edit, WM_CLEAR, 0, 0);
    for (wchar_t c : text) ::SendMessageW(edit, WM_CHAR, c, 1);
    Say("typed \"" + ToUtf8(text) + "\"");
}

void NextAction(HWND dialog) {
    const PasscodeScript& script = *gDrive->script;
    size_t& cursor = *gDrive->cursor;
    if (cursor >= script.actions.size()) {
        Say("script used up");
        PressButton(dialog, IDCANCEL, "Cancel");
        return;
    }
    const PasscodeAction& action = script.actions[cursor++];
    switch (action.kind) {
        case PasscodeAction::Answer:
            Type(dialog, action.text);
            if (script.thinkMs > 0) ::SetTimer(dialog, kThinkTimer, script.thinkMs, nullptr);
            else PressButton(dialog, IDOK, "OK");
            break;
        case PasscodeAction::Ok: PressButton(dialog, IDOK, "OK"); break;
        case PasscodeAction::Enter: PressKey(dialog, VK_RETURN, "Enter"); break;
        case PasscodeAction::Cancel: PressButton(dialog, IDCANCEL, "Cancel"); break;
        case PasscodeAction::Escape: PressKey(dialog, VK_ESCAPE, "Escape"); break;
        case PasscodeAction::Close:
            Say("pressed the close button");
            ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
    }
}

INT_PTR CALLBACK DrivingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kNextActionMessage) {
        NextAction(window);
        return TRUE;
    }
    if (message == WM_TIMER && wParam == kThinkTimer) {
        ::KillTimer(window, kThinkTimer);
        PressButton(window, IDOK, "OK");
        return TRUE;
    }
    const INT_PTR answer = gDrive->proc(window, message, wParam, lParam);
    // The dialog waits for the user again once it is open, and after OK has
    // been handled without ending it (empty field, refusal, cancelled status).
    const bool okHandled = message == WM_COMMAND && LOWORD(wParam) == IDOK && HIWORD(wParam) == 0;
    if (message == WM_INITDIALOG || okHandled) ::PostMessageW(window, kNextActionMessage, 0, 0);
    return answer;
}

}  // namespace

INT_PTR ShowScriptedPasscodeDialog(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                                   LPARAM param, const PasscodeScript& script, size_t& cursor,
                                   const std::function<void(const std::string&)>& say) {
    if (!script.Scripted()) return ::DialogBoxParamW(instance, templateName, owner, proc, param);
    Drive drive{proc, &script, &cursor, &say};
    Drive* outer = gDrive;
    gDrive = &drive;
    const INT_PTR result = ::DialogBoxParamW(instance, templateName, owner, DrivingProc, param);
    gDrive = outer;
    return result;
}

int ParsePasscodeOption(int index, int argc, wchar_t** argv, PasscodeScript& script) {
    const std::wstring name = argv[index];
    if (name != L"--answer" && name != L"--answers" && name != L"--press" && name != L"--think") return 0;
    if (index + 1 >= argc) return -1;
    const std::wstring value = argv[index + 1];
    if (name == L"--answer") {
        script.actions.push_back({PasscodeAction::Answer, value});
    } else if (name == L"--answers") {
        size_t start = 0;
        for (;;) {
            const size_t end = value.find(L';', start);
            script.actions.push_back({PasscodeAction::Answer, value.substr(start, end - start)});
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
    } else if (name == L"--press") {
        static const struct {
            const wchar_t* name;
            PasscodeAction::Kind kind;
        } kKeys[] = {{L"ok", PasscodeAction::Ok},         {L"enter", PasscodeAction::Enter},
                     {L"cancel", PasscodeAction::Cancel}, {L"escape", PasscodeAction::Escape},
                     {L"close", PasscodeAction::Close}};
        bool known = false;
        for (const auto& key : kKeys)
            if (value == key.name) {
                script.actions.push_back({key.kind, {}});
                known = true;
            }
        if (!known) return -1;
    } else {
        if (value.empty() || value.size() > 9) return -1;
        DWORD milliseconds = 0;
        for (wchar_t c : value) {
            if (c < L'0' || c > L'9') return -1;
            milliseconds = milliseconds * 10 + static_cast<DWORD>(c - L'0');
        }
        script.thinkMs = milliseconds;
    }
    return 2;
}

int ParseRecoveryOption(int index, int argc, wchar_t** argv, PasscodeScript& script) {
    static const struct {
        const wchar_t* recovery;
        const wchar_t* passcode;
    } kNames[] = {{L"--recovery-code", L"--answer"}, {L"--recovery-codes", L"--answers"},
                  {L"--recovery-press", L"--press"}};
    for (const auto& name : kNames) {
        if (std::wstring(argv[index]) != name.recovery) continue;
        if (index + 1 >= argc) return -1;
        script.dialogName = "recovery dialog";
        wchar_t* option[] = {const_cast<wchar_t*>(name.passcode), argv[index + 1]};
        return ParsePasscodeOption(0, 2, option, script);
    }
    return 0;
}
