// The rows of the settings registry: the listed settings in help order, then the settings that
// are accepted but neither listed nor written. Ranges are the console bounds (docs/settings.md
// says why each was chosen); the WebTool assigns within the same bounds.
#include <cstddef>

#include "commands/settings.h"
#include "host/state.h"
#include "media/logs.h"
#include "players/names.h"
#include "webtool/maps.h"

// Row makers. TEXT(name, field, capacity, default, flags, place, rule, help); INT(name, field,
// default, low, high, flags, place, rule, help); YESNO(name, field, default, flags, place, help).
// place is the line's position among the setting lines of qzsv.cfg (0: not placed); rule runs
// after an assignment. offsetof names a member of a member here (set.kickLen), which GCC and
// Clang take.
#define TEXT(name, field, cap, def, flags, at, hook, help) \
    { name, help, SET_TEXT, offsetof(stQzSv, field), cap, def, 0, 0, 0, flags, at, hook }
#define INT(name, field, def, lo, hi, flags, at, hook, help) \
    { name, help, SET_INT, offsetof(stQzSv, field), 0, nullptr, def, lo, hi, flags, at, hook }
#define YESNO(name, field, def, flags, at, help) \
    { name, help, SET_YESNO, offsetof(stQzSv, field), 0, nullptr, def, 0, 1, flags, at, nullptr }

namespace {
constexpr int U = SETF_UNLISTED;
}

