// Kick votes with power points, and the power list a player asks for from his game. The rule
// (docs/power-stats-tasks.md): voting is on while qz_sv_PowerMin is above 0; a player in status
// OK with at least qz_sv_PowerMin points may vote once against each other player who has less
// power than he has; each vote weighs the voter's points, lasts five minutes and ends when its
// voter leaves; QZ_VOTE_REMOVE points against a player remove him for qz_sv_PowerKickLen
// minutes. While an administrator-level player is on the server, only such players may vote.
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "players/kick.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

void tell(stQzSv* sv, int slot, const char* text) {
    svSendClient(sv, slot, "%c%s", QZ_MSG_PRINT, text);
}

bool voteLive(stQzSv* sv, const stVote& v, int voter, int target, unsigned now) {
    if (!v.voterSeq) return false;
    const Qz_Sv_Client_s* a = plPlayer(sv, voter);
    const Qz_Sv_Client_s* b = plPlayer(sv, target);
    if (!a || !b || a->seq != v.voterSeq || b->seq != v.targetSeq) return false;
    return static_cast<unsigned>(tickElapsed(now, v.tick)) < QZ_VOTE_LIFE_MS;
}

}  // namespace

int votePointsAgainst(stQzSv* sv, int target, unsigned now) {
    if (target < 1 || target > QZ_SLOTS) return 0;
    long long sum = 0;
    for (int voter = 1; voter <= QZ_SLOTS; ++voter) {
        const stVote& v = sv->pw.votes[target - 1][voter - 1];
        if (voteLive(sv, v, voter, target, now)) sum += v.points;
    }
    return sum > 0x7fffffff ? 0x7fffffff : static_cast<int>(sum);
}

void voteCast(stQzSv* sv, int voter, int target) {
    Qz_Sv_Client_s* a = plPlayer(sv, voter);
    if (!a) return;
    char text[256];
    const int min = sv->set.powerMin;
    if (min <= 0) {
        tell(sv, voter, "Power Kicking Disabled");
        return;
    }
    if (a->status != QZ_ST_OK || a->power < min) {
        QZ_TRF(text, "You need at least %d Power Points to vote", min);
        tell(sv, voter, text);
        return;
    }
    Qz_Sv_Client_s* b = plPlayer(sv, target);
    if (!b || target == voter || plIsBot(b) || plIsHostPlayer(b)) {
        QZ_TRF(text, "Invalid Slot #%d for a Kick Vote", target);
        tell(sv, voter, text);
        return;
    }
    if (b->power >= a->power) {
        QZ_TRF(text, "Slot #%d has at least as many Power Points as you: vote refused", target);
        tell(sv, voter, text);
        return;
    }
    if (a->power < QZ_POWERFUL && pwPowerfulCount(sv) > 0) {
        tell(sv, voter, "An administrator is on the server: only administrators may vote now");
        return;
    }
    unsigned now = qzMonoTick();
    stVote& v = sv->pw.votes[target - 1][voter - 1];
    if (voteLive(sv, v, voter, target, now)) {
        QZ_TRF(text, "You have already voted against slot #%d", target);
        tell(sv, voter, text);
        return;
    }
    v.voterSeq = a->seq;
    v.targetSeq = b->seq;
    v.points = a->power;
    v.tick = now;
    const int against = votePointsAgainst(sv, target, now);
    char announce[256];
    QZ_TRF(announce, "%cKick Vote (%d point%s) against slot #%d (%s) from %s", QZ_MSG_PRINT,
           a->power, a->power == 1 ? "" : "s", target, b->name, a->name);
    plTellAll(sv, announce);
    svMsg(sv, "%s [%d/%d]", announce + 1, against, QZ_VOTE_REMOVE);
    if (against < QZ_VOTE_REMOVE) return;
    char slotText[8];
    QZ_TRF(slotText, "%d", target);
    // The vote that decided is the origin; the target as he was before the kick.
    QzOrigin origin = qzOrigin(QZ_ORIGIN_VOTE, voter, a->name, a->address, plGuidText(a));
    QzOriginScope scope(sv, &origin);
    char name[33], guid[33], addr[33];
    QZ_COPY(name, b->name);
    QZ_COPY(guid, plGuidText(b));
    QZ_COPY(addr, b->address);
    QzAuditTarget t{target, name, guid, addr};
    char command[64];
    QZ_TRF(command, "kick %d %d Player Vote", target, sv->set.powerKickLen);
    const unsigned entries = sv->bans.count;
    const bool hasGuid = b->guid[0] != 0;
    // Flag 2: a player's decision, not marked as the administrator's.
    bool done = plKick(sv, slotText, sv->set.powerKickLen, "Player Vote", 2);
    auditWrite(sv, "vote-kick", &t, command, done ? QZ_AUDIT_DONE : QZ_AUDIT_FAILED, nullptr);
    // A vote kick of 0 minutes holds for good: a ban, which may be a fleet-wide one.
    if (sv->set.powerKickLen == 0 && sv->bans.count == entries + 1 && hasGuid)
        fleetBanAdded(sv, static_cast<int>(sv->bans.count), guid, name, addr, true);
}

// The list goes in pieces of whole lines, each piece starting with the message kind.
void voteSendPowerList(stQzSv* sv, int slot) {
    char buf[1536];
    unsigned now = qzMonoTick();
    const bool on = sv->set.powerMin > 0;
    QZ_TRF(buf, "%c^5Power Kicking %s: [Slot #] [Power] [Points Against] [GUID] [Name]\r\n",
           QZ_MSG_PRINT, on ? "Enabled" : "Disabled");
    int listed = 0;
    for (int s = 1; s <= QZ_SLOTS; ++s) {
        const Qz_Sv_Client_s* c = plPlayer(sv, s);
        if (!c || c->status < QZ_ST_INIT || plIsBot(c)) continue;
        char line[160];
        QZ_TRF(line, "^5%-2d %d %d/%d %s(%s) %s\r\n", s, c->power, votePointsAgainst(sv, s, now),
               QZ_VOTE_REMOVE, plGuidText(c), c->authState, c->name);
        if (slen(buf) + slen(line) >= qz::cap(buf) - 1) {
            svSendClient(sv, slot, "%s", buf);
            QZ_TRF(buf, "%c", QZ_MSG_PRINT);
        }
        QZ_TRACAT(buf, line);
        listed++;
    }
    char end[64];
    QZ_TRF(end, "^5End of Power List (%d Player%s)", listed, listed == 1 ? "" : "s");
    if (slen(buf) + slen(end) >= qz::cap(buf) - 1) {
        svSendClient(sv, slot, "%s", buf);
        QZ_TRF(buf, "%c", QZ_MSG_PRINT);
    }
    QZ_TRACAT(buf, end);
    svSendClient(sv, slot, "%s", buf);
}
