#pragma once
// Plays Winlogon around the real VynGina.dll for the end-to-end tests: loads the
// module with the msgina double, negotiates and initialises it with a dispatch
// table of its own, and drives the module's dialogs from a second thread with
// real window messages, as a user at the secure desktop would.
//
// What the test observes:
//  - the action code each SAS export returns to "Winlogon";
//  - every WlxMessageBox call (text, caption, style, owner), answered at once;
//  - the status dialogs (texts, Cancel presses, where each was placed) and the
//    passcode dialogs (where placed, the field after each attempt, the focus);
//  - the module's log lines, captured in-process from the debugger output;
//  - the requests as the reference service received them.
//  - the events the module reports, caught at its import of ReportEventW (the
//    module's own event-log table cannot be reached from here).

#include <winsock2.h>
#include <windows.h>

extern "C" {
#include <winwlx.h>
}

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/strings.h"
#include "tests/gina/loaded_module.h"
#include "tests/support/log_capture.h"
#include "tools/logon_host/dialog_watch.h"

namespace e2e {

constexpr char kSkey[] = "e2e-secret-key-0123456789abcdefghijklmnop";
constexpr wchar_t kCaption[] = L"Vyn Security";
constexpr int kPasscodeTemplate = 12325;
constexpr int kEditId = 1001;

struct MessageBoxCall {
    std::wstring text, caption;
    UINT style = 0;
    HWND owner = nullptr;
};

// One thing the user does to a passcode dialog.
struct Action {
    enum Kind {
        SetText,       // WM_SETTEXT into the field
        TypeChars,     // WM_CHAR per character, through the field's own handling
        ClickOk,       // BM_CLICK on OK, waited for
        ClickCancel,   // BM_CLICK on Cancel
        PressEnter,    // VK_RETURN key message through the dialog manager
        PressEscape,   // VK_ESCAPE key message through the dialog manager
        CommandCancel, // WM_COMMAND IDCANCEL
        Close,         // WM_CLOSE
        SysClose,      // WM_SYSCOMMAND SC_CLOSE (the caption's close button)
    } kind;
    std::wstring text;

    Action(Kind k, std::wstring t = std::wstring()) : kind(k), text(std::move(t)) {}
};

// What the user saw of one passcode dialog.
struct PasscodeDialogSeen {
    HWND window = nullptr;
    RECT rect{};
    // Whether the keyboard focus was in the field when the dialog came up.
    bool focusInFieldAtStart = false;
    // After each OK / Enter that left the dialog open: the field's text, and
    // whether the keyboard focus was back in the field.
    std::vector<std::wstring> fieldAfterAttempt;
    std::vector<bool> focusInFieldAfterAttempt;
};

// The win32 thread model of this tool chain has no std::mutex or std::thread.
class Lockable {
public:
    Lockable() { ::InitializeCriticalSection(&section_); }
    ~Lockable() { ::DeleteCriticalSection(&section_); }
    void lock() { ::EnterCriticalSection(&section_); }
    void unlock() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

template <class L>
class Guard {
public:
    explicit Guard(L& l) : l_(l) { l_.lock(); }
    ~Guard() { l_.unlock(); }

private:
    L& l_;
};

// A thread running `body`, joined when the object goes.
class Thread {
public:
    explicit Thread(std::function<void()> body);
    ~Thread() { Join(); }
    void Join();

private:
    std::function<void()> body_;
    HANDLE handle_ = nullptr;
};

// The process-wide Winlogon stand-in (one test at a time per program).
class Winlogon {
public:
    static Winlogon& Get();

    // Resets the record and scripts for a new test.
    void Reset();

    // Scripts: actions per passcode dialog (in the order the dialogs appear),
    // and the status dialog's Cancel script.
    std::vector<std::vector<Action>> passcodeScripts;
    StatusDialogScript statusScript;
    // Throws std::bad_alloc from WlxDialogBoxParam when asked to show this
    // template (0: never): a foreign exception in the module's flow.
    int throwOnTemplate = 0;
    // Answers -1 (the dialog could not be created) for this template (0: never).
    int failTemplate = 0;

    // Record.
    std::vector<MessageBoxCall> MessageBoxes();
    std::vector<PasscodeDialogSeen> PasscodeDialogs();
    StatusDialogRecord status;
    std::vector<RECT> statusRects;
    std::vector<int> templatesShown;
    // The value each passcode dialog ended with, as DialogBoxParamW returned it.
    std::vector<int> passcodeResults;
    std::vector<std::wstring> driverErrors;

    WLX_DISPATCH_VERSION_1_0 table{};
    DWORD threadId = 0;

    // Called from the dispatch table.
    int OnMessageBox(HWND owner, LPWSTR text, LPWSTR title, UINT style);
    int OnDialogBoxParam(HANDLE instance, LPWSTR templateName, HWND owner, DLGPROC proc, LPARAM param);

private:
    Winlogon();
    void Drive(HWND dialog, const std::vector<Action>& actions, size_t index);

    Lockable mutex_;
    std::vector<MessageBoxCall> boxes_;
    std::vector<PasscodeDialogSeen> passcode_;
    size_t passcodeShown_ = 0;
};

// The events the loaded module reports, observed by pointing its import of
// ADVAPI32's ReportEventW at a recorder (Wine's event log keeps nothing).
struct Event {
    WORD type;
    DWORD id;
    std::vector<std::wstring> strings;
    bool operator==(const Event& o) const { return type == o.type && id == o.id && strings == o.strings; }
};
std::vector<Event> Events();
void ClearEvents();
// Redirects the module's import; false when the module does not import it.
bool RecordEventsOf(HMODULE module);

// The module's settings key, written from nothing for one test.
struct Settings {
    std::string host;  // "localhost:<port>"
    std::string ikey;
    std::string skey = kSkey;
    int failOpen = -1, autoPush = -1, rdpOnly = -1, logonOnly = -1;  // -1: absent
};
void ClearSettings();
void WriteSettings(const Settings& settings);
void SetDwordSetting(const char* name, DWORD value);

// Loads the module with the double (settings as in stub_control.h), calls
// WlxNegotiate and (unless told not to) WlxInitialize with the stand-in's table.
class Module {
public:
    // Events are recorded from the moment of loading.
    explicit Module(const std::wstring& stubSettings, bool initialize = true);
    int LoggedOutSAS();
    int WkstaLockedSAS();
    LoadedModule loaded;

private:
    PVOID context_ = nullptr;
};

// Short names for the module's own conversions, for readable expectations.
inline std::wstring W(const std::string& utf8) { return FromUtf8(utf8); }
inline std::string Utf8(const std::wstring& text) { return ToUtf8(text); }

}  // namespace e2e
