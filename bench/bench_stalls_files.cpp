// The statistics and alias files and the configuration write at the scale of a large server:
// 100,000 statistics records and 100,000 aliases, on the module running on a do-nothing host.
// Each long operation is timed call by call, the command and then every frame call until its
// closing line, by the monotonic clock (wall) and by the thread's CPU clock (own); the table on
// standard error gives p50 / p99 / p99.9 / max in microseconds, and how many calls each kind
// took. Run it as root under "chrt -f 10" to keep other programs out of the wall figures. With
// QZ_BENCH_SMOKE set the sizes are small.
//
// Kinds:
//   frame       an idle frame call with both files loaded
//   statwrite   QZ_SV_STATWRITE (read, merge, write, rename) with 64 players' new records
//   statload    QZ_SV_STATLOAD
//   newlog      qz_sv_NewLog with qz_sv_statautoload 1 (the append and the load)
//   aliaswrite  qz_sv_AliasWrite
//   aliasload   qz_sv_AliasLoad into an empty table (a restart's load)
//   writecfg    qz_sv_WriteCfg (the files written and renamed; their syncs run in the background)
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "commands/atomic_file.h"
#include "host/qzsv.h"
#include "timed_calls.h"

namespace {

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }
int records() { return smoke() ? 2000 : 100000; }

struct Samples {
    std::vector<double> wall, own;  // microseconds
    int operations = 0;
};
std::map<std::string, Samples>& kinds() {
    static std::map<std::string, Samples> k;
    return k;
}

template <class F>
void timeCall(const char* kind, F&& f) {
    breathe(nowNs(CLOCK_MONOTONIC));
    const uint64_t w0 = nowNs(CLOCK_MONOTONIC);
    const uint64_t c0 = nowNs(CLOCK_THREAD_CPUTIME_ID);
    f();
    const uint64_t c1 = nowNs(CLOCK_THREAD_CPUTIME_ID);
    const uint64_t w1 = nowNs(CLOCK_MONOTONIC);
    Samples& s = kinds()[kind];
    s.wall.push_back(static_cast<double>(w1 - w0) / 1000.0);
    s.own.push_back(static_cast<double>(c1 - c0) / 1000.0);
}

double quantile(std::vector<double>& v, double q) {
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

// A do-nothing host that notes the closing lines.
std::string g_home;
std::string g_wanted;
bool g_seen = false;
int hostCall(const char*, const char*) { return 1; }
void print(const char* text) {
    if (!g_wanted.empty() && strstr(text, g_wanted.c_str())) g_seen = true;
    if (strstr(text, "ERROR") || strstr(text, "busy")) fprintf(stderr, "%s\n", text);
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
        char pattern[] = "/tmp/qzstallsfiles-XXXXXX";
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

void writeStatFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < records(); ++i) {
        fprintf(f,
                "%032X age=%d secs=%d stat=\"kill[MP40,oasis,4:%d.0 knife,oasis,4:1.0] "
                "death[MP40,oasis,4:2.0] skill[medic,oasis,4:3.0]\"\r\n",
                static_cast<unsigned>(i) * 2654435761u + 1u, 1781000000 + i, i % 5000, i % 50);
    }
    fclose(f);
}

void writeAliasFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < records(); ++i) {
        fprintf(f, "%032X %d %d %d Player name %d\r\n",
                static_cast<unsigned>(i / 2) * 2654435761u + 3u, i % 40 + 1, 1780000000 + i,
                1781000000 + i, i);
    }
    fclose(f);
}

// Times the command and every frame call until a line holds closing; counts one operation.
void operation(Host& host, const char* kind, const std::string& command, const char* closing) {
    g_wanted = closing;
    g_seen = false;
    timeCall(kind, [&] { host.line(command); });
    for (int i = 0; i < 10000000 && !g_seen; ++i) timeCall(kind, [&] { host.frame(); });
    g_wanted.clear();
    kinds()[kind].operations++;
}

// Players who joined and played, so that the write has new records to merge.
void play(Host& host, int round) {
    for (int slot = 1; slot <= 64; ++slot) {
        char data[160];
        int n = snprintf(data, sizeof data, "Player%d\\%032X\\20.1.%d.%d:27960\\W", slot,
                         0xABC00000u + static_cast<unsigned>(slot * 7 + round), slot / 250,
                         slot % 250 + 1);
        sb(QZ_EV_CONNECT, slot, data, n);
    }
    struct timespec pause = {1, 100000000};  // a whole second played
    nanosleep(&pause, nullptr);
    host.frame();
    for (int slot = 1; slot <= 64; ++slot) sb(QZ_EV_DISCONNECT, slot, "", 0);
}

void BM_StallsFiles(benchmark::State& state) {
    for (auto _ : state) {
        kinds().clear();
        Host host;
        writeStatFile(host.home() + "qzstat.dat");
        writeAliasFile(host.home() + "qzalias.dat");
        host.line("qz_sv_stattrack 1");
        operation(host, "aliasload", "qz_sv_AliasLoad", "Loaded from");
        operation(host, "statload", "QZ_SV_STATLOAD", "Loaded from");
        for (int i = 0; i < 20000; ++i) timeCall("frame", [&] { host.frame(); });
        for (int run = 0; run < 3; ++run) {
            play(host, run);
            operation(host, "statwrite", "QZ_SV_STATWRITE", "Written to");
            operation(host, "statload", "QZ_SV_STATLOAD", "Loaded from");
        }
        host.line("qz_sv_statautoload 1");
        for (int run = 0; run < 3; ++run) {
            play(host, 10 + run);
            operation(host, "newlog", "qz_sv_NewLog", "Loaded from");
        }
        for (int run = 0; run < 3; ++run)
            operation(host, "aliaswrite", "qz_sv_AliasWrite", "Written to");
        for (int run = 0; run < 20; ++run)
            operation(host, "writecfg", "qz_sv_WriteCfg", "Config File written to");
        atomicSyncSettle();
    }
    fprintf(stderr,
            "\n| Call | ops | calls | wall p50 | p99 | p99.9 | max | own p50 | p99 | p99.9 | max "
            "|\n");
    fprintf(stderr, "|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (auto& [kind, s] : kinds()) {
        std::sort(s.wall.begin(), s.wall.end());
        std::sort(s.own.begin(), s.own.end());
        fprintf(stderr,
                "| %s | %d | %zu | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n",
                kind.c_str(), s.operations, s.wall.size(), quantile(s.wall, 0.5),
                quantile(s.wall, 0.99), quantile(s.wall, 0.999), s.wall.back(),
                quantile(s.own, 0.5), quantile(s.own, 0.99), quantile(s.own, 0.999), s.own.back());
        state.counters[kind + "_p999_us"] = quantile(s.own, 0.999);
        state.counters[kind + "_max_us"] = s.own.back();
    }
}
BENCHMARK(BM_StallsFiles)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
