// The GUID authentication exchange over the module's UDP socket (remote/udp.h).
//
// Request: tag "QZ_G", then "AUTH <challenge> <GUID> <address>" ("LANAUTH" for a player whose
// address lies within qz_sv_LanMask). Answer: tag "QZ_H", then
// "<challenge> <AUTH|NOAUTH> Status=<word> Age=<days>". The challenge is a random 32-bit number,
// so an answer cannot be forged without seeing the request.
#include "remote/guidauth.h"

#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/refusals.h"
#include "host/state.h"
#include "players/kick.h"
#include "players/power.h"
#include "players/slots.h"
#include "players/violations.h"
#include "remote/packets.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

constexpr const char* kAgeRefusal = "GUID AGE REQUIREMENT NOT MET";
constexpr const char* kUnknownRefusal = "GUID NOT RECOGNISED BY THE AUTHENTICATION SERVER";
constexpr const char* kWrongIpRefusal = "GUID REGISTERED FROM ANOTHER ADDRESS";
constexpr const char* kNoGuidReason = "No GUID supplied";

// Details of the exchange: always in the log, on the console too with qz_sv_guiddiag 1.
int diag(stQzSv* sv) { return sv->set.guidDiag ? QZ_MSG_BOTH : QZ_MSG_LOG; }

void note(stQzSv* sv, const char* text) { svMsgLevel(sv, diag(sv), "QZ GUID AUTH: %s", text); }

unsigned long freshChallenge() {
    unsigned v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != sizeof v) v = GetTickCount() * 2654435761u;
    return v ? v : 1;
}

// A lookup of the server's name failed: it is tried again after a wait that doubles each time,
// and the console says when.
void resolveFailed(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    if (g.retryWaitMs <= 0) g.retryWaitMs = QZ_GUIDAUTH_RESOLVE_RETRY_MS;
    svMsg(sv, "GuidAuth Server %s did not resolve - trying again in %d seconds", g.server.name,
          g.retryWaitMs / 1000);
    g.retryTick = GetTickCount() + static_cast<unsigned>(g.retryWaitMs);
    g.retryWaitMs = g.retryWaitMs * 2 < QZ_GUIDAUTH_RESOLVE_RETRY_MAX_MS
                        ? g.retryWaitMs * 2
                        : QZ_GUIDAUTH_RESOLVE_RETRY_MAX_MS;
}

// Starts the lookup of the server: the first time, after a change of qz_sv_guidauthserver, and
// again once the wait after a failed one is over.
void lookup(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    bool same = strcmp(g.serverName, sv->set.guidAuthServer) == 0;
    if (same && g.server.state != QZ_RES_IDLE) {
        bool due = static_cast<int>(GetTickCount() - g.retryTick) >= 0;
        if (g.server.state != QZ_RES_FAILED || g.badSetting || !due) return;
    }
    if (!same) {
        g.retryWaitMs = 0;
        g.badSetting = 0;
    }
    resolveCancel(&g.server);
    QZ_COPY(g.serverName, sv->set.guidAuthServer);
    char host[128];
    QZ_COPY(host, g.serverName);
    g.port = 27960;
    if (char* colon = strrchr(host, ':')) {
        *colon = 0;
        g.port = atoi(colon + 1);
    }
    if (host[0] && g.port > 0 && g.port < 65536) {
        svLog(sv, "Attempting to resolve %s", host);
        if (resolveStart(&g.server, host) == QZ_RES_FAILED) resolveFailed(sv);
    } else {
        g.badSetting = 1;  // nothing to look up until the setting changes
        g.server.state = QZ_RES_FAILED;
    }
}

// Once a minute: how many answer lines the rate limit kept out of the log.
void lineMinute(stQzSv* sv, unsigned now) {
    stGuidAuth& g = sv->guidauth;
    if (tickElapsed(now, g.lineTick) < 60000) return;
    if (g.ignored)
        svMsgLevel(sv, diag(sv),
                   "QZ GUID AUTH: %lu GuidAuth packets ignored without a log line in the last "
                   "minute",
                   g.ignored);
    g.lineTick = now;
    g.lines = 0;
    g.ignored = 0;
}

// Whether a line caused by an answer packet may be logged: QZ_GUIDAUTH_LINES_PER_MINUTE in a
// minute, so that packets sent as the server's cannot grow the log without limit.
bool lineBudget(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    lineMinute(sv, GetTickCount());
    if (g.lines < QZ_GUIDAUTH_LINES_PER_MINUTE) {
        g.lines++;
        return true;
    }
    g.ignored++;
    return false;
}

