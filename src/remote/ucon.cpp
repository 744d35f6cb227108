// The UCON exchange: challenges, logins, signed commands and messages, session time-outs and the
// counted reports of dropped packets. A password never travels: the login carries an HMAC of the
// module's challenge, and every later packet is signed with a session key both ends derive from
// the password, with a sequence number that must grow, so a captured packet can neither be
// replayed nor altered.
#include "remote/ucon.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "commands/dispatch.h"
#include "commands/secrets.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "remote/uconport.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/net.h"
#include "util/text.h"

namespace {

constexpr int kChallengeLifeMs = 60000;  // a challenge must be answered within a minute
constexpr int kSummaryMs = 60000;
// Unsigned answers go to addresses nobody has proved, so a spoofed flood could aim them at a
// victim: they are bounded per address and in all. Addresses of known profiles have a reserve of
// their own, so strangers who use up the common budget never keep an administrator out.
constexpr int kRepliesPerSecond = 64;  // to every address together
constexpr int kReservePerSecond = 64;  // to known addresses, beyond the common budget
constexpr int kRepliesPerSource = 16;  // to one address
constexpr int kSessionLinesPerMinute = 30;  // refused texts of sessions logged one by one

// Reasons whose first drop of a minute is logged; later ones are only counted.
enum BadReason {
    BAD_LENGTH = 1,
    BAD_ADDR_C = 2,
    BAD_ADDR_S = 4,
    BAD_NAME = 8,
    BAD_HEADER = 16,
    BAD_FORM = 32,
};

struct Ctx {
    stQzSv* sv;
    const sockaddr_in* from;
    char address[22];
};

void fillRandom(void* out, size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        ssize_t got = getrandom(p, n, GRND_NONBLOCK);
        if (got <= 0) {
            // No entropy yet (very early boot): fall back to the clock, which is weak but still
            // keeps challenges from repeating across starts.
            unsigned t = GetTickCount() ^ static_cast<unsigned>(qzTime());
            for (size_t i = 0; i < n; ++i) p[i] ^= static_cast<unsigned char>(t >> (8 * (i % 4)));
            return;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
}

void hexOf(const unsigned char* bytes, int n, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    out[2 * n] = 0;
}

// Counts a dropped packet; the first drop of each reason in a minute is also logged.
bool firstOfMinute(stQzSv* sv, unsigned reason) {
    sv->ucon.badPackets++;
    if (sv->ucon.loggedReasons & reason) return false;
    sv->ucon.loggedReasons |= reason;
    return true;
}

// An address an administrator is expected from: one that logged in during this run, or one
// inside the mask of a live profile confined to one /16 network or less. A mask open to every
// address marks nobody as known.
bool knownSource(stQzSv* sv, const sockaddr_in* from) {
    const stUconState& u = sv->ucon;
    unsigned addr = from->sin_addr.s_addr;
    for (const stGuessGuard* g : {&u.guard, &u.maskGuard})
        for (const stGuessEntry& e : g->entries)
            if (e.used && e.trusted && e.addr == addr) return true;
    unsigned char octets[4];
    memcpy(octets, &addr, 4);
    unsigned port = ntohs(from->sin_port);
    for (int i = 0; i < u.profileCount; ++i) {
        const stUcon& p = u.profiles[i];
        bool narrow = p.rule.lo[0] == p.rule.hi[0] && p.rule.lo[1] == p.rule.hi[1];
        if (p.used && narrow && maskMatch(&p.rule, octets, port)) return true;
    }
    return false;
}

// One address's share of the answers of a second. Sources live in a small table; while more
// addresses than it holds are active in one second, the newcomers are bounded by the common
// budgets alone.
bool sourceShare(stUconState& u, unsigned addr, unsigned now) {
    int freeAt = -1;
    for (int i = 0; i < QZ_UCON_REPLY_SOURCES; ++i) {
        auto& e = u.replySources[i];
        bool stale = !e.addr || tickElapsed(now, e.tick) >= 1000;
        if (e.addr == addr) {
            if (stale) {
                e.tick = now;
                e.count = 0;
            }
            return ++e.count <= kRepliesPerSource;
        }
        if (freeAt < 0 && stale) freeAt = i;
    }
    if (freeAt >= 0) {
        u.replySources[freeAt].addr = addr;
        u.replySources[freeAt].tick = now;
        u.replySources[freeAt].count = 1;
    }
    return true;
}

// Whether an unsigned answer may go to from now: within the address's share, then from the
// reserve (known addresses) or the common budget.
bool replyBudget(stQzSv* sv, const sockaddr_in* from) {
    stUconState& u = sv->ucon;
    unsigned now = GetTickCount();
    if (tickElapsed(now, u.replyTick) >= 1000) {
        u.replyTick = now;
        u.replyCount = 0;
        u.reserveCount = 0;
    }
    if (!sourceShare(u, from->sin_addr.s_addr, now)) return false;
    if (u.reserveCount < kReservePerSecond && knownSource(sv, from)) {
        u.reserveCount++;
        return true;
    }
    if (u.replyCount < kRepliesPerSecond) {
        u.replyCount++;
        return true;
    }
    return false;
}

// Lines about refused texts of open sessions: the first kSessionLinesPerMinute of a minute are
// logged, the rest counted with the ignored packets.
bool sessionLine(stQzSv* sv) {
    stUconState& u = sv->ucon;
    unsigned now = GetTickCount();
    if (tickElapsed(now, u.sessionLineTick) >= kSummaryMs) {
        u.sessionLineTick = now;
        u.sessionLines = 0;
    }
    if (++u.sessionLines <= kSessionLinesPerMinute) return true;
    u.ignoredPackets++;
    return false;
}

// A login whose challenge was taken in the last minute: a recorded login sent again.
bool challengeUsed(stQzSv* sv, const char* challenge) {
    unsigned now = GetTickCount();
    for (const auto& e : sv->ucon.usedChallenges)
        if (e.challenge[0] && tickElapsed(now, e.tick) <= kChallengeLifeMs + 1000 &&
            strcmp(e.challenge, challenge) == 0)
            return true;
    return false;
}

// Challenges live a minute; the ring holds every login of a minute unless more than
// QZ_UCON_USED_CHALLENGES succeed in one, which takes that many correct passwords.
void challengeTaken(stQzSv* sv, const char* challenge) {
    stUconState& u = sv->ucon;
    auto& e = u.usedChallenges[u.usedNext];
    u.usedNext = (u.usedNext + 1) % QZ_UCON_USED_CHALLENGES;
    QZ_COPY(e.challenge, challenge);
    e.tick = GetTickCount();
}

void sendText(Ctx& c, const char* text) {
    if (!replyBudget(c.sv, c.from)) {
        c.sv->ucon.badPackets++;
        return;
    }
    char pkt[QZ_UCON_PACKET_MAX + 1];
    int n = uconPacketBuild(pkt, sizeof pkt, text, slen(text));
    if (n > 0) uconPortSend(c.sv, c.from, pkt, n);
}

// The challenge for (address, user) at stamp: 8 digits of the stamp and 24 of a MAC under the
// module's secret, so the module keeps no state per HELLO and a flood of them fills nothing.
void makeChallenge(stQzSv* sv, const char* address, const char* user, unsigned stamp, char* out) {
    char data[128];
    int n = trf(data, sizeof data, "%08x %s %s", stamp, address, user);
    char key[33];
    hexOf(sv->ucon.secret, 16, key);
    char mac[33];
    uconMac(key, data, n, mac);
    trf(out, QZ_UCON_CHALLENGE, "%08x%.24s", stamp, mac);
}

bool challengeFresh(stQzSv* sv, const char* address, const char* user, const char* challenge) {
    char stampText[9];
    memcpy(stampText, challenge, 8);
    stampText[8] = 0;
    unsigned stamp = static_cast<unsigned>(strtoul(stampText, nullptr, 16));
    int age = tickElapsed(GetTickCount(), stamp);
    if (age < 0 || age > kChallengeLifeMs) return false;
    char expect[QZ_UCON_CHALLENGE];
    makeChallenge(sv, address, user, stamp, expect);
    unsigned diff = 0;
    for (int i = 0; i < 32; ++i) diff |= static_cast<unsigned>(expect[i] ^ challenge[i]);
    return diff == 0;
}

void sendChallenge(Ctx& c, const char* user, const char* note) {
    char challenge[QZ_UCON_CHALLENGE];
    makeChallenge(c.sv, c.address, user, GetTickCount(), challenge);
    char text[160];
    trf(text, sizeof text, "CHAL %s %s", challenge, note);
    sendText(c, text);
}

int sessionSlot(stQzSv* sv, const stUsession* s) {
    return static_cast<int>(s - sv->ucon.sessions) + 1;
}

void sendSigned(stQzSv* sv, stUsession* s, const char* word, const char* text, int length) {
    char pkt[QZ_UCON_PACKET_MAX + 1];
    int n = uconSigned(pkt, sizeof pkt, word, s->sid, s->nextOut++, s->key, text, length);
    if (n > 0) uconPortSend(sv, &s->peer, pkt, n);
}

stUsession* findSession(stQzSv* sv, const UconField& sid) {
    for (stUsession& s : sv->ucon.sessions)
        if (s.open && uconIs(sid, s.sid)) return &s;
    return nullptr;
}

void handleHello(Ctx& c, const UconField* f, int count) {
    char user[QZ_UCON_TEXT];
    if (count != 2 || !uconNameOk(f[1].p, f[1].n) || !uconCopy(f[1], user, sizeof user)) {
        if (firstOfMinute(c.sv, BAD_NAME))
            svMsg(c.sv, "Ignoring Ucon Packet due to invalid name");
        return;
    }
    // The challenge goes out whether or not the name has a profile: the answer tells nothing.
    char note[64];
    trf(note, sizeof note, "QZUCON CURRENT VERSION %s", QZ_UCON_VERSION);
    sendChallenge(c, user, note);
}

const stUcon* findProfile(stQzSv* sv, const char* user, const sockaddr_in* from) {
    unsigned char octets[4];
    memcpy(octets, &from->sin_addr.s_addr, 4);
    unsigned port = ntohs(from->sin_port);
    for (int i = 0; i < sv->ucon.profileCount; ++i) {
        const stUcon& p = sv->ucon.profiles[i];
        if (p.used && strcmp(p.user, user) == 0 && maskMatch(&p.rule, octets, port)) return &p;
    }
    return nullptr;
}

void handleLogin(Ctx& c, const UconField* f, int count) {
    stQzSv* sv = c.sv;
    char user[QZ_UCON_TEXT], challenge[QZ_UCON_CHALLENGE], nonce[QZ_UCON_NONCE_MAX + 1];
    char proof[33];
    if (count != 5 || !uconNameOk(f[1].p, f[1].n) || !uconCopy(f[1], user, sizeof user)) {
        if (firstOfMinute(sv, BAD_NAME)) svMsg(sv, "Ignoring Ucon Packet due to invalid name");
        return;
    }
    if (!uconHex(f[2], 32, 32) || !uconHex(f[3], QZ_UCON_NONCE_MIN, QZ_UCON_NONCE_MAX) ||
        !uconHex(f[4], 32, 32)) {
        if (firstOfMinute(sv, BAD_FORM))
            svMsg(sv, "QZ UCON Packet ignored \"%s\"@%s [%s]", user, c.address, "bad login");
        return;
    }
    uconCopy(f[2], challenge, sizeof challenge);
    uconCopy(f[3], nonce, sizeof nonce);
    uconCopy(f[4], proof, sizeof proof);
    if (!challengeFresh(sv, c.address, user, challenge)) {
        sendChallenge(c, user, "[QZ SERVER RESENDING CHALLENGE]");
        return;
    }
    // A login packet seen again (captured and replayed) would open a second session for
    // nobody: its challenge is already taken.
    for (const stUsession& s : sv->ucon.sessions) {
        if (s.open && strcmp(s.challenge, challenge) == 0) {
            if (firstOfMinute(sv, BAD_HEADER))
                svMsg(sv, "QZ UCON Session #%d Header Mismatch \"%s\"@%s",
                      sessionSlot(sv, &s), user, c.address);
            return;
        }
    }
    // ...and so is one whose session has ended since.
    if (challengeUsed(sv, challenge)) {
        if (firstOfMinute(sv, BAD_HEADER))
            svMsg(sv, "QZ UCON Packet ignored \"%s\"@%s [%s]", user, c.address, "replayed login");
        return;
    }
    unsigned now = GetTickCount();
    unsigned addr = c.from->sin_addr.s_addr;
    const stUcon* p = findProfile(sv, user, c.from);
    // A login for a profile from inside its mask is counted apart from everyone else's, so that
    // wrong logins from elsewhere (for any user, known or not) never lock that address out.
    stGuessGuard* guard = p ? &sv->ucon.maskGuard : &sv->ucon.guard;
    if (!guardAllows(guard, addr, now)) {
        sv->ucon.badPackets++;
        sendText(c, "DENY Too many wrong passwords. Try Again Later.");
        return;
    }
    char expect[33];
    if (p) uconProof(p->password, user, challenge, nonce, expect);
    QzOrigin origin = qzOrigin(QZ_ORIGIN_UCON, 0, user, c.address, nullptr);
    QzOriginScope scope(sv, &origin);
    if (!p || !uconMacEqual(expect, proof)) {
        auditWrite(sv, "ucon-login", nullptr, nullptr, QZ_AUDIT_REFUSED, "invalid password");
        svMsg(sv, "QZ UCON Invalid Password for \"%s\"@%s", user, c.address);
        if (guardNoteBad(guard, addr, now)) {
            auditWrite(sv, "ucon-lockout", nullptr, nullptr, QZ_AUDIT_DONE, "wrong passwords");
            svMsg(sv, "QZ UCON %s locked out for %d seconds after %d wrong passwords", c.address,
                  QZ_GUARD_WINDOW_MS / 1000, QZ_GUARD_BAD_PER_ADDR);
        }
        sendText(c, "DENY Invalid password");
        return;
    }
    guardNoteGood(guard, addr);
    if (sv->ucon.openCount >= sv->set.uSessionLimit) {
        svMsg(sv, "QZ UCON Session Limit Reached (qz_sv_UsessionLimit=%d), packet ignored from %s [%s].",
              sv->set.uSessionLimit, c.address, user);
        sendText(c, "DENY Max UCON Sessions Open. Try Again Later.");
        return;
    }
    stUsession* s = nullptr;
    for (stUsession& x : sv->ucon.sessions) {
        if (!x.open) {
            s = &x;
            break;
        }
    }
    if (!s) {
        svMsg(sv, "ERROR Creating QZ UCON Session");
        sendText(c, "DENY Max UCON Sessions Open. Try Again Later.");
        return;
    }
    memset(s, 0, sizeof *s);
    s->open = 1;
    s->type = p->type;
    s->peer = *c.from;
    QZ_COPY(s->address, c.address);
    QZ_COPY(s->user, user);
    QZ_COPY(s->challenge, challenge);
    challengeTaken(sv, challenge);
    uconSessionKey(p->password, challenge, nonce, s->key);
    unsigned char id[8];
    fillRandom(id, sizeof id);
    hexOf(id, sizeof id, s->sid);
    s->openTick = s->lastTick = now;
    s->nextOut = 1;
    s->out = static_cast<char*>(malloc(QZ_UCON_OUTBUF));
    sv->ucon.openCount++;
    int slot = sessionSlot(sv, s);
    auditWrite(sv, "ucon-login", nullptr, nullptr, QZ_AUDIT_DONE, nullptr);
    // The log names the session by its public identifier; the key itself is never written.
    svMsg(sv, "QZ UCON Session #%d Opened [%s] type=%u name=\"%s\" key=%s", slot, s->address,
          s->type, s->user, s->sid);
    char text[64];
    int n = trf(text, sizeof text, "%d", slot);
    sendSigned(sv, s, "OPEN", text, n);
    n = trf(text, sizeof text, "QZSV: QZUCON CURRENT VERSION %s", QZ_UCON_VERSION);
    sendSigned(sv, s, "MSG", text, n);
}

bool ignored(stQzSv* sv, const char* text) {
    for (int i = 0; i < sv->ucon.ignoreCount; ++i) {
        const char* t = sv->ucon.ignores[i];
        if (t[0] && svFindNoCase(text, t)) return true;
    }
    return false;
}

void handleCommand(Ctx& c, const UconField* f, int count) {
    stQzSv* sv = c.sv;
    if (count < 4 || !uconHex(f[1], 16, 16)) {
        sv->ucon.badPackets++;
        return;
    }
    UconField all[5] = {f[0], f[1], f[2], f[3], count == 5 ? f[4] : UconField{f[3].p + f[3].n, 0}};
    stUsession* s = findSession(sv, f[1]);
    if (!s) {
        sv->ucon.badPackets++;
        return;
    }
    char seqText[12] = "";
    uconCopy(f[2], seqText, sizeof seqText);
    char* end = nullptr;
    unsigned long seq = strtoul(seqText, &end, 10);
    bool sameAddr = s->peer.sin_addr.s_addr == c.from->sin_addr.s_addr &&
                    s->peer.sin_port == c.from->sin_port;
    if (!sameAddr || f[2].n < 1 || f[2].n > 10 || !end || *end || seq <= s->lastIn ||
        seq > 0xFFFFFFFFul || !uconSignedOk(all, s->key)) {
        if (firstOfMinute(sv, BAD_HEADER))
            svMsg(sv, "QZ UCON Session #%d Header Mismatch \"%s\"@%s", sessionSlot(sv, s), s->user,
                  c.address);
        return;
    }
    s->lastIn = static_cast<unsigned>(seq);
    s->lastTick = GetTickCount();
    s->hb++;
    int slot = sessionSlot(sv, s);
    char text[QZ_UCON_PACKET_MAX];
    if (!uconCopy(all[4], text, sizeof text)) return;
    if (!text[0]) return;  // a heartbeat: the session is alive
    // Any session may end itself, a receive-only one included.
    if (trcasecmp(text, "qzuconexit") == 0) {
        svMsg(sv, "QZ UCON cleanly ending session #%d", slot);
        uconCloseSession(sv, s, "qzuconexit");
        return;
    }
    // Every line below goes to every session (receive-only ones too) and to the log: secrets
    // typed in a command are shown masked.
    char shown[QZ_UCON_PACKET_MAX];
    cmdMaskSecrets(text, shown, sizeof shown);
    if (s->type == UCON_TYPE_NOINPUT) {
        if (sessionLine(sv))
            svMsg(sv, "QZ UCON Packet ignored from NO-INPUT session #%d [%s]", slot, shown);
        return;
    }
    if (ignored(sv, text)) {
        sv->ucon.ignoredPackets++;
        svLog(sv, "QZ UCON Packet ignored [%s] from session #%d \"%s\"@%s", shown, slot, s->user,
              s->address);
        return;
    }
    // Only the module's own commands run: a remote session is no way into the game console.
    if (trncasecmp(text, "qz_", 3) != 0) {
        if (sessionLine(sv))
            svMsg(sv, "QZ UCON Packet ignored \"%s\"@%s [%s]", s->user, s->address, shown);
        return;
    }
    svMsg(sv, "QZ UCON \"%s\"@%s [%s]", s->user, s->address, shown);
    svLog(sv, "[From #%d %s(%s) UCON] %s", slot, s->user, s->address, shown);
    QzOrigin origin = qzOrigin(QZ_ORIGIN_UCON, 0, s->user, s->address, nullptr);
    sv_cmd_as(sv, &origin, QZ_SRC_UCON, text, 0);
}

}  // namespace

void uconInit(stQzSv* sv) {
    fillRandom(sv->ucon.secret, sizeof sv->ucon.secret);
    sv->ucon.summaryTick = GetTickCount();
}

void uconPacket(stQzSv* sv, const struct sockaddr_in* from, const char* packet, int length) {
    if (length < QZ_UCON_PREFIX_LEN + 4 || length > QZ_UCON_PACKET_MAX) {
        if (firstOfMinute(sv, BAD_LENGTH)) svMsg(sv, "Ignoring Ucon Packet due to length (%d)", length);
        return;
    }
    unsigned char octets[4];
    memcpy(octets, &from->sin_addr.s_addr, 4);
    if (from->sin_port == 0) {
        if (firstOfMinute(sv, BAD_ADDR_C))
            svMsg(sv, "Ignoring Ucon Packet due to invalid return address (c)");
        return;
    }
    if (from->sin_addr.s_addr == 0 || from->sin_addr.s_addr == 0xFFFFFFFFu ||
        (octets[0] >= 224 && octets[0] <= 239)) {
        if (firstOfMinute(sv, BAD_ADDR_S))
            svMsg(sv, "Ignoring Ucon Packet due to invalid return address (s)");
        return;
    }
    const char* text = packet + QZ_UCON_PREFIX_LEN;
    int n = length - QZ_UCON_PREFIX_LEN;
    // One packet is one line of printable text: no terminator, line break or control byte.
    for (int i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(text[i]) < 32) {
            if (firstOfMinute(sv, BAD_LENGTH))
                svMsg(sv, "Ignoring Ucon Packet due to length (%d)", length);
            return;
        }
    }
    Ctx c{sv, from, ""};
    adrStr(from, c.address);
    UconField f[5];
    int count = uconSplit(text, n, f, 5);
    if (count < 1) return;
    if (uconIs(f[0], "HELLO")) {
        handleHello(c, f, count);
    } else if (uconIs(f[0], "LOGIN")) {
        handleLogin(c, f, count);
    } else if (uconIs(f[0], "CMD")) {
        handleCommand(c, f, count);
    } else {
        sv->ucon.badPackets++;  // not a UCON message word
    }
}

