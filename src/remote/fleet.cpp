// Fleet bans on the module's side: the exchange with the ban service (the hello and its pages of
// changes, reports with back-off, lookups of connecting players, answers, pushes and lifts), the
// checks every packet passes before it changes anything, and the hooks the ban commands and the
// connection check call. The masters themselves (sockets, failover) are remote/fleet_masters.cpp.
#include "remote/fleet.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/dispatch.h"
#include "host/bridge.h"
#include "host/refusals.h"
#include "host/state.h"
#include "media/audit.h"
#include "players/bans.h"
#include "players/slots.h"
#include "remote/fleet_store.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr const char* kKeyFile = "qzfleet.key";
constexpr const char* kReason = "GLOBAL Kestrine GUID BAN";
constexpr uint32_t kRequestBit = 0x80000000u;  // lookups and hellos; reports count from 1
constexpr int kHelloRetryMs = 2000;            // a hello whose page end has not come is asked again
constexpr int kPageRetryMs = 250;  // a page that came incomplete is asked again after this

// True once tick at has come (ticks wrap; waits here are far below half the range).
bool due(unsigned now, unsigned at) { return static_cast<int>(now - at) >= 0; }

const char* sourceName(int source) {
    switch (source) {
        case QZ_SRC_CONSOLE: return "console";
        case QZ_SRC_CONFIG: return "config";
        case QZ_SRC_TASK: return "task";
        case QZ_SRC_UCON: return "ucon";
        case QZ_SRC_WEB: return "web";
        case QZ_SRC_EVENT: return "event";
        case QZF_SRC_VOTE: return "vote";
        default: return "console";
    }
}

// The key in qzfleet.key; refused when others than the owner may read it (said once).
bool loadKey(stQzSv* sv) {
    stFleet& f = sv->fleet;
    f.keyOk = 0;
    FILE* fp = homeOpen(homePath(kKeyFile), "rb");
    if (!fp) {
        if (!f.keyWarned)
            svMsg(sv, "Fleet: no %s in the home directory: fleet bans are off", kKeyFile);
        f.keyWarned = 1;
        return false;
    }
    struct stat st {};
    char text[160];
    int n = 0;
    if (fstat(fileno(fp), &st) == 0 && (st.st_mode & 077)) {
        fclose(fp);
        if (!f.keyWarned)
            svMsg(sv,
                  "Fleet: %s may be read by group or others (mode %03o): not used; chmod 600 it",
                  kKeyFile, static_cast<unsigned>(st.st_mode & 0777));
        f.keyWarned = 1;
        return false;
    }
    n = static_cast<int>(fread(text, 1, sizeof text, fp));
    fclose(fp);
    if (!fleetKeyParse(text, n, f.key)) {
        memset(text, 0, sizeof text);
        if (!f.keyWarned)
            svMsg(sv, "Fleet: %s does not hold 64 hexadecimal digits: not used", kKeyFile);
        f.keyWarned = 1;
        return false;
    }
    memset(text, 0, sizeof text);
    f.keyOk = 1;
    f.keyWarned = 0;
    return true;
}

void stop(stQzSv* sv) {
    stFleet& f = sv->fleet;
    if (!f.active) return;
    fleetMastersClose(sv);
    f.active = 0;
    f.activeService[0] = f.activeServerId[0] = 0;
}

// (Re)starts the exchange when the settings name a service and an id and the key is usable.
void configure(stQzSv* sv) {
    stFleet& f = sv->fleet;
    f.configured = 1;
    if (f.active && !strcmp(f.service, f.activeService) && !strcmp(f.serverId, f.activeServerId))
        return;
    if (!f.active && !strcmp(f.service, f.activeService) && !strcmp(f.serverId, f.activeServerId)) {
        // Tried already with these settings; a missing or open key is looked at again now and
        // then, so that putting it right needs no restart.
        if (!f.keyRetry || !due(qzMonoTick(), f.keyRetryTick)) return;
    }
    f.keyRetry = 0;
    stop(sv);
    QZ_COPY(f.activeService, f.service);
    QZ_COPY(f.activeServerId, f.serverId);
    if (!f.service[0] && !f.serverId[0]) return;
    if (!fleetIdOk(f.serverId, slen(f.serverId))) {
        svMsg(sv, "Fleet: qz_sv_FleetServer must be 1 to 32 of letters, digits, '_', '.', '-'");
        return;
    }
    char why[128];
    if (!fleetServiceParse(f.service, nullptr, why, qz::cap(why))) {
        svMsg(sv, "Fleet: qz_sv_FleetService must be host:port[,host:port...] (%s)", why);
        return;
    }
    if (!loadKey(sv)) {
        f.keyRetry = 1;
        f.keyRetryTick = qzMonoTick() + QZF_KEY_RETRY_MS;
        return;
    }
    // The cache table is taken now, not on the first push in some frame.
    if (!f.cache) f.cache = static_cast<stFleetBan*>(calloc(QZF_CACHE_SLOTS, sizeof(stFleetBan)));
    fleetMastersOpen(sv, f.service);
    f.active = 1;
    f.helloSent = f.helloOpen = 0;
    f.helloWaitMs = kHelloRetryMs;
    svMsg(sv, "Fleet: ban service %s, this server \"%s\"", f.service, f.serverId);
}

