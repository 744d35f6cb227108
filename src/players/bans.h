// The kick/ban list: GUID bans, kick entries, "MASK" and "NAME" entries, the indexes that let a
// connection be checked against a million entries in well under a microsecond, and the ban file.
#pragma once

#include <cstddef>
#include <cstdio>

#include "util/pages.h"

struct stQzSv;

enum QzBanKind : unsigned char {
    QZ_BAN_GUID = 0,  // permanent GUID ban (commands or the ban file)
    QZ_BAN_KICK = 1,  // kick entry: in memory only, ends when its minutes are over
    QZ_BAN_MASK = 2,  // address-mask ban
    QZ_BAN_NAME = 3,  // player-name ban
};

// Longest record body ("\"%s\" \"%s\" %s") the list keeps, so that every written record line
// loads back (the loader refuses lines longer than QZ_BAN_LINE_MAX).
constexpr int QZ_BAN_BODY_MAX = 900;
constexpr int QZ_BAN_LINE_MAX = 1024;
// Ban files whose record positions are remembered for the in-place update.
constexpr int QZ_BAN_FILES = 8;

struct stBanEntry {
    // The fields the rejoin check reads.
    char key[40];        // GUID, "MASK" or "NAME"
    int length;          // minutes; 0 or less: permanent
    int unbanned;        // set by qz_sv_UnBan, cleared by qz_sv_ReBan (see banSetUnbanned)
    unsigned issueTick;  // qzMonoTick() when entered: kick lengths never follow the wall clock
    // Bookkeeping.
    unsigned entered;        // list event number of the entry's add or last reban
    unsigned text;           // offset of the record body in the text pool
    unsigned nextSame;       // next entry (index + 1) with the same GUID, 0 none
    long long filePos;       // offset of the record line in its ban file, -1 when not in a file
    unsigned short fileId;   // 1..QZ_BAN_FILES, 0 when not in a file
    unsigned char kind;      // QzBanKind
    unsigned char expired;   // a kick whose time is over (set once seen, see banKickOver)
    unsigned char fileMark;  // the unbanned mark as the ban file holds it
};

// Open-addressing index from a key's hash to the first and last entry of the key.
struct stBanSlot {
    unsigned hash;
    unsigned head;  // id + 1 of the first entry, 0 none
    unsigned tail;  // id + 1 of the last entry
};
struct stBanHash {
    stBanSlot* slots;
    unsigned mask;  // slot count - 1 (a power of two minus one); 0 with no slots
    unsigned used;  // keys filed, in both arrays while the index grows
    // While the index grows: the former slot array, copied into the doubled one a few slots at
    // each new key, so that no single call pays for the whole copy. Keys whose slot has not been
    // copied yet are looked for there (and changed there: the copy takes the slot as it is then).
    stBanSlot* old;
    unsigned oldMask;
    unsigned moved;  // slots of old copied so far
    // Slot arrays come from pagesAlloc (fresh pages, faulted in as keys reach them), and a
    // former array is handed back a slice per new key.
    stPageDrop drop;
};

// A parsed address mask: four octet ranges and a port range.
struct stMaskRule {
    unsigned entry;
    unsigned char lo[4], hi[4];
    unsigned short portLo, portHi;
};
struct stNameRule {
    unsigned entry;
    unsigned next;    // next rule (index + 1) with the same name
    char folded[32];  // the name without colour codes, lower case
};

// A qz_sv_BanList in progress: the entries are looked at a bounded number per call, the rest in
// the following frames, so a listing of a million entries never holds up a frame.
struct stBanListing {
    int active;
    char search[128];  // empty: every entry
    unsigned next;     // index of the next entry to look at
    int shown;         // lines printed so far
};

// A mask index being built a slice per frame call (see banMaskIndexStep), beside the one in use,
// which keeps answering until the new one takes its place.
struct stMaskBuild {
    int phase;      // 0 none, 1 counting the rules' buckets, 2 filing them
    unsigned upto;  // rules [0, upto) go into the new index
    unsigned next;  // next rule of the phase
    unsigned* start;
    unsigned* ids;
    unsigned* wide;
    unsigned* fill;
    unsigned total, wideCount;
};

