// The master exchange: socket, name resolution, queries, the frame call and the directives.
#include "remote/mastnet.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "commands/atomic_file.h"
#include "commands/directives.h"
#include "host/bridge.h"
#include "host/netready.h"
#include "host/state.h"
#include "media/audit.h"
#include "players/violations.h"
#include "remote/clientfiles.h"
#include "remote/guidauth.h"
#include "remote/mastauth.h"
#include "remote/packets.h"
#include "remote/transfer.h"
#include "remote/update.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/net.h"
#include "util/text.h"

namespace {

// Directive words: what each switches and the message the administrator sees.
struct Directive {
    const char* word;
    int what;
};
enum { D_VIOLATION, D_RESTRICTION, D_TECHNICAL, D_NEWKICKS, D_RESUME };
constexpr Directive kDirectives[] = {
    {"suspend violation", D_VIOLATION},
    {"suspend restriction", D_RESTRICTION},
    {"ignore technical", D_TECHNICAL},
    {"suspend new", D_NEWKICKS},
    {"resume", D_RESUME},
};

bool sameAddr(const sockaddr_in* a, const sockaddr_in* b) {
    return a->sin_addr.s_addr == b->sin_addr.s_addr && a->sin_port == b->sin_port;
}

// Writes one line to a home file through a temporary, so a failure leaves the old file.
void writeLine(stQzSv* sv, const char* name, const char* line) {
    AtomicFile f;
    if (f.open(name)) f.put("%s\r\n", line);
    if (!f.commit()) svMsg(sv, "Cannot Load New Master Security Data");
}

// Security data from a master: a line of at most 200 printable characters, kept in "qzsv.db".
void securityData(stQzSv* sv, const char* data) {
    svMsg(sv, "Received Master Security Information");
    int n = slen(data);
    bool ok = n > 0 && n <= 200;
    for (int i = 0; ok && i < n; ++i) ok = data[i] >= 0x20 && data[i] < 0x7f;
    if (!ok) {
        svMsg(sv, "Cannot Load New Master Security Data");
        return;
    }
    char old[256] = "";
    if (FILE* fp = homeOpen("qzsv.db", "rb")) {
        size_t got = fread(old, 1, sizeof old - 1, fp);
        old[got] = 0;
        fclose(fp);
        char* end = strpbrk(old, "\r\n");
        if (end) *end = 0;
    }
    if (old[0] && strcmp(old, data) == 0) return;
    if (old[0]) svMsg(sv, "Security Discrepancy between existing and new data");
    writeLine(sv, "qzsv.db", data);
}

}  // namespace

void remoteStart(stQzSv* sv) {
    stRemote* r = &sv->remote;
    r->udp.fd = -1;
    r->files = flexarMake(sizeof(stQzFileServer), 8);
    outqCreate(sv, &r->outq);
    r->masters = static_cast<stQzMaster*>(calloc(QZ_MASTER_MAX, sizeof(stQzMaster)));
    r->addr = static_cast<stQzMasterAddr*>(calloc(QZ_MASTER_MAX, sizeof(stQzMasterAddr)));
    if (!r->masters || !r->addr) {
        svMsg(sv, "Memory Allocation Error");
        free(r->masters);
        free(r->addr);
        r->masters = nullptr;
        r->addr = nullptr;
        return;
    }
    udpOpen(sv, &r->udp, nullptr, 0, "QZ Master: ");
    remoteLoadMasters(sv);
    updLoadKey(sv);
    r->nextCheckTick = GetTickCount() + QZ_MASTER_FIRST_QUERY_MS;
}

void remoteShutdown(stQzSv* sv) {
    stRemote* r = &sv->remote;
    if (r->addr) {
        for (int i = 0; i < QZ_MASTER_MAX; ++i) resolveCancel(&r->addr[i].res);
    }
    resolveCancel(&r->directiveLookup);
    for (stQzDownload& d : r->dl) dlEnd(sv, &d);
    updInstallAbandon(sv);
    cfShutdown(sv);
    flexarFree(&r->files);
    outqFree(&r->outq);
    udpClose(&r->udp);
    free(r->masters);
    free(r->addr);
    r->masters = nullptr;
    r->addr = nullptr;
}

