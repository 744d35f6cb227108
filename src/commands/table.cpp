// The rows of the command tables. Each row names its handler; the handlers live with the
// subsystem whose work they do and are declared in commands/handlers.h. Commands whose subsystem
// is not built yet are answered by commands/pending.cpp.
#include "commands/table.h"

#include <cstring>

#include "commands/handlers.h"
#include "util/compare.h"
#include "util/text.h"

namespace {
constexpr int L = CMDF_LOCKED_OUT;
constexpr int C = CMDF_CLIENT;
constexpr int S = CMDF_SECRET;
constexpr int A = CMDF_AUDIT;
constexpr int AP = CMDF_AUDIT | CMDF_AUDIT_PLAYER;
}  // namespace

const CmdRow kCommandTable[] = {
    {"qz_sv_Enable", "- Enable Kestrine", cmd_enable, A},
    {"qz_sv_Disable", "- Disable Kestrine", cmd_disable, A},
    {"qz_sv_Load", "[filename] - Load QZ config file", cmd_load, A | L},
    {"qz_sv_Ver", "- Display current QZ Server version information", cmd_ver, 0},
    {"qz_sv_Plist", "- Display list of currently connected players", cmd_plist, 0},
    {"qz_sv_BanList", "[optional search text] - Display list of bans/kicks", cmd_banlist, 0},
    {"qz_sv_Ban", "[slot # /name] [reason | private] - Perm Ban GUID", cmd_ban, AP},
    {"qz_sv_Kick", "[slot # /name] [minutes] [reason | private] - Kick player", cmd_kick, AP},
    {"qz_sv_GetSs", "[slot # or \"search text\"] - Request Screenshot(s)", cmd_getss, C},
    {"qz_sv_BadName", "[grace seconds] [banned text] - Add Badname", cmd_badname, A | L},
    {"qz_sv_BadNameList", "- Display list of Bad Names", cmd_badnamelist, 0},
    {"qz_sv_BadNameDel", "[slot #] - Delete Bad Name", cmd_badnamedel, A | L},
    {"qz_sv_CvarList", "- Display list of allowed Cvar Ranges", cmd_cvarlist, 0},
    {"qz_sv_CvarVal", "[Cvar name] [player] - Request value of Cvar", cmd_cvarval, C},
    {"qz_sv_Cvar", "[Cvar name] [type] [range] - Add Cvar Range", cmd_cvar, A | L},
    {"qz_sv_BindSrch", "[search text] [player] - Request matching binds", cmd_bindsrch, C},
    {"qz_sv_CvarSrch", "[search text] [player] - Request matching Cvars", cmd_cvarsrch, C},
    {"qz_sv_CvarUser", "[player] - Request list of user-defined Cvars", cmd_cvaruser, C},
    {"qz_sv_CvarChanged", "[player] - Request list of non-default Cvars", cmd_cvarchanged, C},
    {"qz_sv_WriteCfg", "[filename (default=qzsv.cfg)] - Save settings", cmd_writecfg, A | L},
    {"qz_sv_BanEmpty", "- Empty ban list in memory", cmd_banempty, A | L},
    {"qz_sv_BanLoad", "[optional filename] - Loads bans from file", cmd_banload, A},
    {"qz_sv_UnBan", "[ban slot #] - Unban a guid in memory", cmd_unban, A},
    {"qz_sv_ReBan", "[ban slot #] - Reban an unbanned GUID in memory", cmd_reban, A},
    {"qz_sv_UpdBanFile", "[optional filename] - updates ban file", cmd_updbanfile, A},
    {"qz_sv_CvarEmpty", "- Empty cvar list in memory", cmd_cvarempty, A | L},
    {"qz_sv_CvarDel", "[Cvar slot #] - removes a cvar check from memory", cmd_cvardel, A | L},
    {"qz_sv_Restart", "- Restart QZ Server", cmd_restart, A},
    {"qz_sv_Update", "- Force QZ Server to check for Updates", cmd_update, A},
    {"qz_sv_Power", "[slot #] [power rating] - Add player power record", cmd_power, AP},
    {"qz_sv_BanGuid", "[guid] [name] [ip] [reason]", cmd_banguid, A},
    {"qz_sv_UnbanGuid", "[guid]", cmd_unbanguid, A},
    {"qz_sv_PowerList", "[guid/name filter]", cmd_powerlist, 0},
    {"qz_sv_PowerPoints", "[player power slot #] [points]", cmd_powerpoints, A},
    {"qz_sv_Help", "[optional search text] - Display list of commands/settings", cmd_help, 0},
    {"qz_sv_StatList", "- Same as qz_sv_plist + shows stat line for each player", cmd_statlist, 0},
    {"qz_sv_BanMask", "[mask] [optional name/reason] - Ban IP Address/Range", cmd_banmask, A},
    {"qz_sv_EnableKicks", "- Manually re-enable kicking for violations", cmd_enablekicks, A},
    {"qz_sv_Task", "[seconds] [seconds] [command] - Add a QZ Task", cmd_task,
     A | L | cmdfLineFrom(3)},
    {"qz_sv_TList", "- Display list of QZ Tasks", cmd_tlist, 0},
    {"qz_sv_TaskDel", "[slot #] - Delete QZ Task", cmd_taskdel, A | L},
    {"qz_sv_TaskEmpty", "- Empty QZ Task list in memory", cmd_taskempty, A | L},
    {"qz_sv_Rcon", "[min points] [command mask] - Add QZ Rcon command mask", cmd_rcon, A | L},
    {"qz_sv_RList", "- Display list of QZ Rcon command masks", cmd_rlist, 0},
    {"qz_sv_PowerGuid", "[guid] [power rating] [name] - Add player power record", cmd_powerguid, A},
    {"qz_sv_BadNameEmpty", "- Empty Bad Name list in memory", cmd_badnameempty, A | L},
    {"qz_sv_ProtectName", "[id] [match text] - Add protected (REGISTERED) name", cmd_protectname,
     A | L},
    {"qz_sv_ProtectTag", "[id] [match text] - Add protected (REGISTERED) tag", cmd_protecttag,
     A | L},
    {"qz_sv_NameLock", "[guid] [name] - Add Name Lock", cmd_namelock, A | L},
    {"qz_sv_NameLockList", "[optional filter] - Display list of Name Locks", cmd_namelocklist, 0},
    {"qz_sv_NameLockEmpty", "- Empty Name Lock list in memory", cmd_namelockempty, A | L},
    {"qz_sv_AList", "[player slot # or GUID] - Display list of Aliases", cmd_alist, 0},
    {"qz_sv_AliasLoad", "- Load QZ Alias list from qzalias.dat", cmd_aliasload, A},
    {"qz_sv_AliasWrite", "[optional filename] - Write QZ Alias list to file", cmd_aliaswrite, A},
    {"qz_sv_NewLog", "- Close current and open new QZ Server Log file", cmd_newlog, A},
    {"qz_sv_Say", "[player slot#] [text] - Send short message to a player", cmd_say, 0},
    {"qz_sv_IPGuard", "[IP address mask] - Add IPGuard", cmd_ipguard, A | L},
    {"qz_sv_HomePath", "- Display QZ Server's home/write path on file system", cmd_homepath, 0},
    {"qz_sv_UconAdd", "[type] [mask] [username] [password] - Add QZ UCON Profile", cmd_uconadd,
     A | L | S | cmdfSecretFrom(4)},
    {"qz_sv_UconList", "- Display list of QZ UCON Profiles", cmd_uconlist, 0},
    {"qz_sv_UconDel", "[slot #] - Delete QZ UCON Profile", cmd_ucondel, A | L},
    {"qz_sv_UconEmpty", "- Empty QZ UCON Profile list in memory", cmd_uconempty, A | L},
    {"qz_sv_USessionList", "- Display list of QZ UCON Sessions", cmd_usessionlist, 0},
    {"qz_sv_UconIgnore", "[text] - Add QZ UCON Ignore", cmd_uconignore, A | L},
    {"qz_sv_UconIgnoreList", "- Display list of QZ UCON Ignores", cmd_uconignorelist, 0},
    {"qz_sv_UconIgnoreDel", "[slot #] - Delete QZ UCON Ignore", cmd_uconignoredel, A | L},
    {"qz_sv_UconIgnoreEmpty", "- Empty QZ UCON Ignore list in memory", cmd_uconignoreempty, A | L},
    {"qz_sv_LoadLock", "[filename] - Load QZ config file and lock against changes", cmd_loadlock,
     A},
    {"", "", nullptr, 0},
};
const int kCommandCount = sizeof kCommandTable / sizeof kCommandTable[0] - 1;

