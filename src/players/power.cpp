// The power list: its entries, the power file qzpower.dat, the first-match rule that gives a
// player his power, the powerful players count, the power commands, and the hooks through which
// the frame, the player slots and the client packets reach this subsystem.
#include "players/power.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr const char* kPowerFile = "qzpower.dat";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

stSvPower* entry(stQzSv* sv, int pos) {
    return static_cast<stSvPower*>(flexarAt(&sv->pw.list, pos - 1));
}

// A GUID text of an entry: at most 32 printable characters without blanks or quotes.
bool guidTextOk(const char* g) {
    int n = 0;
    for (; g[n]; ++n) {
        unsigned char c = static_cast<unsigned char>(g[n]);
        if (n >= 32 || c <= ' ' || c == '"' || c == 127) return false;
    }
    return true;
}

// ---- The indexes ----

// FNV-1a over n characters with A..Z folded, extended one character at a time by the rule.
constexpr unsigned kHashSeed = 2166136261u;
unsigned hashStep(unsigned h, char c) {
    return (h ^ static_cast<unsigned char>(lowerCh(c))) * 16777619u;
}
unsigned hashN(const char* text, int n) {
    unsigned h = kHashSeed;
    for (int i = 0; i < n; ++i) h = hashStep(h, text[i]);
    return h;
}

bool sameN(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i)
        if (lowerCh(a[i]) != lowerCh(b[i])) return false;
    return true;
}

// Power slot of the entry whose text is the n characters at text, or 0.
int indexFind(const stPowerIndex& x, const stSvPower* list, unsigned h, const char* text, int n) {
    if (!x.cap) return 0;
    unsigned mask = x.cap - 1;
    for (unsigned i = h & mask, probes = 0; probes < x.cap; i = (i + 1) & mask, ++probes) {
        unsigned v = x.bucket[i];
        if (!v) return 0;
        const char* g = list[v - 1].guid;
        if (slen(g) == n && sameN(g, text, n)) return static_cast<int>(v);
    }
    return 0;
}

void indexPut(stPowerIndex& x, const stSvPower* list, unsigned pos) {
    const char* g = list[pos - 1].guid;
    unsigned mask = x.cap - 1;
    unsigned i = hashN(g, slen(g)) & mask;
    while (x.bucket[i]) i = (i + 1) & mask;
    x.bucket[i] = pos;
    x.used++;
}

// Keeps the index at most half full. Grows only from a command or a file load, never in a
// frame.
bool indexReserve(stPowerIndex& x, const stSvPower* list) {
    if ((x.used + 1) * 2 <= x.cap) return true;
    unsigned cap = x.cap ? x.cap * 2 : 64;
    unsigned* fresh = static_cast<unsigned*>(calloc(cap, sizeof(unsigned)));
    if (!fresh) return false;
    unsigned* old = x.bucket;
    unsigned oldCap = x.cap;
    x.bucket = fresh;
    x.cap = cap;
    x.used = 0;
    for (unsigned i = 0; i < oldCap; ++i)
        if (old[i]) indexPut(x, list, old[i]);
    free(old);
    return true;
}

const stSvPower* listOf(const stPower& p) {
    return reinterpret_cast<const stSvPower*>(p.list.data);
}

// Power slot of the entry whose GUID text equals guid (without regard to case), or 0.
int findSame(stQzSv* sv, const char* guid) {
    const stPower& p = sv->pw;
    int n = slen(guid);
    if (n == 0) return p.firstEmpty;
    const stPowerIndex& x = n == 32 ? p.whole : p.part;
    return indexFind(x, listOf(p), hashN(guid, n), guid, n);
}

void applyAll(stQzSv* sv) {
    for (int slot = 1; slot <= QZ_SLOTS; ++slot)
        if (plPlayer(sv, slot)) pwApply(sv, slot);
}

// The power file line of an entry: "%d %s %s" for an entry made from a connected player,
// "%d %s \"%s\"" for one made by GUID.
void appendRecord(const stSvPower* e, bool quoted) {
    if (quoted) {
        trLog(homePath(kPowerFile), "%d %s \"%s\"", e->points, e->guid, e->name);
    } else {
        trLog(homePath(kPowerFile), "%d %s %s", e->points, e->guid, e->name);
    }
}

bool parsePoints(const char* word, int* points) {
    long v = 0;
    bool ok = pwParseLong(word, QZ_POWER_MIN, QZ_POWER_MAX, &v);
    *points = static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
    return ok;
}

}  // namespace

