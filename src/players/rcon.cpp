// Rcon masks: the game commands a player with enough power may run from his game, the rcon file
// qzrcon.dat, and the IP guard and LAN address masks. A player's command is outside text: it
// runs only when it is one plain command that a mask allows, and a module command only when a
// mask names it in full.
#include <cstdio>
#include <cstring>

#include "commands/dispatch.h"
#include "commands/secrets.h"
#include "commands/handlers.h"
#include "commands/settings.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/bans.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr const char* kRconFile = "qzrcon.dat";
// One masked command a second per player; more are refused unlogged.
constexpr unsigned kRconSpacingMs = 1000;

stSvRcon* rconAt(stQzSv* sv, int slot) {
    return static_cast<stSvRcon*>(flexarAt(&sv->pw.rcons, slot - 1));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Glob match without regard to case: "*" matches any run of characters (none included).
bool glob(const char* m, const char* t) {
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*t) {
        if (*m == '*') {
            star = ++m;
            resume = t;
        } else if (*m && lowerCh(*m) == lowerCh(*t)) {
            m++;
            t++;
        } else if (star) {
            m = star;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (*m == '*') m++;
    return *m == 0;
}

// The first word of text, cut to size.
void firstWord(const char* text, char* out, int size) {
    while (isBlank(*text)) text++;
    int n = 0;
    while (text[n] && !isBlank(text[n]) && n < size - 1) {
        out[n] = text[n];
        n++;
    }
    out[n] = 0;
}

bool maskTextOk(const char* mask) {
    return mask[0] && rconCommandClean(mask) && slen(mask) < QZ_RCON_MASK;
}

}  // namespace

bool rconCommandClean(const char* cmd) {
    int n = 0;
    for (; cmd[n]; ++n) {
        unsigned char c = static_cast<unsigned char>(cmd[n]);
        if (n >= QZ_RCON_CMD || c < 32 || c == 127 || c == ';' || c == '"' || c == '\\')
            return false;
    }
    return n > 0;
}

bool rconMaskAllows(const char* mask, const char* cmd) {
    char word[64];
    firstWord(cmd, word, qz::cap(word));
    if (!word[0]) return false;
    // The module's own words: the mask must name the command itself, no pattern reaches one.
    if (trncasecmp(word, "qz_sv_", 6) == 0 && slen(word) >= 6) {
        char maskWord[64];
        firstWord(mask, maskWord, qz::cap(maskWord));
        if (strchr(maskWord, '*') || trcasecmp(maskWord, word) != 0) return false;
    }
    while (isBlank(*cmd)) cmd++;
    return glob(mask, cmd);
}

int rconSet(stQzSv* sv, long minPower, const char* mask, bool* updated) {
    *updated = false;
    if (!maskTextOk(mask)) return 0;
    for (int slot = 1; slot <= sv->pw.rcons.count; ++slot) {
        stSvRcon* r = rconAt(sv, slot);
        if (trcasecmp(r->mask, mask) == 0) {
            r->minPower = minPower;
            *updated = true;
            return slot;
        }
    }
    stSvRcon r;
    memset(&r, 0, sizeof r);
    r.minPower = minPower;
    QZ_COPY(r.mask, mask);
    if (!flexarAppend(&sv->pw.rcons, &r)) return 0;
    return sv->pw.rcons.count;
}

bool rconParseLine(const char* line, long* minPower, char* mask, int size) {
    const char* p = line;
    if (*p == '[') {
        const char* end = strchr(p, ']');
        if (!end || end - p > 24 || end[1] != ' ') return false;
        p = end + 2;
    }
    char num[16];
    int n = 0;
    while (*p && *p != ' ' && n < 15) num[n++] = *p++;
    num[n] = 0;
    if (*p != ' ' || !pwParseLong(num, QZ_POWER_MIN, QZ_POWER_MAX, minPower)) return false;
    p++;
    int m = 0;
    while (p[m] && p[m] != '\r' && p[m] != '\n') m++;
    const char* e = p + m;
    if (*e == '\r') e++;
    if (*e == '\n') e++;
    if (*e) return false;
    if (m >= size || m >= QZ_RCON_MASK) return false;
    trcpyz(mask, p, m);
    return maskTextOk(mask);
}

int rconLoadFile(stQzSv* sv, const char* path, int* damaged) {
    *damaged = 0;
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    int taken = 0, lineNo = 0;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        lineNo++;
        int n = slen(line);
        if (n > 0 && line[n - 1] != '\n' && !feof(f)) {
            int ch;
            while ((ch = fgetc(f)) != EOF && ch != '\n') {
            }
            (*damaged)++;
            svCon(sv, "Damaged line %d in %s skipped", lineNo, path);
            continue;
        }
        if (!line[0] || line[0] == '\r' || line[0] == '\n') continue;
        long minPower = 0;
        char mask[QZ_RCON_MASK];
        if (!rconParseLine(line, &minPower, mask, qz::cap(mask))) {
            (*damaged)++;
            svCon(sv, "Damaged line %d in %s skipped", lineNo, path);
            continue;
        }
        bool updated = false;
        if (!rconSet(sv, minPower, mask, &updated)) {
            svMsg(sv, "Rcon Record NOT Added successfully");
            continue;
        }
        taken++;
        svCon(sv, updated ? "Rcon Record Updated for %s" : "Rcon Record Added for %s", mask);
    }
    fclose(f);
    return taken;
}

