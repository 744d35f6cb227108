// The fleet's masters as the module reaches them: the qz_sv_FleetService list, one socket per
// master connected to its address (the kernel then drops every datagram from anyone else, so a
// stranger's flood can neither fill the receive buffer nor hide an answer behind it), one replay
// window per master (two masters' counters have nothing in common), the master asked now, and the
// move to the next one when it falls silent.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "remote/fleet.h"
#include "remote/fleet_store.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

constexpr uint64_t kCounterReserve = 60000000;  // counters (µs) reserved per cache line

bool due(unsigned now, unsigned at) { return static_cast<int>(now - at) >= 0; }

uint64_t realMicros() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint64_t nameKey(const char* s) {
    uint64_t h = 14695981039346656037ull;
    for (; *s; s++) h = (h ^ static_cast<unsigned char>(*s)) * 1099511628211ull;
    return h ? h : 1;
}

bool hostChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' ||
           c == '-' || c == '_';
}

// Opens the socket of a resolved master and connects it to the master's address.
bool connectMaster(stQzSv* sv, stFleetMaster* m) {
    char prefix[160];
    QZ_TRF(prefix, "Fleet: %s: ", m->name);
    if (!udpOpen(sv, &m->udp, "", 0, prefix)) return false;
    sockaddr_in to = m->resolve.address;
    to.sin_port = htons(static_cast<uint16_t>(m->port));
    if (connect(m->udp.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        svMsg(sv, "Fleet: %s: cannot connect the socket {%d}", m->name, errno);
        udpClose(&m->udp);
        return false;
    }
    return true;
}

bool ready(const stFleetMaster& m) { return m.udp.fd > 0; }

// Moves to the next master (in the order given) that is ready, or the next one at all.
void moveOn(stQzSv* sv, const char* why) {
    stFleet& f = sv->fleet;
    int from = f.current;
    int to = from;
    for (int k = 1; k <= f.masterCount; k++) {
        int i = (from + k) % f.masterCount;
        if (ready(f.masters[i])) {
            to = i;
            break;
        }
    }
    if (to == from) to = (from + 1) % f.masterCount;
    f.masters[from].waiting = 0;
    f.masters[to].waiting = 0;
    f.current = to;
    f.failovers++;
    svMsg(sv, "Fleet: ban service %s %s: asking %s", f.masters[from].name, why, f.masters[to].name);
}

}  // namespace

int fleetServiceParse(const char* text, stFleetMaster* out, char* why, int whySize) {
    stFleetMaster own[QZF_MASTERS_MAX];
    if (!out) out = own;
    int count = 0;
    const char* p = text;
    if (!*p) {
        trf(why, whySize, "empty");
        return 0;
    }
    while (*p) {
        const char* end = strchr(p, ',');
        int n = end ? static_cast<int>(end - p) : slen(p);
        const char* colon = nullptr;
        for (int i = 0; i < n; i++)
            if (p[i] == ':') colon = p + i;
        int hn = colon ? static_cast<int>(colon - p) : 0;
        int pn = colon ? n - hn - 1 : 0;
        bool ok = colon && hn >= 1 && hn <= 127 && pn >= 1 && pn <= 5;
        for (int i = 0; ok && i < hn; i++) ok = hostChar(p[i]);
        long port = 0;
        for (int i = 0; ok && i < pn; i++) {
            ok = colon[1 + i] >= '0' && colon[1 + i] <= '9';
            port = port * 10 + (colon[1 + i] - '0');
        }
        if (!ok || port < 1 || port > 65535) {
            trf(why, whySize, "\"%.*s\" is not host:port", n > 80 ? 80 : n, p);
            return 0;
        }
        if (count >= QZF_MASTERS_MAX) {
            trf(why, whySize, "at most %d addresses", QZF_MASTERS_MAX);
            return 0;
        }
        stFleetMaster m{};
        trcpyz(m.name, p, n);
        trcpyz(m.host, p, hn);
        m.port = static_cast<int>(port);
        for (int i = 0; i < count; i++)
            if (!strcmp(out[i].name, m.name)) {
                trf(why, whySize, "%s is given twice", m.name);
                return 0;
            }
        out[count] = m;
        count++;
        if (!end) break;
        p = end + 1;
        if (!*p) {
            trf(why, whySize, "ends with ','");
            return 0;
        }
    }
    return count;
}

