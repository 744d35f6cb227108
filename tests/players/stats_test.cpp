// The statistics text and its merge step, seconds played, statistics events, and the
// statistics file written, appended, loaded and survived across a restart.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "players/players_fixture.h"
#include "players/power.h"
#include "util/text.h"

namespace {

struct MergeCase {
    const char* before;
    const char* category;
    const char* key;
    const char* value;
    bool ok;
    const char* after;
};

TEST(StatMerge, TheMergeStepCases) {
    const MergeCase cases[] = {
        // Category and key are inserted and the value keeps the text it came with.
        {"", "weapon", "hits:", "1", true, "weapon[hits:1]"},
        // An existing key is summed and written with one decimal.
        {"frag[kills:3.0]", "frag", "kills:", "2", true, "frag[kills:5.0]"},
        {"frag[kills:3.0 deaths:1]", "FRAG", "deaths:", "0.5", true, "frag[kills:3.0 deaths:1.5]"},
        // A new key goes right after "[", followed by a blank when the bracket held pairs.
        {"frag[kills:3.0]", "frag", "deaths:", "1", true, "frag[deaths:1 kills:3.0]"},
        // A new category goes to the start, followed by a blank.
        {"frag[kills:3.0]", "time", "secs:", "10", true, "time[secs:10] frag[kills:3.0]"},
        // A category word inside another word, or a key inside another key, is no match.
        {"kills[a:1]", "kill", "a:", "1", true, "kill[a:1] kills[a:1]"},
        {"w[headkills:1]", "w", "kills:", "2", true, "w[kills:2 headkills:1]"},
        {"x[w:1] w[k:1]", "w", "k:", "1", true, "x[w:1] w[k:2.0]"},
        // Refused: bad words and values; the text stays as it was.
        {"a[b:1]", "a b", "c:", "1", false, "a[b:1]"},
        {"a[b:1]", "a", "c", "1", false, "a[b:1]"},
        {"a[b:1]", "a", "c:", "one", false, "a[b:1]"},
        {"a[b:1]", "a", "c:", "12345678901", false, "a[b:1]"},
        {"a[b:1]", "a\"", "c:", "1", false, "a[b:1]"},
        {"a[b:1]", "a", "b:", "inf", false, "a[b:1]"},
        // A sum that could not be read back as a value of ten characters is refused.
        {"a[b:99999999.9]", "a", "b:", "1", false, "a[b:99999999.9]"},
        {"a[b:99999998.9]", "a", "b:", "1", true, "a[b:99999999.9]"},
    };
    for (const MergeCase& c : cases) {
        char text[QZ_STAT_TEXT + 1];
        QZ_COPY(text, c.before);
        EXPECT_EQ(statMergeOne(text, c.category, c.key, c.value), c.ok) << c.before;
        EXPECT_STREQ(text, c.after) << c.before << " + " << c.category << " " << c.key;
    }
}

TEST(StatMerge, ATextNeverOutgrowsItsLimit) {
    char text[QZ_STAT_TEXT + 1] = "";
    int added = 0;
    for (int i = 0; i < 1000; ++i) {
        char key[32];
        QZ_TRF(key, "key%04d:", i);
        if (statMergeOne(text, "cat", key, "1234567890")) added++;
        ASSERT_LE(strlen(text), static_cast<size_t>(QZ_STAT_TEXT));
    }
    EXPECT_GT(added, 40);
    EXPECT_LT(added, 60);
    // A new category that does not fit leaves no empty group behind.
    std::string before = text;
    EXPECT_FALSE(statMergeOne(text, "anothercategorywithalongname", "somewhatlongkeyname:", "1"));
    EXPECT_EQ(before, text);
    EXPECT_TRUE(statTextValid(text));
}

TEST(StatMerge, MergingTextsGroupByGroup) {
    char text[QZ_STAT_TEXT + 1] = "frag[kills:3.0]";
    EXPECT_TRUE(statMergeText(text, "time[secs:10] frag[kills:2 deaths:1]"));
    EXPECT_STREQ(text, "time[secs:10] frag[deaths:1 kills:5.0]");
    EXPECT_FALSE(statMergeText(text, "frag[kills:"));
}

TEST(StatFileLine, ParsesTheWrittenFormAndRefusesDamage) {
    stSvStat rec;
    const std::string guid = kGuidA;
    ASSERT_TRUE(statParseLine((guid + " age=5 secs=12 stat=\"a[b:1] c[]\"\r\n").c_str(), &rec));
    EXPECT_STREQ(rec.guid, kGuidA);
    EXPECT_EQ(rec.age, 5u);
    EXPECT_EQ(rec.secs, 12u);
    EXPECT_STREQ(rec.stat, "a[b:1] c[]");
    const std::string bad[] = {
        "short age=5 secs=12 stat=\"\"",
        guid + " age=x secs=12 stat=\"\"",
        guid + " age=5 stat=\"\"",
        guid + " age=5 secs=12",
        guid + " age=5 secs=12 stat=\"a[b:1]",
        guid + " age=5 secs=12 stat=\"a[b:1]\" trailing",
        guid + " age=5 secs=99999999999 stat=\"\"",
        guid + " age=5 secs=1 stat=\"a[b:1] stat=\"x\"",
        guid + " age=5 secs=1 stat=\"" + std::string(990, 'a') + "\"",
        "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ age=5 secs=1 stat=\"\"",
    };
    for (const std::string& line : bad) EXPECT_FALSE(statParseLine(line.c_str(), &rec)) << line;
}

class Stats : public PlayersTest {
  protected:
    void SetUp() override {
        PlayersTest::SetUp();
        run("qz_sv_stattrack 1");
    }
};

TEST_F(Stats, SecondsPlayedCarryTheRemainder) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 2500");
    run("QZ_SV_STATAPPEND");
    EXPECT_NE(file("qzstat.dat").find(std::string(kGuidA) + " age="), std::string::npos);
    EXPECT_NE(file("qzstat.dat").find(" secs=2 stat=\"\""), std::string::npos);
    run("sim_advance 500");  // with the 500 ms kept, a whole second more
    run("QZ_SV_STATAPPEND");
    EXPECT_NE(file("qzstat.dat").find(" secs=1 stat=\"\"\r\n"), std::string::npos);
}

