// The keyed record tables and their shared hash index. Records live in blocks per table;
// the index is a single open-addressing bucket array for all tables, each bucket naming a table
// (low 8 bits, table + 1) and a record number (the rest). Probing is linear from the key's home
// bucket; a store with a hash key finds the home by SipHash-2-4, one without by keyHash.
//
// Growth is incremental: at 90% the current array becomes the "old" array and an empty one of
// twice the size plus one takes its place. Every later store and release moves a few records
// of the old array (a step); lookups search the current array, then the old one. Moved and
// released buckets of the old array become retired buckets, so its probe runs stay intact
// until it is freed. Records of one key are met in the order they were stored: a store of a
// key first moves that key's records out of the old array, and the steps move the old array
// from the start of a probe run onwards.
#include "util/keyed.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/clock.h"

namespace {

// A bucket keeps the record number in its upper 24 bits.
constexpr int kMaxRecords = 1 << 24;
// The index grows before an insert once this percentage of its buckets is taken.
constexpr uint64_t kGrowPercent = 90;
// An old array of at most this many buckets is moved at once when the index grows (well under
// a millisecond); larger ones move a step at a time.
constexpr unsigned kMoveAtOnce = 2048;
// One step visits at most this many old buckets and moves at most kStepMoves records. A step
// moves about 4 records per 16 buckets of a 90% full array, so the old array is empty long
// before the new one (more than twice as large) can fill; small steps keep each store short.
constexpr unsigned kStepVisits = 16;
constexpr unsigned kStepMoves = 4;
// The next bucket array is made once kPreparePercent of the buckets are taken; its pages are
// touched a batch at a time, all of them by kReadyPercent, well before the growth at 90%.
constexpr uint64_t kPreparePercent = 70;
constexpr uint64_t kReadyPercent = 85;
// Bytes of records kept ready past the one being stored: 8 pages.
constexpr size_t kRecordsAhead = 32 * 1024;

bool tableOk(const stKeyStore* store, int t) { return store && t >= 0 && t < store->ntables; }

char* recordAt(const stKeyTable& table, int i) {
    return table.chunks[i >> QZ_KEY_CHUNK_SHIFT] +
           static_cast<size_t>(i & (QZ_KEY_CHUNK - 1)) * static_cast<size_t>(table.recSize);
}

bool allZero(const char* bytes, int len) {
    for (int i = 0; i < len; ++i) {
        if (bytes[i]) return false;
    }
    return true;
}

// FNV-1a folded to one byte: the fingerprint of a store without a hash key, independent of
// keyHash, whose high bits hardly vary.
unsigned char keyTag(const char* key, int len) {
    uint32_t h = 2166136261u;
    for (int i = 0; i < len; ++i) {
        h ^= static_cast<unsigned char>(key[i]);
        h *= 16777619u;
    }
    return static_cast<unsigned char>(h ^ (h >> 8) ^ (h >> 16) ^ (h >> 24));
}

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

uint64_t load64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

struct Sip {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

uint64_t sipHash(uint64_t k0, uint64_t k1, const unsigned char* in, size_t len) {
    Sip s{0x736f6d6570736575ull ^ k0, 0x646f72616e646f6dull ^ k1, 0x6c7967656e657261ull ^ k0,
          0x7465646279746573ull ^ k1};
    const unsigned char* end = in + (len & ~size_t{7});
    for (; in != end; in += 8) {
        uint64_t m = load64(in);
        s.v3 ^= m;
        s.round();
        s.round();
        s.v0 ^= m;
    }
    uint64_t b = static_cast<uint64_t>(len) << 56;
    for (size_t i = len & 7; i > 0; --i) b |= static_cast<uint64_t>(in[i - 1]) << (8 * (i - 1));
    s.v3 ^= b;
    s.round();
    s.round();
    s.v0 ^= b;
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// Where a key lives in the index: its hash (which gives its home bucket) and its fingerprint.
struct Hashed {
    unsigned h;
    unsigned char tag;
};

Hashed hashOf(const stKeyStore* store, int t, const char* key, int len) {
    if (!store->keyed) return {keyHash(t, key, len), keyTag(key, len)};
    // The table number goes into the key, so equal keys of two tables land apart.
    uint64_t k0 = load64(store->hashKey) ^ (static_cast<uint64_t>(t + 1) * 0x9E3779B97F4A7C15ull);
    uint64_t v = sipHash(k0, load64(store->hashKey + 8),
                         reinterpret_cast<const unsigned char*>(key), static_cast<size_t>(len));
    return {static_cast<unsigned>(v), static_cast<unsigned char>(v >> 56)};
}

Hashed hashOfRecord(const stKeyStore* store, int t, int record) {
    const stKeyTable& table = store->tables[t];
    return hashOf(store, t, recordAt(table, record) + table.keyOff, table.keyLen);
}

unsigned entryFor(int t, int record) {
    return static_cast<unsigned>(t + 1) + static_cast<unsigned>(record) * 256u;
}

bool isRecordEntry(unsigned entry) { return entry != 0 && entry != QZ_KEY_RELEASED; }

// The home bucket of hash h in an array of n buckets. A keyed store scales the hash to the
// array, so that neighbouring buckets of an old array send their records to neighbouring
// buckets of the new one and a growth writes the new array in order; a store without a hash key
// takes the hash modulo n.
unsigned homeOf(const stKeyStore* store, unsigned h, unsigned n) {
    return store->keyed ? static_cast<unsigned>((uint64_t{h} * n) >> 32) : h % n;
}

// Files one record into the current array by linear probing and keeps the probe statistics.
// With no bucket array, or with every bucket taken, the record simply stays unindexed.
void indexPlace(stKeyStore* store, unsigned entry, Hashed hk) {
    stKeyIndex& idx = store->index;
    if (!idx.bucket || idx.used >= idx.buckets) return;
    unsigned b = homeOf(store, hk.h, idx.buckets);
    unsigned probes = 1;
    while (idx.bucket[b] != 0) {
        if (probes >= idx.buckets) return;
        ++probes;
        b = b + 1 < idx.buckets ? b + 1 : 0;
    }
    idx.bucket[b] = entry;
    idx.tag[b] = hk.tag;
    if (idx.hash) idx.hash[b] = hk.h;
    if (probes > idx.longestRun) idx.longestRun = probes;
    if (probes > 1) {
        idx.collisions++;
        idx.multiProbes++;
    }
    idx.used++;
}

void indexInsert(stKeyStore* store, int t, int record) {
    indexPlace(store, entryFor(t, record), hashOfRecord(store, t, record));
}

size_t bucketBytes(unsigned buckets) { return size_t{buckets} * sizeof(unsigned); }

// An array too large to move at once grows a step at a time and keeps its buckets' hashes.
bool keepsHashes(unsigned buckets) { return buckets > kMoveAtOnce; }

// A bucket array and its fingerprints, and for an array that grows a step at a time its hashes,
// zeroed; false (nothing allocated) when memory runs out.
bool allocArrays(unsigned buckets, unsigned** bucket, unsigned char** tag, unsigned** hash) {
    *bucket = static_cast<unsigned*>(pagesAlloc(bucketBytes(buckets)));
    *tag = static_cast<unsigned char*>(pagesAlloc(buckets));
    *hash =
        keepsHashes(buckets) ? static_cast<unsigned*>(pagesAlloc(bucketBytes(buckets))) : nullptr;
    if (*bucket && *tag && (*hash || !keepsHashes(buckets))) return true;
    pagesFree(*bucket, bucketBytes(buckets));
    pagesFree(*tag, buckets);
    pagesFree(*hash, bucketBytes(buckets));
    *bucket = nullptr;
    *tag = nullptr;
    *hash = nullptr;
    return false;
}

size_t arrayBytes(unsigned buckets) {
    return size_t{buckets} * (sizeof(unsigned) + 1) +
           (keepsHashes(buckets) ? bucketBytes(buckets) : 0);
}

void freeArrays(unsigned buckets, unsigned* bucket, unsigned char* tag, unsigned* hash) {
    pagesFree(bucket, bucketBytes(buckets));
    pagesFree(tag, buckets);
    pagesFree(hash, bucketBytes(buckets));
}

void freeNext(stKeyIndex& idx) {
    freeArrays(idx.nextBuckets, idx.nextBucket, idx.nextTag, idx.nextHash);
    idx.nextBucket = nullptr;
    idx.nextTag = nullptr;
    idx.nextHash = nullptr;
    idx.nextBuckets = 0;
    for (stPageWarm& w : idx.nextWarm) w = {};
}

// The old array of a finished growth goes back to the system a slice per later store.
void freeOld(stKeyIndex& idx) {
    pagesDropLater(&idx.drop, idx.oldBucket, bucketBytes(idx.oldBuckets));
    pagesDropLater(&idx.drop, idx.oldTag, idx.oldBuckets);
    pagesDropLater(&idx.drop, idx.oldHash, bucketBytes(idx.oldBuckets));
    idx.oldBucket = nullptr;
    idx.oldTag = nullptr;
    idx.oldHash = nullptr;
    idx.oldBuckets = 0;
    idx.oldLive = 0;
    idx.moveAt = 0;
    idx.moveLeft = 0;
}

// Moves the record of old bucket b (if it holds one) to the current array and retires b. A large
// array keeps each bucket's hash, so the record itself is not read; a small one (moved at once)
// hashes the record's key again.
void moveBucket(stKeyStore* store, unsigned b) {
    stKeyIndex& idx = store->index;
    unsigned entry = idx.oldBucket[b];
    if (!isRecordEntry(entry)) return;
    int t = static_cast<int>(entry & 0xFFu) - 1;
    int r = static_cast<int>(entry >> 8);
    idx.oldBucket[b] = QZ_KEY_RELEASED;
    idx.oldLive--;
    if (!tableOk(store, t) || r >= store->tables[t].count) return;
    Hashed hk = idx.oldHash ? Hashed{idx.oldHash[b], idx.oldTag[b]} : hashOfRecord(store, t, r);
    indexPlace(store, entry, hk);
}

// One step of the growth: visits up to `visits` old buckets, moving up to `moves` records.
void moveStep(stKeyStore* store, unsigned visits, unsigned moves) {
    stKeyIndex& idx = store->index;
    while (idx.oldBucket && visits > 0 && moves > 0) {
        if (idx.moveLeft == 0 || idx.oldLive == 0) {
            freeOld(idx);
            return;
        }
        if (isRecordEntry(idx.oldBucket[idx.moveAt])) {
            moveBucket(store, idx.moveAt);
            --moves;
        }
        --visits;
        --idx.moveLeft;
        idx.moveAt = idx.moveAt + 1 < idx.oldBuckets ? idx.moveAt + 1 : 0;
    }
    if (idx.oldBucket && (idx.moveLeft == 0 || idx.oldLive == 0)) freeOld(idx);
}

void moveAll(stKeyStore* store) {
    while (store->index.oldBucket) moveStep(store, UINT32_MAX, UINT32_MAX);
}

// Before a record of this key is stored during growth: the key's records still in the old
// array move first, in their probe order, so that they stay ahead of the new one.
void moveKey(stKeyStore* store, int t, const char* key, Hashed hk) {
    stKeyIndex& idx = store->index;
    if (!idx.oldBucket) return;
    const stKeyTable& table = store->tables[t];
    unsigned b = homeOf(store, hk.h, idx.oldBuckets);
    for (unsigned probes = 0; probes < idx.oldBuckets && idx.oldBucket[b] != 0; ++probes) {
        unsigned entry = idx.oldBucket[b];
        if ((entry & 0xFFu) == static_cast<unsigned>(t + 1) && idx.oldTag[b] == hk.tag) {
            unsigned r = entry >> 8;
            if (r < static_cast<unsigned>(table.count) &&
                memcmp(recordAt(table, static_cast<int>(r)) + table.keyOff, key,
                       static_cast<size_t>(table.keyLen)) == 0) {
                moveBucket(store, b);
            }
        }
        b = b + 1 < idx.oldBuckets ? b + 1 : 0;
    }
    if (idx.oldLive == 0) freeOld(idx);
}

// Replaces the whole index by an empty array of `buckets` buckets and files every live record
// again, table by table and record by record (used to create the first array and when the
// hash key changes). On allocation failure the old index stays as it was.
bool indexRebuild(stKeyStore* store, unsigned buckets) {
    unsigned* fresh = nullptr;
    unsigned char* freshTags = nullptr;
    unsigned* freshHashes = nullptr;
    if (!allocArrays(buckets, &fresh, &freshTags, &freshHashes)) return false;
    stKeyIndex& idx = store->index;
    freeOld(idx);
    pagesDropAll(&idx.drop);
    freeNext(idx);
    freeArrays(idx.buckets, idx.bucket, idx.tag, idx.hash);
    idx.bucket = fresh;
    idx.tag = freshTags;
    idx.hash = freshHashes;
    idx.buckets = buckets;
    idx.desired = buckets;
    idx.used = 0;
    idx.retired = 0;
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

// Starts a growth: the current array becomes the old one and an empty array of twice the size
// plus one takes its place. The moves start just after an empty bucket, at the head of a probe
// run, so each run moves in its own order. A small old array moves at once.
bool indexGrow(stKeyStore* store) {
    stKeyIndex& idx = store->index;
    if (idx.buckets > (UINT32_MAX - 1) / 2 / sizeof(unsigned)) return false;
    unsigned buckets = idx.buckets * 2 + 1;
    unsigned* fresh = nullptr;
    unsigned char* freshTags = nullptr;
    unsigned* freshHashes = nullptr;
    if (idx.nextBucket && idx.nextBuckets == buckets) {
        fresh = idx.nextBucket;
        freshTags = idx.nextTag;
        freshHashes = idx.nextHash;
        idx.nextBucket = nullptr;
        idx.nextTag = nullptr;
        idx.nextHash = nullptr;
        idx.nextBuckets = 0;
        for (stPageWarm& w : idx.nextWarm) w = {};
    } else {
        freeNext(idx);
        if (!allocArrays(buckets, &fresh, &freshTags, &freshHashes)) return false;
    }
    unsigned start = 0;
    while (start < idx.buckets && idx.bucket[start] != 0) start++;
    if (start == idx.buckets) start = 0;
    idx.oldBucket = idx.bucket;
    idx.oldTag = idx.tag;
    idx.oldHash = idx.hash;
    idx.oldBuckets = idx.buckets;
    idx.oldLive = idx.used - idx.retired;
    idx.moveAt = start;
    idx.moveLeft = idx.buckets;
    idx.bucket = fresh;
    idx.tag = freshTags;
    idx.hash = freshHashes;
    idx.buckets = buckets;
    idx.desired = buckets;
    idx.used = 0;
    idx.retired = 0;
    idx.collisions = 0;
    idx.multiProbes = 0;
    idx.longestRun = 0;
    if (idx.oldLive == 0 || idx.oldBuckets <= kMoveAtOnce) moveAll(store);
    return true;
}

// One warm step over the next array: its buckets first, then its fingerprints, then its hashes.
void warmNext(stKeyIndex& idx) {
    if (pagesWarmStep(idx.nextBucket, bucketBytes(idx.nextBuckets), &idx.nextWarm[0])) return;
    if (pagesWarmStep(idx.nextTag, idx.nextBuckets, &idx.nextWarm[1])) return;
    pagesWarmStep(idx.nextHash, bucketBytes(idx.nextBuckets), &idx.nextWarm[2]);
}

// From 70% full on (and no growth in progress) the next bucket array exists, and its pages are
// made ready a warm step at a time in step with the filling (when `warm` allows a step in this
// store), all of them by 85%, well before the growth starts at 90% and its moves and stores write
// all over the array. A small array grows at once and needs none of this.
void prepareNext(stKeyStore* store, bool warm) {
    stKeyIndex& idx = store->index;
    if (idx.oldBucket || idx.buckets <= kMoveAtOnce) return;
    uint64_t load = uint64_t{idx.used} * 100;
    uint64_t from = kPreparePercent * idx.buckets;
    if (load < from) return;
    if (!idx.nextBucket) {
        if (idx.buckets > (UINT32_MAX - 1) / 2 / sizeof(unsigned)) return;
        unsigned buckets = idx.buckets * 2 + 1;
        // Without memory now, the growth tries again itself.
        if (!allocArrays(buckets, &idx.nextBucket, &idx.nextTag, &idx.nextHash)) return;
        idx.nextBuckets = buckets;
        for (stPageWarm& w : idx.nextWarm) w = {};
        return;
    }
    size_t total = arrayBytes(idx.nextBuckets);
    size_t ready = idx.nextWarm[0].touched + idx.nextWarm[1].touched + idx.nextWarm[2].touched;
    if (!warm || ready >= total) return;
    double span = static_cast<double>((kReadyPercent - kPreparePercent) * idx.buckets);
    double done = static_cast<double>(load - from) / span;
    if (static_cast<double>(ready) <= done * static_cast<double>(total)) warmNext(idx);
}

// Makes room in the index for one more record: the first store creates the bucket array (when
// the desired size is large enough to be worth one); every store takes one step of a growth in
// progress, hands back a slice of a finished one's old array and prepares the next array (with a
// warm step when `warm` allows one); a 90% full array starts a growth.
bool indexReserve(stKeyStore* store, bool warm) {
    stKeyIndex& idx = store->index;
    if (!idx.bucket) {
        return idx.desired < QZ_KEY_MIN_BUCKETS || indexRebuild(store, idx.desired);
    }
    pagesDropStep(&idx.drop);
    moveStep(store, kStepVisits, kStepMoves);
    prepareNext(store, warm);
    if ((uint64_t{idx.used} + idx.oldLive) * 100 / idx.buckets < kGrowPercent) return true;
    // Only reached when releases and stores churn during a growth: finish it first.
    moveAll(store);
    if (uint64_t{idx.used} * 100 / idx.buckets < kGrowPercent) return true;
    return indexGrow(store);
}

int chunksFor(int capacity) { return (capacity + QZ_KEY_CHUNK - 1) >> QZ_KEY_CHUNK_SHIFT; }

size_t chunkBytes(const stKeyTable& table) {
    return static_cast<size_t>(QZ_KEY_CHUNK) * static_cast<size_t>(table.recSize);
}

// Adds one block of records (a mapping whose pages stay untouched until they are made ready);
// false, with the table as it was, when memory runs out.
bool addBlock(stKeyTable& table) {
    auto** grown = static_cast<char**>(
        realloc(table.chunks, static_cast<size_t>(table.blocks + 1) * sizeof(char*)));
    if (!grown) return false;
    table.chunks = grown;
    table.chunks[table.blocks] = static_cast<char*>(pagesAlloc(chunkBytes(table)));
    if (!table.chunks[table.blocks]) return false;
    table.blocks++;
    return true;
}

// Makes room for `want` records. Blocks are allocated whole, so the capacity grows without
// copying a record; it counts the slots the table has taken, not the blocks' size. False, with
// the capacity as it was, when memory runs out.
bool growRecords(stKeyTable& table, int want) {
    while (table.blocks < chunksFor(want)) {
        if (!addBlock(table)) return false;
    }
    table.capacity = want;
    return true;
}

// A slot for one more record of the table: the first free one, else the one after the last
// record (count, which the caller commits), growing the records to the initial capacity, then
// by doubling up to a whole first block, then a block at a time; -1 (records unchanged) when
// they cannot grow.
int takeSlot(stKeyTable& table) {
    if (table.live < table.count) {
        for (int r = table.freeFrom; r < table.count; ++r) {
            if (allZero(recordAt(table, r) + table.keyOff, table.keyLen)) return r;
        }
    }
    if (table.count >= table.capacity) {
        int64_t want = table.capacity < table.initCap ? table.initCap : int64_t{table.capacity} * 2;
        if (table.capacity >= QZ_KEY_CHUNK) {
            want = int64_t{chunksFor(table.capacity)} * QZ_KEY_CHUNK +
                   (table.capacity % QZ_KEY_CHUNK == 0 ? QZ_KEY_CHUNK : 0);
        }
        if (want > kMaxRecords) want = kMaxRecords;
        if (want <= table.count || !growRecords(table, static_cast<int>(want))) return -1;
    }
    return table.count;
}

// Before record `slot` is written: while fewer than kRecordsAhead bytes of ready records lie
// past it, one warm step over the records' pages (a block that is ready whole passes the warming
// on to the next, which is allocated now when it does not exist yet). True when it took a step.
bool warmRecords(stKeyTable& table, int slot) {
    if (table.warmBlock >= table.blocks) return false;
    const size_t blockBytes = chunkBytes(table);
    size_t ready = static_cast<size_t>(table.warmBlock) * blockBytes + table.warm.touched;
    size_t need = (static_cast<size_t>(slot) + 1) * static_cast<size_t>(table.recSize);
    if (ready >= need + kRecordsAhead) return false;
    if (table.warm.touched < blockBytes) {
        return pagesWarmStep(table.chunks[table.warmBlock], blockBytes, &table.warm);
    }
    if (table.warmBlock + 1 >= chunksFor(kMaxRecords)) return false;
    if (table.warmBlock + 1 == table.blocks && !addBlock(table)) return false;
    table.warmBlock++;
    table.warm = {};
    return true;
}

// Finds the bucket that files record r of table t: in the current array, else in the old one.
unsigned* bucketOf(stKeyStore* store, int t, int r) {
    stKeyIndex& idx = store->index;
    Hashed hk = hashOfRecord(store, t, r);
    unsigned want = entryFor(t, r);
    unsigned* arrays[2] = {idx.bucket, idx.oldBucket};
    unsigned sizes[2] = {idx.buckets, idx.oldBuckets};
    for (int a = 0; a < 2; ++a) {
        if (!arrays[a]) continue;
        unsigned b = homeOf(store, hk.h, sizes[a]);
        for (unsigned probes = 0; probes < sizes[a] && arrays[a][b] != 0; ++probes) {
            if (arrays[a][b] == want) return &arrays[a][b];
            b = b + 1 < sizes[a] ? b + 1 : 0;
        }
    }
    return nullptr;
}

uint64_t fallbackWord(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

}  // namespace

void keyStoreInit(stKeyStore* store, unsigned desiredBuckets) {
    if (!store) return;
    memset(store, 0, sizeof *store);
    store->index.desired = desiredBuckets;
}

void keyStoreSetKey(stKeyStore* store, const unsigned char key[16]) {
    if (!store || !key) return;
    memcpy(store->hashKey, key, sizeof store->hashKey);
    store->keyed = 1;
    if (store->index.bucket) indexRebuild(store, store->index.buckets);
}

bool keyRandomBytes(unsigned char key[16]) {
    constexpr size_t kKeyBytes = 16;
    size_t got = 0;
    while (got < kKeyBytes) {
        ssize_t n = getrandom(key + got, kKeyBytes - got, GRND_NONBLOCK);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    bool fromSystem = got == kKeyBytes;
    if (!fromSystem) {
        // Early in a boot the pool may not be ready; a key nobody outside can read is still
        // far better than the fixed hash.
        struct timespec ts = {};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        struct timespec rt = {};
        clock_gettime(CLOCK_REALTIME, &rt);
        uint64_t a = fallbackWord(static_cast<uint64_t>(ts.tv_nsec) ^
                                  (static_cast<uint64_t>(ts.tv_sec) << 32) ^
                                  reinterpret_cast<uintptr_t>(key));
        uint64_t b = fallbackWord(static_cast<uint64_t>(rt.tv_nsec) ^
                                  (static_cast<uint64_t>(getpid()) << 40) ^
                                  reinterpret_cast<uintptr_t>(&got) ^ a);
        memcpy(key, &a, 8);
        memcpy(key + 8, &b, 8);
    }
    return fromSystem;
}

bool keyStoreRandomKey(stKeyStore* store) {
    unsigned char key[16];
    bool fromSystem = keyRandomBytes(key);
    keyStoreSetKey(store, key);
    return fromSystem;
}

void keyStoreFree(stKeyStore* store) {
    if (!store) return;
    for (int t = 0; t < store->ntables; ++t) {
        stKeyTable& table = store->tables[t];
        for (int c = 0; c < table.blocks; ++c) pagesFree(table.chunks[c], chunkBytes(table));
        free(table.chunks);
    }
    stKeyIndex& idx = store->index;
    freeArrays(idx.buckets, idx.bucket, idx.tag, idx.hash);
    freeArrays(idx.oldBuckets, idx.oldBucket, idx.oldTag, idx.oldHash);
    freeNext(idx);
    pagesDropAll(&idx.drop);
    memset(store, 0, sizeof *store);
}

bool keyStoreFreeStep(stKeyStore* store, long long budgetUs) {
    if (!store) return true;
    const long long begun = threadCpuMicros();
    for (int t = 0; t < store->ntables; ++t) {
        stKeyTable& table = store->tables[t];
        while (table.blocks > 0) {
            if (threadCpuMicros() - begun >= budgetUs) return false;
            table.blocks--;
            pagesFree(table.chunks[table.blocks], chunkBytes(table));
        }
    }
    keyStoreFree(store);
    return true;
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
    const stKeyIndex& idx = store->index;
    size_t bytes =
        arrayBytes(idx.buckets) + arrayBytes(idx.oldBuckets) + arrayBytes(idx.nextBuckets);
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

uint64_t keySipHash(const unsigned char key[16], const void* data, size_t len) {
    return sipHash(load64(key), load64(key + 8), static_cast<const unsigned char*>(data), len);
}

bool keyIndexMoving(const stKeyStore* store) { return store && store->index.oldBucket; }

// The cursor counts the buckets probed so far: first in the current array, then (while the
// index grows) in the old one; with no index it counts the records scanned. A later call
// resumes just past the previous match.
void* keyFindNext(stKeyStore* store, int t, const void* key, unsigned* cursor) {
    if (!tableOk(store, t) || !key || !cursor) return nullptr;
    const stKeyTable& table = store->tables[t];
    const char* k = static_cast<const char*>(key);
    if (allZero(k, table.keyLen)) return nullptr;
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
    Hashed hk = hashOf(store, t, k, table.keyLen);
    const unsigned* arrays[2] = {idx.bucket, idx.oldBucket};
    const unsigned char* tags[2] = {idx.tag, idx.oldTag};
    unsigned sizes[2] = {idx.buckets, idx.oldBucket ? idx.oldBuckets : 0};
    unsigned total = sizes[0] + sizes[1];
    while (*cursor < total) {
        int a = *cursor < sizes[0] ? 0 : 1;
        unsigned base = a == 0 ? 0 : sizes[0];
        unsigned home = homeOf(store, hk.h, sizes[a]);
        unsigned b = home + (*cursor - base);
        if (b >= sizes[a]) b -= sizes[a];
        unsigned entry = arrays[a][b];
        if (entry == 0) {
            // The end of this array's probe run: go on with the next array.
            *cursor = base + sizes[a];
            continue;
        }
        ++*cursor;
        if ((entry & 0xFFu) != static_cast<unsigned>(t + 1) || tags[a][b] != hk.tag) continue;
        unsigned r = entry >> 8;
        if (r >= static_cast<unsigned>(table.count)) continue;
        char* rec = recordAt(table, static_cast<int>(r));
        if (memcmp(rec + table.keyOff, key, static_cast<size_t>(table.keyLen)) == 0) return rec;
    }
    *cursor = total;
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
    // new slot only becomes a record after the index has room, so a growth never sees it.
    int slot = takeSlot(table);
    if (slot < 0) return nullptr;
    // One warm step per store at most: the records' pages come first, the next bucket array
    // catches up on later stores.
    bool warmed = warmRecords(table, slot);
    if (!indexReserve(store, !warmed)) return nullptr;
    if (slot == table.count) table.count++;
    if (slot < table.count && slot >= table.freeFrom) table.freeFrom = slot + 1;
    char* rec = recordAt(table, slot);
    memcpy(rec, bytes, static_cast<size_t>(table.recSize));
    table.live++;
    store->inserted++;
    if (store->index.bucket) {
        Hashed hk = hashOfRecord(store, t, slot);
        moveKey(store, t, rec + table.keyOff, hk);
        indexPlace(store, entryFor(t, slot), hk);
    }
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
        moveStep(store, kStepVisits, kStepMoves);
        if (unsigned* b = bucketOf(store, t, i)) {
            bool old = idx.oldBucket && b >= idx.oldBucket && b < idx.oldBucket + idx.oldBuckets;
            *b = QZ_KEY_RELEASED;
            if (!old) idx.retired++;
            if (old && --idx.oldLive == 0) freeOld(idx);
        }
    }
    memset(rec, 0, static_cast<size_t>(table.recSize));
    table.live--;
    if (i < table.freeFrom) table.freeFrom = i;
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