bool sendForm(stQzSv* sv, const FleetBody& b) {
    char body[QZF_BODY_MAX + 1];
    int n = fleetFormat(body, qz::cap(body), b);
    return n > 0 && fleetSendBody(sv, body, n, true);
}

uint32_t nextRequest(stFleet* f) {
    f->nextRequestId = (f->nextRequestId + 1) & ~kRequestBit;
    if (!f->nextRequestId) f->nextRequestId = 1;
    return f->nextRequestId | kRequestBit;
}

// The oldest report still waiting: reports go one at a time, in the order they were made, so
// that an unban can never overtake the ban it lifts.
stFleetReport* oldest(stFleet* f) {
    stFleetReport* best = nullptr;
    for (stFleetReport& r : f->queue)
        if (r.id && (!best || r.order < best->order)) best = &r;
    return best;
}

void sendReports(stQzSv* sv) {
    stFleet& f = sv->fleet;
    stFleetReport* r = oldest(&f);
    if (!r) return;
    unsigned now = qzMonoTick();
    if (r->sends && !due(now, r->nextTick)) return;
    if (!fleetSendBody(sv, r->body, r->bodyLen, true)) return;
    if (!r->askedTick) r->askedTick = now | 1;
    if (r->sends++) f.resent++;
    if (r->waitMs < QZF_RETRY_FIRST_MS) r->waitMs = QZF_RETRY_FIRST_MS;
    r->nextTick = now + static_cast<unsigned>(r->waitMs);
    r->waitMs = r->waitMs * 2 > QZF_RETRY_MAX_MS ? QZF_RETRY_MAX_MS : r->waitMs * 2;
}

bool sendLookup(stQzSv* sv, int slot) {
    stFleet& f = sv->fleet;
    stFleetLookup& l = f.lookups[slot - 1];
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || c->seq != l.seq) {
        l.id = 0;
        return false;
    }
    FleetBody b{};
    b.kind = QZF_QUERY;
    b.id = l.id;
    b.slot = static_cast<uint32_t>(slot);
    b.time = static_cast<uint64_t>(qzTime());
    QZ_COPY(b.guid, c->guid);
    QZ_COPY(b.addr, c->address);
    for (char* p = b.addr; *p; p++)
        if (static_cast<unsigned char>(*p) <= ' ' || *p == '"') *p = '?';
    if (!sendForm(sv, b)) return false;
    l.sentTick = qzMonoTick();
    l.tries++;
    return true;
}

// Asks for the changes after the sync point. Each hello has a new id: messages of an earlier
// page still change the cache but no longer count towards this one.
void sendHello(stQzSv* sv) {
    stFleet& f = sv->fleet;
    FleetBody b{};
    b.kind = QZF_QUERY;
    b.id = nextRequest(&f);
    b.time = static_cast<uint64_t>(qzTime());
    QZ_COPY(b.guid, "*");
    b.fleetId = f.syncId;
    if (!sendForm(sv, b)) return;
    f.helloId = b.id;
    f.helloTick = qzMonoTick();
    f.helloSent = 1;
    f.helloOpen = 1;
    f.pageGot = 0;
    f.pageEndWaiting = 0;
    f.helloDue = f.helloTick + static_cast<unsigned>(f.helloWaitMs);
    f.helloWaitMs = f.helloWaitMs * 2 > QZF_HELLO_MS ? QZF_HELLO_MS : f.helloWaitMs * 2;
}