// Blocks of an emptied or replaced list waiting to be handed back to the system a slice per
// frame call: unmapping the few hundred megabytes of a million entries at once takes tens of
// milliseconds.
constexpr int QZ_BAN_RETIRED_BLOCKS = 16;
struct stBanRetired {
    char* at[QZ_BAN_RETIRED_BLOCKS];
    size_t len[QZ_BAN_RETIRED_BLOCKS];
};

// Ban loads that wait for the one in progress.
constexpr int QZ_BAN_QUEUE = 4;
// A ban file load in progress (banfile.cpp).
struct stBanLoadWork;

struct stBans {
    stBanEntry* entries;
    unsigned count, capacity;
    char* pool;  // record bodies, each terminated
    unsigned poolLen, poolCap;
    stBanHash guids;
    stBanHash names;
    stMaskRule* masks;
    unsigned maskCount, maskCap;
    stNameRule* nameRules;
    unsigned nameCount, nameCap;
    // Mask index over the first maskIndexed masks, built when a ban file has loaded (never in
    // the connection check): masks covering at most 256 combinations of the first two octets are
    // filed under each of them, the others are scanned always. Masks added since are scanned in
    // list order after the index, until QZ_MASK_TAIL_MAX of them make the add rebuild it.
    unsigned maskIndexed;
    unsigned* maskStart;  // 65537 offsets into maskIds
    unsigned* maskIds;    // rule numbers, ascending within a bucket
    unsigned* maskWide;
    unsigned maskWideCount;
    char files[QZ_BAN_FILES][512];  // paths of the ban files entries were read from or written to
    // Numbers the list's events (adds, unbans, rebans), so the rejoin check can tell whether
    // an entry came after an unban. Saturates at INT_MAX.
    unsigned events;
    // While a file loads, GUID entries are filed into the GUID index in one pass at the end.
    int deferLinks;
    unsigned deferFrom;
    // Players choose GUIDs and names: the two indexes file them by SipHash-2-4 under this secret,
    // drawn when the list first hashes a key.
    int keyed;
    unsigned char hashKey[16];
    stMaskBuild maskBuild;
    // Kept by banFree: a listing running when the list is emptied ends with the empty list; a
    // load in progress, ended by whoever empties the list (banLoadStop); blocks being handed back.
    stBanListing listing;
    stBanLoadWork* load;
    stBanRetired retired;
    // Ban files asked for while a load runs, loaded after it in the order asked.
    char loadQueue[QZ_BAN_QUEUE][512];
    int loadQueued;
};

// What the connection checks found.
struct stBanVerdict {
    int rejoin;      // 0 admit, -1 banned, > 0 minutes left of a kick
    int rejoinSlot;  // ban slot number of the deciding entry, 0 none
    int maskSlot;    // ban slot number of the first mask that holds the address, 0 none
    int nameSlot;    // ban slot number of the first name ban of the name, 0 none
};

// Adds an entry; body is the record body. Returns the ban slot number (1..), 0 when the list
// cannot grow or the entry is malformed (a mask that does not parse, an empty name).
int banAdd(stQzSv* sv, int kind, const char* key, const char* body, int length);
// banAdd with the issue tick given (loading a file reads the clock once).
int banAddAt(stQzSv* sv, int kind, const char* key, const char* body, int length, unsigned tick);
// Sets (unbanned true) or clears the unbanned mark of an entry. The mark holds the number of the
// unban among the list's events, and a reban counts as the entry being entered again.
void banSetUnbanned(stQzSv* sv, stBanEntry* e, bool unbanned);
// The entry of a ban slot number, or null.
stBanEntry* banEntry(stQzSv* sv, int banSlot);
// Record body of an entry.
const char* banBody(const stQzSv* sv, const stBanEntry* e);
// Empties the whole list. Its large blocks are handed back to the system by later calls of
// banFrame (banFree's own cost stays small); a running load goes on into the empty list unless
// the caller stops it (banLoadStop).
void banFree(stQzSv* sv);
// Hands back every block banFree left, at once (the module's shut-down).
void banDropAll(stQzSv* sv);
// The list's share of a frame call, about budgetUs of thread CPU time: hands back some blocks of
// an emptied list, and steps a mask index being built and a ban load in progress. Nothing, and
// no clock read, when there is nothing to do.
void banFrame(stQzSv* sv, long long budgetUs);
// Bytes held by the list, its texts and its indexes.
size_t banBytes(const stQzSv* sv);