const CmdRow kUnlistedCommands[] = {
    {"qz_sv_banname", "", cmd_banname, A},
    {"qz_sv_md5tool", "", cmd_md5tool, A | L},
    {"qz_sv_md5toollist", "", cmd_md5toollist, 0},
    {"qz_sv_md5tooldel", "", cmd_md5tooldel, A | L},
    {"qz_sv_md5toolempty", "", cmd_md5toolempty, A | L},
    {"qz_sv_writepath", "", cmd_writepath, 0},
    {"qz_sv_exttool", "", cmd_exttool, 0},
    {"qz_sv_register", "", cmd_register, A | L},
    {"qz_sv_suspendlogging", "", cmd_suspendlogging, 0},
    {"qz_sv_flushlogging", "", cmd_flushlogging, 0},
    {"qz_sv_DiagLog", "", cmd_diaglog, 0},
    {"qz_sv_FileCheck", "", cmd_filecheck, 0},
    {"qz_sv_FleetScope", "", cmd_fleetscope, cmdfLineFrom(2)},
    {"qz_sv_FleetService", "", cmd_fleetservice, L},
    {"qz_sv_FleetServer", "", cmd_fleetserver, L},
    {"qz_sv_FleetBanDefault", "", cmd_fleetbandefault, L},
    {"qz_sv_FleetVoteBan", "", cmd_fleetvoteban, L},
    {"qz_sv_FleetStatus", "", cmd_fleetstatus, 0},
    {"qz_sv_AuditShow", "", cmd_auditshow, 0},
    {"qz_sv_AdminAdd", "", cmd_adminadd, A | L | S | cmdfSecretFrom(3)},
    {"qz_sv_AdminList", "", cmd_adminlist, 0},
    {"qz_sv_AdminDel", "", cmd_admindel, A | L},
};
const int kUnlistedCount = sizeof kUnlistedCommands / sizeof kUnlistedCommands[0];