// ---- Helpers ----

bool pwNextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = 0;
    bool any = *p != 0;
    if (*p == '"') {
        p++;
        while (*p && *p != '"') {
            if (n < size - 1) out[n++] = *p;
            p++;
        }
        if (*p == '"') p++;
    } else {
        while (*p && !isBlank(*p)) {
            if (n < size - 1) out[n++] = *p;
            p++;
        }
    }
    out[n] = 0;
    return any;
}

bool pwParseLong(const char* text, long lo, long hi, long* value) {
    *value = 0;
    const char* p = text;
    bool neg = *p == '-';
    if (*p == '-' || *p == '+') p++;
    if (!*p) return false;
    long long v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > 1000000000LL) return false;
    }
    if (neg) v = -v;
    *value = static_cast<long>(v);
    return v >= lo && v <= hi;
}

void pwClean(char* out, int size, const char* text) {
    int n = 0;
    const char* p = text ? text : "";
    while (isBlank(*p)) p++;
    for (; *p && n < size - 1; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char o = static_cast<char>(c);
        if (c < 32 || c == 127 || c == ';' || c == '\\') o = ' ';
        if (c == '"') o = '\'';
        out[n++] = o;
    }
    while (n > 0 && isBlank(out[n - 1])) n--;
    out[n] = 0;
}

void pwRest(char* out, int size, const char* p) {
    while (isBlank(*p)) p++;
    int n = slen(p);
    while (n > 0 && (isBlank(p[n - 1]) || p[n - 1] == '\r' || p[n - 1] == '\n')) n--;
    if (n >= 2 && p[0] == '"' && p[n - 1] == '"') {
        p++;
        n -= 2;
    }
    trcpyz(out, p, n < size - 1 ? n : size - 1);
}

// ---- The power rule ----

// Whole-GUID entries are found by one lookup, partial entries by looking up every substring of
// the GUID whose length some entry has; the lowest power slot among the matches is the first
// match of the list.
int pwRule(stQzSv* sv, const char* guid, int def, int* pos) {
    const stPower& p = sv->pw;
    const stSvPower* list = listOf(p);
    int best = p.firstEmpty ? p.firstEmpty : INT_MAX;
    const int n = slen(guid);
    if (n == 32) {
        int v = indexFind(p.whole, list, hashN(guid, 32), guid, 32);
        if (v && v < best) best = v;
    }
    if (p.partCount) {
        for (int i = 0; i < n; ++i) {
            unsigned h = kHashSeed;
            for (int len = 1; len <= 31 && i + len <= n; ++len) {
                h = hashStep(h, guid[i + len - 1]);
                if (!(p.partLengths & (1u << len))) continue;
                int v = indexFind(p.part, list, h, guid + i, len);
                if (v && v < best) best = v;
            }
        }
    }
    if (pos) *pos = best == INT_MAX ? 0 : best;
    return best == INT_MAX ? def : list[best - 1].points;
}

void pwApply(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    const int def = sv->set.powerDef;
    int points = c->guid[0] ? pwRule(sv, c->guid, def, nullptr) : def;
    // Administrator-level power only reaches a player at a guarded address.
    if (points >= QZ_POWERFUL && points > def && !ipGuarded(sv, c->address)) {
        svMsg(sv, "IP Guard: %d Power Points withheld from (slot #%d) %s at %s", points, slot,
              c->name, c->address);
        points = def;
    }
    c->power = points;
}

int pwPowerfulCount(stQzSv* sv) {
    int n = 0;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (c && c->status >= QZ_ST_INIT && c->status <= QZ_ST_OK && c->power >= QZ_POWERFUL) n++;
    }
    return n;
}

int pwSet(stQzSv* sv, const char* guid, int points, const char* name, bool* updated) {
    stPower& p = sv->pw;
    *updated = false;
    int pos = findSame(sv, guid);
    if (pos) {
        stSvPower* e = entry(sv, pos);
        e->points = points;
        QZ_COPY(e->name, name);
        *updated = true;
        return pos;
    }
    stSvPower e;
    memset(&e, 0, sizeof e);
    e.points = points;
    QZ_COPY(e.guid, guid);
    QZ_COPY(e.name, name);
    const int n = slen(e.guid);
    stPowerIndex* x = n == 32 ? &p.whole : n > 0 ? &p.part : nullptr;
    // Room in the index first, so that a failure leaves no entry behind.
    if (x && !indexReserve(*x, listOf(p))) return 0;
    if (!flexarAppend(&p.list, &e)) return 0;
    pos = p.list.count;
    if (x) indexPut(*x, listOf(p), static_cast<unsigned>(pos));
    if (n > 0 && n < 32) {
        p.partLengths |= 1u << n;
        p.partCount++;
    }
    if (n == 0 && !p.firstEmpty) p.firstEmpty = pos;
    return pos;
}

