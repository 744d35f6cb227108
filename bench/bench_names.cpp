// Speed of the name rules at the scale of a large community server: the whole check of one
// rename (every rule and the alias tracking) with 1,000 bad names, 100,000 name locks, 10,000
// protected names and tags and 1,000,000 alias records in memory; and loading and writing an
// alias file of 1,000,000 lines, with the memory each alias record costs. The rename figure is
// timed call by call, so the median, the 99.9th percentile and the maximum are reported. A smoke
// run (--benchmark_min_time below 0.1, as the test command runs it) uses a hundredth of the
// scale so that it takes a second or two.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "commands/settings.h"
#include "host/state.h"
#include "players/names.h"
#include "util/files.h"
#include "util/keyed.h"
#include "util/text.h"

namespace {

int g_scale = 1;  // divides the list sizes in a smoke run
constexpr int kBadNames = 1000;
int kLocks = 100000;
int kProtected = 10000;  // half names, half tags
int kGuids = 100000;
constexpr int kAliasesPerGuid = 10;  // 1,000,000 alias records

int quietCall(const char*, const char*) { return 1; }
void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}

std::unique_ptr<stQzSv> makeState() {
    auto sv = std::make_unique<stQzSv>();
    sv->host.hostCall = quietCall;
    sv->host.print = quietPrint;
    sv->host.sendClient = quietSend;
    settingsDefaults(sv.get());
    sv->enabled = 1;
    keyStoreInit(&sv->keys, 1009);
    sv->tNameLocks = keyTableCreate(&sv->keys, "NameLocks", sizeof(stNameLock), 0, 33, 64);
    sv->tAlias = keyTableCreate(&sv->keys, "Alias", sizeof(stAliasRec), 0, 33, 1024);
    return sv;
}

void freeState(stQzSv* sv) {
    nmFree(sv);
    keyStoreFree(&sv->keys);
}

std::string hexGuid(std::mt19937& rng) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string g(32, '0');
    for (char& c : g) c = kHex[rng() & 15];
    return g;
}

std::string word(std::mt19937& rng, int n) {
    std::string w;
    for (int i = 0; i < n; ++i) w += static_cast<char>('A' + rng() % 26);
    return w;
}

void command(stQzSv* sv, void (*fn)(stQzSv*, const CmdCall&), const std::string& args) {
    std::vector<char> buf(args.begin(), args.end());
    buf.push_back(0);
    CmdCall call{buf.data(), 0, 0};
    fn(sv, call);
}

std::vector<std::string>& guids() {
    static std::vector<std::string> all = [] {
        std::vector<std::string> v;
        std::mt19937 rng(11);
        for (int i = 0; i < kGuids; ++i) v.push_back(hexGuid(rng));
        return v;
    }();
    return all;
}

std::string aliasOf(int guid, int k) {
    return "Gamer" + std::to_string(guid) + "x" + std::to_string(k);
}

// The full lists of the rename figure, built once.
stQzSv* bigState() {
    static std::unique_ptr<stQzSv> sv;
    if (sv) return sv.get();
    sv = makeState();
    stQzSv* s = sv.get();
    std::mt19937 rng(5);
    for (int i = 0; i < kBadNames; ++i) command(s, cmd_badname, "30 Q" + word(rng, 5));
    for (int i = 0; i < kLocks; ++i) {
        command(s, cmd_namelock, hexGuid(rng) + " Locked" + std::to_string(i));
    }
    for (int i = 0; i < kProtected / 2; ++i) {
        command(s, cmd_protectname, std::to_string(i) + " Prot" + std::to_string(i));
        command(s, cmd_protecttag, std::to_string(i) + " [T" + std::to_string(i) + "]");
    }
    stAliasRec rec;
    for (int g = 0; g < kGuids; ++g) {
        for (int k = 0; k < kAliasesPerGuid; ++k) {
            memset(&rec, 0, sizeof rec);
            QZ_COPY(rec.guid, guids()[static_cast<size_t>(g)].c_str());
            nmDigestKey(rec.guid, rec.key);
            QZ_COPY(rec.name, aliasOf(g, k).c_str());
            rec.count = 1;
            rec.first = rec.last = 1767225600u;
            keyStoreRecord(&s->keys, s->tAlias, &rec);
        }
    }
    // 64 players whose GUIDs have their full ten aliases; no rule removes them.
    s->set.changeMax = INT_MAX;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s& c = s->players.cl[slot - 1];
        memset(&c, 0, sizeof c);
        const int g = slot * 997 % kGuids;
        QZ_COPY(c.name, aliasOf(g, 0).c_str());
        QZ_COPY(c.guid, guids()[static_cast<size_t>(g)].c_str());
        trf(c.address, sizeof c.address, "10.0.%d.%d:27960", slot / 8, slot);
        c.status = QZ_ST_OK;
        c.seq = static_cast<unsigned long>(slot);
        nmConnect(s, slot);
    }
    return s;
}

