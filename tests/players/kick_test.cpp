// Kicks, bans of connected players, the removal step and its exact texts, player resolution,
// admin messages and forced team changes.
#include "players/kick.h"

#include "players/players_fixture.h"
#include "players/slots.h"
#include "util/text.h"

namespace {

using Kick = PlayersTest;

const std::string kBob = "Bob";

TEST_F(Kick, KickBySlotDropsThePlayerWithTheExactTexts) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Al", kGuidB, "1.2.3.5:27960");
    auto lines = run("qz_sv_Kick 1 2 camping | seen on demo");
    EXPECT_TRUE(hasLine(
        lines, "[to 2] PRemoving \"Bob\" from the server (2 minutes) camping [Admin Decision]"));
    EXPECT_TRUE(hasLine(lines,
                        "[host] DropClient 1 Kestrine kicked player 'Bob' (for 2 minutes) ... "
                        "camping [Admin Decision]"));
    EXPECT_TRUE(hasLine(lines, "Kick Command Issued (camping [Admin Decision]) for (slot#1) Bob " +
                                   std::string(kGuidA) + " 1.2.3.4:27960"));
    EXPECT_EQ(host().client(1), nullptr);
    // The list keeps the whole reason, private part included.
    EXPECT_TRUE(anyLineContains(
        run("qz_sv_BanList"),
        "\"Bob\" \"1.2.3.4:27960\" camping | seen on demo [Admin Decision] {0/2} Kick"));
}

TEST_F(Kick, KickByNamePrintsTheMatchFirstAndUsesTheDefaultLength) {
    join("^1Red^^Fox", kGuidA, "1.2.3.4:27960");
    run("qz_sv_KickLen 1");
    auto lines = run("qz_sv_Kick red");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Matched: ^1Red^^Fox (slot #1)");
    EXPECT_TRUE(
        hasLine(lines,
                "[host] DropClient 1 Kestrine kicked player '^1Red^^Fox' (for 1 minute) ... "
                "[Admin Decision]"));
}

TEST_F(Kick, ABadPlayerArgumentDoesNothing) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    const char* args[] = {"65", "0", "nobody", "\"\""};
    for (const char* a : args) {
        auto lines = run(std::string("qz_sv_Kick ") + a + " 2 x");
        EXPECT_TRUE(anyLineContains(lines, "Invalid Player Specified: ")) << a;
        EXPECT_FALSE(anyLineContains(lines, "DropClient")) << a;
    }
    EXPECT_TRUE(hasLine(run("qz_sv_Kick 65"), "Invalid Player Specified: 65"));
}

TEST_F(Kick, ATextMatchingSeveralPlayersIsRefused) {
    join("Bobby", kGuidA, "1.2.3.4:27960");
    join("BigBob", kGuidB, "1.2.3.5:27960");
    auto lines = run("qz_sv_Kick bob 5 x");
    EXPECT_TRUE(hasLine(lines, "Several Players Matched: bob (2 players) - use the slot number"));
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (0 of 0 displayed)"));
}

TEST_F(Kick, ServerHostPlayersAreNeverKickedOrBanned) {
    const char* addresses[] = {"127.0.0.1:27960", "loopback", "localhost"};
    for (const char* a : addresses) {
        join("Host", kGuidA, a);
        auto lines = run("qz_sv_Kick 1 3 x");
        EXPECT_TRUE(
            hasLine(lines, "[to 1] PKicking Disabled for Server Host Players \"Host\" (3 minutes)"))
            << a;
        EXPECT_TRUE(hasLine(lines, "Kick Command Ignored (Server Host) for 1 Host")) << a;
        lines = run("qz_sv_Ban 1 x");
        EXPECT_TRUE(hasLine(lines, "[to 1] PBanning Disabled for Server Host Players \"Host\""))
            << a;
        EXPECT_TRUE(hasLine(lines, "Ban Command Ignored (Server Host) for 1 Host")) << a;
        run("sim_drop 1");
    }
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (0 of 0 displayed)"));
}

TEST_F(Kick, BotsAreNotRemoved) {
    join("Bot1", "", "bot");
    auto lines = run("qz_sv_Kick 1 2 x");
    EXPECT_TRUE(hasLine(
        lines, "Ignored Command to kick player in slot# 1 (Bot1) ... (x [Admin Decision])"));
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
}

