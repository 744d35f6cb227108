// The player listings: the console list with its exact columns, registration and statistics
// lines, and the list a player asks for from his game.
#include <cstring>

#include "players/players_fixture.h"
#include "players/slots.h"
#include "util/text.h"

namespace {

// Fills slot 1 of a bare state with a playing client.
Qz_Sv_Client_s& seat(BareState& s) {
    Qz_Sv_Client_s& c = s.sv->players.cl[0];
    QZ_COPY(c.name, "Bob");
    QZ_COPY(c.guid, kGuidA);
    QZ_COPY(c.address, "1.2.3.4:27960");
    QZ_COPY(c.authState, "ok");
    c.os = 'L';
    c.status = 3;
    c.power = 7;
    return c;
}

TEST(PlayerList, RegistrationLinesShowTheCountOnlyAboveOne) {
    BareState s;
    Qz_Sv_Client_s& c = seat(s);
    c.reg[0] = {"Bobby", "since 2025", 1};
    c.reg[2] = {"Robert", "clan", 3};
    c.reg[1] = {"Unused", "", 5};
    plList(s.sv.get(), "", 0);
    const std::vector<std::string> expected = {
        "Player List: [Slot #] [GUID] [Address] [Status] [Power] [Auth Rate] [Recent SS in 10 min] "
        "[O/S] [Name]",
        "1  " + std::string(kGuidA) + "(ok) 1.2.3.4:27960 OK   7 0.0 0 (L) \"Bob\"",
        "   ^7*REGISTERED \"Bobby^7\" since 2025",
        "   ^7*REGISTERED \"Robert^7\"(3) clan",
        "End of Player List (1 Player)",
    };
    EXPECT_EQ(BareState::log(), expected);
}

TEST(PlayerList, StatisticsModeAddsALineUnderEachPlayer) {
    BareState s;
    seat(s);
    plList(s.sv.get(), "", 1);
    ASSERT_EQ(BareState::log().size(), 4u);
    EXPECT_EQ(BareState::log()[2], "   ");
}

TEST(PlayerList, NoGuidAndAnUnknownStatusAreShownAsSuch) {
    BareState s;
    Qz_Sv_Client_s& c = seat(s);
    c.guid[0] = 0;
    c.status = 9;
    plList(s.sv.get(), "", 0);
    EXPECT_EQ(BareState::log()[1],
              "1  NO_GUID                         (ok) 1.2.3.4:27960 UNKN 7 0.0 0 (L) \"Bob\"");
}

using PlayerListOnServer = PlayersTest;

TEST_F(PlayerListOnServer, EmptyServerListsNoPlayers) {
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (0 Players)"));
}

TEST_F(PlayerListOnServer, APlayerAsksForTheListFromHisGame) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Al", kGuidB, "1.2.3.5:27960");
    auto lines = run("sim_packet 2 QZ_PLIST");
    const std::string expected =
        "[to 2] P^5Player List: [Slot #] [GUID] [Status] [Auth Rate] [Recent SS] [Name]\\r\\n"
        "^51  " +
        std::string(kGuidA) +
        "(?) OK   0.0 0{0|0} Bob\\r\\n"
        "^52  " +
        std::string(kGuidB) +
        "(?) OK   0.0 0{0|0} Al\\r\\n"
        "^5End of Player List (2 Players)";
    EXPECT_TRUE(hasLine(lines, expected)) << ::testing::PrintToString(lines);
}

TEST_F(PlayerListOnServer, ALongListReachesThePlayerInSeveralPiecesOfWholeLines) {
    run("sim_cvar sv_maxclients 64");
    run("qz_sv_GuidRelax 4");  // forty players of one GUID
    for (int i = 0; i < 40; ++i)
        join("Player" + std::to_string(i), kGuidB, "10.0.0." + std::to_string(i) + ":1");
    run("sim_packet 1 QZ_PLIST");
    const auto& got = host().client(1)->received;
    std::string all;
    int pieces = 0;
    for (const std::string& t : got) {
        if (!t.empty() && t[0] == 'P') {
            pieces++;
            all += t.substr(1);
        }
    }
    EXPECT_GT(pieces, 1);
    EXPECT_NE(all.find("^5End of Player List (40 Players)"), std::string::npos);
    EXPECT_NE(all.find("Player39\r\n"), std::string::npos);
}

}  // namespace
