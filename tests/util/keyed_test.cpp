// Tests for the keyed record tables: the hash, the shared index with its growth and statistics,
// multi-record lookups, free-slot reuse, and the pair insert.
#include "util/keyed.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// A small record: two bytes before a 4-byte key, then a payload.
struct Rec {
    char tag[2];
    char key[4];
    char payload[6];
};
constexpr int kKeyOff = 2;
constexpr int kKeyLen = 4;

Rec makeRec(const char* key, const char* payload = "") {
    Rec r;
    memset(&r, 0, sizeof r);
    memcpy(r.key, key, strnlen(key, kKeyLen));
    memcpy(r.payload, payload, strnlen(payload, sizeof r.payload));
    return r;
}

std::string keyOf(int i) {
    char k[8];
    snprintf(k, sizeof k, "%04d", i);
    return k;
}

class KeyedTest : public ::testing::Test {
  protected:
    void SetUp() override { keyStoreInit(&store_, 101); }
    void TearDown() override { keyStoreFree(&store_); }

    int table(const char* name) {
        return keyTableCreate(&store_, name, sizeof(Rec), kKeyOff, kKeyLen, 4);
    }
    Rec* store(int t, const char* key, const char* payload = "") {
        Rec r = makeRec(key, payload);
        return static_cast<Rec*>(keyStoreRecord(&store_, t, &r));
    }
    Rec* find(int t, const char* key) {
        char k[kKeyLen] = {};
        memcpy(k, key, strnlen(key, kKeyLen));
        return static_cast<Rec*>(keyFind(&store_, t, k));
    }
    unsigned home(int t, const std::string& key) {
        return keyHash(t, key.data(), kKeyLen) % store_.index.buckets;
    }
    // Every non-empty bucket names a live record, and each live record has exactly one bucket.
    void expectIndexMatchesRecords() {
        std::set<unsigned> seen;
        for (unsigned b = 0; b < store_.index.buckets; ++b) {
            unsigned e = store_.index.bucket[b];
            if (e == 0 || e == QZ_KEY_RELEASED) continue;
            int t = static_cast<int>(e & 0xFF) - 1;
            ASSERT_GE(t, 0);
            ASSERT_LT(t, store_.ntables);
            const Rec* r = static_cast<const Rec*>(keyRecord(&store_, t, static_cast<int>(e >> 8)));
            ASSERT_NE(r, nullptr);
            // Reachable: no empty bucket between the record's home and its bucket.
            for (unsigned p = home(t, std::string(r->key, kKeyLen)); p != b;
                 p = (p + 1) % store_.index.buckets) {
                ASSERT_NE(store_.index.bucket[p], 0u) << "record " << (e >> 8) << " cut off";
            }
            EXPECT_TRUE(seen.insert(e).second) << "record indexed twice: " << e;
        }
        size_t live = 0;
        for (int t = 0; t < store_.ntables; ++t) live += static_cast<size_t>(store_.tables[t].live);
        EXPECT_EQ(seen.size(), live);
    }

    stKeyStore store_;
};

TEST(KeyedHash, MixesPositionTableAndSignedBytes) {
    struct Case {
        int table;
        std::string key;
        unsigned hash;
    };
    const Case cases[] = {
        {0, "", 905585553u},
        {0, "\xff", 905497930u},  // the byte counts as -1
        {2, "ab", 922718211u},
        {3, "\x80\x7f", 905564279u},
        {4, std::string("0123456789abcdef0123456789abcdef", 33), 1106633483u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keyHash(c.table, c.key.data(), static_cast<int>(c.key.size())), c.hash)
            << "table " << c.table << " key " << c.key;
    }
}

TEST_F(KeyedTest, StoredRecordTakesTheFirstFreeBucketFromItsHome) {
    int a = table("Alias");
    int b = table("NameLocks");
    ASSERT_EQ(a, 0);
    ASSERT_EQ(b, 1);
    ASSERT_NE(store(b, "abcd"), nullptr);
    EXPECT_EQ(store_.index.buckets, 101u);
    EXPECT_EQ(store_.index.bucket[home(b, "abcd")], 2u);  // table 1, record 0
    ASSERT_NE(store(b, "wxyz"), nullptr);
    unsigned h = home(b, "wxyz");
    if (h == home(b, "abcd")) h = (h + 1) % 101;
    EXPECT_EQ(store_.index.bucket[h], 2u + 1u * 256u);  // table 1, record 1
    EXPECT_EQ(store_.index.used, 2u);
    EXPECT_EQ(store_.inserted, 2u);
}

