// The GUID authentication exchange over the module's UDP socket (remote/udp.h).
//
// Request: tag "QZ_G", then "AUTH <challenge> <GUID> <address>" ("LANAUTH" for a player whose
// address lies within qz_sv_LanMask). Answer: tag "QZ_H", then
// "<challenge> <AUTH|NOAUTH> Status=<word> Age=<days>". The challenge is a random 32-bit number,
// so an answer cannot be forged without seeing the request.
#include "remote/guidauth.h"

#include <sys/random.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/refusals.h"
#include "host/state.h"
#include "players/power.h"
#include "players/slots.h"
#include "remote/packets.h"
#include "util/clock.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

constexpr const char* kAgeRefusal = "GUID AGE REQUIREMENT NOT MET";
constexpr const char* kUnknownRefusal = "GUID NOT RECOGNISED BY THE AUTHENTICATION SERVER";

// Details of the exchange: always in the log, on the console too with qz_sv_guiddiag 1.
int diag(stQzSv* sv) { return sv->set.guidDiag ? QZ_MSG_BOTH : QZ_MSG_LOG; }

void note(stQzSv* sv, const char* text) { svMsgLevel(sv, diag(sv), "QZ GUID AUTH: %s", text); }

unsigned long freshChallenge() {
    unsigned v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != sizeof v) v = GetTickCount() * 2654435761u;
    return v ? v : 1;
}

// Starts (or restarts after a change of qz_sv_guidauthserver) the lookup of the server.
void lookup(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    if (strcmp(g.serverName, sv->set.guidAuthServer) == 0 && g.server.state != QZ_RES_IDLE) return;
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
        resolveStart(&g.server, host);
    } else {
        g.server.state = QZ_RES_FAILED;
    }
}

bool send(stQzSv* sv, stGuidPending& p) {
    stGuidAuth& g = sv->guidauth;
    if (g.server.state != QZ_RES_DONE || sv->remote.udp.fd < 0) return false;
    sockaddr_in to = g.server.address;
    to.sin_port = htons(static_cast<unsigned short>(g.port));
    char packet[256];
    pktTag(packet, QZ_PT_AUTH);
    int n = QZ_TAG_LEN + trf(packet + QZ_TAG_LEN, qz::cap(packet) - QZ_TAG_LEN, "%s %lu %s %s",
                             p.lan ? "LANAUTH" : "AUTH", p.challenge, p.guid, p.address);
    if (udpSend(&sv->remote.udp, &to, packet, n) < 0) return false;
    p.sent++;
    p.sentTick = GetTickCount();
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

// Removes a player whose GUID failed: the dialog text to his game, then the drop.
void refuse(stQzSv* sv, int slot, const char* why) {
    svSendClient(sv, slot, kRefuseOtherFmt, why);
    svHost(sv, "DropClient", "%d %s", slot, why);
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

}  // namespace

void guidAuthConnect(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plSlot(sv, slot);
    if (!sv->set.guidAuth || !sv->set.guidAuthServer[0] || !c || plIsBot(c) ||
        plIsHostPlayer(c) || !plGuidValid(c->guid))
        return;
    stGuidAuth& g = sv->guidauth;
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

bool guidAuthFrame(stQzSv* sv) {
    stGuidAuth& g = sv->guidauth;
    if (g.count == 0) return false;
    if (g.server.state == QZ_RES_PENDING) resolvePoll(&g.server);
    unsigned now = GetTickCount();
    for (stGuidPending& p : g.pending) {
        if (!p.used) continue;
        if (!owner(sv, p)) {
            forget(sv, p);
            continue;
        }
        int age = tickElapsed(now, p.firstTick);
        if (age >= QZ_GUIDAUTH_GIVEUP_MS && !p.sent) {
            // The server's name never resolved: nothing was asked, so nothing is known.
            svLog(sv, "WARNING: No Auth Sent for %s", p.guid);
            forget(sv, p);
            continue;
        }
        if (age >= QZ_GUIDAUTH_GIVEUP_MS) {
            svMsg(sv, "GuidAuth Server not responding - player accepted from %s", p.address);
            note(sv, "AUTHDOWN");
            Qz_Sv_Client_s* c = owner(sv, p);
            QZ_COPY(c->authState, "UNKN");
            forget(sv, p);
            continue;
        }
        bool due = !p.sent ? g.server.state == QZ_RES_DONE
                           : tickElapsed(now, p.sentTick) >= QZ_GUIDAUTH_RETRY_MS && p.sent < 2;
        if (due) send(sv, p);
    }
    return g.count > 0;
}

void guidAuthPacket(stQzSv* sv, const char* data, int length, const sockaddr_in* from) {
    stGuidAuth& g = sv->guidauth;
    if (g.server.state != QZ_RES_DONE || from->sin_addr.s_addr != g.server.address.sin_addr.s_addr ||
        ntohs(from->sin_port) != g.port) {
        return;  // not the authentication server
    }
    char text[256];
    int n = length - QZ_TAG_LEN;
    if (n <= 0 || n >= static_cast<int>(sizeof text)) return;
    memcpy(text, data + QZ_TAG_LEN, static_cast<size_t>(n));
    text[n] = 0;
    for (char* p = text; *p; ++p)
        if (static_cast<unsigned char>(*p) < 32) *p = ' ';
    svMsgLevel(sv, diag(sv), "Received packet from GuidAuth [%s]", text);

    char* end = nullptr;
    unsigned long challenge = strtoul(text, &end, 10);
    stGuidPending* p = nullptr;
    for (stGuidPending& x : g.pending) {
        if (x.used && end != text && x.challenge == challenge) {
            p = &x;
            break;
        }
    }
    if (!p) {
        svMsgLevel(sv, diag(sv), "GuidAuth Packet Ignored: Unrecognized Challenge (%lu)", challenge);
        return;
    }
    char status[32], ageText[16] = "0";
    if (!field(end, "Status=", status, qz::cap(status))) {
        svMsgLevel(sv, diag(sv), "GuidAuth Packet Ignored: No Status Field [%s]", text);
        return;
    }
    while (*end == ' ') end++;
    bool auth = strncmp(end, "AUTH ", 5) == 0;
    bool noauth = strncmp(end, "NOAUTH ", 7) == 0;
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
    if (sv->set.guidRelax & 1) {
        svMsg(sv, "Unknown GUID %s tolerated (qz_sv_GuidRelax) (slot #%d) %s", guid, slot,
              c->name);
        return;
    }
    svMsg(sv, "%s: %s (slot #%d) %s", kUnknownRefusal, guid, slot, c->name);
    refuse(sv, slot, kUnknownRefusal);
}

void guidAuthShutdown(stQzSv* sv) { resolveCancel(&sv->guidauth.server); }