// ---- The power file ----

bool pwParseLine(const char* line, int* points, char* guid33, char* name33) {
    const char* p = line;
    if (*p == '[') {
        const char* end = strchr(p, ']');
        if (!end || end - p > 24 || end[1] != ' ') return false;
        p = end + 2;
    }
    char num[16];
    int n = 0;
    while (*p && *p != ' ' && n < 15) num[n++] = *p++;
    num[n] = 0;
    if (*p != ' ' || !parsePoints(num, points)) return false;
    p++;
    n = 0;
    while (*p && *p != ' ' && *p != '\r' && *p != '\n') {
        if (n >= 32) return false;
        guid33[n++] = *p++;
    }
    guid33[n] = 0;
    if (!guidTextOk(guid33)) return false;
    if (*p == ' ') p++;
    char rest[256];
    int r = 0;
    while (*p && *p != '\r' && *p != '\n' && r < qz::cap(rest) - 1) rest[r++] = *p++;
    rest[r] = 0;
    if (*p && *p != '\r' && *p != '\n') return false;  // an over-long line
    const char* name = rest;
    if (r >= 2 && rest[0] == '"' && rest[r - 1] == '"') {
        rest[r - 1] = 0;
        name++;
    }
    char clean[64];
    pwClean(clean, qz::cap(clean), name);
    trcpyz(name33, clean, 32);
    return true;
}

namespace {

// Reads and takes the next record line of f; false at the end of the file.
bool loadNextLine(stQzSv* sv, FILE* f, const char* path, int* lineNo, int* taken, int* damaged) {
    char line[512];
    if (!fgets(line, sizeof line, f)) return false;
    (*lineNo)++;
    int n = slen(line);
    bool whole = n > 0 && line[n - 1] == '\n';
    if (!whole && !feof(f)) {
        // Longer than any record: skip the rest of it.
        int ch;
        while ((ch = fgetc(f)) != EOF && ch != '\n') {
        }
        (*damaged)++;
        svCon(sv, "Damaged line %d in %s skipped", *lineNo, path);
        return true;
    }
    if (line[0] == '\r' || line[0] == '\n' || !line[0]) return true;
    int points = 0;
    char guid[33], name[33];
    if (!pwParseLine(line, &points, guid, name)) {
        (*damaged)++;
        svCon(sv, "Damaged line %d in %s skipped", *lineNo, path);
        return true;
    }
    bool updated = false;
    if (!pwSet(sv, guid, points, name, &updated)) {
        svMsg(sv, "Power Record NOT Added successfully");
        return true;
    }
    (*taken)++;
    svCon(sv, updated ? "Power Record Updated for %s" : "Power Record Added for %s", guid);
    return true;
}

}  // namespace

int pwLoadFile(stQzSv* sv, const char* path, int* damaged) {
    *damaged = 0;
    FILE* f = homeOpen(path, "rb");
    if (!f) return 0;
    int taken = 0, lineNo = 0;
    while (loadNextLine(sv, f, path, &lineNo, &taken, damaged)) {
    }
    fclose(f);
    return taken;
}

// ---- Commands ----

// qz_sv_Power [slot #] [power rating]
void cmd_power(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char word[32], pts[32];
    pwNextWord(p, word, qz::cap(word));
    pwNextWord(p, pts, qz::cap(pts));
    long slot = 0;
    pwParseLong(word, 1, QZ_SLOTS, &slot);
    Qz_Sv_Client_s* c = plPlayer(sv, static_cast<int>(slot));
    if (!c) {
        svMsg(sv, "Invalid Slot #%d Specified", static_cast<int>(slot));
        return;
    }
    int points = 0;
    if (!parsePoints(pts, &points)) {
        svMsg(sv, "Invalid Power Points Specified: %d", points);
        return;
    }
    if (c->status != QZ_ST_OK) {
        svMsg(sv, "Only players with status of OK can be added to the Power List");
        return;
    }
    // An entry with an empty GUID text would give every player these points.
    if (!plGuidValid(c->guid)) {
        svMsg(sv, "Player in slot #%d has no valid GUID: not added to the Power List",
              static_cast<int>(slot));
        return;
    }
    char name[33];
    pwClean(name, qz::cap(name), c->name);
    bool updated = false;
    int pos = pwSet(sv, c->guid, points, name, &updated);
    if (!pos) {
        svMsg(sv, "Power Record NOT Added successfully");
        return;
    }
    appendRecord(entry(sv, pos), false);
    svMsg(sv, updated ? "Power Record Updated for %s" : "Power Record Added for %s", c->guid);
    applyAll(sv);
}

