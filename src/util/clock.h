// The module's clock: the millisecond tick and the wall clock, read through one seam so that a
// host (or a test) can run the module on a manual clock.
#pragma once

#include <ctime>

// Source of the current time: seconds since the epoch and microseconds. Null means the system
// clock (time() and gettimeofday()).
using QzClockFn = void (*)(long long* seconds, int* microseconds);

// Installs the clock source for the whole module; null restores the system clock.
void clockSetSource(QzClockFn source);
// The current wall-clock time in seconds, as time() would give it.
time_t qzTime();
// Local broken-down time of t (localtime_r); returns false when t cannot be broken down.
bool qzLocalTime(time_t t, struct tm* out);
// 32-bit millisecond counter built from local time: every year counts 366 days; it wraps.
unsigned GetTickCount();
// Elapsed milliseconds from an earlier tick to now: -4999..-1 count as 0, and -5000 or less is a
// wrap of the tick, corrected by adding 2147483647.
int tickElapsed(unsigned now, unsigned earlier);
// Milliseconds of a clock that never goes back and never jumps with the wall clock, the local
// time zone or the turn of a year: the measure of elapsed times (grace periods, play time, votes,
// kick lengths, task periods). The system's monotonic clock; with a clock source installed, the
// source's time, held so that it never goes back. 32-bit: it wraps after 49.7 days, and the
// elapsed-time rule of tickElapsed applies to its readings as to GetTickCount's.
unsigned qzMonoTick();
// Microseconds of CPU time spent by the calling thread, for the budgets of work spread over
// frames: what the work costs the game server (the kernel's part included), whatever clock the
// ticks follow. Time the machine gives to other programs does not count against a budget.
long long threadCpuMicros();
// Installs the source of threadCpuMicros (null: the thread's CPU clock), so that a test can
// drive a frame budget exactly.
using QzCpuClockFn = long long (*)();
void clockSetCpuSource(QzCpuClockFn source);
