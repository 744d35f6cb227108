// Acting on one player: resolving the player argument of a command, the kick and ban routines
// shared by the console, the WebTool and the tool reports, the removal step, admin messages and
// forced team changes.
#include "players/kick.h"

#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "players/bans.h"
#include "players/slots.h"
#include "util/files.h"
#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Takes the next word of p (a double-quoted text may hold blanks) into out; p moves past it.
void nextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = 0;
    if (*p == '"') {
        p++;
        while (*p && *p != '"') {
            if (n < size - 1) out[n++] = *p;
            p++;
        }
        if (*p == '"') p++;
    } else {
        while (*p && !isBlank(*p)) {
            if (n < size - 1) out[n++] = *p;
            p++;
        }
    }
    out[n] = 0;
}

bool isNumber(const char* text) {
    const char* p = text + (*text == '-');
    if (!*p || slen(p) > 6) return false;
    for (; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// Copies text without leading and trailing blanks.
void trimmed(char* out, int size, const char* text, int n) {
    while (n > 0 && isBlank(*text)) text++, n--;
    while (n > 0 && isBlank(text[n - 1])) n--;
    trcpyz(out, text, n < size - 1 ? n : size - 1);
}

// A value of a record body: quotes become apostrophes and control bytes blanks, so that the
// record always reads back as written; an empty value is "?".
void clean(char* out, int size, const char* text) {
    int n = 0;
    for (const char* p = text ? text : ""; *p && n < size - 1; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        out[n++] = c == '"' ? '\'' : (c < 32 || c == 127) ? ' ' : static_cast<char>(c);
    }
    out[n] = 0;
    char copy[QZ_BAN_BODY_MAX + 1];
    trimmed(copy, qz::cap(copy), out, n);
    trcpyz(out, copy[0] ? copy : "?", size - 1);
}

// The reason as the player and the log see it (the public part, before "|") and as the list
// keeps it (whole).
struct Reason {
    char shown[QZ_BAN_BODY_MAX + 1];
    char whole[QZ_BAN_BODY_MAX + 1];
};

void splitReason(const char* reason, bool admin, Reason* r) {
    const char* text = reason ? reason : "";
    const char* bar = strchr(text, '|');
    trimmed(r->shown, qz::cap(r->shown), text, bar ? static_cast<int>(bar - text) : slen(text));
    trimmed(r->whole, qz::cap(r->whole), text, slen(text));
    if (admin) {
        QZ_TRACAT(r->shown, r->shown[0] ? " [Admin Decision]" : "[Admin Decision]");
        QZ_TRACAT(r->whole, r->whole[0] ? " [Admin Decision]" : "[Admin Decision]");
    }
}

}  // namespace

void banBuildBody(char* out, int size, const char* first, const char* second, const char* rest) {
    char a[128], b[128], c[QZ_BAN_BODY_MAX + 1];
    clean(a, qz::cap(a), first);
    clean(b, qz::cap(b), second);
    clean(c, qz::cap(c), rest);
    trf(out, size < QZ_BAN_BODY_MAX + 1 ? size : QZ_BAN_BODY_MAX + 1, "\"%s\" \"%s\" %s", a, b, c);
}

int plMatchAll(stQzSv* sv, const char* text, int* slots, int max) {
    int n = 0;
    for (int slot = 1; slot <= QZ_SLOTS && n < max; ++slot) {
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c) continue;
        char plain[32];
        QZ_COPY(plain, noColor(c->name));
        if (svFindNoCase(plain, text)) slots[n++] = slot;
    }
    return n;
}

// A text that matches several players is refused: a kick or a ban must never hit a player the
// administrator did not mean.
int plResolve(stQzSv* sv, const char* arg) {
    const char* text = arg ? arg : "";
    bool digits = *text != 0;
    for (const char* p = text; *p; ++p) digits = digits && *p >= '0' && *p <= '9';
    if (digits) {
        int slot = slen(text) <= 3 ? atoi(text) : 0;
        if (plPlayer(sv, slot)) return slot;
        svMsg(sv, "Invalid Player Specified: %s", text);
        return 0;
    }
    int found[QZ_SLOTS];
    int n = *text ? plMatchAll(sv, text, found, QZ_SLOTS) : 0;
    if (n == 0) {
        svMsg(sv, "Invalid Player Specified: %s", text);
        return 0;
    }
    if (n > 1) {
        svMsg(sv, "Several Players Matched: %s (%d players) - use the slot number", text, n);
        return 0;
    }
    svMsg(sv, "Matched: %s (slot #%d)", plSlot(sv, found[0])->name, found[0]);
    return found[0];
}

