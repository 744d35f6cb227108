// The ban file: loading records (damaged lines are skipped and counted, the file is only read),
// appending new bans through trLog, and rewriting unbanned marks in place. A record line is
// "[MM.DD.YYYY hh:mm:ss] KEY \"text\" \"text\" rest"; an unbanned record has "#" in place of the
// "[" of its time stamp, which keeps every line exactly as long as it was written.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "host/bridge.h"
#include "host/state.h"
#include "players/bans.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// Length of "[MM.DD.YYYY hh:mm:ss]".
constexpr int kStampLen = 21;

struct Record {
    bool stamped;
    bool unbanned;
    int kind;
    char key[40];
    char body[QZ_BAN_LINE_MAX + 1];
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Byte classes for the loader's scans, looked up rather than tested with branches (a million
// records of random GUIDs would mispredict the digit/letter test on every other byte).
constexpr unsigned char kHexClass = 1;  // 0-9 a-f A-F
constexpr unsigned char kCtlClass = 2;  // a control byte other than the tab, or DEL
struct ByteClasses {
    unsigned char of[256];
    constexpr ByteClasses() : of() {
        for (int c = 0; c < 256; ++c) {
            bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            bool ctl = (c < 32 && c != '\t') || c == 127;
            of[c] = static_cast<unsigned char>((hex ? kHexClass : 0) | (ctl ? kCtlClass : 0));
        }
    }
};
constexpr ByteClasses kClasses;

unsigned char classOf(char c) { return kClasses.of[static_cast<unsigned char>(c)]; }

// True when the bytes hold a control byte other than the tab, or DEL. Eight bytes at a time:
// a word with no byte below 0x20 and none equal to 0x7F is passed at once; a word that may hold
// one is looked at byte by byte.
bool hasControlByte(const char* p, int len) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    int i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        uint64_t below32 = (w - kOnes * 0x20) & ~w & kHigh;
        uint64_t del = w ^ (kOnes * 0x7F);
        uint64_t isDel = (del - kOnes) & ~del & kHigh;
        if (!(below32 | isDel)) continue;
        for (int k = 0; k < 8; ++k) {
            if (classOf(p[i + k]) & kCtlClass) return true;
        }
    }
    for (; i < len; ++i) {
        if (classOf(p[i]) & kCtlClass) return true;
    }
    return false;
}

bool stampOk(const char* p, const char* end) {
    static const char kShape[] = "#00.00.0000 00:00:00]";
    if (end - p < kStampLen) return false;
    for (int i = 1; i < kStampLen; ++i) {
        if (kShape[i] == '0' ? !isDigit(p[i]) : p[i] != kShape[i]) return false;
    }
    auto two = [p](int at) { return (p[at] - '0') * 10 + (p[at + 1] - '0'); };
    int month = two(1), day = two(4), hour = two(12), minute = two(15), second = two(18);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
           second <= 60;
}

// A double-quoted text at p; false when the closing quote is missing.
bool quoted(const char*& p, const char* end, const char** start, int* n) {
    if (p >= end || *p != '"') return false;
    const char* close =
        static_cast<const char*>(memchr(p + 1, '"', static_cast<size_t>(end - p - 1)));
    if (!close) return false;
    *start = p + 1;
    *n = static_cast<int>(close - p - 1);
    p = close + 1;
    return true;
}

