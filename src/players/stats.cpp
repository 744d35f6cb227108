// Persistent player statistics: the statistics text and its merge step, the records of the keyed
// tables "PersStat" (what the statistics file held when it was read) and "NewStat" (what was
// gathered since the last write), seconds played, and statistics events. The statistics file
// itself is read and written in players/statfile.cpp.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

constexpr int kCategoryMax = 32;
constexpr int kKeyMax = 63;  // the colon included
constexpr int kValueMax = 10;
// Sums beyond this are refused before they are formatted.
constexpr double kSumMax = 1e12;

// Characters of category words and keys: printable, and none of the characters that give the
// text its shape (blank, brackets, colon) or would end the file's quoted field.
bool wordChar(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return c > ' ' && c < 127 && c != '[' && c != ']' && c != ':' && c != '"' && c != '=';
}

bool valueChar(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
}

bool categoryOk(const char* cat) {
    int n = 0;
    for (; cat[n]; ++n)
        if (n >= kCategoryMax || !wordChar(cat[n])) return false;
    return n > 0;
}

bool keyOk(const char* key) {
    int n = slen(key);
    if (n < 2 || n > kKeyMax || key[n - 1] != ':') return false;
    for (int i = 0; i < n - 1; ++i)
        if (!wordChar(key[i])) return false;
    return true;
}

// A number of at most kValueMax characters; *out gets its value.
bool valueOk(const char* v, int n, double* out) {
    if (n < 1 || n > kValueMax) return false;
    char buf[kValueMax + 1];
    for (int i = 0; i < n; ++i) {
        if (!valueChar(v[i])) return false;
        buf[i] = v[i];
    }
    buf[n] = 0;
    char* end = nullptr;
    double d = strtod(buf, &end);
    if (end != buf + n || !std::isfinite(d)) return false;
    *out = d;
    return true;
}

// Equal for n characters without regard to case, stopping at the end of either text.
bool sameNoCase(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i)
        if (!a[i] || !b[i] || lowerCh(a[i]) != lowerCh(b[i])) return false;
    return true;
}

// The group of category cat: its word must stand at the start of the text or after a blank,
// outside any brackets, and be followed by "[". A category word inside another word or inside
// a group's pairs is no match. Returns the position of the word, or null.
char* findCategory(char* text, const char* cat, int catLen) {
    bool inside = false;
    for (char* p = text; *p; ++p) {
        if (*p == '[') inside = true;
        if (*p == ']') inside = false;
        if (inside || (p != text && p[-1] != ' ')) continue;
        if (sameNoCase(p, cat, catLen) && p[catLen] == '[') return p;
    }
    return nullptr;
}

// The pair of key between open ("[") and close ("]"): it starts right after "[" or a blank.
char* findKey(char* open, char* close, const char* key, int keyLen) {
    for (char* p = open + 1; close - p >= keyLen; ++p) {
        if (p[-1] != '[' && p[-1] != ' ') continue;
        if (sameNoCase(p, key, keyLen)) return p;
    }
    return nullptr;
}

// Table helpers: the keyed tables know records by their 33-byte GUID key, zero padded.
stSvStat* findRec(stQzSv* sv, int t, const char* guid) {
    char key[33];
    memset(key, 0, sizeof key);
    trcpyz(key, guid, 32);
    return static_cast<stSvStat*>(keyFind(&sv->keys, t, key));
}

stSvStat* findOrMake(stQzSv* sv, int t, const char* guid) {
    stSvStat* rec = findRec(sv, t, guid);
    if (rec) return rec;
    stSvStat fresh;
    memset(&fresh, 0, sizeof fresh);
    trcpyz(fresh.guid, guid, 32);
    return static_cast<stSvStat*>(keyStoreRecord(&sv->keys, t, &fresh));
}

// Part of a key: word characters only (others become "_"), at most 20 of them, "-" when empty.
void keyPart(char* out, int size, const char* text) {
    int n = 0;
    for (const char* p = text ? text : ""; *p && n < 20 && n < size - 1; ++p)
        out[n++] = wordChar(*p) && *p != ',' ? *p : '_';
    if (!n) out[n++] = '-';
    out[n] = 0;
}

}  // namespace

