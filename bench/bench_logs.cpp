// One log line through the message routine: formatting, the console hand-over and the append
// to the open log file (one write per line), with and without remote logging.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "commands/settings.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/logs.h"

namespace {

void quietPrint(const char*) {}

// A module state with an open log in a temporary home; the console print is a no-op so the
// figure is the module's own cost.
struct LogBench {
    stQzSv* sv;
    std::string dir;
    LogBench() {
        char pattern[] = "/tmp/qzbench-logs-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/tmp";
        sv = new stQzSv();
        settingsDefaults(sv);
        sv->host.print = &quietPrint;
        snprintf(sv->homeDir, sizeof sv->homeDir, "%s/", dir.c_str());
        setHomeDir(sv->homeDir);
        mkdir((dir + "/svlogs").c_str(), 0755);
        logOpen(sv, "BENCH");
    }
    ~LogBench() {
        logShutdown(sv);
        delete sv;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

void BM_LogLineThroughMessageRoutine(benchmark::State& state) {
    LogBench b;
    int i = 0;
    for (auto _ : state) {
        svMsg(b.sv, "Player %d kicked: slot %d, reason %s", i, i & 63, "Cvar violation");
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineThroughMessageRoutine)->Repetitions(5)->ReportAggregatesOnly(true);

// The same line also sent as a syslog datagram with its HMAC proof (to a loopback port where
// nobody listens; the send itself is what costs).
void BM_LogLineWithRemoteLogging(benchmark::State& state) {
    LogBench b;
    snprintf(b.sv->set.logAddr, sizeof b.sv->set.logAddr, "127.0.0.1");
    b.sv->set.logPort = 9;
    snprintf(b.sv->set.logUser, sizeof b.sv->set.logUser, "bench");
    snprintf(b.sv->set.logPw, sizeof b.sv->set.logPw, "password");
    int i = 0;
    for (auto _ : state) {
        svMsg(b.sv, "Player %d kicked: slot %d, reason %s", i, i & 63, "Cvar violation");
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineWithRemoteLogging)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