void closeSock(stGuidAuth& g) {
    if (g.sockOpen) ::close(g.sock);
    g.sockOpen = 0;
    g.sock = -1;
}

// The server's socket, connected to to (opened, or moved when the address changed). False when
// none can be had: the module's socket is used instead.
bool serverSock(stGuidAuth& g, const sockaddr_in& to) {
    if (g.sockOpen && g.sockPeer.sin_addr.s_addr == to.sin_addr.s_addr &&
        g.sockPeer.sin_port == to.sin_port)
        return true;
    closeSock(g);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return false;
    }
    g.sock = fd;
    g.sockOpen = 1;
    g.sockPeer = to;
    return true;
}

bool send(stQzSv* sv, stGuidPending& p) {
    stGuidAuth& g = sv->guidauth;
    if (g.server.state != QZ_RES_DONE) return false;
    sockaddr_in to = g.server.address;
    to.sin_port = htons(static_cast<unsigned short>(g.port));
    bool own = serverSock(g, to);
    if (!own && sv->remote.udp.fd < 0) return false;
    char packet[256];
    pktTag(packet, QZ_PT_AUTH);
    int n = QZ_TAG_LEN + trf(packet + QZ_TAG_LEN, qz::cap(packet) - QZ_TAG_LEN, "%s %lu %s %s",
                             p.lan ? "LANAUTH" : "AUTH", p.challenge, p.guid, p.address);
    if (own) {
        // A full send buffer (EAGAIN) is a lost datagram like any other: it is sent again.
        if (::send(g.sock, packet, static_cast<size_t>(n), MSG_DONTWAIT) < 0 && errno != EAGAIN &&
            errno != ECONNREFUSED)
            return false;
    } else if (udpSend(&sv->remote.udp, &to, packet, n) < 0) {
        return false;
    }
    p.sent++;
    p.sentTick = GetTickCount();
    // Every request sent for a player and every answer taken for him is an authentication
    // event of the player lists' Auth Rate.
    Qz_Sv_Client_s* c = plSlot(sv, p.slot);
    if (c && c->address[0] && c->seq == p.seq) c->authCount++;
    char text[160];
    QZ_TRF(text, "AUTH Request sent to GuidAuth for %s %s", p.guid, p.address);
    note(sv, text);
    return true;
}

// The player the request was for, or null when he has left (or another took the slot).
Qz_Sv_Client_s* owner(stQzSv* sv, const stGuidPending& p) {
    Qz_Sv_Client_s* c = plSlot(sv, p.slot);
    return c && c->address[0] && c->seq == p.seq ? c : nullptr;
}

void forget(stQzSv* sv, stGuidPending& p) {
    memset(&p, 0, sizeof p);
    sv->guidauth.count--;
}

// Removes a player whose GUID failed: the dialog text to his game, then the drop. As after a
// kick, the host does not report a drop the module asked for, so the slot is freed here.
void refuse(stQzSv* sv, int slot, const char* why) {
    svSendClient(sv, slot, kRefuseOtherFmt, why);
    if (svHost(sv, "DropClient", "%d %s", slot, why)) plRelease(sv, slot);
}

// The "Status=" and "Age=" fields: "name=value" words anywhere after the directive.
bool field(const char* text, const char* name, char* out, int size) {
    const char* at = strstr(text, name);
    if (!at) return false;
    at += strlen(name);
    int n = 0;
    while (at[n] && at[n] != ' ' && n < size - 1) {
        out[n] = at[n];
        n++;
    }
    out[n] = 0;
    return true;
}

// A client refused before he takes a slot: the dialog text to his game, then the drop.
void refuseConnect(stQzSv* sv, int slot, const char* text) {
    svSendClient(sv, slot, kRefuseOtherFmt, text);
    svHost(sv, "DropClient", "%d %s", slot, text);
}

// Asks the host about a connecting player. A host that can work out a GUID for a player without
// one writes "guid=<32 hexadecimal digits>" over the request; a GUID is taken from nothing else.
void askHost(stQzSv* sv, int slot, Qz_Sv_Client_s* c) {
    char request[96];
    QZ_TRF(request, "auth %d %s %s", slot, c->address, plGuidText(c));
    if (svHostRaw(sv, "SV_RequestAuthorizationQZ", request) != 1 || c->guid[0]) return;
    request[qz::cap(request) - 1] = 0;
    if (strncmp(request, "guid=", 5) != 0 || !plGuidValid(request + 5)) return;
    QZ_COPY(c->guid, request + 5);
    svMsg(sv, "Player GUID Computed %s(%s) (slot #%d) %s %s", c->guid,
          c->authState[0] ? c->authState : "?", slot, c->name, c->address);
}

