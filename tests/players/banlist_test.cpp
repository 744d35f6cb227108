// qz_sv_BanList: a long listing goes out a bounded part per call with the rest in the following
// frames, its end line when it ends, and a search that looks at the record without forming it.
#include <cstdio>
#include <string>
#include <vector>

#include "players/bans.h"
#include "players/players_fixture.h"

namespace {

// Adds n GUID bans whose names are "P0", "P1", ...
void fill(stQzSv* sv, int n) {
    for (int i = 0; i < n; ++i) {
        char guid[33], body[64];
        snprintf(guid, sizeof guid, "%032X", i + 1);
        snprintf(body, sizeof body, "\"P%d\" \"1.2.3.4\" reason", i);
        ASSERT_GT(banAdd(sv, QZ_BAN_GUID, guid, body, 0), 0);
    }
}

// The lines printed since the last call, emptying the record.
std::vector<std::string> take() {
    std::vector<std::string> out;
    for (const std::string& line : BareState::log())
        if (line.find('|') == std::string::npos) out.push_back(line);
    BareState::log().clear();
    return out;
}

bool endsList(const std::vector<std::string>& lines) {
    return !lines.empty() && lines.back().rfind("End of Ban List", 0) == 0;
}

}  // namespace

TEST(BanListing, ALongListingGoesOutAPartPerFrameAndEndsWithItsCount) {
    BareState s;
    const int n = 3 * QZ_BANLIST_LINES + 5;
    fill(s.sv.get(), n);
    take();
    banListStart(s.sv.get(), "");
    std::vector<std::string> all = take();
    EXPECT_EQ(static_cast<int>(all.size()), QZ_BANLIST_LINES);
    EXPECT_FALSE(endsList(all));
    int frames = 0;
    while (!endsList(all) && frames++ < 100) {
        banListFrame(s.sv.get());
        std::vector<std::string> part = take();
        EXPECT_LE(static_cast<int>(part.size()), QZ_BANLIST_LINES + 1);
        all.insert(all.end(), part.begin(), part.end());
    }
    ASSERT_EQ(static_cast<int>(all.size()), n + 1);
    EXPECT_EQ(all.back(),
              "End of Ban List (" + std::to_string(n) + " of " + std::to_string(n) + " displayed)");
    for (int i = 0; i < n; ++i) EXPECT_EQ(all[i].rfind(std::to_string(i + 1), 0), 0u) << all[i];
    banListFrame(s.sv.get());
    EXPECT_TRUE(take().empty());  // nothing after the end
}

TEST(BanListing, ASearchMatchesTheRecordTextWithoutFormingIt) {
    BareState s;
    fill(s.sv.get(), 20);
    banAdd(s.sv.get(), QZ_BAN_MASK, "MASK", "\"10.1.*\" \"?\" ?", 0);
    struct Case {
        const char* search;
        int shown;
    } cases[] = {
        {"p1", 11},                                          // P1, P10..P19, any case
        {"0000000000000000000000000000000A \"p9\"", 1},      // across the key and the body
        {"00000000000000000000000000000014 \"P19\" \"", 1},  // the last entry, both sides
        {"000A \"P", 1},
        {"mask \"10.1", 1},
        {"nobody", 0},
    };
    for (const Case& c : cases) {
        take();
        banListStart(s.sv.get(), c.search);
        std::vector<std::string> lines = take();
        ASSERT_TRUE(endsList(lines)) << c.search;
        EXPECT_EQ(lines.back(), "End of Ban List (" + std::to_string(c.shown) + " of 21 displayed)")
            << c.search;
        EXPECT_EQ(static_cast<int>(lines.size()), c.shown + 1) << c.search;
    }
}

TEST(BanListing, ANewListingEndsTheRunningOneAndEmptyingTheListEndsIt) {
    BareState s;
    const int n = 2 * QZ_BANLIST_LINES;
    fill(s.sv.get(), n);
    take();
    banListStart(s.sv.get(), "");
    take();
    banListStart(s.sv.get(), "P7");
    std::vector<std::string> lines = take();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "End of Ban List (" + std::to_string(QZ_BANLIST_LINES) + " of " +
                                 std::to_string(n) + " displayed)");
    EXPECT_TRUE(endsList(lines));

    banListStart(s.sv.get(), "");
    take();
    banFree(s.sv.get());
    banListFrame(s.sv.get());
    lines = take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "End of Ban List (" + std::to_string(QZ_BANLIST_LINES) + " of 0 displayed)");
}
