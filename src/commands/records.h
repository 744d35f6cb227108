// The records of the command language kept in the central state: the dispatcher's flags, the
// configuration lock and load nesting, the host's reservations, and every setting's storage.
#pragma once

#include <cstdio>

// Deepest nesting of configuration loads (a file loading a file ...). A file that loads itself
// stops here instead of looping.
constexpr int QZ_LOAD_DEPTH_MAX = 8;
// Longest configuration file name, and the number of host reservations kept.
constexpr int QZ_CFG_NAME_MAX = 256;
constexpr int QZ_RESERVE_MAX = 16;
constexpr int QZ_RESERVE_TEXT = 64;

// A configuration file being loaded a slice per frame call (commands/config.cpp).
// Who asked for an action (commands/dispatch.h has the kinds and the rules).
struct QzOrigin {
    int kind;  // QzOriginKind
    int slot;  // player or task slot; 0 when none
    char name[64];
    char addr[48];
    char guid[33];
    // A WebTool administrator's level (webtool/admins.h) while his request is answered; 0 for
    // every other origin.
    int level;
};

struct stCfgFile {
    FILE* fp;
    int number;  // lines read so far
    int flags;   // given to sv_cmd with every line
    int after;   // what follows the file's last line
    // The origin of the load when one was in force (an administrator's qz_sv_Load): the file's
    // lines run with it in whichever frame call reads them.
    int ownOrigin;
    QzOrigin origin;
};
// Console lines typed while a configuration load runs wait here and run after it, in order.
constexpr int QZ_TYPED_MAX = 16;
constexpr int QZ_TYPED_LINE = 4096;

struct stCmdState {
    int locked;          // configuration locked against changes (qz_sv_LoadLock); never cleared
    int loadDepth;       // nesting of configuration loads in progress
    int kicksSuspended;  // kicking for violations suspended
    // Files being loaded, outermost first; qz_sv_LoadLock refuses a name found here. The
    // innermost one gives the next line.
    char loading[QZ_LOAD_DEPTH_MAX][QZ_CFG_NAME_MAX];
    stCfgFile files[QZ_LOAD_DEPTH_MAX];
    int stepping;   // a slice of the loads is running (a loaded line that loads only stacks)
    int holdTyped;  // typed lines wait even with no load running (a restart in progress)
    char typed[QZ_TYPED_MAX][QZ_TYPED_LINE];
    int typedCount;
    // The locked file: its name, its size in bytes and the MD5 of its contents when it was
    // loaded, so that the player list can show which configuration governs the server.
    char lockName[QZ_CFG_NAME_MAX];
    long lockSize;
    char lockDigest[33];
    // Host reservations ("QZ_SV_RESERVE text"): the text the host reserves a place for (a
    // player's name or GUID as the host chooses). Oldest replaced when full.
    char reserved[QZ_RESERVE_MAX][QZ_RESERVE_TEXT];
    int reserveNext;  // slot the next new reservation takes when the list is full
    // Who asked for the action being done (commands/dispatch.h); null when nobody set one.
    const struct QzOrigin* origin;
};

// Storage of every setting but qz_sv_MsgPrefix (which lives in stQzSv::msgPrefix). Text fields
// hold their capacity plus the terminator. The registry rows in settings_table.cpp give each
// field its name, kind, default and bounds.
struct stSettings {
    int maxDlRate, maxConDls, kickLen;
    int cvarFreq, cvarLogging, cvarWalk, cvarUserPulse, cvarChangedPulse, cqc;
    int logSync, logCeiling, logNext;
    int ssFloor, ssCeiling, ssNext;
    char ssCmd[256];
    int ssWidth, ssHeight, ssXpct, ssYpct, ssSrate, ssDelay;
    char ssPath[256];
    int autoSsFrom, autoSsTo, autoSs;
    int sleep;
    int powerMin, powerDef, powerKickLen;
    int httpPort;
    char httpAddr[128];
    int httpRefresh;
    char httpKey[128];
    char httpMaps[1025];
    int scoreKick, changePeriod, changeMax;
    int autoUpdBan, extChar, dupNameGrace, guidRelax;
    char logUser[32];
    char logPw[32];
    char logAddr[128];
    int logPort;
    int rconReload;
    char httpMapsPath[256];
    char httpColText1[7], httpColText2[7], httpColBack1[7], httpColBack2[7];
    char httpColLine1[7], httpColLine2[7], httpColMsg[7];
    int httpShowGuid, restrictions;
    char fileWhitelist[1024];
    int emptyName, logFloor, minName, maxName;
    char lanMask[128];
    int lan, updateGrace, noGuidGrace;
    char aliasFn[256];
    int aliasAutoLoad, aliasMax, aliasMaxEnforce;
    int uSessionLimit, uConTimeout;
    int ssLogging, ssTimeout;

    // Accepted but neither listed nor written.
    int maxConUpdates, md5toolFreq, netDiag, limitDupIps, suspendLogging, flushLogging;
    int mod, pktSendMode, debug, maxSendRate, netToClientMethod, extraPort;
    int minGuidAge, guidAuth, guidDiag;
    char guidAuthServer[128];  // "host:port" of the GUID authentication server
    char statFn[256];
    int statTrack, statAutoLoad;
    char specName[32];
};
