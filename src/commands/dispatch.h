// sv_cmd, the one command dispatcher, and the state it consults.
#pragma once

#include "commands/records.h"

struct stQzSv;

// Who sent a line; handed to the handlers, which may treat sources differently (a restart is not
// taken from a configuration file, for example).
enum QzSource {
    QZ_SRC_CONSOLE = 0,  // the game server console (or the host)
    QZ_SRC_CONFIG = 1,   // a configuration file being loaded
    QZ_SRC_TASK = 2,     // a scheduled task
    QZ_SRC_UCON = 3,     // a remote console
    QZ_SRC_WEB = 4,      // the WebTool
    QZ_SRC_EVENT = 5,    // the pending-event queue
};

// Longest line the dispatcher takes. Longer lines are refused whole: a cut command could act on
// half its arguments.
constexpr int QZ_LINE_MAX = 4096;

// Runs one line of the command language. source is a QzSource; flags are passed on to the
// handler unchanged. Every outcome is reported as console messages.
void sv_cmd(stQzSv* sv, int source, const char* line, int flags);
// Loads qzsv.cfg and then qzsvuser.cfg (commands/config.cpp); the last step of start-up.
// Missing files are no error, and a module started disabled loads nothing.
void cfgStartupLoad(stQzSv* sv);
