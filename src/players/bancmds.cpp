// The commands of the kick/ban list: listing, adding GUID, mask and name bans, emptying,
// loading, unbanning and rebanning, and bringing the ban file in line with the list.
#include <cstdlib>
#include <cstring>

#include "commands/config.h"
#include "commands/handlers.h"
#include "commands/jobs.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/bans.h"
#include "players/kick.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr const char* kDefaultFile = "qzbans.dat";
constexpr const char* kHint = " - qz_sv_UpdBanFile can be used to update the ban file(s)";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void nextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = 0;
    bool q = *p == '"';
    if (q) p++;
    while (*p && (q ? *p != '"' : !isBlank(*p))) {
        if (n < size - 1) out[n++] = *p;
        p++;
    }
    if (q && *p == '"') p++;
    out[n] = 0;
    while (isBlank(*p)) p++;
}

// Checks a file argument (empty: the default file) and forms its path; false after reporting.
bool banPath(stQzSv* sv, const char* command, const char* args, char* path, int size) {
    char name[QZ_CFG_NAME_MAX];
    cmdFileArg(args, name, qz::cap(name));
    if (!name[0]) QZ_COPY(name, kDefaultFile);
    if (!cmdFileNameOk(sv, command, name)) return false;
    trcpyz(path, homePath(name), size - 1);
    return true;
}

void updateFile(stQzSv* sv, const char* path, bool quiet) {
    int missing = 0;
    int n = banUpdateFile(sv, path, &missing);
    if (n < 0) {
        svMsg(sv, "File Write Error encountered while Updating %s", path);
        return;
    }
    if (!quiet) svMsg(sv, "%d Ban Record%s Updated in %s", n, n == 1 ? "" : "s", path);
    if (missing) {
        svMsg(sv, "%d Ban Record%s no longer in place in %s: not updated", missing,
              missing == 1 ? "" : "s", path);
    }
}

// The unban hint rule: with qz_sv_AutoUpdBan the default file follows at once.
const char* afterChange(stQzSv* sv) {
    if (!sv->set.autoUpdBan) return kHint;
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(kDefaultFile));
    updateFile(sv, path, true);
    return "";
}

// Adds an entry and appends it to the default ban file, with the two outcome lines. Returns the
// ban slot number of the entry in the list (0 none).
int addAndWrite(stQzSv* sv, int kind, const char* key, const char* body) {
    int banSlot = banAdd(sv, kind, key, body, 0);
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(kDefaultFile));
    if (banSlot && banFileAppend(sv, path, banSlot)) {
        svMsg(sv, "Ban Added to Ban List");
        return banSlot;
    }
    if (banSlot)
        svMsg(sv, "Ban File Write Error: %s (the ban holds until the list is emptied)", path);
    svMsg(sv, "Ban Failed");
    return banSlot;
}

}  // namespace

// Prints the first part of the listing; the rest follows in the next frames (banListFrame).
void cmd_banlist(stQzSv* sv, const CmdCall& call) {
    char search[128];
    const char* p = call.args;
    nextWord(p, search, qz::cap(search));
    banListStart(sv, search);
}

// qz_sv_BanGuid [guid] [name] [ip] [reason]
void cmd_banguid(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char guid[64], name[64], ip[64];
    nextWord(p, guid, qz::cap(guid));
    nextWord(p, name, qz::cap(name));
    nextWord(p, ip, qz::cap(ip));
    if (!plGuidValid(guid)) {
        svMsg(sv, "Invalid GUID (32 hexadecimal digits expected): %s", guid);
        svMsg(sv, "Ban Failed");
        return;
    }
    char body[QZ_BAN_BODY_MAX + 1];
    banBuildBody(body, qz::cap(body), name, ip, p);
    fleetBanOrigin(sv, call.source);
    fleetBanAdded(sv, addAndWrite(sv, QZ_BAN_GUID, guid, body), guid, name, ip);
}

