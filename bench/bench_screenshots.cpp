// One screenshot request through the request routine: limits, serial and its file, the page
// created, the index line appended and the request text sent to the player's game. Each case
// runs with the home directory on the disk (/tmp) and on tmpfs (/dev/shm): the disk figure swings
// with the file system's inode allocation, the tmpfs figure is the module's own cost. Every
// request is timed, and the median, 99.9th percentile and maximum are reported.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/slots.h"
#include "playing_state.h"

namespace {

// Where the home directory lies: 0 the disk, 1 tmpfs.
const char* baseOf(const benchmark::State& state) {
    return state.range(0) == 1 ? "/dev/shm" : "/tmp";
}

// One whole request per round, slot after slot, each timed.
void requestRounds(benchmark::State& state, PlayingState& b) {
    int slot = 0;
    std::vector<double> us;
    us.reserve(1 << 16);
    for (auto _ : state) {
        slot = slot % QZ_SLOTS + 1;
        // The limits would refuse a player asked again within 30 seconds: his ring is cleared
        // (three stores) so every round makes a whole request.
        Qz_Sv_Client_s* c = plSlot(b.sv, slot);
        memset(c->ssTicks, 0, sizeof c->ssTicks);
        auto t0 = std::chrono::steady_clock::now();
        int result = ssRequest(b.sv, QZ_SS_ADMIN, slot, nullptr);
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
        if (result != QZ_SS_REQUESTED) {
            state.SkipWithError("request refused");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p999_us"] = us[us.size() * 999 / 1000];
    state.counters["max_us"] = us.back();
}

void BM_ScreenshotRequest(benchmark::State& state) {
    PlayingState b(baseOf(state));
    requestRounds(state, b);
}
BENCHMARK(BM_ScreenshotRequest)->ArgName("tmpfs")->Arg(0)->Arg(1);

// The same with serials that came round again (the default ceiling is 999): the page is
// rewritten instead of created, which shows the module's own cost apart from the file system's
// price for a new file.
void BM_ScreenshotRequestReusedSerial(benchmark::State& state) {
    PlayingState b(baseOf(state));
    b.sv->set.ssCeiling = 64;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) ssRequest(b.sv, QZ_SS_ADMIN, slot, nullptr);
    requestRounds(state, b);
}
BENCHMARK(BM_ScreenshotRequestReusedSerial)->ArgName("tmpfs")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
