// Power points and kick votes, persistent statistics, scheduled tasks, rcon masks, the IP guard
// and LAN masks, and the reports of outside tools: the records they keep in the central state
// and the routines the rest of the module calls. docs/power-stats-tasks.md describes the rules.
#pragma once

#include <cstdio>

#include "commands/jobs.h"
#include "util/flexar.h"

struct stQzSv;
struct SettingRow;

// ---- Power list (players/power.cpp) ----

struct stSvPower {
    int points;
    char guid[33];  // empty: the entry matches every player
    char name[33];
};

// Power points an entry may carry, and the level from which a player counts as powerful
// (an administrator-level player).
constexpr int QZ_POWER_MIN = -99999;
constexpr int QZ_POWER_MAX = 99999;
constexpr int QZ_POWERFUL = 100;

// ---- Kick votes (players/votes.cpp) ----

// Points against a player that remove him: the powerful level, so that one administrator-level
// vote is enough and ordinary players need to agree.
constexpr int QZ_VOTE_REMOVE = QZ_POWERFUL;
// A vote counts for this long after it was cast (and only while its voter stays).
constexpr unsigned QZ_VOTE_LIFE_MS = 300000;

struct stVote {
    unsigned long voterSeq;   // connection of the voter when he voted; 0: no vote
    unsigned long targetSeq;  // connection of the target
    int points;
    unsigned tick;
};

// ---- Statistics (players/stats.cpp) ----

struct stStatJob;  // players/statfile.cpp
// Requests that wait for the running statistics job: an append, a load, a whole write.
constexpr unsigned QZ_STATQ_APPEND = 1, QZ_STATQ_LOAD = 2, QZ_STATQ_WRITE = 4;

constexpr int QZ_STAT_TEXT = 986;

// The record of the keyed tables "PersStat" and "NewStat", keyed by the GUID.
struct stSvStat {
    char guid[33];
    char stat[QZ_STAT_TEXT + 1];
    unsigned secs;
    unsigned age;  // seconds since 1970 (UTC) when the record was last written
};

// The periodic write of the new statistics, while statistics are tracked.
constexpr unsigned QZ_STAT_WRITE_MS = 300000;

// ---- Scheduled tasks (players/tasks.cpp) ----

constexpr int QZ_TASK_CMD = 512;
// Tasks run by one frame call; the rest of those due run in the next frames.
constexpr int QZ_TASKS_PER_FRAME = 16;
// Longest first delay and period (a week): their milliseconds stay within the tick's range.
constexpr long QZ_TASK_SECS_MAX = 604800;

struct stSvTask {
    long first;  // seconds from its addition to its first run
    long every;  // seconds between runs; 0 runs once
    char cmd[QZ_TASK_CMD];
    unsigned due;  // tick of the next run
    unsigned id;   // tells a task from one that later took its place
    int deleted;
};

// ---- Rcon masks, IP guard, LAN (players/rcon.cpp) ----

constexpr int QZ_RCON_MASK = 128;
// Longest command a player may send through an rcon mask.
constexpr int QZ_RCON_CMD = 200;
constexpr int QZ_IPGUARD_MAX = 256;

struct stSvRcon {
    long minPower;
    char mask[QZ_RCON_MASK];
};

// ---- The subsystem's part of the central state ----

// A hash index of power entries by GUID text (without regard to case). Buckets hold the power
// slot; texts are unique in the list, so each text has one bucket.
struct stPowerIndex {
    unsigned* bucket;
    unsigned cap;  // a power of two, or 0
    unsigned used;
};

struct stPower {
    flexar list;  // stSvPower, power slot n is element n - 1
    // Entries whose text is a whole GUID (32 characters) can only match that GUID: one lookup.
    stPowerIndex whole;
    // Entries with shorter texts match wherever they occur in a GUID: a player's GUID has 528
    // substrings, each looked up here when some entry has its length (lengths, bit n for n).
    stPowerIndex part;
    unsigned partLengths;
    int partCount;
    int firstEmpty;  // power slot of the first entry with an empty text (matches all), 0 none

    stVote votes[64][64];       // votes[target - 1][voter - 1]
    unsigned rconTick[64];      // last masked command of each slot's player
    unsigned long rconSeq[64];  // the connection that tick belongs to

    flexar tasks;  // stSvTask
    unsigned taskIds;
    int taskLive;
    unsigned startTick;  // module start, for the restart guard of tasks

    flexar rcons;     // stSvRcon
    flexar ipGuards;  // char[64] masks

