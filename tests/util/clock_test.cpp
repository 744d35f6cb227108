// Tests for the clock seam: the manual clock source, the millisecond counter's formula and the
// elapsed-time rule.
#include "util/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

long long g_seconds;
int g_micros;

void fixedClock(long long* seconds, int* micros) {
    *seconds = g_seconds;
    *micros = g_micros;
}

// 2006-12-31 23:59:59 UTC.
constexpr long long kNewYearsEve2006 = 1167609599;

class ClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        g_seconds = kNewYearsEve2006;
        g_micros = 0;
        clockSetSource(fixedClock);
    }
    void TearDown() override { clockSetSource(nullptr); }
};

// The counter's formula written out in 64 bits and reduced at the end, to check the module's
// 32-bit arithmetic wraps the same way.
uint32_t expectedTicks(int year, int yday, int hour, int minute, int second, int micros) {
    uint64_t v = ((((uint64_t(year) * 366 + yday) * 24 + hour) * 60 + minute) * 60 + second);
    return static_cast<uint32_t>(v * 1000 + micros / 1000);
}

TEST_F(ClockTest, TimeComesFromTheInstalledSource) {
    EXPECT_EQ(qzTime(), static_cast<time_t>(kNewYearsEve2006));
    g_seconds += 61;
    EXPECT_EQ(qzTime(), static_cast<time_t>(kNewYearsEve2006 + 61));
}

TEST_F(ClockTest, NullSourceRestoresTheSystemClock) {
    clockSetSource(nullptr);
    time_t before = time(nullptr);
    time_t now = qzTime();
    time_t after = time(nullptr);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

TEST_F(ClockTest, LocalTimeBreaksDownInTheLocalZone) {
    struct tm lt;
    ASSERT_TRUE(qzLocalTime(qzTime(), &lt));
    EXPECT_EQ(lt.tm_year, 106);
    EXPECT_EQ(lt.tm_mon, 11);
    EXPECT_EQ(lt.tm_mday, 31);
    EXPECT_EQ(lt.tm_yday, 364);
    EXPECT_EQ(lt.tm_hour, 23);
    EXPECT_EQ(lt.tm_min, 59);
    EXPECT_EQ(lt.tm_sec, 59);
}

TEST_F(ClockTest, TickCountCountsEveryYearAs366DaysAndWrapsAt32Bits) {
    g_micros = 123456;
    EXPECT_EQ(GetTickCount(), expectedTicks(106, 364, 23, 59, 59, 123456));
    g_seconds = 86400LL * 31 + 3600 * 5 + 60 * 7 + 9;  // 1970-02-01 05:07:09
    g_micros = 999;
    EXPECT_EQ(GetTickCount(), expectedTicks(70, 31, 5, 7, 9, 999));
}

TEST_F(ClockTest, TickCountAdvancesInMilliseconds) {
    g_seconds -= 3600;  // well inside the year
    unsigned start = GetTickCount();
    g_seconds += 1;
    g_micros = 500999;
    EXPECT_EQ(GetTickCount() - start, 1500u);
}

TEST_F(ClockTest, TickCountJumpsForwardAtTheTurnOfTheYear) {
    unsigned eve = GetTickCount();
    g_seconds += 1;  // 2007-01-01 00:00:00: a 365-day year leaves one unused day in the counter
    EXPECT_EQ(GetTickCount() - eve, 1000u + 86400u * 1000u);
}

TEST_F(ClockTest, SystemTickCountFollowsTheLocalClock) {
    clockSetSource(nullptr);
    time_t before = time(nullptr);
    unsigned ticks = GetTickCount();
    struct tm lt;
    ASSERT_TRUE(qzLocalTime(before, &lt));
    uint32_t low = expectedTicks(lt.tm_year, lt.tm_yday, lt.tm_hour, lt.tm_min, lt.tm_sec, 0);
    // Within two seconds of the reading taken just before (it may cross a second).
    EXPECT_LT(ticks - low, 2000u);
}

struct ElapsedCase {
    unsigned now;
    unsigned earlier;
    int elapsed;
};

TEST(ClockElapsed, FollowsTheBackwardsAndWrapRules) {
    const ElapsedCase cases[] = {
        {1000, 400, 600},
        {400, 400, 0},
        {400, 1000, 0},                 // clock set back a little: no time passed
        {0, 4999, 0},                   // -4999 still counts as no time
        {0, 5000, -5000 + 2147483647},  // -5000 is a wrap
        {0, 0x7FFFFFFFu, 0},            // -2147483647 corrected to 0
        {5, 0xFFFFFFF0u, 21},           // a counter that wrapped through zero
        {0x80000000u, 0, -1},           // the most negative difference, corrected
    };
    for (const ElapsedCase& c : cases) {
        EXPECT_EQ(tickElapsed(c.now, c.earlier), c.elapsed) << c.now << " - " << c.earlier;
    }
}

}  // namespace

namespace {

TEST_F(ClockTest, TheMonotonicTickFollowsTheSourceAndNeverGoesBack) {
    const unsigned t0 = qzMonoTick();
    g_micros = 250000;
    EXPECT_EQ(qzMonoTick() - t0, 250u);
    // New Year of a non-leap year: the local tick jumps a day, the monotonic one one second.
    g_seconds += 1;
    EXPECT_EQ(qzMonoTick() - t0, 1250u);
    // A clock set back an hour: no time passes, and none is lost afterwards.
    g_seconds -= 3600;
    EXPECT_EQ(qzMonoTick() - t0, 1250u);
}

TEST(MonotonicTick, TheSystemClockNeverGoesBack) {
    clockSetSource(nullptr);
    unsigned last = qzMonoTick();
    for (int i = 0; i < 1000; ++i) {
        unsigned now = qzMonoTick();
        EXPECT_LT(now - last, 1000u);
        last = now;
    }
}

}  // namespace
