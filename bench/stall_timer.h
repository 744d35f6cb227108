// Call-by-call timing for the stall benchmarks: each call of a kind is timed by the monotonic
// clock (wall) and by the thread's CPU clock (own), and the kinds are reported as p50 / p99 /
// p99.9 / max in microseconds, as a table on standard error and as counters.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "timed_calls.h"

struct StallTimes {
    std::vector<double> wall, cpu;  // microseconds
};

inline std::map<std::string, StallTimes>& stallKinds() {
    static std::map<std::string, StallTimes> k;
    return k;
}

// Runs f once and records its wall and own time under kind.
template <class F>
void stallTime(const char* kind, F&& f) {
    uint64_t w0 = nowNs(CLOCK_MONOTONIC);
    breathe(w0);
    w0 = nowNs(CLOCK_MONOTONIC);
    const uint64_t c0 = nowNs(CLOCK_THREAD_CPUTIME_ID);
    f();
    const uint64_t c1 = nowNs(CLOCK_THREAD_CPUTIME_ID);
    const uint64_t w1 = nowNs(CLOCK_MONOTONIC);
    StallTimes& t = stallKinds()[kind];
    t.wall.push_back(static_cast<double>(w1 - w0) / 1000.0);
    t.cpu.push_back(static_cast<double>(c1 - c0) / 1000.0);
}

inline double stallAt(const std::vector<double>& v, double q) {
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

// Prints the table of every kind timed so far and sets its p99.9 and maximum as counters.
inline void stallReport(benchmark::State& state) {
    fprintf(stderr,
            "\n| Call | n | wall p50 | p99 | p99.9 | max | own p50 | p99 | p99.9 | max |\n");
    fprintf(stderr, "|---|---|---|---|---|---|---|---|---|---|\n");
    for (auto& [kind, t] : stallKinds()) {
        if (t.wall.empty()) continue;
        std::sort(t.wall.begin(), t.wall.end());
        std::sort(t.cpu.begin(), t.cpu.end());
        fprintf(stderr, "| %s | %zu | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n",
                kind.c_str(), t.wall.size(), stallAt(t.wall, 0.5), stallAt(t.wall, 0.99),
                stallAt(t.wall, 0.999), t.wall.back(), stallAt(t.cpu, 0.5), stallAt(t.cpu, 0.99),
                stallAt(t.cpu, 0.999), t.cpu.back());
        state.counters[kind + "_p999_us"] = stallAt(t.cpu, 0.999);
        state.counters[kind + "_max_us"] = t.cpu.back();
    }
}