// Parses one line (without its line end). False for anything the module would not have written:
// control bytes, a malformed stamp, an unknown key, missing quotes, a missing reason.
bool parseRecord(const char* line, int len, Record* r) {
    const char* end = line + len;
    if (hasControlByte(line, len)) return false;
    const char* p = line;
    r->stamped = (*p == '[' || *p == '#') && stampOk(p, end);
    r->unbanned = r->stamped && *p == '#';
    if (r->stamped) {
        p += kStampLen;
        if (p < end && !isBlank(*p)) return false;
    } else if (*p == '[' || *p == '#') {
        return false;
    }
    while (p < end && isBlank(*p)) p++;
    const char* key = p;
    while (p < end && !isBlank(*p)) p++;
    int keyLen = static_cast<int>(p - key);
    if (keyLen == 4 && !memcmp(key, "MASK", 4)) {
        r->kind = QZ_BAN_MASK;
    } else if (keyLen == 4 && !memcmp(key, "NAME", 4)) {
        r->kind = QZ_BAN_NAME;
    } else {
        if (keyLen != 32) return false;
        // Four running checks rather than one, so the lookups do not wait on each other.
        unsigned char all[4] = {kHexClass, kHexClass, kHexClass, kHexClass};
        for (int i = 0; i < 32; i += 4) {
            for (int k = 0; k < 4; ++k) all[k] &= classOf(key[i + k]);
        }
        if (!(all[0] & all[1] & all[2] & all[3])) return false;
        r->kind = QZ_BAN_GUID;
    }
    memcpy(r->key, key, static_cast<size_t>(keyLen));
    r->key[keyLen] = 0;
    const char *a, *b;
    int na, nb;
    while (p < end && isBlank(*p)) p++;
    if (!quoted(p, end, &a, &na)) return false;
    while (p < end && isBlank(*p)) p++;
    if (!quoted(p, end, &b, &nb)) return false;
    while (p < end && isBlank(*p)) p++;
    const char* rest = p;
    const char* restEnd = end;
    while (restEnd > rest && isBlank(restEnd[-1])) restEnd--;
    if (restEnd == rest) return false;
    // The body as the module writes it: "\"%s\" \"%s\" %s".
    size_t nr = static_cast<size_t>(restEnd - rest);
    size_t need = static_cast<size_t>(na) + static_cast<size_t>(nb) + nr + 6;
    if (need >= sizeof r->body) return false;
    char* o = r->body;
    *o++ = '"';
    memcpy(o, a, static_cast<size_t>(na));
    o += na;
    memcpy(o, "\" \"", 3);
    o += 3;
    memcpy(o, b, static_cast<size_t>(nb));
    o += nb;
    memcpy(o, "\" ", 2);
    o += 2;
    memcpy(o, rest, nr);
    o[nr] = 0;
    return true;
}

// Length of the first record of a line. A record whose line was cut (a full disk, a hand edit
// without a final line end) has the next record glued onto it: where a time stamp inside the line
// starts a whole record of its own (stamp, key, two quoted texts, reason), the line is two.
int firstRecordLength(const char* line, int len) {
    static Record glued;
    static const char kOpens[2] = {'[', '#'};
    for (char open : kOpens) {
        // memchr finds the candidates; a stamp at i that starts a whole record ends the first.
        const char* p = line + 1;
        const char* end = line + len;
        while (p + kStampLen < end) {
            p = static_cast<const char*>(memchr(p, open, static_cast<size_t>(end - kStampLen - p)));
            if (!p) break;
            int i = static_cast<int>(p - line);
            if (p[kStampLen] == ' ' && stampOk(p, end) && parseRecord(p, len - i, &glued) &&
                glued.stamped) {
                len = i;  // the earliest such stamp of either kind
                end = line + len;
                break;
            }
            p++;
        }
    }
    return len;
}

// Reads a file line by line in large blocks, telling each line's offset. A line longer than
// QZ_BAN_LINE_MAX is reported as too long and its bytes are passed over without being kept.
class LineReader {
  public:
    explicit LineReader(FILE* fp) : fp_(fp) {}

    bool next(const char** line, int* n, long long* offset, bool* tooLong) {
        *tooLong = false;
        for (;;) {
            char* nl = static_cast<char*>(memchr(buf_ + pos_, '\n', len_ - pos_));
            if (nl || (eof_ && pos_ < len_)) {
                size_t stop = nl ? static_cast<size_t>(nl - buf_) : len_;
                *line = buf_ + pos_;
                *offset = base_ + static_cast<long long>(pos_);
                size_t count = stop - pos_;
                if (count && buf_[stop - 1] == '\r') count--;
                *tooLong = count > static_cast<size_t>(QZ_BAN_LINE_MAX);
                *n = static_cast<int>(*tooLong ? 0 : count);
                pos_ = nl ? stop + 1 : len_;
                return true;
            }
            if (eof_) return false;
            if (len_ - pos_ > static_cast<size_t>(QZ_BAN_LINE_MAX) + 2) {
                // Far too long: drop what is buffered and keep reading to its line end.
                *offset = base_ + static_cast<long long>(pos_);
                skipLong();
                *tooLong = true;
                *n = 0;
                *line = buf_;
                return true;
            }
            fill();
        }
    }