bool plRemove(stQzSv* sv, int slot, int minutes, bool ban, const char* reason) {
    const char* why = reason ? reason : "";
    Qz_Sv_Client_s* c = plSlot(sv, slot);
    if (!c || !c->address[0]) {
        svMsg(
            sv,
            "Ignored Command to kick player in slot# %d (%s) ... Bad Slot/Missing IP Address (%s)",
            slot, c ? c->name : "", why);
        return false;
    }
    if ((plIsBot(c) && !svHostDropsBots(sv)) || plIsHostPlayer(c)) {
        svMsg(sv, "Ignored Command to kick player in slot# %d (%s) ... (%s)", slot, c->name, why);
        return false;
    }
    const char* plural = minutes == 1 ? "" : "s";
    char tell[1200];
    if (ban) {
        QZ_TRF(tell, "%cRemoving \"%s\" %s (%s)", QZ_MSG_PRINT, c->name, "from the server", why);
    } else {
        QZ_TRF(tell, "%cRemoving \"%s\" %s (%d minute%s) %s", QZ_MSG_PRINT, c->name,
               "from the server", minutes, plural, why);
    }
    plTellAll(sv, tell);
    int dropped =
        ban ? svHost(sv, "DropClient",
                     "%d Kestrine permanent ban issued on this Game Server for player "
                     "'%s'  ... %s",
                     slot, c->name, why)
            : svHost(sv, "DropClient", "%d Kestrine kicked player '%s' (for %d minute%s) ... %s",
                     slot, c->name, minutes, plural, why);
    svMsg(sv,
          dropped ? "Kick%s Command Issued (%s) for (slot#%d) %s %s %s"
                  : "Kick%s Command *NOT* Issued (%s) for (slot#%d) %s %s %s",
          ban ? "/Ban" : "", why, slot, c->name, plGuidText(c), c->address);
    // The host does not report a drop the module asked for.
    if (dropped) plRelease(sv, slot);
    return dropped != 0;
}

bool plKick(stQzSv* sv, const char* player, int minutes, const char* reason, int flag) {
    int slot = plResolve(sv, player);
    if (!slot) return false;
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (minutes < 0) minutes = sv->set.kickLen;
    const char* plural = minutes == 1 ? "" : "s";
    if (plIsHostPlayer(c)) {
        svSendClient(sv, slot, "%cKicking Disabled for Server Host Players \"%s\" (%d minute%s)",
                     QZ_MSG_PRINT, c->name, minutes, plural);
        svMsg(sv, "Kick Command Ignored (Server Host) for %d %s", slot, c->name);
        return false;
    }
    Reason r;
    splitReason(reason, flag == 0, &r);
    char body[QZ_BAN_BODY_MAX + 1];
    banBuildBody(body, qz::cap(body), c->name, c->address, r.whole);
    if (!banAdd(sv, QZ_BAN_KICK, plGuidText(c), body, minutes)) {
        svMsg(sv, "Kick/Banlist 'Add' failed for (slot #%d) %s", slot, c->name);
    }
    if (flag != 1) return plRemove(sv, slot, minutes, false, r.shown);
    // A kick by the module's own rules (names, violations, tool reports) has nobody else to
    // record it: it is recorded here, with the player as he was before his removal.
    char name[sizeof c->name], guid[33], addr[sizeof c->address];
    QZ_COPY(name, c->name);
    QZ_COPY(guid, plGuidText(c));
    QZ_COPY(addr, c->address);
    bool done = plRemove(sv, slot, minutes, false, r.shown);
    QzOrigin origin = qzOrigin(QZ_ORIGIN_MODULE, 0, nullptr, nullptr, nullptr);
    QzOriginScope scope(sv, &origin);
    QzAuditTarget t{slot, name, guid, addr};
    auditWrite(sv, "rule-kick", &t, r.whole, done ? QZ_AUDIT_DONE : QZ_AUDIT_FAILED, nullptr);
    return done;
}

namespace {

// A ban's common part once its entry is made: the ban file, the announcement and the removal.
// True when the entry was stored in the list and the file and the player was removed.
bool storeAndRemove(stQzSv* sv, const char* banFile, int slot, int banSlot, const Reason& r) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    bool stored = banSlot && banFileAppend(sv, banFile, banSlot);
    if (!stored) svMsg(sv, "Ban Failed for (slot #%d) %s", slot, c->name);
    char tell[1200];
    QZ_TRF(tell, "%cBanning \"%s\" %s [Admin Decision]", QZ_MSG_PRINT, c->name, r.shown);
    plTellAll(sv, tell);
    char shown[QZ_BAN_BODY_MAX + 1];
    QZ_TRF(shown, "%s%s[Admin Decision]", r.shown, r.shown[0] ? " " : "");
    bool removed = plRemove(sv, slot, 0, true, shown);
    return stored && removed;
}

