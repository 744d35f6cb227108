// Ban file loads spread over frame calls: records per step, the count line at the end, the bans
// that hold while a load runs, and the commands that meet a running load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "players/bans.h"
#include "players/players_fixture.h"
#include "support/frames.h"

namespace {

using BanLoad = PlayersTest;

const std::string kStamp = "[01.01.2026 00:00:00] ";

// A ban file of n GUID records ("P<i>"), the last one lastGuid's when given.
std::string bigFile(int n, const std::string& lastGuid = "") {
    std::string bytes;
    for (int i = 0; i < n; ++i) {
        char g[33];
        snprintf(g, sizeof g, "%08X%08X%08X%08X", i * 2654435761u, i + 7, i * 40503u, 99u);
        std::string guid = i == n - 1 && !lastGuid.empty() ? lastGuid : g;
        bytes += kStamp + guid + " \"P" + std::to_string(i) + "\" \"?\" x\r\n\r\n";
    }
    return bytes;
}

int countLines(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

int firstIndex(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

TEST_F(BanLoad, ALargeFileIsAddedAFewRecordsAStepAndCountedOnceAtTheEnd) {
    writeFile("big.dat", bigFile(10000));
    const std::string path = home() + "big.dat";
    BareState bare;
    stQzSv* sv = bare.sv.get();
    ASSERT_TRUE(banLoadBegin(sv, path.c_str(), false));
    int steps = 0;
    unsigned before = 0;
    bool done = false;
    while (!done && steps < 100000) {
        EXPECT_EQ(countLines(BareState::log(), "10000 Bans loaded from " + path), 0);
        // No time limit: only the step's record limit bounds it.
        done = banLoadStep(sv, 1000000000);
        EXPECT_LE(sv->bans.count - before, static_cast<unsigned>(QZ_BANLOAD_RECORDS));
        before = sv->bans.count;
        steps++;
    }
    EXPECT_TRUE(done);
    EXPECT_GE(steps, 10000 / QZ_BANLOAD_RECORDS);
    EXPECT_EQ(sv->bans.count, 10000u);
    EXPECT_EQ(countLines(BareState::log(), "10000 Bans loaded from " + path), 1);
    EXPECT_FALSE(banLoadRunning(sv));
    banFree(sv);
    banDropAll(sv);
}

TEST_F(BanLoad, EmptyLinesCountTowardsAStepsShare) {
    writeFile("empty.dat", std::string(100000, '\n') + kStamp + kGuidA + " \"A\" \"?\" x\r\n");
    const std::string path = home() + "empty.dat";
    BareState bare;
    stQzSv* sv = bare.sv.get();
    ASSERT_TRUE(banLoadBegin(sv, path.c_str(), false));
    // With no time to spend a step reads one batch of lines between two looks at the clock.
    EXPECT_FALSE(banLoadStep(sv, 0));
    int steps = 1;
    while (!banLoadStep(sv, 0) && steps < 1000000) steps++;
    EXPECT_GE(steps, 100000 / 32);
    EXPECT_EQ(sv->bans.count, 1u);
    banFree(sv);
    banDropAll(sv);
}

TEST_F(BanLoad, TheMaskIndexIsBuiltOverFramesAfterALoadAndCoversEveryMask) {
    std::string bytes;
    for (int i = 0; i < 6000; ++i) {
        bytes += kStamp + "MASK \"" + std::to_string(1 + i / 250) + "." + std::to_string(i % 250) +
                 ".*\" \"?\" x\r\n\r\n";
    }
    writeFile("masks.dat", bytes);
    const std::string path = home() + "masks.dat";
    BareState bare;
    stQzSv* sv = bare.sv.get();
    ASSERT_TRUE(banLoadBegin(sv, path.c_str(), false));
    int frames = 0;
    while ((banLoadRunning(sv) || sv->bans.maskBuild.phase) && frames < 100000) {
        // While the masks are not all indexed the last one read is found by the scan after it.
        if (sv->bans.maskCount) {
            const stMaskRule& last = sv->bans.masks[sv->bans.maskCount - 1];
            char address[32];
            snprintf(address, sizeof address, "%u.%u.7.7:1", last.lo[0], last.lo[1]);
            EXPECT_EQ(banMaskFind(sv, address), static_cast<int>(last.entry + 1)) << frames;
        }
        banFrame(sv, 500);
        frames++;
    }
    EXPECT_EQ(sv->bans.maskCount, 6000u);
    EXPECT_EQ(sv->bans.maskIndexed, 6000u);
    EXPECT_EQ(banMaskFind(sv, "24.249.3.3:27960"), 6000);
    EXPECT_EQ(banMaskFind(sv, "25.0.0.1:27960"), 0);
    banFree(sv);
    banDropAll(sv);
}

TEST_F(BanLoad, ABanInForceBeforeALoadHoldsWhileItRunsAndTheFilesBansHoldAfterIt) {
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4 cheat");
    writeFile("big.dat", bigFile(10000, kGuidB));
    auto started = run("qz_sv_BanLoad big.dat");
    EXPECT_FALSE(anyLineContains(started, "Bans loaded from"));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:1"), "You have been BANNED"));
    auto rest = framesUntil([this](const std::string& l) { return run(l); }, "Bans loaded from");
    EXPECT_EQ(countLines(rest, "10000 Bans loaded from " + home() + "big.dat"), 1);
    EXPECT_TRUE(anyLineContains(join("Al", kGuidB, "5.6.7.8:1"), "You have been BANNED"));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:1"), "You have been BANNED"));
}

TEST_F(BanLoad, EmptyingTheListStopsALoadInProgress) {
    writeFile("big.dat", bigFile(10000));
    run("qz_sv_BanLoad big.dat");
    auto lines = run("qz_sv_BanEmpty");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Ban load of " + home() + "big.dat stopped after ", 0), 0u);
    EXPECT_EQ(lines[1], "Ban List (in Memory) has been Emptied");
    std::vector<std::string> later;
    for (int i = 0; i < 20; ++i)
        for (auto& l : run("sim_advance 0")) later.push_back(l);
    EXPECT_FALSE(anyLineContains(later, "Bans loaded from"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (0 of 0 displayed)"));
}

TEST_F(BanLoad, ALoadAskedForDuringALoadFollowsIt) {
    writeFile("big.dat", bigFile(10000));
    writeFile("small.dat", kStamp + kGuidC + " \"C\" \"?\" x\r\n\r\n");
    run("qz_sv_BanLoad big.dat");
    EXPECT_EQ(run("qz_sv_BanLoad small.dat"),
              std::vector<std::string>{home() + "small.dat will load after " + home() + "big.dat"});
    auto rest = framesUntil([this](const std::string& l) { return run(l); },
                            "1 Ban loaded from " + home() + "small.dat");
    int big = firstIndex(rest, "10000 Bans loaded from " + home() + "big.dat");
    int small = firstIndex(rest, "1 Ban loaded from " + home() + "small.dat");
    ASSERT_GE(big, 0);
    EXPECT_GT(small, big);
    EXPECT_TRUE(anyLineContains(join("C", kGuidC, "5.6.7.8:1"), "You have been BANNED"));
}

TEST_F(BanLoad, ARestartKeepsTheListInForceUntilTheBanFileIsReadAgain) {
    writeFile("qzbans.dat", bigFile(10000, kGuidB));
    run("qz_sv_BanLoad");
    framesUntil([this](const std::string& l) { return run(l); }, "Bans loaded from");
    join("Kid", kGuidC, "9.9.9.9:1");
    run("qz_sv_Restart");
    auto restart = run("sim_advance 0");
    EXPECT_FALSE(anyLineContains(restart, "Bans loaded from"));
    EXPECT_TRUE(anyLineContains(join("Al", kGuidB, "5.6.7.8:1"), "You have been BANNED"));
    // A change to an entry of the list about to be replaced would be lost: it waits.
    EXPECT_EQ(run("qz_sv_UnBan 1"),
              std::vector<std::string>{"Ban List is being reloaded from " + home() +
                                       "qzbans.dat: command ignored until the count line appears"});
    // A kick is in no file: it is carried into the new list.
    run("qz_sv_Kick 1 5 x");
    auto rest = framesUntil([this](const std::string& l) { return run(l); }, "Bans loaded from");
    EXPECT_EQ(countLines(rest, "10000 Bans loaded from " + home() + "qzbans.dat"), 1);
    EXPECT_TRUE(anyLineContains(join("Al", kGuidB, "5.6.7.8:1"), "You have been BANNED"));
    EXPECT_TRUE(anyLineContains(join("Kid", kGuidC, "9.9.9.9:1"), "rejoin this server"));
    EXPECT_TRUE(hasLine(run("qz_sv_UnBan 1"),
                        "Ban Slot #1 has been Unbanned - qz_sv_UpdBanFile can be used to update the "
                        "ban file(s)"));
}

}  // namespace