    int statLoaded;         // the statistics file has been read since start
    unsigned statWriteDue;  // tick of the next periodic write (0: not scheduled)
    unsigned statDamaged;   // lines skipped by the last load
    unsigned statCut;       // 1 when the last load found the file's last line cut short
    unsigned statLost;      // records of the last load that the tables could not take
    stStatJob* statJob;     // the load or whole write running over frames, or null
    unsigned statQueued;    // requests that wait for it (QZ_STATQ_...)
    int statLoadCount;      // records the last load took, -1 when it failed
    int statWriteCount;     // records the last whole write wrote, -1 when it failed

    // The power file read a slice per frame call during a restart (pwStartupBegin).
    FILE* loadFile;
    int loadLine, loadTaken, loadDamaged;
};

// ---- Hooks the rest of the module calls ----

// Start-up: reads qzpower.dat and qzrcon.dat (before the configuration, which may add more).
void pwStartup(stQzSv* sv);
// The same in slices, for the restart: Begin opens the file (false when nothing is left to
// read), Step reads lines for about budgetUs of the thread's time and returns true when the
// file is read and its count line printed.
bool pwStartupBegin(stQzSv* sv);
bool pwStartupStep(stQzSv* sv, long long budgetUs);
// Shut-down (before the keyed tables go): appends the new statistics, frees the lists.
void pwFree(stQzSv* sv);
// The frame's work: due tasks and the periodic statistics write.
void pwFrame(stQzSv* sv);
// A player was admitted into slot: power from the power list, statistics clock.
void pwConnect(stQzSv* sv, int slot);
// The player in slot is leaving (his record is about to be cleared): his playing time is
// brought up to date and his votes end.
void pwLeave(stQzSv* sv, int slot);
// A client-module packet of the player in slot. word is its first word, args the rest. Returns
// true when the packet was one of this subsystem's (QZ_VOTE, QZ_POWER, QZ_RCON, QZ_FILE).
bool pwPacket(stQzSv* sv, int slot, const char* word, const char* args);

// ---- Power ----

// Sets the power of the player in slot from the power list (the first-match rule) and the IP
// guard.
void pwApply(stQzSv* sv, int slot);
// Points of the first entry matching guid, or def without a match. pos receives the power slot
// (0 without a match) when not null.
int pwRule(stQzSv* sv, const char* guid, int def, int* pos);
// Players in status INIT, UPDT or OK with power of at least QZ_POWERFUL.
int pwPowerfulCount(stQzSv* sv);
// Adds or updates an entry (an entry with the same GUID text, compared without regard to case,
// is updated). Returns its power slot, or 0 when the list cannot grow. *updated says which.
int pwSet(stQzSv* sv, const char* guid, int points, const char* name, bool* updated);
// Loads a power file (appended lines of either record form); returns entries taken.
int pwLoadFile(stQzSv* sv, const char* path, int* damaged);
// Parses one line of the power file. False for a damaged line.
bool pwParseLine(const char* line, int* points, char* guid33, char* name33);

// ---- Votes ----

// A vote of the player in voter against the player in target, as his game sends it.
void voteCast(stQzSv* sv, int voter, int target);
// Points against the player in target from votes still valid at now.
int votePointsAgainst(stQzSv* sv, int target, unsigned now);
// Sends the power list to the game of the player in slot.
void voteSendPowerList(stQzSv* sv, int slot);

// ---- Statistics ----

// The merge step: adds value to key of category in text (at most QZ_STAT_TEXT characters).
// False, text unchanged, when the category, key or value is not acceptable or the text would
// grow too long.
bool statMergeOne(char* text, const char* category, const char* key, const char* value);
// Merges every group of src into text. Returns false when a group or pair could not be merged
// (the pairs before it stay merged).
bool statMergeText(char* text, const char* src);
// True when text is a well-formed statistics text of at most QZ_STAT_TEXT characters.
bool statTextValid(const char* text);
// Parses one line of the statistics file into rec. False for a damaged line.
bool statParseLine(const char* line, stSvStat* rec);
// Adds a record to table t: a new GUID is stored, a known one gets its secs added and its text
// merged. 1 stored or merged; 0 the merge failed and the record was kept whole as a second
// record of the GUID (nothing lost); -1 the table refused the record.
int statAdd(stQzSv* sv, int t, const stSvStat* rec);
// A statistics event of the player in slot. False when it was lost (and reported).
bool statEvent(stQzSv* sv, int slot, const char* category, const char* k1, const char* k2,
               const char* k3, double value);
