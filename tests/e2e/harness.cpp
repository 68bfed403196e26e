#include "tests/e2e/harness.h"

#include <new>

#include "tests/config/registry_helpers.h"

namespace e2e {

namespace {

int WINAPI TableMessageBox(HANDLE, HWND owner, LPWSTR text, LPWSTR title, UINT style) {
    return Winlogon::Get().OnMessageBox(owner, text, title, style);
}

int WINAPI TableDialogBoxParam(HANDLE, HANDLE instance, LPWSTR templateName, HWND owner, DLGPROC proc,
                               LPARAM param) {
    return Winlogon::Get().OnDialogBoxParam(instance, templateName, owner, proc, param);
}

// The status dialog's procedure, wrapped to note where the dialog placed
// itself once its own WM_INITDIALOG handling is done.
DLGPROC gStatusProc = nullptr;

INT_PTR CALLBACK StatusProcWrapper(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    const INT_PTR result = gStatusProc(dialog, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        RECT rect{};
        ::GetWindowRect(dialog, &rect);
        Winlogon::Get().statusRects.push_back(rect);
    }
    return result;
}

struct FindContext {
    HWND found = nullptr;
};

BOOL CALLBACK FindPasscodeDialog(HWND window, LPARAM lParam) {
    wchar_t caption[64] = {};
    ::GetWindowTextW(window, caption, 64);
    if (std::wstring(caption) == kCaption && ::GetDlgItem(window, kEditId) && ::IsWindowVisible(window)) {
        reinterpret_cast<FindContext*>(lParam)->found = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring FieldText(HWND dialog) {
    wchar_t buffer[512] = {};
    ::GetDlgItemTextW(dialog, kEditId, buffer, 512);
    return buffer;
}

bool FocusInField(HWND dialog, DWORD threadId) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!::GetGUIThreadInfo(threadId, &info)) return false;
    return info.hwndFocus == ::GetDlgItem(dialog, kEditId);
}

// Waits up to `ms` for `done`, checking every few milliseconds.
template <class Pred>
bool WaitFor(Pred done, DWORD ms = 15000) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > ms) return false;
        ::Sleep(5);
    }
    return true;
}

Lockable gEventsLock;
std::vector<Event> gEvents;

BOOL WINAPI RecordReportEventW(HANDLE, WORD type, WORD, DWORD eventId, PSID, WORD count, DWORD, LPCWSTR* strings,
                               LPVOID) {
    Event event{type, eventId, {}};
    for (WORD i = 0; i < count; ++i) event.strings.push_back(strings[i] ? strings[i] : L"");
    Guard<Lockable> lock(gEventsLock);
    gEvents.push_back(event);
    return TRUE;
}

}  // namespace

std::vector<Event> Events() {
    Guard<Lockable> lock(gEventsLock);
    return gEvents;
}

void ClearEvents() {
    Guard<Lockable> lock(gEventsLock);
    gEvents.clear();
}

bool RecordEventsOf(HMODULE module) {
    if (!module) return false;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return false;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (::lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), "advapi32.dll") != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::string(reinterpret_cast<const char*>(byName->Name)) != "ReportEventW") continue;
            DWORD old = 0;
            if (!::VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), PAGE_READWRITE, &old)) return false;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&RecordReportEventW);
            ::VirtualProtect(&slots->u1.Function, sizeof(ULONG_PTR), old, &old);
            return true;
        }
    }
    return false;
}

Thread::Thread(std::function<void()> body) : body_(std::move(body)) {
    handle_ = ::CreateThread(
        nullptr, 0,
        [](LPVOID self) -> DWORD {
            static_cast<Thread*>(self)->body_();
            return 0;
        },
        this, 0, nullptr);
}

void Thread::Join() {
    if (!handle_) return;
    ::WaitForSingleObject(handle_, INFINITE);
    ::CloseHandle(handle_);
    handle_ = nullptr;
}

Winlogon& Winlogon::Get() {
    static Winlogon instance;
    return instance;
}

Winlogon::Winlogon() {
    table.WlxMessageBox = &TableMessageBox;
    table.WlxDialogBoxParam = &TableDialogBoxParam;
}

