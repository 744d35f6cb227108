// Master exchange costs: a frame with nothing due, a frame while a transfer is under way, a
// 4 MiB signed update from qzmaster on loopback (unthrottled) from request to verified and
// installed, writing and reading the generated server file of 64 masters with full lists, and a
// frame while a module file is being served to a client (malloc counted across those frames,
// which must not allocate). Each figure is reported as median, 99.9th percentile and maximum over
// the measured calls.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "commands/atomic_file.h"
#include "host/state.h"
#include "players/slots.h"
#include "qzmaster/master.h"
#include "remote/clientfiles.h"
#include "remote/masters.h"
#include "remote/mastnet.h"
#include "remote/update.h"
#include "simhost/quiethost.h"
#include "util/files.h"

extern "C" void* __libc_malloc(size_t size);

namespace {

using Clock = std::chrono::steady_clock;

// Allocations of the whole program, counted by the malloc below.
long g_mallocs = 0;

double micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

// Median, p99.9 and maximum of samples (microseconds) as counters.
void tails(benchmark::State& state, std::vector<double> v, const char* prefix = "") {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
    };
    std::string p = prefix;
    state.counters[p + "median_us"] = at(0.5);
    state.counters[p + "p999_us"] = at(0.999);
    state.counters[p + "max_us"] = v.back();
    state.counters[p + "samples"] = static_cast<double>(v.size());
}