TEST_F(KeyedTest, LookupFindsOnlyTheRightTableAndKey) {
    int a = table("Alias");
    int b = table("PersStat");
    store(a, "k001", "in-a");
    store(b, "k001", "in-b");
    ASSERT_NE(find(a, "k001"), nullptr);
    EXPECT_STREQ(find(a, "k001")->payload, "in-a");
    EXPECT_STREQ(find(b, "k001")->payload, "in-b");
    EXPECT_EQ(find(a, "k002"), nullptr);
    EXPECT_EQ(find(5, "k001"), nullptr);
}

TEST_F(KeyedTest, IndexGrowsAt90PercentAndReindexesEveryTable) {
    int a = table("Alias");
    int b = table("NewStat");
    for (int i = 0; i < 91; ++i) ASSERT_NE(store(i % 2 ? b : a, keyOf(i).c_str()), nullptr);
    EXPECT_EQ(store_.index.buckets, 101u);  // 90 of 101 is below 90%
    EXPECT_EQ(store_.index.used, 91u);
    ASSERT_NE(store(b, keyOf(91).c_str()), nullptr);  // 91 of 101 is 90%: grow first
    EXPECT_EQ(store_.index.buckets, 203u);
    EXPECT_EQ(store_.index.desired, 203u);
    EXPECT_EQ(store_.index.used, 92u);
    expectIndexMatchesRecords();
    for (int i = 0; i < 92; ++i) {
        const Rec* r = find(i % 2 ? b : a, keyOf(i).c_str());
        ASSERT_NE(r, nullptr) << i;
        EXPECT_EQ(std::string(r->key, kKeyLen), keyOf(i));
        EXPECT_EQ(find(i % 2 ? a : b, keyOf(i).c_str()), nullptr) << i;
    }
    for (int i = 92; i < 1000; ++i) ASSERT_NE(store(a, keyOf(i).c_str()), nullptr);
    EXPECT_EQ(store_.index.buckets, 1631u);  // 101 -> 203 -> 407 -> 815 -> 1631
    EXPECT_LT(store_.index.used * 100 / store_.index.buckets, 90u);
    expectIndexMatchesRecords();
}

TEST_F(KeyedTest, ProbeStatisticsCountCollisionsAndTheLongestRun) {
    int t = table("Alias");
    // Three keys that share a home bucket.
    std::vector<std::string> same;
    unsigned target = keyHash(t, keyOf(0).data(), kKeyLen) % 101;
    for (int i = 0; i < 10000 && same.size() < 3; ++i) {
        if (keyHash(t, keyOf(i).data(), kKeyLen) % 101 == target) same.push_back(keyOf(i));
    }
    ASSERT_EQ(same.size(), 3u);
    store(t, same[0].c_str());
    EXPECT_EQ(store_.index.collisions, 0u);
    EXPECT_EQ(store_.index.longestRun, 1u);
    store(t, same[1].c_str());
    store(t, same[2].c_str());
    EXPECT_EQ(store_.index.collisions, 2u);
    EXPECT_EQ(store_.index.multiProbes, 2u);
    EXPECT_EQ(store_.index.longestRun, 3u);
    for (const std::string& k : same) EXPECT_NE(find(t, k.c_str()), nullptr) << k;
}

TEST_F(KeyedTest, ProbeRunWrapsFromTheLastBucketToTheFirst) {
    int t = table("Alias");
    std::vector<std::string> last;
    for (int i = 0; i < 20000 && last.size() < 2; ++i) {
        if (keyHash(t, keyOf(i).data(), kKeyLen) % 101 == 100) last.push_back(keyOf(i));
    }
    ASSERT_EQ(last.size(), 2u);
    store(t, last[0].c_str());
    store(t, last[1].c_str());
    EXPECT_EQ(store_.index.bucket[100], 1u);
    EXPECT_EQ(store_.index.bucket[0], 1u + 256u);
    EXPECT_EQ(std::string(find(t, last[1].c_str())->key, kKeyLen), last[1]);
}

