// Named administrators: the file "qzadmins.dat", its parser and writer, scrypt hashing, and the
// thread that checks typed keys so that no frame waits for scrypt.
#include "webtool/admins.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "util/compare.h"
#include "util/text.h"

namespace {

const char* const kLevels[] = {"none", "view", "kick", "ban", "all"};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The next blank-separated word of [p, end) into out (cut words are refused); false at the end.
bool nextWord(const char*& p, const char* end, char* out, int size) {
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    int n = 0;
    while (p < end && *p != ' ' && *p != '\t') {
        if (n >= size - 1) return false;
        out[n++] = *p++;
    }
    out[n] = 0;
    return n > 0;
}

bool readHex(const char* text, unsigned char* out, int bytes) {
    if (slen(text) != 2 * bytes) return false;
    for (int i = 0; i < bytes; ++i) {
        int hi = hexValue(text[2 * i]), lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

bool readCost(const char* text, unsigned long long* out, unsigned long long max) {
    unsigned long long v = 0;
    if (!*text) return false;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > max) return false;
    }
    *out = v;
    return v > 0;
}

void putHex(const unsigned char* in, int bytes, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < bytes; ++i) {
        out[2 * i] = kHex[in[i] >> 4];
        out[2 * i + 1] = kHex[in[i] & 15];
    }
    out[2 * bytes] = 0;
}