TEST_F(Stats, GameEventsBecomeStatisticsThatSurviveAWriteARestartAndALoad) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Al", kGuidB, "1.2.3.5:27960");
    run("sim_gameevent kill 1 2 MP40");
    run("sim_gameevent kill 1 2 MP40");
    run("sim_gameevent addskill 1 medic 3");
    run("sim_gameevent loseskill 1 medic 1");
    run("sim_gameevent init 2");
    run("sim_advance 10000");
    auto written = run("QZ_SV_STATWRITE");
    EXPECT_TRUE(anyLineContains(written, "2 Stat Records Written to "));
    const std::string text = file("qzstat.dat");
    EXPECT_NE(text.find(std::string(kGuidA) + " age="), std::string::npos);
    EXPECT_NE(text.find(" secs=10 stat=\"skill[medic,oasis,4:2.0] "
                        "kill[MP40,oasis,4:2.0]\"\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("game[rounds,oasis,4:1.0] death[MP40,oasis,4:2.0]"), std::string::npos)
        << text;

    run("qz_sv_Restart");
    run("sim_advance 0");
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATLOAD"), "2 Stat Records Loaded from "));
    auto list = run("qz_sv_StatList");
    EXPECT_TRUE(anyLineContains(
        list, "Stats: 10 secs [skill[medic,oasis,4:2.0] kill[MP40,oasis,4:2.0]] New: 0 secs []"));
}

TEST_F(Stats, AppendedRecordsOfOneGuidAreMergedWhenLoaded) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_gameevent kill 1 0 knife");
    run("sim_advance 3000");
    run("QZ_SV_STATAPPEND");
    run("sim_gameevent kill 1 0 knife");
    run("sim_advance 2000");
    auto appended = run("QZ_SV_STATAPPEND");
    EXPECT_TRUE(anyLineContains(appended, "1 Stat Record Written to "));
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATLOAD"), "2 Stat Records Loaded from "));
    EXPECT_TRUE(anyLineContains(run("qz_sv_StatList"),
                                "Stats: 5 secs [kill[knife,oasis,4:2.0]] New: 0 secs []"));
    // A whole write compacts the file to one line per GUID.
    run("QZ_SV_STATWRITE");
    const std::string text = file("qzstat.dat");
    EXPECT_EQ(text.find(kGuidA), text.rfind(kGuidA));
}

TEST_F(Stats, TheWholeWriteKeepsWhatTheFileHeldAndReplacesItAtomically) {
    const std::string other =
        std::string(kGuidC) + " age=7 secs=100 stat=\"kill[MP40,oasis,4:9.0]\"\r\n";
    writeFile("qzstat.dat", other);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 1000");
    run("QZ_SV_STATWRITE");
    const std::string text = file("qzstat.dat");
    EXPECT_NE(text.find(other), std::string::npos);
    EXPECT_NE(text.find(std::string(kGuidA) + " age="), std::string::npos);
    EXPECT_EQ(file("qzstat.dat.tmp"), "");
}

