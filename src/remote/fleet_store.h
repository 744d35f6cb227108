// The fleet ban files and the cache table, as the rest of the fleet code uses them
// (remote/fleet_files.cpp).
#pragma once

#include "remote/fleet.h"
#include "util/text.h"

struct stQzSv;

// Reads both files, writes them back compacted and opens them for appending.
void fleetFilesLoad(stQzSv* sv);
void fleetFilesClose(stQzSv* sv);
// Appends the report's line to qzfleetq.dat (one write); false when it did not go in whole.
bool fleetQueueAppend(stQzSv* sv, const stFleetReport& r);
// Appends "- <id>": the report's answer came.
bool fleetQueueDone(stQzSv* sv, uint32_t id);
// Appends a formatted line (ended by the caller's "\n") to qzfleet.dat.
bool fleetCacheAppend(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);
// The slot of a GUID (its entry, or the free slot it would take), null without a table.
stFleetBan* fleetCacheSlot(stFleet* f, const char* guid);
// Enters a ban (allocating the table on first use); false when the cache is full.
bool fleetCachePut(stFleet* f, const stFleetBan& ban);
// Removes the ban of a GUID (with fleetId 0: whatever its id), or, with a null GUID, the ban of
// that id. True when one was removed.
bool fleetCacheLift(stFleet* f, uint64_t fleetId, const char* guid);
