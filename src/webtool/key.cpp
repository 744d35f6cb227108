// The web key: its digest, the check every action makes, the bad-key report and lockout, the
// logins a digest stands for and their end, and the rule by which an empty web key takes the
// game's rcon password.
#include <arpa/inet.h>
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

// Fills out with bytes of the system's random source.
void randomBytes(unsigned char* out, int n) {
    if (RAND_bytes(out, n) == 1) return;
    // Without a random source the digests would be guessable: no digest opens anything then
    // (the check compares against a secret nobody can know, so only the key itself logs in).
    for (int i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(i * 131 + 7);
}

// Keeps the two secrets in step with the clock: every WEB_DIGEST_PERIOD_MS the current secret
// becomes the previous one and a new one is drawn; after two periods without a request both
// are new.
void secretsFresh(stWeb* w, unsigned now) {
    if (!w->secretReady) {
        randomBytes(w->secret[0], WEB_SECRET_SIZE);
        w->prevValid = 0;
        w->secretTick = now;
        w->secretReady = 1;
        return;
    }
    int el = tickElapsed(now, w->secretTick);
    if (el < WEB_DIGEST_PERIOD_MS) return;
    if (el < 2 * WEB_DIGEST_PERIOD_MS) {
        memcpy(w->secret[1], w->secret[0], WEB_SECRET_SIZE);
        w->prevValid = 1;
    } else {
        w->prevValid = 0;
    }
    randomBytes(w->secret[0], WEB_SECRET_SIZE);
    w->secretTick = now;
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

bool loggedOut(const stWeb* w, unsigned login) {
    for (int i = 0; i < w->loggedOutCount; ++i) {
        if (w->loggedOut[i] == login) return true;
    }
    return false;
}

// The login a digest (32 characters at v, any case) stands for, when it is one of key under
// the current or the previous secret and that login was not ended.
bool digestLogin(stWeb* w, const char* key, const char* v, unsigned* login) {
    if (!looksLikeDigest(v)) return false;
    unsigned id = 0;
    for (int i = 0; i < 8; ++i) id = (id << 4) | static_cast<unsigned>(hexDigit(v[i]));
    if (loggedOut(w, id)) return false;
    for (int k = 0; k < (w->prevValid ? 2 : 1); ++k) {
        char digest[33];
        digestWith(w->secret[k], id, key, digest);
        int i = 0;
        while (i < 32 && lowerCh(v[i]) == lowerCh(digest[i])) i++;
        if (i == 32) {
            *login = id;
            return true;
        }
    }
    return false;
}

// Appends the UTF-8 form of code point cp.
void putUtf8(unsigned cp, char* out, int size, int* len) {
    unsigned char b[4];
    int n = 0;
    if (cp < 0x80) {
        b[n++] = static_cast<unsigned char>(cp);
    } else if (cp < 0x800) {
        b[n++] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        b[n++] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else {
        b[n++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
    for (int i = 0; i < n && *len < size - 1; ++i) out[(*len)++] = static_cast<char>(b[i]);
    out[*len] = 0;
}

// The value as the administrator typed it, when the page's character set (ISO-8859-1) could
// not carry it: its bytes above 127 are ISO-8859-1 letters, and a character outside that set
// arrives as "&#NNNN;". The result is the same text in UTF-8, as a UTF-8 configuration holds it.
void typedAsUtf8(const char* v, int n, char* out, int size) {
    int len = 0;
    out[0] = 0;
    for (int i = 0; i < n && len < size - 1; ++i) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        if (c == '&' && i + 3 < n && v[i + 1] == '#') {
            unsigned cp = 0;
            int j = i + 2;
            while (j < n && j < i + 10 && v[j] >= '0' && v[j] <= '9') cp = cp * 10 + (v[j++] - '0');
            if (j < n && v[j] == ';' && j > i + 2 && cp > 0 && cp <= 0x10FFFF) {
                putUtf8(cp, out, size, &len);
                i = j;
                continue;
            }
        }
        putUtf8(c, out, size, &len);
    }
}

// True when the typed value (n characters at v) is the key: as sent, or in UTF-8 (see
// typedAsUtf8).
bool typedIsKey(const char* v, int n, const char* key) {
    if (n <= 0 || n != slen(key) || strncmp(v, key, static_cast<size_t>(n)) != 0) {
        char utf8[1025];
        typedAsUtf8(v, n, utf8, qz::cap(utf8));
        return *utf8 && strcmp(utf8, key) == 0;
    }
    return true;
}

// A new login number; never one that was ended.
unsigned newLogin(stWeb* w) {
    unsigned id = 0;
    do {
        randomBytes(reinterpret_cast<unsigned char*>(&id), sizeof id);
    } while (loggedOut(w, id));
    return id;
}

// The binding of a login number, or null.
stWebBind* bindOf(stWeb* w, unsigned login) {
    for (stWebBind& b : w->binds) {
        if (b.used && b.login == login) return &b;
    }
    return nullptr;
}

void hexText(const unsigned char* in, int n, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kHex[in[i] >> 4];
        out[2 * i + 1] = kHex[in[i] & 15];
    }
    out[2 * n] = 0;
}

// Binds a new login to administrator a; a full table ends its oldest login.
stWebBind* bindNew(stWeb* w, unsigned login, const stWebAdmin* a) {
    int at = 0;
    for (int i = 0; i < WEB_BIND_MAX; ++i) {
        if (!w->binds[i].used) {
            at = i;
            break;
        }
        if (w->binds[i].seq < w->binds[at].seq) at = i;
    }
    stWebBind* spot = &w->binds[at];
    *spot = stWebBind{};
    spot->used = 1;
    spot->login = login;
    spot->seq = ++w->bindSeq;
    spot->level = a->level;
    QZ_COPY(spot->name, a->name);
    hexText(a->hash, WEB_ADMIN_HASH, spot->material);
    return spot;
}

// The request is made by the login's administrator (bind) or by the web key (null).
void becomes(stWeb* w, const stWebBind* b) {
    w->bind = b;
    w->level = b ? b->level : WEBL_ALL;
    QZ_COPY(w->who, b ? b->name : "");
    QZ_COPY(w->origin.name, b ? b->name : "webkey");
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

}  // namespace

void web_admins_sync(stQzSv* sv) {
    stWebAdmins* a = &sv->web.admins;
    const char* path = homePath(QZ_ADMINS_FILE);
    struct stat st {};
    if (lstat(path, &st) != 0) {
        if (a->seen) {
            a->count = 0;
            a->seen = 0;
            a->generation++;
        }
        a->refusedMode = 0;
        return;
    }
    long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    bool same = a->seen && a->mtimeNs == mtime && a->size == static_cast<long long>(st.st_size) &&
                a->ino == static_cast<unsigned long long>(st.st_ino) &&
                a->mode == static_cast<unsigned>(st.st_mode);
    if (same) return;
    char why[256];
    int count = 0;
    bool ok = webAdminsRead(path, a->list, &count, why, qz::cap(why));
    a->count = ok ? count : 0;
    a->seen = 1;
    a->mtimeNs = mtime;
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
    // Logins of administrators removed, or whose key or level changed, end.
    stWeb* w = &sv->web;
    for (stWebBind& b : w->binds) {
        if (!b.used) continue;
        bool keep = false;
        for (int i = 0; i < a->count && !keep; ++i) {
            char material[2 * WEB_ADMIN_HASH + 1];
            hexText(a->list[i].hash, WEB_ADMIN_HASH, material);
            keep = strcmp(a->list[i].name, b.name) == 0 && a->list[i].level == b.level &&
                   strcmp(material, b.material) == 0;
        }
        if (!keep) b.used = 0;
    }
}

bool web_admin_wait(stQzSv* sv, const char* form, unsigned ticket) {
    stWeb* w = &sv->web;
    w->matchValid = 0;
    w->match = -1;
    if (w->facts.get) return false;
    const char* at = web_find(form, "webkey");
    const char* raw = nullptr;
    int rawLen = 0;
    if (!at || !typedValue(at, &raw, &rawLen)) return false;
    // A digest, or the web key itself, needs no checker.
    if (rawLen == 32 && looksLikeDigest(raw)) return false;
    const char* key = web_key(sv);
    if (*key && typedIsKey(raw, rawLen, key)) return false;
    unsigned now = GetTickCount();
    if (lockedOut(w, now) || guessBlocked(w, now)) return false;
    int match = -1;
    if (webAdminCheckPoll(ticket, &match) == 1) {
        w->matchValid = 1;
        w->match = match;
        return false;
    }
    if (webAdminCheckBusy()) return true;
    web_admins_sync(sv);
    if (w->admins.count == 0) return false;
    char typed[WEB_ADMIN_KEY_MAX + 1];
    trcpyz(typed, raw, rawLen < WEB_ADMIN_KEY_MAX ? rawLen : WEB_ADMIN_KEY_MAX);
    webAdminCheckStart(ticket, typed, w->admins.list, w->admins.count);
    memset(typed, 0, sizeof typed);
    return true;
}

void web_key_digest(stQzSv* sv, const char* key, char (&out)[33]) {
    stWeb* w = &sv->web;
    secretsFresh(w, GetTickCount());
    // A named administrator's pages carry digests of his login under his key's hash.
    if (w->bind) key = w->bind->material;
    digestWith(w->secret[0], w->login, key ? key : "", out);
}

void web_key_reset(stQzSv* sv) {
    stWeb* w = &sv->web;
    w->secretReady = 0;
    w->loggedOutCount = 0;
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
    if (w->loggedOutCount == WEB_LOGOUT_MAX) {
        // No room to remember one more: every login ends instead.
        web_key_reset(sv);
        return;
    }
    w->loggedOut[w->loggedOutCount++] = w->login;
    stWebBind* b = bindOf(w, w->login);
    if (b) b->used = 0;
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
    stWeb* w = &sv->web;
    // Asked once per request: the dispatcher checks before a handler does. Outside the
    // dispatcher every call is a check of its own.
    if (!w->dispatching) w->keyState = 0;
    if (w->keyState) return w->keyState == 2;
    w->keyState = 2;
    unsigned now = GetTickCount();
    secretsFresh(w, now);
    if (lockedOut(w, now) || guessBlocked(w, now)) {
        web_login(sv, page, "<b><i>* TOO MANY BAD KEYS: TRY AGAIN IN A MINUTE *</i></b>");
        return true;
    }
    const char* at = web_find(form, "webkey");
    const char* key = web_key(sv);
    bool staleDigest = false;
    if (at && (*key || w->admins.count > 0 || w->matchValid)) {
        // The key itself is taken only from a form a browser posts: a key in a link would stay
        // in the address bar and the history.
        if (!w->facts.get) {
            char value[1025];
            web_line_value(at, "webkey", value, qz::cap(value));
            // As typed, blanks at its start included: the text after the first "=".
            const char* raw = nullptr;
            int rawLen = 0;
            typedValue(at, &raw, &rawLen);
            if (*key && ((*value && strcmp(value, key) == 0) || typedIsKey(raw, rawLen, key))) {
                noteGoodKey(w, now);
                w->login = newLogin(w);
                becomes(w, nullptr);
                w->keyState = 1;
                auditWrite(sv, "web-login", nullptr, nullptr, QZ_AUDIT_DONE, nullptr);
                return false;
            }
            // A named administrator's key, as the checker thread found it.
            if (w->matchValid && w->match >= 0 && w->match < w->admins.count) {
                noteGoodKey(w, now);
                w->login = newLogin(w);
                becomes(w, bindNew(w, w->login, &w->admins.list[w->match]));
                w->keyState = 1;
                auditWrite(sv, "web-login", nullptr, nullptr, QZ_AUDIT_DONE,
                           webLevelName(w->level));
                return false;
            }
        }
        // An empty key opens nothing (its digests would be the same for everyone).
        const char* v = web_line_start(at, "webkey");
        unsigned login = 0;
        unsigned id = 0;
        if (looksLikeDigest(v)) {
            for (int i = 0; i < 8; ++i) id = (id << 4) | static_cast<unsigned>(hexDigit(v[i]));
        }
        stWebBind* b = looksLikeDigest(v) ? bindOf(w, id) : nullptr;
        if (b ? digestLogin(w, b->material, v, &login) : (*key && digestLogin(w, key, v, &login))) {
            noteGoodKey(w, now);
            w->login = login;
            becomes(w, b);
            w->keyState = 1;
            return false;
        }
        staleDigest = looksLikeDigest(v) && slen(key) != 32;
    }
    svMsg(sv, "Bad Web Key sent from %s", w->clientText);
    // Only a key typed into a posted form is a guess. A digest that no longer opens anything (a
    // page from before a restart, a change of the key, a log out) cannot be guessed (2^96
    // values) and a link cannot carry a typed key, so neither counts toward a lockout: no page
    // of another site can lock the administrator out by loading links.
    // Only these are recorded too: they are bounded by the lockouts, while links and stale
    // digests, which anyone can send without end, would flood the audit log.
    if (!w->facts.get && !staleDigest) {
        auditWrite(sv, "web-login", nullptr, nullptr, QZ_AUDIT_REFUSED, "bad key");
        noteBadKey(sv, now);
    }
    web_login(sv, page,
              staleDigest ? "<b><i>* LOGIN ENDED: TYPE THE KEY AGAIN *</i></b>"
                          : "<b><i>* BAD KEY *</i></b>");
    return true;
}
