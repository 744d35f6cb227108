// Clients whose game never answers the client-module exchange: Kestrine is not enabled in that
// game, so the player is refused with the dialog that tells him how to enable it.
#include "host/bridge.h"
#include "host/refusals.h"
#include "host/state.h"
#include "players/slots.h"
#include "util/clock.h"

void plFrame(stQzSv* sv) {
    // Checked twice a second: the grace is long and the frame call stays short.
    unsigned now = GetTickCount();
    unsigned last = sv->players.silentCheckTick;
    if (last && now - last < 500) return;
    sv->players.silentCheckTick = now;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c || c->status != QZ_ST_PRE || plIsBot(c)) continue;
        if (tickElapsed(now, c->connectTick) < QZ_HELLO_GRACE_MS) continue;
        svSendClient(sv, slot, "%s", kRefuseNotEnabled);
        svHost(sv, "DropClient", "%d Kestrine Not Enabled", slot);
        svMsg(sv, "Kestrine Not Enabled (slot #%d) %s %s \"%s\": no answer from the client module",
              slot, c->address, plGuidText(c), c->name);
        plRelease(sv, slot);
    }
}
