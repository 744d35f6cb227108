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

// Who asked for an action, for the audit log: the kind, and what identifies the asker of that
// kind (an administrator's or UCON profile's name and address, a player's slot and GUID, a task's
// slot, a master's name). Callers that act for someone set it around the action (sv_cmd_as, or
// QzOriginScope for actions that do not pass through the dispatcher); the innermost one holds.
enum QzOriginKind {
    QZ_ORIGIN_CONSOLE = 0,   // the game server console, or rcon through it
    QZ_ORIGIN_CONFIG = 1,    // a configuration file loaded at start-up
    QZ_ORIGIN_TASK = 2,      // a scheduled task (slot)
    QZ_ORIGIN_UCON = 3,      // a UCON profile (name, address)
    QZ_ORIGIN_WEB = 4,       // a WebTool administrator (name, address)
    QZ_ORIGIN_EVENT = 5,     // the module's pending-event queue
    QZ_ORIGIN_VOTE = 6,      // a power player's vote (slot, GUID, name)
    QZ_ORIGIN_PLAYER = 7,    // a power player's command through the rcon masks (slot, GUID, name)
    QZ_ORIGIN_MASTER = 8,    // a master server's directive (name)
    QZ_ORIGIN_FLEET = 9,     // the fleet's ban service (name)
    QZ_ORIGIN_MODULE = 10,   // the module's own rules (violations, bad names, tool reports)
    QZ_ORIGIN_QZADMIN = 11,  // the qzadmin program (the administrators file; name: the user)
};

// struct QzOrigin (the kind, slot, name, address and GUID) is in commands/records.h.

// Sets sv's origin for its lifetime and puts the one before back at its end. The origin must
// outlive the scope.
class QzOriginScope {
  public:
    QzOriginScope(stQzSv* sv, const QzOrigin* origin);
    ~QzOriginScope();
    QzOriginScope(const QzOriginScope&) = delete;
    QzOriginScope& operator=(const QzOriginScope&) = delete;

  private:
    stQzSv* sv_;
    const QzOrigin* saved_;
};

// An origin of the given kind with its texts (null for none), bounded and terminated.
QzOrigin qzOrigin(int kind, int slot, const char* name, const char* addr, const char* guid);

// Longest line the dispatcher takes. Longer lines are refused whole: a cut command could act on
// half its arguments.
constexpr int QZ_LINE_MAX = 4096;

// Runs one line of the command language. source is a QzSource; flags are passed on to the
// handler unchanged. Every outcome is reported as console messages.
// The origin of the line is the one in force (set by a caller up the stack), or else the one
// its source stands for (console, configuration, task, UCON, WebTool, event).
void sv_cmd(stQzSv* sv, int source, const char* line, int flags);
// sv_cmd with the origin given: it is in force while the line runs.
void sv_cmd_as(stQzSv* sv, const QzOrigin* origin, int source, const char* line, int flags);
// Loads qzsv.cfg and then qzsvuser.cfg (commands/config.cpp); the last step of start-up.
// Missing files are no error, and a module started disabled loads nothing.
void cfgStartupLoad(stQzSv* sv);
