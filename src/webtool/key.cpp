// The web key: its digest, the check every action makes, the bad-key report and lockout, the
// logins a digest stands for and their end, and the rule by which an empty web key takes the
// game's rcon password.
#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "util/clock.h"
#include "util/compare.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

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

// The budget of the trusted proxy the request came through (null when it came directly); with
// create, a place is made for it.
stWebProxyBudget* proxyBudgetOf(stWeb* w, bool create) {
    if (!w->viaProxy) return nullptr;
    stWebProxyBudget* spare = nullptr;
    for (stWebProxyBudget& b : w->proxyBudget) {
        if (b.addr == w->viaProxy) return &b;
        if (!spare || (spare->addr && !b.addr)) spare = &b;
    }
    if (!create || !spare) return nullptr;
    *spare = stWebProxyBudget{};
    spare->addr = w->viaProxy;
    return spare;
}

// True when the proxy of the request has passed on WEB_GUESS_MAX bad keys within the window.
// Its clients that have not logged in lately then get no key checked: a client at the proxy's
// own address could otherwise name a new address with every guess.
bool proxySpent(stWeb* w, unsigned now) {
    const stWebProxyBudget* b = proxyBudgetOf(w, false);
    if (!b || b->count < WEB_GUESS_MAX) return false;
    if (tickElapsed(now, b->ticks[b->next]) >= WEB_LOCK_WINDOW_MS) return false;
    const stWebLock* l = lockEntry(w, false, now);
    return !(l && l->loggedIn && tickElapsed(now, l->goodTick) < WEB_RECENT_LOGIN_MS);
}

void noteBadKey(stQzSv* sv, unsigned now) {
    stWeb* w = &sv->web;
    w->guessTicks[w->guessNext] = now;
    w->guessNext = (w->guessNext + 1) % WEB_GUESS_MAX;
    if (w->guessCount < WEB_GUESS_MAX) w->guessCount++;
    if (stWebProxyBudget* b = proxyBudgetOf(w, true)) {
        b->ticks[b->next] = now;
        b->next = (b->next + 1) % WEB_GUESS_MAX;
        if (b->count < WEB_GUESS_MAX) b->count++;
    }
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
    char why[64];
    QZ_TRF(why, "%d bad web keys", WEB_LOCK_BADKEYS);
    QzAuditTarget t{0, nullptr, nullptr, ip};
    auditWrite(sv, "web-lockout", &t, nullptr, QZ_AUDIT_DONE, why);
}

void noteGoodKey(stWeb* w, unsigned now) {
    stWebLock* l = lockEntry(w, true, now);
    if (!l) return;
    l->bad = 0;
    l->loggedIn = 1;
    l->goodTick = now;
    l->seq = ++w->lockSeq;
}

WebRandomFn g_random = nullptr;

// Fills out with bytes of the system's random source; false when it has none to give.
bool randomBytes(unsigned char* out, int n) {
    int ok = g_random ? g_random(out, n) : RAND_bytes(out, n);
    if (ok == 1) return true;
    OPENSSL_cleanse(out, static_cast<size_t>(n));
    return false;
}

// Keeps the two secrets in step with the clock: every WEB_DIGEST_PERIOD_MS the current secret
// becomes the previous one and a new one is drawn; after two periods without a request both
// are new. False when no secret could be drawn: nothing may be served then, since digests made
// with a known pattern could be forged.
bool secretsFresh(stWeb* w, unsigned now) {
    if (!w->secretReady) {
        if (!randomBytes(w->secret[0], WEB_SECRET_SIZE) ||
            !randomBytes(w->printSecret, WEB_SECRET_SIZE)) {
            w->noRandom = 1;
            return false;
        }
        w->noRandom = 0;
        w->prevValid = 0;
        w->knownSecrets = 1;
        w->secretTick = now;
        w->secretReady = 1;
        return true;
    }
    int el = tickElapsed(now, w->secretTick);
    if (el < WEB_DIGEST_PERIOD_MS) return true;
    unsigned char next[WEB_SECRET_SIZE];
    if (!randomBytes(next, WEB_SECRET_SIZE)) {
        // The old secrets are not kept past their time: every login ends and nothing is served
        // until a secret can be drawn.
        OPENSSL_cleanse(w->secret, sizeof w->secret);
        memset(w->binds, 0, sizeof w->binds);
        w->bind = nullptr;
        w->secretReady = 0;
        w->prevValid = 0;
        w->knownSecrets = 0;
        w->noRandom = 1;
        return false;
    }
    // The current secret becomes the previous one; it still opens digests only when it was
    // current less than a period ago.
    memmove(w->secret[1], w->secret[0], 3 * WEB_SECRET_SIZE);
    w->prevValid = el < 2 * WEB_DIGEST_PERIOD_MS;
    if (w->knownSecrets < 4) w->knownSecrets++;
    memcpy(w->secret[0], next, WEB_SECRET_SIZE);
    OPENSSL_cleanse(next, sizeof next);
    w->secretTick = now;
    return true;
}

