// The commands and directives whose subsystem is not built yet. Each answers one line naming
// itself, "<name> is not available yet", so that every row of the command tables reaches a
// handler. The subsystem that builds one deletes its line from QZ_PENDING below and defines the
// handler in its own file; the list only ever shrinks.
#include "commands/pending.h"

#include "commands/handlers.h"
#include "host/bridge.h"

// handler, name as in the command tables
#define QZ_PENDING(X)                               \
    X(cmd_badname, "qz_sv_BadName")                 \
    X(cmd_badnamelist, "qz_sv_BadNameList")         \
    X(cmd_badnamedel, "qz_sv_BadNameDel")           \
    X(cmd_cvarlist, "qz_sv_CvarList")               \
    X(cmd_cvarval, "qz_sv_CvarVal")                 \
    X(cmd_cvar, "qz_sv_Cvar")                       \
    X(cmd_bindsrch, "qz_sv_BindSrch")               \
    X(cmd_cvarsrch, "qz_sv_CvarSrch")               \
    X(cmd_cvaruser, "qz_sv_CvarUser")               \
    X(cmd_cvarchanged, "qz_sv_CvarChanged")         \
    X(cmd_cvarempty, "qz_sv_CvarEmpty")             \
    X(cmd_cvardel, "qz_sv_CvarDel")                 \
    X(cmd_badnameempty, "qz_sv_BadNameEmpty")       \
    X(cmd_protectname, "qz_sv_ProtectName")         \
    X(cmd_protecttag, "qz_sv_ProtectTag")           \
    X(cmd_namelock, "qz_sv_NameLock")               \
    X(cmd_namelocklist, "qz_sv_NameLockList")       \
    X(cmd_namelockempty, "qz_sv_NameLockEmpty")     \
    X(cmd_alist, "qz_sv_AList")                     \
    X(cmd_aliasload, "qz_sv_AliasLoad")             \
    X(cmd_aliaswrite, "qz_sv_AliasWrite")           \
    X(cmd_uconadd, "qz_sv_UconAdd")                 \
    X(cmd_uconlist, "qz_sv_UconList")               \
    X(cmd_ucondel, "qz_sv_UconDel")                 \
    X(cmd_uconempty, "qz_sv_UconEmpty")             \
    X(cmd_usessionlist, "qz_sv_USessionList")       \
    X(cmd_uconignore, "qz_sv_UconIgnore")           \
    X(cmd_uconignorelist, "qz_sv_UconIgnoreList")   \
    X(cmd_uconignoredel, "qz_sv_UconIgnoreDel")     \
    X(cmd_uconignoreempty, "qz_sv_UconIgnoreEmpty") \
    X(dir_bindq, "QZ_SV_BIND?")                     \
    X(dir_cvarq, "QZ_SV_CVAR?")                     \
    X(dir_cvareq, "QZ_SV_CVAR=")

namespace {

void notYet(stQzSv* sv, const char* name) { svMsg(sv, "%s is not available yet", name); }

}  // namespace

#define QZ_PENDING_HANDLER(fn, name) \
    void fn(stQzSv* sv, const CmdCall&) { notYet(sv, name); }
QZ_PENDING(QZ_PENDING_HANDLER)
#undef QZ_PENDING_HANDLER

#define QZ_PENDING_NAME(fn, name) name,
const char* const kPendingCommands[] = {QZ_PENDING(QZ_PENDING_NAME) nullptr};
#undef QZ_PENDING_NAME
const int kPendingCount = sizeof kPendingCommands / sizeof kPendingCommands[0] - 1;