// Code points of the Windows-1252 bytes 0x80-0x9F (a browser's "ISO-8859-1"); the five bytes
// that set leaves open keep their ISO-8859-1 meaning.
const unsigned kWin1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                               0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// True when the n bytes at k are well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool utf8Valid(const unsigned char* k, int n) {
    for (int i = 0; i < n;) {
        unsigned c = k[i];
        int more = 0;
        unsigned cp = 0, min = 0;
        if (c < 0x80) {
            i++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + more >= n) return false;
        for (int j = 1; j <= more; ++j) {
            if ((k[i + j] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (k[i + j] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

// The checker thread and its one job.
struct Checker {
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    bool running = false;
    bool stop = false;
    bool busy = false;  // a job is queued or being worked on
    bool done = false;
    std::chrono::steady_clock::time_point doneAt;
    unsigned ticket = 0;
    stWebAdminMatch match{};
    char key[WEB_ADMIN_KEY_MAX + 1] = "";
    int count = 0;
    stWebAdmin list[WEB_ADMIN_MAX];
};
Checker g_checker;

void checkerLoop() {
    Checker& c = g_checker;
    std::unique_lock<std::mutex> hold(c.lock);
    for (;;) {
        c.wake.wait(hold, [&] { return c.stop || (c.busy && !c.done); });
        if (c.stop) return;
        char key[WEB_ADMIN_KEY_MAX + 1];
        stWebAdmin list[WEB_ADMIN_MAX];
        int count = c.count;
        memcpy(key, c.key, sizeof key);
        memcpy(list, c.list, sizeof(stWebAdmin) * static_cast<size_t>(count));
        hold.unlock();
        // Every administrator is tried, matched or not, so the time taken does not tell which.
        int match = -1;
        for (int i = 0; i < count; ++i) {
            unsigned char h[WEB_ADMIN_HASH];
            if (webAdminHash(&list[i], key, h) && CRYPTO_memcmp(h, list[i].hash, sizeof h) == 0 &&
                match < 0)
                match = i;
        }
        OPENSSL_cleanse(key, sizeof key);
        hold.lock();
        OPENSSL_cleanse(c.key, sizeof c.key);
        // Who matched, by name and hash: the index means nothing once the list has changed.
        c.match = stWebAdminMatch{};
        if (match >= 0) {
            c.match.found = 1;
            QZ_COPY(c.match.name, list[match].name);
            memcpy(c.match.hash, list[match].hash, sizeof c.match.hash);
        }
        c.done = true;
        c.doneAt = std::chrono::steady_clock::now();
    }
}

}  // namespace

const char* webLevelName(int level) {
    return level >= 0 && level <= WEBL_ALL ? kLevels[level] : "none";
}

int webLevelOf(const char* word) {
    for (int i = WEBL_VIEW; i <= WEBL_ALL; ++i) {
        if (trcasecmp(word, kLevels[i]) == 0) return i;
    }
    return WEBL_NONE;
}

bool webAdminNameOk(const char* name) {
    int n = 0;
    for (; name[n]; ++n) {
        char c = name[n];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok || n >= WEB_ADMIN_NAME_MAX) return false;
    }
    return n > 0;
}

bool webAdminKeyOk(const char* key, const char** why) {
    int n = slen(key);
    if (n == 0 || n > WEB_ADMIN_KEY_MAX) {
        *why = "a key has 1 to 127 characters";
        return false;
    }
    bool hex = n == 32;
    for (int i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(key[i]) < 32 || key[i] == 127) {
            *why = "a key has no control characters";
            return false;
        }
        if (hexValue(key[i]) < 0) hex = false;
    }
    if (hex) {
        *why = "a key of 32 hexadecimal digits looks like a page's digest";
        return false;
    }
    return true;
}

bool webAdminParse(const char* line, int length, stWebAdmin* out) {
    const char* p = line;
    const char* end = line + length;
    while (end > p && (end[-1] == '\r' || end[-1] == '\n')) end--;
    char name[WEB_ADMIN_NAME_MAX + 2], level[8], kind[8], n[24], r[24], pp[24];
    char salt[2 * WEB_ADMIN_SALT + 2], hash[2 * WEB_ADMIN_HASH + 2], extra[2];
    if (!nextWord(p, end, name, sizeof name) || name[0] == '#') return false;
    if (!nextWord(p, end, level, sizeof level) || !nextWord(p, end, kind, sizeof kind) ||
        !nextWord(p, end, n, sizeof n) || !nextWord(p, end, r, sizeof r) ||
        !nextWord(p, end, pp, sizeof pp) || !nextWord(p, end, salt, sizeof salt) ||
        !nextWord(p, end, hash, sizeof hash))
        return false;
    if (nextWord(p, end, extra, sizeof extra) || p < end) return false;
    stWebAdmin a{};
    if (!webAdminNameOk(name) || strcmp(kind, "scrypt") != 0) return false;
    QZ_COPY(a.name, name);
    a.level = webLevelOf(level);
    if (a.level == WEBL_NONE) return false;
    // Bounds that keep one check within reason: N a power of two up to 2^20, r*p up to 64.
    if (!readCost(n, &a.n, 1u << 20) || (a.n & (a.n - 1)) != 0 || a.n < 2) return false;
    if (!readCost(r, &a.r, 64) || !readCost(pp, &a.p, 64) || a.r * a.p > 64) return false;
    if (!readHex(salt, a.salt, WEB_ADMIN_SALT) || !readHex(hash, a.hash, WEB_ADMIN_HASH))
        return false;
    *out = a;
    return true;
}

int webAdminParseText(const char* text, int length, stWebAdmin* list, int max) {
    int count = 0;
    int i = 0;
    while (i < length) {
        int start = i;
        while (i < length && text[i] != '\n') i++;
        int n = i - start;
        i++;
        stWebAdmin a;
        if (n <= 0 || n > 512 || memchr(text + start, 0, static_cast<size_t>(n))) continue;
        if (!webAdminParse(text + start, n, &a)) continue;
        int at = count;
        for (int k = 0; k < count; ++k) {
            if (trcasecmp(list[k].name, a.name) == 0) at = k;
        }
        if (at == count) {
            if (count >= max) continue;
            count++;
        }
        list[at] = a;
    }
    return count;
}

void webAdminFormat(const stWebAdmin* a, char* out, int size) {
    char salt[2 * WEB_ADMIN_SALT + 1], hash[2 * WEB_ADMIN_HASH + 1];
    putHex(a->salt, WEB_ADMIN_SALT, salt);
    putHex(a->hash, WEB_ADMIN_HASH, hash);
    trf(out, size, "%s %s scrypt %llu %llu %llu %s %s", a->name, webLevelName(a->level), a->n, a->r,
        a->p, salt, hash);
}

int webKeyNormal(const char* key, int length, char* out, int size) {
    int len = 0;
    if (size <= 0) return 0;
    const auto* k = reinterpret_cast<const unsigned char*>(key);
    if (utf8Valid(k, length)) {
        len = length < size - 1 ? length : size - 1;
        memcpy(out, key, static_cast<size_t>(len));
        out[len] = 0;
        return len;
    }
    for (int i = 0; i < length; ++i) {
        unsigned cp = k[i];
        if (cp >= 0x80 && cp < 0xA0) cp = kWin1252[cp - 0x80];
        unsigned char b[3];
        int n = 0;
        if (cp < 0x80) {
            b[n++] = static_cast<unsigned char>(cp);
        } else if (cp < 0x800) {
            b[n++] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        } else {
            b[n++] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            b[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            b[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        }
        if (len + n > size - 1) break;
        memcpy(out + len, b, static_cast<size_t>(n));
        len += n;
    }
    out[len] = 0;
    return len;
}

bool webAdminHash(const stWebAdmin* a, const char* key, unsigned char (&out)[WEB_ADMIN_HASH]) {
    // Room for the cost the parser allows (128 * r * N bytes and the p blocks).
    const uint64_t maxmem = 128ull * a->r * a->n + 128ull * a->r * a->p + (1u << 20);
    char normal[WEB_KEY_NORMAL_MAX];
    int n = webKeyNormal(key, slen(key), normal, qz::cap(normal));
    bool ok = EVP_PBE_scrypt(normal, static_cast<size_t>(n), a->salt, sizeof a->salt, a->n, a->r,
                             a->p, maxmem, out, sizeof out) == 1;
    OPENSSL_cleanse(normal, sizeof normal);
    return ok;
}

bool webAdminMake(stWebAdmin* a, const char* name, int level, const char* key) {
    memset(a, 0, sizeof *a);
    QZ_COPY(a->name, name);
    a->level = level;
    a->n = WEB_ADMIN_SCRYPT_N;
    a->r = WEB_ADMIN_SCRYPT_R;
    a->p = WEB_ADMIN_SCRYPT_P;
    if (RAND_bytes(a->salt, sizeof a->salt) != 1) return false;
    return webAdminHash(a, key, a->hash);
}

int webAdminsOpen(const char* path, char* why, int whySize) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        trf(why, whySize, "cannot open %s: %s", QZ_ADMINS_FILE, strerror(err));
        errno = err;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        trf(why, whySize, "%s is not a regular file", QZ_ADMINS_FILE);
        errno = EINVAL;
        return -1;
    }
    if (st.st_mode & 077) {
        close(fd);
        trf(why, whySize, "%s may be read by others (mode %03o): chmod 600 it", QZ_ADMINS_FILE,
            static_cast<unsigned>(st.st_mode & 0777));
        errno = EACCES;
        return -1;
    }
    return fd;
}

bool webAdminsRead(const char* path, stWebAdmin* list, int* count, char* why, int whySize) {
    *count = 0;
    int fd = webAdminsOpen(path, why, whySize);
    if (fd < 0) return false;
    static char text[WEB_ADMIN_MAX * 256];
    ssize_t got = read(fd, text, sizeof text);
    close(fd);
    if (got < 0) {
        trf(why, whySize, "cannot read %s: %s", QZ_ADMINS_FILE, strerror(errno));
        return false;
    }
    *count = webAdminParseText(text, static_cast<int>(got), list, WEB_ADMIN_MAX);
    return true;
}

bool webAdminsWrite(const char* path, const stWebAdmin* list, int count, char* why, int whySize) {
    char tmp[600];
    QZ_TRF(tmp, "%s.tmp", path);
    unlink(tmp);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        trf(why, whySize, "cannot write %s: %s", QZ_ADMINS_FILE, strerror(errno));
        return false;
    }
    bool ok = true;
    const char head[] = "# WebTool administrators: name level scrypt N r p salt hash\n";
    ok = write(fd, head, sizeof head - 1) == static_cast<ssize_t>(sizeof head - 1);
    for (int i = 0; ok && i < count; ++i) {
        char line[256];
        webAdminFormat(&list[i], line, qz::cap(line));
        int n = slen(line);
        line[n++] = '\n';
        ok = write(fd, line, static_cast<size_t>(n)) == n;
    }
    ok = ok && fsync(fd) == 0;
    int err = errno;
    close(fd);
    if (!ok || rename(tmp, path) != 0) {
        if (ok) err = errno;
        unlink(tmp);
        trf(why, whySize, "cannot write %s: %s", QZ_ADMINS_FILE, strerror(err));
        return false;
    }
    return true;
}

bool webAdminCheckBusy() {
    std::lock_guard<std::mutex> hold(g_checker.lock);
    return g_checker.busy;
}

void webAdminCheckStart(unsigned ticket, const char* key, const stWebAdmin* list, int count) {
    Checker& c = g_checker;
    std::lock_guard<std::mutex> hold(c.lock);
    if (c.busy) return;
    if (!c.running) {
        c.stop = false;
        c.thread = std::thread(checkerLoop);
        c.running = true;
    }
    c.ticket = ticket;
    trcpyz(c.key, key, WEB_ADMIN_KEY_MAX);
    c.count = count < WEB_ADMIN_MAX ? count : WEB_ADMIN_MAX;
    memcpy(c.list, list, sizeof(stWebAdmin) * static_cast<size_t>(c.count));
    c.done = false;
    c.match = stWebAdminMatch{};
    c.busy = true;
    c.wake.notify_one();
}

int webAdminCheckPoll(unsigned ticket, stWebAdminMatch* match) {
    Checker& c = g_checker;
    std::lock_guard<std::mutex> hold(c.lock);
    if (!c.busy || !c.done) return 0;
    if (c.ticket != ticket) {
        // Another request's result waits for that request, which is asked again in every frame
        // until it is answered. One not collected for a while belongs to a connection that was
        // dropped from the pool: it is forgotten so that other logins go on.
        if (std::chrono::steady_clock::now() - c.doneAt > std::chrono::seconds(5)) c.busy = false;
        return 0;
    }
    *match = c.match;
    c.busy = false;
    return 1;
}

void webAdminCheckStop() {
    Checker& c = g_checker;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        if (!c.running) return;
        c.stop = true;
        c.wake.notify_one();
    }
    c.thread.join();
    std::lock_guard<std::mutex> hold(c.lock);
    c.running = false;
    c.busy = false;
    c.done = false;
    OPENSSL_cleanse(c.key, sizeof c.key);
}
