// The generated server file: writer, parser and the default master list.
#include "remote/masters.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/files.h"
#include "util/text.h"

const char kQzDefaultMasters1[] = "<p> S 2 master2.kestrine.invalid 27960 0";
const char kQzDefaultMasters2[] =
    "\r\n<p> S 3 master3.kestrine.invalid 27960 0"
    "\r\n<p> S 4 master4.kestrine.invalid 27960 0"
    "\r\n<p> S 5 master5.kestrine.invalid 27960 0\r\n";

namespace {

const char kBanner[] = "\r\nTHIS IS A GENERATED FILE - ** DO NOT EDIT **\r\n\r\n";
const char* const kCorrupt = "ERROR: Corrupted Data Buffer";

// The F lines' order: list index, kind letter, system letter.
struct FOrder {
    int list;
    char kind, os;
};
constexpr FOrder kFOrder[] = {
    {QZ_FL_AGENT + 0, 'A', 'W'},  {QZ_FL_AGENT + 1, 'A', 'L'},  {QZ_FL_AGENT + 3, 'A', 'M'},
    {QZ_FL_CLIENT + 0, 'C', 'W'}, {QZ_FL_CLIENT + 1, 'C', 'L'}, {QZ_FL_CLIENT + 2, 'C', 'M'},
    {QZ_FL_SERVER + 0, 'S', 'W'}, {QZ_FL_SERVER + 1, 'S', 'L'}, {QZ_FL_SERVER + 3, 'S', 'M'},
};

// Bounded appender over one buffer: fails for good once the text does not fit.
struct Out {
    char* p;
    char* end;
    bool ok = true;
    void raw(const char* s, long n) {
        if (!ok || n > end - p) {
            ok = false;
            return;
        }
        memcpy(p, s, static_cast<size_t>(n));
        p += n;
    }
    void str(const char* s) { raw(s, static_cast<long>(strlen(s))); }
    void ch(char c) { raw(&c, 1); }
    void dec(long long v) {
        char t[24];
        int n = 0;
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
        do t[n++] = static_cast<char>('0' + u % 10);
        while (u /= 10);
        if (v < 0) t[n++] = '-';
        while (n) ch(t[--n]);
    }
    void hex(uint32_t v) {
        char t[8];
        int n = 0;
        do t[n++] = "0123456789ABCDEF"[v & 15];
        while (v >>= 4);
        while (n) ch(t[--n]);
    }
};

// Strict numbers: optional sign (signed only), digits, nothing else, no overflow.
bool parseInt(const char* s, int* out) {
    if (!*s) return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (*end || errno || v < INT_MIN || v > INT_MAX || !(*s == '-' || (*s >= '0' && *s <= '9'))) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}
bool parseU32(const char* s, int base, uint32_t* out) {
    if (!*s || *s == '-' || *s == '+' || *s == ' ') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s, &end, base);
    if (*end || errno || v > 0xFFFFFFFFULL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Splits line at single blanks into at most max words (in place). Returns the word count, or
// -1 when there are more.
int words(char* line, char** w, int max) {
    int n = 0;
    for (char* p = line; *p;) {
        while (*p == ' ') p++;
        if (!*p) break;
        if (n == max) return -1;
        w[n++] = p;
        while (*p && *p != ' ') p++;
        if (*p) *p++ = 0;
    }
    return n;
}

// One "<p>" line (tag removed). cur is the master being filled (null before the first S line).
bool parseLine(char* line, int* count, stQzMaster* masters, int max) {
    stQzMaster* cur = *count ? &masters[*count - 1] : nullptr;
    char* w[8];
    if (line[0] == 'M' && line[1] == ' ') {
        // The text may hold blanks; the value is the last word.
        char* text = line + 2;
        char* last = strrchr(text, ' ');
        if (!cur || !last || cur->mCount >= QZ_MASTER_MENTRIES) return false;
        *last = 0;
        stQzMEntry* m = &cur->m[cur->mCount];
        memset(m, 0, sizeof *m);
        if (slen(text) > 255 || !parseU32(last + 1, 10, &m->value)) return false;
        QZ_COPY(m->text, text);
        cur->mCount++;
        return true;
    }
    int n = words(line, w, 8);
    if (n == 5 && strcmp(w[0], "S") == 0) {
        if (*count >= max) return false;
        stQzMaster* m = &masters[*count];
        memset(m, 0, sizeof *m);
        if (!parseInt(w[1], &m->number) || slen(w[2]) > 255 || !parseInt(w[3], &m->port) ||
            m->port < 1 || m->port > 65535 || !parseInt(w[4], &m->lastS)) {
            return false;
        }
        QZ_COPY(m->host, w[2]);
        (*count)++;
        return true;
    }
    if (n == 7 && strcmp(w[0], "F") == 0 && cur && !w[1][1] && !w[2][1]) {
        int list = masterListIndex(w[1][0], w[2][0]);
        if (list < 0) return false;
        arQzFileInfo* l = &cur->files[list];
        if (l->count >= QZ_FILEINFO_MAX) return false;
        stQzFileInfo* e = &l->e[l->count];
        if (!parseInt(w[3], &e->number) || !parseU32(w[4], 16, &e->value) ||
            !masterDigestOk(w[5]) || !masterDigestOk(w[6])) {
            return false;
        }
        QZ_COPY(e->digest1, w[5]);
        QZ_COPY(e->digest2, w[6]);
        l->count++;
        return true;
    }
    return false;
}

}  // namespace

int masterListIndex(char kind, char os) {
    for (const FOrder& f : kFOrder) {
        if (f.kind == kind && f.os == os) return f.list;
    }
    return -1;
}

namespace {

// Hexadecimal digits, for reading every digest of a full list quickly.
constexpr auto kHexDigit = [] {
    std::array<bool, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = true;
    for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = true;
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<size_t>(c)] = true;
    return t;
}();

}  // namespace

