// The cost an audit record adds to a kick: the kick as the console gives it (through the
// dispatcher, its answer held until the record is written, then the record: one write(2), no
// fsync), the same kick's perform routine without a record, and the record alone. Per-call
// figures are the median, the 99.9th percentile and the maximum in nanoseconds.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "commands/dispatch.h"
#include "host/state.h"
#include "media/audit.h"
#include "players/bans.h"
#include "players/kick.h"
#include "players/slots.h"
#include "timed_calls.h"
#include "util/files.h"
#include "util/text.h"

namespace {

int quietCall(const char*, const char*) { return 1; }
void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}

struct Home {
    std::string dir;
    Home() {
        char tmpl[] = "/tmp/qzbenchauditXXXXXX";
        dir = mkdtemp(tmpl);
        setHomeDir((dir + "/").c_str());
    }
    ~Home() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

std::unique_ptr<stQzSv> makeState() {
    auto sv = std::make_unique<stQzSv>();
    sv->host.hostCall = quietCall;
    sv->host.print = quietPrint;
    sv->host.sendClient = quietSend;
    sv->enabled = 1;
    sv->audit.on = 1;
    return sv;
}

void seat(stQzSv* sv, int slot) {
    Qz_Sv_Client_s& c = sv->players.cl[slot - 1];
    memset(&c, 0, sizeof c);
    trf(c.name, sizeof c.name, "^1Player^7\"%d\\", slot);
    trf(c.guid, sizeof c.guid, "%032X", slot);
    trf(c.address, sizeof c.address, "10.0.%d.%d:27960", slot / 8, slot);
    QZ_COPY(c.authState, "ok");
    c.os = 'W';
    c.status = QZ_ST_OK;
}

void BM_KickWithRecord(benchmark::State& state) {
    Home home;
    auto sv = makeState();
    for (int s = 1; s <= QZ_SLOTS; ++s) seat(sv.get(), s);
    Timed t;
    for (auto _ : state) {
        timed(t, [&] {
            sv_cmd(sv.get(), QZ_SRC_CONSOLE, "qz_sv_Kick 17 2 camping", 0);
            return 0;
        });
        state.PauseTiming();
        seat(sv.get(), 17);
        state.ResumeTiming();
    }
    report(state, "kick_recorded", t);
    auditClose(sv.get());
    banFree(sv.get());
}
BENCHMARK(BM_KickWithRecord)->Unit(benchmark::kMicrosecond);

void BM_KickWithoutRecord(benchmark::State& state) {
    Home home;
    auto sv = makeState();
    for (int s = 1; s <= QZ_SLOTS; ++s) seat(sv.get(), s);
    Timed t;
    for (auto _ : state) {
        timed(t, [&] { return plKick(sv.get(), "17", 2, "camping", 0); });
        state.PauseTiming();
        seat(sv.get(), 17);
        state.ResumeTiming();
    }
    report(state, "kick_plain", t);
    banFree(sv.get());
}
BENCHMARK(BM_KickWithoutRecord)->Unit(benchmark::kMicrosecond);

void BM_RecordAlone(benchmark::State& state) {
    Home home;
    auto sv = makeState();
    QzAuditTarget target{17, "^1Player^7\"17\\", "00000000000000000000000000000011",
                         "10.0.2.17:27960"};
    QzOrigin origin = qzOrigin(QZ_ORIGIN_WEB, 0, "alice", "192.168.1.2:50000", nullptr);
    QzOriginScope scope(sv.get(), &origin);
    Timed t;
    for (auto _ : state) {
        timed(t, [&] {
            return auditWrite(sv.get(), "kick", &target, "kick 17 2 camping", QZ_AUDIT_DONE,
                              "Kick Command Issued");
        });
    }
    report(state, "record", t);
    auditClose(sv.get());
}
BENCHMARK(BM_RecordAlone)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
