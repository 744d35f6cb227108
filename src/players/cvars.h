// Cvar range checks and client queries: the check list, the queries the administrator (and the
// module's own timers) send to the players' client modules, and the answers that come back.
// docs/cvars.md describes the commands, the rules and the limits; docs/client-exchange.md the
// texts on the wire.
#pragma once

#include "players/slots.h"
#include "util/flexar.h"

class AtomicFile;
struct stQzSv;

// The check list never holds more than this many checks (deleted ones included), so a loaded
// file cannot make one range-check pass unbounded.
constexpr int QZ_CVAR_CHECKS_MAX = 256;
// Cvar names, check texts and search texts: at most 63 characters.
constexpr int QZ_CVAR_NAME_MAX = 64;
// Places of the name index over the checks: twice the list's bound, so a probe stays short.
constexpr int QZ_CVAR_INDEX = 2 * QZ_CVAR_CHECKS_MAX;
// Bounds are printed with at most this many digits after the decimal point.
constexpr int QZ_CVAR_DECIMALS_MAX = 9;
// Queries of one player that wait for their answer; a new query takes the oldest place.
constexpr int QZ_QUERIES_OPEN = 8;
// Checked cvars asked for in one range-check query.
constexpr int QZ_RANGE_CHUNK = 16;
// A query unanswered for this long is given up.
constexpr int QZ_QUERY_TIMEOUT_MS = 30000;
// Wrong answers in a row after which a client module counts as malfunctioning, and unanswered
// range-check queries in a row after which its game counts as ignoring queries.
constexpr int QZ_QUERY_FAULTS_MAX = 3;
constexpr int QZ_QUERY_MISSED_MAX = 3;

// Check types and their display names ("IN", "OUT", "INCLUDE", "EXCLUDE"; "???" otherwise).
enum QzCvarType { QZ_CV_IN = 1, QZ_CV_OUT = 2, QZ_CV_INCLUDE = 21, QZ_CV_EXCLUDE = 22 };

struct stCvarCheck {
    char name[QZ_CVAR_NAME_MAX];
    int type;
    double low, high;             // numeric types
    int decimals;                 // digits after the decimal point the bounds were given with
    char text[QZ_CVAR_NAME_MAX];  // text types
    int deleted;
};

// What a query asks for.
enum QzQueryKind {
    QZ_Q_VAL = 1,      // one cvar's value (qz_sv_CvarVal)
    QZ_Q_SRCH = 2,     // cvars whose names contain a text (qz_sv_CvarSrch)
    QZ_Q_BIND = 3,     // key bindings that contain a text (qz_sv_BindSrch)
    QZ_Q_USER = 4,     // user-defined cvars (qz_sv_CvarUser, the user pulse)
    QZ_Q_CHANGED = 5,  // cvars that differ from their defaults (qz_sv_CvarChanged, the pulse)
    QZ_Q_RANGE = 6,    // the values of checked cvars (range checks)
};

struct stQuery {
    unsigned id;  // 0: the place is free
    int kind;
    int automatic;  // sent by a timer: results go to the logs, not the console
    unsigned sentTick;
    int items;     // items received so far
    unsigned gen;  // range checks: the list's generation when asked (qz_sv_CvarEmpty moves it)
    int count;     // range checks: checks asked for, their list positions in checks
    short checks[QZ_RANGE_CHUNK];
    char text[QZ_CVAR_NAME_MAX];  // the cvar name or search text asked for
};

// The query state of one player. It belongs to one connection (seq); a new player in the slot
// starts afresh.
struct stCvarSlot {
    unsigned long seq;
    int live;  // the state was set up for seq
    stQuery open[QZ_QUERIES_OPEN];
    unsigned nextId;
    int faults;          // wrong answers in a row
    int missed;          // unanswered range-check queries in a row
    int malfunctioning;  // answers are ignored from now on
    unsigned passTick;   // start of the player's current range-check period
    int cursor;          // next list position of the current pass; -1 when the pass is done
    unsigned userTick, changedTick;  // last automatic queries
    unsigned noiseTick;
    int noiseCount;  // ignored answers shown in the current minute
    unsigned violTick;
    int violCount;  // violation reports taken in the current minute
};

struct stCvars {
    flexar checks;  // stCvarCheck, in slot order
    // The checks by name (A..Z folded, as the name compare folds them), so that an answer finds
    // the checks of its cvar without walking the list. byName: open addressing on the folded
    // name's hash, each place the list position + 1 of the first check of one name (0: free);
    // sameName: list position + 1 of the next check of the same name, in list order (0: the
    // last). Deleted checks stay chained (the walk skips them); qz_sv_CvarEmpty clears both.
    short byName[QZ_CVAR_INDEX];
    short sameName[QZ_CVAR_CHECKS_MAX];
    stCvarSlot slot[QZ_SLOTS];
    unsigned gen;      // moves on every qz_sv_CvarEmpty
    int dueSet;        // nextDue is valid
    unsigned nextDue;  // the frame has nothing to do before this tick
};

// Display name of a check type.
const char* cvarTypeName(int type);
// Parses "NAME TYPE RANGE" as qz_sv_Cvar takes it. False when the type word, a bound or a
// number is missing or malformed.
bool cvarParse(const char* args, stCvarCheck* out);
// Prints bound with the given digits after the decimal point (bounded to 0..9) into out.
void cvarFormatBound(char* out, int size, double bound, int decimals);
// Whether value (a player's cvar value as text) satisfies the check. A value that is not a
// number counts as the game reads it: its leading number, 0 when it has none; NaN breaks both
// numeric types.
bool cvarPasses(const stCvarCheck* check, const char* value);
// The live checks' lines of the configuration file ("qz_sv_cvar ...").
void cvarWriteCfg(stQzSv* sv, AtomicFile& out);
// Frees the check list (module shut-down).
void cvarFree(stQzSv* sv);

// The frame's share: range-check queries that are due, the automatic pulses, queries given up
// and the further player rules. Returns at once when nothing is due.
void cvarFrame(stQzSv* sv);
// A client-module packet that belongs to the queries or violations ("QZ_ANS", "QZ_VIOL").
// Returns true when the packet was one of these (handled or refused), false for any other.
bool cvarPacket(stQzSv* sv, int slot, const char* data, int length);
// Sends one query to the player in slot. Returns true when it was sent.
bool cvarQuery(stQzSv* sv, int slot, int kind, const char* text, int automatic);
// Checks a value the player in slot holds for cvar name against every live check of that name;
// a breach is reported as a "(CVAR) " violation. Returns false when the player was removed.
bool cvarCheckValue(stQzSv* sv, int slot, const char* name, const char* value, bool logPasses);
// The list position of the first check (deleted ones included) whose name equals name without
// regard to A..Z case, or -1; cvarNextOfName gives the position of the next check of the same
// name after position at, or -1. Constant time whatever the length of the list.
int cvarFirstOfName(stQzSv* sv, const char* name);
int cvarNextOfName(stQzSv* sv, int at);
// The live check at list position index (0-based) or null.
const stCvarCheck* cvarCheckAt(stQzSv* sv, int index);
// Number of list positions (deleted checks included).
int cvarCheckCount(stQzSv* sv);
