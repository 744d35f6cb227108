// Keyed record tables at scale: storing and looking up a million GUID-keyed pair records in one
// table, directly and through pairAdd, with the memory each record costs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util/keyed.h"

namespace {

constexpr int kRecords = 1000000;

// 32 lower-case hexadecimal characters from a simple generator, like the GUIDs the pair table
// is keyed on; the value is an address text.
struct PairText {
    char key[QZ_PAIR_KEY];
    char value[QZ_PAIR_KEY];
};

const std::vector<PairText>& pairs() {
    static std::vector<PairText> all = [] {
        std::vector<PairText> v(kRecords);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (int i = 0; i < kRecords; ++i) {
            char* k = v[i].key;
            for (int d = 0; d < 32; d += 16) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                snprintf(k + d, 17, "%016llx", static_cast<unsigned long long>(x));
            }
            snprintf(v[i].value, sizeof v[i].value, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255,
                     i & 255);
        }
        return v;
    }();
    return all;
}

void makeRecord(const PairText& p, char (&rec)[QZ_PAIR_RECORD]) {
    memset(rec, 0, sizeof rec);
    memcpy(rec, p.key, strnlen(p.key, QZ_PAIR_KEY - 1));
    memcpy(rec + QZ_PAIR_KEY, p.value, strnlen(p.value, QZ_PAIR_KEY - 1));
}

int setUp(stKeyStore* store) {
    keyStoreInit(store, 1009);
    return keyTableCreate(store, "GuidAuth", QZ_PAIR_RECORD, 0, QZ_PAIR_KEY, 1024);
}

void reportStore(benchmark::State& state, const stKeyStore& store) {
    state.counters["bytes_per_record"] =
        static_cast<double>(keyStoreBytes(&store)) / static_cast<double>(kRecords);
    state.counters["buckets"] = store.index.buckets;
    state.counters["longest_run"] = store.index.longestRun;
    state.counters["ns_per_op"] = benchmark::Counter(
        kRecords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Stores every record into a fresh table, growth of the block and of the index included.
void BM_KeyedStore(benchmark::State& state) {
    const std::vector<PairText>& all = pairs();
    stKeyStore store;
    keyStoreInit(&store, 0);
    for (auto _ : state) {
        state.PauseTiming();
        keyStoreFree(&store);
        int t = setUp(&store);
        state.ResumeTiming();
        char rec[QZ_PAIR_RECORD];
        for (const PairText& p : all) {
            makeRecord(p, rec);
            benchmark::DoNotOptimize(keyStoreRecord(&store, t, rec));
        }
    }
    reportStore(state, store);
    keyStoreFree(&store);
}
BENCHMARK(BM_KeyedStore)->Unit(benchmark::kMillisecond);

// pairAdd of new pairs: a lookup of every record with the key, then the store.
void BM_KeyedPairAdd(benchmark::State& state) {
    const std::vector<PairText>& all = pairs();
    stKeyStore store;
    keyStoreInit(&store, 0);
    for (auto _ : state) {
        state.PauseTiming();
        keyStoreFree(&store);
        int t = setUp(&store);
        state.ResumeTiming();
        for (const PairText& p : all) benchmark::DoNotOptimize(pairAdd(&store, t, p.value, p.key));
    }
    reportStore(state, store);
    keyStoreFree(&store);
}
BENCHMARK(BM_KeyedPairAdd)->Unit(benchmark::kMillisecond);

// pairAdd of pairs already present: the lookup alone decides.
void BM_KeyedPairAddPresent(benchmark::State& state) {
    const std::vector<PairText>& all = pairs();
    stKeyStore store;
    int t = setUp(&store);
    for (const PairText& p : all) pairAdd(&store, t, p.value, p.key);
    for (auto _ : state) {
        for (const PairText& p : all) benchmark::DoNotOptimize(pairAdd(&store, t, p.value, p.key));
    }
    reportStore(state, store);
    keyStoreFree(&store);
}
BENCHMARK(BM_KeyedPairAddPresent)->Unit(benchmark::kMillisecond);

// Lookups in a full table: every stored key once, then keys that are not there.
void BM_KeyedFind(benchmark::State& state) {
    const std::vector<PairText>& all = pairs();
    stKeyStore store;
    int t = setUp(&store);
    char rec[QZ_PAIR_RECORD];
    for (const PairText& p : all) {
        makeRecord(p, rec);
        keyStoreRecord(&store, t, rec);
    }
    bool missing = state.range(0) != 0;
    for (auto _ : state) {
        for (const PairText& p : all) {
            char key[QZ_PAIR_KEY] = {};
            memcpy(key, p.key, 32);
            if (missing) key[0] = 'x';  // never a hexadecimal digit
            benchmark::DoNotOptimize(keyFind(&store, t, key));
        }
    }
    reportStore(state, store);
    keyStoreFree(&store);
}
BENCHMARK(BM_KeyedFind)->Arg(0)->Arg(1)->ArgName("missing")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