// Players without a GUID are removed when qz_sv_NoGuidGrace has passed.
void noGuidFrame(stQzSv* sv, unsigned now) {
    stGuidAuth& g = sv->guidauth;
    for (int slot = 1; slot <= 64; ++slot) {
        unsigned long seq = g.noGuidSeq[slot - 1];
        if (!seq) continue;
        Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c || c->seq != seq || c->guid[0]) {
            g.noGuidSeq[slot - 1] = 0;
            continue;
        }
        if (tickElapsed(now, g.noGuidTick[slot - 1]) < sv->set.noGuidGrace * 1000) continue;
        g.noGuidSeq[slot - 1] = 0;
        svMsg(sv, "No GUID after %d seconds (slot #%d) %s %s", sv->set.noGuidGrace, slot, c->name,
              c->address);
        plRemove(sv, slot, sv->set.kickLen, false, kNoGuidReason);
    }
}

bool anyNoGuid(const stGuidAuth& g) {
    for (unsigned long seq : g.noGuidSeq)
        if (seq) return true;
    return false;
}

}  // namespace

bool guidAuthAdmit(stQzSv* sv, int slot, Qz_Sv_Client_s* c) {
    if (trcasecmp(c->guid, "unknown") == 0) {
        svMsg(sv, "Client trying to connect from %s is supplying GUID=unknown", c->address);
        refuseConnect(sv, slot, "GUID Error (unknown) - Please try again");
        return false;
    }
    // A GUID is 32 hexadecimal digits or nothing at all; anything else was made up or mangled.
    if (c->guid[0] && !plGuidValid(c->guid)) {
        svMsg(sv, "Client trying to connect from %s is supplying bad information", c->address);
        refuseConnect(sv, slot, "GUID Error - Please try again");
        return false;
    }
    char offered[33];
    QZ_COPY(offered, plGuidText(c));
    askHost(sv, slot, c);
    // A GUID stands for one player whether or not a server vouches for it (power, name locks and
    // bans are kept by GUID): a second player with the GUID of one in play is refused, not the
    // one in play, unless qz_sv_GuidRelax tolerates duplicates.
    bool checked = c->guid[0] != 0;
    for (int other = 1; checked && other <= 64; ++other) {
        const Qz_Sv_Client_s* o = plPlayer(sv, other);
        if (other == slot || !o || plIsBot(o) || trcasecmp(o->guid, c->guid) != 0) continue;
        if (sv->set.guidRelax & 4) {
            svMsg(sv, "Duplicate GUID %s tolerated (qz_sv_GuidRelax) (slot #%d) %s, also slot #%d",
                  c->guid, slot, c->name, other);
            break;
        }
        svMsg(sv, "Connection Refused (slot #%d) %s [%s] \"%s\" %sGUID in use by slot #%d", slot,
              c->address, c->guid, c->name, plViolationLabel(QZ_V_DUPGUID), other);
        char text[96];
        QZ_TRF(text, "%sGUID already in use on this server", plViolationLabel(QZ_V_DUPGUID));
        refuseConnect(sv, slot, text);
        return false;
    }
    svLog(sv, "New Connect Preguid=%s from %s; Guid=%s", offered, c->address, plGuidText(c));
    return true;
}

void guidAuthConnect(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plSlot(sv, slot);
    if (!c || plIsBot(c) || plIsHostPlayer(c)) return;
    stGuidAuth& g = sv->guidauth;
    g.noGuidSeq[slot - 1] = 0;
    if (!c->guid[0]) {
        char grace[48] = "";
        // With or without an authentication server: 0 alone leaves such players in play.
        bool kicks = sv->set.noGuidGrace > 0;
        if (kicks) QZ_TRF(grace, "(removed after %d seconds)", sv->set.noGuidGrace);
        svLog(sv, "Empty GUID (slot #%d) %s %s %s", slot, c->name, c->address,
              kicks ? grace : "(tolerated)");
        if (kicks) {
            g.noGuidSeq[slot - 1] = c->seq;
            g.noGuidTick[slot - 1] = GetTickCount();
        }
    }
    if (!sv->set.guidAuth || !sv->set.guidAuthServer[0] || !plGuidValid(c->guid)) return;
    guidAuthDisconnect(sv, slot);  // a reconnect replaces the slot's old request
    stGuidPending* p = nullptr;
    for (stGuidPending& x : g.pending) {
        if (!x.used) {
            p = &x;
            break;
        }
    }
    if (!p) {
        svLog(sv, "WARNING: No Auth Sent for %s", c->guid);
        return;
    }
    memset(p, 0, sizeof *p);
    p->used = 1;
    p->challenge = freshChallenge();
    p->slot = slot;
    p->seq = c->seq;
    QZ_COPY(p->guid, c->guid);
    QZ_COPY(p->address, c->address);
    p->lan = pwIsLan(sv, c->address);
    p->firstTick = GetTickCount();
    g.count++;
    lookup(sv);
    send(sv, *p);  // at once when the server's address is known, else from the frame
}