TEST_F(KeyedTest, FindNextReturnsEveryRecordWithTheKey) {
    int t = table("NameLocks");
    store(t, "dupe", "one");
    store(t, "othr", "x");
    store(t, "dupe", "two");
    store(t, "dupe", "three");
    std::multiset<std::string> payloads;
    unsigned cursor = 0;
    while (const Rec* r = static_cast<const Rec*>(keyFindNext(&store_, t, "dupe", &cursor))) {
        payloads.insert(std::string(r->payload, strnlen(r->payload, sizeof r->payload)));
        ASSERT_LE(payloads.size(), 3u);
    }
    EXPECT_EQ(payloads, (std::multiset<std::string>{"one", "two", "three"}));
    EXPECT_EQ(keyFindNext(&store_, t, "dupe", &cursor), nullptr);  // stays at the end
}

TEST_F(KeyedTest, FreedSlotIsReusedAndItsOldBucketNeverMatches) {
    int t = table("PersStat");
    store(t, "aaaa");
    store(t, "bbbb");
    store(t, "cccc");
    keyRelease(&store_, t, 1);
    EXPECT_EQ(store_.tables[t].live, 2);
    EXPECT_EQ(store_.tables[t].count, 3);
    EXPECT_EQ(find(t, "bbbb"), nullptr);
    keyRelease(&store_, t, 1);  // already free: counts stay right
    EXPECT_EQ(store_.tables[t].live, 2);

    Rec* reused = store(t, "bbbb", "again");
    EXPECT_EQ(reused, keyRecord(&store_, t, 1));
    EXPECT_EQ(store_.tables[t].count, 3);
    EXPECT_EQ(store_.tables[t].live, 3);
    int matches = 0;
    unsigned cursor = 0;
    while (keyFindNext(&store_, t, "bbbb", &cursor)) ++matches;
    EXPECT_EQ(matches, 1);
    EXPECT_NE(find(t, "aaaa"), nullptr);
    EXPECT_NE(find(t, "cccc"), nullptr);
}

TEST_F(KeyedTest, WithFewerThan101DesiredBucketsNothingIsIndexedButLookupsWork) {
    keyStoreFree(&store_);
    keyStoreInit(&store_, 100);
    int t = table("Alias");
    for (int i = 0; i < 50; ++i) store(t, keyOf(i % 25).c_str(), i < 25 ? "first" : "second");
    EXPECT_EQ(store_.index.bucket, nullptr);
    EXPECT_EQ(store_.index.buckets, 0u);
    int matches = 0;
    unsigned cursor = 0;
    while (keyFindNext(&store_, t, keyOf(7).c_str(), &cursor)) ++matches;
    EXPECT_EQ(matches, 2);
    EXPECT_EQ(find(t, "zzzz"), nullptr);
}

TEST_F(KeyedTest, RecordWithAnAllZeroKeyIsNeverStored) {
    int t = table("Alias");
    Rec r = makeRec("");
    memcpy(r.payload, "data", 4);
    EXPECT_EQ(keyStoreRecord(&store_, t, &r), nullptr);
    EXPECT_EQ(store_.tables[t].count, 0);
    EXPECT_EQ(keyFind(&store_, t, r.key), nullptr);
}

TEST_F(KeyedTest, TableLayoutIsCheckedAndTheStoreHoldsEightTables) {
    struct Layout {
        int recSize, keyOff, keyLen, initCap;
    };
    const Layout bad[] = {{0, 0, 1, 4}, {8, 0, 0, 4}, {8, -1, 4, 4}, {8, 5, 4, 4}, {8, 0, 4, 0}};
    for (const Layout& l : bad) {
        EXPECT_EQ(keyTableCreate(&store_, "x", l.recSize, l.keyOff, l.keyLen, l.initCap), -1)
            << l.recSize << " " << l.keyOff << " " << l.keyLen << " " << l.initCap;
    }
    const char* names[] = {"NameLocks", "Alias", "PersStat", "NewStat", "GuidAuth", "f", "g", "h"};
    for (int i = 0; i < QZ_KEY_TABLES; ++i) EXPECT_EQ(table(names[i]), i);
    EXPECT_EQ(table("ninth"), -1);
    EXPECT_EQ(keyTableFind(&store_, "GuidAuth"), 4);
    EXPECT_EQ(keyTableFind(&store_, "Guid"), -1);
}

