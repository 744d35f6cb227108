// One screenshot request through the request routine: limits, serial and its file, the page
// created, the index line appended and the request text sent to the player's game.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

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
    SsBench() {
        char pattern[] = "/tmp/qzbench-ss-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/tmp";
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

// One whole request per round, slot after slot.
void requestRounds(benchmark::State& state, SsBench& b) {
    int slot = 0;
    for (auto _ : state) {
        slot = slot % QZ_SLOTS + 1;
        // The limits would refuse a player asked again within 30 seconds: his ring is cleared
        // (three stores) so every round makes a whole request.
        Qz_Sv_Client_s* c = plSlot(b.sv, slot);
        memset(c->ssTicks, 0, sizeof c->ssTicks);
        if (ssRequest(b.sv, QZ_SS_ADMIN, slot, nullptr) != QZ_SS_REQUESTED) {
            state.SkipWithError("request refused");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ScreenshotRequest(benchmark::State& state) {
    SsBench b;
    requestRounds(state, b);
}
BENCHMARK(BM_ScreenshotRequest)->Repetitions(5)->ReportAggregatesOnly(true);

// The same with serials that came round again (the default ceiling is 999): the page is
// rewritten instead of created, which shows the module's own cost apart from the file system's
// price for a new file.
void BM_ScreenshotRequestReusedSerial(benchmark::State& state) {
    SsBench b;
    b.sv->set.ssCeiling = 64;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) ssRequest(b.sv, QZ_SS_ADMIN, slot, nullptr);
    requestRounds(state, b);
}
BENCHMARK(BM_ScreenshotRequestReusedSerial)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