void uconFrame(stQzSv* sv) {
    unsigned now = GetTickCount();
    stUconState& u = sv->ucon;
    uconFlush(sv);
    if (u.openCount > 0) {
        int limitMs = sv->set.uConTimeout * 1000;
        for (stUsession& s : u.sessions) {
            if (!s.open || tickElapsed(now, s.lastTick) < limitMs) continue;
            svMsg(sv, "QZ UCON Session #%d timed out after %d seconds", sessionSlot(sv, &s),
                  sv->set.uConTimeout);
            uconCloseSession(sv, &s, "timeout");
        }
    }
    if (tickElapsed(now, u.summaryTick) < kSummaryMs) return;
    u.summaryTick = now;
    u.loggedReasons = 0;
    if (u.badPackets) svMsg(sv, "Ignored %lu Bad Packets", u.badPackets);
    if (u.ignoredPackets) svMsg(sv, "%lu QZ UCON Packets ignored", u.ignoredPackets);
    u.badPackets = u.ignoredPackets = 0;
}

namespace {

// The longest text of one MSG packet: what a packet holds after its word, identifier, sequence
// and MAC.
constexpr int kMsgText = QZ_UCON_PACKET_MAX - QZ_UCON_PREFIX_LEN - 80;

// Room for need more bytes at the end of the session's queue: what was sent is dropped from the
// front first (one move, only when the end is reached).
bool queueRoom(stUsession* s, int need) {
    if (s->outLen + need <= QZ_UCON_OUTBUF) return true;
    if (s->outHead == 0) return false;
    memmove(s->out, s->out + s->outHead, static_cast<size_t>(s->outLen - s->outHead));
    s->outLen -= s->outHead;
    s->outHead = 0;
    return s->outLen + need <= QZ_UCON_OUTBUF;
}

// Sends whole lines from the front of the session's queue, one packet at a time, up to max
// packets. A packet the system will not take now stays queued for the next frame, so a line is
// never lost on the way out.
void flushSession(stQzSv* sv, stUsession* s, int max) {
    if (s->outLost && queueRoom(s, 80)) {
        int n = trf(s->out + s->outLen, 80,
                    "QZSV: [%lu lines not sent: the session's queue was full]\n", s->outLost);
        s->outLen += n < 80 ? n : 79;
        s->outLost = 0;
    }
    for (int sent = 0; sent < max && s->outHead < s->outLen; ++sent) {
        const char* text = s->out + s->outHead;
        int waiting = s->outLen - s->outHead;
        // As many whole lines as fit (the packet's text leaves out the last line feed).
        int take = 0;
        while (take < waiting) {
            const char* nl =
                static_cast<const char*>(memchr(text + take, '\n', static_cast<size_t>(waiting - take)));
            int end = nl ? static_cast<int>(nl - text) : waiting;
            if (end > kMsgText) break;
            take = nl ? end + 1 : end;
        }
        if (take == 0) take = waiting < kMsgText ? waiting : kMsgText;  // one overlong line
        int textLen = take;
        if (textLen > 0 && text[textLen - 1] == '\n') textLen--;
        char pkt[QZ_UCON_PACKET_MAX + 1];
        int n = uconSigned(pkt, sizeof pkt, "MSG", s->sid, s->nextOut, s->key, text, textLen);
        if (n > 0 && !uconPortSend(sv, &s->peer, pkt, n)) return;  // the system is full: later
        s->nextOut++;
        s->outHead += take;
    }
    if (s->outHead == s->outLen) s->outHead = s->outLen = 0;
}

}  // namespace