// Brings the playing time of the player in slot up to date at tick now.
void statTouch(stQzSv* sv, int slot, unsigned now);
// Appends the new records to the statistics file and empties "NewStat", after bringing every
// player's playing time up to date when touch is set. Returns records written, -1 when the file
// could not be opened. While a load or whole write runs the append waits for it (it would add
// to a file being replaced): it is queued and 0 is returned.
int statAppend(stQzSv* sv, bool touch = true);
// Starts the whole write: the file is read into "PersStat", "NewStat" is merged in, and the
// file is replaced by the whole, a slice per frame; "... Written to ..." comes at the end.
// While a job runs the request is queued (once). False when it could not start.
bool statWriteStart(stQzSv* sv);
// Starts emptying "PersStat" and reading the statistics file into it, a slice per frame;
// "... Loaded from ..." comes at the end. Queued while a job runs. False when the file name is
// refused or the file cannot be opened (reported).
bool statLoadStart(stQzSv* sv);
// Runs the job for at most budgetUs microseconds of CPU time (and a bounded number of
// records); a job that ends starts what was queued behind it. True when no job is left.
bool statJobStep(stQzSv* sv, long long budgetUs);
// True while a load or whole write runs.
bool statJobBusy(const stQzSv* sv);
// Runs the job and everything queued to the end in this call (start-up, tests, tools).
void statJobFinish(stQzSv* sv);
// A restart or shut-down: a running job is given up without losing anything (the old file
// stays; new records a write had taken go back to "NewStat" for the shut-down's append).
void statJobAbandon(stQzSv* sv);
// The statistics load as a job for the restart's steps: start empties nothing yet and opens the
// file (false when the name is refused or the file cannot be opened, reported); step runs
// statJobStep.
extern const QzJob kStatLoadJob;
// The whole write and the load run to their end in one call (tools and benchmarks).
int statWrite(stQzSv* sv);
int statLoad(stQzSv* sv);
// At each new server log: the new statistics are appended, and loaded when
// qz_sv_statautoload is 1 (the load runs over the next frames).
void statNewLog(stQzSv* sv);

// ---- Tasks ----

// Adds a task; returns its slot, or 0 when the list cannot grow.
int taskAdd(stQzSv* sv, long first, long every, const char* cmd);
// Runs the tasks due at now, at most QZ_TASKS_PER_FRAME. Returns how many ran.
int taskRunDue(stQzSv* sv, unsigned now);

// ---- Rcon masks ----

// True when the command is one plain game command: printable, no ";", quote, backslash or line
// break, at most QZ_RCON_CMD characters.
bool rconCommandClean(const char* cmd);
// True when cmd matches mask (words compared without regard to case; "*" matches any run of
// characters). A module command ("qz_sv_...") matches only a mask that names it in full.
bool rconMaskAllows(const char* mask, const char* cmd);
// Adds or updates a mask; returns its slot, 0 when refused.
int rconSet(stQzSv* sv, long minPower, const char* mask, bool* updated);
// Loads an rcon file; returns masks taken.
int rconLoadFile(stQzSv* sv, const char* path, int* damaged);
bool rconParseLine(const char* line, long* minPower, char* mask, int size);
// A masked command sent by the player in slot.
void rconRun(stQzSv* sv, int slot, const char* cmd);
// Reloads qzrcon.dat (the hook of qz_sv_RconReload).
void rconReload(stQzSv* sv);
// True when the address matches one of the IP guard masks (or the guard list is empty).
bool ipGuarded(stQzSv* sv, const char* address);
// True when the address matches a mask of qz_sv_LanMask (blank-separated masks).
bool pwIsLan(stQzSv* sv, const char* address);

// ---- Tool reports (players/toolreports.cpp) ----

constexpr int QZ_TOOL_TOKENS = 256;
// Splits line (modified in place) into at most max tokens; see docs. Returns the count.
int toolTokenize(char* line, char** tokens, int max);
// The external tool report: a slot and a reason.
void toolReport(stQzSv* sv, const char* line);
// A file the game of the player in slot reported in folder; removes him when the whitelist
// forbids it. True when the file was refused.
bool whitelistCheck(stQzSv* sv, int slot, const char* folder, const char* file);

// ---- Small parsing helpers shared by the subsystem's commands (players/power.cpp) ----

// Takes the next word of p into out (a word in double quotes may hold blanks; the quotes are
// dropped); p moves past it. False when there was no word at all.
bool pwNextWord(const char*& p, char* out, int size);
// A whole optionally signed decimal number within lo..hi. *value gets what was read (0 when the
// text is not a number) so that messages can show it.
bool pwParseLong(const char* text, long lo, long hi, long* value);
// A text for a file line or a game command: control characters become blanks, double quotes
// apostrophes, ";" and "\" blanks; leading and trailing blanks go.
void pwClean(char* out, int size, const char* text);
// The rest of an argument line without surrounding blanks, and without one pair of double
// quotes when the whole rest is quoted.
void pwRest(char* out, int size, const char* p);
// The hook of qz_sv_RconReload: 1 reloads qzrcon.dat at once and the setting returns to 0.
void settingRconReload(stQzSv* sv, const SettingRow* row);
