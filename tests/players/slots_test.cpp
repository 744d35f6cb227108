// Player slots: statuses, the per-player figures, connections and the GUID game variables.
#include "players/slots.h"

#include <cstring>

#include "players/players_fixture.h"
#include "util/clock.h"

namespace {

TEST(PlayerStatus, EveryNameIsFourCharactersWideAndUnknownValuesPrintUnkn) {
    struct Case {
        int status;
        const char* name;
    };
    const Case cases[] = {{0, "PRE "}, {1, "INIT"}, {2, "UPDT"}, {3, "OK  "},
                          {4, "SPEC"}, {5, "SBOT"}, {7, "UNKN"}, {-1, "UNKN"}};
    for (const Case& c : cases) EXPECT_STREQ(plStatusName(c.status), c.name) << c.status;
}

TEST(PlayerFigures, AuthenticationRateIsEventsPerMinuteInTenths) {
    struct Case {
        int events;
        unsigned sinceMs;
        long value;
    };
    const Case cases[] = {
        {12, 180000, 40},  // 12 events over 3 minutes: 4.0
        {12, 5999, 0},     // under six seconds: 0.0
        {1, 6000, 100},    // one event in the first tenth of a minute
        {0, 600000, 0},
        {100000000, 60000, 1000000000},  // count * 100 beyond 32 bits, the value within
    };
    for (const Case& c : cases) {
        Qz_Sv_Client_s cl{};
        cl.connectTick = 1000000;
        cl.authCount = c.events;
        EXPECT_EQ(plAuthRate(&cl, 1000000 + c.sinceMs), c.value) << c.events << " " << c.sinceMs;
    }
}

TEST(PlayerFigures, RecentScreenshotsCountTheLastTenMinutes) {
    const unsigned now = 100000000;
    Qz_Sv_Client_s cl{};
    cl.ssTicks[0] = now - 60000;
    cl.ssTicks[1] = now - 300000;
    cl.ssTicks[2] = now - 660000;
    EXPECT_EQ(plRecentSs(&cl, now), 2);
    cl.ssTicks[2] = now - 600000;  // exactly ten minutes still counts
    EXPECT_EQ(plRecentSs(&cl, now), 3);
}

TEST(PlayerFigures, RequestTicksNeverSetCountOnlyWithinTenMinutesOfTickZero) {
    struct Case {
        unsigned now;
        int recent;
    };
    const Case cases[] = {
        {0, 3},
        {600000, 3},
        {600001, 0},
        {0xFFFFFFFFu - 3000, 3},  // just before the wrap: elapsed -3001 counts as 0
        {0x90000000u, 0},         // taken as a wrap and corrected: far beyond ten minutes
        {100000000, 0},
    };
    for (const Case& c : cases) {
        Qz_Sv_Client_s cl{};
        EXPECT_EQ(plRecentSs(&cl, c.now), c.recent) << c.now;
    }
}

TEST(PlayerFigures, GuidsAreThirtyTwoHexadecimalDigits) {
    EXPECT_TRUE(plGuidValid(kGuidA));
    EXPECT_TRUE(plGuidValid("0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(plGuidValid("0123456789ABCDEF0123456789ABCDE"));
    EXPECT_FALSE(plGuidValid("0123456789ABCDEF0123456789ABCDEF0"));
    EXPECT_FALSE(plGuidValid("0123456789ABCDEF0123456789ABCDEG"));
    EXPECT_FALSE(plGuidValid(""));
}

using Slots = PlayersTest;

TEST_F(Slots, SimConnectEndsWithAPlayingClientAfterTheExchange) {
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines, "New Connection (slot #1) 1.2.3.4:27960 [" + std::string(kGuidA) +
                                   "] \"Bob\" (seq 1)"));
    EXPECT_TRUE(hasLine(lines, "[to 1] QQZ_HELLO 1.673 1"));
    EXPECT_TRUE(hasLine(lines, "[to 1] QQZ_GO"));
    auto list = run("qz_sv_Plist");
    EXPECT_TRUE(
        hasLine(list, "1  " + std::string(kGuidA) + "(?) 1.2.3.4:27960 OK   0 0.0 0 (W) \"Bob\""));
    EXPECT_EQ(host().cvar("guid_qz_01"), kGuidA);
    EXPECT_EQ(host().cvar("guid_sv_01"), kGuidA);
}

TEST_F(Slots, BotsAreSbotAtOnceAndGetNoExchange) {
    auto lines = join("Bot1", "", "bot");
    EXPECT_FALSE(anyLineContains(lines, "QZ_HELLO"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "bot SBOT"));
}

TEST_F(Slots, APacketOutOfTurnDoesNotMoveAPlayerBack) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run("sim_packet 1 QZ_INIT 1.000 P");
    EXPECT_TRUE(hasLine(lines, "Packet ignored from (slot #1) Bob: QZ_INIT (status OK  )"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " OK   "));
}

