#pragma once
// The way in when the service cannot be reached and the machine fails closed:
// the recovery-code dialog, on Winlogon's thread, over `owner` (null at the
// gate, the passcode dialog after a failed Auth).

#include <windows.h>

#include "diag/errors.h"

// True when `failure` is an outage (see CVynException::Outage) and at least one
// recovery code is stored; reads the store (a malformed one is reported).
bool RecoveryOffered(const CVynException& failure);

// Shows the dialog for the current user: true when a code let them through
// (the code is gone from the store by then), false for every other ending.
bool PromptForRecoveryCode(HWND owner);