bool masterDigestOk(const char* d) {
    for (int i = 0; i < 32; ++i) {
        if (!kHexDigit[static_cast<unsigned char>(d[i])]) return false;  // a NUL stops here too
    }
    return d[32] == 0;
}

long masterFormat(char* buf, long size, int count, const stQzMaster* masters) {
    Out o{buf, buf + size};
    o.raw(kBanner, sizeof kBanner - 1);
    for (int i = 0; i < count; ++i) {
        const stQzMaster* m = &masters[i];
        o.str("<p> S ");
        o.dec(m->number);
        o.ch(' ');
        o.raw(m->host, static_cast<long>(strnlen(m->host, sizeof m->host - 1)));
        o.ch(' ');
        o.dec(m->port);
        o.ch(' ');
        o.dec(m->lastS);
        o.str("\r\n");
        int mc = m->mCount < 0                    ? 0
                 : m->mCount > QZ_MASTER_MENTRIES ? QZ_MASTER_MENTRIES
                                                  : m->mCount;
        for (int k = 0; k < mc; ++k) {
            o.str("<p> M ");
            o.raw(m->m[k].text, static_cast<long>(strnlen(m->m[k].text, sizeof m->m[k].text - 1)));
            o.ch(' ');
            o.dec(m->m[k].value);
            o.str("\r\n");
        }
        for (const FOrder& f : kFOrder) {
            const arQzFileInfo* l = &m->files[f.list];
            int fc = l->count < 0 ? 0 : l->count > QZ_FILEINFO_MAX ? QZ_FILEINFO_MAX : l->count;
            for (int k = 0; k < fc; ++k) {
                const stQzFileInfo* e = &l->e[k];
                if (!masterDigestOk(e->digest1) || !masterDigestOk(e->digest2)) continue;
                o.str("<p> F ");
                o.ch(f.kind);
                o.ch(' ');
                o.ch(f.os);
                o.ch(' ');
                o.dec(e->number);
                o.ch(' ');
                o.hex(e->value);
                o.ch(' ');
                o.raw(e->digest1, 32);
                o.ch(' ');
                o.raw(e->digest2, 32);
                o.str("\r\n");
            }
        }
    }
    return o.ok ? o.p - buf : -1;
}