TEST_F(Kick, ARemovalTheHostDoesNotCarryOutIsLoggedAsNotIssued) {
    // A player the host reported by directive is unknown to the simulated game, which then
    // refuses the drop.
    run("QZ_SV_ADDCLIENT Ghost\\" + std::string(kGuidA) + "\\1.2.3.4:1\\W");
    auto lines = run("qz_sv_Kick 1 2 x");
    EXPECT_TRUE(
        hasLine(lines, "Kick Command *NOT* Issued (x [Admin Decision]) for (slot#1) Ghost " +
                           std::string(kGuidA) + " 1.2.3.4:1"));
}

TEST_F(Kick, AKickedPlayerIsRefusedUntilHisTimeIsOver) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 2 x");
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines,
                        "[to 1] print\\n[err_dialog]You may not attempt to rejoin this server "
                        "for another 2 minutes\\n"));
    EXPECT_TRUE(hasLine(lines, "[host] DropClient 1 Prior Kick/Ban"));
    EXPECT_TRUE(hasLine(lines, "[qzhost] slot 1: Bob refused"));
    run("sim_advance 60000");
    EXPECT_TRUE(anyLineContains(join("Bob", "0123456789abcdef0123456789abcdef", "1.2.3.4:27960"),
                                "for another 1 minutes"));
    run("sim_advance 60000");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "Bob admitted"));
}

TEST_F(Kick, AKickOfNoMinutesRefusesForGood) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 0 x");
    run("sim_advance 86400000");
    EXPECT_TRUE(
        anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"),
                        "[err_dialog]You have been BANNED from this server by Server Admin"));
}

TEST_F(Kick, BanDropsWithThePermanentTextAndRefusesForeverAlsoAfterARestart) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run("qz_sv_Ban bob wallhack|clip 3");
    EXPECT_TRUE(hasLine(lines,
                        "[host] DropClient 1 Kestrine permanent ban issued on this Game Server "
                        "for player 'Bob'  ... wallhack [Admin Decision]"));
    EXPECT_TRUE(
        hasLine(lines, "Kick/Ban Command Issued (wallhack [Admin Decision]) for (slot#1) Bob " +
                           std::string(kGuidA) + " 1.2.3.4:27960"));
    run("sim_advance 600000");
    lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines,
                        "[to 1] print\\n[err_dialog]You have been BANNED from this server by "
                        "Server Admin\\n"));
    host().shutdown();
    ASSERT_EQ(host().start(), 0);
    lines = join("Bob", kGuidA, "9.9.9.9:27960");
    EXPECT_TRUE(anyLineContains(lines, "You have been BANNED from this server by Server Admin"));
    EXPECT_TRUE(anyLineContains(lines, "Bob refused"));
}

TEST_F(Kick, ASecondKickAfterTheFirstEndedGivesItsOwnLength) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 2 x");
    run("sim_advance 120000");
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 10 again");
    run("sim_advance 180000");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:27960"), "for another 7 minutes"));
}

TEST_F(Kick, APlayerWithoutAValidGuidCannotBeBanned) {
    join("Bob", "", "1.2.3.4:27960");
    auto lines = run("qz_sv_Ban 1 x");
    EXPECT_TRUE(hasLine(lines, "Player Specified (1) has Invalid QZ GUID: \"NO_GUID\""));
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
}

TEST_F(Kick, SayReachesOnePlayer) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run("qz_sv_Say 1 please stop");
    EXPECT_TRUE(hasLine(lines, "[to 1] P^3ADMIN: please stop"));
    EXPECT_TRUE(hasLine(run("qz_sv_Say 9 hi"), "Invalid Player Specified: 9"));
}

TEST(ForcedTeam, TheGameIsAskedToMoveThePlayer) {
    BareState s;
    plForceTeam(s.sv.get(), 3, 2);
    const std::vector<std::string> expected = {"Attempting to force slot#3 to team#2",
                                               "Cmd_Exec|cmd_forceteam 3 2"};
    EXPECT_EQ(BareState::log(), expected);
}

TEST(BanBody, ValuesAreQuotedAndMissingOnesAreQuestionMarks) {
    char body[64];
    banBuildBody(body, sizeof body, "Bob \"the\" one", "", "  ");
    EXPECT_STREQ(body, "\"Bob 'the' one\" \"?\" ?");
}

}  // namespace
