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

// The lockout entry of the address being served; with create, a new entry (replacing the one
// used longest ago when the table is full). Null when absent and not created.
stWebLock* lockEntry(stWeb* w, bool create) {
    unsigned addr = w->client.sin_addr.s_addr;
    stWebLock* oldest = nullptr;
    for (stWebLock& l : w->locks) {
        if (l.used && l.addr == addr) return &l;
        if (!oldest || !l.used || (oldest->used && l.seq < oldest->seq)) oldest = &l;
    }
    // oldest is never null here (the table is not empty), but the optimiser cannot see that.
    if (!create || !oldest) return nullptr;
    memset(oldest, 0, sizeof *oldest);
    oldest->used = 1;
    oldest->addr = addr;
    return oldest;
}

// True while the client's address is locked out; an expired lock is lifted here.
bool lockedOut(stWeb* w, unsigned now) {
    stWebLock* l = lockEntry(w, false);
    if (!l || !l->locked) return false;
    if (tickElapsed(now, l->lockTick) < WEB_LOCK_TIME_MS) return true;
    l->locked = 0;
    l->bad = 0;
    return false;
}

void noteBadKey(stQzSv* sv, unsigned now) {
    stWeb* w = &sv->web;
    stWebLock* l = lockEntry(w, true);
    if (!l) return;
    l->seq = ++w->lockSeq;
    if (l->bad == 0 || tickElapsed(now, l->firstTick) >= WEB_LOCK_WINDOW_MS) {
        l->bad = 0;
        l->firstTick = now;
    }
    if (++l->bad < WEB_LOCK_BADKEYS) return;
    l->locked = 1;
    l->lockTick = now;
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &w->client.sin_addr, ip, sizeof ip);
    svMsg(sv, "WebTool: %s locked out for %d seconds after %d bad web keys", ip,
          WEB_LOCK_TIME_MS / 1000, WEB_LOCK_BADKEYS);
}

void noteGoodKey(stWeb* w) {
    stWebLock* l = lockEntry(w, false);
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
    if (lockedOut(w, now)) {
        web_login(sv, page, "<b><i>* TOO MANY BAD KEYS: TRY AGAIN IN A MINUTE *</i></b>");
        return true;
    }
    const char* at = web_find(form, "webkey");
    const char* key = web_key(sv);
    if (at) {
        char value[1025];
        web_line_value(at, "webkey", value, qz::cap(value));
        if (*value && strcmp(value, key) == 0) {
            noteGoodKey(w);
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
                noteGoodKey(w);
                return false;
            }
        }
    }
    svMsg(sv, "Bad Web Key sent from %s", w->clientText);
    noteBadKey(sv, now);
    web_login(sv, page, "<b><i>* BAD KEY *</i></b>");
    return true;
}
