// Per-call timing for the benchmarks that report tails: each call is timed on its own and the
// median, 99.9th percentile and maximum are reported as counters.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// Each call is timed on its own by the monotonic clock (a vDSO read, some 20 ns). On a shared
// machine the tail then also holds the time other processes ran; run the program under
// "chrt -f 10" (as root) to keep them out of the figures.
struct Timed {
    std::vector<uint32_t> ns;
    void clear() { ns.clear(); }
};

inline uint64_t nowNs(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Under "chrt -f" the kernel stops a real-time thread for 50 ms of every second it runs without
// a break; a pause of 10 ms after every 100 ms of work (outside the timed calls) keeps that stop
// out of the figures.
inline void breathe(uint64_t now) {
    static uint64_t since = 0;
    if (!since) since = now;
    if (now - since < 100000000ull) return;
    struct timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
    since = nowNs(CLOCK_MONOTONIC);
}

// Runs f once and records its time.
template <class F>
auto timed(Timed& t, F&& f) {
    uint64_t w0 = nowNs(CLOCK_MONOTONIC);
    breathe(w0);
    w0 = nowNs(CLOCK_MONOTONIC);
    auto result = f();
    uint64_t ns = nowNs(CLOCK_MONOTONIC) - w0;
    t.ns.push_back(ns > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ns));
    return result;
}

// The timings of several runs of the same calls, one after another.
inline Timed allOf(const std::vector<Timed>& runs) {
    Timed all;
    for (const Timed& run : runs) all.ns.insert(all.ns.end(), run.ns.begin(), run.ns.end());
    return all;
}

// Each call's least time over several runs of the same calls doing the same work: the call's
// own cost. What the machine adds at random moments (the host stopping a virtual machine, an
// interrupt) seldom strikes the same call in every run, while what the call itself does (a page
// met for the first time, a block unmapped) costs it the same in each. A cost that follows the
// addresses the system hands out (the first use of a new 2 MiB stretch) may fall on other calls
// in other runs and escape this figure: the figures of all calls still hold it.
inline Timed leastOf(const std::vector<Timed>& runs) {
    Timed least;
    if (runs.empty()) return least;
    least.ns = runs[0].ns;
    for (const Timed& run : runs) {
        for (size_t i = 0; i < least.ns.size() && i < run.ns.size(); ++i) {
            least.ns[i] = std::min(least.ns[i], run.ns[i]);
        }
    }
    return least;
}

// The median, the 99.9th percentile and the maximum.
inline void report(benchmark::State& state, const std::string& what, Timed& t) {
    std::vector<uint32_t>& ns = t.ns;
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    auto at = [&ns](double q) {
        return static_cast<double>(ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]);
    };
    state.counters[what + "_p50_ns"] = at(0.5);
    state.counters[what + "_p999_ns"] = at(0.999);
    state.counters[what + "_max_ns"] = static_cast<double>(ns.back());
}