// The end of a page whose messages all came: the sync point moves to its last change (and is
// written down); the next hello goes at once while more remain, else after the usual period.
void pageDone(stQzSv* sv, const FleetBody& b) {
    stFleet& f = sv->fleet;
    unsigned now = qzMonoTick();
    f.helloOpen = 0;
    f.pageEndWaiting = 0;
    f.pages++;
    if (b.change > f.syncId) {
        f.syncId = b.change;
        fleetCacheAppend(sv, "S %" PRIu64 "\n", f.syncId);
    }
    f.helloWaitMs = kHelloRetryMs;
    if (b.more) {
        f.helloDue = now;
    } else {
        f.syncedOnce = 1;
        f.helloDue = now + QZF_HELLO_MS;
    }
}

// Messages of the open hello's page that came from master start `start` (counter >> 32): a
// hello answered by a restarted master as well must not complete a page with the other start's
// messages.
uint32_t pageHas(const stFleet& f, uint32_t start) {
    uint32_t n = 0;
    for (int i = 0; i < f.pageGot; i++)
        if (f.pageStarts[i] == start) n++;
    return n;
}

// A page message of the open hello: its change is counted once per master start; it may
// complete a page whose end came first.
void pageCount(stQzSv* sv, uint32_t id, uint64_t change, uint32_t start) {
    stFleet& f = sv->fleet;
    if (!f.helloOpen || id != f.helloId || !id) return;
    for (int i = 0; i < f.pageGot; i++)
        if (f.pageChanges[i] == change && f.pageStarts[i] == start) return;
    if (f.pageGot >= static_cast<int>(sizeof f.pageChanges / sizeof f.pageChanges[0])) return;
    f.pageChanges[f.pageGot] = change;
    f.pageStarts[f.pageGot++] = start;
    if (f.pageEndWaiting && f.pageEndStart == start && pageHas(f, start) >= f.pageEnd.count)
        pageDone(sv, f.pageEnd);
}

// The end of a page. When messages it announced are missing, they may only be late (the end
// overtook them): the end is kept and weighed when they come; if they have not come after a
// short wait, the page is asked again from the same point.
void onPage(stQzSv* sv, const FleetBody& b, uint32_t start) {
    stFleet& f = sv->fleet;
    if (!f.helloOpen || b.id != f.helloId || b.after != f.syncId) return;
    if (pageHas(f, start) < b.count) {
        f.pageEnd = b;
        f.pageEndStart = start;
        f.pageEndWaiting = 1;
        f.helloDue = qzMonoTick() + kPageRetryMs;
        return;
    }
    pageDone(sv, b);
}

// A connected player whom the fleet bans: announced, removed, logged.
void removeBanned(stQzSv* sv, int slot, uint64_t fleetId, const char* from) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    char tell[160];
    QZ_TRF(tell, "%c%s is banned", QZ_MSG_PRINT, c->name);
    plTellAll(sv, tell);
    char dialog[96];
    QZ_TRF(dialog, kRefuseOtherFmt, kReason);
    svSendClient(sv, slot, "%s", dialog);
    int dropped = svHost(sv, "DropClient", "%d %s", slot, kReason);
    svMsg(sv, "KBANNED (slot #%d) %s [%s] \"%s\" %s (fleet ban #%" PRIu64 " from %s)", slot,
          c->address, plGuidText(c), c->name, kReason, fleetId, from);
    sv->fleet.lookups[slot - 1].id = 0;
    if (dropped) plRelease(sv, slot);
}

void removeGuid(stQzSv* sv, const char* guid, uint64_t fleetId, const char* from) {
    for (int s = 1; s <= QZ_SLOTS; s++) {
        const Qz_Sv_Client_s* c = plPlayer(sv, s);
        if (c && c->guid[0] && !strcasecmp(c->guid, guid) && !plIsHostPlayer(c))
            removeBanned(sv, s, fleetId, from);
    }
}

void remember(stQzSv* sv, const stFleetBan& ban) {
    stFleet& f = sv->fleet;
    if (!fleetCachePut(&f, ban)) {
        svMsg(sv, "Fleet: cache full (%d bans): fleet ban #%" PRIu64 " enforced by lookups only",
              QZF_CACHE_MAX, ban.fleetId);
        return;
    }
    fleetCacheAppend(sv, "P %" PRIu64 " %s %" PRIu64 " %" PRIu64 " %s\n", ban.fleetId, ban.guid,
                     ban.banTime, ban.length, ban.server);
}