void remoteLoadMasters(stQzSv* sv) {
    stRemote* r = &sv->remote;
    if (!r->masters) return;
    for (int i = 0; i < QZ_MASTER_MAX; ++i) resolveCancel(&r->addr[i].res);
    memset(r->addr, 0, QZ_MASTER_MAX * sizeof(stQzMasterAddr));
    const char* err = masterRead(homePath("qzns.dat"), &r->masterCount, r->masters, QZ_MASTER_MAX);
    if (err || r->masterCount == 0) {
        if (err && strcmp(err, "File Not Found") != 0) svMsg(sv, "%s (qzns.dat)", err);
        masterDefaults(&r->masterCount, r->masters, QZ_MASTER_MAX);
        svLog(sv, "Using the built-in list of %d master servers", r->masterCount);
    } else {
        svLog(sv, "%d master server%s loaded from qzns.dat", r->masterCount,
              r->masterCount == 1 ? "" : "s");
    }
}

void remoteResolve(stQzSv* sv) {
    stRemote* r = &sv->remote;
    if (!r->masters) return;
    if (sv->set.lan) {
        svMsg(sv, "Bypassing DNS attempts due to QZ Server running in LAN mode");
        return;
    }
    for (int i = 0; i < r->masterCount; ++i) {
        stQzMasterAddr* a = &r->addr[i];
        if (a->res.state == QZ_RES_PENDING || a->res.state == QZ_RES_DONE) continue;
        svLog(sv, "Attempting to resolve %s", r->masters[i].host);
        a->announced = 0;
        resolveStart(&a->res, r->masters[i].host);
        r->busy = 1;
    }
}

const sockaddr_in* remoteMasterAddr(stQzSv* sv, int i) {
    stRemote* r = &sv->remote;
    if (!r->masters || i < 0 || i >= r->masterCount) return nullptr;
    stQzResolve* res = &r->addr[i].res;
    if (res->state != QZ_RES_DONE) return nullptr;
    res->address.sin_port = htons(static_cast<uint16_t>(r->masters[i].port));
    return &res->address;
}

const char* remoteMasterName(stQzSv* sv, int i) {
    stRemote* r = &sv->remote;
    if (!r->masters || i < 0 || i >= r->masterCount) return "";
    return r->masters[i].host;
}

int remoteMasterFrom(stQzSv* sv, const sockaddr_in* from) {
    stRemote* r = &sv->remote;
    for (int i = 0; r->masters && i < r->masterCount; ++i) {
        const sockaddr_in* a = remoteMasterAddr(sv, i);
        if (a && sameAddr(a, from)) return i;
    }
    return -1;
}

int remoteQuery(stQzSv* sv) {
    stRemote* r = &sv->remote;
    if (sv->set.lan) {
        svMsg(sv, "No Master Queries are sent when qz_sv_lan = 1");
        return 0;
    }
    int sent = 0;
    char packet[96];
    pktTag(packet, QZ_PT_QUERY);
    for (int i = 0; r->masters && i < r->masterCount; ++i) {
        const sockaddr_in* a = remoteMasterAddr(sv, i);
        if (!a) {
            svLog(sv, "No Master Query Sent - DNS has not yet resolved for %s", r->masters[i].host);
            continue;
        }
        // Each query carries a fresh random value: the answer must repeat it.
        stQzMasterAddr* at = &r->addr[i];
        if (!maNonce(at->nonce)) {
            svMsg(sv, "Error trying to queue packet for sending to QZ Master");
            continue;
        }
        int n = QZ_TAG_LEN + trf(packet + QZ_TAG_LEN, qz::cap(packet) - QZ_TAG_LEN,
                                 "ver %d.%03d os L nonce %s", sv->svVerMajor, sv->svVerMinor,
                                 at->nonce);
        if (!outqUdpTo(sv, &r->outq, a, packet, n)) {
            svMsg(sv, "Error trying to queue packet for sending to QZ Master");
            continue;
        }
        at->queryOpen = 1;
        at->queryTick = GetTickCount();
        char shown[22];
        svLog(sv, "Master Query Sent to (%s) %s", adrStr(a, shown), r->masters[i].host);
        r->busy = 1;
        sent++;
    }
    return sent;
}

