// Start-up, shut-down and restart of the module, and the routing of host calls.
#pragma once

#include "host/qzsv.h"

struct stQzSv;

// The module's own version, reported until the host sets it with "QZ_SV_SETSVVER".
constexpr int QZ_VERSION_MAJOR = 1;
constexpr int QZ_VERSION_MINOR = 673;

// The minor version this build reports (host/version.cpp).
int qzBuildMinor();

// Runs the start-up sequence. Returns 0, or -1 after printing why the module cannot run.
int svStart(stQzSv* sv, const qz_host* host);
// Closes every file and frees every table; the state is zeroed afterwards.
void svShutdown(stQzSv* sv);
// The regular frame call: pending restart, due events, timers.
void svFrame(stQzSv* sv);
// Handles one console line handed over by the host (length-checked copy, then sv_cmd).
void svConsole(stQzSv* sv, const char* data, int length);
// Forms the home directory text from the game's home path ("<path>/qz/"). False when the path
// is empty or too long for the 512-byte path buffer.
bool svFormHome(const char* gamePath, char* out, int size);
// Prints the version line "Kestrine Server (v%d.%03d | A%d C%d.%03d) %s".
void svPrintVersion(stQzSv* sv);
