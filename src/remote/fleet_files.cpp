// The files of fleet bans: the report queue qzfleetq.dat, the fleet ban cache qzfleet.dat and the
// record of refused reports qzfleetrefused.log.
// Both are logs of one record a line, appended with one write() per record so that a record is
// in the file (in the kernel's keeping) before the command that made it answers; a kill -9 loses
// at most a cut last line, which the loader skips. At start-up each file is read (bounded lines,
// hostile content skipped) and written back compacted through a temporary file and a rename.
#include <fcntl.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "remote/fleet.h"
#include "remote/fleet_store.h"
#include "util/clock.h"
#include "util/files.h"

namespace {

constexpr const char* kQueueFile = "qzfleetq.dat";
constexpr const char* kCacheFile = "qzfleet.dat";
constexpr const char* kRefusedFile = "qzfleetrefused.log";
constexpr long kRefusedMax = 1 << 20;

struct Cur {
    const char* p;
    const char* end;
};
bool num(Cur* c, uint64_t* out, int base) {
    uint64_t v = 0;
    int digits = 0;
    while (c->p < c->end) {
        char x = *c->p;
        unsigned d;
        if (x >= '0' && x <= '9')
            d = static_cast<unsigned>(x - '0');
        else if (base == 16 && x >= 'a' && x <= 'f')
            d = static_cast<unsigned>(x - 'a' + 10);
        else
            break;
        if (v > (UINT64_MAX - d) / static_cast<unsigned>(base)) return false;
        v = v * static_cast<unsigned>(base) + d;
        c->p++;
        digits++;
    }
    *out = v;
    return digits > 0 && digits <= 20;
}
bool sp(Cur* c) {
    if (c->p >= c->end || *c->p != ' ') return false;
    c->p++;
    return true;
}
bool word(Cur* c, char* out, int max) {
    const char* s = c->p;
    while (c->p < c->end && *c->p != ' ') c->p++;
    int n = static_cast<int>(c->p - s);
    if (n < 1 || n > max) return false;
    memcpy(out, s, static_cast<size_t>(n));
    out[n] = 0;
    return true;
}

// Writes one whole line with one write(); false when it did not all go.
bool writeLine(int fd, const char* line, int n) {
    if (fd < 0) return false;
    ssize_t w = write(fd, line, static_cast<size_t>(n));
    return w == n;
}

// Reads the file line by line into fn; lines longer than QZF_LINE_MAX and a last line without
// its line end are skipped. Returns false when the file cannot be opened.
template <typename Fn>
bool readLines(const char* path, Fn fn) {
    FILE* fp = homeOpen(path, "rb");
    if (!fp) return false;
    char line[QZF_LINE_MAX + 2];
    int n = 0;
    bool over = false;
    int c;
    while ((c = getc(fp)) != EOF) {
        if (c == '\n') {
            if (!over) {
                if (n > 0 && line[n - 1] == '\r') n--;
                line[n] = 0;
                fn(line, n);
            }
            n = 0;
            over = false;
            continue;
        }
        if (n >= QZF_LINE_MAX) {
            over = true;
            continue;
        }
        line[n++] = static_cast<char>(c);
    }
    fclose(fp);
    return true;
}

int openAppend(const char* path) {
    return homeOpenFd(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
}

// Writes a file anew through "<path>.tmp" and a rename; lines come from fn(fd).
template <typename Fn>
bool rewrite(stQzSv* sv, const char* name, Fn fn) {
    char path[QZ_PATH_MAX], tmp[QZ_PATH_MAX];
    QZ_COPY(path, homePath(name));
    QZ_TRF(tmp, "%s.tmp", path);
    int fd = homeOpenFd(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        svMsg(sv, "Fleet: cannot write %s (%s)", tmp, homeOpenError());
        return false;
    }
    bool ok = fn(fd);
    ok = fsync(fd) == 0 && ok;
    close(fd);
    if (!ok || rename(tmp, path) != 0) {
        svMsg(sv, "Fleet: cannot write %s", path);
        unlink(tmp);
        return false;
    }
    // The rename itself reaches the disk only with its folder.
    int dir = homeOpenFd(homePath("."), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// "<epoch hex>:<id hex>" or "<id hex>": a report id as the queue's "-" line writes it.
bool reportId(Cur* c, uint64_t* epoch, uint32_t* id) {
    uint64_t a = 0, b = 0;
    if (!num(c, &a, 16)) return false;
    if (c->p < c->end && *c->p == ':') {
        c->p++;
        if (!num(c, &b, 16) || b > 0xffffffffu || !a) return false;
        *epoch = a;
        *id = static_cast<uint32_t>(b);
    } else {
        if (a > 0xffffffffu) return false;
        *epoch = 0;
        *id = static_cast<uint32_t>(a);
    }
    return *id != 0;
}

}  // namespace

int fleetQueueLine(const char* line, int n, FleetBody* body, uint64_t* epoch, uint32_t* id) {
    if (!line || n < 2 || n > QZF_LINE_MAX) return 0;
    Cur c{line, line + n};
    if (n > 11 && !memcmp(line, "QZFLEETQ 2 ", 11)) {
        c.p += 11;
        uint64_t e, v;
        if (!num(&c, &e, 16) || !sp(&c) || !num(&c, &v, 16) || v > 0xffffffffu || c.p != c.end)
            return 0;
        *epoch = e;
        *id = static_cast<uint32_t>(v);
        return 'H';
    }
    if (n > 11 && !memcmp(line, "QZFLEETQ 1 ", 11)) {
        c.p += 11;
        uint64_t v;
        if (!num(&c, &v, 16) || v > 0xffffffffu || c.p != c.end) return 0;
        *epoch = 0;
        *id = static_cast<uint32_t>(v);
        return 'H';
    }
    if (line[1] != ' ') return 0;
    if (line[0] == '+') {
        if (n - 2 > QZF_REPORT_BODY_MAX || !fleetParse(line + 2, n - 2, body)) return 0;
        if (body->kind != QZF_REPORT && body->kind != QZF_UNBAN) return 0;
        if (body->id == 0) return 0;
        *epoch = body->epoch;
        *id = body->id;
        return '+';
    }
    if (line[0] == '-') {
        c.p += 2;
        if (!reportId(&c, epoch, id) || c.p != c.end) return 0;
        return '-';
    }
    return 0;
}

int fleetCacheLine(const char* line, int n, stFleetBan* ban, uint64_t* a, uint64_t* b,
                   uint64_t* c3) {
    if (!line || n < 2 || n > QZF_LINE_MAX) return 0;
    if (n == 10 && (!memcmp(line, "QZFLEETC 1", 10) || !memcmp(line, "QZFLEETC 2", 10))) {
        *a = static_cast<uint64_t>(line[9] - '0');
        return 'H';
    }
    if (line[1] != ' ') return 0;
    Cur c{line + 2, line + n};
    switch (line[0]) {
        case 'P':
            memset(ban, 0, sizeof *ban);
            if (!num(&c, &ban->fleetId, 10) || ban->fleetId == 0 || !sp(&c) ||
                !word(&c, ban->guid, QZF_GUID_MAX) || !fleetGuidOk(ban->guid, slen(ban->guid)) ||
                !sp(&c) || !num(&c, &ban->banTime, 10) || !sp(&c) || !num(&c, &ban->length, 10) ||
                !sp(&c) || !word(&c, ban->server, QZF_ID_MAX) ||
                !(fleetIdOk(ban->server, slen(ban->server)) || !strcmp(ban->server, "-")) ||
                c.p != c.end)
                return 0;
            return 'P';
        case 'R':
            memset(ban, 0, sizeof *ban);
            if (!num(&c, a, 10) || !*a) return 0;
            if (c.p != c.end && (!sp(&c) || !word(&c, ban->guid, QZF_GUID_MAX) ||
                                 !fleetGuidOk(ban->guid, slen(ban->guid)) || c.p != c.end))
                return 0;
            return 'R';
        case 'S':
        case 'C':
            if (!num(&c, a, 10) || c.p != c.end) return 0;
            return line[0];
        case 'W':
            *c3 = 0;
            if (!num(&c, a, 10) || !sp(&c) || !num(&c, b, 16)) return 0;
            if (c.p != c.end && (!sp(&c) || !num(&c, c3, 16) || !*c3)) return 0;
            if (c.p != c.end) return 0;
            return 'W';
        default: return 0;
    }
}

// ---- the queue -------------------------------------------------------------------------------

bool fleetQueueAppend(stQzSv* sv, const stFleetReport& r) {
    char line[QZF_REPORT_BODY_MAX + 8];
    int n = QZ_TRF(line, "+ %s\n", r.body);
    return n > 0 && n < qz::cap(line) && writeLine(sv->fleet.queueFd, line, n);
}

bool fleetQueueDone(stQzSv* sv, const stFleetReport& r) {
    char line[48];
    int n =
        r.epoch ? QZ_TRF(line, "- %" PRIx64 ":%x\n", r.epoch, r.id) : QZ_TRF(line, "- %x\n", r.id);
    return writeLine(sv->fleet.queueFd, line, n);
}

bool fleetRefusedAppend(stQzSv* sv, const stFleetReport& r, const char* reason) {
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(kRefusedFile));
    struct stat st {};
    if (stat(path, &st) == 0 && st.st_size > kRefusedMax) {
        char old[QZ_PATH_MAX];
        QZ_TRF(old, "%s.old", path);
        rename(path, old);
    }
    int fd = openAppend(kRefusedFile);
    if (fd < 0) return false;
    time_t now = static_cast<time_t>(qzTime());
    tm t{};
    gmtime_r(&now, &t);
    char clean[QZF_NAME_MAX + 1];
    fleetCleanName(reason ? reason : "", clean);
    char line[QZF_REPORT_BODY_MAX + 160];
    int n = QZ_TRF(line, "%04d-%02d-%02dT%02d:%02d:%02dZ %" PRIx64 ":%x \"%s\" %s\n",
                   t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                   r.epoch, r.id, clean, r.body);
    bool ok = n > 0 && n < qz::cap(line) && writeLine(fd, line, n);
    close(fd);
    if (ok) sv->fleet.refusedLines++;
    return ok;
}

namespace {

stFleetReport* queueSlot(stFleet* f) {
    for (stFleetReport& r : f->queue)
        if (!r.id) return &r;
    return nullptr;
}

}  // namespace

static void queueLoad(stQzSv* sv) {
    stFleet& f = sv->fleet;
    long skipped = 0;
    readLines(kQueueFile, [&](const char* line, int n) {
        FleetBody b;
        uint64_t epoch = 0;
        uint32_t id = 0;
        int kind = fleetQueueLine(line, n, &b, &epoch, &id);
        if (kind == 'H') return;
        if (kind == '+') {
            for (const stFleetReport& r : f.queue)
                if (r.id == id && r.epoch == epoch) return;  // written twice: the first holds
            stFleetReport* r = queueSlot(&f);
            if (!r) {
                skipped++;
                return;
            }
            memset(r, 0, sizeof *r);
            r->id = id;
            r->epoch = epoch;
            r->kind = b.kind;
            QZ_COPY(r->guid, b.guid);
            r->bodyLen = n - 2;
            memcpy(r->body, line + 2, static_cast<size_t>(r->bodyLen));
            r->body[r->bodyLen] = 0;
            r->waitMs = QZF_RETRY_FIRST_MS;
            r->order = ++f.nextOrder;
            f.queued++;
        } else if (kind == '-') {
            for (stFleetReport& r : f.queue) {
                if (!r.id || r.id != id || r.epoch != epoch) continue;
                r.id = 0;
                f.queued--;
            }
        } else if (n > 0) {
            skipped++;
        }
    });
    // A new epoch for this run's reports: whatever became of the file (lost, restored from an
    // older copy, copied to another server), no (epoch, id) this server sent before comes again.
    uint64_t epoch = 0;
    if (getrandom(&epoch, sizeof epoch, GRND_NONBLOCK) != sizeof epoch) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        epoch = static_cast<uint64_t>(ts.tv_sec) * 1000000007u ^
                static_cast<uint64_t>(ts.tv_nsec) << 20 ^ static_cast<uint64_t>(getpid());
    }
    f.reportEpoch = epoch ? epoch : 1;
    f.nextReportId = 1;
    if (skipped)
        svMsg(sv, "Fleet: %ld line%s of %s skipped", skipped, skipped == 1 ? "" : "s", kQueueFile);
    // Written in the order the reports were made, so that a restart keeps that order.
    rewrite(sv, kQueueFile, [&](int fd) {
        char line[QZF_REPORT_BODY_MAX + 8];
        int n = QZ_TRF(line, "QZFLEETQ 2 %" PRIx64 " %x\n", f.reportEpoch, f.nextReportId);
        bool ok = writeLine(fd, line, n);
        const stFleetReport* live[QZF_QUEUE_MAX];
        int count = 0;
        for (const stFleetReport& r : f.queue)
            if (r.id) live[count++] = &r;
        std::sort(live, live + count, [](const stFleetReport* x, const stFleetReport* y) {
            return x->order < y->order;
        });
        for (int i = 0; i < count; i++) {
            n = QZ_TRF(line, "+ %s\n", live[i]->body);
            ok = writeLine(fd, line, n) && ok;
        }
        return ok;
    });
    f.queueFd = openAppend(kQueueFile);
    if (f.queueFd < 0) svMsg(sv, "Fleet: cannot open %s (%s)", kQueueFile, homeOpenError());
}

// ---- the cache -------------------------------------------------------------------------------

namespace {

unsigned guidHash(const char* guid) {
    // FNV-1a over the GUID with letters folded: the entries come only from the service, and a
    // player's GUID only probes.
    unsigned h = 2166136261u;
    for (const char* p = guid; *p; p++) {
        char c = *p >= 'a' && *p <= 'z' ? static_cast<char>(*p - 32) : *p;
        h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    return h;
}

bool sameGuid(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

}  // namespace

// Removes the entry of a slot, moving later entries of the probe run back so that every entry
// stays reachable from its home slot.
static void cacheErase(stFleet* f, stFleetBan* e) {
    unsigned mask = QZF_CACHE_SLOTS - 1;
    unsigned i = static_cast<unsigned>(e - f->cache);
    f->cache[i].fleetId = 0;
    f->cached--;
    for (unsigned j = (i + 1) & mask; f->cache[j].fleetId; j = (j + 1) & mask) {
        unsigned home = guidHash(f->cache[j].guid) & mask;
        // Entry j may move to the hole i when its home is not within (i, j].
        bool between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (between) continue;
        f->cache[i] = f->cache[j];
        f->cache[j].fleetId = 0;
        i = j;
    }
}

// The entries of one GUID all lie in the probe run that starts at its home slot (an erase moves
// later entries back), so every search ends at the first free slot.
stFleetBan* fleetCacheGet(stFleet* f, const char* guid, uint64_t fleetId) {
    if (!f->cache || !guid) return nullptr;
    unsigned mask = QZF_CACHE_SLOTS - 1;
    for (unsigned i = guidHash(guid) & mask, k = 0; k < QZF_CACHE_SLOTS; i = (i + 1) & mask, k++) {
        stFleetBan* e = &f->cache[i];
        if (!e->fleetId) return nullptr;
        if (e->fleetId == fleetId && sameGuid(e->guid, guid)) return e;
    }
    return nullptr;
}

stFleetBan* fleetCacheOf(stFleet* f, const char* guid, const char* server) {
    if (!f->cache || !guid) return nullptr;
    unsigned mask = QZF_CACHE_SLOTS - 1;
    for (unsigned i = guidHash(guid) & mask, k = 0; k < QZF_CACHE_SLOTS; i = (i + 1) & mask, k++) {
        stFleetBan* e = &f->cache[i];
        if (!e->fleetId) return nullptr;
        if (sameGuid(e->guid, guid) && (!server || !strcmp(e->server, server))) return e;
    }
    return nullptr;
}

const stFleetBan* fleetCacheFind(const stQzSv* sv, const char* guid, uint64_t now) {
    const stFleet* f = &sv->fleet;
    if (!guid || !guid[0] || !f->cache) return nullptr;
    unsigned mask = QZF_CACHE_SLOTS - 1;
    for (unsigned i = guidHash(guid) & mask, k = 0; k < QZF_CACHE_SLOTS; i = (i + 1) & mask, k++) {
        const stFleetBan* e = &f->cache[i];
        if (!e->fleetId) return nullptr;
        if (!sameGuid(e->guid, guid)) continue;
        if (!e->length || e->banTime + e->length * 60 > now) return e;
    }
    return nullptr;
}

bool fleetCachePut(stFleet* f, const stFleetBan& ban) {
    if (!f->cache &&
        !(f->cache = static_cast<stFleetBan*>(calloc(QZF_CACHE_SLOTS, sizeof(stFleetBan)))))
        return false;
    if (stFleetBan* e = fleetCacheGet(f, ban.guid, ban.fleetId)) {
        *e = ban;
        return true;
    }
    if (f->cached >= QZF_CACHE_MAX) {
        f->cacheOverflow = 1;
        return false;
    }
    unsigned mask = QZF_CACHE_SLOTS - 1;
    unsigned i = guidHash(ban.guid) & mask;
    while (f->cache[i].fleetId) i = (i + 1) & mask;
    f->cache[i] = ban;
    f->cached++;
    return true;
}

bool fleetCacheLift(stFleet* f, uint64_t fleetId, const char* guid) {
    if (!f->cache || !fleetId) return false;
    if (guid && guid[0]) {
        stFleetBan* e = fleetCacheGet(f, guid, fleetId);
        if (!e) return false;
        cacheErase(f, e);
        return true;
    }
    for (int i = 0; i < QZF_CACHE_SLOTS; i++) {
        if (f->cache[i].fleetId == fleetId) {
            cacheErase(f, &f->cache[i]);
            return true;
        }
    }
    return false;
}

bool fleetCacheAppend(stQzSv* sv, const char* fmt, ...) {
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n <= 0 || n >= static_cast<int>(sizeof line)) return false;
    return writeLine(sv->fleet.cacheFd, line, n);
}

// A version 1 file numbered its sync point by fleet ban ids and kept one replay window for a
// single master: its bans are kept, the sync starts again from the first change.
static void cacheLoad(stQzSv* sv) {
    stFleet& f = sv->fleet;
    long skipped = 0;
    uint64_t reserved = 0;
    uint64_t version = 2;
    readLines(kCacheFile, [&](const char* line, int n) {
        stFleetBan ban;
        uint64_t a = 0, b = 0, c = 0;
        switch (fleetCacheLine(line, n, &ban, &a, &b, &c)) {
            case 'H': version = a; break;
            case 'P':
                if (!fleetCachePut(&f, ban)) skipped++;
                break;
            case 'R': fleetCacheLift(&f, a, ban.guid); break;
            case 'S':
                if (version >= 2 && a > f.syncId) f.syncId = a;
                break;
            case 'W':
                if (version >= 2 && c) {
                    FleetWindow* w = fleetWindowOf(&f, c);
                    if (a > w->highest) {
                        w->highest = a;
                        w->seen = b;
                    }
                }
                break;
            case 'C':
                if (a > reserved) reserved = a;
                break;
            default:
                if (n > 0) skipped++;
        }
    });
    if (reserved > f.sendCounter) f.sendCounter = reserved;
    if (skipped)
        svMsg(sv, "Fleet: %ld line%s of %s skipped", skipped, skipped == 1 ? "" : "s", kCacheFile);
    rewrite(sv, kCacheFile, [&](int fd) {
        char line[256];
        int n = QZ_TRF(line, "QZFLEETC 2\nS %" PRIu64 "\nC %" PRIu64 "\n", f.syncId, f.sendCounter);
        bool ok = writeLine(fd, line, n);
        for (const stFleetWindowRec& w : f.windows) {
            if (!w.key) continue;
            n = QZ_TRF(line, "W %" PRIu64 " %" PRIx64 " %" PRIx64 "\n", w.window.highest,
                       w.window.seen, w.key);
            ok = writeLine(fd, line, n) && ok;
        }
        for (int i = 0; f.cache && i < QZF_CACHE_SLOTS; i++) {
            const stFleetBan& e = f.cache[i];
            if (!e.fleetId) continue;
            n = QZ_TRF(line, "P %" PRIu64 " %s %" PRIu64 " %" PRIu64 " %s\n", e.fleetId, e.guid,
                       e.banTime, e.length, e.server);
            ok = writeLine(fd, line, n) && ok;
        }
        return ok;
    });
    f.cacheFd = openAppend(kCacheFile);
    if (f.cacheFd < 0) svMsg(sv, "Fleet: cannot open %s (%s)", kCacheFile, homeOpenError());
}

void fleetFilesLoad(stQzSv* sv) {
    queueLoad(sv);
    cacheLoad(sv);
}

void fleetFilesClose(stQzSv* sv) {
    stFleet& f = sv->fleet;
    if (f.queueFd >= 0) close(f.queueFd);
    if (f.cacheFd >= 0) close(f.cacheFd);
    f.queueFd = f.cacheFd = -1;
    free(f.cache);
    f.cache = nullptr;
    f.cached = 0;
    f.cacheOverflow = 0;
}