// True (after its lines) when c is a server host player, whom no ban reaches.
bool hostRefusesBan(stQzSv* sv, int slot, const Qz_Sv_Client_s* c) {
    if (!plIsHostPlayer(c)) return false;
    svSendClient(sv, slot, "%cBanning Disabled for Server Host Players \"%s\"", QZ_MSG_PRINT,
                 c->name);
    svMsg(sv, "Ban Command Ignored (Server Host) for %d %s", slot, c->name);
    return true;
}

}  // namespace

bool plBan(stQzSv* sv, const char* banFile, const char* player, const char* reason) {
    int slot = plResolve(sv, player);
    if (!slot) return false;
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!plGuidValid(c->guid)) {
        svMsg(sv, "Player Specified (%s) has Invalid QZ GUID: \"%s\"", player, plGuidText(c));
        return false;
    }
    if (hostRefusesBan(sv, slot, c)) return false;
    Reason r;
    splitReason(reason, false, &r);
    char body[QZ_BAN_BODY_MAX + 1];
    banBuildBody(body, qz::cap(body), c->name, c->address, r.whole);
    int banSlot = banAdd(sv, QZ_BAN_GUID, c->guid, body, 0);
    // A fleet-wide ban is in the report queue before anything is answered.
    fleetBanAdded(sv, banSlot, c->guid, c->name, c->address);
    return storeAndRemove(sv, banFile, slot, banSlot, r);
}

bool plBanAddress(stQzSv* sv, const char* banFile, int slot, const char* reason) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return false;
    if (hostRefusesBan(sv, slot, c)) return false;
    char ip[32];
    int n = 0;
    while (c->address[n] && c->address[n] != ':' && n < static_cast<int>(sizeof ip) - 1) n++;
    trcpyz(ip, c->address, n);
    stMaskRule rule;
    if (!maskParse(ip, &rule)) {
        svMsg(sv, "Player Specified (%d) has no address to ban: \"%s\"", slot, c->address);
        return false;
    }
    Reason r;
    splitReason(reason, false, &r);
    char body[QZ_BAN_BODY_MAX + 1];
    banBuildBody(body, qz::cap(body), ip, "?", r.whole);
    return storeAndRemove(sv, banFile, slot, banAdd(sv, QZ_BAN_MASK, "MASK", body, 0), r);
}

void plForceTeam(stQzSv* sv, int slot, int team) {
    svMsg(sv, "Attempting to force slot#%d to team#%d", slot, team);
    svHost(sv, "Cmd_Exec", "cmd_forceteam %d %d", slot, team);
}

void plForceSpec(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    svMsg(sv, "Forcing Player to Spec Mode (slot# %d) %s %s", slot, c->name, plGuidText(c));
    svSendClient(sv, slot, "%cSpectator mode forced until your QZ Version updates", QZ_MSG_PRINT);
    svHost(sv, "Cmd_Exec", "forceteam %d spectator", slot);
}

// qz_sv_Kick [slot # /name] [minutes] [reason | private]
void cmd_kick(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char player[64], word[16];
    nextWord(p, player, qz::cap(player));
    const char* afterPlayer = p;
    nextWord(p, word, qz::cap(word));
    int minutes = -1;
    if (isNumber(word)) {
        minutes = atoi(word);
    } else {
        p = afterPlayer;
    }
    while (isBlank(*p)) p++;
    plKick(sv, player, minutes < 0 ? -1 : minutes, p, 0);
}

// qz_sv_Ban [slot # /name] [reason | private]
void cmd_ban(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char player[64];
    nextWord(p, player, qz::cap(player));
    while (isBlank(*p)) p++;
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath("qzbans.dat"));
    fleetBanOrigin(sv, call.source);
    plBan(sv, path, player, p);
}

// qz_sv_Say [player slot#] [text]
void cmd_say(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char player[64];
    nextWord(p, player, qz::cap(player));
    while (isBlank(*p)) p++;
    int slot = plResolve(sv, player);
    if (!slot) return;
    svSendClient(sv, slot, "%c^3ADMIN: %s", QZ_MSG_PRINT, p);
    svMsg(sv, "Message sent to (slot #%d) %s", slot, plSlot(sv, slot)->name);
}