// The digest of key for a login under one secret: the login number in 8 hexadecimal digits,
// then 24 of HMAC-SHA256(secret, login number, key and its terminator).
void digestWith(const unsigned char* secret, unsigned login, const char* key, char (&out)[33]) {
    unsigned char data[4 + 128];
    data[0] = static_cast<unsigned char>(login >> 24);
    data[1] = static_cast<unsigned char>(login >> 16);
    data[2] = static_cast<unsigned char>(login >> 8);
    data[3] = static_cast<unsigned char>(login);
    int n = slen(key);
    if (n > 127) n = 127;
    memcpy(data + 4, key, static_cast<size_t>(n));
    data[4 + n] = 0;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned macLen = 0;
    HMAC(EVP_sha256(), secret, WEB_SECRET_SIZE, data, static_cast<size_t>(n) + 5, mac, &macLen);
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) out[i] = kHex[(login >> (28 - 4 * i)) & 15];
    for (int i = 0; i < 12; ++i) {
        out[8 + 2 * i] = kHex[mac[i] >> 4];
        out[9 + 2 * i] = kHex[mac[i] & 15];
    }
    out[32] = 0;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// True when the 32 characters at v are hexadecimal digits.
bool looksLikeDigest(const char* v) {
    for (int i = 0; i < 32; ++i) {
        if (hexDigit(v[i]) < 0) return false;
    }
    return true;
}

// True when the digest at v (32 hexadecimal digits, any case) is the one of material for its
// login under the current or the previous secret. Compared in constant time.
bool digestOpens(const stWeb* w, const char* material, const char* v, unsigned login) {
    char given[33];
    for (int i = 0; i < 32; ++i) given[i] = v[i] >= 'a' && v[i] <= 'f' ? v[i] - 32 : v[i];
    given[32] = 0;
    bool ok = false;
    for (int k = 0; k < (w->prevValid ? 2 : 1); ++k) {
        char digest[33];
        digestWith(w->secret[k], login, material, digest);
        ok |= CRYPTO_memcmp(given, digest, 32) == 0;
    }
    return ok;
}

// True when the digest is its login's under a secret that opens nothing any more: a page of an
// open login that was left unused for too long, not a guess.
bool digestRetired(const stWeb* w, const char* material, const char* v, unsigned login) {
    char given[33];
    for (int i = 0; i < 32; ++i) given[i] = v[i] >= 'a' && v[i] <= 'f' ? v[i] - 32 : v[i];
    given[32] = 0;
    bool found = false;
    for (int k = w->prevValid ? 2 : 1; k < w->knownSecrets; ++k) {
        char digest[33];
        digestWith(w->secret[k], login, material, digest);
        found |= CRYPTO_memcmp(given, digest, 32) == 0;
    }
    return found;
}

// A fingerprint of a wrong digest, so that a page that sends the same one again (a refresh)
// counts once.
unsigned digestPrint(const char* v) {
    unsigned h = 2166136261u;
    for (int i = 0; i < 32; ++i) h = (h ^ static_cast<unsigned char>(lowerCh(v[i]))) * 16777619u;
    return h ? h : 1;
}

// True when the typed value (n bytes at v) is the key: both are compared in their normal form
// (webKeyNormal), so the key typed in a browser matches the key set on the console or in a
// configuration file whether each was UTF-8 or Latin-1. Constant time for keys of one length.
bool typedIsKey(const char* v, int n, const char* key) {
    if (n <= 0 || !*key) return false;
    char typed[WEB_KEY_NORMAL_MAX], want[WEB_KEY_NORMAL_MAX];
    int tn = webKeyNormal(v, n < WEB_ADMIN_KEY_MAX ? n : WEB_ADMIN_KEY_MAX, typed, qz::cap(typed));
    int kn = webKeyNormal(key, slen(key), want, qz::cap(want));
    bool same = n <= WEB_ADMIN_KEY_MAX && tn == kn &&
                CRYPTO_memcmp(typed, want, static_cast<size_t>(kn)) == 0;
    OPENSSL_cleanse(typed, sizeof typed);
    OPENSSL_cleanse(want, sizeof want);
    return same;
}