TEST_F(KeyedTest, RecordsGrowToTheInitialCapacityThenDoubleAndMemoryIsCounted) {
    int t = keyTableCreate(&store_, "Alias", sizeof(Rec), kKeyOff, kKeyLen, 5);
    for (int i = 0; i < 11; ++i) store(t, keyOf(i).c_str());
    EXPECT_EQ(store_.tables[t].capacity, 20);  // 5, 10, 20
    EXPECT_EQ(keyStoreBytes(&store_), 20 * sizeof(Rec) + 101 * (sizeof(unsigned) + 1));
    EXPECT_EQ(keyRecord(&store_, t, 11), nullptr);
    EXPECT_EQ(keyRecord(&store_, t, -1), nullptr);
}

class KeyedPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        keyStoreInit(&store_, 101);
        keyTableCreate(&store_, "NameLocks", 40, 0, 16, 8);
        guid_ = keyTableCreate(&store_, "GuidAuth", QZ_PAIR_RECORD, 0, QZ_PAIR_KEY, 8);
    }
    void TearDown() override { keyStoreFree(&store_); }
    std::vector<std::string> valuesOf(const std::string& key) {
        char k[QZ_PAIR_KEY] = {};
        memcpy(k, key.data(), key.size() < 32 ? key.size() : 32);
        std::vector<std::string> values;
        unsigned cursor = 0;
        while (const char* r = static_cast<const char*>(keyFindNext(&store_, guid_, k, &cursor))) {
            values.emplace_back(r + QZ_PAIR_KEY);
        }
        return values;
    }

    stKeyStore store_;
    int guid_ = -1;
};

TEST_F(KeyedPairTest, SamePairTwiceIsStoredOnce) {
    EXPECT_NE(pairAdd(&store_, guid_, "10.0.0.1", "0123456789abcdef0123456789abcdef"), 0);
    EXPECT_EQ(pairAdd(&store_, guid_, "10.0.0.1", "0123456789abcdef0123456789abcdef"), 0);
    EXPECT_EQ(store_.tables[guid_].live, 1);
}

TEST_F(KeyedPairTest, SameKeyWithTwoValuesIsStoredTwice) {
    EXPECT_NE(pairAdd(&store_, guid_, "10.0.0.1", "guid-a"), 0);
    EXPECT_NE(pairAdd(&store_, guid_, "10.0.0.2", "guid-a"), 0);
    EXPECT_EQ(store_.tables[guid_].live, 2);
    std::vector<std::string> values = valuesOf("guid-a");
    EXPECT_EQ(std::multiset<std::string>(values.begin(), values.end()),
              (std::multiset<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST_F(KeyedPairTest, ValueIsCutAtItsFirstBlankAndBoth32Characters) {
    std::string longKey(40, 'k');
    std::string longValue(40, 'v');
    EXPECT_NE(pairAdd(&store_, guid_, "1.2.3.4 extra words", longKey.c_str()), 0);
    EXPECT_EQ(pairAdd(&store_, guid_, "1.2.3.4 other", (longKey + "tail").c_str()), 0);
    EXPECT_NE(pairAdd(&store_, guid_, longValue.c_str(), longKey.c_str()), 0);
    EXPECT_EQ(pairAdd(&store_, guid_, (longValue + "more").c_str(), longKey.c_str()), 0);
    std::vector<std::string> values = valuesOf(longKey);
    EXPECT_EQ(std::multiset<std::string>(values.begin(), values.end()),
              (std::multiset<std::string>{"1.2.3.4", std::string(32, 'v')}));
}

TEST_F(KeyedPairTest, EmptyKeyIsNeverAdded) {
    EXPECT_EQ(pairAdd(&store_, guid_, "10.0.0.1", ""), 1);
    EXPECT_EQ(pairAdd(&store_, guid_, "10.0.0.1", nullptr), 1);
    EXPECT_EQ(store_.tables[guid_].count, 0);
}

TEST_F(KeyedPairTest, TableWithAnotherLayoutIsRefused) {
    EXPECT_EQ(pairAdd(&store_, 0, "v", "k"), 0);
    EXPECT_EQ(pairAdd(&store_, 7, "v", "k"), 0);
    EXPECT_EQ(store_.tables[0].count, 0);
}

}  // namespace