  private:
    void fill() {
        memmove(buf_, buf_ + pos_, len_ - pos_);
        base_ += static_cast<long long>(pos_);
        len_ -= pos_;
        pos_ = 0;
        size_t got = fread(buf_ + len_, 1, sizeof buf_ - len_, fp_);
        if (got == 0) eof_ = true;
        len_ += got;
    }
    void skipLong() {
        for (;;) {
            char* nl = static_cast<char*>(memchr(buf_ + pos_, '\n', len_ - pos_));
            if (nl) {
                pos_ = static_cast<size_t>(nl - buf_) + 1;
                return;
            }
            base_ += static_cast<long long>(len_);
            pos_ = len_ = 0;
            if (eof_) return;
            fill();
            if (eof_ && len_ == 0) return;
        }
    }

    FILE* fp_;
    char buf_[1 << 16];
    size_t len_ = 0, pos_ = 0;
    long long base_ = 0;
    bool eof_ = false;
};

int findFile(const stQzSv* sv, const char* path) {
    for (int i = 0; i < QZ_BAN_FILES; ++i)
        if (sv->bans.files[i][0] && !strcmp(sv->bans.files[i], path)) return i + 1;
    return 0;
}

long long fileSize(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// 1 when a file of `size` bytes does not end with a line end (a record cut by a full disk, a
// hand edit without a final line end), 0 when it does or is empty, -1 when it cannot be read.
int endsMidLine(const char* path, long long size) {
    if (size <= 0) return 0;
    FILE* fp = homeOpen(path, "rb");
    if (!fp) return -1;
    int last = EOF;
    if (fseeko(fp, static_cast<off_t>(size - 1), SEEK_SET) == 0) last = fgetc(fp);
    fclose(fp);
    return last == EOF ? -1 : last != '\n';
}

// Overwrites n bytes of the line at pos that is oldLen bytes long. A text longer than the line
// is refused: it would run into the next record.
bool rewriteInPlace(FILE* fp, long long pos, int oldLen, const char* text, int n) {
    if (n > oldLen || pos < 0) return false;
    if (fseeko(fp, static_cast<off_t>(pos), SEEK_SET) != 0) return false;
    return fwrite(text, 1, static_cast<size_t>(n), fp) == static_cast<size_t>(n);
}

// Reads back the line at e's position and checks that it still is e's record.
bool recordInPlace(stQzSv* sv, FILE* fp, const stBanEntry* e, Record* r, int* lineLen) {
    static char line[QZ_BAN_LINE_MAX + 2];
    if (fseeko(fp, static_cast<off_t>(e->filePos), SEEK_SET) != 0) return false;
    size_t got = fread(line, 1, sizeof line, fp);
    size_t n = 0;
    while (n < got && line[n] != '\n') n++;
    if (n == got && got == sizeof line) return false;
    if (n && line[n - 1] == '\r') n--;
    *lineLen = firstRecordLength(line, static_cast<int>(n));
    return parseRecord(line, *lineLen, r) && r->stamped && !strcmp(r->key, e->key) &&
           !strcmp(r->body, banBody(sv, e));
}

}  // namespace

int banFileId(stQzSv* sv, const char* path) {
    int id = findFile(sv, path);
    if (id) return id;
    for (int i = 0; i < QZ_BAN_FILES; ++i) {
        if (!sv->bans.files[i][0]) {
            QZ_COPY(sv->bans.files[i], path);
            return i + 1;
        }
    }
    return 0;
}