constexpr SettingRow kSettingTable[] = {
    TEXT("qz_sv_MsgPrefix", msgPrefix, 31, "^3Kestrine Client", 0, 1, nullptr,
         "[QZ Message Prefix (default=^3Kestrine Client)]"),
    INT("qz_sv_MaxDlRate", set.maxDlRate, 4, 1, 4, 0, 2, nullptr,
        "[KB/sec requested per file (default=4)]"),
    INT("qz_sv_MaxConDls", set.maxConDls, 1, 1, 6, 0, 3, nullptr,
        "[Concurrent downloads (default=1)]"),
    INT("qz_sv_KickLen", set.kickLen, 2, 0, 60, 0, 4, nullptr, "[Minutes (default=2)]"),
    INT("qz_sv_CvarFreq", set.cvarFreq, 4, 2, 10, 0, 5, nullptr, "[# of range checks per minute]"),
    INT("qz_sv_CvarLogging", set.cvarLogging, 1, 0, 3, 0, 6, nullptr,
        "[1=Reg. Log, 2=Var Log, 3=Both, 0=Neither]"),
    INT("qz_sv_CvarWalk", set.cvarWalk, 0, 0, 4, 0, 7, nullptr,
        "[0=disabled, 1-4=Walk through obtained Cvar lists]"),
    INT("qz_sv_CvarUserPulse", set.cvarUserPulse, 30, 10, 99, 0, 8, nullptr,
        "[Frequency to auto-send CvarUser (minutes)]"),
    INT("qz_sv_CvarChangedPulse", set.cvarChangedPulse, 30, 10, 99, 0, 9, nullptr,
        "[Frequency to auto-send CvarChanged (minutes)]"),
    INT("qz_sv_CQC", set.cqc, 1, 0, 1, 0, 10, nullptr, "[0=No, 1=Yes (default=1)]"),
    INT("qz_sv_LogSync", set.logSync, 0, 0, 1, 0, 11, nullptr, "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_LogCeiling", set.logCeiling, 999, 1, 999999, SETF_NOWRITE, 0, nullptr,
        "[High log filename serial #]"),
    INT("qz_sv_LogNext", set.logNext, 1, 1, 999999, SETF_NOWRITE, 0, nullptr,
        "[Next log filename serial #]"),
    INT("qz_sv_SsFloor", set.ssFloor, 1, 1, 999999, 0, 12, nullptr,
        "[Low screenshot filename serial #]"),
    INT("qz_sv_SsCeiling", set.ssCeiling, 999, 1, 999999, 0, 13, nullptr,
        "[High screenshot filename serial #]"),
    INT("qz_sv_SsNext", set.ssNext, 1, 1, 999999, SETF_NOWRITE, 0, nullptr,
        "[Next screenshot filename serial #]"),
    TEXT("qz_sv_SsCmd", set.ssCmd, 255, "", 0, 14, settingSsCmdRule,
         "[Filename of system command to run after screenshots]"),
    INT("qz_sv_SsWidth", set.ssWidth, 320, 16, 4096, 0, 15, nullptr,
        "[Requested pixel width of remote screenshots]"),
    INT("qz_sv_SsHeight", set.ssHeight, 240, 16, 4096, 0, 16, nullptr,
        "[Requested pixel height of remote screenshots]"),
    INT("qz_sv_SsXpct", set.ssXpct, 0, 0, 100, 0, 17, nullptr,
        "[Percentage across screen for remote screenshots]"),
    INT("qz_sv_SsYpct", set.ssYpct, 0, 0, 100, 0, 18, nullptr,
        "[Percentage down screen for remote screenshots]"),
    INT("qz_sv_SsSrate", set.ssSrate, 1, 1, 16, 0, 19, nullptr,
        "[Sample Rate for remote screenshots]"),
    INT("qz_sv_SsDelay", set.ssDelay, 10, 0, 600, 0, 20, nullptr,
        "[Maximum delay client waits before capturing screenshot]"),
    TEXT("qz_sv_SsPath", set.ssPath, 255, "", 0, 21, nullptr,
         "[Path where remote screenshots are saved]"),
    INT("qz_sv_AutoSsFrom", set.autoSsFrom, 300, 10, 86400, 0, 22, nullptr,
        "[Min # of seconds to wait before requesting next ss]"),
    INT("qz_sv_AutoSsTo", set.autoSsTo, 900, 10, 86400, 0, 23, nullptr,
        "[Max # of seconds to wait before requesting next ss]"),
    INT("qz_sv_AutoSs", set.autoSs, 0, 0, 1, 0, 24, nullptr, "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_Sleep", set.sleep, 60, 20, 100, 0, 27, nullptr, "[# of Milliseconds (default=60)]"),
    INT("qz_sv_PowerMin", set.powerMin, 0, -99999, 99999, 0, 28, nullptr, "[Power Points]"),
    INT("qz_sv_PowerDef", set.powerDef, 0, -99999, 99999, 0, 29, nullptr, "[Power Points]"),
    INT("qz_sv_PowerKickLen", set.powerKickLen, 5, 0, 9999, 0, 30, nullptr,
        "[Minutes (default=5)]"),
    INT("qz_sv_HttpPort", set.httpPort, 0, 0, 65535, 0, 31, nullptr, "[Port #]"),
    TEXT("qz_sv_HttpAddr", set.httpAddr, 127, "", 0, 32, nullptr, "[External IP Address]"),
    INT("qz_sv_HttpRefresh", set.httpRefresh, 60, 10, 999, 0, 33, nullptr, "[Seconds]"),
    TEXT("qz_sv_HttpKey", set.httpKey, 127, "", SETF_SECRET, 34, nullptr, "[Key]"),
    TEXT("qz_sv_HttpMaps", set.httpMaps, 1024, "", 0, 35, nullptr,
         "[Map list (separate by spaces)]"),
    INT("qz_sv_ScoreKick", set.scoreKick, 0, -9999, 0, 0, 36, nullptr, "[Min score (negative)]"),
    INT("qz_sv_ChangePeriod", set.changePeriod, 30, 1, 999, 0, 37, nullptr, "[Seconds]"),
    INT("qz_sv_ChangeMax", set.changeMax, 5, 1, 50, 0, 38, nullptr, "[Max name changes allowed]"),
    INT("qz_sv_AutoUpdBan", set.autoUpdBan, 0, 0, 1, 0, 40, nullptr, "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_ExtChar", set.extChar, 0, 0, 1, 0, 41, nmNameSettingRule,
        "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_DupNameGrace", set.dupNameGrace, 60, 0, 3600, 0, 39, nullptr, "[Seconds]"),
    INT("qz_sv_GuidRelax", set.guidRelax, 0, 0, 7, 0, 42, nullptr,
        "[1=UNKN, 2=WRONGIP, 4=DUP (add desired values)]"),
    TEXT("qz_sv_LogUser", set.logUser, 31, "", SETF_LOGCFG, 0, nullptr, "[remote_log_username]"),
    TEXT("qz_sv_LogPw", set.logPw, 31, "", SETF_LOGCFG | SETF_SECRET, 0, nullptr,
         "[remote_log_password]"),
    TEXT("qz_sv_LogAddr", set.logAddr, 127, "", SETF_LOGCFG, 0, nullptr, "[remote_log_address]"),
    INT("qz_sv_LogPort", set.logPort, 0, 0, 65535, SETF_LOGCFG, 0, nullptr, "[remote_log_port]"),
    INT("qz_sv_RconReload", set.rconReload, 0, 0, 1, 0, 43, settingRconReload,
        "[0=No, 1=Yes (default=0)]"),
    TEXT("qz_sv_HttpMapsPath", set.httpMapsPath, 255, "", 0, 44, web_maps_path_rule,
         "[Path where maps are loaded from in WebTool]"),
    TEXT("qz_sv_HttpColText1", set.httpColText1, 6, "FFFFFF", SETF_COLOUR, 45, nullptr,
         "[Text Color #1 in WebTool (default=FFFFFF)]"),
    TEXT("qz_sv_HttpColText2", set.httpColText2, 6, "0000FF", SETF_COLOUR, 46, nullptr,
         "[Text Color #2 in WebTool (default=0000FF)]"),
    TEXT("qz_sv_HttpColBack1", set.httpColBack1, 6, "000000", SETF_COLOUR, 47, nullptr,
         "[Background Color #1 in WebTool (default=000000)]"),
    TEXT("qz_sv_HttpColBack2", set.httpColBack2, 6, "808080", SETF_COLOUR, 48, nullptr,
         "[Background Color #2 in WebTool (default=808080)]"),
    TEXT("qz_sv_HttpColLine1", set.httpColLine1, 6, "FF0000", SETF_COLOUR, 49, nullptr,
         "[Line Color #1 in WebTool (default=FF0000)]"),
    TEXT("qz_sv_HttpColLine2", set.httpColLine2, 6, "0000FF", SETF_COLOUR, 50, nullptr,
         "[Line Color #2 in WebTool (default=0000FF)]"),
    TEXT("qz_sv_HttpColMsg", set.httpColMsg, 6, "FF0000", SETF_COLOUR, 51, nullptr,
         "[Message Color in WebTool (default=FF0000)]"),
    INT("qz_sv_HttpShowGuid", set.httpShowGuid, 0, 0, 1, 0, 52, nullptr,
        "[0=No, 1=Yes (default=0)]"),
    YESNO("qz_sv_Restrictions", set.restrictions, 1, 0, 53, "[0=No, 1=Yes (default=1)]"),
    TEXT("qz_sv_FileWhitelist", set.fileWhitelist, 1023, "", 0, 54, nullptr,
         "[Folder Filename Filename ... Filename]"),
    INT("qz_sv_EmptyName", set.emptyName, 0, 0, 1, 0, 55, nmNameSettingRule,
        "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_LogFloor", set.logFloor, 1, 1, 999999, 0, 56, nullptr,
        "[Low log filename serial #]"),
    INT("qz_sv_MinName", set.minName, 0, 0, 31, 0, 57, nmNameSettingRule,
        "[Min Characters in Player name (default=0)]"),
    INT("qz_sv_MaxName", set.maxName, 0, 0, 31, 0, 58, nmNameSettingRule,
        "[Max Characters in Player name (default=0)]"),
    TEXT("qz_sv_LanMask", set.lanMask, 127, "", 0, 59, nullptr,
         "[IP Address Mask for LAN Players (default=)]"),
    YESNO("qz_sv_Lan", set.lan, 0, 0, 60, "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_UpdateGrace", set.updateGrace, 120, 0, 3600, 0, 61, nullptr,
        "[Seconds to wait before Update Failure kick]"),
    INT("qz_sv_NoGuidGrace", set.noGuidGrace, 120, 0, 3600, 0, 62, nullptr,
        "[Seconds to wait before No GUID kick]"),
    TEXT("qz_sv_AliasFn", set.aliasFn, 255, "qzalias.dat", 0, 63, nmAliasFnRule,
         "[Filename (default=\"qzalias.dat\")]"),
    INT("qz_sv_AliasAutoLoad", set.aliasAutoLoad, 0, 0, 1, 0, 64, nullptr,
        "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_AliasMax", set.aliasMax, 10, 0, 99, 0, 65, nullptr,
        "[Max # of Aliases to track for each QZ GUID]"),
    INT("qz_sv_AliasMaxEnforce", set.aliasMaxEnforce, 0, 0, 1, 0, 66, nullptr,
        "[0=No, 1=Yes (default=0)]"),
    INT("qz_sv_USessionLimit", set.uSessionLimit, 0, 0, 64, SETF_SECTION, 0, nullptr,
        "[Max # of Open QZ UCON Sessions (default=0)]"),
    INT("qz_sv_UConTimeout", set.uConTimeout, 600, 10, 86400, SETF_SECTION, 0, nullptr,
        "[Seconds]"),
    INT("qz_sv_ssLogging", set.ssLogging, 1, 0, 3, 0, 25, nullptr,
        "[1=Reg. Log, 2=SS Log, 3=Both, 0=Neither]"),
    INT("qz_sv_ssTimeout", set.ssTimeout, 120, 5, 3600, 0, 26, nullptr, "[Seconds]"),

    // Accepted but neither listed nor written.
    INT("qz_sv_maxConUpdates", set.maxConUpdates, 4, 1, 64, U, 0, nullptr, ""),
    INT("qz_sv_md5toolfreq", set.md5toolFreq, 60, 10, 3600, U, 0, nullptr, ""),
    INT("qz_sv_netdiag", set.netDiag, 0, 0, 1, U, 0, nullptr, ""),
    INT("qz_sv_limitdupips", set.limitDupIps, 0, 0, 64, U, 0, nullptr, ""),
    INT("qz_sv_mod", set.mod, 0, 0, 99, U, 0, nullptr, ""),
    INT("qz_sv_pktsendmode", set.pktSendMode, 0, 0, 2, U, 0, nullptr, ""),
    INT("qz_sv_debug", set.debug, 0, 0, 9, U, 0, nullptr, ""),
    INT("qz_sv_maxsendrate", set.maxSendRate, 25000, 1000, 1000000, U, 0, nullptr, ""),
    INT("qz_sv_nettoclientmethod", set.netToClientMethod, 0, 0, 2, U, 0, nullptr, ""),
    INT("qz_sv_extraport", set.extraPort, 0, 0, 65535, U, 0, nullptr, ""),
    INT("qz_sv_minguidage", set.minGuidAge, 0, 0, 3650, U, 0, settingMinGuidAge, ""),
    INT("qz_sv_guidauth", set.guidAuth, 1, 0, 1, U, 0, nullptr, ""),
    INT("qz_sv_guiddiag", set.guidDiag, 0, 0, 1, U, 0, nullptr, ""),
    TEXT("qz_sv_guidauthserver", set.guidAuthServer, 127, "", U, 0, nullptr, ""),
    TEXT("qz_sv_statfn", set.statFn, 255, "qzstat.dat", U, 0, nullptr, ""),
    INT("qz_sv_stattrack", set.statTrack, 0, 0, 1, U, 0, nullptr, ""),
    INT("qz_sv_statautoload", set.statAutoLoad, 0, 0, 1, U, 0, nullptr, ""),
    TEXT("qz_sv_specname", set.specName, 31, "", U, 0, nullptr, ""),
    // The WebTool's trusted reverse proxies (docs/webtool-proxy.md).
    TEXT("qz_sv_HttpProxies", web.proxies, 127, "", U, 0, nullptr, ""),
    // Host names the WebTool answers to besides its address and localhost (docs/webtool.md).
    TEXT("qz_sv_HttpHosts", web.hosts, 255, "", U, 0, nullptr, ""),
};
constexpr int kSettingAll = sizeof kSettingTable / sizeof kSettingTable[0];
// The listed rows come first; the first unlisted row ends them.
constexpr int kSettingCount = [] {
    int n = 0;
    while (n < kSettingAll && !(kSettingTable[n].flags & SETF_UNLISTED)) n++;
    return n;
}();

// The listed tables are part of the module's interface: help prints these counts.
static_assert(kSettingCount == 75, "the listed settings are 75 rows");
