// The player listings: qz_sv_Plist and qz_sv_StatList on the console, and the player list a
// player asks for from his own game.
#include <cstring>

#include "commands/config.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/kick.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

enum { kPlain = 0, kStats = 1 };

// The registration line; line end added by the caller where one is wanted.
void regLine(char* out, int size, const stQzReg& r) {
    char count[16] = "";
    if (r.count > 1) QZ_TRF(count, "%d", r.count);
    const bool paren = r.count > 1;
    trf(out, size, "   ^7*REGISTERED \"%s^7\"%s%s%s %s", r.name, paren ? "(" : "", count,
        paren ? ")" : "", r.text);
}

// Player-list texts for a game are sent in pieces of whole lines; each piece starts with the
// message kind so that the client module prints it.
struct ListSender {
    stQzSv* sv;
    int slot;
    char buf[1536];

    void start() { QZ_TRF(buf, "%c", QZ_MSG_PRINT); }
    void add(const char* line) {
        if (slen(buf) + slen(line) >= qz::cap(buf) - 1) {
            flush();
            start();
        }
        QZ_TRACAT(buf, line);
    }
    void flush() {
        if (slen(buf) > 1) svSendClient(sv, slot, "%s", buf);
    }
};

}  // namespace

// Lists every occupied slot, connecting players ("PRE ") included, so that an administrator
// sees a player the moment the game reports him. A non-empty text lists only the players
// whose names contain it (the qz_sv_GetSs rule).
void plList(stQzSv* sv, const char* text, int mode) {
    int only[QZ_SLOTS];
    int nOnly = text && *text ? plMatchAll(sv, text, only, QZ_SLOTS) : -1;
    unsigned now = GetTickCount();
    svMsg(sv,
          "Player List: [Slot #] [GUID] [Address] [Status] [Power] [Auth Rate] [Recent SS%s] "
          "[O/S] [Name]",
          " in 10 min");
    int listed = 0;
    int k = 0;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c) continue;
        if (nOnly >= 0) {
            if (k >= nOnly || only[k] != slot) continue;
            k++;
        }
        long rate = plAuthRate(c, now);
        svMsg(sv, "%-2d %-32s(%s) %s %-4s %d %ld.%ld %d (%c) \"%s\"", slot, plGuidText(c),
              c->authState, c->address, plStatusName(c->status), c->power, rate / 10, rate % 10,
              plRecentSs(c, now), c->os, c->name);
        listed++;
        for (const stQzReg& r : c->reg) {
            if (!r.text[0]) continue;
            char line[256];
            regLine(line, qz::cap(line), r);
            svMsg(sv, "%s", line);
        }
        if (mode == kStats) svMsg(sv, "   %s", plStatLine(sv, slot));
    }
    svMsg(sv, "End of Player List (%d Player%s)", listed, listed == 1 ? "" : "s");
    // A locked configuration governs the server; the list says which one. The line's own
    // leading line break is the console line break here.
    char locked[QZ_PATH_MAX + 128];
    if (cfgLockedLine(sv, locked, qz::cap(locked))) {
        const char* shown = locked;
        while (*shown == '\r' || *shown == '\n') shown++;
        svMsg(sv, "%s", shown);
    }
}

void plSendPlayerList(stQzSv* sv, int slot) {
    ListSender out{sv, slot, {}};
    out.start();
    out.add("^5Player List: [Slot #] [GUID] [Status] [Auth Rate] [Recent SS] [Name]\r\n");
    unsigned now = GetTickCount();
    int listed = 0;
    char line[256];
    for (int s = 1; s <= QZ_SLOTS; ++s) {
        const Qz_Sv_Client_s* c = plPlayer(sv, s);
        if (!c) continue;
        long rate = plAuthRate(c, now);
        // The braces hold the power points and the authentication count; the trailing text
        // is the alias mark, which the alias list sets.
        QZ_TRF(line, "^5%-2d %s(%s) %-4s %d.%d %d{%d|%d} %s%s\r\n", s, plGuidText(c), c->authState,
               plStatusName(c->status), static_cast<int>(rate / 10), static_cast<int>(rate % 10),
               plRecentSs(c, now), c->power, c->authCount, c->name, "");
        out.add(line);
        listed++;
        for (const stQzReg& r : c->reg) {
            if (!r.text[0]) continue;
            regLine(line, qz::cap(line) - 2, r);
            QZ_TRACAT(line, "\r\n");
            out.add(line);
        }
    }
    QZ_TRF(line, "^5End of Player List (%d Player%s)", listed, listed == 1 ? "" : "s");
    out.add(line);
    out.flush();
}

void cmd_plist(stQzSv* sv, const CmdCall& call) { plList(sv, call.args, kPlain); }

void cmd_statlist(stQzSv* sv, const CmdCall& call) { plList(sv, call.args, kStats); }