bool banFileAppend(stQzSv* sv, const char* path, int banSlot) {
    stBanEntry* e = banEntry(sv, banSlot);
    if (!e) return false;
    const char* body = banBody(sv, e);
    long long before = fileSize(path);
    if (before < 0) before = 0;
    int cut = endsMidLine(path, before);
    if (cut < 0) return false;
    if (cut) {
        // The record starts on a fresh line, so that the cut line cannot take it along.
        FILE* fp = homeOpen(path, "ab");
        bool ok = fp && fwrite("\r\n", 1, 2, fp) == 2;
        if (fp && fclose(fp) != 0) ok = false;
        if (!ok || fileSize(path) != before + 2) return false;
        before += 2;
    }
    trLog(path, "%s %s\r\n", e->key, body);
    long long after = fileSize(path);
    long long expected = kStampLen + 1 + slen(e->key) + 1 + slen(body) + 4;
    if (after != before + expected) {
        // A short write (a full disk) leaves a cut record: take it back, so that the file ends
        // where it ended before.
        if (after > before && after < before + expected &&
            truncate(path, static_cast<off_t>(before)) != 0) {
            return false;
        }
        return false;
    }
    e->filePos = before;
    e->fileId = static_cast<unsigned short>(banFileId(sv, path));
    e->fileMark = 0;
    return true;
}

