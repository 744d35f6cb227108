// Fleet bans on the module's side: the exchange with the ban service (hello/sync, reports with
// back-off, lookups of connecting players, answers and pushes), the checks every packet passes
// before it changes anything, and the hooks the ban commands and the connection check call.
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
#include "players/slots.h"
#include "remote/fleet_store.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr const char* kKeyFile = "qzfleet.key";
constexpr const char* kReason = "GLOBAL Kestrine GUID BAN";
constexpr uint32_t kRequestBit = 0x80000000u;   // lookups and hellos; reports count from 1
constexpr uint64_t kCounterReserve = 60000000;  // counters (µs) reserved per cache line

// True once tick at has come (ticks wrap; waits here are far below half the range).
bool due(unsigned now, unsigned at) { return static_cast<int>(now - at) >= 0; }

uint64_t realMicros() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

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
    resolveCancel(&f.resolve);
    udpClose(&f.udp);
    f.active = 0;
    f.activeService[0] = f.activeServerId[0] = 0;
}

// (Re)starts the exchange when the settings name a service and an id and the key is usable.
void configure(stQzSv* sv) {
    stFleet& f = sv->fleet;
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
    char host[128];
    const char* colon = strrchr(f.service, ':');
    int port = colon ? atoi(colon + 1) : 27953;
    int hn = colon ? static_cast<int>(colon - f.service) : slen(f.service);
    if (hn < 1 || hn >= qz::cap(host) || port < 1 || port > 65535) {
        svMsg(sv, "Fleet: qz_sv_FleetService must be host:port (%s)", f.service);
        return;
    }
    trcpyz(host, f.service, hn);
    if (!loadKey(sv)) {
        f.keyRetry = 1;
        f.keyRetryTick = qzMonoTick() + QZF_KEY_RETRY_MS;
        return;
    }
    // The cache table is taken now, not on the first push in some frame.
    if (!f.cache) f.cache = static_cast<stFleetBan*>(calloc(QZF_CACHE_SLOTS, sizeof(stFleetBan)));
    f.udp.fd = -1;
    if (!udpOpen(sv, &f.udp, "", 0, "Fleet: ")) return;
    f.port = port;
    resolveStart(&f.resolve, host);
    f.active = 1;
    f.helloSent = 0;
    svMsg(sv, "Fleet: ban service %s, this server \"%s\"", f.service, f.serverId);
}

bool resolved(stQzSv* sv) {
    stFleet& f = sv->fleet;
    int st = resolvePoll(&f.resolve);
    if (st == QZ_RES_DONE) return true;
    if (st == QZ_RES_FAILED && due(qzMonoTick(), f.resolveRetryTick)) {
        f.resolveRetryTick = qzMonoTick() + 5000;
        resolveStart(&f.resolve, f.resolve.name);
    }
    return false;
}

// Seals and sends a body to the service; false when it could not go now.
bool sendBody(stQzSv* sv, const char* body, int n) {
    stFleet& f = sv->fleet;
    if (!f.active || !f.keyOk || !resolved(sv)) return false;
    uint64_t counter = fleetNextCounter(&f.sendCounter, realMicros());
    if (counter >= f.counterReserved) {
        // A restart must not send counters the service has seen: the file keeps a ceiling.
        f.counterReserved = counter + kCounterReserve;
        fleetCacheAppend(sv, "C %" PRIu64 "\n", f.counterReserved);
    }
    char pkt[QZF_PACKET_MAX + 1];
    int len =
        fleetSeal(pkt, qz::cap(pkt), body, n, f.activeServerId, counter, QZF_TO_SERVICE, f.key);
    if (len <= 0) return false;
    sockaddr_in to = f.resolve.address;
    to.sin_port = htons(static_cast<uint16_t>(f.port));
    if (udpSend(&f.udp, &to, pkt, len) != 1) return false;
    f.sent++;
    return true;
}

