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
constexpr int QZF_LOOKUP_RETRY_MS = 2000;       // first wait for a lookup's answer; it doubles
constexpr int QZF_LOOKUP_RETRY_MAX_MS = 30000;  // ... up to this, for as long as he plays
constexpr int QZF_FAILOVER_MS = 3000;           // a master silent this long after a request is left
constexpr int QZF_MASTERS_MAX = 4;              // addresses qz_sv_FleetService takes
constexpr int QZF_WINDOWS_MAX = 8;              // replay windows qzfleet.dat keeps (one per master)
constexpr int QZF_RECV_PER_FRAME = 32;          // datagrams read per master and frame
constexpr int QZF_KEY_RETRY_MS = 60000;         // a missing or open qzfleet.key is looked at again
constexpr int QZF_LINE_MAX = 1600;              // longest line of the two files
constexpr int QZF_REPORT_BODY_MAX = 511;        // a report body (the longest is about 300 bytes)

// A report (ban or unban) waiting for the service's answer. Its id is (epoch, id): the epoch is
// drawn at random at every start, so no lost, restored or cloned qzfleetq.dat reuses one.
struct stFleetReport {
    uint32_t id;  // 0: free
    uint64_t epoch;
    char kind;  // QZF_REPORT or QZF_UNBAN
    char guid[QZF_GUID_MAX + 1];
    char body[QZF_REPORT_BODY_MAX + 1];
    int bodyLen;
    unsigned nextTick;  // qzMonoTick() of the next send
    int waitMs;         // back-off before the send after next
    int sends;
    unsigned order;      // reports go in the order they were made (file order after a restart)
    unsigned askedTick;  // first send to the master asked now (0: not sent to it yet)
};

// A fleet ban known to this server. The cache may hold several of one GUID (made by different
// servers): each is lifted on its own.
struct stFleetBan {
    uint64_t fleetId;  // 0: free slot
    uint64_t banTime;  // unix seconds
    uint64_t length;   // minutes, 0 permanent
    char guid[QZF_GUID_MAX + 1];
    char server[QZF_ID_MAX + 1];  // "-" while unknown (learnt from a lookup's answer)
};

// A GUID lookup for a connected player: asked until an answer comes or he leaves, the wait
// doubling from QZF_LOOKUP_RETRY_MS to QZF_LOOKUP_RETRY_MAX_MS.
struct stFleetLookup {
    uint32_t id;  // 0: none
    unsigned long seq;
    unsigned sentTick;
    int waitMs;  // before the next send
    int tries;
};

// The replay window kept for one master, by the hash of its "host:port" text.
struct stFleetWindowRec {
    uint64_t key;  // 0: free
    FleetWindow window;
};

// One address of qz_sv_FleetService. Its socket is connected to the master's address, so the
// kernel hands the module only that address's datagrams: a stranger's flood never hides an answer.
struct stFleetMaster {
    char name[128];  // "host:port" as given
    char host[128];
    int port;
    uint64_t key;  // hash of name: its replay window in qzfleet.dat
    stQzResolve resolve;
    unsigned resolveRetryTick;
    stQzUdp udp;  // fd -1 until resolved and connected
    int waiting;  // a request went to it and nothing came back since waitSince
    unsigned waitSince;
    unsigned long accepted;
};

// The longest qz_sv_FleetService value: up to QZF_MASTERS_MAX "host:port" joined by ','.
constexpr int QZF_SERVICE_MAX = 255;

struct stFleet {
    // Settings (unlisted): the service's "host:port[,host:port...]", this server's id in the
    // fleet, the scope of a ban that asks for none (0 this server only, 1 fleet-wide), the scope
    // of vote bans.
    char service[QZF_SERVICE_MAX + 1];
    char serverId[QZF_ID_MAX + 1];
    int banDefault;
    int voteBan;