TEST_F(Slots, AClientModuleOlderThanTheCurrentOneIsForcedToSpectate) {
    run("QZ_SV_SETCLVER 2.000");
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines, "Forcing Player to Spec Mode (slot# 1) Bob " + std::string(kGuidA)));
    EXPECT_TRUE(hasLine(lines, "[to 1] PSpectator mode forced until your QZ Version updates"));
    EXPECT_TRUE(hasLine(lines, "[host] Cmd_Exec forceteam 1 spectator"));
    EXPECT_EQ(host().client(1)->team, "spectator");
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), " UPDT "));
}

TEST_F(Slots, DisconnectsAreLoggedAndFreeTheGuidVariables) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run("sim_drop 1");
    EXPECT_TRUE(hasLine(
        lines, "Lost Connection (slot #1) 1.2.3.4:27960 " + std::string(kGuidA) + "(?) Bob"));
    EXPECT_EQ(host().cvar("guid_qz_01"), "EmptySlot");
    EXPECT_EQ(host().cvar("guid_sv_01"), "EmptySlot");
    lines = run("sim_drop 1");
    EXPECT_TRUE(hasLine(lines,
                        "ERROR: Game Server reports dropping the connection for a client "
                        "unknown to Kestrine (slot #1)"));
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (0 Players)"));
}

TEST_F(Slots, InitDirectiveFreesEverySlot) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Al", kGuidB, "1.2.3.5:27960");
    EXPECT_TRUE(hasLine(run("QZ_SV_INIT"), "All players re-initialized (2)"));
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (0 Players)"));
}

TEST_F(Slots, AddClientDirectiveTakesTheLowestFreeSlotAndReportsAFullList) {
    for (int i = 0; i < 64; ++i)
        run("QZ_SV_ADDCLIENT P" + std::to_string(i) + "\\\\10.0.0." + std::to_string(i) + ":1\\W");
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (64 Players)"));
    auto lines = run("QZ_SV_ADDCLIENT Late\\\\10.0.1.1:1\\W");
    EXPECT_TRUE(hasLine(lines,
                        "ERROR: Client list full, unable to add new client reported by Game "
                        "Server (Late\\\\10.0.1.1:1\\W)"));
}

// The connect text is split before each field is bounded: a long name is cut on its own and
// leaves the GUID whole for the ban check; a GUID or address too long for its field is refused
// rather than cut.
TEST_F(Slots, ALongNameLeavesTheGuidWholeForTheBanCheck) {
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4:27960 cheating");
    std::string name(250, 'n');
    auto lines = run("QZ_SV_ADDCLIENT " + name + "\\" + kGuidA + "\\1.2.3.4:27960\\W");
    EXPECT_TRUE(anyLineContains(lines, "You have been BANNED")) << lines.size();
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (0 Players)"));

    lines = run("QZ_SV_ADDCLIENT " + name + "\\" + kGuidB + "\\1.2.3.5:27960\\W");
    EXPECT_TRUE(anyLineContains(lines, "New Connection (slot #1) 1.2.3.5:27960 [" +
                                           std::string(kGuidB) + "] \"" + std::string(32, 'n') +
                                           "\""));
}

TEST_F(Slots, AGuidOrAddressTooLongForItsFieldIsRefused) {
    struct Case {
        std::string guid, address, what;
    };
    const Case cases[] = {
        {std::string(kGuidA) + "X", "1.2.3.4:27960", "GUID"},
        {kGuidA, "1.2.3.4:27960" + std::string(30, '0'), "address"},
    };
    for (const Case& c : cases) {
        auto lines = run("QZ_SV_ADDCLIENT Bob\\" + c.guid + "\\" + c.address + "\\W");
        EXPECT_TRUE(hasLine(lines,
                            "[host] DropClient 1 Your GUID or address is too long for this "
                            "server"))
            << c.what;
        EXPECT_TRUE(anyLineContains(lines, "\" " + c.what + " too long")) << c.what;
        EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (0 Players)")) << c.what;
    }
}

TEST_F(Slots, ARenameToABannedNameRemovesThePlayer) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_banname Cheater");
    auto lines = run("sim_rename 1 ^1CHEATER");
    EXPECT_TRUE(hasLine(lines,
                        "[host] DropClient 1 Your Player Name has been banned from this "
                        "server by Kestrine Admin"));
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "End of Player List (0 Players)"));
}

}  // namespace
