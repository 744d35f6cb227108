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

namespace {

void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}
int quietCall(const char*, const char*) { return 1; }

// A module state on a temporary home with 64 playing clients and an open log; console, host
// services and texts to players are no-ops so the figure is the module's own cost.
struct SsBench {
    stQzSv* sv;
    std::string dir;
    explicit SsBench(const char* base) {
        std::string pattern = std::string(base) + "/qzbench-ss-XXXXXX";
        dir = mkdtemp(pattern.data()) ? pattern : std::string(base);
        sv = new stQzSv();
        settingsDefaults(sv);
        sv->host.print = &quietPrint;
        sv->host.sendClient = &quietSend;
        sv->host.hostCall = &quietCall;
        sv->enabled = 1;
        snprintf(sv->homeDir, sizeof sv->homeDir, "%s/", dir.c_str());
        setHomeDir(sv->homeDir);
        mkdir((dir + "/svlogs").c_str(), 0755);
        mkdir((dir + "/svss").c_str(), 0755);
        logOpen(sv, "BENCH");
        sv->set.ssCeiling = 999999;
        for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
            Qz_Sv_Client_s* c = plSlot(sv, slot);
            snprintf(c->name, sizeof c->name, "Player%d", slot);
            snprintf(c->guid, sizeof c->guid, "0123456789ABCDEF0123456789ABCD%02d", slot);
            snprintf(c->address, sizeof c->address, "10.0.0.%d:27960", slot);
            snprintf(c->authState, sizeof c->authState, "?");
            c->os = 'L';
            c->status = QZ_ST_OK;
        }
    }
    ~SsBench() {
        ssShutdown(sv);
        logShutdown(sv);
        delete sv;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

// Where the home directory lies: 0 the disk, 1 tmpfs.
const char* baseOf(const benchmark::State& state) {
    return state.range(0) == 1 ? "/dev/shm" : "/tmp";
}

// One whole request per round, slot after slot, each timed.
void requestRounds(benchmark::State& state, SsBench& b) {
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
    SsBench b(baseOf(state));
    requestRounds(state, b);
}
BENCHMARK(BM_ScreenshotRequest)->ArgName("tmpfs")->Arg(0)->Arg(1);

// The same with serials that came round again (the default ceiling is 999): the page is
// rewritten instead of created, which shows the module's own cost apart from the file system's
// price for a new file.
void BM_ScreenshotRequestReusedSerial(benchmark::State& state) {
    SsBench b(baseOf(state));
    b.sv->set.ssCeiling = 64;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) ssRequest(b.sv, QZ_SS_ADMIN, slot, nullptr);
    requestRounds(state, b);
}
BENCHMARK(BM_ScreenshotRequestReusedSerial)->ArgName("tmpfs")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
