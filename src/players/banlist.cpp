// qz_sv_BanList: the listing of the kick/ban list, printed a bounded part per call. A search
// looks at each entry's key and record body where they lie, and only the entries it shows are
// formatted.
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "players/bans.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

const char* kindWord(stBanEntry* e, unsigned now) {
    switch (e->kind) {
        case QZ_BAN_KICK: return banKickOver(e, now) ? "Kick (over)" : "Kick";
        case QZ_BAN_MASK: return "Mask Ban";
        case QZ_BAN_NAME: return "Name Ban";
        default: return "GUID Ban";
    }
}

// True when the record text "KEY BODY" holds search, letter case aside, without forming the
// text: the key and the body are searched where they lie, and a search holding a blank also
// across the blank that joins them.
bool recordHolds(const char* key, const char* body, const char* search, bool blank) {
    if (svFindNoCase(key, search) || svFindNoCase(body, search)) return true;
    if (!blank) return false;
    const int n = slen(search);
    char joint[2 * 128 + 2];
    int kl = slen(key);
    int from = kl > n - 1 ? kl - (n - 1) : 0;
    int len = 0;
    for (int i = from; i < kl; ++i) joint[len++] = key[i];
    joint[len++] = ' ';
    for (int i = 0; i < n - 1 && body[i]; ++i) joint[len++] = body[i];
    joint[len] = 0;
    return svFindNoCase(joint, search) != nullptr;
}

void listingEnd(stQzSv* sv) {
    stBanListing* l = &sv->bans.listing;
    l->active = 0;
    svMsg(sv, "End of Ban List (%d of %d displayed)", l->shown, static_cast<int>(sv->bans.count));
}

}  // namespace

void banListStart(stQzSv* sv, const char* search) {
    stBanListing* l = &sv->bans.listing;
    if (l->active) listingEnd(sv);
    memset(l, 0, sizeof *l);
    QZ_COPY(l->search, search);
    l->active = 1;
    banListFrame(sv);
}

void banListFrame(stQzSv* sv) {
    stBanListing* l = &sv->bans.listing;
    if (!l->active) return;
    const stBans* b = &sv->bans;
    const unsigned now = qzMonoTick();
    const bool blank = strchr(l->search, ' ') != nullptr;
    const long long start = threadCpuMicros();
    int lines = 0;
    while (l->next < b->count) {
        // The clock is read every 1024 entries looked at: a read costs about as much as looking
        // at a few dozen entries.
        if ((l->next & 1023) == 1023 && threadCpuMicros() - start >= QZ_BANLIST_BUDGET_US) return;
        const unsigned i = l->next++;
        stBanEntry* e = &b->entries[i];
        const char* body = banBody(sv, e);
        if (l->search[0] && !recordHolds(e->key, body, l->search, blank)) continue;
        svMsg(sv, "%-3d%s %s %s {%d/%d} %s", static_cast<int>(i + 1),
              e->unbanned ? " (UnBanned)" : "", e->key, body,
              tickElapsed(now, e->issueTick) / 60000, e->length, kindWord(e, now));
        l->shown++;
        if (++lines >= QZ_BANLIST_LINES && l->next < b->count) return;
    }
    listingEnd(sv);
}
