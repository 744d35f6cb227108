// The audit log "qzaudit.log": one JSON object a line for every action that changes something,
// with who asked (the origin), what, on whom, and how it ended. Records are appended with one
// write(2) each on a descriptor kept open, so a record is in the kernel before the action's answer
// is shown; the file is rotated by size. docs/audit.md describes the format and the decisions.
#pragma once

#include "commands/dispatch.h"

#define QZ_AUDIT_FILE "qzaudit.log"
// Past this size the file is renamed "qzaudit.log.1" (the older ones move up one number) and a
// new one is started; QZ_AUDIT_KEEP files are kept besides the current one.
constexpr long QZ_AUDIT_ROTATE_BYTES = 4L * 1024 * 1024;
constexpr int QZ_AUDIT_KEEP = 4;
// Longest record; longer values are cut (a cut value ends in "...").
constexpr int QZ_AUDIT_LINE_MAX = 4096;
// Module messages held back while an audited command runs, so that the record is written before
// its answer is shown. An answer longer than this is shown as it comes (see docs/audit.md).
constexpr int QZ_AUDIT_HOLD_MAX = 8192;
// The tail of the file the reader looks at (the last records).
constexpr int QZ_AUDIT_TAIL_BYTES = 64 * 1024;
// Refusals recorded one by one in a minute. Beyond them a refusal is only counted, and when the
// minute is over one "refusals-summary" record says how many were left out, when, and by whom
// (the QZ_AUDIT_SUMMARY_WHO askers with the most, then the rest together). Actions are always
// recorded: only refusals, which anyone allowed to ask can cause without end, are summarised.
constexpr int QZ_AUDIT_REFUSALS_PER_MIN = 30;
constexpr int QZ_AUDIT_SUMMARY_WHO = 4;

enum QzAuditResult {
    QZ_AUDIT_DONE = 0,
    QZ_AUDIT_REFUSED = 1,
    QZ_AUDIT_FAILED = 2,
};

// Whom an action was done to; empty texts and slot 0 are left out of the record.
struct QzAuditTarget {
    int slot;
    const char* name;
    const char* guid;
    const char* addr;
};

struct stAudit {
    // Records are written: set by start-up once the home directory exists. A state that was never
    // started (unit tests of single routines) has no audit log.
    int on;
    int isOpen;  // fd is the open file
    int fd;
    long size;
    int broken;    // the last write was cut short: the next record starts on a new line
    int failures;  // records that could not be written since start
    char lastError[128];
    // Console lines held back while an audited command runs (text and terminator each); the
    // log gets its lines at once. The first line of the answer is kept for the record.
    int holding;
    int holdLen;
    char hold[QZ_AUDIT_HOLD_MAX];
    int haveFirst;
    char first[256];
    // Refusals in the current minute, and those left out of it (summarised at its end).
    unsigned refusalStart;
    int refusals;
    int leftOut;
    long long leftFrom, leftTo;  // wall-clock seconds of the first and last one left out
    struct {
        char who[128];  // origin kind, name, level and address; then the action
        int count;
    } leftBy[QZ_AUDIT_SUMMARY_WHO];
    int leftByCount;
    int leftOthers;
};

struct stQzSv;

// The origin of the action being done: the one the dispatcher or the caller set, or the game
// console when none is set (the host's own lines).
const QzOrigin* auditOrigin(const stQzSv* sv);
// Short word for an origin kind ("console", "web", ...), as the records write it.
const char* auditKindName(int kind);

// Appends one record: the time, the origin in force, action (a short word such as "kick" or the
// command word), the target (may be null), command (the command line or values; secrets must be
// masked by the caller, and may be null), the result and why (null or empty when there is nothing
// to say). Returns false when the record could not be written: the caller's answer must say so.
// Never blocks beyond one write(2) (and, at rotation, three renames).
bool auditWrite(stQzSv* sv, const char* action, const QzAuditTarget* target, const char* command,
                int result, const char* why);
// Closes the file (shut-down and restart).
void auditClose(stQzSv* sv);
// The frame: once the minute of the refusals left out is over, writes their summary.
void auditFrame(stQzSv* sv);

// Formats one record, with its line end, into line (size bytes, at least QZ_AUDIT_LINE_MAX) and
// returns its length: the module's writer and the qzadmin program share the format.
int auditFormat(char* line, int size, long long when, const QzOrigin* origin, const char* action,
                const QzAuditTarget* target, const char* command, int result, const char* why);
// Appends one formatted record to the file at path with one write(2) (opened for appending with
// mode 0600, then closed): how a program beside the module records what it did. False, with the
// reason in why, when it could not be written.
bool auditAppendFile(const char* path, const char* line, int length, char* why, int whySize);

// Appends text to out (at *len, size bytes, always terminated) as a JSON string with its quotes.
// Control characters are escaped, and every byte that is not part of valid UTF-8 is written as
// the escape \udcNN (NN its value, as Python's "surrogateescape" does), so the line is JSON
// whatever the text holds and every byte can be read back. At most max bytes of text are taken
// (then "..." ends it).
void auditJsonString(char* out, int size, int* len, const char* text, int max);

// Holding the answer of an audited command: auditHoldBegin starts holding the console part of
// module messages (it returns false when holding was already on, for a nested command, which then
// neither holds nor releases); auditHoldRelease prints what was held and stops holding.
// auditHoldLine is called by the message routine: true when the line was held. auditHoldFlush
// prints what is held and goes on holding: the host bridge calls it before every call into the
// host, so that lines keep their order with what the host shows (a message to a player, a drop);
// the lines after the action's last host call (its outcome) wait for the record.
bool auditHoldBegin(stQzSv* sv);
void auditHoldRelease(stQzSv* sv);
void auditHoldFlush(stQzSv* sv);
bool auditHoldLine(stQzSv* sv, const char* line, int length);
// Where the answer of the command about to run will start: take it before the command runs and
// hand it to auditHeldAnswer, which gives the first line of that command's answer ("" when it
// printed none). A nested command (holding already on) gets its own first line, not the outer
// one's.
int auditHoldMark(const stQzSv* sv);
void auditHeldAnswer(const stQzSv* sv, int mark, char* out, int size);

// Reading (auditread.cpp): the records of the last QZ_AUDIT_TAIL_BYTES of the file, newest last,
// that match filter (auditMatches; any record when empty), at most count of them. Each record is
// handed to fn as one line. Returns the number handed, or -1 when the file cannot be read.
using AuditLineFn = void (*)(void* ctx, const char* line);
int auditTail(stQzSv* sv, const char* filter, int count, AuditLineFn fn, void* ctx);

// A record read back: every text as the bytes that were recorded (escapes undone), terminated.
struct QzAuditView {
    char time[24];
    char kind[16];
    int slot;
    char name[80];
    char addr[64];
    char guid[40];
    char level[8];
    char action[80];
    int targetSlot;
    char targetName[80];
    char targetGuid[40];
    char targetAddr[64];
    char command[1100];
    char result[12];
    char why[600];
};
// Reads a record line into view. False when the line is not a record of this format.
bool auditDecode(const char* line, QzAuditView* view);
// True when the record line holds filter (without regard to case) as it is written in the file,
// or as its texts read back (a name with bytes that are not UTF-8 is found by those bytes); a
// filter typed as UTF-8 also finds the same letters recorded as single ISO-8859-1 bytes, and the
// other way round. An empty filter matches every record.
bool auditMatches(const char* line, const char* filter);
