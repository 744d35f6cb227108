// The console commands for named WebTool administrators: qz_sv_AdminAdd NAME LEVEL KEY,
// qz_sv_AdminList and qz_sv_AdminDel NAME. They change "qzadmins.dat" (admins.h) one line at a
// time, keeping its comments and the lines they cannot parse (adminfile.h); the listener notices
// the change at the next login.
#include <cstring>

#include "commands/handlers.h"
#include "commands/table.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/text.h"
#include "webtool/adminfile.h"
#include "webtool/admins.h"
#include "webtool/screens.h"

namespace {

// Cuts the next blank-separated word off *p into out; false when there is none or it is too long.
bool takeWord(const char*& p, char* out, int size) {
    while (*p == ' ' || *p == '\t') p++;
    int n = 0;
    while (*p && *p != ' ' && *p != '\t') {
        if (n >= size - 1) return false;
        out[n++] = *p++;
    }
    out[n] = 0;
    while (*p == ' ' || *p == '\t') p++;
    return n > 0;
}

// The administrators as the file holds them now (the list the listener uses is reloaded too).
bool current(stQzSv* sv, stWebAdmin* list, int* count) {
    char why[256];
    *count = 0;
    web_admins_sync(sv);
    if (!sv->web.admins.seen) return true;  // no file yet
    if (!webAdminsRead(homePath(QZ_ADMINS_FILE), list, count, why, qz::cap(why))) {
        svMsg(sv, "Administrators not changed: %s", why);
        return false;
    }
    return true;
}

// Edits the file (adminfile.h) and has the listener take the change. False when it could not.
bool edit(stQzSv* sv, const char* name, const stWebAdmin* a, bool* found) {
    char why[256];
    if (!webAdminsEdit(homePath(QZ_ADMINS_FILE), name, a, found, why, qz::cap(why))) {
        svMsg(sv, "Administrators not changed: %s", why);
        return false;
    }
    web_admins_sync(sv);
    return true;
}

stWebAdmin g_list[WEB_ADMIN_MAX];

}  // namespace

void cmd_adminadd(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char name[WEB_ADMIN_NAME_MAX + 2], level[16];
    if (!takeWord(p, name, sizeof name) || !webAdminNameOk(name) ||
        !takeWord(p, level, sizeof level) || webLevelOf(level) == WEBL_NONE || !*p) {
        svMsg(sv,
              "Usage: qz_sv_AdminAdd NAME view|kick|ban|all KEY (NAME: 1 to 31 letters, "
              "digits, _ - .)");
        return;
    }
    const char* why = "";
    if (!webAdminKeyOk(p, &why)) {
        svMsg(sv, "Administrator not added: %s", why);
        return;
    }
    // One scrypt run: a one-off cost of this command, never paid by a request.
    stWebAdmin a;
    if (!webAdminMake(&a, name, webLevelOf(level), p)) {
        svMsg(sv, "Administrator not added: the key could not be hashed");
        return;
    }
    bool found = false;
    if (!edit(sv, name, &a, &found)) return;
    svMsg(sv, "WebTool administrator %s %s (level %s)", name, found ? "replaced" : "added",
          webLevelName(a.level));
}

void cmd_adminlist(stQzSv* sv, const CmdCall&) {
    int count = 0;
    if (!current(sv, g_list, &count)) return;
    svCon(sv, "WebTool administrators (%s):", QZ_ADMINS_FILE);
    for (int i = 0; i < count; ++i)
        svCon(sv, "%d %s %s", i + 1, g_list[i].name, webLevelName(g_list[i].level));
    svCon(sv, "End of Administrator List (%d Entr%s)", count, count == 1 ? "y" : "ies");
}

void cmd_admindel(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char name[WEB_ADMIN_NAME_MAX + 2];
    if (!takeWord(p, name, sizeof name)) {
        svMsg(sv, "Usage: qz_sv_AdminDel NAME");
        return;
    }
    bool found = false;
    if (!edit(sv, name, nullptr, &found)) return;
    if (!found) {
        svMsg(sv, "No WebTool administrator named %s", name);
        return;
    }
    svMsg(sv, "WebTool administrator %s removed; his logins are ended", name);
}
