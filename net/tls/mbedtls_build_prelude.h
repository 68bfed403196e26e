/* Read first by every file of the TLS library's own build (scripts/setup.sh),
 * never by the module's sources. MinGW's stdlib.h defines _TRUNCATE, which
 * makes the library's Windows vsnprintf wrapper call vsnprintf_s: msvcrt.dll
 * of XP x64 / Server 2003 x64 has no such function, and the module would not
 * load. Without it the wrapper uses vsnprintf and terminates the text itself. */
#include <stdlib.h>
#undef _TRUNCATE
