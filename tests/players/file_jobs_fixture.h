// A fixture for the statistics and alias files' jobs, which run over frame calls: runs frames
// until a closing line and records the longest frame call in thread CPU time; a test that held
// the background sync gives it back at the end.
#pragma once

#include <time.h>

#include <algorithm>
#include <string>

#include "commands/atomic_file.h"
#include "players/players_fixture.h"

class FileJobsTest : public PlayersTest {
  protected:
    static long long threadMicros() {
        struct timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
    }
    // Runs frames until times output lines hold end; returns the frames run (the call that
    // started the job not counted), or -1 when the end never came.
    int framesUntil(const std::string& end, size_t times = 1) {
        for (int frames = 1; frames <= 100000; ++frames) {
            long long t0 = threadMicros();
            host().frame();
            longest = std::max(longest, threadMicros() - t0);
            if (outputCount(end) >= times) return frames;
        }
        return -1;
    }
    size_t outputCount(const std::string& what) {
        size_t n = 0;
        for (const std::string& line : host().output())
            if (line.find(what) != std::string::npos) n++;
        return n;
    }
    void TearDown() override {
        atomicSyncHold(false);
        PlayersTest::TearDown();
    }
    long long longest = 0;
};
