// Declarations of every command and directive handler named in the command tables. A handler is
// named after its command: cmd_<name without "qz_sv_", lower case>, dir_<directive> for the
// host's "QZ_SV_" directives. Handlers still answered by commands/pending.cpp are declared here
// too, so that moving one to its subsystem changes no other file.
#pragma once

#include "commands/table.h"

// Module life cycle (host/lifecycle.cpp).
void cmd_enable(stQzSv* sv, const CmdCall& call);
void cmd_disable(stQzSv* sv, const CmdCall& call);
void cmd_ver(stQzSv* sv, const CmdCall& call);
void cmd_restart(stQzSv* sv, const CmdCall& call);
void cmd_homepath(stQzSv* sv, const CmdCall& call);
void cmd_writepath(stQzSv* sv, const CmdCall& call);
void dir_setsvver(stQzSv* sv, const CmdCall& call);
void dir_setclver(stQzSv* sv, const CmdCall& call);
void dir_setagver(stQzSv* sv, const CmdCall& call);
// The check of the module's own program files (host/selfcheck.cpp).
void cmd_filecheck(stQzSv* sv, const CmdCall& call);

// Command language (commands/help.cpp, commands/directives.cpp, commands/config.cpp).
void cmd_help(stQzSv* sv, const CmdCall& call);
void cmd_enablekicks(stQzSv* sv, const CmdCall& call);
void cmd_load(stQzSv* sv, const CmdCall& call);
void cmd_writecfg(stQzSv* sv, const CmdCall& call);
void cmd_loadlock(stQzSv* sv, const CmdCall& call);
void dir_reserve(stQzSv* sv, const CmdCall& call);
void dir_resolve(stQzSv* sv, const CmdCall& call);

// Players, bans, names, power, tasks, cvar checks (src/players).
void cmd_plist(stQzSv* sv, const CmdCall& call);
void cmd_banlist(stQzSv* sv, const CmdCall& call);
void cmd_ban(stQzSv* sv, const CmdCall& call);
void cmd_kick(stQzSv* sv, const CmdCall& call);
void cmd_badname(stQzSv* sv, const CmdCall& call);
void cmd_badnamelist(stQzSv* sv, const CmdCall& call);
void cmd_badnamedel(stQzSv* sv, const CmdCall& call);
void cmd_cvarlist(stQzSv* sv, const CmdCall& call);
void cmd_cvarval(stQzSv* sv, const CmdCall& call);
void cmd_cvar(stQzSv* sv, const CmdCall& call);
void cmd_bindsrch(stQzSv* sv, const CmdCall& call);
void cmd_cvarsrch(stQzSv* sv, const CmdCall& call);
void cmd_cvaruser(stQzSv* sv, const CmdCall& call);
void cmd_cvarchanged(stQzSv* sv, const CmdCall& call);
void cmd_banempty(stQzSv* sv, const CmdCall& call);
void cmd_banload(stQzSv* sv, const CmdCall& call);
void cmd_unban(stQzSv* sv, const CmdCall& call);
void cmd_reban(stQzSv* sv, const CmdCall& call);
void cmd_updbanfile(stQzSv* sv, const CmdCall& call);
void cmd_cvarempty(stQzSv* sv, const CmdCall& call);
void cmd_cvardel(stQzSv* sv, const CmdCall& call);
void cmd_power(stQzSv* sv, const CmdCall& call);
void cmd_banguid(stQzSv* sv, const CmdCall& call);
void cmd_unbanguid(stQzSv* sv, const CmdCall& call);
void cmd_powerlist(stQzSv* sv, const CmdCall& call);
void cmd_powerpoints(stQzSv* sv, const CmdCall& call);
void cmd_statlist(stQzSv* sv, const CmdCall& call);
void cmd_banmask(stQzSv* sv, const CmdCall& call);
void cmd_task(stQzSv* sv, const CmdCall& call);
void cmd_tlist(stQzSv* sv, const CmdCall& call);
void cmd_taskdel(stQzSv* sv, const CmdCall& call);
void cmd_taskempty(stQzSv* sv, const CmdCall& call);
void cmd_rcon(stQzSv* sv, const CmdCall& call);
void cmd_rlist(stQzSv* sv, const CmdCall& call);
void cmd_powerguid(stQzSv* sv, const CmdCall& call);
void cmd_badnameempty(stQzSv* sv, const CmdCall& call);
void cmd_protectname(stQzSv* sv, const CmdCall& call);
void cmd_protecttag(stQzSv* sv, const CmdCall& call);
void cmd_namelock(stQzSv* sv, const CmdCall& call);
void cmd_register(stQzSv* sv, const CmdCall& call);
void cmd_namelocklist(stQzSv* sv, const CmdCall& call);
void cmd_namelockempty(stQzSv* sv, const CmdCall& call);
void cmd_alist(stQzSv* sv, const CmdCall& call);
void cmd_aliasload(stQzSv* sv, const CmdCall& call);
void cmd_aliaswrite(stQzSv* sv, const CmdCall& call);
void cmd_say(stQzSv* sv, const CmdCall& call);
void cmd_ipguard(stQzSv* sv, const CmdCall& call);
void cmd_banname(stQzSv* sv, const CmdCall& call);
void cmd_exttool(stQzSv* sv, const CmdCall& call);
void dir_init(stQzSv* sv, const CmdCall& call);
void dir_addclient(stQzSv* sv, const CmdCall& call);
void dir_statappend(stQzSv* sv, const CmdCall& call);
void dir_statload(stQzSv* sv, const CmdCall& call);
void dir_statwrite(stQzSv* sv, const CmdCall& call);
void dir_bindq(stQzSv* sv, const CmdCall& call);
void dir_cvarq(stQzSv* sv, const CmdCall& call);
void dir_cvareq(stQzSv* sv, const CmdCall& call);
void dir_gameevent(stQzSv* sv, const CmdCall& call);