// The binding of a login number, or null.
stWebBind* bindOf(stWeb* w, unsigned login) {
    for (stWebBind& b : w->binds) {
        if (b.used && b.login == login) return &b;
    }
    return nullptr;
}

// A new login number, never one in use; false when the random source has none.
bool newLogin(stWeb* w, unsigned* id) {
    do {
        if (!randomBytes(reinterpret_cast<unsigned char*>(id), sizeof *id)) return false;
    } while (*id == 0 || bindOf(w, *id));
    return true;
}

void hexText(const unsigned char* in, int n, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kHex[in[i] >> 4];
        out[2 * i + 1] = kHex[in[i] & 15];
    }
    out[2 * n] = 0;
}

// The fingerprint of the web key its logins are bound to (hexadecimal HMAC under printSecret).
void keyPrint(const stWeb* w, const char* key, char (&out)[2 * WEB_ADMIN_HASH + 1]) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned macLen = 0;
    HMAC(EVP_sha256(), w->printSecret, WEB_SECRET_SIZE, reinterpret_cast<const unsigned char*>(key),
         strlen(key), mac, &macLen);
    hexText(mac, WEB_ADMIN_HASH, out);
}

// True while the login may still be used: it was used within two digest periods (its pages'
// digests cannot open anything later anyway).
bool bindLive(const stWebBind* b, unsigned now) {
    return b->used && tickElapsed(now, b->lastTick) < 2 * WEB_DIGEST_PERIOD_MS;
}

// Binds a new login. One administrator holds at most WEB_BIND_PER_ADMIN logins: past that, his
// own oldest ends. The table has room for every administrator's share, so a login never ends
// another administrator's (a place of a login unused for two digest periods is taken first).
stWebBind* bindNew(stWeb* w, unsigned login, int webKey, const char* name, int level,
                   const char* material, unsigned now) {
    stWebBind* free = nullptr;
    stWebBind* ownOldest = nullptr;
    stWebBind* oldest = nullptr;
    int own = 0;
    for (stWebBind& b : w->binds) {
        if (!bindLive(&b, now)) {
            if (!free) free = &b;
            continue;
        }
        if (!oldest || b.seq < oldest->seq) oldest = &b;
        if (b.webKey == webKey && strcmp(b.name, name) == 0) {
            own++;
            if (!ownOldest || b.seq < ownOldest->seq) ownOldest = &b;
        }
    }
    stWebBind* spot = own >= WEB_BIND_PER_ADMIN ? ownOldest : free;
    if (!spot) spot = ownOldest ? ownOldest : oldest;  // only with more names than the file holds
    *spot = stWebBind{};
    spot->used = 1;
    spot->webKey = webKey;
    spot->login = login;
    spot->seq = ++w->bindSeq;
    spot->lastTick = now;
    spot->level = level;
    QZ_COPY(spot->name, name);
    QZ_COPY(spot->material, material);
    // Each login counts its pages from a number of its own, so a number of one login is not
    // one of another's.
    spot->actNext = (login * 2654435761u) | 1u;
    return spot;
}

// The request is made by the login's administrator (bind) or by the web key.
void becomes(stWeb* w, const stWebBind* b) {
    w->bind = b;
    bool named = b && !b->webKey;
    w->level = named ? b->level : WEBL_ALL;
    QZ_COPY(w->who, named ? b->name : "");
    QZ_COPY(w->origin.name, named ? b->name : "webkey");
}

// True when the typed value of a posted "webkey" field is there (not a digest): *raw, *rawLen.
bool typedValue(const char* at, const char** raw, int* rawLen) {
    const char* r = at + 6;
    while (*r == ' ' || *r == '\t') r++;
    if (*r == '=') r++;
    int n = 0;
    while (r[n] && r[n] != '\r' && r[n] != '\n') n++;
    *raw = r;
    *rawLen = n;
    return n > 0;
}

// The "webkey" field a key may be typed into: one of the posted body. A key in the request's
// target (the URL) is never taken, POST or not: a URL stays in logs and histories.
const char* typedField(const stWeb* w, const char* form) {
    if (w->facts.get) return nullptr;
    int at = w->facts.bodyAt;
    if (at < 0 || at > slen(form)) return nullptr;
    return web_find(form + at, "webkey");
}