void uconBroadcast(stQzSv* sv, const char* line, int length) {
    stUconState& u = sv->ucon;
    if (u.openCount == 0 || u.sending) return;
    u.sending = 1;
    if (length > kMsgText - 6) length = kMsgText - 6;
    for (stUsession& s : u.sessions) {
        if (!s.open || !s.out) continue;
        if (!queueRoom(&s, length + 7)) {
            s.outLost++;
            continue;
        }
        char* at = s.out + s.outLen;
        memcpy(at, "QZSV: ", 6);
        memcpy(at + 6, line, static_cast<size_t>(length));
        // A line break inside a message would split it on the client: shown as a blank.
        for (int i = 6; i < 6 + length; ++i)
            if (at[i] == '\n' || at[i] == '\r') at[i] = ' ';
        at[6 + length] = '\n';
        s.outLen += length + 7;
    }
    u.sending = 0;
}

void uconFlush(stQzSv* sv) {
    if (sv->ucon.openCount == 0) return;
    for (stUsession& s : sv->ucon.sessions)
        if (s.open && s.outLen > s.outHead) flushSession(sv, &s, QZ_UCON_FLUSH_PACKETS);
}

void uconCloseSession(stQzSv* sv, stUsession* s, const char* why) {
    if (!s->open) return;
    flushSession(sv, s, 1 << 20);  // what waits goes out before the end, as far as it can
    sendSigned(sv, s, "END", why, slen(why));
    free(s->out);
    memset(s, 0, sizeof *s);
    sv->ucon.openCount--;
}

void uconCloseAll(stQzSv* sv, const char* why) {
    for (stUsession& s : sv->ucon.sessions) uconCloseSession(sv, &s, why);
}
