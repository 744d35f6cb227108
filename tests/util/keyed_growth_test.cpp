// Tests for the keyed record tables under a secret hash key: the SipHash reference values, keys
// made to collide under the fixed hash spreading out, the growth that moves records a step at a
// time (lookups, releases and stores in the middle of it), and the module's store being keyed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "util/keyed.h"

namespace {

constexpr int kKeyLen = 33;  // a GUID and its NUL, as the pair tables key them
constexpr int kRecSize = 40;

const unsigned char kKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

struct Rec {
    char key[kKeyLen];
    char payload[kRecSize - kKeyLen];
};

// 32 upper-case hexadecimal digits from a counter and a seed.
std::string guid(unsigned n, unsigned seed = 1) {
    char g[33];
    unsigned long long x = (static_cast<unsigned long long>(n) + 1) * 0x9E3779B97F4A7C15ull ^ seed;
    for (int i = 0; i < 32; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        g[i] = "0123456789ABCDEF"[x & 15];
    }
    g[32] = 0;
    return g;
}

// Keys that all share one fixed hash: the 32 digits form eight groups of four positions
// (a, a+1, a+2, a+3), each holding p q q p or q p p q for a pair of digits whose codes add up
// to 118 ("0F", "1E", "2D", "3C", "4B", "5A"). Every group then adds the same amounts to the
// two sums the fixed hash depends on, whatever the choice: 12 choices per group.
std::vector<std::string> collidingGuids(int count) {
    static const char kPairs[6][2] = {{'0', 'F'}, {'1', 'E'}, {'2', 'D'},
                                      {'3', 'C'}, {'4', 'B'}, {'5', 'A'}};
    std::vector<std::string> keys;
    for (int n = 0; n < count; ++n) {
        std::string g(32, '0');
        int v = n;
        for (int group = 0; group < 8; ++group) {
            int choice = v % 12;
            v /= 12;
            char p = kPairs[choice % 6][0], q = kPairs[choice % 6][1];
            if (choice >= 6) std::swap(p, q);
            g[group * 4] = p;
            g[group * 4 + 1] = q;
            g[group * 4 + 2] = q;
            g[group * 4 + 3] = p;
        }
        keys.push_back(g);
    }
    return keys;
}

Rec makeRec(const std::string& key, const char* payload = "") {
    Rec r;
    memset(&r, 0, sizeof r);
    memcpy(r.key, key.data(), key.size() < 32 ? key.size() : 32);
    memcpy(r.payload, payload, strnlen(payload, sizeof r.payload - 1));
    return r;
}

class KeyedStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        keyStoreInit(&store_, 101);
        keyStoreSetKey(&store_, kKey);
        t_ = keyTableCreate(&store_, "PersStat", kRecSize, 0, kKeyLen, 16);
    }
    void TearDown() override { keyStoreFree(&store_); }

    Rec* store(const std::string& key, const char* payload = "") {
        Rec r = makeRec(key, payload);
        return static_cast<Rec*>(keyStoreRecord(&store_, t_, &r));
    }
    Rec* find(const std::string& key) {
        Rec r = makeRec(key);
        return static_cast<Rec*>(keyFind(&store_, t_, r.key));
    }
    std::vector<std::string> payloadsOf(const std::string& key) {
        Rec r = makeRec(key);
        std::vector<std::string> out;
        unsigned cursor = 0;
        while (const Rec* f = static_cast<const Rec*>(keyFindNext(&store_, t_, r.key, &cursor))) {
            out.emplace_back(f->payload);
        }
        return out;
    }
    // Stores keys guid(from..to-1) until the index is in the middle of a growth of an array
    // larger than the one moved at once; returns the next unused number.
    unsigned fillUntilMoving(unsigned from) {
        unsigned n = from;
        while (!(keyIndexMoving(&store_) && store_.index.oldBuckets > 4096)) {
            EXPECT_NE(store(guid(n)), nullptr);
            ++n;
            if (n > 200000) break;
        }
        return n;
    }

    stKeyStore store_;
    int t_ = -1;
};

