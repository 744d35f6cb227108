// The keyed record tables and their shared hash index. Records live in one block per table;
// the index is a single open-addressing bucket array for all tables, each bucket naming a table
// (low 8 bits, table + 1) and a record number (the rest). The hash, probe and growth rules are
// fixed ones: the bucket statistics and the order in which lookups meet records follow from
// them, so they must not be "improved" in place.
#include "util/keyed.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// A bucket keeps the record number in its upper 24 bits.
constexpr int kMaxRecords = 1 << 24;
// The index grows before an insert once this percentage of its buckets is taken.
constexpr uint64_t kGrowPercent = 90;

bool tableOk(const stKeyStore* store, int t) { return store && t >= 0 && t < store->ntables; }

char* recordAt(const stKeyTable& table, int i) {
    return table.recs + static_cast<size_t>(i) * static_cast<size_t>(table.recSize);
}

bool allZero(const char* bytes, int len) {
    for (int i = 0; i < len; ++i) {
        if (bytes[i]) return false;
    }
    return true;
}

// FNV-1a folded to one byte: independent of keyHash, whose high bits hardly vary.
unsigned char keyTag(const char* key, int len) {
    uint32_t h = 2166136261u;
    for (int i = 0; i < len; ++i) {
        h ^= static_cast<unsigned char>(key[i]);
        h *= 16777619u;
    }
    return static_cast<unsigned char>(h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24));
}

unsigned entryFor(int t, int record) {
    return static_cast<unsigned>(t + 1) + static_cast<unsigned>(record) * 256u;
}

// Puts one record into the index by linear probing and keeps the probe statistics. With no
// bucket array, or with every bucket taken, the record simply stays unindexed.
void indexInsert(stKeyStore* store, int t, int record) {
    stKeyIndex& idx = store->index;
    if (!idx.bucket || idx.used >= idx.buckets) return;
    const stKeyTable& table = store->tables[t];
    const char* key = recordAt(table, record) + table.keyOff;
    unsigned b = keyHash(t, key, table.keyLen) % idx.buckets;
    unsigned probes = 1;
    while (idx.bucket[b] != 0) {
        if (probes >= idx.buckets) return;
        ++probes;
        b = b + 1 < idx.buckets ? b + 1 : 0;
    }
    idx.bucket[b] = entryFor(t, record);
    idx.tag[b] = keyTag(key, table.keyLen);
    if (probes > idx.longestRun) idx.longestRun = probes;
    if (probes > 1) {
        idx.collisions++;
        idx.multiProbes++;
    }
    idx.used++;
}

// Replaces the bucket array by an empty one of `buckets` buckets and indexes every live record
// again, table by table and record by record, which also drops the buckets of released records.
// On allocation failure the old index stays as it was.
bool indexRebuild(stKeyStore* store, unsigned buckets) {
    unsigned* fresh = static_cast<unsigned*>(calloc(buckets, sizeof(unsigned)));
    unsigned char* freshTags = static_cast<unsigned char*>(malloc(buckets));
    if (!fresh || !freshTags) {
        free(fresh);
        free(freshTags);
        return false;
    }
    stKeyIndex& idx = store->index;
    free(idx.bucket);
    free(idx.tag);
    idx.bucket = fresh;
    idx.tag = freshTags;
    idx.buckets = buckets;
    idx.desired = buckets;
    idx.used = 0;
    idx.collisions = 0;
    idx.multiProbes = 0;
    idx.longestRun = 0;
    for (int t = 0; t < store->ntables; ++t) {
        const stKeyTable& table = store->tables[t];
        for (int r = 0; r < table.count; ++r) {
            if (!allZero(recordAt(table, r) + table.keyOff, table.keyLen)) indexInsert(store, t, r);
        }
    }
    return true;
}

// Makes room in the index for one more record: the first store creates the bucket array (when
// the desired size is large enough to be worth one), and a 90% full array is replaced by one of
// twice the size plus one.
bool indexReserve(stKeyStore* store) {
    stKeyIndex& idx = store->index;
    if (!idx.bucket) {
        return idx.desired < QZ_KEY_MIN_BUCKETS || indexRebuild(store, idx.desired);
    }
    if (uint64_t{idx.used} * 100 / idx.buckets < kGrowPercent) return true;
    if (idx.buckets > (UINT32_MAX - 1) / 2 / sizeof(unsigned)) return false;
    return indexRebuild(store, idx.buckets * 2 + 1);
}

