#include "ui/dialog_host.h"

#include <memory>

HINSTANCE gModuleInstance = nullptr;
HANDLE gWlxHandle = nullptr;
PWLX_DISPATCH_VERSION_1_0 gWinlogonFunctions = nullptr;
bool gCenterStatusDialog = true;

namespace {

// The plain target: the module's own template through DialogBoxParamW. Used
// before WlxInitialize, e.g. when a host program loads the module for a trial.
INT_PTR PlainDialogTarget(uint32_t templateId, HWND owner, DLGPROC proc, LPVOID param) {
    return ::DialogBoxParamW(gModuleInstance, MAKEINTRESOURCEW(templateId), owner, proc,
                             reinterpret_cast<LPARAM>(param));
}

// Winlogon's dialog service returns an int; a negative result stays negative.
INT_PTR WinlogonDialogTarget(uint32_t templateId, HWND owner, DLGPROC proc, LPVOID param) {
    const int result = gWinlogonFunctions->WlxDialogBoxParam(gWlxHandle, gModuleInstance,
                                                             MAKEINTRESOURCEW(templateId), owner, proc,
                                                             reinterpret_cast<LPARAM>(param));
    return static_cast<INT_PTR>(result);
}

}  // namespace

// Created on first use (or by WlxInitialize), so it is destroyed before the
// objects built during static initialisation.
DialogBoxHook& gDialogBoxHook() {
    static DialogBoxHook hook = PlainDialogTarget;
    return hook;
}

INT_PTR ShowDialogThroughHook(uint32_t templateId, HWND owner, DLGPROC proc, LPVOID param) {
    return gDialogBoxHook()(templateId, owner, proc, param);
}

void InstallWinlogonDialogTarget() { gDialogBoxHook() = WinlogonDialogTarget; }
