// Speed of the MD5Tool checks: the frame that sends a round (four checks each) to 64 playing
// clients, a frame with nothing due, the answer parser alone, and one answer handled through the
// module's packet path (parsed, matched, judged and logged). Each reports the median, the 99.9th
// percentile and the maximum of its calls (timed_calls.h). malloc is counted across the frame
// and answer calls, since neither may allocate.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "commands/handlers.h"
#include "host/state.h"
#include "playing_server.h"
#include "remote/md5checks.h"
#include "timed_calls.h"
#include "util/clock.h"
#include "util/md5.h"
#include "util/text.h"

extern "C" void* __libc_malloc(size_t size);

namespace {

long g_mallocs = 0;

// Fails the benchmark when the measured calls allocated.
void noAllocations(benchmark::State& state, long allocations) {
    state.counters["allocations"] = static_cast<double>(allocations);
    if (allocations) state.SkipWithError("the measured call allocated");
}

// A central state with 64 playing clients and eight checkable entries.
std::unique_ptr<stQzSv> playingServer() {
    auto sv = benchPlayingServer();
    sv->set.md5toolFreq = 10;
    for (int i = 0; i < 8; ++i) {
        char line[160];
        trf(line, qz::cap(line),
            "F \"etmain/pak%d.pk3\" M \"900150983CD24FB0D6963F7D28E17F72\" SZ0 AT%d LEN65536 "
            "\"pak%d\"",
            i, i * 4096, i);
        cmd_md5tool(sv.get(), CmdCall{line, 0, 0});
    }
    return sv;
}

// Every player is due: the frame sends four checks to each of 64 clients.
void BM_Md5RoundFrame64(benchmark::State& state) {
    auto sv = playingServer();
    md5Frame(sv.get());  // sets every player's check state up
    Timed t;
    long allocations = 0;
    for (auto _ : state) {
        benchMicros += 10000000;  // one qz_sv_md5toolfreq period
        for (stMd5Slot& s : sv->remote.md5q.slot) {
            memset(s.open, 0, sizeof s.open);  // the last round was answered
            s.missed = 0;
        }
        sv->remote.md5q.dueSet = 0;
        timed(t, [&] {
            long before = g_mallocs;
            md5Frame(sv.get());
            allocations += g_mallocs - before;
            return 0;
        });
    }
    noAllocations(state, allocations);
    report(state, "frame", t);
    clockSetSource(nullptr);
}
BENCHMARK(BM_Md5RoundFrame64);

// Frames in between: nothing is due.
void BM_Md5IdleFrame(benchmark::State& state) {
    auto sv = playingServer();
    md5Frame(sv.get());
    Timed t;
    for (auto _ : state) {
        timed(t, [&] {
            md5Frame(sv.get());
            return 0;
        });
    }
    report(state, "idle", t);
    clockSetSource(nullptr);
}
BENCHMARK(BM_Md5IdleFrame);

// The parser alone on a well-formed answer.
void BM_Md5AnswerParse(benchmark::State& state) {
    const char text[] = " 4711 0123456789ABCDEF0123456789ABCDEF SZ1048576 AT4096 LEN65536";
    const int length = static_cast<int>(sizeof text - 1);
    stMd5Answer a;
    Timed t;
    for (auto _ : state) {
        timed(t, [&] {
            md5AnswerParse(text, length, &a);
            return a.kind;
        });
        benchmark::DoNotOptimize(a);
    }
    report(state, "parse", t);
}
BENCHMARK(BM_Md5AnswerParse);

// One matching answer of a playing client through the module's packet routine: parsed, matched
// to its waiting check, judged against the entry and logged.
void BM_Md5Answer(benchmark::State& state) {
    auto sv = playingServer();
    md5Frame(sv.get());  // the first round: every client has checks waiting
    stMd5Slot& s = sv->remote.md5q.slot[0];
    const stMd5Query asked = s.open[0];
    const std::string digest = md5Expected("900150983CD24FB0D6963F7D28E17F72", asked.seed);
    Timed t;
    long allocations = 0;
    unsigned seq = 1000;
    char packet[160];
    for (auto _ : state) {
        // The same check waits again under a new number.
        s.open[0] = asked;
        s.open[0].seq = ++seq;
        int n = trf(packet, qz::cap(packet), "QZ_MD5 %u %s SZ0 AT0 LEN65536", seq, digest.c_str());
        bool taken = timed(t, [&] {
            long before = g_mallocs;
            bool r = md5Packet(sv.get(), 1, packet, n);
            allocations += g_mallocs - before;
            return r;
        });
        benchmark::DoNotOptimize(taken);
    }
    noAllocations(state, allocations);
    if (sv->players.cl[0].status != QZ_ST_OK) state.SkipWithError("the answer did not match");
    report(state, "answer", t);
    clockSetSource(nullptr);
}
BENCHMARK(BM_Md5Answer);

}  // namespace

// Counts every allocation of the program, the module's included.
extern "C" void* malloc(size_t size) {
    g_mallocs++;
    return __libc_malloc(size);
}

BENCHMARK_MAIN();
