// Player names: the name rules applied at connect and at every rename, the bad-name list, name
// locks, protected names and tags, and the aliases each GUID has used. docs/names.md gives the
// rules, their order and the files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "commands/jobs.h"
#include "players/slots.h"
#include "util/flexar.h"

struct stQzSv;
struct SettingRow;

// Longest text kept for a bad name or a protected name or tag: a colour-stripped player name
// holds at most 31 characters, so a longer text could never match.
constexpr int QZ_NAME_TEXT = 31;
// Name changes remembered per player; qz_sv_ChangeMax is at most 50.
constexpr int QZ_NAME_CHANGES = 51;
// Bad-name warnings a player gets in one connection; the next bad name removes him at once.
constexpr int QZ_BADNAME_WARNINGS = 3;
// Buckets of the bad-name bigram index (a power of two).
constexpr int QZ_BADNAME_BUCKETS = 4096;

// One bad name; text empty: deleted (the entry keeps its slot number).
struct stBadName {
    int grace;
    char text[QZ_NAME_TEXT + 1];  // upper case
};

// One protected name or tag.
struct stProtect {
    long id;
    char match[QZ_NAME_TEXT + 1];  // as given, colour codes removed
    char key[QZ_NAME_TEXT + 1];    // the match text blank-free and upper case
};

// A registration made by the administrator: the player with this GUID is registered with id
// (qz_sv_register), so the protected names and tags of that id are his.
struct stNameReg {
    char guid[33];  // upper case
    long id;
    char name[33];  // the registered name shown in the player lists, cleaned
};

// The 33 key bytes of the keyed-table records below: a digest of the text the record is found
// by (nmDigestKey), never the text itself. The tables' bucket hash adds up key bytes, so texts
// made of similar characters (GUIDs, names that differ in a digit) would pile into a few long
// probe runs; digest bytes spread evenly, and the digest's per-process seed keeps chosen texts
// from piling up on purpose. Records keep their text beside the key and lookups compare it.
constexpr int QZ_DIGEST_KEY = 33;

// A record of the "NameLocks" table, found by the normalised name, so that the rename check
// finds a lock with one lookup.
struct stNameLock {
    char key[QZ_DIGEST_KEY];  // digest of norm
    char norm[32];            // name without colour codes and blanks, upper case (nmKey)
    char guid[33];            // the GUID the name belongs to
    char name[33];            // the name as locked, colour codes removed
};

// A record of the "Alias" table, found by the GUID; one record per GUID and name. Times are
// seconds since 1970.
struct stAliasRec {
    char key[QZ_DIGEST_KEY];  // digest of guid
    char guid[33];            // upper case
    char name[33];            // colour codes removed, cleaned (nmCleanName)
    uint32_t count;
    uint32_t first;
    uint32_t last;
};
static_assert(sizeof(stAliasRec) <= 112, "alias records stay small: a million of them are kept");

// Fills the 33 key bytes from text: pseudo-random bytes from a seeded 64-bit hash, the last one
// never zero (an all-zero key marks a free record).
void nmDigestKey(const char* text, char (&out)[QZ_DIGEST_KEY]);

// What a player is being warned about, with the grace period running.
enum NmWarn { NM_WARN_NONE = 0, NM_WARN_BADNAME = 1, NM_WARN_DUPNAME = 2 };

// Name state of one slot, reset at every connect.
struct stNameSlot {
    unsigned long seq;                  // the connection this state belongs to
    unsigned changes[QZ_NAME_CHANGES];  // ticks of the latest renames, a ring
    int changeNext;                     // next ring position
    int changeCount;                    // renames remembered (at most QZ_NAME_CHANGES)
    int warn;                           // NmWarn
    unsigned warnTick;                  // when the grace period started
    int warnGrace;                      // its length in seconds
    int badWarnings;                    // bad-name warnings this connection
    char key[32];  // the current name's normalised form (nmKey), for the duplicate test
};

struct stAliasJob;

struct stNames {
    flexar badNames;  // stBadName
    // Bigram index of the bad names: head[bucket] is the first entry (index + 1) whose text
    // starts with a pair of characters hashing there, next[] chains them; single-character
    // texts chain from single. Rebuilt whenever the list changes.
    int* head;
    int* next;
    int nextCap;
    int single;
    flexar protNames;  // stProtect
    flexar protTags;   // stProtect
    // Open-addressing index of both protected lists: entry+1 (names) or -(entry+1) (tags).
    int* protIndex;
    int protBuckets;
    flexar regs;  // stNameReg, in the order they were made
    stNameSlot slot[QZ_SLOTS];
    // The alias file kept open for appending; flushed by the frame call.
    FILE* aliasOut;
    char aliasOutPath[512];
    int aliasDirty;
    // The alias load or write running over frames (players/aliasfile.cpp), or null, and the
    // requests waiting for it: a load, and a write with its file name.
    stAliasJob* aliasJob;
    int aliasQueuedLoad;
    int aliasQueuedWrite;
    char aliasQueuedName[512];
};