TEST_F(Stats, DamagedLinesAreSkippedCountedAndTheFileIsNotReplaced) {
    const std::string text = std::string(kGuidC) + " age=7 secs=100 stat=\"a[b:1]\"\r\n" +
                             "garbage\r\n" + std::string(5000, 'x') + "\r\n" + kGuidB +
                             " age=7 secs=1 stat=\"broken[\"\r\n";
    writeFile("qzstat.dat", text);
    auto lines = run("QZ_SV_STATLOAD");
    EXPECT_TRUE(anyLineContains(lines, "1 Stat Record Loaded from "));
    EXPECT_TRUE(anyLineContains(lines, "3 damaged lines skipped in "));
    EXPECT_EQ(file("qzstat.dat"), text);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 1000");
    auto write = run("QZ_SV_STATWRITE");
    EXPECT_TRUE(anyLineContains(write, "holds damaged lines: not replaced"));
    EXPECT_EQ(file("qzstat.dat").substr(0, text.size()), text);
}

TEST_F(Stats, TheStatisticsFileNameStaysInTheHomeDirectory) {
    run("qz_sv_statfn ../escape.dat");
    EXPECT_TRUE(hasLine(run("QZ_SV_STATLOAD"), "Statistics file name refused: ../escape.dat"));
    run("qz_sv_statfn mystats.dat");
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 1000");
    run("QZ_SV_STATAPPEND");
    EXPECT_NE(file("mystats.dat").find(kGuidA), std::string::npos);
}

TEST_F(Stats, ThePeriodicWriteAppendsEveryFiveMinutes) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 0");  // schedules the write
    EXPECT_FALSE(anyLineContains(run("sim_advance 299999"), "Written to"));
    auto lines = run("sim_advance 1");
    EXPECT_TRUE(anyLineContains(lines, "1 Stat Record Written to "));
    EXPECT_NE(file("qzstat.dat").find(" secs=300 "), std::string::npos);
}

TEST_F(Stats, EventsAreIgnoredWhileStatisticsAreNotTracked) {
    run("qz_sv_stattrack 0");
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_gameevent kill 1 0 knife");
    run("sim_advance 5000");
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATAPPEND"), "0 Stat Records Written to "));
}

}  // namespace

namespace {

TEST_F(Stats, AnEventThatNoLongerFitsIsReportedAndLost) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    bool warned = false;
    for (int i = 0; i < 60 && !warned; ++i) {
        auto lines = run("sim_gameevent death 1 cause" + std::to_string(i) + "xxxxxxxxxxxx");
        warned = hasLine(lines, "WARNING: STAT UPDATE FAILED for (slot #1) Bob");
    }
    EXPECT_TRUE(warned);
    run("sim_advance 1000");
    run("QZ_SV_STATAPPEND");
    // What was kept reads back as a valid record.
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATLOAD"), "1 Stat Record Loaded from "));
}

TEST_F(Stats, TwoLinesWhoseMergeOverflowsReportTheMergeError) {
    std::string big;
    for (int i = 0; big.size() < 900; ++i)
        big += (big.empty() ? "" : " ") + std::string("k") + std::to_string(i) + "[a:1]";
    std::string other;
    for (int i = 0; other.size() < 300; ++i)
        other += (other.empty() ? "" : " ") + std::string("z") + std::to_string(i) + "[b:1]";
    writeFile("qzstat.dat", std::string(kGuidA) + " age=1 secs=1 stat=\"" + big + "\"\r\n" +
                                kGuidA + " age=2 secs=1 stat=\"" + other + "\"\r\n");
    auto lines = run("QZ_SV_STATLOAD");
    EXPECT_TRUE(hasLine(lines, std::string("ERROR Trying to Merge Stats for GUID=") + kGuidA));
    // The line that does not fit is kept as a record of its own, not dropped.
    EXPECT_TRUE(anyLineContains(lines, "2 Stat Records Loaded from "));
}