// Takes a fleet ban out of the cache (and the file); true when it was there.
bool forget(stQzSv* sv, uint64_t fleetId, const char* guid) {
    if (!fleetCacheLift(&sv->fleet, fleetId, guid)) return false;
    fleetCacheAppend(sv, "R %" PRIu64 " %s\n", fleetId, guid);
    return true;
}

void noteLift(stFleet* f, uint64_t fleetId, uint64_t change) {
    f->liftedId[f->liftedNext] = fleetId;
    f->liftedChange[f->liftedNext] = change;
    f->liftedNext =
        (f->liftedNext + 1) % static_cast<int>(sizeof f->liftedId / sizeof f->liftedId[0]);
}

// True when the fleet ban was lifted by a change after `change`.
bool liftedAfter(const stFleet& f, uint64_t fleetId, uint64_t change) {
    for (int i = 0; i < static_cast<int>(sizeof f.liftedId / sizeof f.liftedId[0]); i++)
        if (f.liftedId[i] == fleetId && f.liftedChange[i] > change) return true;
    return false;
}

// "3,7,12+" of an unban's answer, as " #3, #7, #12 and more" for the administrator.
void liftedList(const char* ids, char* out, int size) {
    out[0] = 0;
    int n = 0;
    for (const char* p = ids; *p && n < size - 1;) {
        if (*p >= '0' && *p <= '9') {
            const char* s = p;
            while (*p >= '0' && *p <= '9') p++;
            n += trf(out + n, size - n, "%s#%.*s", n ? ", " : "", static_cast<int>(p - s), s);
        } else if (*p == '+') {
            n += trf(out + n, size - n, " and more");
            p++;
        } else {
            p++;
        }
    }
}

// The answer to a report: ACK (a ban's fleet id, or the fleet bans an unban lifted) or REFUSED
// (logged, kept in qzfleetrefused.log, and the queue goes on).
void onReportAnswer(stQzSv* sv, stFleetReport& r, const FleetBody& b) {
    stFleet& f = sv->fleet;
    bool ack = !strcmp(b.verdict, QZF_ACK);
    if (!ack && strcmp(b.verdict, QZF_REFUSED)) return;
    fleetQueueDone(sv, r);
    const char* what = r.kind == QZF_UNBAN ? "unban" : "ban";
    if (!ack) {
        f.reportsRefused++;
        bool kept = fleetRefusedAppend(sv, r, b.name);
        svMsg(sv, "Fleet: %s report %" PRIx64 ":%x for %s refused by the ban service (%s)%s", what,
              r.epoch, r.id, r.guid, b.name,
              kept ? ": kept in qzfleetrefused.log" : "; qzfleetrefused.log cannot be written");
    } else if (r.kind == QZF_UNBAN) {
        char list[200];
        liftedList(b.name, list, qz::cap(list));
        svMsg(sv, "Fleet: unban report %" PRIx64 ":%x for %s acknowledged: %s%s", r.epoch, r.id,
              r.guid, list[0] ? "fleet ban " : "no fleet ban was lifted", list);
        for (const char* p = b.name; *p;) {
            uint64_t id = 0;
            while (*p >= '0' && *p <= '9') id = id * 10 + static_cast<uint64_t>(*p++ - '0');
            if (id) forget(sv, id, r.guid);
            while (*p && (*p < '0' || *p > '9')) p++;
        }
    } else {
        svMsg(sv, "Fleet: ban report %" PRIx64 ":%x for %s acknowledged (fleet ban #%" PRIu64 ")",
              r.epoch, r.id, r.guid, b.fleetId);
        bool unbanned = false;  // an unban of the GUID waits behind this report
        for (const stFleetReport& u : f.queue)
            if (u.id && u.kind == QZF_UNBAN && !strcasecmp(u.guid, r.guid)) unbanned = true;
        if (b.fleetId && !unbanned) {
            stFleetBan ban{};
            ban.fleetId = b.fleetId;
            ban.banTime = static_cast<uint64_t>(qzTime());
            QZ_COPY(ban.guid, r.guid);
            QZ_COPY(ban.server, f.activeServerId);
            remember(sv, ban);
        }
    }
    r.id = 0;
    f.queued--;
}

