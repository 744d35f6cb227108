// Speed of the cvar range checks and client queries: the range-check work of one frame with 64
// playing clients and 200 checks when every player is due, a frame with nothing due, and one
// query answer handled (parsed, matched, shown and logged) through the module's packet path.
// Each reports the median, the 99.9th percentile and the maximum of its iterations in wall-clock
// time, and the same of the thread's processor time (cpu_*), which leaves out the time the
// thread was not running on a machine shared with other work.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "commands/table.h"
#include "host/qzsv.h"
#include "host/state.h"
#include "players/cvars.h"
#include "playing_server.h"
#include "simhost/quiethost.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChecks = 200;

// A central state with 64 playing clients and 200 checks (numeric and text).
std::unique_ptr<stQzSv> playingServer() {
    auto sv = benchPlayingServer();
    sv->set.cvarFreq = 4;
    sv->set.cvarUserPulse = 30;
    sv->set.cvarChangedPulse = 30;
    for (int i = 0; i < kChecks; ++i) {
        char line[96];
        if (i % 4 == 3) {
            trf(line, qz::cap(line), "check_cvar_%03d exclude \"cheat\"", i);
        } else {
            trf(line, qz::cap(line), "check_cvar_%03d in 0.25 %d.5", i, 100 + i);
        }
        cmd_cvar(sv.get(), CmdCall{line, 0, 0});
    }
    return sv;
}

void tails(benchmark::State& state, std::vector<double>& us, const char* prefix) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    std::string p = prefix;
    state.counters[p + "median_us"] = us[us.size() / 2];
    state.counters[p + "p999_us"] = us[std::min(us.size() - 1, us.size() * 999 / 1000)];
    state.counters[p + "max_us"] = us.back();
}

double threadMicros() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Wall-clock and processor time of the iterations.
struct Timings {
    std::vector<double> wall, cpu;
    Clock::time_point t0;
    double c0 = 0;
    void start() {
        c0 = threadMicros();
        t0 = Clock::now();
    }
    double stop() {
        double t = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        cpu.push_back(threadMicros() - c0);
        wall.push_back(t);
        return t;
    }
    void report(benchmark::State& state) {
        tails(state, wall, "");
        tails(state, cpu, "cpu_");
    }
};

// Every player's pass is due at once: the frame sends what its budget allows and looks at every
// player's waiting queries.
void BM_RangeCheckFrameAllDue(benchmark::State& state) {
    auto sv = playingServer();
    cvarFrame(sv.get());  // sets every player's query state up
    Timings t;
    for (auto _ : state) {
        benchMicros += 50000;
        for (stCvarSlot& s : sv->cvars.slot) {
            memset(s.open, 0, sizeof s.open);
            s.cursor = 0;
        }
        sv->cvars.dueSet = 0;
        t.start();
        cvarFrame(sv.get());
        state.SetIterationTime(t.stop() / 1e6);
    }
    t.report(state);
    clockSetSource(nullptr);
}
BENCHMARK(BM_RangeCheckFrameAllDue)->UseManualTime();

// Frames in between: nothing is due.
void BM_IdleFrame(benchmark::State& state) {
    auto sv = playingServer();
    cvarFrame(sv.get());
    sv->cvars.dueSet = 1;
    sv->cvars.nextDue = GetTickCount() + 1000000u;
    Timings t;
    for (auto _ : state) {
        t.start();
        cvarFrame(sv.get());
        state.SetIterationTime(t.stop() / 1e6);
    }
    t.report(state);
    clockSetSource(nullptr);
}
BENCHMARK(BM_IdleFrame)->UseManualTime();

// One value query answered by a playing client, through sb as the host delivers it: parsed,
// matched to its query, checked, shown on the console and written to the regular log.
void BM_QueryAnswer(benchmark::State& state) {
    static sim::QuietHost host("qzbenchcv");
    const std::string who = "Bob\\0123456789ABCDEF0123456789ABCDEF\\1.2.3.4:27960\\W";
    sb(QZ_EV_DISCONNECT, 1, "", 0);
    sb(QZ_EV_CONNECT, 1, who.data(), static_cast<int>(who.size()));
    for (const char* p : {"QZ_INIT 1.000 P", "QZ_UPDT 0.000", "QZ_READY"}) {
        sb(QZ_EV_PACKET, 1, p, static_cast<int>(strlen(p)));
    }
    host.line("qz_sv_Cvar cg_fov in 90 120");
    Timings t;
    unsigned id = 0;
    for (auto _ : state) {
        host.line("qz_sv_CvarVal cg_fov 1");
        ++id;
        std::string answer = "QZ_ANS " + std::to_string(id) + " 0\ncg_fov 100";
        t.start();
        sb(QZ_EV_PACKET, 1, answer.data(), static_cast<int>(answer.size()));
        state.SetIterationTime(t.stop() / 1e6);
    }
    t.report(state);
}
BENCHMARK(BM_QueryAnswer)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