// Two lines of one GUID whose texts cannot share one record, and a new record that does not fit
// either: the whole write keeps every key of all three.
TEST_F(Stats, AWholeWriteNeverDropsWhatAFailedMergeCouldNotTake) {
    std::string big, other;
    for (int i = 0; big.size() < 900; ++i)
        big += (big.empty() ? "" : " ") + std::string("k") + std::to_string(i) + "[a:1]";
    for (int i = 0; other.size() < 300; ++i)
        other += (other.empty() ? "" : " ") + std::string("z") + std::to_string(i) + "[b:1]";
    const std::string before = std::string(kGuidA) + " age=1 secs=120 stat=\"" + big + "\"\r\n" +
                               kGuidA + " age=2 secs=60 stat=\"" + other + "\"\r\n";
    writeFile("qzstat.dat", before);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_gameevent death 1 cause" + std::string(40, 'q'));
    run("sim_advance 3000");
    auto lines = run("QZ_SV_STATWRITE");
    EXPECT_TRUE(anyLineContains(lines, "Stat Records Written to ")) << lines.size();
    const std::string text = file("qzstat.dat");
    EXPECT_NE(text.find(big), std::string::npos);
    EXPECT_NE(text.find(other), std::string::npos);
    // Key parts are cut to 20 characters.
    EXPECT_NE(text.find("death[cause" + std::string(15, 'q') + ",oasis,4:1.0]"), std::string::npos)
        << text;
    // Played seconds: 120 + 60 from the file, 3 new ones.
    auto load = run("QZ_SV_STATLOAD");
    unsigned long secs = 0;
    for (size_t at = text.find(" secs="); at != std::string::npos; at = text.find(" secs=", at + 1))
        secs += std::stoul(text.substr(at + 6));
    EXPECT_EQ(secs, 183u) << text;
}

// A crash in the middle of an append leaves a cut last line: the next append moves it to
// qzstat.dat.cut and starts on a line of its own, so the new record loads; and a whole write
// repairs a file whose only damage is a cut last line.
TEST_F(Stats, AnAppendAfterACutLastLineIsNotLostAndAWriteRepairsTheFile) {
    const std::string good = std::string(kGuidC) + " age=7 secs=100 stat=\"a[b:1.0]\"\r\n";
    const std::string cut = std::string(kGuidB) + " age=7 secs=5 stat=\"kill[";
    writeFile("qzstat.dat", good + cut);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 120000");
    EXPECT_TRUE(
        anyLineContains(run("QZ_SV_STATAPPEND"), "qzstat.dat.cut (an append was interrupted)"));
    EXPECT_EQ(file("qzstat.dat.cut"), cut + "\r\n");
    auto lines = run("QZ_SV_STATLOAD");
    EXPECT_TRUE(anyLineContains(lines, "2 Stat Records Loaded from ")) << file("qzstat.dat");
    EXPECT_FALSE(anyLineContains(lines, "damaged line"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_StatList"), "Stats: 120 secs"));

    writeFile("qzstat.dat", file("qzstat.dat") + cut);
    run("sim_advance 1000");
    lines = run("QZ_SV_STATWRITE");
    EXPECT_FALSE(anyLineContains(lines, "holds damaged lines"));
    EXPECT_TRUE(anyLineContains(lines, "dropped (an append was interrupted)"));
    EXPECT_TRUE(anyLineContains(lines, "2 Stat Records Written to "));
    const std::string text = file("qzstat.dat");
    EXPECT_EQ(text.find(kGuidB), std::string::npos) << text;
    EXPECT_NE(text.find(good), std::string::npos);
    EXPECT_NE(text.find(" secs=121 stat=\"\"\r\n"), std::string::npos) << text;
}

// The statistics file is opened through the home directory's checks: a link that leads out of
// the home receives nothing.
TEST_F(Stats, AnAppendNeverFollowsALinkOutOfTheHome) {
    const std::string outside = gameHome() + "/outside.dat";
    writeFile("../outside.dat", "");
    ASSERT_EQ(symlink(outside.c_str(), (home() + "qzstat.dat").c_str()), 0);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 2000");
    EXPECT_TRUE(anyLineContains(run("QZ_SV_STATAPPEND"), "ERROR Opening Stat File"));
    std::ifstream in(outside, std::ios::binary);
    std::string held((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(held, "");
}

// Play time is measured on the monotonic clock: neither the end of summer time (the local clock
// falls back an hour) nor New Year of a year of 365 days adds time.
class StatsAcrossClockChanges : public ClockChangeTest,
                                public ::testing::WithParamInterface<long long> {};

TEST_P(StatsAcrossClockChanges, PlayTimeCountsOnlyTheTimePlayed) {
    run("qz_sv_stattrack 1");
    advanceTo(GetParam());
    join("Bob", kGuidA, "1.2.3.4:27960");
    for (int i = 0; i < 4; ++i) run("sim_advance 300000");  // 20 minutes across the change
    run("QZ_SV_STATAPPEND");
    run("QZ_SV_STATLOAD");
    EXPECT_TRUE(anyLineContains(run("qz_sv_StatList"), "Stats: 1200 secs [] New: 0 secs []"))
        << file("qzstat.dat");
}

INSTANTIATE_TEST_SUITE_P(Stats, StatsAcrossClockChanges,
                         ::testing::Values(kBeforeFallBack, kBeforeNewYear));

}  // namespace