void onAnswer(stQzSv* sv, const FleetBody& b) {
    stFleet& f = sv->fleet;
    f.answers++;
    if (!(b.id & kRequestBit) || b.epoch) {
        for (stFleetReport& r : f.queue)
            if (r.id && r.id == b.id && r.epoch == b.epoch) {
                onReportAnswer(sv, r, b);
                return;
            }
        return;
    }
    for (int s = 1; s <= QZ_SLOTS; s++) {
        stFleetLookup& l = f.lookups[s - 1];
        if (!l.id || l.id != b.id) continue;
        const Qz_Sv_Client_s* c = plPlayer(sv, s);
        l.id = 0;
        if (!c || c->seq != l.seq || strcasecmp(c->guid, b.guid)) return;
        if (!strcmp(b.verdict, QZF_BANNED) && b.fleetId) {
            const char* from = b.server[0] ? b.server : "-";
            stFleetBan ban{};
            ban.fleetId = b.fleetId;
            ban.banTime = static_cast<uint64_t>(qzTime());
            QZ_COPY(ban.guid, b.guid);
            QZ_COPY(ban.server, from);
            const stFleetBan* known = fleetCacheGet(&f, b.guid, b.fleetId);
            if (!known || strcmp(known->server, from)) {
                if (known) ban = *known;
                QZ_COPY(ban.server, from);
                remember(sv, ban);
            }
            removeBanned(sv, s, b.fleetId, b.server[0] ? b.server : "the ban service");
        }
        return;
    }
}

void onPush(stQzSv* sv, const FleetBody& b, uint32_t start) {
    stFleet& f = sv->fleet;
    f.pushes++;
    pageCount(sv, b.id, b.change, start);
    // A change at or below the sync point is in the cache already (or was lifted since): an
    // old push seen again must not bring a lifted ban back.
    if (b.change <= f.syncId) return;
    if (b.kind == QZF_LIFT) {
        noteLift(&f, b.fleetId, b.change);
        if (forget(sv, b.fleetId, b.guid))
            svMsg(sv, "Fleet: ban #%" PRIu64 " of %s lifted by the fleet", b.fleetId, b.guid);
        return;
    }
    if (liftedAfter(f, b.fleetId, b.change)) return;
    stFleetBan ban{};
    ban.fleetId = b.fleetId;
    ban.banTime = b.time;
    ban.length = b.length;
    QZ_COPY(ban.guid, b.guid);
    QZ_COPY(ban.server, b.server);
    const stFleetBan* known = fleetCacheGet(&f, b.guid, b.fleetId);
    bool fresh = !known || known->length != b.length || known->banTime != b.time ||
                 strcmp(known->server, b.server);
    if (fresh) {
        bool news = !known;
        remember(sv, ban);
        if (news)
            svMsg(sv, "Fleet: Banned %s (fleet ban #%" PRIu64 " from %s)", b.guid, b.fleetId,
                  b.server);
    }
    if (fleetCacheFind(sv, b.guid, static_cast<uint64_t>(qzTime())))
        removeGuid(sv, b.guid, b.fleetId, b.server);
}

// One datagram from master m's socket (the kernel took it only from that master's address):
// every check first, then the body.
void onPacket(stQzSv* sv, int m, const char* data, int n) {
    stFleet& f = sv->fleet;
    stFleetMaster& master = f.masters[m];
    FleetEnvelope env;
    FleetBody b;
    int why = fleetOpen(data, n, &env);
    if (why == QZF_OK && strcmp(env.server, f.activeServerId)) why = QZF_UNKNOWN_SERVER;
    if (why == QZF_OK && !fleetVerify(env, QZF_TO_SERVER, f.key)) why = QZF_BAD_MAC;
    if (why == QZF_OK && !fleetParse(env.body, env.bodyLen, &b)) why = QZF_BAD_SYNTAX;
    if (why == QZF_OK && b.kind != QZF_ANSWER && b.kind != QZF_PUSH && b.kind != QZF_LIFT &&
        b.kind != QZF_PAGE)
        why = QZF_BAD_SYNTAX;
    FleetWindow* w = fleetWindowOf(&f, master.key);
    if (why == QZF_OK && !fleetWindowAccept(w, env.counter)) why = QZF_REPLAY;
    f.refused[why]++;
    if (why != QZF_OK) {
        // Counted; a line only for the first few, so a flood does not fill the log.
        if (f.refused[why] <= 5) svMsg(sv, "Fleet: packet refused (%s)", fleetRefusalName(why));
        return;
    }
    master.waiting = 0;
    master.accepted++;
    fleetCacheAppend(sv, "W %" PRIu64 " %" PRIx64 " %" PRIx64 "\n", w->highest, w->seen,
                     master.key);
    if (b.kind == QZF_ANSWER)
        onAnswer(sv, b);
    else if (b.kind == QZF_PAGE)
        onPage(sv, b, static_cast<uint32_t>(env.counter >> 32));
    else
        onPush(sv, b, static_cast<uint32_t>(env.counter >> 32));
}