    int started;  // fleetStartup ran: the files are open (a memset record has fds of 0)
    // What is running: the settings it was started for, the key, the masters.
    int active;
    int configured;  // configure ran at least once (the key has been looked at)
    char activeService[QZF_SERVICE_MAX + 1];
    char activeServerId[QZF_ID_MAX + 1];
    int keyOk;
    int keyWarned;  // the key problem was reported once
    int keyRetry;   // the key was not usable: looked at again at keyRetryTick
    unsigned keyRetryTick;
    unsigned char key[QZF_KEY_BYTES];
    stFleetMaster masters[QZF_MASTERS_MAX];
    int masterCount;
    int current;  // the master asked now: the one that last answered
    unsigned failovers;
    // The hello: its id, when it went, when the next one goes and the wait that doubles while
    // pages come back incomplete or not at all. A page's messages carry the hello's id; their
    // change numbers are counted (once each) against the count its end says it sent.
    uint32_t helloId;
    int helloSent;  // a hello went out since the exchange started
    int helloOpen;  // its page end has not come yet
    unsigned helloTick, helloDue;
    int helloWaitMs;
    uint64_t pageChanges[64];
    uint32_t pageStarts[64];  // the master start (counter >> 32) each message came from
    int pageGot;
    FleetBody pageEnd;  // a page end that came before all its messages: weighed when they come
    uint32_t pageEndStart;
    int pageEndWaiting;
    int syncedOnce;  // a page said DONE since the start: the cache knows the whole fleet
    unsigned long pages;
    // Fleet bans lifted lately, with the change that lifted them: a push of an older change that
    // arrives after the lift (reordered, or replayed to another master's socket) does not bring
    // the ban back.
    uint64_t liftedId[64], liftedChange[64];
    int liftedNext;
    uint64_t sendCounter;
    uint64_t counterReserved;  // highest counter qzfleet.dat allows after a restart
    stFleetWindowRec windows[QZF_WINDOWS_MAX];  // the masters' packets (direction M)
    uint64_t reportEpoch;  // random, new at every start: report ids are (epoch, counter)
    uint32_t nextReportId;
    unsigned nextOrder;
    uint32_t nextRequestId;
    unsigned long refused[QZF_REFUSALS];  // refusals per reason (index 0: packets accepted)
    unsigned long sent, resent, pushes, answers, reportsRefused;

    // Scope of the ban being made (-1: the default), and its origin token.
    int scope;
    char origin[QZF_ORIGIN_MAX + 1];

    stFleetReport queue[QZF_QUEUE_MAX];
    int queued;
    int queueFd;            // qzfleetq.dat, open for appending; -1 closed
    int cacheFd;            // qzfleet.dat, open for appending; -1 closed
    uint64_t syncId;        // the last change of the fleet applied here (the hello's sync point)
    uint32_t refusedLines;  // lines of qzfleetrefused.log written since the start
    stFleetBan* cache;      // QZF_CACHE_SLOTS slots, allocated when fleet bans start
    int cached;
    int cacheOverflow;  // a ban did not fit: the cache no longer knows every fleet ban
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
// A GUID ban entry (banSlot, or 0 for qz_sv_UnbanGuid) was unbanned on this server. Scope local
// (the default): this server's own fleet ban of the GUID is lifted, when it made one (or may have:
// a report still queued, or a cache that cannot tell); another server's ban stays, and a line says
// how to lift it. Scope fleet (qz_sv_FleetScope fleet ...): every fleet ban of the GUID is lifted.
// A kick entry with minutes lifts nothing. Lines say what was reported after the command's own.
void fleetUnbanned(stQzSv* sv, const char* guid, int banSlot);

// The connection check: a GUID the cache holds as fleet-banned is refused (dialog and drop).
// Returns false after refusing him.
bool fleetAdmit(stQzSv* sv, int slot, const Qz_Sv_Client_s* c);
// A player was admitted: his GUID is asked of the service.
void fleetConnect(stQzSv* sv, int slot);

// The cache's ban of a GUID in force at unix time now, or null.
const stFleetBan* fleetCacheFind(const stQzSv* sv, const char* guid, uint64_t now);

// File forms, shared with the fuzz targets. Each parser takes one line (no line end), bounded.
// Queue file line: "+ <body>" a report, "- <epoch hex>:<id hex>" its answer came; first line
// "QZFLEETQ 2 <epoch hex> <next-id hex>" (version 1: "QZFLEETQ 1 <next-id hex>"). Returns the
// kind ('+', '-', 'H' header) or 0 for a line to skip.
int fleetQueueLine(const char* line, int n, FleetBody* body, uint64_t* epoch, uint32_t* id);
// Cache file line: "P <fleet-id> <guid> <ban-time> <length> <server>", "R <fleet-id> [<guid>]"
// (guid in ban->guid, empty when absent), "S <change>", "W <highest> <seen hex> <key hex>",
// "C <counter>", first line "QZFLEETC 2" (returns 'H', version in *a). Returns the kind letter
// or 0 to skip; fills ban / numbers.
int fleetCacheLine(const char* line, int n, stFleetBan* ban, uint64_t* a, uint64_t* b, uint64_t* c);