void guidAuthDisconnect(stQzSv* sv, int slot) {
    for (stGuidPending& p : sv->guidauth.pending)
        if (p.used && p.slot == slot) forget(sv, p);
}

namespace {

// The answers waiting on the server's socket, read before anything else of the frame's network
// work: only the server's address can queue a datagram there, so at most QZ_GUIDAUTH_READS of
// them (a full set of answers and more) are taken a frame, whatever floods the module's port.
void readAnswers(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    char buf[QZ_GUIDAUTH_PACKET];
    for (int i = 0; g.sockOpen && i < QZ_GUIDAUTH_READS; ++i) {
        ssize_t n = recv(g.sock, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && errno == ECONNREFUSED) continue;  // an earlier request found no listener
        if (n < 0) break;
        sockaddr_in from = g.sockPeer;
        if (n > 0) guidAuthPacket(sv, buf, static_cast<int>(n), &from);
    }
}

}  // namespace

bool guidAuthFrame(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    unsigned now = GetTickCount();
    // Late and repeated answers are read too (and reported as such), as on the module's socket.
    if (g.sockOpen) readAnswers(sv);
    if (anyNoGuid(g)) noGuidFrame(sv, now);
    if (g.server.state == QZ_RES_PENDING) {
        int state = resolvePoll(&g.server);
        if (state == QZ_RES_FAILED) resolveFailed(sv);
        if (state == QZ_RES_DONE) g.retryWaitMs = 0;
    } else if (g.server.state == QZ_RES_FAILED && sv->set.guidAuth && sv->set.guidAuthServer[0]) {
        lookup(sv);  // again, once the wait is over
    }
    if (g.lines || g.ignored) lineMinute(sv, now);
    if (g.count == 0) return g.server.state == QZ_RES_PENDING;
    for (stGuidPending& p : g.pending) {
        if (!p.used) continue;
        if (!owner(sv, p)) {
            forget(sv, p);
            continue;
        }
        int age = tickElapsed(now, p.firstTick);
        if (p.late) {
            if (age >= QZ_GUIDAUTH_LATE_END_MS) {
                note(sv, "no late answer, request dropped");
                forget(sv, p);
            } else if (tickElapsed(now, p.sentTick) >= p.lateWaitMs) {
                p.sentTick = now;  // the wait runs even when the request cannot go out
                send(sv, p);
                p.lateWaitMs = p.lateWaitMs * 2 < 60000 ? p.lateWaitMs * 2 : 60000;
            }
            continue;
        }
        if (age >= QZ_GUIDAUTH_GIVEUP_MS && !p.sent) {
            // The server's name never resolved: nothing was asked, so nothing is known.
            svLog(sv, "WARNING: No Auth Sent for %s", p.guid);
            forget(sv, p);
            continue;
        }
        if (age >= QZ_GUIDAUTH_GIVEUP_MS) {
            // The player plays on; the request is still repeated now and then, and a late
            // answer is acted on as an early one would have been.
            svMsg(sv, "GuidAuth Server not responding - player accepted from %s", p.address);
            note(sv, "AUTHDOWN");
            Qz_Sv_Client_s* c = owner(sv, p);
            QZ_COPY(c->authState, "UNKN");
            p.late = 1;
            p.lateWaitMs = QZ_GUIDAUTH_LATE_MS;
            continue;
        }
        bool due = !p.sent ? g.server.state == QZ_RES_DONE
                           : tickElapsed(now, p.sentTick) >= QZ_GUIDAUTH_RETRY_MS && p.sent < 2;
        if (due) send(sv, p);
    }
    return g.count > 0;
}

bool guidAuthFrom(stQzSv* sv, const sockaddr_in* from) {
    const stGuidAuth& g = sv->guidauth;
    return g.server.state == QZ_RES_DONE &&
           from->sin_addr.s_addr == g.server.address.sin_addr.s_addr &&
           ntohs(from->sin_port) == g.port;
}

