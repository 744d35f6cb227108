// Keyed record tables at the scale of a busy server's GUID tables, under attack: 1,000,000
// upper-case random GUIDs and 100,000 GUIDs made to collide under the fixed hash, stored into
// the "GuidAuth" pair table of a store keyed as the module keys its own, then looked up. Every
// call is timed on its own, growth of the index included; the figures are the median, the 99.9th
// percentile and the maximum in nanoseconds, over all calls and (the "_own" figures) over each
// call's least time in three identical runs. For comparison, the same colliding keys (fewer of
// them) in a store without a hash key. With QZ_BENCH_SMOKE set the sizes are small.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "timed_calls.h"
#include "util/keyed.h"

namespace {

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }
int randomKeys() { return smoke() ? 20000 : 1000000; }
int collidingKeys() { return smoke() ? 2000 : 100000; }

struct Key {
    char text[QZ_PAIR_KEY];
};

// Upper-case GUIDs, as players' GUIDs are written.
void addRandom(std::vector<Key>& keys, int n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < n; ++i) {
        Key k = {};
        for (int d = 0; d < 32; d += 16) {
            uint64_t x = rng();
            for (int j = 0; j < 16; ++j) k.text[d + j] = "0123456789ABCDEF"[(x >> (4 * j)) & 15];
        }
        keys.push_back(k);
    }
}

// GUIDs with one fixed hash: eight groups of four digits p q q p or q p p q, with p + q = 118
// ("0F", "1E", "2D", "3C", "4B", "5A"), add the same to both sums that hash reads.
void addColliding(std::vector<Key>& keys, int n) {
    static const char kPairs[6][2] = {{'0', 'F'}, {'1', 'E'}, {'2', 'D'},
                                      {'3', 'C'}, {'4', 'B'}, {'5', 'A'}};
    for (int i = 0; i < n; ++i) {
        Key k = {};
        int v = i;
        for (int g = 0; g < 8; ++g) {
            int c = v % 12;
            v /= 12;
            char p = kPairs[c % 6][0], q = kPairs[c % 6][1];
            if (c >= 6) std::swap(p, q);
            k.text[4 * g] = k.text[4 * g + 3] = p;
            k.text[4 * g + 1] = k.text[4 * g + 2] = q;
        }
        keys.push_back(k);
    }
}

// The attack mixed into ordinary traffic: every eleventh key a colliding one.
const std::vector<Key>& mixedKeys() {
    static std::vector<Key> all = [] {
        std::vector<Key> randomOnes, colliding, out;
        addRandom(randomOnes, randomKeys(), 42);
        addColliding(colliding, collidingKeys());
        size_t r = 0, c = 0;
        while (r < randomOnes.size() || c < colliding.size()) {
            bool takeColliding =
                c < colliding.size() && (out.size() % 11 == 10 || r == randomOnes.size());
            out.push_back(takeColliding ? colliding[c++] : randomOnes[r++]);
        }
        return out;
    }();
    return all;
}

void makeRecord(const Key& k, int i, char (&rec)[QZ_PAIR_RECORD]) {
    memset(rec, 0, sizeof rec);
    memcpy(rec, k.text, 32);
    snprintf(rec + QZ_PAIR_KEY, QZ_PAIR_KEY, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255,
             i & 255);
}

// Runs of each benchmark below: every run fills a store under the same secret hash key, so the
// index takes the same shape each time and every call does the same work in each run.
constexpr int kRuns = 3;

// Reports the figures of every call of every run ("insert_p999_ns": what a server on this machine
// sees) and each call's least time over the runs ("insert_own_p999_ns": the module's own cost,
// see leastOf).
void reportRuns(benchmark::State& state, const std::string& what, const std::vector<Timed>& runs) {
    Timed all = allOf(runs), own = leastOf(runs);
    report(state, what, all);
    report(state, what + "_own", own);
}

// A store as the module starts its own (1,009 buckets), under the given secret key.
int makeStore(stKeyStore* store, const unsigned char key[16]) {
    keyStoreInit(store, 1009);
    keyStoreSetKey(store, key);
    return keyTableCreate(store, "GuidAuth", QZ_PAIR_RECORD, 0, QZ_PAIR_KEY, 1024);
}

