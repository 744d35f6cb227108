// The module's server logs: the numbered log files in "svlogs", their serial and its
// persistence, holding lines back while logging is suspended, the variable and screenshot logs,
// the game log and the log proof answers. docs/logs.md describes the files and the levels of
// the message routine.
#pragma once

#include <cstdio>
#include <ctime>

#include "media/remotelog.h"
#include "util/files.h"
#include "util/text.h"

// Lines written before the first log opens (start-up messages) and while logging is suspended
// wait in a fixed buffer of this many bytes; lines that do not fit are counted and lost.
constexpr int QZ_LOG_HELD_MAX = 32768;
// Longest text of one log line; the message routine's lines are always shorter.
constexpr int QZ_LOG_TEXT_MAX = 4149;

// Files of the home directory owned here.
#define QZ_LOGNEXT_FILE "qzsvlogn.cfg"        // "qz_sv_lognext %d\n\n", rewritten at each opening
#define QZ_CVARLOG_FILE "svlogs/qzsvvar.log"  // the variable log (qz_sv_CvarLogging 2 and 3)
#define QZ_SSLOG_FILE "svlogs/qzsvss.log"     // the screenshot log (qz_sv_ssLogging 2 and 3)

struct stLogs {
    FILE* fp;                // the current log, open for appending; null when none is open
    char path[QZ_PATH_MAX];  // its path
    int serial;              // its serial
    // Device and inode of the open file, to notice a file moved away or removed by an outside
    // tool (log rotation) and reopen the log under its own name.
    unsigned long long fileDev, fileIno;
    int opened;              // a log has been opened since start; lines before wait in held
    char held[QZ_LOG_HELD_MAX];
    int heldLen;
    int heldLost;  // lines that did not fit in held
    // The time stamp of the last line, kept so that lines within one second are not broken
    // down again.
    time_t stampAt;
    int stampOk;
    char stamp[32];
    int stampLen;
    stRemoteLog remote;
};

struct stQzSv;
struct SettingRow;

// Writes text (length bytes, no line end) as one log line: to the current log file (or held
// while none is open or logging is suspended) and to the remote receiver. The message routine
// calls it for every message of a logged level.
void logLine(stQzSv* sv, const char* text, int length);
// Closes the current log and opens the log of serial qz_sv_LogNext (brought into
// qz_sv_LogFloor..qz_sv_LogCeiling first), reports "QZ Log File %s Opened for %s (%c)" with
// the reason, advances qz_sv_LogNext and records it in QZ_LOGNEXT_FILE. Returns false when the
// file cannot be opened (the lines are then lost until the next opening).
bool logOpen(stQzSv* sv, const char* reason);
// The end of start-up: takes the next serial from QZ_LOGNEXT_FILE and opens a new log with the
// reason "NEWLOG".
void logStartup(stQzSv* sv);
// Writes out lines still held, closes the log file and the remote socket.
void logShutdown(stQzSv* sv);
// Acts on the suspend and flush states that the commands qz_sv_suspendlogging and
// qz_sv_flushlogging set: lines held while suspended are written out once logging resumes, and a
// flush request writes them out at once (suspended or not), pushes the file to the disk and
// clears the request. Returns true when a flush ran.
bool logControl(stQzSv* sv);

// A text about a player, routed by qz_sv_CvarLogging: "[From #%d %s(%s) %s] %s" with the slot,
// name, GUID, address and the text, to the regular log (1), the variable log (2), both (3) or
// neither (0). Nothing goes to the console; the caller prints what the administrator sees.
void logCvar(stQzSv* sv, int slot, const char* name, const char* guid, const char* address,
             const char* fmt, ...) QZ_PRINTF(6, 7);
// A screenshot event routed by qz_sv_ssLogging to the regular log (1), the screenshot log (2),
// both (3) or neither (0). Nothing goes to the console.
void logSs(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);

// "<home><sep>svlogs/<serial, 8 digits>.log", or "svlogs/<serial>.log" without a home
// directory. Returns trf's result.
int logPathFor(char* out, int size, const char* home, int serial);
// serial if it lies within floor..ceiling, else floor (a ceiling below the floor counts as the
// floor).
int logSerialInRange(int serial, int floor, int ceiling);
// The serial after serial, wrapping from the ceiling back to the floor.
int logSerialAfter(int serial, int floor, int ceiling);

// The game's log file: "<fs_homepath>/main/<g_log>". False when "g_log" is empty or not a safe
// relative name.
bool logGameLogPath(stQzSv* sv, char* out, int size);
// MD5 (seed 0) of a whole file as 32 upper-case digits, and its size. False, with digest
// "READ_ERROR", when the file cannot be read or is larger than the proof reads.
bool logFileDigest(const char* path, char* digest33, long* size);
// Answers a log proof request: "%cServer's local QZ Log File %s has MD5 of %s (%d bytes)" and
// "%cServer's local Game Log File %s has MD5 of %s (%d bytes)" to the player in slot (1..64),
// or to the console for slot 0. claim is empty or "{S}<QZ log MD5> <game log MD5>", the digests
// the requester holds; each is then checked and "%c{S}%s %s" answers "OK" or "MISMATCH" (or
// "READ_ERROR") for the two files, and the verdict goes to the log.
void logProof(stQzSv* sv, int slot, char kind, const char* claim);
// Runs at every log opening: the game log handling and the statistics and alias steps.
void logOpenGameLog(stQzSv* sv);
