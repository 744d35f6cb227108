// The kick/ban list in memory and its three indexes: GUID to the GUID's first entry, the
// banned names, and the address masks filed by their first two octets. The list only grows
// (an entry keeps its ban slot number until qz_sv_BanEmpty), so the indexes never delete.
#include "players/bans.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "host/state.h"
#include "commands/jobs.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/keyed.h"
#include "util/pages.h"
#include "util/text.h"

namespace {

constexpr unsigned kFirstBuckets = 1024;

// Large blocks of the list (a million entries, their texts and index) are asked to live in huge
// pages: far fewer page faults when a big ban file is loaded. Only advice; nothing depends on it.
void adviseHuge(void* data, size_t bytes) {
    constexpr uintptr_t kHuge = 2u << 20;
    if (bytes < 2 * kHuge) return;
    uintptr_t from = (reinterpret_cast<uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

// The index hash of a GUID or folded name: SipHash-2-4 under the list's secret of the key in
// lower case (keys compare ignoring case), so that nobody outside can make keys that share a
// probe run. Keys are at most 40 characters; a longer text is hashed by its first 64.
unsigned banHash(stBans* b, const char* text) {
    if (!b->keyed) {
        keyRandomBytes(b->hashKey);
        b->keyed = 1;
    }
    unsigned char folded[64];
    size_t n = 0;
    for (; n < sizeof folded && text[n]; ++n)
        folded[n] = static_cast<unsigned char>(lowerCh(text[n]));
    return static_cast<unsigned>(keySipHash(b->hashKey, folded, n));
}

// Slots of the former array copied at each new key while the index grows. The doubled array
// holds the keys at 35% full, and 70% starts the next growth: any step above 1.43 ends the copy
// in time; 16 ends it after a sixteenth of the former slot count in new keys.
constexpr unsigned kCopyStep = 16;

size_t slotBytes(unsigned count) { return static_cast<size_t>(count) * sizeof(stBanSlot); }

// Huge pages only for an array filled in one call (a large load's index): the first touch of a
// huge page clears two megabytes at once, which an index growing key by key would meet inside
// one add (5 to 20 ms on the machines measured, for a single ban).
stBanSlot* slotsAlloc(unsigned count, bool huge) {
    auto* slots = static_cast<stBanSlot*>(pagesAlloc(slotBytes(count)));
    if (slots && huge) adviseHuge(slots, slotBytes(count));
    return slots;
}

void hashPlace(stBanSlot* slots, unsigned mask, const stBanSlot& s) {
    unsigned j = s.hash & mask;
    while (slots[j].tail) j = (j + 1) & mask;
    slots[j] = s;
}

// Copies up to n slots of the former array into the current one; frees it after the last.
void hashCopySome(stBanHash* h, unsigned n) {
    pagesDropStep(&h->drop);
    if (!h->old) return;
    for (; n && h->moved <= h->oldMask; --n, ++h->moved) {
        const stBanSlot& s = h->old[h->moved];
        if (s.tail) hashPlace(h->slots, h->mask, s);
    }
    if (h->moved > h->oldMask) {
        pagesDropLater(&h->drop, h->old, slotBytes(h->oldMask + 1));
        h->old = nullptr;
        h->oldMask = h->moved = 0;
    }
}

// Ends a growth in progress at once (a large load, which is a rebuild anyway).
void hashCopyAll(stBanHash* h) {
    if (h->old) hashCopySome(h, h->oldMask + 1 - h->moved);
}

// Replaces the slot array by one of `count` slots (a power of two) and files every key again by
// its hash, all at once.
bool hashResize(stBanHash* h, unsigned count) {
    hashCopyAll(h);
    stBanSlot* slots = slotsAlloc(count, count > kFirstBuckets);
    if (!slots) return false;
    for (unsigned i = 0; h->slots && i <= h->mask; ++i) {
        if (h->slots[i].tail) hashPlace(slots, count - 1, h->slots[i]);
    }
    if (h->slots) pagesFree(h->slots, slotBytes(h->mask + 1));
    h->slots = slots;
    h->mask = count - 1;
    return true;
}

// Doubles the slot array (or makes the first one). The keys stay in the former array, which
// later insertions copy over a step at a time. The new array comes zeroed from pagesAlloc, so
// its pages are faulted in as keys reach them rather than all here.
bool hashGrow(stBanHash* h) {
    if (!h->slots) return hashResize(h, kFirstBuckets);
    hashCopyAll(h);  // only if the steps fell behind, which the step size rules out
    if (h->mask > UINT_MAX / 2) return false;
    const unsigned count = (h->mask + 1) * 2;
    stBanSlot* slots = slotsAlloc(count, false);
    if (!slots) return false;
    h->old = h->slots;
    h->oldMask = h->mask;
    h->moved = 0;
    h->slots = slots;
    h->mask = count - 1;
    return true;
}

// The slot of a key: same hash and same key (sameKey is given the slot's tail id). Null when
// the key is absent and create is false, or when the index cannot grow. A new key always goes
// into the current array.
template <class SameKey>
stBanSlot* hashFind(stBanHash* h, unsigned hash, SameKey sameKey, bool create) {
    if (create) {
        hashCopySome(h, kCopyStep);
        if ((!h->slots || (h->used + 1) * 10 > (h->mask + 1) * 7) && !hashGrow(h)) return nullptr;
    }
    if (!h->slots) return nullptr;
    unsigned j = hash & h->mask;
    for (;; j = (j + 1) & h->mask) {
        stBanSlot* s = &h->slots[j];
        if (!s->tail) break;
        if (s->hash == hash && sameKey(s->tail - 1)) return s;
    }
    // Slots of the former array from `moved` on are not in the current one yet. A key whose
    // slot was copied is always found above, so the former array is searched as it was.
    for (unsigned k = hash & h->oldMask; h->old && h->old[k].tail; k = (k + 1) & h->oldMask) {
        stBanSlot* s = &h->old[k];
        if (s->hash == hash && sameKey(s->tail - 1)) return s;
    }
    if (!create) return nullptr;
    h->slots[j].hash = hash;
    h->used++;
    return &h->slots[j];
}

template <class T>
bool growArray(T** data, unsigned* cap, unsigned need, unsigned first) {
    if (need <= *cap) return true;
    unsigned next = *cap ? *cap : first;
    while (next < need) {
        if (next > UINT_MAX / 2) return false;
        next *= 2;
    }
    if (static_cast<size_t>(next) > SIZE_MAX / sizeof(T)) return false;
    T* grown = static_cast<T*>(realloc(*data, static_cast<size_t>(next) * sizeof(T)));
    if (!grown) return false;
    adviseHuge(grown, static_cast<size_t>(next) * sizeof(T));
    *data = grown;
    *cap = next;
    return true;
}

// The entry array and the text pool, the two blocks that reach tens of megabytes, are mapped
// from the system and grown by mremap, which moves their pages instead of copying them: a growth
// at a million entries costs what a small one does, and the new part's pages are faulted in as
// entries reach them. (realloc copies a block it keeps in its heap, which it may do below 32 MB.)
// They are not advised into huge pages: advice on part of a mapping splits it, and mremap
// refuses (EFAULT) a range that spans mappings of different kinds.
size_t pageRound(size_t n) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

void* mapGrow(void* block, size_t oldBytes, size_t newBytes) {
    void* grown = block ? mremap(block, pageRound(oldBytes), pageRound(newBytes), MREMAP_MAYMOVE)
                        : mmap(nullptr, pageRound(newBytes), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return grown == MAP_FAILED ? nullptr : grown;
}

// The entry array, doubled (mapped) when full.
bool growEntries(stBans* b, unsigned need) {
    if (need <= b->capacity) return true;
    unsigned next = b->capacity ? b->capacity : 1024;
    while (next < need) {
        if (next > UINT_MAX / 2) return false;
        next *= 2;
    }
    if (static_cast<size_t>(next) > SIZE_MAX / sizeof(stBanEntry)) return false;
    const size_t bytes = static_cast<size_t>(next) * sizeof(stBanEntry);
    void* grown = mapGrow(b->entries, size_t{b->capacity} * sizeof(stBanEntry), bytes);
    if (!grown) return false;
    b->entries = static_cast<stBanEntry*>(grown);
    b->capacity = next;
    return true;
}

// Texts grow by half again rather than doubling: with a million records the slack of a doubled
// pool would be most of the list's memory.
bool poolAdd(stBans* b, const char* text, unsigned* offset) {
    size_t n = strlen(text) + 1;
    if (n > UINT_MAX - b->poolLen) return false;
    unsigned need = b->poolLen + static_cast<unsigned>(n);
    if (need > b->poolCap) {
        size_t next = b->poolCap ? b->poolCap + b->poolCap / 2 : 65536;
        if (next < need) next = need;
        if (next > UINT_MAX) next = UINT_MAX;
        char* grown = static_cast<char*>(mapGrow(b->pool, b->poolCap, next));
        if (!grown) return false;
        b->pool = grown;
        b->poolCap = static_cast<unsigned>(next);
    }
    memcpy(b->pool + b->poolLen, text, n);
    *offset = b->poolLen;
    b->poolLen = need;
    return true;
}

// The first quoted text of a body: the mask of a "MASK" entry, the name of a "NAME" entry.
void firstQuoted(const char* body, char* out, int size) {
    out[0] = 0;
    const char* p = strchr(body, '"');
    if (!p) return;
    const char* end = strchr(++p, '"');
    int n = end ? static_cast<int>(end - p) : slen(p);
    trcpyz(out, p, n < size - 1 ? n : size - 1);
}

// Files a kick or GUID ban behind the earlier entries of its GUID: the first entry keeps
// deciding, as the rejoin check requires.
bool guidLink(stBans* b, unsigned id, unsigned hash) {
    stBanEntry* e = &b->entries[id];
    auto same = [b, e](unsigned other) { return trcasecmp(b->entries[other].key, e->key) == 0; };
    stBanSlot* s = hashFind(&b->guids, hash, same, true);
    if (!s) return false;
    if (s->tail) b->entries[s->tail - 1].nextSame = id + 1;
    s->tail = id + 1;
    if (!s->head) s->head = id + 1;
    return true;
}

bool nameLink(stBans* b, unsigned rule) {
    stNameRule* r = &b->nameRules[rule];
    auto same = [b, r](unsigned other) {
        return strcmp(b->nameRules[other].folded, r->folded) == 0;
    };
    stBanSlot* s = hashFind(&b->names, banHash(b, r->folded), same, true);
    if (!s) return false;
    if (s->tail) b->nameRules[s->tail - 1].next = rule + 1;
    s->tail = rule + 1;
    if (!s->head) s->head = rule + 1;
    return true;
}

bool maskRuleMatches(const stBans* b, unsigned rule, const unsigned char o[4], unsigned port) {
    const stMaskRule* r = &b->masks[rule];
    return maskMatch(r, o, port) && !b->entries[r->entry].unbanned;
}

bool maskSmall(const stMaskRule* r) {
    return (r->hi[0] - r->lo[0] + 1) * (r->hi[1] - r->lo[1] + 1) <= 256;
}

// Files every mask under the first-two-octet buckets it covers (or in the wide list). Rules are
// visited in list order, so each bucket lists its masks in list order.
bool maskRebuild(stBans* b) {
    free(b->maskStart);
    free(b->maskIds);
    free(b->maskWide);
    b->maskStart = static_cast<unsigned*>(calloc(65537, sizeof(unsigned)));
    b->maskIds = nullptr;
    b->maskWide = nullptr;
    b->maskWideCount = 0;
    b->maskIndexed = 0;
    if (!b->maskStart) return false;
    unsigned total = 0, wide = 0;
    for (unsigned i = 0; i < b->maskCount; ++i) {
        const stMaskRule* r = &b->masks[i];
        if (!maskSmall(r)) {
            wide++;
            continue;
        }
        for (unsigned a = r->lo[0]; a <= r->hi[0]; ++a)
            for (unsigned c = r->lo[1]; c <= r->hi[1]; ++c) b->maskStart[(a << 8 | c) + 1]++;
        total += (r->hi[0] - r->lo[0] + 1) * (r->hi[1] - r->lo[1] + 1);
    }
    for (unsigned k = 1; k <= 65536; ++k) b->maskStart[k] += b->maskStart[k - 1];
    b->maskIds = static_cast<unsigned*>(malloc((total ? total : 1) * sizeof(unsigned)));
    b->maskWide = static_cast<unsigned*>(malloc((wide ? wide : 1) * sizeof(unsigned)));
    auto* fill = static_cast<unsigned*>(malloc(65536 * sizeof(unsigned)));
    if (!b->maskIds || !b->maskWide || !fill) {
        free(fill);
        return false;
    }
    memcpy(fill, b->maskStart, 65536 * sizeof(unsigned));
    for (unsigned i = 0; i < b->maskCount; ++i) {
        const stMaskRule* r = &b->masks[i];
        if (!maskSmall(r)) {
            b->maskWide[b->maskWideCount++] = i;
            continue;
        }
        for (unsigned a = r->lo[0]; a <= r->hi[0]; ++a)
            for (unsigned c = r->lo[1]; c <= r->hi[1]; ++c) b->maskIds[fill[a << 8 | c]++] = i;
    }
    free(fill);
    b->maskIndexed = b->maskCount;
    return true;
}

}  // namespace

void banFoldName(const char* name, char out[32]) {
    const char* p = name ? name : "";
    while (*p && (static_cast<unsigned char>(*p) <= 32 || *p == 127)) p++;
    const char* plain = noColor(p);
    int i = 0;
    for (; plain[i] && i < 31; ++i) {
        unsigned char c = static_cast<unsigned char>(plain[i]);
        out[i] = c == '"' ? '\'' : (c < 32 || c == 127) ? ' ' : lowerCh(plain[i]);
    }
    while (i > 0 && out[i - 1] == ' ') i--;
    out[i] = 0;
}

namespace {

unsigned nextEvent(stBans* b) {
    if (b->events < INT_MAX) b->events++;
    return b->events;
}

// True when an entry from `id` on (not a finished kick) was entered after event `since`.
bool enteredSince(stBans* b, unsigned id, unsigned since, unsigned now) {
    for (; id; id = b->entries[id - 1].nextSame) {
        stBanEntry* e = &b->entries[id - 1];
        if (!banKickOver(e, now) && e->entered > since) return true;
    }
    return false;
}

}  // namespace

void banSetUnbanned(stQzSv* sv, stBanEntry* e, bool unbanned) {
    stBans* b = &sv->bans;
    if (unbanned) {
        if (!e->unbanned) e->unbanned = static_cast<int>(nextEvent(b));
    } else {
        e->unbanned = 0;
        e->entered = nextEvent(b);
    }
}

int banAdd(stQzSv* sv, int kind, const char* key, const char* body, int length) {
    return banAddAt(sv, kind, key, body, length, qzMonoTick());
}

int banAddAt(stQzSv* sv, int kind, const char* key, const char* body, int length, unsigned tick) {
    stBans* b = &sv->bans;
    if (!key || !*key || !body) return 0;
    stMaskRule rule;
    stNameRule nameRule;
    char banned[QZ_BAN_BODY_MAX + 1];
    banned[0] = 0;
    if (kind == QZ_BAN_MASK || kind == QZ_BAN_NAME) firstQuoted(body, banned, qz::cap(banned));
    if (kind == QZ_BAN_MASK && !maskParse(banned, &rule)) return 0;
    if (kind == QZ_BAN_NAME) {
        memset(&nameRule, 0, sizeof nameRule);
        banFoldName(banned, nameRule.folded);
        if (!nameRule.folded[0]) return 0;
    }
    if (b->count == UINT_MAX - 1 || !growEntries(b, b->count + 1)) {
        return 0;
    }
    if (kind == QZ_BAN_MASK && !growArray(&b->masks, &b->maskCap, b->maskCount + 1, 64)) return 0;
    if (kind == QZ_BAN_NAME && !growArray(&b->nameRules, &b->nameCap, b->nameCount + 1, 64)) {
        return 0;
    }
    unsigned text = 0;
    if (!poolAdd(b, body, &text)) return 0;
    unsigned id = b->count;
    stBanEntry* e = &b->entries[id];
    memset(e, 0, sizeof *e);
    QZ_COPY(e->key, key);
    e->length = length;
    e->issueTick = tick;
    e->text = text;
    e->filePos = -1;
    e->kind = static_cast<unsigned char>(kind);
    e->entered = nextEvent(b);
    b->count++;
    if (kind == QZ_BAN_GUID || kind == QZ_BAN_KICK) {
        if (!b->deferLinks && !guidLink(b, id, banHash(b, e->key))) return b->count--, 0;
        if (kind == QZ_BAN_KICK && b->load) banLoadMirrorKick(sv, key, body, length, tick);
    } else if (kind == QZ_BAN_MASK) {
        rule.entry = id;
        b->masks[b->maskCount++] = rule;
        // A few masks added by commands are scanned after the index; a great many of them since
        // the last build start a new one, which later frame calls carry out.
        if (b->maskCount - b->maskIndexed > QZ_MASK_TAIL_MAX) banMaskIndexStart(sv);
    } else {
        nameRule.entry = id;
        b->nameRules[b->nameCount] = nameRule;
        if (!nameLink(b, b->nameCount)) return b->count--, 0;
        b->nameCount++;
    }
    return static_cast<int>(id + 1);
}

void banReserve(stQzSv* sv, unsigned more, size_t textBytes) {
    stBans* b = &sv->bans;
    if (more > UINT_MAX / 2 - b->count) return;
    unsigned need = b->count + more;
    if (growEntries(b, need)) {
        pagesTouch(b->entries, size_t{b->count} * sizeof(stBanEntry),
                   size_t{need} * sizeof(stBanEntry));
    }
    if (textBytes < UINT_MAX - b->poolLen && b->poolLen + textBytes > b->poolCap) {
        size_t want = b->poolLen + textBytes;
        if (char* grown = static_cast<char*>(mapGrow(b->pool, b->poolCap, want))) {
            b->pool = grown;
            b->poolCap = static_cast<unsigned>(want);
        }
    }
    if (b->poolLen + textBytes <= b->poolCap) {
        pagesTouch(b->pool, b->poolLen, b->poolLen + textBytes);
    }
    // The GUID index stays below 70% full with every new entry a GUID of its own.
    uint64_t slots = b->guids.slots ? uint64_t{b->guids.mask} + 1 : uint64_t{kFirstBuckets};
    while ((uint64_t{b->guids.used} + more) * 10 > slots * 7 && slots < (uint64_t{1} << 31))
        slots *= 2;
    if (!b->guids.slots || slots > uint64_t{b->guids.mask} + 1) {
        if (hashResize(&b->guids, static_cast<unsigned>(slots))) {
            pagesTouch(b->guids.slots, 0, static_cast<size_t>(slots) * sizeof(stBanSlot));
        }
    }
}

void banDeferLinks(stQzSv* sv) {
    stBans* b = &sv->bans;
    if (!b->deferLinks) b->deferFrom = b->count;
    b->deferLinks = 1;
}

unsigned banLinkDeferred(stQzSv* sv) {
    stBans* b = &sv->bans;
    if (!b->deferLinks) return 0;
    b->deferLinks = 0;
    hashCopyAll(&b->guids);  // the prefetches below look at the current array only
    auto isGuid = [b](unsigned i) {
        return b->entries[i].kind == QZ_BAN_GUID || b->entries[i].kind == QZ_BAN_KICK;
    };
    // Each key's hash is taken kAhead entries early and its slot prefetched, so that the cache
    // misses of a large load overlap instead of following one another.
    constexpr unsigned kAhead = 16;
    unsigned hashes[kAhead];
    const unsigned from = b->deferFrom, end = b->count;
    for (unsigned i = from; i < end && i < from + kAhead; ++i) {
        if (isGuid(i)) hashes[i % kAhead] = banHash(b, b->entries[i].key);
    }
    for (unsigned i = from; i < end; ++i) {
        const unsigned hash = hashes[i % kAhead];  // taken before its place is reused below
        unsigned ahead = i + kAhead;
        if (ahead < end && isGuid(ahead)) {
            unsigned h = banHash(b, b->entries[ahead].key);
            hashes[ahead % kAhead] = h;
            if (b->guids.slots) __builtin_prefetch(&b->guids.slots[h & b->guids.mask]);
        }
        if (!isGuid(i)) continue;
        if (!guidLink(b, i, hash)) {
            // No memory for the index: the entries from here on cannot be found, so they go.
            unsigned dropped = end - i;
            b->count = i;
            return dropped;
        }
    }
    return 0;
}


stBanEntry* banEntry(stQzSv* sv, int banSlot) {
    if (banSlot < 1 || static_cast<unsigned>(banSlot) > sv->bans.count) return nullptr;
    return &sv->bans.entries[banSlot - 1];
}

const char* banBody(const stQzSv* sv, const stBanEntry* e) { return sv->bans.pool + e->text; }

namespace {

// Queues a mapped block to be handed back later; without room in the queue it goes at once.
void retire(stBanRetired* r, void* block, size_t bytes) {
    if (!block || !bytes) return;
    for (int i = 0; i < QZ_BAN_RETIRED_BLOCKS; ++i) {
        if (!r->at[i]) {
            r->at[i] = static_cast<char*>(block);
            r->len[i] = pageRound(bytes);
            return;
        }
    }
    munmap(block, pageRound(bytes));
}

// Slot arrays come from pagesAlloc, which maps the large ones and takes the small from the heap.
void retireSlots(stBanRetired* r, stBanSlot* slots, unsigned count) {
    if (!slots) return;
    if (slotBytes(count) >= QZ_PAGE_BATCH * 2) {
        retire(r, slots, slotBytes(count));
    } else {
        pagesFree(slots, slotBytes(count));
    }
}

void maskBuildAbandon(stMaskBuild* m) {
    free(m->start);
    free(m->ids);
    free(m->wide);
    free(m->fill);
    memset(m, 0, sizeof *m);
}

}  // namespace

void banFree(stQzSv* sv) {
    stBans* b = &sv->bans;
    stBanRetired* r = &b->retired;
    retire(r, b->entries, size_t{b->capacity} * sizeof(stBanEntry));
    retire(r, b->pool, b->poolCap);
    for (stBanHash* h : {&b->guids, &b->names}) {
        for (int i = 0; i < QZ_PAGE_DROP_BLOCKS; ++i) {
            if (h->drop.at[i]) retire(r, h->drop.at[i], h->drop.len[i]);
        }
        retireSlots(r, h->slots, h->slots ? h->mask + 1 : 0);
        retireSlots(r, h->old, h->old ? h->oldMask + 1 : 0);
    }
    free(b->masks);
    free(b->nameRules);
    free(b->maskStart);
    free(b->maskIds);
    free(b->maskWide);
    maskBuildAbandon(&b->maskBuild);
    stBanListing listing = b->listing;
    stBanLoadWork* load = b->load;
    stBanRetired retired = b->retired;
    memset(b, 0, sizeof *b);
    b->listing = listing;
    b->load = load;
    b->retired = retired;
}

void banDropAll(stQzSv* sv) {
    stBanRetired* r = &sv->bans.retired;
    for (int i = 0; i < QZ_BAN_RETIRED_BLOCKS; ++i) {
        if (r->at[i]) munmap(r->at[i], r->len[i]);
        r->at[i] = nullptr;
        r->len[i] = 0;
    }
}

namespace {

// Hands back retired blocks a slice at a time for about budgetUs of thread CPU time.
void dropSome(stBanRetired* r, long long budgetUs) {
    const long long start = threadCpuMicros();
    for (int i = 0; i < QZ_BAN_RETIRED_BLOCKS; ++i) {
        while (r->at[i]) {
            if (threadCpuMicros() - start >= budgetUs) return;
            size_t slice = r->len[i] > QZ_PAGE_DROP_SLICE ? QZ_PAGE_DROP_SLICE : r->len[i];
            r->len[i] -= slice;
            munmap(r->at[i] + r->len[i], slice);
            if (r->len[i] == 0) r->at[i] = nullptr;
        }
    }
}

}  // namespace

// The three share the budget; the load, which may take a while, has the rest of it and never
// less than a fifth.
void banFrame(stQzSv* sv, long long budgetUs) {
    stBans* b = &sv->bans;
    bool retired = false;
    for (int i = 0; i < QZ_BAN_RETIRED_BLOCKS && !retired; ++i) retired = b->retired.at[i] != nullptr;
    // An idle frame reads no clock (a system call for the thread's CPU time).
    if (!retired && !b->maskBuild.phase && !b->load) return;
    const long long begun = threadCpuMicros();
    if (retired) dropSome(&b->retired, budgetUs * 2 / 5);
    if (sv->bans.maskBuild.phase) banMaskIndexStep(sv, budgetUs * 2 / 5);
    if (!sv->bans.load) return;
    long long left = budgetUs - (threadCpuMicros() - begun);
    banLoadStep(sv, left > budgetUs / 5 ? left : budgetUs / 5);
}

void banIndexMasks(stQzSv* sv) {
    maskBuildAbandon(&sv->bans.maskBuild);
    maskRebuild(&sv->bans);
}

void banMaskIndexStart(stQzSv* sv, bool whole) {
    stMaskBuild* m = &sv->bans.maskBuild;
    if (m->phase && (!whole || m->upto == sv->bans.maskCount)) return;
    maskBuildAbandon(m);
    memset(m, 0, sizeof *m);
    m->phase = 1;
    m->upto = sv->bans.maskCount;
}

bool banMaskIndexStep(stQzSv* sv, long long budgetUs) {
    stBans* b = &sv->bans;
    stMaskBuild* m = &b->maskBuild;
    if (!m->phase) return true;
    const long long begun = threadCpuMicros();
    auto spent = [&] { return threadCpuMicros() - begun >= budgetUs; };
    if (m->phase == 1) {
        if (!m->start) m->start = static_cast<unsigned*>(calloc(65537, sizeof(unsigned)));
        if (!m->start) return maskBuildAbandon(m), true;
        for (; m->next < m->upto; ++m->next) {
            if ((m->next & 255) == 255 && spent()) return false;
            const stMaskRule* r = &b->masks[m->next];
            if (!maskSmall(r)) {
                m->wideCount++;
                continue;
            }
            for (unsigned a = r->lo[0]; a <= r->hi[0]; ++a)
                for (unsigned c = r->lo[1]; c <= r->hi[1]; ++c) m->start[(a << 8 | c) + 1]++;
            m->total += (r->hi[0] - r->lo[0] + 1) * (r->hi[1] - r->lo[1] + 1);
        }
        for (unsigned k = 1; k <= 65536; ++k) m->start[k] += m->start[k - 1];
        m->ids = static_cast<unsigned*>(malloc((m->total ? m->total : 1) * sizeof(unsigned)));
        m->wide = static_cast<unsigned*>(malloc((m->wideCount ? m->wideCount : 1) * sizeof(unsigned)));
        m->fill = static_cast<unsigned*>(malloc(65536 * sizeof(unsigned)));
        if (!m->ids || !m->wide || !m->fill) return maskBuildAbandon(m), true;
        memcpy(m->fill, m->start, 65536 * sizeof(unsigned));
        m->wideCount = 0;
        m->next = 0;
        m->phase = 2;
        return false;
    }
    for (; m->next < m->upto; ++m->next) {
        if ((m->next & 255) == 255 && spent()) return false;
        const stMaskRule* r = &b->masks[m->next];
        if (!maskSmall(r)) {
            m->wide[m->wideCount++] = m->next;
            continue;
        }
        for (unsigned a = r->lo[0]; a <= r->hi[0]; ++a)
            for (unsigned c = r->lo[1]; c <= r->hi[1]; ++c) m->ids[m->fill[a << 8 | c]++] = m->next;
    }
    free(b->maskStart);
    free(b->maskIds);
    free(b->maskWide);
    b->maskStart = m->start;
    b->maskIds = m->ids;
    b->maskWide = m->wide;
    b->maskWideCount = m->wideCount;
    b->maskIndexed = m->upto;
    free(m->fill);
    memset(m, 0, sizeof *m);
    return true;
}

size_t banBytes(const stQzSv* sv) {
    const stBans* b = &sv->bans;
    size_t n = static_cast<size_t>(b->capacity) * sizeof(stBanEntry) + b->poolCap;
    if (b->guids.slots) n += (static_cast<size_t>(b->guids.mask) + 1) * sizeof(stBanSlot);
    if (b->names.slots) n += (static_cast<size_t>(b->names.mask) + 1) * sizeof(stBanSlot);
    for (const stBanHash* h : {&b->guids, &b->names}) {
        if (h->old) n += (static_cast<size_t>(h->oldMask) + 1) * sizeof(stBanSlot);
    }
    n += static_cast<size_t>(b->maskCap) * sizeof(stMaskRule);
    n += static_cast<size_t>(b->nameCap) * sizeof(stNameRule);
    if (b->maskStart) n += 65537 * sizeof(unsigned);
    if (b->maskStart && b->maskIds && b->maskWide) {
        n += static_cast<size_t>(b->maskStart[65536] + b->maskWideCount) * sizeof(unsigned);
    }
    return n;
}

bool banKickOver(stBanEntry* e, unsigned now) {
    if (e->kind != QZ_BAN_KICK || e->length <= 0) return false;
    // Sticky, so that a tick that wraps much later cannot bring a finished kick back.
    if (!e->expired && e->length - tickElapsed(now, e->issueTick) / 60000 <= 0) e->expired = 1;
    return e->expired != 0;
}

// A finished kick is gone from the GUID's entries whether or not it was unbanned, so that a
// kick lifted early can never hide a later ban.
int banRejoin(stQzSv* sv, const char* guid, unsigned now, int* banSlot) {
    stBans* b = &sv->bans;
    *banSlot = 0;
    if (!guid || !*guid) return 0;
    auto same = [b, guid](unsigned other) { return trcasecmp(b->entries[other].key, guid) == 0; };
    stBanSlot* s = hashFind(&b->guids, banHash(b, guid), same, false);
    unsigned id = s ? s->head : 0, last = 0;
    while (id && banKickOver(&b->entries[id - 1], now)) {
        last = id;
        id = b->entries[id - 1].nextSame;
    }
    // Finished kicks never count again, so the walk past them is made once; the last one stays
    // as the head while nothing follows it, so that the GUID is still found in the list.
    if (s && (id || last)) s->head = id ? id : last;
    // An unbanned entry decides (admits) unless a later entry came after its unban.
    while (id) {
        stBanEntry* e = &b->entries[id - 1];
        if (banKickOver(e, now)) {
            id = e->nextSame;
            continue;
        }
        if (!e->unbanned) break;
        if (!enteredSince(b, e->nextSame, static_cast<unsigned>(e->unbanned), now)) {
            *banSlot = static_cast<int>(id);
            return 0;
        }
        id = e->nextSame;
    }
    if (!id) return 0;
    stBanEntry* e = &b->entries[id - 1];
    *banSlot = static_cast<int>(id);
    if (e->length <= 0) return -1;
    int left = e->length - tickElapsed(now, e->issueTick) / 60000;
    return left > 0 ? left : 0;
}

int banMaskFind(stQzSv* sv, const char* address) {
    stBans* b = &sv->bans;
    unsigned char o[4];
    unsigned port = 0;
    if (!b->maskCount || !maskAddress(address, o, &port)) return 0;
    unsigned best = UINT_MAX;
    if (b->maskIndexed) {
        unsigned bucket = static_cast<unsigned>(o[0]) << 8 | o[1];
        for (unsigned i = b->maskStart[bucket]; i < b->maskStart[bucket + 1]; ++i) {
            if (maskRuleMatches(b, b->maskIds[i], o, port)) {
                best = b->maskIds[i];
                break;
            }
        }
        for (unsigned i = 0; i < b->maskWideCount && b->maskWide[i] < best; ++i) {
            if (maskRuleMatches(b, b->maskWide[i], o, port)) {
                best = b->maskWide[i];
                break;
            }
        }
    }
    // The masks added since the index was built come after every indexed one in list order.
    for (unsigned i = b->maskIndexed; best == UINT_MAX && i < b->maskCount; ++i)
        if (maskRuleMatches(b, i, o, port)) best = i;
    return best == UINT_MAX ? 0 : static_cast<int>(b->masks[best].entry + 1);
}

int banNameFind(stQzSv* sv, const char* name) {
    stBans* b = &sv->bans;
    if (!b->nameCount) return 0;
    char folded[32];
    banFoldName(name, folded);
    auto same = [b, &folded](unsigned other) {
        return strcmp(b->nameRules[other].folded, folded) == 0;
    };
    stBanSlot* s = hashFind(&b->names, banHash(b, folded), same, false);
    for (unsigned r = s ? s->head : 0; r; r = b->nameRules[r - 1].next) {
        const stNameRule* rule = &b->nameRules[r - 1];
        if (!b->entries[rule->entry].unbanned) return static_cast<int>(rule->entry + 1);
    }
    return 0;
}

int banUnbanGuid(stQzSv* sv, const char* guid) {
    stBans* b = &sv->bans;
    if (!guid || !*guid) return 0;
    auto same = [b, guid](unsigned other) { return trcasecmp(b->entries[other].key, guid) == 0; };
    stBanSlot* s = hashFind(&b->guids, banHash(b, guid), same, false);
    int n = 0;
    for (unsigned id = s ? s->head : 0; id; id = b->entries[id - 1].nextSame) {
        banSetUnbanned(sv, &b->entries[id - 1], true);
        n++;
    }
    return n;
}

void banCheck(stQzSv* sv, const char* guid, const char* address, const char* name, unsigned now,
              stBanVerdict* out) {
    out->rejoin = banRejoin(sv, guid, now, &out->rejoinSlot);
    out->maskSlot = banMaskFind(sv, address);
    out->nameSlot = banNameFind(sv, name);
}