void Winlogon::Reset() {
    Guard<Lockable> lock(mutex_);
    passcodeScripts.clear();
    statusScript = StatusDialogScript();
    throwOnTemplate = 0;
    failTemplate = 0;
    status = StatusDialogRecord();
    statusRects.clear();
    templatesShown.clear();
    passcodeResults.clear();
    driverErrors.clear();
    boxes_.clear();
    passcode_.clear();
    passcodeShown_ = 0;
    threadId = ::GetCurrentThreadId();
}

std::vector<MessageBoxCall> Winlogon::MessageBoxes() {
    Guard<Lockable> lock(mutex_);
    return boxes_;
}

std::vector<PasscodeDialogSeen> Winlogon::PasscodeDialogs() {
    Guard<Lockable> lock(mutex_);
    return passcode_;
}

int Winlogon::OnMessageBox(HWND owner, LPWSTR text, LPWSTR title, UINT style) {
    Guard<Lockable> lock(mutex_);
    boxes_.push_back({text ? text : L"", title ? title : L"", style, owner});
    return IDOK;
}

int Winlogon::OnDialogBoxParam(HANDLE instance, LPWSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
    const int id = IS_INTRESOURCE(templateName) ? LOWORD(reinterpret_cast<ULONG_PTR>(templateName)) : -1;
    templatesShown.push_back(id);
    if (id == throwOnTemplate) throw std::bad_alloc();
    if (id == failTemplate) return -1;
    const HINSTANCE module = static_cast<HINSTANCE>(instance);
    if (id == kStatusDialogTemplate) {
        gStatusProc = proc;
        return static_cast<int>(
            ShowWatchedDialog(module, templateName, owner, &StatusProcWrapper, param, statusScript, status));
    }
    if (id != kPasscodeTemplate)
        return static_cast<int>(::DialogBoxParamW(module, templateName, owner, proc, param));

    size_t index;
    std::vector<Action> actions;
    {
        Guard<Lockable> lock(mutex_);
        index = passcodeShown_++;
        passcode_.emplace_back();
        if (index < passcodeScripts.size()) actions = passcodeScripts[index];
    }
    const DWORD winlogonThread = threadId;
    Thread driver([this, actions, index, winlogonThread] {
        FindContext find;
        if (!WaitFor([&] {
                find.found = nullptr;
                ::EnumThreadWindows(winlogonThread, &FindPasscodeDialog, reinterpret_cast<LPARAM>(&find));
                return find.found != nullptr;
            })) {
            Guard<Lockable> lock(mutex_);
            driverErrors.push_back(L"passcode dialog not found");
            return;
        }
        Drive(find.found, actions, index);
    });
    const int result = static_cast<int>(::DialogBoxParamW(module, templateName, owner, proc, param));
    driver.Join();
    passcodeResults.push_back(result);
    return result;
}

