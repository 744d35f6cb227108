// The fleet ban files, the cache table and the masters, as the rest of the fleet code uses them
// (remote/fleet_files.cpp, remote/fleet_masters.cpp).
#pragma once

#include "remote/fleet.h"
#include "util/text.h"

struct stQzSv;

// ---- files (fleet_files.cpp) ----

// Reads both files, writes them back compacted (synced, the folder too) and opens them for
// appending. The queue's header takes a new random epoch for the reports of this run.
void fleetFilesLoad(stQzSv* sv);
void fleetFilesClose(stQzSv* sv);
// Appends the report's line to qzfleetq.dat (one write); false when it did not go in whole.
bool fleetQueueAppend(stQzSv* sv, const stFleetReport& r);
// Appends "- <epoch>:<id>": the report's answer came.
bool fleetQueueDone(stQzSv* sv, const stFleetReport& r);
// Appends a formatted line (ended by the caller's "\n") to qzfleet.dat.
bool fleetCacheAppend(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);
// Appends a refused report to qzfleetrefused.log (the administrator's record of reports the
// service would not take): time, report id, the service's reason and the report's body. The file
// is kept below 1 MiB (the older half goes to qzfleetrefused.log.old). False when not written.
bool fleetRefusedAppend(stQzSv* sv, const stFleetReport& r, const char* reason);

// ---- the cache table (fleet_files.cpp) ----

// The entry of (guid, fleetId), or null.
stFleetBan* fleetCacheGet(stFleet* f, const char* guid, uint64_t fleetId);
// The first entry of the GUID made by server (any entry when server is null), or null.
stFleetBan* fleetCacheOf(stFleet* f, const char* guid, const char* server);
// Enters a ban (allocating the table on first use), replacing the entry of the same GUID and
// fleet id; false when the cache is full (cacheOverflow is then set).
bool fleetCachePut(stFleet* f, const stFleetBan& ban);
// Removes the ban of that id (and GUID, when not null). True when one was removed.
bool fleetCacheLift(stFleet* f, uint64_t fleetId, const char* guid);

// ---- the masters (fleet_masters.cpp) ----

// Reads a qz_sv_FleetService value: 1..QZF_MASTERS_MAX "host:port" joined by ',' (no blanks;
// host of letters, digits, '.', '-', '_'; port 1..65535; no address twice). Fills out (may be
// null) and returns the count, or 0 with a reason in why.
int fleetServiceParse(const char* text, stFleetMaster* out, char* why, int whySize);
// Starts resolving every master of the value (the value was checked by fleetServiceParse).
void fleetMastersOpen(stQzSv* sv, const char* service);
void fleetMastersClose(stQzSv* sv);
// Follows the resolvers, connects the sockets of resolved masters, and moves to the next master
// when the current one has been silent for QZF_FAILOVER_MS after a request (or refused the port).
// Returns true when it moved: the caller asks the new master at once what it was waiting for.
bool fleetMastersPoll(stQzSv* sv);
// Moves to the next master now (the current one answers, but not what matters: a report).
void fleetMastersMoveOn(stQzSv* sv, const char* why);
// True when the current master (or, failing it, another) is resolved and connected.
bool fleetMastersReady(stQzSv* sv);
// Seals and sends a body to the current master; request: an answer is expected (its silence
// counts towards a failover). False when it could not go now.
bool fleetSendBody(stQzSv* sv, const char* body, int n, bool request);
// Reads up to QZF_RECV_PER_FRAME datagrams of each master's socket and hands each to fn with the
// index of the master it came from. A receive error (the port refused) counts as its silence.
void fleetMastersRead(stQzSv* sv, void (*fn)(stQzSv* sv, int master, const char* data, int n));
// The replay window of a master (found or taken by its key), never null.
FleetWindow* fleetWindowOf(stFleet* f, uint64_t key);