int masterWrite(const char* path, int count, const stQzMaster* masters) {
    if (count < 0) count = 0;
    // Longest S line, three M lines and 72 F lines, with room to spare.
    long size = static_cast<long>(sizeof kBanner) + static_cast<long>(count) * 7000L + 64;
    char* buf = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (!buf) return -1;
    long n = masterFormat(buf, size, count, masters);
    char temp[600];
    QZ_TRF(temp, "%s.tmp", path);
    FILE* fp = n < 0 ? nullptr : homeOpen(temp, "wb");
    if (!fp) {
        free(buf);
        return -1;
    }
    bool written = fwrite(buf, 1, static_cast<size_t>(n), fp) == static_cast<size_t>(n);
    free(buf);
    int closed = fclose(fp);
    if (!written || closed != 0 || rename(temp, path) != 0) {
        unlink(temp);
        return -1;
    }
    return closed;
}

const char* masterParse(const char* text, long length, int* count, stQzMaster* masters, int max) {
    *count = 0;
    char line[1024];
    long i = 0;
    while (i < length) {
        long start = i;
        const void* nl = memchr(text + i, '\n', static_cast<size_t>(length - i));
        i = nl ? static_cast<const char*>(nl) - text : length;
        long end = i;
        if (i < length) i++;  // the line feed
        if (end > start && text[end - 1] == '\r') end--;
        long n = end - start;
        if (n == 0) continue;
        if (n >= static_cast<long>(sizeof line) ||
            memchr(text + start, 0, static_cast<size_t>(n))) {
            *count = 0;
            return kCorrupt;
        }
        memcpy(line, text + start, static_cast<size_t>(n));
        line[n] = 0;
        if (strncmp(line, "<p> ", 4) != 0) {
            // The banner is the one line without the tag that the writer produces.
            if (strcmp(line, "THIS IS A GENERATED FILE - ** DO NOT EDIT **") == 0) continue;
            *count = 0;
            return kCorrupt;
        }
        if (!parseLine(line + 4, count, masters, max)) {
            *count = 0;
            return kCorrupt;
        }
    }
    return nullptr;
}

const char* masterRead(const char* path, int* count, stQzMaster* masters, int max) {
    *count = 0;
    FILE* fp = homeOpen(path, "rb");
    if (!fp) return "File Not Found";
    // A generated file of the largest list is well under a megabyte; anything bigger is not one.
    constexpr long kMaxFile = 2L << 20;
    long size = fseek(fp, 0, SEEK_END) == 0 ? ftell(fp) : -1;
    rewind(fp);
    if (size < 0 || size >= kMaxFile) {
        fclose(fp);
        return size < 0 ? "File Not Found" : kCorrupt;
    }
    char* buf = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (!buf) {
        fclose(fp);
        return "Memory Allocation Error";
    }
    long n = static_cast<long>(fread(buf, 1, static_cast<size_t>(size) + 1, fp));
    bool tooBig = n > size;  // the file grew while being read
    fclose(fp);
    const char* err = tooBig ? kCorrupt : masterParse(buf, n, count, masters, max);
    free(buf);
    return err;
}

void masterDefaults(int* count, stQzMaster* masters, int max) {
    char text[sizeof kQzDefaultMasters1 + sizeof kQzDefaultMasters2];
    QZ_COPY(text, kQzDefaultMasters1);
    QZ_TRACAT(text, kQzDefaultMasters2);
    masterParse(text, slen(text), count, masters, max);
}

const char* masterDigest(const arQzFileInfo* list, int number) {
    for (const stQzFileInfo& e : list->e) {
        if (e.number == number) return e.digest1;
    }
    return nullptr;
}

const char* masterListCheck(const char* text, unsigned long length) {
    stQzMaster* list = static_cast<stQzMaster*>(calloc(QZ_MASTER_MAX, sizeof(stQzMaster)));
    if (!list) return "Memory Allocation Error";
    int count = 0;
    const char* err = masterParse(text, static_cast<long>(length), &count, list, QZ_MASTER_MAX);
    free(list);
    if (!err && count == 0) err = "ERROR: Corrupted Data Buffer";
    return err;
}