// A module of our own state, started on a temporary home, for calling the subsystem directly.
struct Bare {
    stQzSv sv;
    std::string home;
    Bare() {
        char pattern[] = "/tmp/qzbenchremote-XXXXXX";
        home = mkdtemp(pattern);
        home += "/";
        memset(&sv, 0, sizeof sv);
        sv.host.abi = QZ_HOST_ABI;
        sv.host.print = [](const char*) {};
        sv.host.hostCall = [](const char*, const char*) { return 1; };
        sv.set.maxConDls = 1;
        sv.set.maxDlRate = 4;
        sv.svVerMajor = 1;
        sv.svVerMinor = 673;
        setHomeDir(home.c_str());
        mkdir((home + "dll").c_str(), 0755);
    }
    ~Bare() {
        remoteShutdown(&sv);
        // Replaced files are renamed into place by the background thread: let it finish first.
        atomicSyncSettle();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
};

void BM_RemoteFrameNothingDue(benchmark::State& state) {
    static Bare b;
    static bool started = false;
    if (!started) {
        remoteStart(&b.sv);
        started = true;
    }
    b.sv.set.lan = 1;
    remoteFrame(&b.sv);
    std::vector<double> samples;
    samples.reserve(1 << 20);
    for (auto _ : state) {
        auto t0 = Clock::now();
        remoteFrame(&b.sv);
        auto t1 = Clock::now();
        if (samples.size() < samples.capacity()) samples.push_back(micros(t0, t1));
    }
    tails(state, samples);
}
BENCHMARK(BM_RemoteFrameNothingDue);

// One iteration: a 4 MiB signed module update, from qz_sv_Update to the installed new module.
// Reports the frames' total time (the budget is 2 s), each frame's cost during the transfer and
// during the installation that follows it (inflating, digests, signature and writing, a slice
// per frame), and how many frames the installation took.
void BM_Update4MiB(benchmark::State& state) {
    std::vector<double> frames, installFrames;
    double total = 0;
    int runs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Bare b;
        std::string keys = b.home + "keys";
        mkdir(keys.c_str(), 0755);
        std::string priv, pub;
        qzm::makeKeyPair(&priv, &pub);
        std::ofstream(keys + "/k") << priv << "\n";
        std::ofstream(b.home + "qzsvkey.pub") << pub << "\n";
        std::string module(4u << 20, '\0');
        std::mt19937 rng(7);
        for (size_t i = 0; i < module.size(); i += 4) {
            uint32_t r = rng();
            memcpy(&module[i], &r, 4);
        }
        std::ofstream(keys + "/mod.so", std::ios::binary) << module;
        qzm::Options o;
        o.updateModule = keys + "/mod.so";
        o.updateNumber = 1674;
        o.signKey = keys + "/k";
        o.unthrottled = true;
        qzm::MasterServer master;
        std::string error;
        if (!master.start(o, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        static stQzMaster list[1];
        memset(list, 0, sizeof list);
        list[0].number = 2;
        list[0].port = static_cast<int>(master.port());
        snprintf(list[0].host, sizeof list[0].host, "127.0.0.1");
        masterWrite((b.home + "qzns.dat").c_str(), 1, list);
        remoteStart(&b.sv);
        state.ResumeTiming();
        auto start = Clock::now();
        updCheck(&b.sv, 0);
        double inFrames = 0;
        bool done = false;
        while (!done && micros(start, Clock::now()) < 20e6) {
            master.poll();
            auto t0 = Clock::now();
            remoteFrame(&b.sv);
            auto t1 = Clock::now();
            double us = micros(t0, t1);
            inFrames += us;
            bool receiving = false;
            for (const stQzDownload& d : b.sv.remote.dl) receiving |= d.state == QZ_DL_RECEIVING;
            bool installing = b.sv.remote.updJob != nullptr;
            done = access((b.home + "qzsvnew.so").c_str(), F_OK) == 0;
            if (receiving) {
                frames.push_back(us);
            } else if (installing || done) {
                installFrames.push_back(us);
            }
        }
        if (!done) {
            state.SkipWithError("the update did not arrive");
            return;
        }
        total += inFrames;
        runs++;
    }
    state.counters["update_frames_total_ms"] = total / runs / 1000.0;
    tails(state, frames, "transfer_frame_");
    tails(state, installFrames, "install_frame_");
}
BENCHMARK(BM_Update4MiB)->Iterations(1)->Unit(benchmark::kMillisecond);

stQzMaster* fullList() {
    static stQzMaster m[QZ_MASTER_MAX];
    for (int i = 0; i < QZ_MASTER_MAX; ++i) {
        memset(&m[i], 0, sizeof m[i]);
        m[i].number = i + 2;
        m[i].port = 27960;
        snprintf(m[i].host, sizeof m[i].host, "master%d.kestrine.invalid", i);
        m[i].mCount = 3;
        for (int k = 0; k < 3; ++k) {
            m[i].m[k].value = static_cast<uint32_t>(k);
            snprintf(m[i].m[k].text, sizeof m[i].m[k].text, "message %d of master %d", k, i);
        }
        for (arQzFileInfo& l : m[i].files) {
            l.count = QZ_FILEINFO_MAX;
            for (int k = 0; k < QZ_FILEINFO_MAX; ++k) {
                l.e[k].number = 1000 + k;
                l.e[k].value = 0xDEADBEEFu - static_cast<uint32_t>(k);
                snprintf(l.e[k].digest1, 33, "0123456789ABCDEF0123456789abcdef");
                snprintf(l.e[k].digest2, 33, "FEDCBA9876543210fedcba9876543210");
            }
        }
    }
    return m;
}

void BM_MasterFileWrite64(benchmark::State& state) {
    static Bare b;
    stQzMaster* m = fullList();
    std::string path = b.home + "qzns.dat";
    std::vector<double> samples;
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(masterWrite(path.c_str(), QZ_MASTER_MAX, m));
        samples.push_back(micros(t0, Clock::now()));
    }
    tails(state, samples);
}
BENCHMARK(BM_MasterFileWrite64)->Unit(benchmark::kMicrosecond);

void BM_MasterFileRead64(benchmark::State& state) {
    static Bare b;
    std::string path = b.home + "qzns.dat";
    masterWrite(path.c_str(), QZ_MASTER_MAX, fullList());
    static stQzMaster out[QZ_MASTER_MAX];
    std::vector<double> samples;
    for (auto _ : state) {
        int count = 0;
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(masterRead(path.c_str(), &count, out, QZ_MASTER_MAX));
        samples.push_back(micros(t0, Clock::now()));
        if (count != QZ_MASTER_MAX) state.SkipWithError("the list did not read back");
    }
    tails(state, samples);
}
BENCHMARK(BM_MasterFileRead64)->Unit(benchmark::kMicrosecond);

// The blocks the module last sent to the client of slot 1: the client acknowledges them
// between frames, outside the measurement.
uint32_t g_cfId = 0, g_cfBlocks = 0;
long g_cfSent = 0;  // blocks sent during the run
void cfSend(int, const char* text, int length) {
    if (length >= 13 && memcmp(text, "QVRFB", 5) == 0) {
        g_cfSent++;
        const auto* u = reinterpret_cast<const unsigned char*>(text);
        g_cfId = (uint32_t{u[5]} << 24) | (uint32_t{u[6]} << 16) | (uint32_t{u[7]} << 8) | u[8];
        g_cfBlocks =
            ((uint32_t{u[9]} << 24) | (uint32_t{u[10]} << 16) | (uint32_t{u[11]} << 8) | u[12]) + 1;
    }
}

// One frame of the module (the master frame, which runs the client transfers) while a 256 KiB
// module file goes to one client; the client acknowledges every frame's blocks, and a new
// request starts when a transfer ends. The frames must stay under 200 microseconds and must not
// allocate.
void BM_ClientTransferFrame(benchmark::State& state) {
    static Bare b;
    static bool started = false;
    if (!started) {
        remoteStart(&b.sv);
        started = true;
    }
    b.sv.set.lan = 1;
    b.sv.set.maxConUpdates = 4;
    b.sv.clVerMajor = 1;
    b.sv.clVerMinor = 2;
    b.sv.host.sendClient = cfSend;
    Qz_Sv_Client_s* c = plSlot(&b.sv, 1);
    snprintf(c->name, sizeof c->name, "Bench");
    snprintf(c->address, sizeof c->address, "10.0.0.1:27960");
    c->os = 'W';
    c->seq = 1;
    c->status = QZ_ST_UPDT;
    {
        std::ofstream out(b.home + "dll/wc001002.dll", std::ios::binary);
        std::mt19937 rng(7);
        for (int i = 0; i < 256 * 1024; ++i) out.put(static_cast<char>(rng()));
    }
    const char request[] = "QZ_DLREQ c 1000 1002";
    cfPacket(&b.sv, 1, request, static_cast<int>(sizeof request - 1));
    std::vector<double> samples;
    samples.reserve(1 << 20);
    long allocations = 0;
    g_cfSent = 0;
    for (auto _ : state) {
        long before = g_mallocs;
        auto t0 = Clock::now();
        remoteFrame(&b.sv);
        auto t1 = Clock::now();
        allocations += g_mallocs - before;
        if (samples.size() < samples.capacity()) samples.push_back(micros(t0, t1));
        char ack[64];
        int n = snprintf(ack, sizeof ack, "QZ_VRFC ack %u %u", g_cfId, g_cfBlocks);
        cfPacket(&b.sv, 1, ack, n);
        if (b.sv.remote.cf.serve[0].state == QZ_CF_IDLE) {
            cfPacket(&b.sv, 1, request, static_cast<int>(sizeof request - 1));
        }
    }
    tails(state, samples);
    state.counters["blocks_per_frame"] =
        samples.empty() ? 0 : static_cast<double>(g_cfSent) / static_cast<double>(samples.size());
    state.counters["allocations"] = static_cast<double>(allocations);
    if (allocations) state.SkipWithError("a frame with a client transfer allocated");
}
BENCHMARK(BM_ClientTransferFrame);

}  // namespace

// Counts every allocation of the program, the module's included.
extern "C" void* malloc(size_t size) {
    g_mallocs++;
    return __libc_malloc(size);
}

BENCHMARK_MAIN();
