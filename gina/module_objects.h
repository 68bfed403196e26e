#pragma once
// The module's process-wide objects built during static initialisation, in
// this order: msgina's entry table, the client session, the current user name.
// They are destroyed in reverse order after DllMain's detach work.

#include "auth/session.h"
#include "gina/msgina.h"

extern MsginaEntries gMsgina;
extern CVynAuthSession gSession;