// A slot for one more record of the table: the first free one, else the one after the last
// record (count, which the caller commits), growing the block to the initial capacity and then
// by doubling; -1 (block unchanged) when it cannot grow.
int takeSlot(stKeyTable& table) {
    if (table.live < table.count) {
        for (int r = 0; r < table.count; ++r) {
            if (allZero(recordAt(table, r) + table.keyOff, table.keyLen)) return r;
        }
    }
    if (table.count >= table.capacity) {
        int64_t want = table.capacity < table.initCap ? table.initCap : int64_t{table.capacity} * 2;
        if (want > kMaxRecords) want = kMaxRecords;
        if (want <= table.count) return -1;
        size_t bytes = static_cast<size_t>(want) * static_cast<size_t>(table.recSize);
        if (bytes / static_cast<size_t>(table.recSize) != static_cast<size_t>(want)) return -1;
        char* grown = static_cast<char*>(realloc(table.recs, bytes));
        if (!grown) return -1;
        table.recs = grown;
        table.capacity = static_cast<int>(want);
    }
    return table.count;
}

}  // namespace

void keyStoreInit(stKeyStore* store, unsigned desiredBuckets) {
    if (!store) return;
    memset(store, 0, sizeof *store);
    store->index.desired = desiredBuckets;
}

void keyStoreFree(stKeyStore* store) {
    if (!store) return;
    for (int t = 0; t < store->ntables; ++t) free(store->tables[t].recs);
    free(store->index.bucket);
    free(store->index.tag);
    memset(store, 0, sizeof *store);
}

int keyTableCreate(stKeyStore* store, const char* name, int recSize, int keyOff, int keyLen,
                   int initCap) {
    if (!store || store->ntables >= QZ_KEY_TABLES || !name) return -1;
    if (recSize < 1 || keyOff < 0 || keyLen < 1 || keyOff > recSize - keyLen) return -1;
    if (initCap < 1 || initCap > kMaxRecords) return -1;
    int t = store->ntables++;
    stKeyTable& table = store->tables[t];
    memset(&table, 0, sizeof table);
    size_t n = strnlen(name, sizeof table.name - 1);
    memcpy(table.name, name, n);
    table.recSize = recSize;
    table.keyOff = keyOff;
    table.keyLen = keyLen;
    table.initCap = initCap;
    return t;
}

int keyTableFind(const stKeyStore* store, const char* name) {
    if (!store || !name) return -1;
    for (int t = 0; t < store->ntables; ++t) {
        if (strncmp(store->tables[t].name, name, sizeof store->tables[t].name) == 0) return t;
    }
    return -1;
}

size_t keyStoreBytes(const stKeyStore* store) {
    if (!store) return 0;
    size_t bytes = size_t{store->index.buckets} * (sizeof(unsigned) + 1);
    for (int t = 0; t < store->ntables; ++t) {
        const stKeyTable& table = store->tables[t];
        bytes += static_cast<size_t>(table.capacity) * static_cast<size_t>(table.recSize);
    }
    return bytes;
}

// Each key byte is taken as a signed character; everything wraps at 32 bits.
unsigned keyHash(int t, const void* key, int keyLen) {
    const signed char* bytes = static_cast<const signed char*>(key);
    uint32_t tt = static_cast<uint32_t>(t);
    uint32_t h = 905585553u;
    for (int i = 0; i < keyLen; ++i) {
        uint32_t ui = static_cast<uint32_t>(i);
        uint32_t c = static_cast<uint32_t>(static_cast<int32_t>(bytes[i]));
        h += 5781u * ui + (ui + 10073u) * tt + (ui + 87623u) * c;
    }
    return h;
}