void remoteDirectives(stQzSv* sv, const char* text, int length) {
    int i = 0;
    while (i < length) {
        int start = i;
        while (i < length && text[i] != '\n') i++;
        int end = i++;
        if (end > start && text[end - 1] == '\r') end--;
        char line[256];
        if (end - start <= 0 || end - start >= qz::cap(line)) continue;
        memcpy(line, text + start, static_cast<size_t>(end - start));
        line[end - start] = 0;
        if (memchr(line, 0, static_cast<size_t>(end - start))) continue;
        if (strncmp(line, "security ", 9) == 0) {
            auditWrite(sv, "directive", nullptr, "security", QZ_AUDIT_DONE, nullptr);
            securityData(sv, line + 9);
            continue;
        }
        for (const Directive& d : kDirectives) {
            if (strcmp(line, d.word) != 0) continue;
            auditWrite(sv, "directive", nullptr, line, QZ_AUDIT_DONE, nullptr);
            switch (d.what) {
                case D_VIOLATION:
                case D_NEWKICKS:
                    if (!sv->cmd.kicksSuspended) plSuspend(sv, QZ_SUSPEND_VIOLATIONS);
                    break;
                case D_RESTRICTION:
                    if (!sv->viol.restrictionsSuspended) plSuspend(sv, QZ_SUSPEND_RESTRICTIONS);
                    break;
                case D_TECHNICAL:
                    if (!sv->viol.technicalIgnored) plSuspend(sv, QZ_SUSPEND_TECHNICAL);
                    break;
                case D_RESUME:
                    sv->viol.restrictionsSuspended = 0;
                    sv->viol.technicalIgnored = 0;
                    break;
            }
        }
    }
}

void remoteRefused(stQzSv* sv, int master, const char* why) {
    stRemote* r = &sv->remote;
    r->refused++;
    // A flood of forged packets must not flood the log: one line per ten seconds at most,
    // with the count of those not shown.
    unsigned now = GetTickCount();
    if (r->refusedShown && now - r->refusedTick < QZ_REFUSED_LOG_MS) return;
    unsigned quiet = r->refused - r->refusedShown - 1;
    r->refusedShown = r->refused;
    r->refusedTick = now;
    svMsg(sv, "Master packet refused (from %s): %s [%u refused, %u not logged]",
          remoteMasterName(sv, master), why, r->refused, quiet);
}

bool remoteAnswerKey(stQzSv* sv, int master) {
    if (sv->remote.haveUpdateKey) return true;
    remoteRefused(sv, master, "no update key (qzsvkey.pub) to check its signature");
    return false;
}

void remoteDirectivePacket(stQzSv* sv, int master, const char* body, int length) {
    stRemote* r = &sv->remote;
    if (master < 0 || master >= r->masterCount) return;
    stQzMasterAddr* at = &r->addr[master];
    QzDirectiveProof p;
    if (!maDirectiveSplit(body, length, &p)) {
        remoteRefused(sv, master, "directives without nonce and signature");
        return;
    }
    if (!at->queryOpen || tickElapsed(GetTickCount(), at->queryTick) > QZ_MASTER_ANSWER_MS ||
        strcmp(p.nonce, at->nonce) != 0) {
        remoteRefused(sv, master, "directives that answer no query");
        return;
    }
    if (!remoteAnswerKey(sv, master)) return;
    if (!maVerify(r->updateKey, p.sig, body, static_cast<size_t>(p.signedLength))) {
        remoteRefused(sv, master, "directives with a bad signature");
        return;
    }
    at->queryOpen = 0;  // one answer per query: a replay of it finds nothing waiting
    QzOrigin origin = qzOrigin(QZ_ORIGIN_MASTER, master + 1, remoteMasterName(sv, master), nullptr,
                               nullptr);
    QzOriginScope scope(sv, &origin);
    remoteDirectives(sv, p.lines, p.linesLength);
}