void rconReload(stQzSv* sv) {
    sv->pw.rcons.count = 0;
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(kRconFile));
    int damaged = 0;
    int n = rconLoadFile(sv, path, &damaged);
    svMsg(sv, "%d QZ Rcon Filter%s loaded from %s", n, n == 1 ? "" : "s", path);
    if (damaged)
        svMsg(sv, "%d damaged line%s skipped in %s", damaged, damaged == 1 ? "" : "s", path);
}

void settingRconReload(stQzSv* sv, const SettingRow*) {
    if (!sv->set.rconReload) return;
    sv->set.rconReload = 0;
    rconReload(sv);
}

// The announcement carries the player's name inside a game command, so it is cleaned first.
void rconRun(stQzSv* sv, int slot, const char* args) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    stPower& p = sv->pw;
    unsigned now = GetTickCount();
    if (p.rconSeq[slot - 1] == c->seq &&
        static_cast<unsigned>(tickElapsed(now, p.rconTick[slot - 1])) < kRconSpacingMs)
        return;
    p.rconSeq[slot - 1] = c->seq;
    p.rconTick[slot - 1] = now;

    char cmd[QZ_RCON_CMD + 1];
    const char* a = args ? args : "";
    while (isBlank(*a)) a++;
    int n = slen(a);
    while (n > 0 && isBlank(a[n - 1])) n--;
    bool clean = n <= QZ_RCON_CMD;
    trcpyz(cmd, a, n < QZ_RCON_CMD ? n : QZ_RCON_CMD);
    clean = clean && rconCommandClean(cmd);
    // The log lines and the announcement to every player show secrets masked.
    char masked[QZ_RCON_CMD + 8];
    cmdMaskSecrets(cmd, masked, qz::cap(masked));
    char shown[64];
    pwClean(shown, qz::cap(shown), masked);

    bool allowed = false;
    if (clean && c->status == QZ_ST_OK) {
        for (int i = 1; i <= p.rcons.count && !allowed; ++i) {
            const stSvRcon* r = rconAt(sv, i);
            allowed = c->power >= r->minPower && rconMaskAllows(r->mask, cmd);
        }
    }
    if (!allowed) {
        svMsg(sv, "QZ Rcon Command Refused from (slot #%d) %s: %s", slot, c->name, shown);
        svSendClient(sv, slot, "%cQZ Rcon Command Not Allowed: %s", QZ_MSG_PRINT, shown);
        return;
    }
    char name[33];
    pwClean(name, qz::cap(name), c->name);
    svMsg(sv, "QZ Rcon Command from (slot #%d) %s: %s", slot, c->name, masked);
    svHost(sv, "Cmd_Exec", "say QZ_RCON %s from %s %s", masked, name, plGuidText(c));
    char word[64];
    firstWord(cmd, word, qz::cap(word));
    if (trncasecmp(word, "qz_sv_", 6) == 0) {
        QzOrigin origin = qzOrigin(QZ_ORIGIN_PLAYER, slot, c->name, c->address, plGuidText(c));
        sv_cmd_as(sv, &origin, QZ_SRC_CONSOLE, cmd, 0);
    } else {
        svHost(sv, "Cmd_Exec", "%s", cmd);
    }
}

