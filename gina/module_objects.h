#pragma once
// The module's process-wide objects built during static initialisation, in
// this order: msgina's entry table, the client session, the current user name.
// They are destroyed in reverse order after DllMain's detach work.

#include "auth/session.h"
#include "gina/msgina.h"

#include <string>

extern MsginaEntries gMsgina;
extern CVynAuthSession gSession;
// UTF-8 account name ("DOMAIN\user" or "user") of the last logon msgina
// accepted; the gate hands it to the client and the passcode dialog.
extern std::string gCurrentUsername;
