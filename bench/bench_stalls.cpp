// The calls that used to hold up a frame, at the scale of a large server: 1,000,000 GUID bans,
// 10,000 mask bans and 500 name bans loaded from the ban file into the module running on a
// do-nothing host. Each call kind is timed call by call, by the monotonic clock (wall) and by the
// thread's CPU clock (own), and reported as p50 / p99 / p99.9 / max in microseconds, as a table
// on standard error and as counters. Run it as root under "chrt -f 10" to keep other programs
// out of the wall figures. With QZ_BENCH_SMOKE set the sizes are small.
//
// Kinds:
//   frame            an idle frame call with the list loaded
//   connect          a client asking to join (GUID, mask and name checks), then its drop
//   banlist_all      qz_sv_BanList without a search: the call and every frame until the end line
//   banlist_search   qz_sv_BanList with a search that matches 1 entry, the same way
//   banguid          qz_sv_BanGuid (one append to the ban file)
//   banadd_growth    1,000,000 entries added to an empty list in memory, GUID index and entry
//                    array growth included (the adds of a command or a kick, without the file)
//   banmask_connect  qz_sv_BanMask, then the first connect after it
//   banload          qz_sv_BanLoad of the whole file (a full reload, several runs)
//   restart          qz_sv_Restart: the frame call that reloads everything
//   writecfg         qz_sv_WriteCfg
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/qzsv.h"
#include "host/state.h"
#include "players/bans.h"
#include "playing_server.h"
#include "timed_calls.h"

namespace {

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }
int guidBans() {
    if (const char* n = getenv("QZ_BENCH_BANS")) return atoi(n);
    return smoke() ? 20000 : 1000000;
}
int maskBans() { return smoke() ? 200 : 10000; }
int nameBans() { return smoke() ? 50 : 500; }

struct Both {
    std::vector<double> wall, cpu;  // microseconds
};
std::map<std::string, Both>& kinds() {
    static std::map<std::string, Both> k;
    return k;
}

template <class F>
void timeCall(const char* kind, F&& f) {
    uint64_t w0 = nowNs(CLOCK_MONOTONIC);
    breathe(w0);
    w0 = nowNs(CLOCK_MONOTONIC);
    const uint64_t c0 = nowNs(CLOCK_THREAD_CPUTIME_ID);
    f();
    const uint64_t c1 = nowNs(CLOCK_THREAD_CPUTIME_ID);
    const uint64_t w1 = nowNs(CLOCK_MONOTONIC);
    Both& b = kinds()[kind];
    b.wall.push_back(static_cast<double>(w1 - w0) / 1000.0);
    b.cpu.push_back(static_cast<double>(c1 - c0) / 1000.0);
}

double at(std::vector<double>& v, double q) {
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

void writeBanFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < guidBans(); ++i) {
        fprintf(f, "[12.04.2026 21:30:00] %032X \"P%d\" \"10.%d.%d.%d:27960\" cheating\r\n",
                static_cast<unsigned>(i) * 2654435761u + 1u, i, i >> 16 & 255, i >> 8 & 255,
                i & 255);
    }
    for (int i = 0; i < maskBans(); ++i) {
        fprintf(f, "[12.04.2026 21:30:00] MASK \"%d.%d.*\" \"?\" spam\r\n", 100 + i / 256 % 100,
                i % 256);
    }
    for (int i = 0; i < nameBans(); ++i) {
        fprintf(f, "[12.04.2026 21:30:00] NAME \"badname%d\" \"?\" ?\r\n", i);
    }
    fclose(f);
}

// A do-nothing host that notes the end line of a listing.
std::string g_home;
bool g_listEnded = false;
int hostCall(const char*, const char*) { return 1; }
void print(const char* text) {
    if (strncmp(text, "End of Ban List", 15) == 0) {
        g_listEnded = true;
        fprintf(stderr, "%s\n", text);
    }
    if (strstr(text, "Bans loaded") || strstr(text, "skipped")) fprintf(stderr, "%s\n", text);
}
void sendClient(int, const char*, int) {}
int cvarGet(const char* name, char* out, int size) {
    const char* value = "";
    if (strcmp(name, "fs_homepath") == 0 || strcmp(name, "fs_basepath") == 0) {
        value = g_home.c_str();
    }
    snprintf(out, static_cast<size_t>(size), "%s", value);
    return *value != 0;
}