namespace {

// The entries already in the list from one file, by the position of their record in it, so
// that loading the file again adds only what is new. Sorted by position.
struct Known {
    long long pos;
    unsigned id;
};

int byPosition(const void* a, const void* b) {
    long long pa = static_cast<const Known*>(a)->pos, pb = static_cast<const Known*>(b)->pos;
    return pa < pb ? -1 : pa > pb ? 1 : 0;
}

// Entries from file fileId; null (count 0) when there are none or no memory for the table, in
// which case a second load adds every record again, as a load of a new file would.
Known* knownEntries(const stBans* b, int fileId, unsigned* count) {
    *count = 0;
    unsigned n = 0;
    for (unsigned i = 0; i < b->count; ++i)
        n += b->entries[i].fileId == fileId && b->entries[i].filePos >= 0;
    if (!n) return nullptr;
    auto* known = static_cast<Known*>(malloc(static_cast<size_t>(n) * sizeof(Known)));
    if (!known) return nullptr;
    bool sorted = true;
    for (unsigned i = 0; i < b->count; ++i) {
        const stBanEntry& e = b->entries[i];
        if (e.fileId != fileId || e.filePos < 0) continue;
        if (*count && known[*count - 1].pos > e.filePos) sorted = false;
        known[(*count)++] = {e.filePos, i};
    }
    if (!sorted) qsort(known, *count, sizeof(Known), byPosition);
    return known;
}

// Adds one parsed record found at offset; returns false when the list refuses it.
bool loadRecord(stQzSv* sv, const Record& rec, long long offset, int fileId, unsigned now) {
    int banSlot = banAddAt(sv, rec.kind, rec.key, rec.body, 0, now);
    if (!banSlot) return false;
    stBanEntry* e = banEntry(sv, banSlot);
    // An unbanned record counts as unbanned the moment it was entered: a record of the same
    // GUID further down the file holds.
    e->unbanned = rec.unbanned ? static_cast<int>(e->entered) : 0;
    e->fileMark = rec.unbanned;
    e->fileId = static_cast<unsigned short>(fileId);
    e->filePos = fileId ? offset : -1;
    return true;
}

long long fileLength(FILE* fp) {
    struct stat st;
    return fstat(fileno(fp), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

}  // namespace

long banLoadFile(stQzSv* sv, const char* path, long* skipped, long* present) {
    *skipped = 0;
    if (present) *present = 0;
    FILE* fp = homeOpen(path, "rb");
    if (!fp) return -1;
    long loaded = banLoadStream(sv, fp, path, skipped, present);
    fclose(fp);
    return loaded;
}

namespace {

// What a load has done so far.
struct LoadCounts {
    long loaded = 0, records = 0, skipped = 0, present = 0;
};

// The records of one file already in the list, so that loading the file again adds only what
// is new.
struct KnownSet {
    Known* at = nullptr;
    unsigned count = 0, k = 0;
};

// Adds the records of one line read at offset (a cut line may hold several). Returns the number
// of records looked at.
long loadLine(stQzSv* sv, const char* line, int n, long long offset, int fileId, unsigned now,
              KnownSet* known, Record* rec, LoadCounts* c) {
    long seen = 0;
    int at = 0;
    while (at < n) {
        int k0 = at;
        while (k0 < n && isBlank(line[k0])) k0++;
        if (k0 == n) break;
        int len = at + firstRecordLength(line + at, n - at);
        long long where = offset + at;
        bool ok = parseRecord(line + at, len - at, rec);
        at = len;
        seen++;
        if (!ok) {
            c->skipped++;
            continue;
        }
        c->records++;
        while (known->k < known->count && known->at[known->k].pos < where) known->k++;
        if (known->k < known->count && known->at[known->k].pos == where) {
            const stBanEntry* e = &sv->bans.entries[known->at[known->k].id];
            if (!strcmp(e->key, rec->key) && !strcmp(banBody(sv, e), rec->body)) {
                c->present++;
                continue;
            }
        }
        if (!loadRecord(sv, *rec, where, fileId, now)) {
            c->skipped++;
            continue;
        }
        c->loaded++;
    }
    return seen;
}

}  // namespace

long banLoadStream(stQzSv* sv, FILE* fp, const char* path, long* skipped, long* present) {
    *skipped = 0;
    if (present) *present = 0;
    bool again = findFile(sv, path) != 0;
    int fileId = banFileId(sv, path);
    KnownSet known;
    if (again && fileId) known.at = knownEntries(&sv->bans, fileId, &known.count);
    long long size = fileLength(fp);
    unsigned now = qzMonoTick();
    LineReader reader(fp);
    static Record rec;
    const char* line;
    int n;
    long long offset;
    bool tooLong;
    LoadCounts c;
    bool reserved = false;
    banDeferLinks(sv);
    const unsigned poolBefore = sv->bans.poolLen;
    while (reader.next(&line, &n, &offset, &tooLong)) {
        if (tooLong) {
            c.skipped++;
            continue;
        }
        loadLine(sv, line, n, offset, fileId, now, &known, &rec, &c);
        // After the first records, the list makes room for the whole file at once.
        if (!reserved && c.records >= 1024 && offset > 0 && size > offset) {
            reserved = true;
            double share = static_cast<double>(size - offset) / static_cast<double>(offset) * 1.05;
            double rest = static_cast<double>(c.records) * share;
            double text = static_cast<double>(sv->bans.poolLen - poolBefore) * share;
            if (rest > 0 && rest < 4.0e9 && text < 4.0e9) {
                banReserve(sv, static_cast<unsigned>(rest), static_cast<size_t>(text));
            }
        }
    }
    long dropped = static_cast<long>(banLinkDeferred(sv));
    *skipped = c.skipped + dropped;
    if (present) *present = c.present;
    // The connection check never builds the mask index: the load does, with the rest of its work.
    if (sv->bans.maskCount != sv->bans.maskIndexed) banIndexMasks(sv);
    free(known.at);
    return c.loaded - dropped;
}

// A load spread over frame calls. Records are added one at a time with their index links, so
// that every record read holds at once; the growth of the list's arrays and indexes is spread
// over the adds already.
struct stBanLoadWork {
    explicit stBanLoadWork(FILE* f) : fp(f), reader(f) {}
    FILE* fp;
    char path[QZ_PATH_MAX] = {};
    int fileId = 0;
    bool replace = false;
    bool swapped = false;  // the list being filled is in force for the moment
    unsigned tick = 0;
    // Entries of the list looked at for the known records: [scan, scanEnd).
    unsigned scan = 0, scanEnd = 0;
    bool sorted = true;
    KnownSet known;
    LoadCounts counts;
    stBans list{};  // replace: the new list being filled
    Record rec{};
    LineReader reader;
};

namespace {

// Trades the list in force for the list being filled (or back). The running listing, the load
// itself and the blocks being handed back belong to the module, not to either list: they stay.
void swapLists(stQzSv* sv, stBanLoadWork* w) {
    stBans held = sv->bans;
    sv->bans = w->list;
    w->list = held;
    sv->bans.listing = held.listing;
    sv->bans.load = held.load;
    sv->bans.retired = held.retired;
    memcpy(sv->bans.loadQueue, held.loadQueue, sizeof held.loadQueue);
    sv->bans.loadQueued = held.loadQueued;
    w->swapped = !w->swapped;
}

// Empties the list a replacing load holds (the list being filled, or once the two were traded,
// the former list): its blocks go to the module's queue, to be handed back a slice per frame.
void dropHeldList(stQzSv* sv, stBanLoadWork* w) {
    swapLists(sv, w);
    banFree(sv);
    swapLists(sv, w);
}

void endLoad(stQzSv* sv, stBanLoadWork* w) {
    fclose(w->fp);
    free(w->known.at);
    sv->bans.load = nullptr;
    delete w;
}

// Looks at the entries of the list for records of the file, about budgetUs at most. True when
// every entry was looked at.
bool scanKnown(stQzSv* sv, stBanLoadWork* w, long long begun, long long budgetUs) {
    KnownSet& k = w->known;
    for (; w->scan < w->scanEnd; ++w->scan) {
        if ((w->scan & 4095) == 4095 && threadCpuMicros() - begun >= budgetUs) return false;
        const stBanEntry& e = sv->bans.entries[w->scan];
        if (e.fileId != w->fileId || e.filePos < 0) continue;
        if (k.count && k.at[k.count - 1].pos > e.filePos) w->sorted = false;
        k.at[k.count++] = {e.filePos, w->scan};
    }
    // Records come into the list in the order of the file: a table out of order needs a sort,
    // which only a file rewritten by hand since the first load of it brings about.
    if (!w->sorted) qsort(k.at, k.count, sizeof(Known), byPosition);
    w->sorted = true;
    return true;
}

}  // namespace

bool banLoadBegin(stQzSv* sv, const char* path, bool replace) {
    stBans* b = &sv->bans;
    if (b->load) {
        if (b->loadQueued == QZ_BAN_QUEUE) {
            svMsg(sv, "qz_sv_BanLoad ignored: %s is still loading", b->load->path);
            return false;
        }
        QZ_COPY(b->loadQueue[b->loadQueued], path);
        b->loadQueued++;
        svMsg(sv, "%s will load after %s", path, b->load->path);
        return true;
    }
    FILE* fp = homeOpen(path, "rb");
    if (!fp) {
        svMsg(sv, "File Not Found: %s", path);
        return false;
    }
    auto* w = new (std::nothrow) stBanLoadWork(fp);
    if (!w) {
        fclose(fp);
        svMsg(sv, "Ban File could not be read: %s", path);
        return false;
    }
    QZ_COPY(w->path, path);
    w->replace = replace;
    w->tick = qzMonoTick();
    sv->bans.load = w;
    if (replace) {
        swapLists(sv, w);
        w->fileId = banFileId(sv, path);
        swapLists(sv, w);
        return true;
    }
    bool again = findFile(sv, path) != 0;
    w->fileId = banFileId(sv, path);
    if (again && w->fileId && sv->bans.count) {
        w->scanEnd = sv->bans.count;
        // Without memory for the table, records already in the list are added again, as a load
        // of a new file would.
        w->known.at = static_cast<Known*>(malloc(size_t{w->scanEnd} * sizeof(Known)));
        if (!w->known.at) w->scanEnd = 0;
    }
    return true;
}

bool banLoadStep(stQzSv* sv, long long budgetUs) {
    stBanLoadWork* w = sv->bans.load;
    if (!w) return true;
    const long long begun = threadCpuMicros();
    if (!scanKnown(sv, w, begun, budgetUs)) return false;
    if (w->replace) swapLists(sv, w);
    const char* line;
    int n;
    long long offset;
    bool tooLong;
    bool more = true;
    // The clock is read every 32 lines (empty lines count: a file of nothing but line ends is
    // read within the budget too).
    for (long seen = 0, lines = 1; seen < QZ_BANLOAD_RECORDS; ++lines) {
        if ((lines & 31) == 0 && threadCpuMicros() - begun >= budgetUs) break;
        if (!w->reader.next(&line, &n, &offset, &tooLong)) {
            more = false;
            break;
        }
        if (tooLong) {
            w->counts.skipped++;
            seen++;
            continue;
        }
        seen += loadLine(sv, line, n, offset, w->fileId, w->tick, &w->known, &w->rec, &w->counts);
    }
    if (w->replace) swapLists(sv, w);
    if (more) return false;
    if (w->replace) {
        // The new list takes the place of the former one, which goes back a slice per frame.
        swapLists(sv, w);
        dropHeldList(sv, w);
    }
    // The masks read are scanned one after another until the index over them is built.
    if (sv->bans.maskCount != sv->bans.maskIndexed) banMaskIndexStart(sv, true);
    char path[QZ_PATH_MAX];
    QZ_COPY(path, w->path);
    const LoadCounts c = w->counts;
    endLoad(sv, w);
    banLoadReport(sv, path, c.loaded, c.skipped, c.present);
    // The next load asked for begins; a file gone meanwhile is reported and passed over.
    stBans* b = &sv->bans;
    while (b->loadQueued && !b->load) {
        QZ_COPY(path, b->loadQueue[0]);
        b->loadQueued--;
        memmove(b->loadQueue[0], b->loadQueue[1], sizeof b->loadQueue[0] * static_cast<size_t>(b->loadQueued));
        banLoadBegin(sv, path, false);
    }
    return !b->load;
}

bool banReloading(stQzSv* sv, bool say) {
    const stBanLoadWork* w = sv->bans.load;
    if (!w || !w->replace) return false;
    if (say) {
        svMsg(sv, "Ban List is being reloaded from %s: command ignored until the count line appears",
              w->path);
    }
    return true;
}

void banLoadMirrorKick(stQzSv* sv, const char* key, const char* body, int length, unsigned tick) {
    stBanLoadWork* w = sv->bans.load;
    if (!w || !w->replace || w->swapped) return;
    swapLists(sv, w);
    banAddAt(sv, QZ_BAN_KICK, key, body, length, tick);
    swapLists(sv, w);
}

bool banLoadRunning(const stQzSv* sv, const char** path) {
    if (path) *path = sv->bans.load ? sv->bans.load->path : "";
    return sv->bans.load != nullptr;
}

void banLoadStop(stQzSv* sv, bool say) {
    sv->bans.loadQueued = 0;
    stBanLoadWork* w = sv->bans.load;
    if (!w) return;
    if (w->replace) dropHeldList(sv, w);
    char path[QZ_PATH_MAX];
    QZ_COPY(path, w->path);
    const long loaded = w->replace ? 0 : w->counts.loaded;
    endLoad(sv, w);
    if (say) svMsg(sv, "Ban load of %s stopped after %ld Ban%s", path, loaded, loaded == 1 ? "" : "s");
}

int banUpdateFile(stQzSv* sv, const char* path, int* missing) {
    *missing = 0;
    int fileId = findFile(sv, path);
    if (!fileId) return 0;
    FILE* fp = homeOpen(path, "r+b");
    if (!fp) return -1;
    int changed = 0;
    static Record rec;
    for (unsigned i = 0; i < sv->bans.count; ++i) {
        stBanEntry* e = &sv->bans.entries[i];
        if (e->fileId != fileId || e->filePos < 0 || !e->fileMark == !e->unbanned) continue;
        int lineLen = 0;
        if (!recordInPlace(sv, fp, e, &rec, &lineLen)) {
            (*missing)++;
            continue;
        }
        const char mark = e->unbanned ? '#' : '[';
        if (!rewriteInPlace(fp, e->filePos, lineLen, &mark, 1)) {
            fclose(fp);
            return -1;
        }
        e->fileMark = e->unbanned ? 1 : 0;
        changed++;
    }
    bool ok = fflush(fp) == 0 && !ferror(fp);
    if (fclose(fp) != 0) ok = false;
    return ok ? changed : -1;
}

void banStartupLoad(stQzSv* sv) {
    char path[QZ_PATH_MAX];
    QZ_COPY(path, homePath("qzbans.dat"));
    if (access(path, F_OK) != 0) return;
    long skipped = 0, present = 0;
    long n = banLoadFile(sv, path, &skipped, &present);
    if (n < 0) {
        svMsg(sv, "Ban File could not be read: %s", path);
        return;
    }
    banLoadReport(sv, path, n, skipped, present);
}

void banLoadReport(stQzSv* sv, const char* path, long n, long skipped, long present) {
    svMsg(sv, "%ld Ban%s loaded from %s", n, n == 1 ? "" : "s", path);
    if (present) {
        svMsg(sv, "%ld Ban%s of %s already in the list (not loaded again)", present,
              present == 1 ? "" : "s", path);
    }
    if (skipped)
        svMsg(sv, "%ld damaged line%s skipped in %s", skipped, skipped == 1 ? "" : "s", path);
}