// True for a kick entry whose time is over at tick now; such a kick no longer counts as an
// entry of its GUID.
bool banKickOver(stBanEntry* e, unsigned now);
// Rejoin check: 0 admit, -1 permanently banned, > 0 minutes left. The first entry of the GUID
// that is not a finished kick decides (an unbanned one admits), except that an unbanned entry
// is passed over once a later entry of the GUID was entered (added or rebanned) after the unban:
// a ban or kick issued after an unban always holds. banSlot receives the deciding entry's
// number (0 none).
int banRejoin(stQzSv* sv, const char* guid, unsigned now, int* banSlot);
// Ban slot number of the first mask entry (not unbanned) that holds the address, 0 none.
int banMaskFind(stQzSv* sv, const char* address);
// Ban slot number of the first name entry (not unbanned) for the name, 0 none.
int banNameFind(stQzSv* sv, const char* name);
// Sets the unbanned mark of every entry of the GUID (finished kicks the rejoin check has passed
// over aside); returns how many entries it marked.
int banUnbanGuid(stQzSv* sv, const char* guid);
// All three checks.
void banCheck(stQzSv* sv, const char* guid, const char* address, const char* name, unsigned now,
              stBanVerdict* out);

// Parses an address mask (docs/bans.md). False when it is not one.
bool maskParse(const char* text, stMaskRule* out);
// Files every mask in the mask index (done by the ban load; a failure leaves the masks scanned).
void banIndexMasks(stQzSv* sv);
// Starts building the mask index over every mask in the list, beside the one in use; a build
// already running goes on, unless whole asks for every mask and it covers fewer (it then starts
// again). banMaskIndexStep files the masks a slice at a time, about budgetUs of thread CPU time,
// and puts the new index in place at the end. True when no build runs.
void banMaskIndexStart(stQzSv* sv, bool whole = false);
bool banMaskIndexStep(stQzSv* sv, long long budgetUs);
constexpr unsigned QZ_MASK_TAIL_MAX = 4096;
// Reads a numeric client address "a.b.c.d" with an optional ":port". False for anything else.
bool maskAddress(const char* text, unsigned char octets[4], unsigned* port);
bool maskMatch(const stMaskRule* rule, const unsigned char octets[4], unsigned port);
// The name as name bans compare it, cleaned as a record body's value is (quotes become
// apostrophes, control bytes blanks, blanks around it dropped), colour codes removed (31
// characters at most), lower case. Both the banned name and a player's name go through here.
void banFoldName(const char* name, char out[32]);

// Starts a listing of the entries that contain search (empty: all), ending one still running
// first, and prints its first part at once; the rest follows from banListFrame.
void banListStart(stQzSv* sv, const char* search);
// Prints the next part of a running listing, and its end line once the last entry was looked at.
// Each call prints at most QZ_BANLIST_LINES lines and spends about QZ_BANLIST_BUDGET_US of
// thread CPU time looking for matches; nothing when no listing runs.
void banListFrame(stQzSv* sv);
constexpr int QZ_BANLIST_LINES = 64;
constexpr long long QZ_BANLIST_BUDGET_US = 300;