// The administrator of the current list the checker's match stands for: the same name and the
// same hash (the file may have changed while the checker worked). Null when there is none.
const stWebAdmin* matchedAdmin(const stWeb* w) {
    if (!w->matchValid || !w->match.found) return nullptr;
    for (int i = 0; i < w->admins.count; ++i) {
        const stWebAdmin* a = &w->admins.list[i];
        if (strcmp(a->name, w->match.name) == 0 &&
            CRYPTO_memcmp(a->hash, w->match.hash, WEB_ADMIN_HASH) == 0)
            return a;
    }
    return nullptr;
}

// True when no key of this request is checked: its address is locked out, or it has guessed
// wrong while all addresses together (or all clients of its proxy) spent their budget.
bool keyRefused(stWeb* w, unsigned now) {
    return lockedOut(w, now) || guessBlocked(w, now) || proxySpent(w, now);
}

// Ends the logins of named administrators that the list no longer holds as they logged in
// (removed, or another key or level); the web key's logins are not theirs to end.
void endStaleBinds(stWeb* w) {
    const stWebAdmins* a = &w->admins;
    for (stWebBind& b : w->binds) {
        if (!b.used || b.webKey) continue;
        bool keep = false;
        for (int i = 0; i < a->count && !keep; ++i) {
            char material[2 * WEB_ADMIN_HASH + 1];
            hexText(a->list[i].hash, WEB_ADMIN_HASH, material);
            keep = strcmp(a->list[i].name, b.name) == 0 && a->list[i].level == b.level &&
                   CRYPTO_memcmp(material, b.material, sizeof material) == 0;
        }
        if (!keep) b.used = 0;
    }
}

}  // namespace

void webRandomSource(WebRandomFn fn) { g_random = fn; }

bool web_secrets_ready(stQzSv* sv) { return secretsFresh(&sv->web, GetTickCount()); }

void web_admins_sync(stQzSv* sv) {
    stWebAdmins* a = &sv->web.admins;
    const char* path = homePath(QZ_ADMINS_FILE);
    struct stat st {};
    if (lstat(path, &st) != 0) {
        if (a->seen) {
            a->count = 0;
            a->seen = 0;
            a->generation++;
            endStaleBinds(&sv->web);
        }
        a->refusedMode = 0;
        return;
    }
    // The change time too: a file written twice within the clock's step at the same size still
    // differs in it when its owner, mode or links changed, and a rename gives a new inode.
    long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    long long ctime = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    bool same = a->seen && a->mtimeNs == mtime && a->ctimeNs == ctime &&
                a->size == static_cast<long long>(st.st_size) &&
                a->ino == static_cast<unsigned long long>(st.st_ino) &&
                a->mode == static_cast<unsigned>(st.st_mode);
    if (same) return;
    char why[256];
    int count = 0;
    bool ok = webAdminsRead(path, a->list, &count, why, qz::cap(why));
    a->count = ok ? count : 0;
    a->seen = 1;
    a->mtimeNs = mtime;
    a->ctimeNs = ctime;
    a->size = static_cast<long long>(st.st_size);
    a->ino = static_cast<unsigned long long>(st.st_ino);
    a->mode = static_cast<unsigned>(st.st_mode);
    a->generation++;
    if (!ok) {
        // Said once for each change of the file, not at every login.
        svMsg(sv, "WebTool: named administrators are off: %s", why);
        a->refusedMode = 1;
    } else {
        a->refusedMode = 0;
    }
    // Logins of administrators removed, or whose key or level changed, end, whoever changed the
    // file (the console, qzadmin, an editor, a restore).
    endStaleBinds(&sv->web);
}

