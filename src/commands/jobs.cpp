// Running a job to its end at once (see jobs.h).
#include "commands/jobs.h"

void jobRunAll(stQzSv* sv, const QzJob& job) {
    if (job.start && !job.start(sv)) return;
    if (!job.step) return;
    while (!job.step(sv, QZ_JOB_SLICE_US)) {
    }
}