bool sendForm(stQzSv* sv, const FleetBody& b) {
    char body[QZF_BODY_MAX + 1];
    int n = fleetFormat(body, qz::cap(body), b);
    return n > 0 && sendBody(sv, body, n);
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
        if (r.id && (!best || r.id < best->id)) best = &r;
    return best;
}

void sendReports(stQzSv* sv) {
    stFleet& f = sv->fleet;
    stFleetReport* r = oldest(&f);
    if (!r) return;
    unsigned now = qzMonoTick();
    if (r->sends && !due(now, r->nextTick)) return;
    if (!sendBody(sv, r->body, r->bodyLen)) return;
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

void sendHello(stQzSv* sv) {
    stFleet& f = sv->fleet;
    FleetBody b{};
    b.kind = QZF_QUERY;
    b.id = nextRequest(&f);
    b.time = static_cast<uint64_t>(qzTime());
    QZ_COPY(b.guid, "*");
    b.fleetId = f.syncId;
    if (sendForm(sv, b)) {
        f.helloTick = qzMonoTick();
        f.helloSent = 1;
    }
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
    uint64_t sync = f.syncId;
    if (!fleetCachePut(&f, ban)) {
        svMsg(sv, "Fleet: cache full (%d bans): fleet ban #%" PRIu64 " enforced by lookups only",
              QZF_CACHE_MAX, ban.fleetId);
        return;
    }
    fleetCacheAppend(sv, "P %" PRIu64 " %s %" PRIu64 " %" PRIu64 " %s\n", ban.fleetId, ban.guid,
                     ban.banTime, ban.length, ban.server);
    if (f.syncId > sync) fleetCacheAppend(sv, "S %" PRIu64 "\n", f.syncId);
}

void onAnswer(stQzSv* sv, const FleetBody& b) {
    stFleet& f = sv->fleet;
    f.answers++;
    if (!(b.id & kRequestBit)) {
        for (stFleetReport& r : f.queue) {
            if (r.id != b.id || !r.id) continue;
            bool ack = !strcmp(b.verdict, QZF_ACK);
            if (!ack && strcmp(b.verdict, QZF_REFUSED)) return;
            fleetQueueDone(sv, r.id);
            if (ack) {
                svMsg(sv, "Fleet: %s report %x for %s acknowledged",
                      r.kind == QZF_UNBAN ? "unban" : "ban", r.id, r.guid);
                bool unbanned = false;  // an unban of the GUID waits behind this report
                for (const stFleetReport& u : f.queue)
                    if (u.id && u.kind == QZF_UNBAN && !strcasecmp(u.guid, r.guid)) unbanned = true;
                if (r.kind == QZF_REPORT && b.fleetId && !unbanned) {
                    stFleetBan ban{};
                    ban.fleetId = b.fleetId;
                    ban.banTime = static_cast<uint64_t>(qzTime());
                    QZ_COPY(ban.guid, r.guid);
                    QZ_COPY(ban.server, f.activeServerId);
                    remember(sv, ban);
                }
            } else {
                svMsg(sv, "Fleet: %s report %x for %s refused by the ban service",
                      r.kind == QZF_UNBAN ? "unban" : "ban", r.id, r.guid);
            }
            r.id = 0;
            f.queued--;
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
            stFleetBan ban{};
            ban.fleetId = b.fleetId;
            ban.banTime = static_cast<uint64_t>(qzTime());
            QZ_COPY(ban.guid, b.guid);
            QZ_COPY(ban.server, "-");
            const stFleetBan* known = fleetCacheFind(sv, b.guid, ban.banTime);
            if (!known || known->fleetId != b.fleetId) remember(sv, ban);
            removeBanned(sv, s, b.fleetId, "the ban service");
        }
        return;
    }
}

void onPush(stQzSv* sv, const FleetBody& b) {
    stFleet& f = sv->fleet;
    f.pushes++;
    if (b.kind == QZF_LIFT) {
        if (fleetCacheLift(&f, b.fleetId, b.guid)) {
            fleetCacheAppend(sv, "R %" PRIu64 "\n", b.fleetId);
            svMsg(sv, "Fleet: ban #%" PRIu64 " of %s lifted by the fleet", b.fleetId, b.guid);
        }
        return;
    }
    stFleetBan ban{};
    ban.fleetId = b.fleetId;
    ban.banTime = b.time;
    ban.length = b.length;
    QZ_COPY(ban.guid, b.guid);
    QZ_COPY(ban.server, b.server);
    const stFleetBan* known = fleetCacheSlot(&f, b.guid);
    bool fresh = !known || known->fleetId != b.fleetId || known->length != b.length;
    if (fresh) {
        remember(sv, ban);
        svMsg(sv, "Fleet: Banned %s (fleet ban #%" PRIu64 " from %s)", b.guid, b.fleetId, b.server);
    } else if (b.fleetId > f.syncId) {
        f.syncId = b.fleetId;
    }
    if (fleetCacheFind(sv, b.guid, static_cast<uint64_t>(qzTime())))
        removeGuid(sv, b.guid, b.fleetId, b.server);
}

// One datagram from the fleet socket: every check first, then the body.
void onPacket(stQzSv* sv, const char* data, int n) {
    stFleet& f = sv->fleet;
    FleetEnvelope env;
    FleetBody b;
    int why = fleetOpen(data, n, &env);
    if (why == QZF_OK && strcmp(env.server, f.activeServerId)) why = QZF_UNKNOWN_SERVER;
    if (why == QZF_OK && !fleetVerify(env, QZF_TO_SERVER, f.key)) why = QZF_BAD_MAC;
    if (why == QZF_OK && !fleetParse(env.body, env.bodyLen, &b)) why = QZF_BAD_SYNTAX;
    if (why == QZF_OK && b.kind != QZF_ANSWER && b.kind != QZF_PUSH && b.kind != QZF_LIFT)
        why = QZF_BAD_SYNTAX;
    if (why == QZF_OK && !fleetWindowAccept(&f.window, env.counter)) why = QZF_REPLAY;
    f.refused[why]++;
    if (why != QZF_OK) {
        // Counted; a line only for the first few, so a flood does not fill the log.
        if (f.refused[why] <= 5) svMsg(sv, "Fleet: packet refused (%s)", fleetRefusalName(why));
        return;
    }
    fleetCacheAppend(sv, "W %" PRIu64 " %" PRIx64 "\n", f.window.highest, f.window.seen);
    if (b.kind == QZF_ANSWER)
        onAnswer(sv, b);
    else
        onPush(sv, b);
}

}  // namespace

