// Speed of the player subsystem at the scale administrators share ban lists: the connection
// check against 1,000,000 GUID bans, 10,000 masks and 1,000 name bans, alone and as the whole
// connect event the host sends (sb), refused and admitted; the start-up time that loading a ban
// file of a million records adds (and the memory the list takes); the player list and a kick
// with 64 players. Per-call figures are the median, the 99.9th percentile and the maximum in
// nanoseconds. With QZ_BENCH_SMOKE set the lists are small.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/qzsv.h"
#include "host/state.h"
#include "players/bans.h"
#include "players/kick.h"
#include "players/slots.h"
#include "util/text.h"
#include "timed_calls.h"

namespace {

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }
int guidBans() { return smoke() ? 20000 : 1000000; }
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

// The banned GUIDs, kept so that the banned visitors are really banned.
const std::vector<std::string>& bannedGuids() {
    static std::vector<std::string> all = [] {
        std::vector<std::string> v;
        std::mt19937 rng(42);
        for (int i = 0; i < guidBans(); ++i) v.push_back(hexGuid(rng));
        return v;
    }();
    return all;
}

std::vector<std::string> maskTexts() {
    std::vector<std::string> v;
    std::mt19937 rng(43);
    for (int i = 0; i < kMaskBans; ++i) {
        v.push_back(std::to_string(rng() % 223 + 1) + "." + std::to_string(rng() % 256) + "." +
                    std::to_string(rng() % 256) + (i % 2 ? ".*" : ".10-200"));
    }
    return v;
}