const CmdRow kDirectiveTable[] = {
    {"QZ_SV_RESERVE", "", dir_reserve, 0},       {"QZ_SV_INIT", "", dir_init, 0},
    {"QZ_SV_ADDCLIENT", "", dir_addclient, 0},   {"QZ_SV_RESOLVE", "", dir_resolve, 0},
    {"QZ_SV_STATAPPEND", "", dir_statappend, 0}, {"QZ_SV_STATLOAD", "", dir_statload, 0},
    {"QZ_SV_STATWRITE", "", dir_statwrite, 0},   {"QZ_SV_SETSVVER", "", dir_setsvver, 0},
    {"QZ_SV_SETCLVER", "", dir_setclver, 0},     {"QZ_SV_SETAGVER", "", dir_setagver, 0},
    {"QZ_SV_BIND?", "", dir_bindq, 0},           {"QZ_SV_CVAR?", "", dir_cvarq, 0},
    {"QZ_SV_CVAR=", "", dir_cvareq, 0},          {"QZ_SV_GAMEEVENT", "", dir_gameevent, 0},
};
const int kDirectiveCount = sizeof kDirectiveTable / sizeof kDirectiveTable[0];

const CmdRow* cmdFind(const CmdRow* rows, int count, const char* word) {
    for (int i = 0; i < count; ++i) {
        if (trcasecmp(rows[i].name, word) == 0) return &rows[i];
    }
    return nullptr;
}

const CmdRow* cmdFindExact(const CmdRow* rows, int count, const char* word) {
    for (int i = 0; i < count; ++i) {
        if (strcmp(rows[i].name, word) == 0) return &rows[i];
    }
    return nullptr;
}

const CmdRow* directiveFind(const char* word, int* used) {
    // Every line passes here first; most are not directives and stop at the prefix.
    if (strncmp(word, "QZ_SV_", 6) != 0) return nullptr;
    const CmdRow* row = cmdFindExact(kDirectiveTable, kDirectiveCount, word);
    if (row) {
        *used = slen(row->name);
        return row;
    }
    for (int i = 0; i < kDirectiveCount; ++i) {
        const char* name = kDirectiveTable[i].name;
        int n = slen(name);
        char last = name[n - 1];
        if ((last == '?' || last == '=') && strncmp(word, name, static_cast<size_t>(n)) == 0) {
            *used = n;
            return &kDirectiveTable[i];
        }
    }
    return nullptr;
}
