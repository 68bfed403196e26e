#pragma once
// The dialog host: where the module's dialogs come from and through whom they
// are shown. The exports fill it in (DllMain the instance, WlxInitialize
// Winlogon's handle and dispatch table); the dialogs and the flows that raise
// them only read it. All of it is written on Winlogon's thread before any
// worker thread runs.

#include <windows.h>
#include <winwlx.h>

#include <cstdint>
#include <functional>

// This module's own instance handle; saved at the start of every DllMain call.
extern HINSTANCE gModuleInstance;
// Winlogon's handle for this module (second argument of WlxInitialize); null before.
extern HANDLE gWlxHandle;
// Winlogon's dispatch table (fourth argument of WlxInitialize); null before.
// Only WlxMessageBox and WlxDialogBoxParam are used, which sit at the same
// place in every version of the table.
extern PWLX_DISPATCH_VERSION_1_0 gWinlogonFunctions;
// True at load; WlxInitialize clears it; pre-authentication raises it around an
// automatic push. The status dialog centres itself on the screen when it is set.
extern bool gCenterStatusDialog;

// Shows a modal dialog: template id, owner, dialog procedure, parameter.
using DialogBoxHook = std::function<INT_PTR(uint32_t templateId, HWND owner, DLGPROC proc, LPVOID param)>;

// Every modal dialog of the module goes through this hook: DialogBoxParamW
// with gModuleInstance at load, Winlogon's WlxDialogBoxParam after WlxInitialize.
DialogBoxHook& gDialogBoxHook();
INT_PTR ShowDialogThroughHook(uint32_t templateId, HWND owner, DLGPROC proc, LPVOID param);
// Installs the Winlogon target (called by WlxInitialize; destroys the previous target).
void InstallWinlogonDialogTarget();
