// The web key: its digest, the check every action makes, the bad-key report and lockout, and
// the rule by which an empty web key takes the game's rcon password.
#include <arpa/inet.h>

#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/md5.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

// The WebTool's own digest seed: the same for the digest written into pages and for the check.
constexpr unsigned kWebDigestSeed = 0x2F6A31C5u;

// True while the entry has a bad key within the lockout window.
bool recentBad(const stWebLock* l, unsigned now) {
    return l->used && l->bad > 0 && tickElapsed(now, l->lastBadTick) < WEB_LOCK_WINDOW_MS;
}

// The lockout entry of the address being served; with create, a new entry in a free place or in
// the place of the entry used longest ago among those with no bad key in the window and no
// lock. Null when absent and not created, or when every entry is busy with a recent guesser.
stWebLock* lockEntry(stWeb* w, bool create, unsigned now) {
    unsigned addr = w->client.sin_addr.s_addr;
    stWebLock* spare = nullptr;
    for (stWebLock& l : w->locks) {
        if (l.used && l.addr == addr) return &l;
        if (!create) continue;
        bool free = !l.used;
        bool quiet = l.used && !recentBad(&l, now) &&
                     !(l.locked && tickElapsed(now, l.lockTick) < WEB_LOCK_TIME_MS);
        if (free && (!spare || spare->used)) spare = &l;
        if (quiet && (!spare || (spare->used && l.seq < spare->seq))) spare = &l;
    }
    if (!create || !spare) return nullptr;
    memset(spare, 0, sizeof *spare);
    spare->used = 1;
    spare->addr = addr;
    return spare;
}

// True while the client's address is locked out; an expired lock is lifted here.
bool lockedOut(stWeb* w, unsigned now) {
    stWebLock* l = lockEntry(w, false, now);
    if (!l || !l->locked) return false;
    if (tickElapsed(now, l->lockTick) < WEB_LOCK_TIME_MS) return true;
    l->locked = 0;
    l->bad = 0;
    return false;
}

// True when WEB_GUESS_MAX bad keys from all addresses together fell within the window.
bool guessesSpent(const stWeb* w, unsigned now) {
    if (w->guessCount < WEB_GUESS_MAX) return false;
    // guessNext is the oldest of the ring once it is full.
    return tickElapsed(now, w->guessTicks[w->guessNext]) < WEB_LOCK_WINDOW_MS;
}

// While the total is spent, an address that has guessed wrong within the window gets no key
// checked: guessing from many addresses stops at the total, while an address that has not
// guessed wrong (the administrator's) is still let in with the right key.
bool guessBlocked(stWeb* w, unsigned now) {
    if (!guessesSpent(w, now)) return false;
    stWebLock* l = lockEntry(w, false, now);
    return l && recentBad(l, now);
}

void noteBadKey(stQzSv* sv, unsigned now) {
    stWeb* w = &sv->web;
    w->guessTicks[w->guessNext] = now;
    w->guessNext = (w->guessNext + 1) % WEB_GUESS_MAX;
    if (w->guessCount < WEB_GUESS_MAX) w->guessCount++;
    stWebLock* l = lockEntry(w, true, now);
    if (!l) return;  // every entry holds a recent guesser: this one is not remembered
    l->seq = ++w->lockSeq;
    if (l->bad == 0 || tickElapsed(now, l->firstTick) >= WEB_LOCK_WINDOW_MS) {
        l->bad = 0;
        l->firstTick = now;
    }
    l->lastBadTick = now;
    if (++l->bad < WEB_LOCK_BADKEYS) return;
    l->locked = 1;
    l->lockTick = now;
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &w->client.sin_addr, ip, sizeof ip);
    svMsg(sv, "WebTool: %s locked out for %d seconds after %d bad web keys", ip,
          WEB_LOCK_TIME_MS / 1000, WEB_LOCK_BADKEYS);
}

void noteGoodKey(stWeb* w, unsigned now) {
    stWebLock* l = lockEntry(w, false, now);
    if (l) l->bad = 0;
}

}  // namespace

void web_key_digest(const char* key, char (&out)[33]) {
    // The terminator is part of the digested bytes.
    const char* d = qzmd5(key, static_cast<unsigned>(slen(key)) + 1, kWebDigestSeed);
    trcpyz(out, d, 32);
}

const char* web_key(stQzSv* sv) { return sv->set.httpKey; }

void web_key_from_rcon(stQzSv* sv) {
    stWeb* w = &sv->web;
    char* key = sv->set.httpKey;
    // A key that differs from what was copied was set by the administrator: it stays.
    if (*key && !(w->keyFromRcon && strcmp(key, w->rconCopy) == 0)) {
        w->keyFromRcon = 0;
        return;
    }
    char rcon[128];
    svCvar(sv, "rconpassword", rcon, qz::cap(rcon));
    if (!*rcon) {
        if (w->keyFromRcon) key[0] = 0;
        w->keyFromRcon = 0;
        return;
    }
    trcpyz(key, rcon, 127);
    QZ_COPY(w->rconCopy, rcon);
    w->keyFromRcon = 1;
}

bool web_key_check(stQzSv* sv, const char* form, stWebPage* page) {
    unsigned now = GetTickCount();
    stWeb* w = &sv->web;
    if (lockedOut(w, now) || guessBlocked(w, now)) {
        web_login(sv, page, "<b><i>* TOO MANY BAD KEYS: TRY AGAIN IN A MINUTE *</i></b>");
        return true;
    }
    const char* at = web_find(form, "webkey");
    const char* key = web_key(sv);
    if (at) {
        char value[1025];
        web_line_value(at, "webkey", value, qz::cap(value));
        if (*value && strcmp(value, key) == 0) {
            noteGoodKey(w, now);
            return false;
        }
        // An empty key has a well-known digest, so it opens nothing.
        if (*key) {
            char digest[33];
            web_key_digest(key, digest);
            const char* v = web_line_start(at, "webkey");
            int i = 0;
            while (i < 32 && v[i] && lowerCh(v[i]) == lowerCh(digest[i])) i++;
            if (i == 32) {
                noteGoodKey(w, now);
                return false;
            }
        }
    }
    svMsg(sv, "Bad Web Key sent from %s", w->clientText);
    noteBadKey(sv, now);
    web_login(sv, page, "<b><i>* BAD KEY *</i></b>");
    return true;
}