bool statMergeOne(char* text, const char* category, const char* key, const char* value) {
    const int catLen = slen(category), keyLen = slen(key), valLen = slen(value);
    double add = 0;
    if (!categoryOk(category) || !keyOk(key) || !valueOk(value, valLen, &add)) return false;
    if (slen(text) > QZ_STAT_TEXT) return false;
    const int size = QZ_STAT_TEXT + 1;
    char* cat = findCategory(text, category, catLen);
    // A new category whose pair then does not fit must not stay behind as an empty group.
    char backup[QZ_STAT_TEXT + 1];
    bool inserted = false;
    if (!cat) {
        char insert[kCategoryMax + 4];
        QZ_TRF(insert, "%s[]%s", category, text[0] ? " " : "");
        memcpy(backup, text, static_cast<size_t>(slen(text)) + 1);
        if (!trrepl(text, size, text, 0, insert)) return false;
        inserted = true;
        cat = text;
    }
    char* open = cat + catLen;
    char* close = strchr(open, ']');
    if (*open != '[' || !close) return false;
    char* at = findKey(open, close, key, keyLen);
    if (!at) {
        char insert[kKeyMax + kValueMax + 2];
        QZ_TRF(insert, "%s%s%s", key, value, close == open + 1 ? "" : " ");
        if (trrepl(text, size, open + 1, 0, insert) == 1) return true;
        if (inserted) memcpy(text, backup, static_cast<size_t>(slen(backup)) + 1);
        return false;
    }
    char* old = at + keyLen;
    int oldLen = 0;
    while (old[oldLen] && old[oldLen] != ' ' && old[oldLen] != ']') oldLen++;
    double was = 0;
    char oldText[32];
    if (oldLen >= qz::cap(oldText)) return false;
    trcpyz(oldText, old, oldLen);
    char* end = nullptr;
    was = strtod(oldText, &end);
    if (end != oldText + oldLen || !std::isfinite(was)) return false;
    double sum = was + add;
    if (!std::isfinite(sum) || std::fabs(sum) > kSumMax) return false;
    char sumText[32];
    // The sum must read back as a value: at most kValueMax characters.
    if (QZ_TRF(sumText, "%.1lf", sum) > kValueMax) return false;
    return trrepl(text, size, old, oldLen, sumText) == 1;
}

// Groups are read as the merge step sees them: the category is the word after the last blank
// before "[", the pairs run to "]".
bool statMergeText(char* text, const char* src) {
    const char* p = src;
    while (*p) {
        const char* open = strchr(p, '[');
        if (!open) {
            while (*p == ' ') p++;
            return *p == 0;
        }
        const char* word = open;
        while (word > p && word[-1] != ' ') word--;
        int catLen = static_cast<int>(open - word);
        if (catLen < 1 || catLen > kCategoryMax) return false;
        char cat[kCategoryMax + 1];
        trcpyz(cat, word, catLen);
        const char* close = strchr(open, ']');
        if (!close) return false;
        const char* q = open + 1;
        while (q < close) {
            while (q < close && *q == ' ') q++;
            if (q >= close) break;
            const char* pairEnd = q;
            while (pairEnd < close && *pairEnd != ' ') pairEnd++;
            const char* colon = static_cast<const char*>(memchr(q, ':', pairEnd - q));
            if (!colon) return false;
            int keyLen = static_cast<int>(colon - q) + 1;
            int valLen = static_cast<int>(pairEnd - colon) - 1;
            if (keyLen > kKeyMax || valLen < 1 || valLen > kValueMax) return false;
            char key[kKeyMax + 1], value[kValueMax + 1];
            trcpyz(key, q, keyLen);
            trcpyz(value, colon + 1, valLen);
            if (!statMergeOne(text, cat, key, value)) return false;
            q = pairEnd;
        }
        p = close + 1;
    }
    return true;
}

// The exact shape the module writes: groups "category[key:value ...]" separated by one blank.
bool statTextValid(const char* text) {
    const char* p = text;
    if (slen(text) > QZ_STAT_TEXT) return false;
    while (*p) {
        int n = 0;
        while (wordChar(p[n])) n++;
        if (n < 1 || n > kCategoryMax || p[n] != '[') return false;
        p += n + 1;
        bool first = true;
        while (*p != ']') {
            if (!first && *p++ != ' ') return false;
            first = false;
            int k = 0;
            while (wordChar(p[k])) k++;
            if (k < 1 || k + 1 > kKeyMax || p[k] != ':') return false;
            p += k + 1;
            int v = 0;
            while (p[v] && p[v] != ' ' && p[v] != ']') v++;
            double d = 0;
            if (!valueOk(p, v, &d)) return false;
            p += v;
        }
        p++;
        if (*p == ' ' && p[1])
            p++;
        else if (*p)
            return false;
    }
    return true;
}

