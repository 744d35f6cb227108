// Kick votes cast from the players' games, and the power list a player asks for.
#include "players/players_fixture.h"

namespace {

constexpr const char* kGuidD = "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD";
constexpr const char* kGuidE = "EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE";

class Votes : public PlayersTest {
  protected:
    // Three voters of 40 points (slots 1-3), a target of 0 points (slot 4) and an
    // administrator-level GUID that is not yet connected.
    void SetUp() override {
        PlayersTest::SetUp();
        run("qz_sv_PowerMin 10");
        run(std::string("qz_sv_PowerGuid ") + kGuidA + " 40 A");
        run(std::string("qz_sv_PowerGuid ") + kGuidB + " 40 B");
        run(std::string("qz_sv_PowerGuid ") + kGuidC + " 40 C");
        run(std::string("qz_sv_PowerGuid ") + kGuidE + " 150 Admin");
        join("Ann", kGuidA, "1.2.3.1:27960");
        join("Ben", kGuidB, "1.2.3.2:27960");
        join("Cat", kGuidC, "1.2.3.3:27960");
        join("Dan", kGuidD, "1.2.3.4:27960");
    }
    bool dropped(const std::vector<std::string>& lines) {
        return anyLineContains(lines, "[host] DropClient 4 Kestrine kicked player 'Dan'");
    }
};

TEST_F(Votes, VotesAddUpAndRemoveThePlayerAtTheThreshold) {
    auto first = run("sim_vote 1 4");
    EXPECT_TRUE(hasLine(first, "[to 2] PKick Vote (40 points) against slot #4 (Dan) from Ann"));
    EXPECT_TRUE(hasLine(first, "Kick Vote (40 points) against slot #4 (Dan) from Ann [40/100]"));
    EXPECT_FALSE(dropped(first));
    EXPECT_FALSE(dropped(run("sim_vote 2 4")));
    auto third = run("sim_vote 3 4");
    EXPECT_TRUE(dropped(third));
    EXPECT_TRUE(hasLine(third,
                        "[host] DropClient 4 Kestrine kicked player 'Dan' (for 5 minutes) ... "
                        "Player Vote"));
    EXPECT_EQ(host().client(4), nullptr);
    // The kick is in the kick/ban list: he cannot come back at once.
    EXPECT_TRUE(anyLineContains(join("Dan", kGuidD, "1.2.3.4:27960"), "refused"));
}

TEST_F(Votes, NobodyVotesTwiceAgainstTheSamePlayer) {
    run("sim_vote 1 4");
    auto again = run("sim_vote 1 4");
    EXPECT_TRUE(hasLine(again, "[to 1] PYou have already voted against slot #4"));
    run("sim_vote 2 4");
    EXPECT_FALSE(dropped(run("sim_vote 2 4")));
    EXPECT_NE(host().client(4), nullptr);
}

TEST_F(Votes, VotesNeedATargetAVoterAndEnoughPower) {
    struct Case {
        const char* line;
        const char* answer;
    } cases[] = {
        {"sim_vote 1 9", "[to 1] PInvalid Slot #9 for a Kick Vote"},
        {"sim_vote 1 x", "[to 1] PInvalid Slot #0 for a Kick Vote"},
        {"sim_vote 1 1", "[to 1] PInvalid Slot #1 for a Kick Vote"},
        {"sim_vote 4 1", "[to 4] PYou need at least 10 Power Points to vote"},
        {"sim_vote 1 2", "[to 1] PSlot #2 has at least as many Power Points as you: vote refused"},
    };
    for (const Case& c : cases) EXPECT_TRUE(hasLine(run(c.line), c.answer)) << c.line;
    run("qz_sv_PowerMin 0");
    EXPECT_TRUE(hasLine(run("sim_vote 1 4"), "[to 1] PPower Kicking Disabled"));
}

TEST_F(Votes, AnAdministratorCannotBeVotedOffByWeakerPlayers) {
    join("Boss", kGuidE, "1.2.3.5:27960");
    for (const char* voter : {"1", "2", "3"}) {
        auto lines = run(std::string("sim_vote ") + voter + " 5");
        EXPECT_FALSE(anyLineContains(lines, "DropClient")) << voter;
    }
    EXPECT_NE(host().client(5), nullptr);
    // While he is on the server only administrator-level players vote, and his vote is enough.
    EXPECT_TRUE(
        hasLine(run("sim_vote 1 4"),
                "[to 1] PAn administrator is on the server: only administrators may vote now"));
    EXPECT_TRUE(dropped(run("sim_vote 5 4")));
}

TEST_F(Votes, VotesLapseAfterFiveMinutesAndWhenTheVoterLeaves) {
    run("sim_vote 1 4");
    run("sim_vote 2 4");
    run("sim_advance 300000");
    EXPECT_FALSE(dropped(run("sim_vote 3 4")));
    run("sim_vote 1 4");  // Ann's lapsed vote may be cast again: 80 points now
    run("sim_drop 3");
    auto lines = run("sim_powerlist 1");
    EXPECT_TRUE(anyLineContains(lines,
                                "^5"
                                "4  0 40/100 " +
                                    std::string(kGuidD)));
}

TEST_F(Votes, ThePowerListShowsPowerPointsAgainstAndTheThreshold) {
    run("sim_vote 1 4");
    auto lines = run("sim_powerlist 4");
    std::string all;
    for (const auto& l : lines)
        if (l.rfind("[to 4] ", 0) == 0) all += l.substr(7);
    EXPECT_EQ(all,
              "P^5Power Kicking Enabled: [Slot #] [Power] [Points Against] [GUID] [Name]\\r\\n"
              "^51  40 0/100 " +
                  std::string(kGuidA) +
                  "(?) Ann\\r\\n"
                  "^52  40 0/100 " +
                  std::string(kGuidB) +
                  "(?) Ben\\r\\n"
                  "^53  40 0/100 " +
                  std::string(kGuidC) +
                  "(?) Cat\\r\\n"
                  "^54  0 40/100 " +
                  std::string(kGuidD) +
                  "(?) Dan\\r\\n"
                  "^5End of Power List (4 Players)");
    run("qz_sv_PowerMin 0");
    EXPECT_TRUE(anyLineContains(run("sim_powerlist 4"), "Power Kicking Disabled: "));
}

}  // namespace