// The full list of the connection-check figure, built once.
stQzSv* bigList() {
    static std::unique_ptr<stQzSv> sv;
    if (sv) return sv.get();
    sv = makeState();
    for (const std::string& g : bannedGuids()) {
        banAdd(sv.get(), QZ_BAN_GUID, g.c_str(), "\"Player\" \"1.2.3.4:27960\" cheating", 0);
    }
    for (const std::string& mask : maskTexts()) {
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

// Banned visitors carry GUIDs from the ban list; the others fresh random ones (a million of
// 2^128 cannot be hit by chance).
std::vector<Visitor> visitors(bool banned) {
    std::vector<Visitor> v;
    std::mt19937 rng(banned ? 11 : 7);
    const std::vector<std::string>& bans = bannedGuids();
    for (int i = 0; i < 1024; ++i) {
        Visitor x;
        x.guid = banned ? bans[rng() % bans.size()] : hexGuid(rng);
        // 10.x addresses: no random mask of the list covers them.
        x.address = "10." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." +
                    std::to_string(rng() % 256) + ":27960";
        x.name = "^2Some^7Player" + std::to_string(i);
        v.push_back(x);
    }
    return v;
}


void BM_ConnectionCheck(benchmark::State& state) {
    stQzSv* sv = bigList();
    const bool banned = state.range(0) != 0;
    const auto people = visitors(banned);
    stBanVerdict verdict;
    unsigned now = 5000;
    size_t i = 0;
    Timed each;
    for (auto _ : state) {
        const Visitor& x = people[i++ & 1023];
        timed(each, [&] {
            banCheck(sv, x.guid.c_str(), x.address.c_str(), x.name.c_str(), now, &verdict);
            return 0;
        });
        if (verdict.rejoin != (banned ? -1 : 0)) state.SkipWithError("wrong verdict");
        benchmark::DoNotOptimize(verdict);
    }
    report(state, "check", each);
    state.counters["entries"] = static_cast<double>(sv->bans.count);
}
BENCHMARK(BM_ConnectionCheck)->ArgName("banned")->Arg(0)->Arg(1);

// A ban file of guidBans() records, as the module writes them, with the GUIDs of the list.
void writeBanFile(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) abort();
    std::mt19937 rng(9);
    int i = 0;
    for (const std::string& g : bannedGuids()) {
        fprintf(fp, "[12.04.2026 21:30:00] %s \"Player%d\" \"%s\" banned for cheating\r\n\r\n",
                g.c_str(), i++, address(rng).c_str());
    }
    std::vector<std::string> masks = maskTexts();
    for (const std::string& m : masks) {
        fprintf(fp, "[12.04.2026 21:30:00] MASK \"%s\" \"?\" ?\r\n\r\n", m.c_str());
    }
    for (int n = 0; n < kNameBans; ++n) {
        fprintf(fp, "[12.04.2026 21:30:00] NAME \"^1Bad%dName\" \"?\" ?\r\n\r\n", n);
    }
    if (fclose(fp) != 0) abort();
}

// A module of our own, started on a temporary home that may hold a ban file.
struct Module {
    static std::string& home() {
        static std::string h;
        return h;
    }
    static int cvarGet(const char* name, char* out, int size) {
        const char* value = "";
        if (!strcmp(name, "fs_homepath") || !strcmp(name, "fs_basepath")) value = home().c_str();
        snprintf(out, static_cast<size_t>(size), "%s", value);
        return *value != 0;
    }
    std::string temp;
    Module() {
        char pattern[] = "/tmp/qzbenchbans-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        temp = pattern;
        home() = temp;
        std::filesystem::create_directories(temp + "/qz");
    }
    ~Module() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(temp, ignored);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    std::string banFile() const { return temp + "/qz/qzbans.dat"; }
    bool running = false;
    double lastCpu = 0;  // CPU nanoseconds of the last start
    // Starts the module; returns the (wall-clock) nanoseconds sa took.
    double start() {
        qz_host host = {};
        host.abi = QZ_HOST_ABI;
        host.hostCall = quietCall;
        host.cvarGet = cvarGet;
        host.print = quietPrint;
        host.sendClient = quietSend;
        uint64_t t0 = nowNs(CLOCK_MONOTONIC), c0 = nowNs(CLOCK_THREAD_CPUTIME_ID);
        if (sa(&host) != 0) abort();
        running = true;
        lastCpu = static_cast<double>(nowNs(CLOCK_THREAD_CPUTIME_ID) - c0);
        return static_cast<double>(nowNs(CLOCK_MONOTONIC) - t0);
    }
    void stop() {
        if (running) sb(QZ_EV_SHUTDOWN, 0, "", 0);
        running = false;
    }
};

// The start-up time that a ban file of a million records adds: sa with the file, less sa
// without it (the page cache holds the file, as on a server that restarts).
void BM_StartupBanLoad(benchmark::State& state) {
    Module m;
    writeBanFile(m.banFile());
    double with = 0, without = 0, withCpu = 0, withoutCpu = 0;
    for (auto _ : state) {
        with = m.start() / 1e6;
        withCpu = m.lastCpu / 1e6;
        m.stop();
        std::filesystem::rename(m.banFile(), m.banFile() + ".away");
        without = m.start() / 1e6;
        withoutCpu = m.lastCpu / 1e6;
        m.stop();
        std::filesystem::rename(m.banFile() + ".away", m.banFile());
    }
    state.counters["records"] = static_cast<double>(bannedGuids().size() + kMaskBans + kNameBans);
    state.counters["startup_with_ms"] = with;
    state.counters["startup_without_ms"] = without;
    state.counters["added_wall_ms"] = with - without;
    state.counters["added_cpu_ms"] = withCpu - withoutCpu;
}
BENCHMARK(BM_StartupBanLoad)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// banLoadFile alone, with the memory the list takes.
void BM_BanLoad(benchmark::State& state) {
    Module m;
    writeBanFile(m.banFile());
    // The loader opens files of the module's home directory only.
    std::string qzHome = m.temp + "/qz/";
    setHomeDir(qzHome.c_str());
    double bytesPerEntry = 0;
    long loaded = 0;
    for (auto _ : state) {
        auto sv = makeState();
        long skipped = 0;
        loaded = banLoadFile(sv.get(), m.banFile().c_str(), &skipped);
        bytesPerEntry = static_cast<double>(banBytes(sv.get())) / static_cast<double>(loaded);
        state.PauseTiming();
        // Every GUID of the file is banned now.
        const std::vector<std::string>& guids = bannedGuids();
        for (size_t g = 0; g < guids.size(); g += 97) {
            int found = 0;
            if (banRejoin(sv.get(), guids[g].c_str(), 5000, &found) != -1) {
                fprintf(stderr, "GUID %zu %s not banned after the load\n", g, guids[g].c_str());
                state.SkipWithError("a GUID of the file is not banned");
                break;
            }
        }
        banFree(sv.get());
        state.ResumeTiming();
    }
    state.counters["records"] = static_cast<double>(loaded);
    state.counters["bytes_per_entry"] = bytesPerEntry;
}
BENCHMARK(BM_BanLoad)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// The whole connect event through sb, with the module holding the million bans of its ban file:
// banned visitors are refused (QZ_REFUSE), the others admitted (and disconnected again, untimed).
void BM_ConnectEvent(benchmark::State& state) {
    static std::unique_ptr<Module> m;
    if (!m) {
        m = std::make_unique<Module>();
        writeBanFile(m->banFile());
        m->start();
    }
    const bool banned = state.range(0) != 0;
    const auto people = visitors(banned);
    std::vector<std::string> texts;
    for (const Visitor& x : people) texts.push_back(x.name + "\\" + x.guid + "\\" + x.address + "\\W");
    Timed each;
    size_t i = 0;
    for (auto _ : state) {
        const std::string& text = texts[i++ & 1023];
        int verdict = timed(
            each, [&] { return sb(QZ_EV_CONNECT, 5, text.data(), static_cast<int>(text.size())); });
        if (verdict != (banned ? QZ_REFUSE : QZ_ADMIT)) {
            fprintf(stderr, "wrong verdict %d for %s\n", verdict, text.c_str());
            state.SkipWithError("wrong verdict");
            break;
        }
        if (verdict == QZ_ADMIT) {
            state.PauseTiming();
            sb(QZ_EV_DISCONNECT, 5, "", 0);
            state.ResumeTiming();
        }
    }
    report(state, banned ? "refused" : "admitted", each);
}
BENCHMARK(BM_ConnectEvent)->ArgName("banned")->Arg(0)->Arg(1);

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
    return 0;
}