// The master asked now changed: what waited for the silent one is asked of the new one at once.
void afterFailover(stQzSv* sv) {
    stFleet& f = sv->fleet;
    f.helloOpen = 0;
    f.helloSent = 0;
    f.helloWaitMs = kHelloRetryMs;
    if (stFleetReport* r = oldest(&f)) {
        r->nextTick = qzMonoTick();
        r->waitMs = QZF_RETRY_FIRST_MS;
        r->askedTick = 0;
    }
    for (stFleetLookup& l : f.lookups)
        if (l.id) {
            l.tries = 0;
            l.waitMs = QZF_LOOKUP_RETRY_MS;
        }
}

}  // namespace

// Also the restart's step (qz_sv_Restart): what ran before is closed and everything but the
// settings starts afresh from the files.
void fleetStartup(stQzSv* sv) {
    stFleet& f = sv->fleet;
    if (f.started) fleetShutdown(sv);
    char service[sizeof f.service], serverId[sizeof f.serverId];
    QZ_COPY(service, f.service);
    QZ_COPY(serverId, f.serverId);
    int banDefault = f.banDefault, voteBan = f.voteBan;
    memset(&f, 0, sizeof f);
    QZ_COPY(f.service, service);
    QZ_COPY(f.serverId, serverId);
    f.banDefault = banDefault;
    f.voteBan = voteBan;
    f.queueFd = f.cacheFd = -1;
    f.scope = -1;
    uint32_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r)
        r = static_cast<uint32_t>(qzMonoTick()) ^ static_cast<uint32_t>(getpid());
    f.nextRequestId = r & ~kRequestBit;
    fleetFilesLoad(sv);
    f.counterReserved = f.sendCounter;
    f.started = 1;
}

void fleetShutdown(stQzSv* sv) {
    stFleet& f = sv->fleet;
    if (!f.started) return;
    stop(sv);
    fleetFilesClose(sv);
    memset(f.key, 0, sizeof f.key);
    f.started = 0;
}

void fleetFrame(stQzSv* sv) {
    stFleet& f = sv->fleet;
    if (!f.started) return;
    configure(sv);
    if (!f.active) return;
    fleetMastersRead(sv, onPacket);
    if (fleetMastersPoll(sv)) afterFailover(sv);
    // A master may answer hellos and lookups from memory while its database is away: a report
    // it leaves unanswered as long sends the server to the next master all the same.
    if (const stFleetReport* head = oldest(&f)) {
        if (f.masterCount > 1 && head->askedTick &&
            tickElapsed(qzMonoTick(), head->askedTick) >= QZF_FAILOVER_MS) {
            fleetMastersMoveOn(sv, "does not answer reports");
            afterFailover(sv);
        }
    }
    if (!fleetMastersReady(sv)) return;
    unsigned now = qzMonoTick();
    if (!f.helloSent || due(now, f.helloDue)) sendHello(sv);
    sendReports(sv);
    for (int s = 1; s <= QZ_SLOTS; s++) {
        stFleetLookup& l = f.lookups[s - 1];
        if (!l.id) continue;
        // Asked until answered or he leaves: a master that is loading, or lost the datagram,
        // answers a later try (the wait doubles up to QZF_LOOKUP_RETRY_MAX_MS).
        if (l.tries == 0 || tickElapsed(now, l.sentTick) >= l.waitMs) {
            if (l.tries > 0)
                l.waitMs =
                    l.waitMs * 2 > QZF_LOOKUP_RETRY_MAX_MS ? QZF_LOOKUP_RETRY_MAX_MS : l.waitMs * 2;
            sendLookup(sv, s);
        }
    }
}

void fleetBanOrigin(stQzSv* sv, int source) { QZ_COPY(sv->fleet.origin, sourceName(source)); }