// Frees every list; the names state is empty afterwards.
void nmFree(stQzSv* sv);
// Loads the alias file at start-up when qz_sv_AliasAutoLoad is 1.
void nmStartup(stQzSv* sv);
// Applies the name rules to a player the host just admitted to slot. Returns false when the
// player was removed.
bool nmConnect(stQzSv* sv, int slot);
// Applies the name rules after the player in slot took a new name.
void nmRename(stQzSv* sv, int slot);
// Applies the name rules to every player on the server, after a rule was added (a bad name, a
// name lock, a protected name or tag, a name setting): a rule reaches the players already on
// the server at once, not at their next rename. Aliases and name changes are not counted again.
void nmRecheckAll(stQzSv* sv);
// The settings hook of qz_sv_MinName, qz_sv_MaxName, qz_sv_EmptyName and qz_sv_ExtChar.
void nmNameSettingRule(stQzSv* sv, const SettingRow* row);
// The frame's work: grace periods that ran out, and the alias file's pending lines.
void nmFrame(stQzSv* sv);

// The cleaned form of outside name text used in every file, log line and page: control bytes
// become '?', a double quote becomes an apostrophe; at most size-1 bytes.
void nmCleanName(char* out, int size, const char* name);
// The normalised form used for locks, protected entries and duplicates: no colour codes, no
// blanks, upper case.
void nmKey(char* out, int size, const char* name);

// Bad names (players/badnames.cpp). Index of the first entry whose text occurs in the
// colour-stripped, upper-cased name, or -1.
int findBadName(stQzSv* sv, const char* name);
// The same search on a name that is already upper case and stripped.
int nmBadNameSearch(stQzSv* sv, const char* upper);
// Number of entries (deleted ones included) and entry i.
int nmBadNameCount(stQzSv* sv);
const stBadName* nmBadNameAt(stQzSv* sv, int i);

// Protected names and tags (players/namecmds.cpp): the entry the normalised name infringes (a
// protected name it equals, or a protected tag it begins or ends with), or null.
const stProtect* nmProtectFind(stQzSv* sv, const char* key);
// Fills the player's free registration entries from the registrations of his GUID.
void nmFillRegistrations(stQzSv* sv, int slot);
// Whether the player holds a registration with this id.
bool nmRegistered(const Qz_Sv_Client_s* cl, long id);
// True, with *lock set to one of its locks, when the normalised name is locked and guid is not
// among its owners.
bool nmLockedOut(stQzSv* sv, const char* key, const char* guid, const stNameLock** lock);
// Number of live name locks.
int nmLockCount(stQzSv* sv);

// Aliases (players/aliases.cpp). Records the player's current name for his GUID. Returns false
// when the name is new and the GUID already has qz_sv_AliasMax aliases (it is then not kept).
bool nmTrackAlias(stQzSv* sv, int slot);
// Loads an alias file of the home directory into the table; returns the records taken. A last
// line without its line end that does not read is counted in *cut when cut is given (a write
// cut short), in *damaged otherwise.
int nmAliasLoad(stQzSv* sv, const char* name, int* damaged, int* merged, int* cut = nullptr);
// nmAliasLoad on a stream already open (the file, or its bytes in memory), read to its end.
int nmAliasLoadStream(stQzSv* sv, FILE* in, int* damaged, int* merged, int* cut = nullptr);
// Writes every alias record to OUT as nmAliasWrite writes them to the file; returns the records
// written, or -1 on a write error.
int nmAliasWriteStream(stQzSv* sv, FILE* out);
// Writes every alias record to a new file of the home directory, replacing it atomically.
// Returns the records written, or -1 when the file could not be written.
int nmAliasWrite(stQzSv* sv, const char* name);
// Appends rec's line to the alias file through the append stream (reported when it cannot).
void nmAliasAppend(stQzSv* sv, const stAliasRec* rec);
// The "Alias" table exists with the alias record layout.
bool nmAliasTableOk(stQzSv* sv);
// The record of rec's GUID and name, or null.
stAliasRec* nmAliasFind(stQzSv* sv, const stAliasRec* rec);
// The whole alias file loaded (qz_sv_AliasLoad) or written (qz_sv_AliasWrite, name empty for
// qz_sv_AliasFn) a slice per frame, the closing line at the end. A request while one runs waits
// for it (once; a second one is refused with a line). The start of a load runs its first slice.
void nmAliasLoadStart(stQzSv* sv);
void nmAliasWriteStart(stQzSv* sv, const char* name);
// Runs the job for at most budgetUs microseconds of CPU time; a job that ends starts what was
// queued behind it. True when nothing is left to do.
bool nmAliasJobStep(stQzSv* sv, long long budgetUs);
// A restart or shut-down: a running write is finished in this call (so the file asked for is
// written whole), a running load is given up (the file was not changed) and the queue is
// emptied.
void nmAliasJobEnd(stQzSv* sv);
// The alias load as a job for the restart's steps.
extern const QzJob kAliasLoadJob;
// Parses one alias line (without its line end) into rec. False for a damaged line.
bool nmAliasParse(const char* line, int length, stAliasRec* rec);
// Sends the alias list of target slot to the game of the player in slot.
void nmSendAliasList(stQzSv* sv, int slot, int target);
// Number of aliases of a GUID.
int nmAliasCount(stQzSv* sv, const char* guid);
// Flushes the alias lines appended since the last frame, and reports lines the file lost.
void nmAliasFlush(stQzSv* sv);
// The settings hook of qz_sv_AliasFn: a name that leaves the home directory is refused and the
// default name is kept, so that new aliases still reach a file.
void nmAliasFnRule(stQzSv* sv, const SettingRow* row);
// Closes the alias append stream (before the file is replaced, and at shut-down).
void nmAliasClose(stQzSv* sv);
