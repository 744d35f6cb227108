// Start-up, shut-down and restart of the module, and the routing of host calls.
#pragma once

#include "commands/records.h"
#include "host/qzsv.h"
#include "util/keyed.h"

struct stQzSv;

// What a restart carries over besides the players and the ban list: the versions the host's
// directives set (the host sends them once, at its own start) and the configuration lock, which
// no command may undo.
struct stRestartKeep {
    int svVerMajor, svVerMinor, agVer, clVerMajor, clVerMinor;
    int locked;
    char lockName[QZ_CFG_NAME_MAX];
    long lockSize;
    char lockDigest[33];
};
// A restart in progress: after the first frame call has shut the module down and started it
// again without its files, the files load as jobs (commands/jobs.h), one after another.
struct stRestartRun {
    int stage;    // 0 none; otherwise 1 + the number of the job running
    int started;  // the running job's start was called
    char reason[64];
    stRestartKeep keep;
    // The keyed tables before the restart, handed back a slice per frame call (freeing a few
    // hundred thousand records at once takes some 10 ms); retired says they are not yet.
    stKeyStore formerKeys;
    int retired;
};

// The module's own version, reported until the host sets it with "QZ_SV_SETSVVER".
constexpr int QZ_VERSION_MAJOR = 1;
constexpr int QZ_VERSION_MINOR = 673;

// The minor version this build reports (host/version.cpp).
int qzBuildMinor();

// Runs the start-up sequence. Returns 0, or -1 after printing why the module cannot run.
int svStart(stQzSv* sv, const qz_host* host);
// Closes every file and frees every table; the state is zeroed afterwards. Work the administrator
// queued first runs to its end (svFinishQueued with QZ_SHUTDOWN_SLICES).
void svShutdown(stQzSv* sv);
// Frame shares of queued work a shut-down runs before it closes anything.
constexpr int QZ_SHUTDOWN_SLICES = 400;
// Runs, for at most maxSlices frame shares, what waits to run: a restart in progress, the
// configuration loads in progress and the console lines typed behind them, in the order frame
// calls would run them. What is still left is named on one console line. Returns true when
// nothing was left.
bool svFinishQueued(stQzSv* sv, int maxSlices);
// The regular frame call: pending restart, due events, timers.
void svFrame(stQzSv* sv);
// True while a restart's jobs run.
bool svRestarting(const stQzSv* sv);
// Handles one console line handed over by the host (length-checked copy, then sv_cmd).
void svConsole(stQzSv* sv, const char* data, int length);
// Forms the home directory text from the game's home path ("<path>/qz/"). False when the path
// is empty or too long for the 512-byte path buffer.
bool svFormHome(const char* gamePath, char* out, int size);
// Prints the version line "Kestrine Server (v%d.%03d | A%d C%d.%03d) %s".
void svPrintVersion(stQzSv* sv);