bool web_admin_wait(stQzSv* sv, const char* form, unsigned ticket) {
    stWeb* w = &sv->web;
    w->matchValid = 0;
    w->match = stWebAdminMatch{};
    const char* at = typedField(w, form);
    const char* raw = nullptr;
    int rawLen = 0;
    if (!at || !typedValue(at, &raw, &rawLen)) return false;
    // A digest, or the web key itself, needs no checker.
    if (rawLen == 32 && looksLikeDigest(raw)) return false;
    const char* key = web_key(sv);
    if (*key && typedIsKey(raw, rawLen, key)) return false;
    unsigned now = GetTickCount();
    if (keyRefused(w, now)) return false;
    if (webAdminCheckPoll(ticket, &w->match) == 1) {
        w->matchValid = 1;
        return false;
    }
    if (webAdminCheckBusy()) return true;
    web_admins_sync(sv);
    if (w->admins.count == 0) return false;
    char typed[WEB_ADMIN_KEY_MAX + 1];
    trcpyz(typed, raw, rawLen < WEB_ADMIN_KEY_MAX ? rawLen : WEB_ADMIN_KEY_MAX);
    webAdminCheckStart(ticket, typed, w->admins.list, w->admins.count);
    OPENSSL_cleanse(typed, sizeof typed);
    return true;
}

void web_key_digest(stQzSv* sv, const char* key, char (&out)[33]) {
    stWeb* w = &sv->web;
    secretsFresh(w, GetTickCount());
    // A login's pages carry digests of its login number under its bound material (a named
    // administrator's key hash, or the web key's fingerprint).
    if (w->bind) key = w->bind->material;
    digestWith(w->secret[0], w->login, key ? key : "", out);
}

void web_key_reset(stQzSv* sv) {
    stWeb* w = &sv->web;
    w->secretReady = 0;
    w->login = 0;
    memset(w->binds, 0, sizeof w->binds);
    w->bind = nullptr;
    secretsFresh(w, GetTickCount());
}

bool web_recent_login(stQzSv* sv, unsigned addr) {
    unsigned now = GetTickCount();
    for (const stWebLock& l : sv->web.locks) {
        if (l.used && l.addr == addr)
            return l.loggedIn && tickElapsed(now, l.goodTick) < WEB_RECENT_LOGIN_MS;
    }
    return false;
}

void web_logout(stQzSv* sv) {
    stWeb* w = &sv->web;
    // Only this login ends: its binding goes, so its digests open nothing any more.
    if (stWebBind* b = bindOf(w, w->login)) b->used = 0;
    w->bind = nullptr;
}

unsigned web_act_issue(stQzSv* sv) {
    stWeb* w = &sv->web;
    stWebBind* b = w->keyState == 1 ? bindOf(w, w->login) : nullptr;
    if (!b) return 0;
    unsigned n = b->actNext++;
    if (b->actNext == 0) b->actNext = 1;
    b->actUsed[(n / 8) % (WEB_ACT_WINDOW / 8)] &= static_cast<unsigned char>(~(1u << (n % 8)));
    return n;
}

