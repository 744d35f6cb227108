// The module's own version, compiled on its own so that a test build can make an otherwise
// identical module that reports a later version (the update tests install it).
#include "host/startup.h"

#ifndef QZ_VERSION_MINOR_BUILD
#define QZ_VERSION_MINOR_BUILD QZ_VERSION_MINOR
#endif

int qzBuildMinor() { return QZ_VERSION_MINOR_BUILD; }
