// The host-facing costs: a frame call with nothing due (with the WebTool off and with it
// listening but idle) and a console line for a known command. malloc is counted across the frame
// loops, since the frame call must not allocate.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>

#include "host/qzsv.h"
#include "simhost/quiethost.h"

extern "C" void* __libc_malloc(size_t size);

namespace {

long g_mallocs = 0;

sim::QuietHost& module() {
    static sim::QuietHost host("qzbenchhost");
    return host;
}

void frames(benchmark::State& state) {
    module().frame();  // anything the set-up queued runs before the measurement
    long before = g_mallocs;
    for (auto _ : state) module().frame();
    long allocations = g_mallocs - before;
    state.counters["allocations"] = static_cast<double>(allocations);
    if (allocations) state.SkipWithError("the frame call allocated");
}

void BM_FrameNothingDue(benchmark::State& state) {
    module().line(std::string("qz_sv_HttpPort 0"));
    frames(state);
}
BENCHMARK(BM_FrameNothingDue);

void BM_FrameWebToolIdle(benchmark::State& state) {
    module().line(std::string("qz_sv_HttpAddr 127.0.0.1"));
    module().line(std::string("qz_sv_HttpPort 0"));
    // An ephemeral port is not offered by the setting's range; a high port is free on a test
    // machine in practice, and the figure only needs the listener to be open.
    module().line(std::string("qz_sv_HttpPort 47613"));
    frames(state);
    module().line(std::string("qz_sv_HttpPort 0"));
}
BENCHMARK(BM_FrameWebToolIdle);

void BM_KnownCommandLine(benchmark::State& state) {
    const char* line = "qz_sv_HomePath";
    for (auto _ : state) module().line(line, static_cast<int>(strlen(line)));
}
BENCHMARK(BM_KnownCommandLine);

}  // namespace

// Counts every allocation of the program, the module's included.
extern "C" void* malloc(size_t size) {
    g_mallocs++;
    return __libc_malloc(size);
}

BENCHMARK_MAIN();
