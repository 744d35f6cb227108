// The clock seam: the only place in the module that reads the system clock. Everything that
// needs the time (ticks, time stamps, log lines, elapsed times) comes through qzTime,
// qzLocalTime, GetTickCount and qzMonoTick, so a host or a test can run the module on a clock of
// its own.
#include "util/clock.h"

#include <sys/time.h>

#include <cstdint>
#include <cstring>

namespace {

QzClockFn g_source = nullptr;
// The last monotonic reading taken from a clock source, so that a source set back (a host's
// manual clock, a wall clock stepped by an administrator) does not make time run backwards.
long long g_monoSourceLast = 0;

}  // namespace

void clockSetSource(QzClockFn source) {
    g_source = source;
    g_monoSourceLast = 0;
}

time_t qzTime() {
    if (!g_source) return time(nullptr);
    long long seconds = 0;
    int micros = 0;
    g_source(&seconds, &micros);
    return static_cast<time_t>(seconds);
}

bool qzLocalTime(time_t t, struct tm* out) {
    if (!out) return false;
    if (localtime_r(&t, out)) return true;
    memset(out, 0, sizeof *out);
    return false;
}

// Milliseconds from the broken-down local time with every year counted as 366 days. The
// arithmetic is 32-bit unsigned on purpose: the counter wraps, and callers only ever use the
// difference of two readings. Seconds and microseconds are two separate reads of the system
// clock, as the counter has always been built.
unsigned GetTickCount() {
    time_t now;
    uint32_t micros;
    if (g_source) {
        long long seconds = 0;
        int us = 0;
        g_source(&seconds, &us);
        now = static_cast<time_t>(seconds);
        micros = static_cast<uint32_t>(us);
    } else {
        now = time(nullptr);
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        micros = static_cast<uint32_t>(tv.tv_usec);
    }
    struct tm lt;
    qzLocalTime(now, &lt);
    uint32_t ms = static_cast<uint32_t>(lt.tm_year) * 366u + static_cast<uint32_t>(lt.tm_yday);
    ms = ms * 24u + static_cast<uint32_t>(lt.tm_hour);
    ms = ms * 60u + static_cast<uint32_t>(lt.tm_min);
    ms = ms * 60u + static_cast<uint32_t>(lt.tm_sec);
    return ms * 1000u + micros / 1000u;
}

// The counter goes backwards when the local clock is set back (a small step, treated as no time
// passed) or when it wraps (a large step, folded back into the positive range).
int tickElapsed(unsigned now, unsigned earlier) {
    int elapsed = static_cast<int>(now - earlier);
    if (elapsed <= -5000) return elapsed + 2147483647;
    if (elapsed < 0) return 0;
    return elapsed;
}

unsigned qzMonoTick() {
    long long ms;
    if (g_source) {
        long long seconds = 0;
        int us = 0;
        g_source(&seconds, &us);
        ms = seconds * 1000 + us / 1000;
        if (ms < g_monoSourceLast) ms = g_monoSourceLast;
        g_monoSourceLast = ms;
    } else {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        ms = static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    }
    return static_cast<unsigned>(static_cast<unsigned long long>(ms));
}

namespace {
QzCpuClockFn g_cpuSource = nullptr;
}  // namespace

void clockSetCpuSource(QzCpuClockFn source) { g_cpuSource = source; }

long long threadCpuMicros() {
    if (g_cpuSource) return g_cpuSource();
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}