namespace {

stFleetReport* freeReport(stFleet* f) {
    for (stFleetReport& q : f->queue)
        if (!q.id) return &q;
    return nullptr;
}

// Fills the free queue entry r with the report b (its body already formatted, n bytes), appends
// it to qzfleetq.dat and counts it; a file that cannot be written keeps it in memory.
void queueReport(stQzSv* sv, stFleetReport* r, const FleetBody& b, const char* body, int n) {
    stFleet& f = sv->fleet;
    memset(r, 0, sizeof *r);
    r->id = b.id;
    r->epoch = b.epoch;
    r->kind = b.kind;
    r->order = ++f.nextOrder;
    QZ_COPY(r->guid, b.guid);
    memcpy(r->body, body, static_cast<size_t>(n) + 1);
    r->bodyLen = n;
    r->waitMs = QZF_RETRY_FIRST_MS;
    if (!fleetQueueAppend(sv, *r)) {
        svMsg(sv,
              "Fleet: qzfleetq.dat cannot be written: the report is kept until the module ends");
    }
    f.nextReportId++;
    f.queued++;
}

// Who made the ban, as one token for the report: the source, then the name and address (or the
// GUID) of the action's origin when it has them: "web:alice@10.0.0.9", "vote:<GUID>",
// "ucon:ops@10.0.0.9". Blanks, quotes and control bytes become '_'; the token is cut to its
// maximum.
void originToken(stQzSv* sv, const char* source, char (&out)[QZF_ORIGIN_MAX + 1]) {
    const QzOrigin* o = auditOrigin(sv);
    const char* who = o->kind == QZ_ORIGIN_VOTE || o->kind == QZ_ORIGIN_PLAYER ? o->guid : o->name;
    const char* where = o->kind == QZ_ORIGIN_VOTE || o->kind == QZ_ORIGIN_PLAYER ? "" : o->addr;
    trf(out, qz::cap(out), "%s%s%s%s%s", source, *who ? ":" : "", who, *where ? "@" : "", where);
    for (char* c = out; *c; ++c) {
        if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f || *c == '"') *c = '_';
    }
}

// Queues an unban report of the GUID (fleetId 0: every fleet ban the scope covers) and says so.
void queueUnban(stQzSv* sv, const char* guid, uint64_t fleetId, int banSlot, const char* scope,
                const char* what) {
    stFleet& f = sv->fleet;
    stFleetReport* r = freeReport(&f);
    FleetBody b{};
    b.kind = QZF_UNBAN;
    b.epoch = f.reportEpoch;
    b.id = f.nextReportId;
    b.fleetId = fleetId;
    b.slot = static_cast<uint32_t>(banSlot > 0 ? banSlot : 0);
    b.time = static_cast<uint64_t>(qzTime());
    QZ_COPY(b.guid, guid);
    QZ_COPY(b.scope, scope);
    char body[QZF_REPORT_BODY_MAX + 1];
    int n = r ? fleetFormat(body, qz::cap(body), b) : 0;
    if (n <= 0) {
        svMsg(sv, "Fleet: report queue full: the unban of %s was NOT reported to the fleet (%s)",
              guid, what);
        return;
    }
    queueReport(sv, r, b, body, n);
    svMsg(sv, "Guid %s: %s (report %" PRIx64 ":%x queued for the ban service)", guid, what,
          r->epoch, r->id);
    if (f.active) sendReports(sv);
}

}  // namespace

void fleetBanAdded(stQzSv* sv, int banSlot, const char* guid, const char* name, const char* address,
                   bool vote) {
    stFleet& f = sv->fleet;
    int scope = f.scope >= 0 ? f.scope : vote ? f.voteBan : f.banDefault;
    char origin[QZF_ORIGIN_MAX + 1];
    originToken(sv, f.origin[0] ? f.origin : vote ? "vote" : "console", origin);
    f.origin[0] = 0;
    if (!f.started || scope != 1 || banSlot <= 0) return;
    FleetBody b{};
    b.kind = QZF_REPORT;
    b.time = static_cast<uint64_t>(qzTime());
    b.slot = static_cast<uint32_t>(banSlot);
    b.banKind = 'G';
    QZ_COPY(b.guid, guid);
    QZ_COPY(b.addr, address && address[0] ? address : "?");
    for (char* p = b.addr; *p; p++)
        if (static_cast<unsigned char>(*p) <= ' ' || *p == '"' || *p == 0x7f) *p = '?';
    QZ_COPY(b.origin, origin);
    fleetCleanName(name ? name : "", b.name);
    stFleetReport* r = freeReport(&f);
    if (!r) {
        svMsg(sv, "Fleet: report queue full (%d): this ban holds on this server only",
              QZF_QUEUE_MAX);
        return;
    }
    b.epoch = f.reportEpoch;
    b.id = f.nextReportId;
    char body[QZF_REPORT_BODY_MAX + 1];
    int n = fleetFormat(body, qz::cap(body), b);
    if (n <= 0) {
        svMsg(sv, "Fleet: GUID %s cannot be reported: this ban holds on this server only", guid);
        return;
    }
    queueReport(sv, r, b, body, n);
    svMsg(sv, "Fleet-wide ban of %s: report %" PRIx64 ":%x queued for the ban service%s", b.guid,
          r->epoch, r->id,
          f.active
              ? ""
              : " (not configured: sent once qz_sv_FleetService and qz_sv_FleetServer are set)");
    if (f.active) sendReports(sv);
}