// Tail figures of per-call times, under a prefix: "" for wall-clock time, "cpu_" for the
// thread's own CPU time (which leaves out the time the thread was not running, so that the
// tails on a busy machine show the code rather than the scheduler).
void reportTail(benchmark::State& state, std::vector<double>& us, const std::string& prefix) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters[prefix + "median_us"] = us[us.size() / 2];
    state.counters[prefix + "p99.9_us"] = us[std::min(us.size() - 1, us.size() * 999 / 1000)];
    state.counters[prefix + "max_us"] = us.back();
}

double threadCpuUs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// One rename of one of the 64 players to one of his own aliases (or to a twelfth name that the
// full alias list no longer takes), then the whole name check.
void BM_RenameCheck(benchmark::State& state) {
    stQzSv* sv = bigState();
    std::vector<double> us, cpu;
    us.reserve(1 << 20);
    cpu.reserve(1 << 20);
    unsigned i = 0;
    for (auto _ : state) {
        const int slot = static_cast<int>(i % QZ_SLOTS) + 1;
        const int k = static_cast<int>((i / QZ_SLOTS) % 12);
        i++;
        Qz_Sv_Client_s& c = sv->players.cl[slot - 1];
        QZ_COPY(c.name, aliasOf(slot * 997 % kGuids, k).c_str());
        const double c0 = threadCpuUs();
        auto t0 = std::chrono::steady_clock::now();
        nmRename(sv, slot);
        auto t1 = std::chrono::steady_clock::now();
        const double c1 = threadCpuUs();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        cpu.push_back(c1 - c0);
    }
    reportTail(state, us, "");
    reportTail(state, cpu, "cpu_");
    state.counters["alias_records"] = sv->keys.tables[sv->tAlias].live;
    state.counters["name_locks"] = sv->keys.tables[sv->tNameLocks].live;
}
BENCHMARK(BM_RenameCheck);

std::string g_home;  // temporary home directory, removed at exit

const char* home() {
    if (g_home.empty()) {
        char dir[] = "/tmp/qz_bench_names_XXXXXX";
        if (!mkdtemp(dir)) abort();
        g_home = std::string(dir) + "/";
        setHomeDir(g_home.c_str());
        FILE* fp = fopen((g_home + "qzalias.dat").c_str(), "wb");
        for (int g = 0; g < kGuids; ++g) {
            for (int k = 0; k < kAliasesPerGuid; ++k) {
                fprintf(fp, "%s %d 1767225600 1767229200 %s\r\n", guids()[size_t(g)].c_str(), k + 1,
                        aliasOf(g, k).c_str());
            }
        }
        fclose(fp);
    }
    return g_home.c_str();
}

void BM_AliasLoad(benchmark::State& state) {
    home();
    int loaded = 0;
    double bytes = 0;
    for (auto _ : state) {
        auto sv = makeState();
        int damaged = 0, merged = 0;
        loaded = nmAliasLoad(sv.get(), "qzalias.dat", &damaged, &merged);
        if (damaged || merged) state.SkipWithError("the generated file did not load cleanly");
        bytes = static_cast<double>(keyStoreBytes(&sv->keys)) / loaded;
        state.PauseTiming();
        freeState(sv.get());
        state.ResumeTiming();
    }
    state.counters["records"] = loaded;
    state.counters["bytes_per_record"] = bytes;
}
BENCHMARK(BM_AliasLoad)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_AliasWrite(benchmark::State& state) {
    home();
    auto sv = makeState();
    int damaged = 0, merged = 0;
    nmAliasLoad(sv.get(), "qzalias.dat", &damaged, &merged);
    int written = 0;
    for (auto _ : state) written = nmAliasWrite(sv.get(), "qzalias_out.dat");
    state.counters["records"] = written;
    freeState(sv.get());
}
BENCHMARK(BM_AliasWrite)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* flag = "--benchmark_min_time=";
        if (!strncmp(argv[i], flag, strlen(flag)) && atof(argv[i] + strlen(flag)) < 0.1) {
            g_scale = 100;
        }
    }
    kLocks /= g_scale;
    kProtected /= g_scale;
    kGuids /= g_scale;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_home.empty()) {
        remove((g_home + "qzalias.dat").c_str());
        remove((g_home + "qzalias_out.dat").c_str());
        rmdir(g_home.c_str());
    }
    return 0;
}
