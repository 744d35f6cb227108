// Speed of power, statistics and tasks at the scale the figures are given for: the frame with 64
// players, 100 tasks and the periodic statistics write due, and with nothing due; one statistics
// event merged into a player's record; loading a 100,000-record statistics file; the power rule
// over 10,000 entries. Every timed call is measured on its own, so each benchmark reports the
// median, the 99.9th percentile and the maximum (microseconds) besides Google Benchmark's mean.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "host/state.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

int quietCall(const char*, const char*) { return 1; }
void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}

// A smoke run (a minimum time below a tenth of a second, as the test suite runs every benchmark)
// loads a file of a tenth of the records, so that it stays short.
bool g_smoke = false;

long long g_seconds = 1781524800;  // 2026-06-15 12:00:00 UTC
int g_micros = 0;
void manualClock(long long* seconds, int* micros) {
    *seconds = g_seconds;
    *micros = g_micros;
}
void advance(long long ms) {
    long long us = static_cast<long long>(g_micros) + ms * 1000;
    g_seconds += us / 1000000;
    g_micros = static_cast<int>(us % 1000000);
}

// Times of single calls, reported as tail figures.
struct Tail {
    std::vector<double> us;
    void add(std::chrono::steady_clock::duration d) {
        us.push_back(std::chrono::duration<double, std::micro>(d).count());
    }
    void report(benchmark::State& state) {
        if (us.empty()) return;
        std::sort(us.begin(), us.end());
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p999_us"] = us[std::min(us.size() - 1, us.size() * 999 / 1000)];
        state.counters["max_us"] = us.back();
    }
};

std::string hexGuid(std::mt19937& rng) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string g(32, '0');
    for (char& c : g) c = kHex[rng() & 15];
    return g;
}

// A central state as start-up leaves it: settings, home directory, keyed tables, power lists.
struct Module {
    std::unique_ptr<stQzSv> sv = std::make_unique<stQzSv>();
    std::string home;

    Module() {
        char pattern[] = "/tmp/qzbenchpower-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        home = std::string(pattern) + "/";
        clockSetSource(manualClock);
        sv->host.hostCall = quietCall;
        sv->host.print = quietPrint;
        sv->host.sendClient = quietSend;
        sv->enabled = 1;
        settingsDefaults(sv.get());
        QZ_COPY(sv->homeDir, home.c_str());
        setHomeDir(sv->homeDir);
        keyStoreInit(&sv->keys, 1009);
        const char* names[] = {"NameLocks", "Alias", "PersStat", "NewStat", "GuidAuth"};
        int* numbers[] = {&sv->tNameLocks, &sv->tAlias, &sv->tPersStat, &sv->tNewStat,
                          &sv->tGuidAuth};
        const int sizes[] = {66, 72, sizeof(stSvStat), sizeof(stSvStat), QZ_PAIR_RECORD};
        for (int i = 0; i < 5; ++i)
            *numbers[i] = keyTableCreate(&sv->keys, names[i], sizes[i], 0, QZ_PAIR_KEY, 1024);
        pwStartup(sv.get());
    }
    ~Module() {
        sv->set.statTrack = 0;
        pwFree(sv.get());
        keyStoreFree(&sv->keys);
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
        clockSetSource(nullptr);
    }
    void seatPlayers(int n) {
        std::mt19937 rng(5);
        for (int slot = 1; slot <= n; ++slot) {
            Qz_Sv_Client_s& c = sv->players.cl[slot - 1];
            memset(&c, 0, sizeof c);
            QZ_TRF(c.name, "Player%d", slot);
            QZ_COPY(c.guid, hexGuid(rng).c_str());
            QZ_TRF(c.address, "10.0.0.%d:27960", slot);
            c.status = QZ_ST_OK;
            c.seq = static_cast<unsigned long>(slot);
            c.statTick = qzMonoTick();
        }
    }
};

// 64 players, 100 tasks, statistics tracked. Nothing due: the tasks wait ten minutes and the
// periodic write is five minutes away.
void BM_FrameNothingDue(benchmark::State& state) {
    Module m;
    stQzSv* sv = m.sv.get();
    m.seatPlayers(64);
    for (int i = 0; i < 100; ++i) taskAdd(sv, 600, 600, "qz_sv_KickLen 2");
    sv->set.statTrack = 1;
    pwFrame(sv);  // schedules the write
    Tail tail;
    tail.us.reserve(1 << 20);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        pwFrame(sv);
        tail.add(std::chrono::steady_clock::now() - t0);
    }
    tail.report(state);
}
BENCHMARK(BM_FrameNothingDue);