struct Host {
    Host() {
        char pattern[] = "/tmp/qzstalls-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        g_home = pattern;
        qz_host host = {};
        host.abi = QZ_HOST_ABI;
        host.hostCall = hostCall;
        host.cvarGet = cvarGet;
        host.print = print;
        host.sendClient = sendClient;
        if (sa(&host) != 0) abort();
    }
    ~Host() {
        sb(QZ_EV_SHUTDOWN, 0, "", 0);
        std::error_code ignored;
        std::filesystem::remove_all(g_home, ignored);
    }
    void line(const std::string& text) {
        sb(QZ_EV_CONSOLE, 0, text.data(), static_cast<int>(text.size()));
    }
    void frame() { sb(QZ_EV_FRAME, 0, "", 0); }
    std::string home() const { return g_home + "/qz/"; }
};

void connectAndDrop(int i) {
    char data[160];
    int n = snprintf(data, sizeof data, "Player%d\\%032X\\20.1.%d.%d:27960\\W", i,
                     0xABC00000u + static_cast<unsigned>(i), i / 250 % 250, i % 250 + 1);
    sb(QZ_EV_CONNECT, 1, data, n);
    sb(QZ_EV_DISCONNECT, 1, "", 0);
}

// Runs frames until the list's listing has ended, timing the command and each frame as kind.
void listing(Host& host, const char* kind, const std::string& command) {
    g_listEnded = false;
    timeCall(kind, [&] { host.line(command); });
    for (int i = 0; i < 2000000 && !g_listEnded; ++i) timeCall(kind, [&] { host.frame(); });
}

void BM_Stalls(benchmark::State& state) {
    for (auto _ : state) {
        kinds().clear();
        {
            Host host;
            writeBanFile(host.home() + "qzbans.dat");
            for (int run = 0; run < 3; ++run) {
                host.line("qz_sv_BanEmpty");
                timeCall("banload", [&] { host.line("qz_sv_BanLoad"); });
            }
            for (int i = 0; i < 20000; ++i) timeCall("frame", [&] { host.frame(); });
            for (int i = 0; i < 5000; ++i) timeCall("connect", [&] { connectAndDrop(i); });
            listing(host, "banlist_search", "qz_sv_BanList P123457\"");
            listing(host, "banlist_all", "qz_sv_BanList");
            for (int i = 0; i < 200; ++i) {
                char line[128];
                snprintf(line, sizeof line, "qz_sv_BanGuid %032X Added%d 1.2.3.4 test",
                         0xFEED0000u + static_cast<unsigned>(i), i);
                timeCall("banguid", [&] { host.line(line); });
            }
            for (int i = 0; i < 20; ++i) {
                char line[64];
                snprintf(line, sizeof line, "qz_sv_BanMask 77.%d.*", i);
                timeCall("banmask_connect", [&] { host.line(line); });
                timeCall("banmask_connect", [&] { connectAndDrop(i); });
            }
            for (int i = 0; i < 5; ++i) timeCall("writecfg", [&] { host.line("qz_sv_WriteCfg"); });
            for (int i = 0; i < 2; ++i) {
                host.line("qz_sv_Restart");
                timeCall("restart", [&] { host.frame(); });
            }
        }
        {
            // The list in memory alone, grown one entry at a time from empty.
            auto sv = benchPlayingServer();
            for (int i = 0; i < guidBans(); ++i) {
                char guid[33];
                snprintf(guid, sizeof guid, "%032X", static_cast<unsigned>(i) * 2654435761u + 7u);
                timeCall("banadd_growth",
                         [&] { banAdd(sv.get(), QZ_BAN_GUID, guid, "\"P\" \"1.2.3.4\" x", 0); });
            }
            banFree(sv.get());
        }
    }
    fprintf(stderr,
            "\n| Call | n | wall p50 | p99 | p99.9 | max | own p50 | p99 | p99.9 | max |\n");
    fprintf(stderr, "|---|---|---|---|---|---|---|---|---|---|\n");
    for (auto& [kind, b] : kinds()) {
        std::sort(b.wall.begin(), b.wall.end());
        std::sort(b.cpu.begin(), b.cpu.end());
        fprintf(stderr, "| %s | %zu | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n",
                kind.c_str(), b.wall.size(), at(b.wall, 0.5), at(b.wall, 0.99), at(b.wall, 0.999),
                b.wall.back(), at(b.cpu, 0.5), at(b.cpu, 0.99), at(b.cpu, 0.999), b.cpu.back());
        state.counters[kind + "_p999_us"] = at(b.cpu, 0.999);
        state.counters[kind + "_max_us"] = b.cpu.back();
    }
}
BENCHMARK(BM_Stalls)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