// The cursor counts the buckets probed so far (or, with no index, the records scanned), so a
// later call resumes the probe run just past the previous match.
void* keyFindNext(stKeyStore* store, int t, const void* key, unsigned* cursor) {
    if (!tableOk(store, t) || !key || !cursor) return nullptr;
    const stKeyTable& table = store->tables[t];
    if (allZero(static_cast<const char*>(key), table.keyLen)) return nullptr;
    const stKeyIndex& idx = store->index;
    if (!idx.bucket) {
        for (unsigned r = *cursor; r < static_cast<unsigned>(table.count); ++r) {
            char* rec = recordAt(table, static_cast<int>(r));
            if (memcmp(rec + table.keyOff, key, static_cast<size_t>(table.keyLen)) == 0) {
                *cursor = r + 1;
                return rec;
            }
        }
        *cursor = static_cast<unsigned>(table.count);
        return nullptr;
    }
    unsigned home = keyHash(t, key, table.keyLen) % idx.buckets;
    unsigned char tag = keyTag(static_cast<const char*>(key), table.keyLen);
    while (*cursor < idx.buckets) {
        unsigned b = home + *cursor;
        if (b >= idx.buckets) b -= idx.buckets;
        unsigned entry = idx.bucket[b];
        if (entry == 0) break;
        ++*cursor;
        if ((entry & 0xFFu) != static_cast<unsigned>(t + 1) || idx.tag[b] != tag) continue;
        unsigned r = entry >> 8;
        if (r >= static_cast<unsigned>(table.count)) continue;
        char* rec = recordAt(table, static_cast<int>(r));
        if (memcmp(rec + table.keyOff, key, static_cast<size_t>(table.keyLen)) == 0) return rec;
    }
    *cursor = idx.buckets;
    return nullptr;
}

void* keyFind(stKeyStore* store, int t, const void* key) {
    unsigned cursor = 0;
    return keyFindNext(store, t, key, &cursor);
}

void* keyStoreRecord(stKeyStore* store, int t, const void* record) {
    if (!tableOk(store, t) || !record) return nullptr;
    stKeyTable& table = store->tables[t];
    const char* bytes = static_cast<const char*>(record);
    if (allZero(bytes + table.keyOff, table.keyLen)) return nullptr;
    // The block grows first: if the index then cannot grow, the spare capacity is harmless. The
    // new slot only becomes a record after the index has room, so a rebuild never sees it.
    int slot = takeSlot(table);
    if (slot < 0 || !indexReserve(store)) return nullptr;
    if (slot == table.count) table.count++;
    char* rec = recordAt(table, slot);
    memcpy(rec, bytes, static_cast<size_t>(table.recSize));
    table.live++;
    store->inserted++;
    indexInsert(store, t, slot);
    return rec;
}

void* keyRecord(stKeyStore* store, int t, int i) {
    if (!tableOk(store, t) || i < 0 || i >= store->tables[t].count) return nullptr;
    return recordAt(store->tables[t], i);
}

// The record's bucket is retired rather than emptied, so probe runs that pass through it stay
// intact; the next growth of the index drops it.
void keyRelease(stKeyStore* store, int t, int i) {
    char* rec = static_cast<char*>(keyRecord(store, t, i));
    if (!rec) return;
    stKeyTable& table = store->tables[t];
    if (allZero(rec + table.keyOff, table.keyLen)) return;
    stKeyIndex& idx = store->index;
    if (idx.bucket) {
        unsigned b = keyHash(t, rec + table.keyOff, table.keyLen) % idx.buckets;
        unsigned want = entryFor(t, i);
        for (unsigned probes = 0; probes < idx.buckets && idx.bucket[b] != 0; ++probes) {
            if (idx.bucket[b] == want) {
                idx.bucket[b] = QZ_KEY_RELEASED;
                break;
            }
            b = b + 1 < idx.buckets ? b + 1 : 0;
        }
    }
    memset(rec, 0, static_cast<size_t>(table.recSize));
    table.live--;
}

// The value is cut at its first blank; a pair already present (same key, same value) is not
// added again, while one key may hold several values.
int pairAdd(stKeyStore* store, int t, const char* value, const char* key) {
    if (!tableOk(store, t)) return 0;
    const stKeyTable& table = store->tables[t];
    if (table.recSize != QZ_PAIR_RECORD || table.keyOff != 0 || table.keyLen != QZ_PAIR_KEY) {
        return 0;
    }
    char rec[QZ_PAIR_RECORD] = {};
    if (key) memcpy(rec, key, strnlen(key, QZ_PAIR_KEY - 1));
    for (int i = 0; value && i < QZ_PAIR_KEY - 1 && value[i] && value[i] != ' '; ++i) {
        rec[QZ_PAIR_KEY + i] = value[i];
    }
    if (allZero(rec, QZ_PAIR_KEY)) return 1;
    unsigned cursor = 0;
    while (const char* found = static_cast<const char*>(keyFindNext(store, t, rec, &cursor))) {
        if (strncmp(found + QZ_PAIR_KEY, rec + QZ_PAIR_KEY, QZ_PAIR_KEY) == 0) return 0;
    }
    return keyStoreRecord(store, t, rec) ? 1 : 0;
}
