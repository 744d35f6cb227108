// Jobs: long pieces of work (a ban file, a configuration file, the alias and statistics files of
// a restart) done a slice per frame call, so that none of them holds up a game frame. A job keeps
// its progress in the central state of the subsystem that owns the work; this interface only
// starts it and gives it its slices, in order, one job after another.
#pragma once

struct stQzSv;

// Thread CPU time one slice of a job may take in a frame call, in microseconds.
constexpr long long QZ_JOB_SLICE_US = 500;

// One kind of job. start begins the work and returns false when there is nothing more to do
// (it printed why, or did the whole work at once); step then does about budgetUs microseconds
// of thread CPU time of the rest and returns true once the work is finished and its closing
// lines (counts, "loaded from") are printed. Either pointer may be null: a job without start
// begins at its first step, a job without step is done when start returns.
struct QzJob {
    const char* name;
    bool (*start)(stQzSv* sv);
    bool (*step)(stQzSv* sv, long long budgetUs);
};

// Starts a job and runs its steps until it is done, all in this call: for the module's start,
// where the host waits for the call anyway.
void jobRunAll(stQzSv* sv, const QzJob& job);