// qz_sv_BanMask [mask] [optional name/reason]
void cmd_banmask(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char mask[128];
    nextWord(p, mask, qz::cap(mask));
    if (!mask[0]) {
        svMsg(sv, "Empty BanMask Not Accepted");
        return;
    }
    stMaskRule rule;
    if (!maskParse(mask, &rule)) {
        svMsg(sv, "Invalid BanMask: %s (a.b.c.d, each part a number, lo-hi or *, optional :port)",
              mask);
        svMsg(sv, "Ban Failed");
        return;
    }
    char body[QZ_BAN_BODY_MAX + 1];
    banBuildBody(body, qz::cap(body), mask, "?", p);
    addAndWrite(sv, QZ_BAN_MASK, "MASK", body);
}

// qz_sv_banname [name]: the rest of the line, quotes around it removed.
void cmd_banname(stQzSv* sv, const CmdCall& call) {
    char name[64];
    const char* p = call.args;
    while (isBlank(*p)) p++;
    if (*p == '"') {
        nextWord(p, name, qz::cap(name));
    } else {
        QZ_COPY(name, p);
    }
    char folded[32];
    banFoldName(name, folded);
    if (!folded[0]) {
        svMsg(sv, "Empty BanName Not Accepted");
        return;
    }
    char body[QZ_BAN_BODY_MAX + 1];
    banBuildBody(body, qz::cap(body), name, "?", "?");
    addAndWrite(sv, QZ_BAN_NAME, "NAME", body);
}

// Emptying the list ends a load in progress: what it read so far goes with the list.
void cmd_banempty(stQzSv* sv, const CmdCall&) {
    banLoadStop(sv, true);
    banFree(sv);
    svMsg(sv, "Ban List (in Memory) has been Emptied");
}

void cmd_banload(stQzSv* sv, const CmdCall& call) {
    char path[QZ_PATH_MAX];
    if (!banPath(sv, "qz_sv_BanLoad", call.args, path, qz::cap(path))) return;
    // The file is read a slice per frame call (the first one now); the count line comes when
    // it is all read. A load asked for while one runs follows it.
    if (banLoadBegin(sv, path, false) && banLoadRunning(sv)) banLoadStep(sv, QZ_JOB_SLICE_US);
}

void cmd_unban(stQzSv* sv, const CmdCall& call) {
    if (banReloading(sv, true)) return;
    int banSlot = atoi(call.args);
    stBanEntry* e = banEntry(sv, banSlot);
    if (!e) {
        svMsg(sv, "Invalid Ban Slot Specified: %d", banSlot);
        return;
    }
    if (e->unbanned) {
        svMsg(sv, "Ban Slot #%d was already Unbanned", banSlot);
        return;
    }
    banSetUnbanned(sv, e, true);
    svMsg(sv, "Ban Slot #%d has been Unbanned%s", banSlot, afterChange(sv));
    if (e->kind == QZ_BAN_GUID || e->kind == QZ_BAN_KICK) fleetUnbanned(sv, e->key, banSlot);
}

void cmd_reban(stQzSv* sv, const CmdCall& call) {
    if (banReloading(sv, true)) return;
    int banSlot = atoi(call.args);
    stBanEntry* e = banEntry(sv, banSlot);
    if (!e) {
        svMsg(sv, "Invalid Ban Slot Specified: %d", banSlot);
        return;
    }
    if (!e->unbanned) {
        svMsg(sv, "Ban Slot #%d was not Unbanned", banSlot);
        return;
    }
    banSetUnbanned(sv, e, false);
    svMsg(sv, "Ban Slot #%d has been Rebanned%s", banSlot, afterChange(sv));
}

void cmd_unbanguid(stQzSv* sv, const CmdCall& call) {
    if (banReloading(sv, true)) return;
    char guid[64];
    const char* p = call.args;
    nextWord(p, guid, qz::cap(guid));
    if (!banUnbanGuid(sv, guid)) {
        svMsg(sv, "Guid=%s Not Found in the Ban List", guid);
        // Another server's fleet ban is in no list here, and is lifted all the same.
        fleetUnbanned(sv, guid, 0);
        return;
    }
    svMsg(sv, "Guid %s has been Unbanned%s", guid, afterChange(sv));
    fleetUnbanned(sv, guid, 0);
}

void cmd_updbanfile(stQzSv* sv, const CmdCall& call) {
    char path[QZ_PATH_MAX];
    if (!banPath(sv, "qz_sv_UpdBanFile", call.args, path, qz::cap(path))) return;
    updateFile(sv, path, false);
}