TEST(KeyedSipHash, MatchesTheReferenceValues) {
    unsigned char msg[64];
    for (int i = 0; i < 64; ++i) msg[i] = static_cast<unsigned char>(i);
    struct Case {
        size_t len;
        unsigned long long hash;
    };
    // The published SipHash-2-4 values for key 00..0f and message 00..(len-1).
    const Case cases[] = {
        {0, 0x726fdb47dd0e0e31ull},  {1, 0x74f839c593dc67fdull},  {8, 0x93f5f5799a932462ull},
        {15, 0xa129ca6149be45e5ull}, {63, 0x958a324ceb064572ull},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keySipHash(kKey, msg, c.len), c.hash) << "length " << c.len;
    }
}

TEST(KeyedCollisions, KeysMadeForTheFixedHashCollideThereAndSpreadUnderAKey) {
    std::vector<std::string> keys = collidingGuids(3000);
    unsigned first = keyHash(2, makeRec(keys[0]).key, kKeyLen);
    for (const std::string& k : keys) {
        ASSERT_EQ(keyHash(2, makeRec(k).key, kKeyLen), first) << k;
    }
    for (int keyed = 0; keyed < 2; ++keyed) {
        stKeyStore s;
        keyStoreInit(&s, 101);
        if (keyed) keyStoreSetKey(&s, kKey);
        keyTableCreate(&s, "NameLocks", kRecSize, 0, kKeyLen, 16);
        keyTableCreate(&s, "Alias", kRecSize, 0, kKeyLen, 16);
        int t = keyTableCreate(&s, "PersStat", kRecSize, 0, kKeyLen, 16);
        for (const std::string& k : keys) {
            Rec r = makeRec(k);
            ASSERT_NE(keyStoreRecord(&s, t, &r), nullptr);
        }
        while (keyIndexMoving(&s)) {  // finish the last growth so the statistics are whole
            Rec r = makeRec(guid(static_cast<unsigned>(s.tables[t].count)));
            ASSERT_NE(keyStoreRecord(&s, t, &r), nullptr);
        }
        if (keyed) {
            EXPECT_LT(s.index.longestRun, 200u);
        } else {
            EXPECT_GE(s.index.longestRun, 2000u);  // the flood the hash key prevents
        }
        for (const std::string& k : keys) {
            ASSERT_NE(keyFind(&s, t, makeRec(k).key), nullptr) << k;
        }
        keyStoreFree(&s);
    }
}

TEST(KeyedCollisions, TheHashKeyDecidesWhereAKeyLives) {
    unsigned char other[16];
    memcpy(other, kKey, sizeof other);
    other[0] ^= 1;
    Rec r = makeRec(guid(7));
    unsigned homes[2];
    for (int i = 0; i < 2; ++i) {
        stKeyStore s;
        keyStoreInit(&s, 1009);
        keyStoreSetKey(&s, i ? other : kKey);
        int t = keyTableCreate(&s, "GuidAuth", kRecSize, 0, kKeyLen, 4);
        keyStoreRecord(&s, t, &r);
        homes[i] = 0;
        for (unsigned b = 0; b < s.index.buckets; ++b)
            if (s.index.bucket[b]) homes[i] = b;
        keyStoreFree(&s);
    }
    // One bucket in 1009 by chance for this key; the two keys give two layouts.
    EXPECT_NE(homes[0], homes[1]);
}

TEST_F(KeyedStoreTest, GrowthMovesAFewRecordsPerCallAndLookupsFindEverythingMeanwhile) {
    unsigned n = fillUntilMoving(0);
    ASSERT_TRUE(keyIndexMoving(&store_));
    unsigned oldBuckets = store_.index.oldBuckets;
    EXPECT_EQ(store_.index.buckets, oldBuckets * 2 + 1);
    int calls = 0;
    while (keyIndexMoving(&store_)) {
        unsigned before = store_.index.oldLive;
        ASSERT_NE(store(guid(n)), nullptr);
        ++n;
        ++calls;
        unsigned moved = before - (keyIndexMoving(&store_) ? store_.index.oldLive : 0);
        ASSERT_LE(moved, 17u) << "call " << calls;  // one step, and the new key's own records
        if (calls % 97 == 0) {
            for (unsigned i = 0; i < n; i += 7) ASSERT_NE(find(guid(i)), nullptr) << i;
        }
    }
    EXPECT_GT(calls, 50);  // spread over many calls, not one
    for (unsigned i = 0; i < n; ++i) ASSERT_NE(find(guid(i)), nullptr) << i;
    EXPECT_EQ(find(guid(n)), nullptr);
    EXPECT_EQ(store_.index.used, n);
    EXPECT_EQ(store_.index.oldBucket, nullptr);
}