bool web_act_take(stQzSv* sv, const char* form) {
    stWeb* w = &sv->web;
    const char* v = web_field(form, "webact");
    if (!v) return true;
    stWebBind* b = w->keyState == 1 ? bindOf(w, w->login) : nullptr;
    if (!b) return false;
    unsigned n = 0;
    int digits = 0;
    for (; *v >= '0' && *v <= '9' && digits < 10; ++v, ++digits) n = n * 10 + (*v - '0');
    // Given by this login, and among its last WEB_ACT_WINDOW pages.
    unsigned age = b->actNext - n;
    if (digits == 0 || n == 0 || age == 0 || age > WEB_ACT_WINDOW) return false;
    unsigned char& byte = b->actUsed[(n / 8) % (WEB_ACT_WINDOW / 8)];
    unsigned char bit = static_cast<unsigned char>(1u << (n % 8));
    if (byte & bit) return false;
    byte |= bit;
    return true;
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

namespace {

// A new login of the web key (webKey) or of the administrator a: bound, counted as a good key,
// recorded. False (Login Screen written) when no login number could be drawn.
bool logIn(stQzSv* sv, const stWebAdmin* a, unsigned now, stWebPage* page) {
    stWeb* w = &sv->web;
    unsigned id = 0;
    if (!newLogin(w, &id)) {
        web_login(sv, page, "<b><i>* NO RANDOM SOURCE: TRY AGAIN LATER *</i></b>");
        return false;
    }
    noteGoodKey(w, now);
    w->login = id;
    char material[2 * WEB_ADMIN_HASH + 1];
    if (a) {
        hexText(a->hash, WEB_ADMIN_HASH, material);
    } else {
        keyPrint(w, web_key(sv), material);
    }
    becomes(w, bindNew(w, id, a ? 0 : 1, a ? a->name : "", a ? a->level : WEBL_ALL, material, now));
    w->keyState = 1;
    auditWrite(sv, "web-login", nullptr, nullptr, QZ_AUDIT_DONE,
               a ? webLevelName(a->level) : nullptr);
    return true;
}

}  // namespace

bool web_key_check(stQzSv* sv, const char* form, stWebPage* page) {
    stWeb* w = &sv->web;
    // Asked once per request: the dispatcher checks before a handler does. Outside the
    // dispatcher every call is a check of its own.
    if (!w->dispatching) w->keyState = 0;
    if (w->keyState) return w->keyState == 2;
    w->keyState = 2;
    unsigned now = GetTickCount();
    if (!secretsFresh(w, now)) {
        web_login(sv, page, "<b><i>* NO RANDOM SOURCE: TRY AGAIN LATER *</i></b>");
        return true;
    }
    if (keyRefused(w, now)) {
        web_login(sv, page, "<b><i>* TOO MANY BAD KEYS: TRY AGAIN IN A MINUTE *</i></b>");
        return true;
    }
    const char* key = web_key(sv);
    // The key itself is taken only from the body of a form a browser posts.
    if (const char* typed = typedField(w, form)) {
        const char* raw = nullptr;
        int rawLen = 0;
        typedValue(typed, &raw, &rawLen);
        // As typed, blanks at its start included, and also without the blanks around it.
        char value[WEB_ADMIN_KEY_MAX + 2];
        web_line_value(typed, "webkey", value, qz::cap(value));
        if (*key && (typedIsKey(raw, rawLen, key) || typedIsKey(value, slen(value), key)))
            return !logIn(sv, nullptr, now, page);
        // A named administrator's key, as the checker thread found it, bound to the current
        // list's entry of that name and hash.
        if (const stWebAdmin* a = matchedAdmin(w)) return !logIn(sv, a, now, page);
    }
    // A digest: in the posted body, or in the refresh link.
    const char* at = typedField(w, form);
    if (!at) at = web_find(form, "webkey");
    bool wrongDigest = false;
    bool staleDigest = false;
    const char* v = at ? web_line_start(at, "webkey") : "";
    if (looksLikeDigest(v)) {
        unsigned id = 0;
        for (int i = 0; i < 8; ++i) id = (id << 4) | static_cast<unsigned>(hexDigit(v[i]));
        stWebBind* b = bindOf(w, id);
        if (b && !bindLive(b, now)) b->used = 0;
        if (b && b->used && b->webKey) {
            // The web key changed since this login: it is over.
            char print[2 * WEB_ADMIN_HASH + 1];
            keyPrint(w, key, print);
            if (!*key || CRYPTO_memcmp(print, b->material, sizeof print) != 0) b->used = 0;
        }
        if (b && b->used && digestOpens(w, b->material, v, id)) {
            noteGoodKey(w, now);
            b->lastTick = now;
            w->login = id;
            becomes(w, b);
            w->keyState = 1;
            return false;
        }
        // A login that is over (a page from before a restart, a log out, a change of the key)
        // cannot be guessed into (its number is bound to nothing): the page is told so and
        // nothing is counted. A wrong digest for a login that is open is a guess at it.
        if (b && b->used && !digestRetired(w, b->material, v, id)) {
            wrongDigest = true;
        } else {
            staleDigest = true;
        }
    }
    svMsg(sv, "Bad Web Key sent from %s", w->clientText);
    // A key typed into a posted form counts, and so does a wrong digest of an open login (once
    // for each different digest from an address: a page refreshing with its one digest is not a
    // guesser). A key in a link cannot be typed and counts not; nor does a login that is over.
    // Only what counts is recorded: it is bounded by the lockouts, while the rest, which anyone
    // can send without end, would flood the audit log.
    bool counts = false;
    if (wrongDigest) {
        stWebLock* l = lockEntry(w, true, now);
        unsigned print = digestPrint(v);
        counts = !l || l->lastDigest != print;
        if (l) l->lastDigest = print;
    } else if (!staleDigest) {
        counts = typedField(w, form) != nullptr;
    }
    if (counts) {
        auditWrite(sv, "web-login", nullptr, nullptr, QZ_AUDIT_REFUSED,
                   wrongDigest ? "wrong digest" : "bad key");
        noteBadKey(sv, now);
    }
    web_login(sv, page,
              staleDigest ? "<b><i>* LOGIN ENDED: TYPE THE KEY AGAIN *</i></b>"
                          : "<b><i>* BAD KEY *</i></b>");
    return true;
}