void guidAuthPacket(stQzSv* sv, const char* data, int length, const sockaddr_in* from) {
    stGuidAuth& g = sv->guidauth;
    if (!guidAuthFrom(sv, from)) return;  // not the authentication server
    char text[256];
    int n = length - QZ_TAG_LEN;
    if (n <= 0 || n >= static_cast<int>(sizeof text)) return;
    memcpy(text, data + QZ_TAG_LEN, static_cast<size_t>(n));
    text[n] = 0;
    for (char* p = text; *p; ++p)
        if (static_cast<unsigned char>(*p) < 32) *p = ' ';

    char* end = nullptr;
    unsigned long challenge = strtoul(text, &end, 10);
    stGuidPending* p = nullptr;
    for (stGuidPending& x : g.pending) {
        if (x.used && end != text && x.challenge == challenge) {
            p = &x;
            break;
        }
    }
    char status[32], ageText[16] = "0";
    bool hasStatus = p && field(end, "Status=", status, qz::cap(status));
    while (*end == ' ') end++;
    bool auth = strncmp(end, "AUTH ", 5) == 0;
    bool noauth = strncmp(end, "NOAUTH ", 7) == 0;
    // An answer to a waiting request is always logged; the lines of any other packet (which
    // anyone can send as the server's) are rate-limited.
    bool good = p && hasStatus && (auth || noauth);
    if (!good && !lineBudget(sv)) return;
    svMsgLevel(sv, diag(sv), "Received packet from GuidAuth [%s]", text);
    if (!p) {
        svMsgLevel(sv, diag(sv), "GuidAuth Packet Ignored: Unrecognized Challenge (%lu)",
                   challenge);
        return;
    }
    if (!hasStatus) {
        svMsgLevel(sv, diag(sv), "GuidAuth Packet Ignored: No Status Field [%s]", text);
        return;
    }
    if (!auth && !noauth) {
        svMsgLevel(sv, diag(sv), "GuidAuth Packet Ignored: Unknown Directive [%s]", text);
        return;
    }
    field(end, "Age=", ageText, qz::cap(ageText));
    int age = atoi(ageText);
    Qz_Sv_Client_s* c = owner(sv, *p);
    int slot = p->slot;
    char guid[33];
    QZ_COPY(guid, p->guid);
    forget(sv, *p);
    if (!c) return;  // he left while the answer travelled
    c->authCount++;

    char line[96];
    if (auth) {
        // The pair keeps what the server said of the GUID: its age in days.
        char value[QZ_PAIR_KEY];
        QZ_TRF(value, "%d", age);
        pairAdd(&sv->keys, sv->tGuidAuth, value, guid);
        QZ_COPY(c->authState, "VALID");
        QZ_TRF(line, "VALID:%d %s (slot #%d)", age, guid, slot);
        note(sv, line);
        if (sv->set.minGuidAge > 0 && age < sv->set.minGuidAge) {
            svMsg(sv, "%s: GUID %s is %d days old, %d required (slot #%d) %s", kAgeRefusal, guid,
                  age, sv->set.minGuidAge, slot, c->name);
            refuse(sv, slot, kAgeRefusal);
        }
        return;
    }
    QZ_COPY(c->authState, "UNKN");
    QZ_TRF(line, "NOAUTH Status=%s %s (slot #%d)", status, guid, slot);
    note(sv, line);
    // "Status=WRONGIP": the service knows the GUID, from another address (bit 2 tolerates it);
    // "Status=DUP": it is in use elsewhere at the same time (bit 4); any other status: the GUID
    // is unknown to it (bit 1).
    bool wrongIp = strcmp(status, "WRONGIP") == 0;
    bool dup = strcmp(status, "DUP") == 0;
    if (sv->set.guidRelax & (wrongIp ? 2 : dup ? 4 : 1)) {
        svMsg(sv, "%s GUID %s tolerated (qz_sv_GuidRelax) (slot #%d) %s",
              wrongIp ? "Wrong address for"
              : dup   ? "Duplicate"
                      : "Unknown",
              guid, slot, c->name);
        return;
    }
    char why[96];
    if (dup) {
        QZ_TRF(why, "%sGUID already in use", plViolationLabel(QZ_V_DUPGUID));
    } else {
        QZ_COPY(why, wrongIp ? kWrongIpRefusal : kUnknownRefusal);
    }
    svMsg(sv, "%s: %s (slot #%d) %s", why, guid, slot, c->name);
    refuse(sv, slot, why);
}

void guidAuthShutdown(stQzSv* sv) {
    resolveCancel(&sv->guidauth.server);
    closeSock(sv->guidauth);
}