// qz_sv_PowerGuid [guid] [power rating] [name]. The GUID may be a part of GUIDs; "" (written
// with its quotes) gives every player with a GUID the points.
void cmd_powerguid(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char guid[64], pts[32];
    bool given = pwNextWord(p, guid, qz::cap(guid));
    pwNextWord(p, pts, qz::cap(pts));
    if (!given || !guidTextOk(guid)) {
        svMsg(sv, "Invalid GUID Specified: %s", guid);
        return;
    }
    int points = 0;
    if (!parsePoints(pts, &points)) {
        svMsg(sv, "Invalid Power Points Specified: %d", points);
        return;
    }
    char rest[128], name[33];
    pwRest(rest, qz::cap(rest), p);
    pwClean(name, qz::cap(name), rest);
    bool updated = false;
    int pos = pwSet(sv, guid, points, name, &updated);
    if (!pos) {
        svMsg(sv, "Power Record NOT Added successfully");
        return;
    }
    appendRecord(entry(sv, pos), true);
    svMsg(sv, updated ? "Power Record Updated for %s" : "Power Record Added for %s", guid);
    applyAll(sv);
}

// qz_sv_PowerPoints [player power slot #] [points]
void cmd_powerpoints(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char word[32], pts[32];
    pwNextWord(p, word, qz::cap(word));
    pwNextWord(p, pts, qz::cap(pts));
    long pos = 0;
    pwParseLong(word, 1, INT_MAX, &pos);
    stSvPower* e =
        pos >= 1 && pos <= sv->pw.list.count ? entry(sv, static_cast<int>(pos)) : nullptr;
    if (!e) {
        svMsg(sv, "Invalid Player Power Slot #: %d", static_cast<int>(pos));
        return;
    }
    int points = 0;
    if (!parsePoints(pts, &points)) {
        svMsg(sv, "Invalid Power Points Specified: %d", points);
        return;
    }
    if (e->points == points) {
        svMsg(sv, "Player already has %d Power Points", points);
        return;
    }
    e->points = points;
    appendRecord(e, false);
    svMsg(sv, "Player %s updated to %d Power Points", e->name, points);
    applyAll(sv);
}

// qz_sv_PowerList [guid/name filter]
void cmd_powerlist(stQzSv* sv, const CmdCall& call) {
    char filter[64];
    pwRest(filter, qz::cap(filter), call.args);
    svCon(sv, "Player Power List: [Slot #] [GUID] [Points] [Name]");
    int shown = 0;
    for (int pos = 1; pos <= sv->pw.list.count; ++pos) {
        const stSvPower* e = entry(sv, pos);
        if (filter[0] && !svFindNoCase(e->guid, filter) && !svFindNoCase(e->name, filter) &&
            !svFindNoCase(noColor(e->name), filter))
            continue;
        svCon(sv, "%-2d %-32s %ld %s", pos, e->guid, static_cast<long>(e->points), e->name);
        shown++;
    }
    svCon(sv, "End of Player Power List (%d Player%s Displayed)", shown, shown == 1 ? "" : "s");
}

// ---- Hooks ----

namespace {

void startupLists(stQzSv* sv) {
    stPower& p = sv->pw;
    p.list = flexarMake(sizeof(stSvPower), 64);
    p.tasks = flexarMake(sizeof(stSvTask), 16);
    p.rcons = flexarMake(sizeof(stSvRcon), 16);
    p.ipGuards = flexarMake(64, 16);
    p.startTick = qzMonoTick();
}

void startupEnd(stQzSv* sv) {
    stPower& p = sv->pw;
    if (p.loadFile) fclose(p.loadFile);
    p.loadFile = nullptr;
    const char* path = homePath(kPowerFile);
    const int n = p.loadTaken;
    svMsg(sv, "%d Power Player%s loaded from %s", n, n == 1 ? "" : "s", path);
    if (p.loadDamaged)
        svMsg(sv, "%d damaged line%s skipped in %s", p.loadDamaged, p.loadDamaged == 1 ? "" : "s",
              path);
    rconReload(sv);
}

}  // namespace

