// Fleet bans: bans shared by the servers of one community through their ban service. A GUID ban
// made fleet-wide is written to the report queue (qzfleetq.dat) before the command answers and
// sent until the service acknowledges it; connecting players are admitted at once and their GUID
// asked of the service; fleet bans the service announces are kept in qzfleet.dat, so a restart
// with the service away still refuses them. Every packet is sealed with the server's secret
// (qzfleet.key) and checked against replay. Settings, files and packets: docs/fleet.md.
#pragma once

#include <cstdint>

#include "remote/fleet_wire.h"
#include "remote/resolve.h"
#include "remote/udp.h"

constexpr int QZF_QUEUE_MAX = 256;      // reports waiting for their answer
constexpr int QZF_CACHE_SLOTS = 16384;  // hash slots of the fleet ban cache (a power of two)
constexpr int QZF_CACHE_MAX = 12288;    // fleet bans the cache keeps
constexpr int QZF_HELLO_MS = 30000;     // hello/sync period
constexpr int QZF_RETRY_FIRST_MS = 1000;
constexpr int QZF_RETRY_MAX_MS = 60000;
constexpr int QZF_LOOKUP_RETRY_MS = 2000;  // a lookup unanswered this long is sent again
constexpr int QZF_LOOKUP_TRIES = 3;
constexpr int QZF_RECV_PER_FRAME = 32;
constexpr int QZF_KEY_RETRY_MS = 60000;   // a missing or open qzfleet.key is looked at again
constexpr int QZF_LINE_MAX = 1600;        // longest line of the two files
constexpr int QZF_REPORT_BODY_MAX = 511;  // a report body (the longest is about 300 bytes)

// A report (ban or unban) waiting for the service's answer.
struct stFleetReport {
    uint32_t id;  // 0: free
    char kind;    // QZF_REPORT or QZF_UNBAN
    char guid[QZF_GUID_MAX + 1];
    char body[QZF_REPORT_BODY_MAX + 1];
    int bodyLen;
    unsigned nextTick;  // qzMonoTick() of the next send
    int waitMs;         // back-off before the send after next
    int sends;
};

// A fleet ban known to this server.
struct stFleetBan {
    uint64_t fleetId;  // 0: free slot
    uint64_t banTime;  // unix seconds
    uint64_t length;   // minutes, 0 permanent
    char guid[QZF_GUID_MAX + 1];
    char server[QZF_ID_MAX + 1];
};

// A GUID lookup for a connected player.
struct stFleetLookup {
    uint32_t id;  // 0: none
    unsigned long seq;
    unsigned sentTick;
    int tries;
};

struct stFleet {
    // Settings (unlisted): "host:port" of the service, this server's id in the fleet, the scope of
    // a ban that asks for none (0 this server only, 1 fleet-wide), the scope of vote bans.
    char service[128];
    char serverId[QZF_ID_MAX + 1];
    int banDefault;
    int voteBan;

    int started;  // fleetStartup ran: the files are open (a memset record has fds of 0)
    // What is running: the settings it was started for, the key, the socket, the service address.
    int active;
    char activeService[128];
    char activeServerId[QZF_ID_MAX + 1];
    int keyOk;
    int keyWarned;  // the key problem was reported once
    int keyRetry;   // the key was not usable: looked at again at keyRetryTick
    unsigned keyRetryTick;
    unsigned char key[QZF_KEY_BYTES];
    stQzUdp udp;
    stQzResolve resolve;
    int port;
    unsigned resolveRetryTick;
    unsigned helloTick;
    int helloSent;
    uint64_t sendCounter;
    uint64_t counterReserved;  // highest counter qzfleet.dat allows after a restart
    FleetWindow window;        // the service's packets (direction M)
    uint32_t nextReportId;
    uint32_t nextRequestId;
    unsigned long refused[QZF_REFUSALS];  // refusals per reason (index 0: packets accepted)
    unsigned long sent, resent, pushes, answers;

    // Scope of the ban being made (-1: the default), and its origin token.
    int scope;
    char origin[QZF_ORIGIN_MAX + 1];

    stFleetReport queue[QZF_QUEUE_MAX];
    int queued;
    int queueFd;        // qzfleetq.dat, open for appending; -1 closed
    int cacheFd;        // qzfleet.dat, open for appending; -1 closed
    uint64_t syncId;    // highest fleet ban id known
    stFleetBan* cache;  // QZF_CACHE_SLOTS slots, allocated when fleet bans start
    int cached;
    stFleetLookup lookups[64];
};

struct stQzSv;
struct Qz_Sv_Client_s;

// Reads qzfleetq.dat and qzfleet.dat at start-up (the cache refuses known fleet bans even while
// fleet bans are not configured or the service is away), then writes them back compacted.
void fleetStartup(stQzSv* sv);
void fleetShutdown(stQzSv* sv);
// Resolves, sends hellos, due reports and lookups, reads answers. Never waits.
void fleetFrame(stQzSv* sv);

// Before a ban command acts: who asks (a QzSource, or QZF_SRC_VOTE) for the origin token.
constexpr int QZF_SRC_VOTE = 100;
void fleetBanOrigin(stQzSv* sv, int source);
// A GUID ban entry was added (banSlot): when its scope is fleet-wide the report is queued and
// written to qzfleetq.dat before this returns, and a line says so. vote: a ban by power vote
// (scope qz_sv_FleetVoteBan unless overridden).
void fleetBanAdded(stQzSv* sv, int banSlot, const char* guid, const char* name, const char* address,
                   bool vote = false);
// A GUID was unbanned on this server: a fleet ban of it is lifted fleet-wide (reported, and a
// line says so after the command's own message).
void fleetUnbanned(stQzSv* sv, const char* guid, int banSlot);

// The connection check: a GUID the cache holds as fleet-banned is refused (dialog and drop).
// Returns false after refusing him.
bool fleetAdmit(stQzSv* sv, int slot, const Qz_Sv_Client_s* c);
// A player was admitted: his GUID is asked of the service.
void fleetConnect(stQzSv* sv, int slot);

// The cache's ban of a GUID in force at unix time now, or null.
const stFleetBan* fleetCacheFind(const stQzSv* sv, const char* guid, uint64_t now);

// File forms, shared with the fuzz targets. Each parser takes one line (no line end), bounded.
// Queue file line: "+ <body>" a report, "- <hex id>" its answer came; first line "QZFLEETQ 1
// <next-id hex>". Returns the kind ('+', '-', 'H' header) or 0 for a line to skip.
int fleetQueueLine(const char* line, int n, FleetBody* body, uint32_t* id);
// Cache file line: "P <fleet-id> <guid> <ban-time> <length> <server>", "R <fleet-id>",
// "S <sync-id>", "W <highest> <seen hex>", "C <counter>", first line "QZFLEETC 1". Returns the
// kind letter ('H' header) or 0 to skip; fills ban / numbers.
int fleetCacheLine(const char* line, int n, stFleetBan* ban, uint64_t* a, uint64_t* b);
