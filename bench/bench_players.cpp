// Speed of the player subsystem at the scale administrators share ban lists: the connection
// check against 1,000,000 GUID bans, 10,000 masks and 1,000 name bans; loading a ban file of a
// million records (and the memory the list takes); the player list and a kick with 64 players.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/state.h"
#include "players/bans.h"
#include "players/kick.h"
#include "players/slots.h"
#include "util/text.h"

namespace {

constexpr int kGuidBans = 1000000;
constexpr int kMaskBans = 10000;
constexpr int kNameBans = 1000;

int quietCall(const char*, const char*) { return 1; }
void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}

std::unique_ptr<stQzSv> makeState() {
    auto sv = std::make_unique<stQzSv>();
    sv->host.hostCall = quietCall;
    sv->host.print = quietPrint;
    sv->host.sendClient = quietSend;
    sv->enabled = 1;
    return sv;
}

std::string hexGuid(std::mt19937& rng) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string g(32, '0');
    for (char& c : g) c = kHex[rng() & 15];
    return g;
}

std::string address(std::mt19937& rng) {
    return std::to_string(rng() % 223 + 1) + "." + std::to_string(rng() % 256) + "." +
           std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + ":27960";
}

// The full list of the connection-check figure, built once.
stQzSv* bigList() {
    static std::unique_ptr<stQzSv> sv;
    if (sv) return sv.get();
    sv = makeState();
    std::mt19937 rng(42);
    for (int i = 0; i < kGuidBans; ++i) {
        banAdd(sv.get(), QZ_BAN_GUID, hexGuid(rng).c_str(), "\"Player\" \"1.2.3.4:27960\" cheating",
               0);
    }
    for (int i = 0; i < kMaskBans; ++i) {
        std::string mask = std::to_string(rng() % 223 + 1) + "." + std::to_string(rng() % 256) +
                           "." + std::to_string(rng() % 256) + (i % 2 ? ".*" : ".10-200");
        banAdd(sv.get(), QZ_BAN_MASK, "MASK", ("\"" + mask + "\" \"?\" ?").c_str(), 0);
    }
    for (int i = 0; i < kNameBans; ++i) {
        banAdd(sv.get(), QZ_BAN_NAME, "NAME",
               ("\"^1Bad" + std::to_string(i) + "Name\" \"?\" ?").c_str(), 0);
    }
    return sv.get();
}

struct Visitor {
    std::string guid, address, name;
};

std::vector<Visitor> visitors(bool banned) {
    std::vector<Visitor> v;
    std::mt19937 rng(banned ? 42 : 7);  // seed 42 replays the banned GUIDs
    for (int i = 0; i < 1024; ++i) {
        Visitor x;
        x.guid = hexGuid(rng);
        x.address = address(rng);
        x.name = "^2Some^7Player" + std::to_string(i);
        v.push_back(x);
    }
    return v;
}

void BM_ConnectionCheck(benchmark::State& state) {
    stQzSv* sv = bigList();
    const auto people = visitors(state.range(0) != 0);
    stBanVerdict verdict;
    unsigned now = 5000;
    size_t i = 0;
    for (auto _ : state) {
        const Visitor& x = people[i++ & 1023];
        banCheck(sv, x.guid.c_str(), x.address.c_str(), x.name.c_str(), now, &verdict);
        benchmark::DoNotOptimize(verdict);
    }
    state.counters["entries"] = static_cast<double>(sv->bans.count);
}
BENCHMARK(BM_ConnectionCheck)->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true);

std::string g_banFile;  // written on first use, removed at exit

std::string banFilePath() {
    std::string& path = g_banFile;
    if (!path.empty()) return path;
    path = "/tmp/qz_bench_bans_" + std::to_string(getpid()) + ".dat";
    setHomeDir("/tmp/");  // the ban loader opens files of the home directory only
    FILE* fp = fopen(path.c_str(), "wb");
    std::mt19937 rng(9);
    for (int i = 0; i < kGuidBans; ++i) {
        fprintf(fp, "[12.04.2026 21:30:00] %s \"Player%d\" \"%s\" banned for cheating\r\n\r\n",
                hexGuid(rng).c_str(), i, address(rng).c_str());
    }
    fclose(fp);
    return path;
}

void BM_BanLoad(benchmark::State& state) {
    const std::string path = banFilePath();
    double bytesPerEntry = 0;
    long loaded = 0;
    for (auto _ : state) {
        auto sv = makeState();
        long skipped = 0;
        loaded = banLoadFile(sv.get(), path.c_str(), &skipped);
        bytesPerEntry = static_cast<double>(banBytes(sv.get())) / static_cast<double>(loaded);
        state.PauseTiming();
        banFree(sv.get());
        state.ResumeTiming();
    }
    state.counters["records"] = static_cast<double>(loaded);
    state.counters["bytes_per_entry"] = bytesPerEntry;
}
BENCHMARK(BM_BanLoad)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

void seat(stQzSv* sv, int slot) {
    Qz_Sv_Client_s& c = sv->players.cl[slot - 1];
    memset(&c, 0, sizeof c);
    trf(c.name, sizeof c.name, "^1Player^7%d", slot);
    trf(c.guid, sizeof c.guid, "%032X", slot);
    trf(c.address, sizeof c.address, "10.0.%d.%d:27960", slot / 8, slot);
    QZ_COPY(c.authState, "ok");
    c.os = 'W';
    c.status = QZ_ST_OK;
}

void BM_PlayerList64(benchmark::State& state) {
    auto sv = makeState();
    for (int s = 1; s <= QZ_SLOTS; ++s) seat(sv.get(), s);
    for (auto _ : state) plList(sv.get(), "", 0);
}
BENCHMARK(BM_PlayerList64)->Unit(benchmark::kMicrosecond);

void BM_Kick64(benchmark::State& state) {
    auto sv = makeState();
    for (int s = 1; s <= QZ_SLOTS; ++s) seat(sv.get(), s);
    for (auto _ : state) {
        plKick(sv.get(), "17", 2, "camping | seen", 0);
        state.PauseTiming();
        seat(sv.get(), 17);
        state.ResumeTiming();
    }
    banFree(sv.get());
}
BENCHMARK(BM_Kick64)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_banFile.empty()) remove(g_banFile.c_str());
    return 0;
}