// Screenshots and logs (src/media).
void cmd_getss(stQzSv* sv, const CmdCall& call);
void cmd_newlog(stQzSv* sv, const CmdCall& call);
void cmd_suspendlogging(stQzSv* sv, const CmdCall& call);
void cmd_flushlogging(stQzSv* sv, const CmdCall& call);
void cmd_diaglog(stQzSv* sv, const CmdCall& call);
// Fleet bans (remote/fleet_cmds.cpp).
void cmd_fleetscope(stQzSv* sv, const CmdCall& call);
void cmd_fleetstatus(stQzSv* sv, const CmdCall& call);
void cmd_fleetservice(stQzSv* sv, const CmdCall& call);
void cmd_fleetserver(stQzSv* sv, const CmdCall& call);
void cmd_fleetbandefault(stQzSv* sv, const CmdCall& call);
void cmd_fleetvoteban(stQzSv* sv, const CmdCall& call);

// Updates, file checks and UCON (src/remote).
void cmd_update(stQzSv* sv, const CmdCall& call);
void cmd_uconadd(stQzSv* sv, const CmdCall& call);
void cmd_uconlist(stQzSv* sv, const CmdCall& call);
void cmd_ucondel(stQzSv* sv, const CmdCall& call);
void cmd_uconempty(stQzSv* sv, const CmdCall& call);
void cmd_usessionlist(stQzSv* sv, const CmdCall& call);
void cmd_uconignore(stQzSv* sv, const CmdCall& call);
void cmd_uconignorelist(stQzSv* sv, const CmdCall& call);
void cmd_uconignoredel(stQzSv* sv, const CmdCall& call);
void cmd_uconignoreempty(stQzSv* sv, const CmdCall& call);
void cmd_md5tool(stQzSv* sv, const CmdCall& call);
void cmd_md5toollist(stQzSv* sv, const CmdCall& call);
void cmd_md5tooldel(stQzSv* sv, const CmdCall& call);
void cmd_md5toolempty(stQzSv* sv, const CmdCall& call);

// Audit log and named WebTool administrators (src/media/auditcmd.cpp, src/webtool/admincmds.cpp).
void cmd_auditshow(stQzSv* sv, const CmdCall& call);
void cmd_adminadd(stQzSv* sv, const CmdCall& call);
void cmd_adminlist(stQzSv* sv, const CmdCall& call);
void cmd_admindel(stQzSv* sv, const CmdCall& call);
