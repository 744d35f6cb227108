// Non-blocking host name resolution. A lookup is started once and polled from later frame
// calls; the frame never waits for the resolver. Dotted addresses resolve at once without a
// lookup. Built on glibc's getaddrinfo_a, whose helper runs outside the module's thread and
// writes only into the request record kept here.
#pragma once

#include <netdb.h>
#include <netinet/in.h>

enum QzResolveState {
    QZ_RES_IDLE = 0,     // nothing asked
    QZ_RES_PENDING = 1,  // a lookup is running
    QZ_RES_DONE = 2,     // address holds the answer
    QZ_RES_FAILED = 3,   // the name does not resolve
};

struct stQzResolve {
    int state;
    char name[256];
    sockaddr_in address;  // port left 0; the caller sets it
    // The running lookup. Its memory must stay put until the lookup ends: resolveCancel waits
    // for that, so a record is never freed or reused under the resolver's feet.
    gaicb request;
    gaicb* list[1];
    addrinfo hints;
};

// Starts resolving name (cut to 255 characters). Returns the new state: DONE at once for a
// dotted address, FAILED for an empty name or when the lookup cannot start, else PENDING. A
// record whose lookup is still running is left as it is (PENDING).
int resolveStart(stQzResolve* r, const char* name);
// Looks whether a pending lookup has finished; returns the state. Costs no system call while
// the state is not PENDING.
int resolvePoll(stQzResolve* r);
// Ends a pending lookup: cancels it, or when it is already running waits for it (at most
// waitMs milliseconds; meant for shut-down only). Leaves the record IDLE unless the lookup
// could not be stopped in time, which returns false.
bool resolveCancel(stQzResolve* r, int waitMs);