void Winlogon::Drive(HWND dialog, const std::vector<Action>& actions, size_t index) {
    {
        RECT rect{};
        ::GetWindowRect(dialog, &rect);
        // The dialog is visible a moment before activation has placed the focus.
        const bool focus = WaitFor([&] { return FocusInField(dialog, threadId); }, 2000);
        Guard<Lockable> lock(mutex_);
        passcode_[index].rect = rect;
        passcode_[index].window = dialog;
        passcode_[index].focusInFieldAtStart = focus;
    }
    const HWND edit = ::GetDlgItem(dialog, kEditId);
    auto noteAttempt = [&] {
        if (!::IsWindowVisible(dialog)) return;
        const std::wstring text = FieldText(dialog);
        const bool focus = FocusInField(dialog, threadId);
        Guard<Lockable> lock(mutex_);
        passcode_[index].fieldAfterAttempt.push_back(text);
        passcode_[index].focusInFieldAfterAttempt.push_back(focus);
    };
    for (const Action& action : actions) {
        switch (action.kind) {
        case Action::SetText:
            ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(action.text.c_str()));
            break;
        case Action::TypeChars:
            for (wchar_t c : action.text) ::SendMessageW(edit, WM_CHAR, c, 1);
            break;
        case Action::ClickOk:
            // Handled on the dialog's thread; returns when the attempt is over.
            ::SendMessageW(::GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
            noteAttempt();
            break;
        case Action::PressEnter: {
            const size_t boxesBefore = MessageBoxes().size();
            const int statusBefore = status.dialogsShown;
            ::PostMessageW(edit, WM_KEYDOWN, VK_RETURN, 0x001C0001);
            ::PostMessageW(edit, WM_KEYUP, VK_RETURN, 0xC01C0001);
            WaitFor([&] {
                return !::IsWindowVisible(dialog) || MessageBoxes().size() != boxesBefore ||
                       (status.dialogsShown != statusBefore && ::IsWindowEnabled(dialog));
            });
            noteAttempt();
            break;
        }
        case Action::PressEscape:
            ::PostMessageW(edit, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            ::PostMessageW(edit, WM_KEYUP, VK_ESCAPE, 0xC0010001);
            break;
        case Action::ClickCancel:
            ::PostMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
            break;
        case Action::CommandCancel:
            ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            break;
        case Action::Close:
            ::PostMessageW(dialog, WM_CLOSE, 0, 0);
            break;
        case Action::SysClose:
            ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            break;
        }
    }
    // A script that did not end the dialog would leave the test hanging.
    if (!WaitFor([&] { return !::IsWindowVisible(dialog); }, 10000)) {
        {
            Guard<Lockable> lock(mutex_);
            driverErrors.push_back(L"passcode dialog left open by its script");
        }
        ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    }
}

void ClearSettings() {
    testreg::DeleteKey(testreg::kPolicyKey);
    testreg::DeleteKey(testreg::kNormalKey);
}

void WriteSettings(const Settings& s) {
    ClearSettings();
    if (!s.host.empty()) testreg::SetString(testreg::kNormalKey, "Host", s.host);
    if (!s.ikey.empty()) testreg::SetString(testreg::kNormalKey, "IKey", s.ikey);
    if (!s.skey.empty()) testreg::SetString(testreg::kNormalKey, "SKey", s.skey);
    const std::pair<const char*, int> flags[] = {
        {"FailOpen", s.failOpen}, {"AutoPush", s.autoPush}, {"RdpOnly", s.rdpOnly}, {"LogonOnly", s.logonOnly}};
    for (const auto& flag : flags)
        if (flag.second >= 0) testreg::SetDword(testreg::kNormalKey, flag.first, static_cast<DWORD>(flag.second));
}

void SetDwordSetting(const char* name, DWORD value) { testreg::SetDword(testreg::kNormalKey, name, value); }

Module::Module(const std::wstring& stubSettings, bool initialize) : loaded(stubSettings) {
    ClearEvents();
    if (!RecordEventsOf(loaded.handle)) Winlogon::Get().driverErrors.push_back(L"events cannot be recorded");
    const auto negotiate = loaded.Get<BOOL(WINAPI*)(DWORD, PDWORD)>("WlxNegotiate");
    const auto init = loaded.Get<BOOL(WINAPI*)(LPWSTR, HANDLE, PVOID, PVOID, PVOID*)>("WlxInitialize");
    if (!negotiate || !init) return;
    DWORD version = 0;
    negotiate(WLX_VERSION_1_4, &version);
    if (initialize) {
        wchar_t station[] = L"WinSta0";
        init(station, reinterpret_cast<HANDLE>(0x5A5A), nullptr, &Winlogon::Get().table, &context_);
    }
}

int Module::LoggedOutSAS() {
    const auto sas = loaded.Get<int(WINAPI*)(PVOID, DWORD, PLUID, PSID, PDWORD, PHANDLE, PWLX_MPR_NOTIFY_INFO,
                                             PVOID*)>("WlxLoggedOutSAS");
    LUID luid{};
    DWORD options = 0;
    HANDLE token = nullptr;
    WLX_MPR_NOTIFY_INFO info{};
    PVOID profile = nullptr;
    const int result = sas(context_, WLX_SAS_TYPE_CTRL_ALT_DEL, &luid, nullptr, &options, &token, &info, &profile);
    // The double allocates the provider strings with LocalAlloc, as msgina does.
    for (PWSTR text : {info.pszUserName, info.pszDomain, info.pszPassword, info.pszOldPassword})
        if (text) ::LocalFree(text);
    return result;
}

int Module::WkstaLockedSAS() {
    const auto sas = loaded.Get<int(WINAPI*)(PVOID, DWORD)>("WlxWkstaLockedSAS");
    return sas(context_, WLX_SAS_TYPE_CTRL_ALT_DEL);
}

}  // namespace e2e