bool pwStartupBegin(stQzSv* sv) {
    stPower& p = sv->pw;
    startupLists(sv);
    p.loadLine = p.loadTaken = p.loadDamaged = 0;
    p.loadFile = homeOpen(homePath(kPowerFile), "rb");
    if (p.loadFile) return true;
    startupEnd(sv);
    return false;
}

bool pwStartupStep(stQzSv* sv, long long budgetUs) {
    stPower& p = sv->pw;
    if (!p.loadFile) return true;
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath(kPowerFile));
    const long long begun = threadCpuMicros();
    for (int lines = 0;; ++lines) {
        // The clock is read every 64 lines.
        if ((lines & 63) == 63 && threadCpuMicros() - begun >= budgetUs) return false;
        if (!loadNextLine(sv, p.loadFile, path, &p.loadLine, &p.loadTaken, &p.loadDamaged)) break;
    }
    startupEnd(sv);
    return true;
}

void pwStartup(stQzSv* sv) {
    if (!pwStartupBegin(sv)) return;
    while (!pwStartupStep(sv, 1LL << 40)) {
    }
}

// Statistics gathered since the last write are appended first, so that a restart or a
// shut-down loses none of them.
void pwFree(stQzSv* sv) {
    stPower& p = sv->pw;
    // A restart keeps the players' records as they were before this call, statistics ticks
    // included, so their time is left to be counted after it.
    const bool restart = sv->restartPending != 0;
    statJobAbandon(sv);
    if (p.loadFile) fclose(p.loadFile);
    p.loadFile = nullptr;
    if (sv->set.statTrack && (!restart || sv->keys.tables[sv->tNewStat].live > 0))
        statAppend(sv, !restart);
    flexarFree(&p.list);
    flexarFree(&p.tasks);
    flexarFree(&p.rcons);
    flexarFree(&p.ipGuards);
    free(p.whole.bucket);
    free(p.part.bucket);
    memset(&p, 0, sizeof p);
}

// Nothing is read from the clock unless a task is listed or statistics are tracked, so an idle
// frame costs a few loads and compares.
void pwFrame(stQzSv* sv) {
    stPower& p = sv->pw;
    if (p.statJob || p.statQueued) statJobStep(sv, QZ_JOB_SLICE_US);
    const bool track = sv->set.statTrack != 0;
    if (!p.taskLive && !track) return;
    unsigned now = qzMonoTick();
    if (p.taskLive) taskRunDue(sv, now);
    if (!track) {
        p.statWriteDue = 0;
        return;
    }
    if (!p.statWriteDue) {
        p.statWriteDue = now + QZ_STAT_WRITE_MS;
        if (!p.statWriteDue) p.statWriteDue = 1;
        return;
    }
    if (static_cast<int>(now - p.statWriteDue) < 0) return;
    p.statWriteDue = now + QZ_STAT_WRITE_MS;
    if (!p.statWriteDue) p.statWriteDue = 1;
    statAppend(sv);
}

void pwConnect(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    pwApply(sv, slot);
    if (plIsBot(c)) return;
    stVote* row = sv->pw.votes[slot - 1];
    memset(row, 0, sizeof sv->pw.votes[0]);
}

void pwLeave(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    if (sv->set.statTrack) statTouch(sv, slot, qzMonoTick());
    memset(sv->pw.votes[slot - 1], 0, sizeof sv->pw.votes[0]);
    for (auto& row : sv->pw.votes) memset(&row[slot - 1], 0, sizeof row[0]);
}

bool pwPacket(stQzSv* sv, int slot, const char* word, const char* args) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || c->status < QZ_ST_INIT) return false;
    if (!strcmp(word, "QZ_VOTE")) {
        long target = 0;
        char w[16];
        const char* p = args;
        pwNextWord(p, w, qz::cap(w));
        pwParseLong(w, 1, QZ_SLOTS, &target);
        voteCast(sv, slot, static_cast<int>(target));
        return true;
    }
    if (!strcmp(word, "QZ_POWER")) {
        voteSendPowerList(sv, slot);
        return true;
    }
    if (!strcmp(word, "QZ_RCON")) {
        rconRun(sv, slot, args);
        return true;
    }
    if (!strcmp(word, "QZ_FILE")) {
        const char* p = args;
        char folder[64], file[128];
        pwNextWord(p, folder, qz::cap(folder));
        pwNextWord(p, file, qz::cap(file));
        whitelistCheck(sv, slot, folder, file);
        return true;
    }
    return false;
}