void remotePacket(stQzSv* sv, const char* data, int length, const sockaddr_in* from) {
    char type = pktType(data, length);
    if (type == QZ_PT_AUTHANSWER) {
        guidAuthPacket(sv, data, length, from);
        return;
    }
    int master = remoteMasterFrom(sv, from);
    // Only the masters of the list talk to this socket; anything else is dropped unread.
    if (!type || master < 0) return;
    const char* body = data + QZ_TAG_LEN;
    int n = length - QZ_TAG_LEN;
    if (type == QZ_PT_DIRECTIVE) {
        remoteDirectivePacket(sv, master, body, n);
    } else if (type == QZ_PT_FILE) {
        dlPacket(sv, master, body, n, from);
    }
}

void remoteFrame(stQzSv* sv) {
    stRemote* r = &sv->remote;
    if (!r->masters) return;
    unsigned now = GetTickCount();
    cfFrame(sv, now);
    // Nothing waiting: look at the socket ten times a second for unasked directives, and at
    // the automatic query when it falls due.
    if (!r->busy) {
        if (now - r->pollTick < 100) return;
        r->pollTick = now;
        if (static_cast<int>(now - r->nextCheckTick) >= 0) {
            r->nextCheckTick = now + QZ_MASTER_QUERY_MS;
            if (!sv->set.lan) {
                remoteResolve(sv);
                r->updateWanted = 2;  // query only, once resolved
            }
        }
    }
    int waiting = 0;
    for (int i = 0; i < r->masterCount; ++i) {
        stQzMasterAddr* a = &r->addr[i];
        if (a->res.state != QZ_RES_PENDING) continue;
        int st = resolvePoll(&a->res);
        if (st == QZ_RES_PENDING) {
            waiting++;
            continue;
        }
        char shown[INET_ADDRSTRLEN] = "";
        if (st == QZ_RES_DONE) {
            inet_ntop(AF_INET, &a->res.address.sin_addr, shown, sizeof shown);
            svLog(sv, "Resolved to [%s]", shown);
            r->cachedResolutions++;
        } else {
            int cached = 0;
            for (int k = 0; k < r->masterCount; ++k) cached += r->addr[k].res.state == QZ_RES_DONE;
            svMsg(sv, "DNS Resolution failed: using %d cached hostnamed resolutions", cached);
        }
    }
    if (!waiting && r->updateWanted) updMastersResolved(sv);
    if (r->directiveLookup.state != QZ_RES_IDLE) {
        resolveAnswer(sv);
        waiting += r->directiveLookup.state == QZ_RES_PENDING;
    }

    // Received datagrams. Those of the masters and the authentication server are taken up to
    // QZ_RECV_PER_FRAME a frame: 24 blocks (about 29 KB) keep a frame of a running transfer
    // near 100 microseconds and still move over a megabyte a second at the host's slowest frame
    // rate. Strangers' datagrams do not count against that, so a flood of them cannot keep an
    // answer waiting; reading stops when they have cost QZ_RECV_STRANGER_US of the frame.
    long long started = threadCpuMicros();
    const bool idle = netKnownIdle(r->udp.fd);
    for (int k = 0, n = 1; !idle && k < QZ_RECV_PER_FRAME; ++n) {
        sockaddr_in from;
        int got = udpRecv(&r->udp, r->buf, QZ_PKT_MAX, &from);
        if (got <= 0) break;
        if (guidAuthFrom(sv, &from) || remoteMasterFrom(sv, &from) >= 0) k++;
        remotePacket(sv, r->buf, got, &from);
        // Each receive may have skipped up to QZ_UDP_EMPTY_MAX empty datagrams: the clock is
        // read often enough that a flood of them cannot run far past the budget.
        if (n % 4 == 0 && threadCpuMicros() - started > QZ_RECV_STRANGER_US) break;
    }
    int active = dlFrame(sv, now) + updInstallFrame(sv, now);
    outqFlush(sv, &r->outq, &r->udp);
    r->busy = waiting || active || r->outq.count || r->updateWanted || sv->guidauth.count > 0;
}