namespace {

// Stores a copy of rec as a record of its own in table t; false when the table is full.
bool storeCopy(stQzSv* sv, int t, const stSvStat* rec) {
    stSvStat copy;
    memset(&copy, 0, sizeof copy);
    trcpyz(copy.guid, rec->guid, 32);
    QZ_COPY(copy.stat, rec->stat);
    copy.secs = rec->secs;
    copy.age = rec->age;
    return keyStoreRecord(&sv->keys, t, &copy);
}

}  // namespace

int statAdd(stQzSv* sv, int t, const stSvStat* rec) {
    stSvStat* have = findRec(sv, t, rec->guid);
    if (!have) return storeCopy(sv, t, rec) ? 1 : -1;
    // The merge stops at the first pair that does not fit and may have taken earlier ones: on
    // failure the text is put back and the record is kept whole beside the first one (a second
    // line of the GUID in the file), so that nothing is lost.
    char before[sizeof have->stat];
    memcpy(before, have->stat, sizeof before);
    if (statMergeText(have->stat, rec->stat)) {
        unsigned secs = have->secs + rec->secs;
        have->secs = secs < have->secs ? 0xFFFFFFFFu : secs;
        if (rec->age > have->age) have->age = rec->age;
        return 1;
    }
    memcpy(have->stat, before, sizeof before);
    return storeCopy(sv, t, rec) ? 0 : -1;
}

bool statEvent(stQzSv* sv, int slot, const char* category, const char* k1, const char* k2,
               const char* k3, double value) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || !plGuidValid(c->guid)) return false;
    char cat[kCategoryMax + 1], a[24], b[24], d[24];
    keyPart(a, qz::cap(a), k1);
    keyPart(b, qz::cap(b), k2);
    keyPart(d, qz::cap(d), k3);
    int n = 0;
    for (const char* p = category ? category : ""; *p && n < kCategoryMax; ++p)
        cat[n++] = wordChar(*p) ? *p : '_';
    cat[n] = 0;
    char key[kKeyMax + 8], val[32];
    QZ_TRF(key, "%s,%s,%s:", a, b, d);
    bool ok = n > 0 && std::isfinite(value) && std::fabs(value) < 1e8;
    if (ok) QZ_TRF(val, "%.1lf", value);
    stSvStat* rec = ok ? findOrMake(sv, sv->tNewStat, c->guid) : nullptr;
    if (ok && !rec) svMsg(sv, "Internal Error - Failed to Add Stat Record to Hash Table");
    if (!rec || !statMergeOne(rec->stat, cat, key, val)) {
        svMsg(sv, "WARNING: STAT UPDATE FAILED for (slot #%d) %s", slot, c->name);
        return false;
    }
    return true;
}

void statTouch(stQzSv* sv, int slot, unsigned now) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    int whole = tickElapsed(now, c->statTick) / 1000;
    if (whole <= 0) return;
    c->statTick += static_cast<unsigned>(whole) * 1000u;
    if (!plGuidValid(c->guid) || plIsBot(c)) return;
    stSvStat* rec = findOrMake(sv, sv->tNewStat, c->guid);
    if (!rec) {
        svMsg(sv, "Internal Error - Failed to Add Stat Record to Hash Table");
        return;
    }
    unsigned secs = rec->secs + static_cast<unsigned>(whole);
    rec->secs = secs < rec->secs ? 0xFFFFFFFFu : secs;
}

// The statistics line under a player in qz_sv_StatList: what the file held for his GUID when it
// was read, and what was gathered since the last write.
const char* plStatLine(stQzSv* sv, int slot) {
    static char line[2 * QZ_STAT_TEXT + 128];
    line[0] = 0;
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || !plGuidValid(c->guid)) return line;
    const stSvStat* kept = findRec(sv, sv->tPersStat, c->guid);
    const stSvStat* fresh = findRec(sv, sv->tNewStat, c->guid);
    if (!kept && !fresh) return line;  // no statistics: an empty line
    QZ_TRF(line, "Stats: %lu secs [%s] New: %lu secs [%s]",
           static_cast<unsigned long>(kept ? kept->secs : 0), kept ? kept->stat : "",
           static_cast<unsigned long>(fresh ? fresh->secs : 0), fresh ? fresh->stat : "");
    return line;
}