TEST_F(KeyedStoreTest, RecordsOfOneKeyAreMetInStoreOrderThroughAGrowth) {
    const std::string dupe = guid(999999, 7);
    store(dupe, "first");
    store(dupe, "second");
    unsigned n = fillUntilMoving(0);
    store(dupe, "third");  // its earlier records still wait in the old array
    EXPECT_EQ(payloadsOf(dupe), (std::vector<std::string>{"first", "second", "third"}));
    while (keyIndexMoving(&store_)) store(guid(n++));
    store(dupe, "fourth");
    EXPECT_EQ(payloadsOf(dupe), (std::vector<std::string>{"first", "second", "third", "fourth"}));
}

TEST_F(KeyedStoreTest, ReleasesDuringAGrowthAreNeverFoundAndTheirSlotsAreReused) {
    unsigned n = fillUntilMoving(0);
    ASSERT_TRUE(keyIndexMoving(&store_));
    // Records 0..9 and the newest ones: some still in the old array, some already moved.
    std::vector<int> gone = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, static_cast<int>(n) - 1};
    for (int r : gone) keyRelease(&store_, t_, r);
    EXPECT_EQ(store_.tables[t_].live, static_cast<int>(n) - static_cast<int>(gone.size()));
    for (int r : gone) EXPECT_EQ(find(guid(static_cast<unsigned>(r))), nullptr) << r;
    EXPECT_NE(find(guid(10)), nullptr);
    Rec* again = store(guid(3), "back");
    EXPECT_EQ(again, keyRecord(&store_, t_, 0));  // the first free slot
    while (keyIndexMoving(&store_)) store(guid(n++));
    EXPECT_EQ(payloadsOf(guid(3)), (std::vector<std::string>{"back"}));
    for (int r : gone) {
        if (r == 3) continue;
        EXPECT_EQ(find(guid(static_cast<unsigned>(r))), nullptr) << r;
    }
}

TEST_F(KeyedStoreTest, PairAddDuringAGrowthStillAddsEachPairOnce) {
    stKeyStore s;
    keyStoreInit(&s, 101);
    keyStoreSetKey(&s, kKey);
    int t = keyTableCreate(&s, "GuidAuth", QZ_PAIR_RECORD, 0, QZ_PAIR_KEY, 8);
    unsigned n = 0;
    while (!(keyIndexMoving(&s) && s.index.oldBuckets > 4096)) {
        ASSERT_NE(pairAdd(&s, t, "10.0.0.1", guid(n++).c_str()), 0);
    }
    for (unsigned i = 0; i < n; i += 3) {
        EXPECT_EQ(pairAdd(&s, t, "10.0.0.1", guid(i).c_str()), 0) << i;
    }
    EXPECT_NE(pairAdd(&s, t, "10.0.0.2", guid(5).c_str()), 0);
    EXPECT_EQ(s.tables[t].live, static_cast<int>(n) + 1);
    keyStoreFree(&s);
}

// The next bucket array exists from 70% on, its pages all ready by 85%, before the growth starts
// at 90%, and the growth takes that very array: the moves then write only present pages.
TEST_F(KeyedStoreTest, TheNextArrayIsPreparedWhileTheIndexFillsAndTheGrowthTakesIt) {
    unsigned n = 0;
    while (store_.index.buckets <= 60000) store(guid(n++));
    while (keyIndexMoving(&store_)) store(guid(n++));
    const unsigned buckets = store_.index.buckets;
    // Buckets, fingerprints and hashes.
    const size_t perBucket = 2 * sizeof(unsigned) + 1;
    const size_t total = size_t{buckets * 2 + 1} * perBucket;
    auto ready = [&] {
        size_t bytes = 0;
        for (const stPageWarm& w : store_.index.nextWarm) bytes += w.touched;
        return bytes;
    };
    auto percent = [&] { return uint64_t{store_.index.used} * 100 / buckets; };
    while (percent() < 69) store(guid(n++));
    EXPECT_EQ(store_.index.nextBucket, nullptr) << "made before 70%";
    while (percent() < 80) store(guid(n++));
    ASSERT_NE(store_.index.nextBucket, nullptr);
    EXPECT_EQ(store_.index.nextBuckets, buckets * 2 + 1);
    EXPECT_GT(ready(), 0u);
    EXPECT_LT(ready(), total) << "made ready all at once, not in step with the filling";
    EXPECT_EQ(keyStoreBytes(&store_) - static_cast<size_t>(store_.tables[t_].capacity) * kRecSize,
              (size_t{buckets} + buckets * 2 + 1) * perBucket);
    const unsigned* prepared = store_.index.nextBucket;
    while (!keyIndexMoving(&store_)) {
        EXPECT_EQ(store_.index.buckets, buckets);
        if (percent() >= 86) {
            EXPECT_EQ(ready(), total) << "pages left for the moves to meet";
        }
        store(guid(n++));
    }
    EXPECT_EQ(store_.index.bucket, prepared);
    EXPECT_EQ(store_.index.nextBucket, nullptr);
    while (keyIndexMoving(&store_)) store(guid(n++));
    for (unsigned i = 0; i < n; i += 11) ASSERT_NE(find(guid(i)), nullptr) << i;
}

