#pragma once
// Resource ids shared by the resource script and the code. Plain #defines:
// the resource compiler reads this file too.

// Passcode dialog and its icon.
#define IDD_PASSCODE 12325
#define IDI_VYN 102

// Authentication status dialog.
#define IDD_AUTH_STATUS 101
#define IDC_AUTH_PROGRESS 1001
#define IDC_AUTH_STATUS_TEXT 1002

// Recovery-code dialog (edit field, OK, Cancel) and its text.
#define IDD_RECOVERY 12326
#define IDC_RECOVERY_CODE 1001