// The same frame with every task due and the periodic write due: the frame runs its share of
// the tasks (at most 16) and appends the 64 players' new records.
void BM_FrameAllDue(benchmark::State& state) {
    Module m;
    stQzSv* sv = m.sv.get();
    m.seatPlayers(64);
    for (int i = 0; i < 100; ++i) taskAdd(sv, 0, 1, "qz_sv_KickLen 2");
    sv->set.statTrack = 1;
    pwFrame(sv);
    const std::string statFile = m.home + "qzstat.dat";
    Tail tail;
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        advance(1000);
        unsigned now = qzMonoTick();
        for (int i = 0; i < sv->pw.tasks.count; ++i)
            static_cast<stSvTask*>(flexarAt(&sv->pw.tasks, i))->due = now;
        sv->pw.statWriteDue = now;
        for (int slot = 1; slot <= 64; ++slot) statEvent(sv, slot, "kill", "MP40", "oasis", "4", 1);
        if (++n % 256 == 0 && truncate(statFile.c_str(), 0) != 0) {
            state.SkipWithError(("truncate " + statFile + ": " + strerror(errno)).c_str());
            break;
        }
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        pwFrame(sv);
        tail.add(std::chrono::steady_clock::now() - t0);
    }
    tail.report(state);
}
BENCHMARK(BM_FrameAllDue);

// One event merged into a record that already holds twelve groups: each event adds to one of
// twenty keys.
void BM_StatEvent(benchmark::State& state) {
    Module m;
    stQzSv* sv = m.sv.get();
    m.seatPlayers(1);
    const char* weapons[] = {"MP40",     "Thompson",  "Sten",      "Panzer",  "Mortar",
                             "Knife",    "Colt",      "Luger",     "Garand",  "K43",
                             "FG42",     "Sniper",    "MG42",      "Flamer",  "Grenade",
                             "Dynamite", "Airstrike", "Artillery", "Satchel", "Mine"};
    const char* cats[] = {"kill", "death",  "skill", "game", "hits", "shots",
                          "heal", "revive", "ammo",  "obj",  "time", "misc"};
    for (int i = 0; i < 12; ++i) statEvent(sv, 1, cats[i], weapons[i], "oasis", "4", 1);
    Tail tail;
    tail.us.reserve(1 << 20);
    unsigned i = 0;
    for (auto _ : state) {
        const char* w = weapons[i % 20];
        const char* c = cats[(i / 20) % 3];
        i++;
        auto t0 = std::chrono::steady_clock::now();
        bool ok = statEvent(sv, 1, c, w, "oasis", "4", 1);
        tail.add(std::chrono::steady_clock::now() - t0);
        benchmark::DoNotOptimize(ok);
    }
    tail.report(state);
}
BENCHMARK(BM_StatEvent);

// 100,000 records with texts of three groups, each GUID once.
void BM_StatLoad(benchmark::State& state) {
    Module m;
    stQzSv* sv = m.sv.get();
    {
        FILE* f = fopen((m.home + "qzstat.dat").c_str(), "wb");
        std::mt19937 rng(11);
        const int records = g_smoke ? 10000 : 100000;
        for (int i = 0; i < records; ++i) {
            fprintf(f,
                    "%s age=1781524800 secs=%d stat=\"kill[MP40,oasis,4:%d.0 Knife,oasis,4:2.0] "
                    "death[MP40,oasis,4:3.0] skill[medic,oasis,4:%d.0]\"\r\n",
                    hexGuid(rng).c_str(), i, i % 50, i % 7);
        }
        fclose(f);
    }
    Tail tail;
    int loaded = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        loaded = statLoad(sv);
        tail.add(std::chrono::steady_clock::now() - t0);
    }
    tail.report(state);
    state.counters["records"] = loaded;
}
BENCHMARK(BM_StatLoad)->Iterations(1)->Unit(benchmark::kMillisecond);

// The power rule for a connecting player against 10,000 entries of whole GUIDs (half the
// players listed, half not) with a few partial entries at the end of the list.
void BM_PowerRule(benchmark::State& state) {
    Module m;
    stQzSv* sv = m.sv.get();
    std::mt19937 rng(3);
    std::vector<std::string> players;
    for (int i = 0; i < 10000; ++i) {
        std::string g = hexGuid(rng);
        bool updated = false;
        pwSet(sv, g.c_str(), i % 200, "Someone", &updated);
        if (i % 10 == 0) players.push_back(g);
        if (i % 10 == 1) players.push_back(hexGuid(rng));
    }
    for (int i = 0; i < static_cast<int>(state.range(0)); ++i) {
        bool updated = false;
        pwSet(sv, hexGuid(rng).substr(0, 8).c_str(), 5, "Part", &updated);
    }
    Tail tail;
    tail.us.reserve(1 << 20);
    size_t i = 0;
    for (auto _ : state) {
        const std::string& g = players[i++ % players.size()];
        auto t0 = std::chrono::steady_clock::now();
        int p = pwRule(sv, g.c_str(), 0, nullptr);
        tail.add(std::chrono::steady_clock::now() - t0);
        benchmark::DoNotOptimize(p);
    }
    tail.report(state);
    state.counters["entries"] = sv->pw.list.count;
}
BENCHMARK(BM_PowerRule)->Arg(16)->Arg(10000);

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* p = argv[i];
        if (!strncmp(p, "--benchmark_min_time=", 21) && atof(p + 21) < 0.1) g_smoke = true;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
