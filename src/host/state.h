// stQzSv, the central state record of the module. Every routine that acts for the module takes
// it first. Each subsystem keeps its part in a record of its own, declared in its own header.
#pragma once

#include "commands/dispatch.h"
#include "host/events.h"
#include "host/qzsv.h"
#include "host/selfcheck.h"
#include "host/startup.h"
#include "media/audit.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/bans.h"
#include "players/cvars.h"
#include "players/names.h"
#include "players/power.h"
#include "players/slots.h"
#include "remote/fleet.h"
#include "remote/guidauth.h"
#include "players/violations.h"
#include "remote/remote.h"
#include "remote/ucon.h"
#include "util/files.h"
#include "util/keyed.h"
#include "webtool/web.h"

struct stQzSv {
    // Host bridge.
    qz_host host;        // the host's services, copied at start
    int enabled;         // commands other than qz_sv_Enable run only while set
    int restartPending;  // a restart waits for the next frame call
    int configPending;   // started disabled: the configuration loads when enabled
    char restartReason[64];
    stRestartRun restart;  // a restart whose files are still loading (host/startup.cpp)
    char msgPrefix[32];          // qz_sv_MsgPrefix
    int svVerMajor, svVerMinor;  // version numbers reported by qz_sv_Ver
    int agVer;
    int clVerMajor, clVerMinor;
    char gameVersion[256];      // game variable "version"
    char homeDir[QZ_PATH_MAX];  // ends in "/"
    char baseDir[QZ_PATH_MAX];  // ends in "/"
    int writeMarker;            // "qzwrite.use" was present at start
    int uconMarker;             // "qzucon.use" was present at start
    stEventQueue events;
    stSelfCheck selfcheck;  // the check of the module's own program files (host/selfcheck.h)

    // Command language.
    stCmdState cmd;
    stSettings set;  // every setting but qz_sv_MsgPrefix (commands/records.h)

    // Server logs and remote logging (media/logs.h).
    stLogs logs;
    // The audit log (media/audit.h).
    stAudit audit;

    // Screenshot requests and transfers (media/screenshots.h).
    stScreens ss;

    // WebTool: listener, connection pool, page (webtool/web.h).
    stWeb web;

    // Keyed record tables and the numbers of the module's five tables in the store.
    stKeyStore keys;
    int tNameLocks, tAlias, tPersStat, tNewStat, tGuidAuth;

    // Players and the kick/ban list (src/players).
    stPlayers players;
    stBans bans;
    stCvars cvars;      // cvar range checks and client queries (players/cvars.h)
    stViolations viol;  // violation switches and companion libraries (players/violations.h)
    stNames names;  // name rules, bad names, protected names (players/names.h)
    stPower pw;  // power, votes, statistics, tasks, rcon masks (players/power.h)

    // Master servers, file transfers, updates, MD5Tool (src/remote).
    stRemote remote;
    // UCON remote console (src/remote).
    stUconState ucon;
    // GUID authentication requests (src/remote/guidauth.h).
    stGuidAuth guidauth;
    // Fleet bans shared through the ban service (src/remote/fleet.h).
    stFleet fleet;
};
