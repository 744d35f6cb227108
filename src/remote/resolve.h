// Non-blocking host name resolution. A lookup is started once and polled from later frame
// calls; the frame never waits for the resolver. Dotted addresses resolve at once without a
// lookup. Built on glibc's getaddrinfo_a, whose helper thread writes into the request it was
// given until the lookup ends: that request lives in a block of its own (stQzLookup), never in
// the caller's record, so a record can be dropped, reused or freed with a lookup still running.
#pragma once

#include <netdb.h>
#include <netinet/in.h>

enum QzResolveState {
    QZ_RES_IDLE = 0,     // nothing asked
    QZ_RES_PENDING = 1,  // a lookup is running
    QZ_RES_DONE = 2,     // address holds the answer
    QZ_RES_FAILED = 3,   // the name does not resolve
};

struct stQzLookup;

struct stQzResolve {
    int state;
    char name[256];
    sockaddr_in address;  // port left 0; the caller sets it
    stQzLookup* job;      // the running lookup while PENDING, else null
};

// Starts resolving name (cut to 255 characters). Returns the new state: DONE at once for a
// dotted address, FAILED for an empty name or when the lookup cannot start, else PENDING. A
// record whose lookup is still running is left as it is (PENDING).
int resolveStart(stQzResolve* r, const char* name);
// Looks whether a pending lookup has finished; returns the state. Costs no system call while
// the state is not PENDING.
int resolvePoll(stQzResolve* r);
// Ends a pending lookup without waiting: a lookup still queued is cancelled, one the resolver is
// already working on is handed over to the abandoned lookups, whose blocks are freed once the
// resolver has let go of them. The record is IDLE afterwards and may be freed at once.
void resolveCancel(stQzResolve* r);
// Frees the blocks of abandoned lookups that have ended; returns how many are still running.
// Called by resolveStart and resolveCancel; costs nothing when none was abandoned.
int resolveReapAbandoned();
