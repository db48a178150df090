// The library's version, as the header it was built with states it.
#include "fpmatch.h"

extern "C" FPMATCH_API const char* VersionString(void) { return FPMATCH_VERSION_STRING; }