void fleetStartup(stQzSv* sv) {
    stFleet& f = sv->fleet;
    f.queueFd = f.cacheFd = -1;
    f.udp.fd = -1;
    f.scope = -1;
    f.active = 0;
    f.activeService[0] = f.activeServerId[0] = 0;
    uint32_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r) r = static_cast<uint32_t>(realMicros());
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
    char buf[QZF_PACKET_MAX + 1];
    for (int i = 0; i < QZF_RECV_PER_FRAME; i++) {
        sockaddr_in from;
        int n = udpRecv(&f.udp, buf, qz::cap(buf) - 1, &from);
        if (n <= 0) break;
        onPacket(sv, buf, n);
    }
    if (!resolved(sv)) return;
    unsigned now = qzMonoTick();
    if (!f.helloSent || tickElapsed(now, f.helloTick) >= QZF_HELLO_MS) sendHello(sv);
    sendReports(sv);
    for (int s = 1; s <= QZ_SLOTS; s++) {
        stFleetLookup& l = f.lookups[s - 1];
        if (!l.id) continue;
        if (l.tries == 0 || tickElapsed(now, l.sentTick) >= QZF_LOOKUP_RETRY_MS) {
            if (l.tries >= QZF_LOOKUP_TRIES)
                l.id = 0;  // the hello/push repair the rest
            else
                sendLookup(sv, s);
        }
    }
}

void fleetBanOrigin(stQzSv* sv, int source) { QZ_COPY(sv->fleet.origin, sourceName(source)); }