// qz_sv_Rcon [min points] [command mask]
void cmd_rcon(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char w[32];
    pwNextWord(p, w, qz::cap(w));
    char mask[QZ_RCON_MASK * 2];
    pwRest(mask, qz::cap(mask), p);
    long minPower = 0;
    bool ok = pwParseLong(w, QZ_POWER_MIN, QZ_POWER_MAX, &minPower);
    bool updated = false;
    int slot = ok ? rconSet(sv, minPower, mask, &updated) : 0;
    if (!slot) {
        svMsg(sv, "Invalid parameters: %ld %s", minPower, mask);
        return;
    }
    trLog(homePath(kRconFile), "%ld %s", minPower, mask);
    svMsg(sv, updated ? "Rcon Record Updated for %s" : "Rcon Record Added for %s", mask);
}

// qz_sv_RList
void cmd_rlist(stQzSv* sv, const CmdCall&) {
    svCon(sv, "QZ Rcon Commands: [slot #] [Min. Power] [command]");
    int n = sv->pw.rcons.count;
    for (int slot = 1; slot <= n; ++slot) {
        const stSvRcon* r = rconAt(sv, slot);
        svCon(sv, "%d [%3ld] %s", slot, r->minPower, r->mask);
    }
    svCon(sv, "End of QZ Rcon List (%d Command%s)", n, n == 1 ? "" : "s");
}

// ---- IP guard and LAN ----

// The guard keeps administrator-level power (QZ_POWERFUL and more) to players at the listed
// addresses; an empty list guards nothing and so withholds nothing.
bool ipGuarded(stQzSv* sv, const char* address) {
    flexar& g = sv->pw.ipGuards;
    if (!g.count) return true;
    unsigned char o[4];
    unsigned port = 0;
    if (!maskAddress(address, o, &port)) return false;
    for (int i = 0; i < g.count; ++i) {
        stMaskRule r;
        if (maskParse(static_cast<const char*>(flexarAt(&g, i)), &r) && maskMatch(&r, o, port))
            return true;
    }
    return false;
}

bool pwIsLan(stQzSv* sv, const char* address) {
    unsigned char o[4];
    unsigned port = 0;
    if (!maskAddress(address, o, &port)) return false;
    const char* p = sv->set.lanMask;
    char mask[64];
    while (pwNextWord(p, mask, qz::cap(mask))) {
        stMaskRule r;
        if (mask[0] && maskParse(mask, &r) && maskMatch(&r, o, port)) return true;
    }
    return false;
}

// qz_sv_IPGuard [IP address mask]
void cmd_ipguard(stQzSv* sv, const CmdCall& call) {
    char mask[64];
    const char* p = call.args;
    pwNextWord(p, mask, qz::cap(mask));
    stMaskRule r;
    if (!mask[0] || !maskParse(mask, &r)) {
        svMsg(sv, "Invalid IP Guard Mask: %s", mask);
        return;
    }
    flexar& g = sv->pw.ipGuards;
    for (int i = 0; i < g.count; ++i) {
        if (trcasecmp(static_cast<const char*>(flexarAt(&g, i)), mask) == 0) {
            svMsg(sv, "Added IP Guard: %s", mask);
            return;
        }
    }
    if (g.count >= QZ_IPGUARD_MAX || !flexarAppend(&g, mask)) {
        svMsg(sv, "IP Guard list full: %s not added", mask);
        return;
    }
    svMsg(sv, "Added IP Guard: %s", mask);
    for (int slot = 1; slot <= QZ_SLOTS; ++slot)
        if (plPlayer(sv, slot)) pwApply(sv, slot);
}