// Stores every key (keyStoreRecord), then looks each one up, then looks up keys that are not
// there, each call timed.
void BM_KeyedTail(benchmark::State& state) {
    const std::vector<Key>& keys = mixedKeys();
    std::vector<Timed> insert(kRuns), found(kRuns), missing(kRuns);
    unsigned char secret[16];
    keyRandomBytes(secret);
    size_t buckets = 0, longest = 0;
    for (auto _ : state) {
        for (int run = 0; run < kRuns; ++run) {
            stKeyStore store;
            int t = makeStore(&store, secret);
            insert[run].clear();
            found[run].clear();
            missing[run].clear();
            char rec[QZ_PAIR_RECORD];
            for (size_t i = 0; i < keys.size(); ++i) {
                makeRecord(keys[i], static_cast<int>(i), rec);
                if (!timed(insert[run], [&] { return keyStoreRecord(&store, t, rec); })) {
                    state.SkipWithError("store failed");
                }
            }
            for (const Key& k : keys) {
                if (!timed(found[run], [&] { return keyFind(&store, t, k.text); })) {
                    state.SkipWithError("stored key not found");
                }
            }
            for (const Key& k : keys) {
                Key other = k;
                other.text[31] = 'x';  // never a hexadecimal digit
                if (timed(missing[run], [&] { return keyFind(&store, t, other.text); })) {
                    state.SkipWithError("a key that was never stored was found");
                }
            }
            buckets = store.index.buckets;
            longest = store.index.longestRun;
            keyStoreFree(&store);
        }
    }
    reportRuns(state, "insert", insert);
    reportRuns(state, "find", found);
    reportRuns(state, "missing", missing);
    state.counters["keys"] = static_cast<double>(keys.size());
    state.counters["buckets"] = static_cast<double>(buckets);
    state.counters["longest_run"] = static_cast<double>(longest);
}
BENCHMARK(BM_KeyedTail)->Iterations(1)->Unit(benchmark::kMillisecond);

// pairAdd as the GUID exchange uses it: new pairs (a lookup of every record of the key, then the
// store), then the same pairs again (the lookup alone decides).
void BM_KeyedPairAddTail(benchmark::State& state) {
    const std::vector<Key>& keys = mixedKeys();
    std::vector<Timed> added(kRuns), present(kRuns);
    unsigned char secret[16];
    keyRandomBytes(secret);
    for (auto _ : state) {
        for (int run = 0; run < kRuns; ++run) {
            stKeyStore store;
            int t = makeStore(&store, secret);
            added[run].clear();
            present[run].clear();
            for (const Key& k : keys) {
                if (!timed(added[run], [&] { return pairAdd(&store, t, "10.0.0.1", k.text); })) {
                    state.SkipWithError("pair not added");
                }
            }
            for (const Key& k : keys) {
                if (timed(present[run], [&] { return pairAdd(&store, t, "10.0.0.1", k.text); })) {
                    state.SkipWithError("pair added twice");
                }
            }
            keyStoreFree(&store);
        }
    }
    reportRuns(state, "new", added);
    reportRuns(state, "present", present);
}
BENCHMARK(BM_KeyedPairAddTail)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same colliding keys in a store without a hash key (the fixed hash): what the hash key
// prevents. Fewer keys, as every one of them lands in one probe run.
void BM_KeyedFixedHashColliding(benchmark::State& state) {
    std::vector<Key> keys;
    addColliding(keys, smoke() ? 500 : 20000);
    Timed insert, found;
    for (auto _ : state) {
        stKeyStore store;
        keyStoreInit(&store, 1009);
        int t = keyTableCreate(&store, "GuidAuth", QZ_PAIR_RECORD, 0, QZ_PAIR_KEY, 1024);
        insert.clear();
        found.clear();
        char rec[QZ_PAIR_RECORD];
        for (size_t i = 0; i < keys.size(); ++i) {
            makeRecord(keys[i], static_cast<int>(i), rec);
            timed(insert, [&] { return keyStoreRecord(&store, t, rec); });
        }
        for (const Key& k : keys) timed(found, [&] { return keyFind(&store, t, k.text); });
        keyStoreFree(&store);
    }
    report(state, "insert", insert);
    report(state, "find", found);
    state.counters["keys"] = static_cast<double>(keys.size());
}
BENCHMARK(BM_KeyedFixedHashColliding)->Iterations(1)->Unit(benchmark::kMillisecond);

// The floor of these figures on the machine at hand: calls timed the same way, as often as
// BM_KeyedTail times its stores, that do nothing, and calls that do about a microsecond of
// arithmetic (as long as a store during a growth). Their 99.9th percentile and maximum are what
// interrupts, the clock, the scheduler and (on a virtual machine) the host add to every figure
// above; on a machine that stops its programs every few hundred microseconds the work floor's
// tail is no lower than the stores'.
int g_nothing = 0;
__attribute__((noinline)) int nothing() { return benchmark::DoNotOptimize(g_nothing), g_nothing; }

__attribute__((noinline)) uint64_t aMicrosecond(uint64_t x) {
    for (int i = 0; i < 1000; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    return x;
}

void BM_TimingFloor(benchmark::State& state) {
    const size_t n = mixedKeys().size();
    Timed calls, work;
    uint64_t x = 1;
    for (auto _ : state) {
        calls.clear();
        work.clear();
        for (size_t i = 0; i < n; ++i) timed(calls, [] { return nothing(); });
        for (size_t i = 0; i < n; ++i) x = timed(work, [x] { return aMicrosecond(x); });
    }
    benchmark::DoNotOptimize(x);
    report(state, "nothing", calls);
    report(state, "work", work);
}
BENCHMARK(BM_TimingFloor)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