void fleetUnbanned(stQzSv* sv, const char* guid, int banSlot) {
    stFleet& f = sv->fleet;
    if (!f.started || !fleetGuidOk(guid, slen(guid))) return;
    const char* self = f.serverId[0] ? f.serverId : f.activeServerId;
    if (f.scope == 1) {
        // The deliberate act: every fleet ban of the GUID, whoever made it.
        while (stFleetBan* e = fleetCacheOf(&f, guid, nullptr)) forget(sv, e->fleetId, guid);
        queueUnban(sv, guid, 0, banSlot, QZF_SCOPE_FLEET,
                   "every fleet ban of it is lifted fleet-wide");
        return;
    }
    // A kick with minutes was never reported: lifting it lifts nothing in the fleet.
    const stBanEntry* entry = banSlot > 0 ? banEntry(sv, banSlot) : nullptr;
    if (entry && entry->kind == QZ_BAN_KICK && entry->length > 0) return;
    const stFleetBan* own = self[0] ? fleetCacheOf(&f, guid, self) : nullptr;
    bool pending = false;
    for (const stFleetReport& r : f.queue)
        if (r.id && r.kind == QZF_REPORT && !strcasecmp(r.guid, guid)) pending = true;
    // The cache knows every fleet ban of this server once a sync has finished since the start
    // and nothing overflowed it; before that (qzfleet.dat lost or restored, a full cache) an
    // unban is reported all the same, and the service lifts this server's own ban if it has one.
    bool unsure = !f.syncedOnce || f.cacheOverflow;
    if (own) {
        uint64_t id = own->fleetId;
        forget(sv, id, guid);
        queueUnban(sv, guid, id, banSlot, QZF_SCOPE_OWN, "this server's fleet ban is lifted");
    } else if (pending || unsure) {
        queueUnban(sv, guid, 0, banSlot, QZF_SCOPE_OWN,
                   "this server's fleet ban of it, if it made one, is lifted");
    }
    if (const stFleetBan* other = fleetCacheFind(sv, guid, static_cast<uint64_t>(qzTime())))
        svMsg(sv,
              "Fleet: %s stays banned by the fleet (fleet ban #%" PRIu64
              " from %s); to lift it: qz_sv_FleetScope fleet qz_sv_UnbanGuid %s",
              guid, other->fleetId, other->server, guid);
}

bool fleetAdmit(stQzSv* sv, int slot, const Qz_Sv_Client_s* c) {
    if (!sv->fleet.started || !c->guid[0]) return true;
    const stFleetBan* e = fleetCacheFind(sv, c->guid, static_cast<uint64_t>(qzTime()));
    if (!e) return true;
    char dialog[96];
    QZ_TRF(dialog, kRefuseOtherFmt, kReason);
    svSendClient(sv, slot, "%s", dialog);
    svHost(sv, "DropClient", "%d %s", slot, kReason);
    svMsg(sv,
          "BANNED (slot #%d) %s [%s] \"%s\" Connection Refused: %s (fleet ban #%" PRIu64
          " from %s)",
          slot, c->address, c->guid, c->name, kReason, e->fleetId,
          strcmp(e->server, "-") ? e->server : "the ban service");
    return false;
}

void fleetConnect(stQzSv* sv, int slot) {
    stFleet& f = sv->fleet;
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!f.started || !f.active || !c || !fleetGuidOk(c->guid, slen(c->guid)) || plIsBot(c) ||
        plIsHostPlayer(c))
        return;
    stFleetLookup& l = f.lookups[slot - 1];
    l.id = nextRequest(&f);
    l.seq = c->seq;
    l.tries = 0;
    l.waitMs = QZF_LOOKUP_RETRY_MS;
    sendLookup(sv, slot);
}