// Ban file. Number of a remembered file path (1..), registering it; 0 when the table is full.
int banFileId(stQzSv* sv, const char* path);
// Appends the record line "KEY BODY" to the file through trLog and remembers where it went.
// False when the line could not be written.
bool banFileAppend(stQzSv* sv, const char* path, int banSlot);
// Loads the records of a ban file. Returns the number loaded, -1 when the file cannot be
// opened; *skipped receives the number of damaged records skipped. A record that is already in
// the list from an earlier load of (or append to) the same file, at the same place with the same
// text, is not added again; *present (when given) receives how many there were.
long banLoadFile(stQzSv* sv, const char* path, long* skipped, long* present = nullptr);
// banLoadFile on a stream already open (the file, or its bytes in memory): PATH names the file
// the records' places refer to. The stream is read to its end and left open.
long banLoadStream(stQzSv* sv, FILE* fp, const char* path, long* skipped, long* present = nullptr);
// Reports a load: the number of bans and, when there were any, the records already in the list
// and the damaged records skipped.
void banLoadReport(stQzSv* sv, const char* path, long n, long skipped, long present = 0);
// From now on GUID and kick entries are added without being filed in the GUID index (the rejoin
// check cannot find them) until banLinkDeferred files them all in one pass, which is much faster
// for a large load. Returns from banLinkDeferred: the number of entries dropped at the end of the
// list because the index could not grow (0 normally).
void banDeferLinks(stQzSv* sv);
unsigned banLinkDeferred(stQzSv* sv);
// Makes room for `more` entries (the array and the GUID index) and textBytes of record bodies, so
// that a large load does not grow them step by step. Without memory it does nothing; the adds
// then grow as usual.
void banReserve(stQzSv* sv, unsigned more, size_t textBytes);
// Rewrites, in place, the unbanned marks of the records that came from (or went to) the file.
// Returns the number of records changed, -1 on a write error. *missing receives the number of
// records no longer found where they were.
int banUpdateFile(stQzSv* sv, const char* path, int* missing);
// Loads qzbans.dat of the home directory at start-up when it exists.
void banStartupLoad(stQzSv* sv);

// Ban file loads that run a slice per frame call (qz_sv_BanLoad, a restart). The records are
// added to the list as they are read, so the bans already in the list and those read so far hold
// throughout; the load's report lines (banLoadReport) appear when the last record is in.
// With `replace` (a restart) the records go into a new list instead, while the list in force
// keeps answering every check and command; the new list takes its place when the file is read
// and the former one is handed back a slice per frame. False, with "File Not Found: %s"
// printed, when the file cannot be opened. While a load runs, a further load waits in a queue
// of QZ_BAN_QUEUE and begins when the loads before it have ended ("%s will load after %s" is
// printed); with the queue full "qz_sv_BanLoad ignored: %s is still loading" and false.
bool banLoadBegin(stQzSv* sv, const char* path, bool replace);
// Reads and adds records for about budgetUs of thread CPU time, and at most
// QZ_BANLOAD_RECORDS of them. True when no load runs (any more).
bool banLoadStep(stQzSv* sv, long long budgetUs);
constexpr long QZ_BANLOAD_RECORDS = 2048;
// True while a load runs; path (when given) receives the file's path.
bool banLoadRunning(const stQzSv* sv, const char** path = nullptr);
// Ends a running load where it stands, and forgets the waiting ones: the records read so far
// stay (in a replacing load they are dropped and the former list stays). Prints "Ban load of %s
// stopped after %ld Ban%s" when say is true.
void banLoadStop(stQzSv* sv, bool say);
// True while a replacing load runs: the list in force is about to be replaced, so a change to an
// entry of it (an unban or reban) would be lost. Prints "Ban List is being reloaded from %s:
// command ignored until the count line appears" when say is true.
bool banReloading(stQzSv* sv, bool say);
// A kick added to the list in force while a replacing load runs is added to the new list too
// (kicks are not in the file). Called by banAddAt.
void banLoadMirrorKick(stQzSv* sv, const char* key, const char* body, int length, unsigned tick);
