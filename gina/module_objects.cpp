// One translation unit on purpose: the order of definition here is the order of
// construction at load and the reverse of destruction at unload (the user name,
// then the session with its Winsock and WinHTTP state, and msgina last).
#include <winsock2.h>

#include "gina/module_objects.h"

#include <string>


MsginaEntries gMsgina;
// Loading runs while the module's globals are built, before DllMain's attach
// work: nothing is logged.
static const bool gMsginaLoaded = (LoadMsgina(gMsgina), true);
CVynAuthSession gSession(kVynProductToken);
std::string gCurrentUsername;