void fleetMastersOpen(stQzSv* sv, const char* service) {
    stFleet& f = sv->fleet;
    fleetMastersClose(sv);
    char why[128];
    f.masterCount = fleetServiceParse(service, f.masters, why, qz::cap(why));
    for (int i = 0; i < f.masterCount; i++) {
        stFleetMaster& m = f.masters[i];
        m.udp.fd = -1;
        m.key = nameKey(m.name);
        resolveStart(&m.resolve, m.host);
    }
    f.current = 0;
}

void fleetMastersClose(stQzSv* sv) {
    stFleet& f = sv->fleet;
    for (int i = 0; i < f.masterCount; i++) {
        resolveCancel(&f.masters[i].resolve);
        udpClose(&f.masters[i].udp);
    }
    f.masterCount = 0;
    f.current = 0;
}

bool fleetMastersPoll(stQzSv* sv) {
    stFleet& f = sv->fleet;
    unsigned now = qzMonoTick();
    for (int i = 0; i < f.masterCount; i++) {
        stFleetMaster& m = f.masters[i];
        if (ready(m)) continue;
        int st = resolvePoll(&m.resolve);
        if (st == QZ_RES_DONE) {
            connectMaster(sv, &m);
        } else if (st == QZ_RES_FAILED && due(now, m.resolveRetryTick)) {
            m.resolveRetryTick = now + 5000;
            resolveStart(&m.resolve, m.host);
        }
    }
    if (f.masterCount < 2) return false;
    stFleetMaster& cur = f.masters[f.current];
    if (!ready(cur)) {
        for (int i = 0; i < f.masterCount; i++)
            if (ready(f.masters[i])) {
                moveOn(sv, "is not reachable yet");
                return true;
            }
        return false;
    }
    if (cur.waiting && tickElapsed(now, cur.waitSince) >= QZF_FAILOVER_MS) {
        moveOn(sv, "does not answer");
        return true;
    }
    return false;
}

void fleetMastersMoveOn(stQzSv* sv, const char* why) {
    if (sv->fleet.masterCount > 1) moveOn(sv, why);
}

bool fleetMastersReady(stQzSv* sv) {
    const stFleet& f = sv->fleet;
    return f.masterCount > 0 && ready(f.masters[f.current]);
}

bool fleetSendBody(stQzSv* sv, const char* body, int n, bool request) {
    stFleet& f = sv->fleet;
    if (!f.active || !f.keyOk || !fleetMastersReady(sv)) return false;
    stFleetMaster& m = f.masters[f.current];
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
    sockaddr_in to = m.resolve.address;
    to.sin_port = htons(static_cast<uint16_t>(m.port));
    int st = udpSend(&m.udp, &to, pkt, len);
    if (st < 0 && !m.waiting) {
        // The port was refused (an earlier datagram drew an ICMP error): silence at once.
        m.waiting = 1;
        m.waitSince = qzMonoTick() - static_cast<unsigned>(QZF_FAILOVER_MS);
    }
    if (st != 1) return false;
    f.sent++;
    if (request && !m.waiting) {
        m.waiting = 1;
        m.waitSince = qzMonoTick();
    }
    return true;
}

void fleetMastersRead(stQzSv* sv, void (*fn)(stQzSv* sv, int master, const char* data, int n)) {
    stFleet& f = sv->fleet;
    char buf[QZF_PACKET_MAX + 1];
    for (int i = 0; i < f.masterCount; i++) {
        stFleetMaster& m = f.masters[i];
        for (int k = 0; k < QZF_RECV_PER_FRAME && ready(m); k++) {
            sockaddr_in from;
            int n = udpRecv(&m.udp, buf, qz::cap(buf) - 1, &from);
            if (n < 0 && !m.waiting) {
                m.waiting = 1;
                m.waitSince = qzMonoTick() - static_cast<unsigned>(QZF_FAILOVER_MS);
            }
            if (n <= 0) break;
            fn(sv, i, buf, n);
        }
    }
}

FleetWindow* fleetWindowOf(stFleet* f, uint64_t key) {
    stFleetWindowRec* free = nullptr;
    for (stFleetWindowRec& w : f->windows) {
        if (w.key == key) return &w.window;
        if (!w.key && !free) free = &w;
    }
    if (!free) {
        // Every slot taken: the one no configured master uses goes.
        for (stFleetWindowRec& w : f->windows) {
            bool used = false;
            for (int i = 0; i < f->masterCount; i++) used = used || f->masters[i].key == w.key;
            if (!used) {
                free = &w;
                break;
            }
        }
        if (!free) free = &f->windows[0];
    }
    free->key = key;
    free->window = FleetWindow{};
    return &free->window;
}
