// Building WebTool pages in memory (no sockets): the Player List with 64 players, whose names
// carry colour codes and markup to escape, the Command Screen and a Game Command Results page.
// Each benchmark reports the median time of one page as "median_us" besides the mean.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "../tests/webtool/web_state.h"

namespace {

using Clock = std::chrono::steady_clock;

// 64 playing clients with coloured names, some markup, a GUID each and a registration on every
// fourth, connected for a while with a few authentications and screenshots.
void fillPlayers(stQzSv* sv) {
    unsigned now = GetTickCount();
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* cl = &sv->players.cl[slot - 1];
        memset(cl, 0, sizeof *cl);
        QZ_TRF(cl->name, "^%d[Clan]^7Player<%02d>&^3x", slot % 8, slot);
        QZ_TRF(cl->guid, "%08X%08X%08X%08X", slot * 2654435761u, slot * 40503u, slot * 97u,
               slot * 7919u);
        QZ_TRF(cl->address, "192.168.%d.%d:27960", slot / 8, slot);
        cl->os = (slot & 1) ? 'W' : 'L';
        cl->status = QZ_ST_OK;
        cl->connectTick = now - 600000u;
        cl->authCount = slot;
        cl->ssTicks[0] = now - 30000u;
        if (slot % 4 == 0) {
            QZ_TRF(cl->reg[0].name, "^1Reg%d", slot);
            QZ_COPY(cl->reg[0].text, "clan member");
            cl->reg[0].count = 3;
        }
    }
}

// Runs build once per iteration, timing each, and reports the median, the 99.9th percentile and
// the maximum.
template <typename Build>
void timePages(benchmark::State& state, Build build) {
    std::vector<double> us;
    us.reserve(1 << 16);
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        build();
        Clock::time_point t1 = Clock::now();
        if (us.size() < us.capacity()) {
            us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
    }
    if (!us.empty()) {
        std::sort(us.begin(), us.end());
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p999_us"] = us[us.size() * 999 / 1000];
        state.counters["max_us"] = us.back();
    }
}

void BM_PlayerList64(benchmark::State& state) {
    webtest::BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "benchkey");
    fillPlayers(sv);
    stWebPage* page = &sv->web.page;
    timePages(state, [&] {
        web_plist(sv, page, "", sv->set.httpKey, "", "");
        benchmark::DoNotOptimize(page->len);
    });
    state.counters["page_bytes"] = page->len;
    if (page->cut || !strstr(page->text, "64 Players")) state.SkipWithError("page incomplete");
}
BENCHMARK(BM_PlayerList64);

void BM_CommandScreen(benchmark::State& state) {
    webtest::BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "benchkey");
    stWebPage* page = &sv->web.page;
    timePages(state, [&] {
        web_cmds(sv, page, "", sv->set.httpKey);
        benchmark::DoNotOptimize(page->len);
    });
    state.counters["page_bytes"] = page->len;
}
BENCHMARK(BM_CommandScreen);

void BM_ResultsPage(benchmark::State& state) {
    webtest::BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpKey, "benchkey");
    stWebPage* page = &sv->web.page;
    timePages(state, [&] {
        web_results(sv, page, sv->set.httpKey, "serverinfo");
        benchmark::DoNotOptimize(page->len);
    });
    state.counters["page_bytes"] = page->len;
}
BENCHMARK(BM_ResultsPage);

}  // namespace

BENCHMARK_MAIN();
