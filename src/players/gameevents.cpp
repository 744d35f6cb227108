// Game events turned into statistics events. The game reports each event as the host directive
// "QZ_SV_GAMEEVENT <word> <slot> ..." (docs/power-stats-tasks.md lists the words, categories and
// keys). Events count only while qz_sv_stattrack is 1.
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/text.h"

namespace {

int slotOf(const char* word) {
    long slot = 0;
    return pwParseLong(word, 1, QZ_SLOTS, &slot) ? static_cast<int>(slot) : 0;
}

}  // namespace

// init SLOT; kill KILLER VICTIM WEAPON (victim 0: not a player; a killer who is his own
// victim gets only the death); death SLOT CAUSE; addskill SLOT SKILL POINTS;
// loseskill SLOT SKILL POINTS. Every key is "<what>,<map>,<game type>:".
void dir_gameevent(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char word[16], a[32], b[32], c[32];
    pwNextWord(p, word, qz::cap(word));
    pwNextWord(p, a, qz::cap(a));
    pwNextWord(p, b, qz::cap(b));
    pwNextWord(p, c, qz::cap(c));
    if (!sv->set.statTrack) return;
    char map[64], type[16];
    svCvar(sv, "mapname", map, qz::cap(map));
    svCvar(sv, "g_gametype", type, qz::cap(type));
    const int slot = slotOf(a);
    if (!strcmp(word, "init")) {
        if (slot) statEvent(sv, slot, "game", "rounds", map, type, 1);
    } else if (!strcmp(word, "kill")) {
        const int victim = slotOf(b);
        if (slot && slot != victim) statEvent(sv, slot, "kill", c, map, type, 1);
        if (victim) statEvent(sv, victim, "death", c, map, type, 1);
    } else if (!strcmp(word, "death")) {
        if (slot) statEvent(sv, slot, "death", b, map, type, 1);
    } else if (!strcmp(word, "addskill") || !strcmp(word, "loseskill")) {
        long points = 0;
        if (slot && pwParseLong(c, -100000, 100000, &points)) {
            double v = word[0] == 'l' ? -static_cast<double>(points) : static_cast<double>(points);
            statEvent(sv, slot, "skill", b, map, type, v);
        }
    } else {
        svMsg(sv, "Unknown Game Event: %s", word);
    }
}