namespace {

// Fills the free queue entry r with the report b (its body already formatted, n bytes), appends
// it to qzfleetq.dat and counts it; a file that cannot be written keeps it in memory.
void queueReport(stQzSv* sv, stFleetReport* r, const FleetBody& b, const char* body, int n) {
    stFleet& f = sv->fleet;
    memset(r, 0, sizeof *r);
    r->id = b.id;
    r->kind = b.kind;
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
// "ucon:ops@10.0.0.9". Blanks, quotes and control bytes become '_'; the token is cut to its maximum.
void originToken(stQzSv* sv, const char* source, char (&out)[QZF_ORIGIN_MAX + 1]) {
    const QzOrigin* o = auditOrigin(sv);
    const char* who = o->kind == QZ_ORIGIN_VOTE || o->kind == QZ_ORIGIN_PLAYER ? o->guid : o->name;
    const char* where = o->kind == QZ_ORIGIN_VOTE || o->kind == QZ_ORIGIN_PLAYER ? "" : o->addr;
    trf(out, qz::cap(out), "%s%s%s%s%s", source, *who ? ":" : "", who, *where ? "@" : "", where);
    for (char* c = out; *c; ++c) {
        if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f || *c == '"') *c = '_';
    }
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
    stFleetReport* r = nullptr;
    for (stFleetReport& q : f.queue)
        if (!q.id) {
            r = &q;
            break;
        }
    if (!r) {
        svMsg(sv, "Fleet: report queue full (%d): this ban holds on this server only",
              QZF_QUEUE_MAX);
        return;
    }
    b.id = f.nextReportId;
    char body[QZF_REPORT_BODY_MAX + 1];
    int n = fleetFormat(body, qz::cap(body), b);
    if (n <= 0) {
        svMsg(sv, "Fleet: GUID %s cannot be reported: this ban holds on this server only", guid);
        return;
    }
    queueReport(sv, r, b, body, n);
    svMsg(sv, "Fleet-wide ban of %s: report %x queued for the ban service%s", b.guid, r->id,
          f.active
              ? ""
              : " (not configured: sent once qz_sv_FleetService and qz_sv_FleetServer are set)");
    if (f.active) sendReports(sv);
}

void fleetUnbanned(stQzSv* sv, const char* guid, int banSlot) {
    stFleet& f = sv->fleet;
    if (!f.started || !fleetGuidOk(guid, slen(guid))) return;
    stFleetBan* e = fleetCacheSlot(&f, guid);
    uint64_t fleetId = e && e->fleetId ? e->fleetId : 0;
    bool pending = false;
    for (const stFleetReport& r : f.queue)
        if (r.id && r.kind == QZF_REPORT && !strcasecmp(r.guid, guid)) pending = true;
    if (!fleetId && !pending) return;
    if (fleetId) {
        fleetCacheLift(&f, fleetId, guid);
        fleetCacheAppend(sv, "R %" PRIu64 "\n", fleetId);
    }
    stFleetReport* r = nullptr;
    for (stFleetReport& q : f.queue)
        if (!q.id) {
            r = &q;
            break;
        }
    FleetBody b{};
    b.kind = QZF_UNBAN;
    b.id = f.nextReportId;
    b.fleetId = 0;  // every live fleet ban of the GUID: this server's unban lifts the fleet's
    b.slot = static_cast<uint32_t>(banSlot > 0 ? banSlot : 0);
    b.time = static_cast<uint64_t>(qzTime());
    QZ_COPY(b.guid, guid);
    char body[QZF_REPORT_BODY_MAX + 1];
    int n = r ? fleetFormat(body, qz::cap(body), b) : 0;
    if (n <= 0) {
        svMsg(sv, "Fleet: report queue full: the fleet-wide unban of %s was not reported", guid);
        return;
    }
    queueReport(sv, r, b, body, n);
    svMsg(sv, "Guid %s has been Unbanned fleet-wide (report %x queued for the ban service)", guid,
          r->id);
    if (f.active) sendReports(sv);
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
          slot, c->address, c->guid, c->name, kReason, e->fleetId, e->server);
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
    sendLookup(sv, slot);
}