// The records' pages are made ready ahead of the stores that fill them, a page or a batch per
// store, and the records grow a block at a time (each block allocated once, never copied).
TEST_F(KeyedStoreTest, RecordPagesAreMadeReadyAheadAndBlocksAreAddedOneAtATime) {
    const stKeyTable& table = store_.tables[t_];
    const size_t blockBytes = size_t{QZ_KEY_CHUNK} * kRecSize;
    auto ready = [&] { return size_t(table.warmBlock) * blockBytes + table.warm.touched; };
    unsigned n = 0;
    std::vector<char*> firstBlocks;
    for (; n < QZ_KEY_CHUNK * 2u + 10u; ++n) {
        size_t before = ready();
        ASSERT_NE(store(guid(n)), nullptr);
        ASSERT_LE(ready() - before, size_t{4096}) << "more than a page made ready in store " << n;
        // After the first few stores the ready part stays ahead of the records.
        if (n >= 100) {
            ASSERT_GE(ready(), size_t(table.count) * kRecSize) << n;
        }
        ASSERT_LE(table.blocks, table.count / QZ_KEY_CHUNK + 2) << "blocks allocated far ahead";
        if (table.blocks > static_cast<int>(firstBlocks.size())) {
            firstBlocks.push_back(table.chunks[table.blocks - 1]);
        }
    }
    EXPECT_EQ(table.capacity, QZ_KEY_CHUNK * 3);
    EXPECT_EQ(table.blocks, 3);
    for (int c = 0; c < table.blocks; ++c) EXPECT_EQ(table.chunks[c], firstBlocks[c]) << "moved";
    for (unsigned i = 0; i < n; i += 101) ASSERT_NE(find(guid(i)), nullptr) << i;
}

// A large old array goes back to the system a slice per later store, not in the call that
// finishes the growth.
TEST_F(KeyedStoreTest, TheOldArrayOfALargeGrowthIsHandedBackOverLaterStores) {
    unsigned n = 0;
    while (!(keyIndexMoving(&store_) && store_.index.oldBuckets >= 65536)) store(guid(n++));
    while (keyIndexMoving(&store_)) store(guid(n++));
    auto queued = [&] {
        size_t bytes = 0;
        for (size_t len : store_.index.drop.len) bytes += len;
        return bytes;
    };
    size_t left = queued();
    EXPECT_GE(left, size_t{65536} * sizeof(unsigned)) << "the old bucket array was freed at once";
    int stores = 0;
    while (queued() > 0 && stores < 10000) {
        store(guid(n++));
        ++stores;
        ASSERT_LE(left - queued(), QZ_PAGE_DROP_SLICE) << "more than a slice in one store";
        left = queued();
    }
    EXPECT_EQ(queued(), 0u);
    EXPECT_GT(stores, 1);
}

TEST(KeyedRandomKey, EachStoreDrawsItsOwnSecretKey) {
    stKeyStore a, b;
    keyStoreInit(&a, 101);
    keyStoreInit(&b, 101);
    EXPECT_TRUE(keyStoreRandomKey(&a));  // the system's random source answers on this machine
    EXPECT_TRUE(keyStoreRandomKey(&b));
    EXPECT_EQ(a.keyed, 1);
    EXPECT_EQ(b.keyed, 1);
    EXPECT_NE(memcmp(a.hashKey, b.hashKey, sizeof a.hashKey), 0);
    keyStoreFree(&a);
    keyStoreFree(&b);
}

}  // namespace
