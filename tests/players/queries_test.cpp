// Client queries on the simulated server: the query commands and their counts, the answers of
// the simulated client modules, hostile and unasked answers, malfunctioning and silent clients,
// the range checks run from the frame, the automatic pulses, the logging switch and the host's
// cvar directives.
#include <string>

#include "players/cvars.h"
#include "players/players_fixture.h"

namespace {

class Queries : public PlayersTest {
  protected:
    void SetUp() override {
        PlayersTest::SetUp();
        join("Bob", kGuidA, "1.2.3.4:27960");
    }
    // Lines of the output that contain text.
    int count(const std::vector<std::string>& lines, const std::string& text) {
        int n = 0;
        for (const std::string& l : lines) n += l.find(text) != std::string::npos;
        return n;
    }
};

TEST_F(Queries, AValueQueryReportsItsCountAndPrintsTheAnswer) {
    auto lines = run("qz_sv_CvarVal cg_fov 1");
    EXPECT_TRUE(hasLine(lines, "[to 1] QQZ_CVAR 1 cg_fov"));
    EXPECT_TRUE(hasLine(lines, "1 Cvar Query Sent"));
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar cg_fov = 90"));
}

TEST_F(Queries, CountsUseTheEndingOfTheNumber) {
    join("Al", kGuidB, "1.2.3.5:27960");
    join("Cy", kGuidC, "1.2.3.6:27960");
    EXPECT_TRUE(hasLine(run("qz_sv_CvarVal cg_fov"), "3 Cvar Queries Sent"));
    EXPECT_TRUE(hasLine(run("qz_sv_BindSrch attack"), "3 Bind Queries Sent"));
    EXPECT_TRUE(hasLine(run("qz_sv_BindSrch attack al"), "1 Bind Query Sent"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarUser"), "3 Cvar Queries Sent"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarChanged 2"), "1 Cvar Query Sent"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarSrch fov nobody"), "Invalid Player Specified: nobody"));
    // Bots and players still in the exchange are not asked.
    run("sim_connect Botty - bot");
    EXPECT_TRUE(hasLine(run("qz_sv_CvarVal cg_fov"), "3 Cvar Queries Sent"));
}

TEST_F(Queries, MissingArgumentsAndTheCapabilitySwitchRefuse) {
    EXPECT_TRUE(hasLine(run("qz_sv_CvarVal"), "Command Ignored: No Cvar Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarSrch"), "Command Ignored: No Search Text Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_BindSrch"), "Command Ignored: No Search Text Specified"));
    run("qz_sv_CQC 0");
    for (const char* line : {"qz_sv_CvarVal cg_fov", "qz_sv_CvarUser", "qz_sv_BindSrch w"}) {
        auto lines = run(line);
        EXPECT_TRUE(hasLine(lines, "Client Query Capability is Currently Disabled on this Server"))
            << line;
        EXPECT_FALSE(anyLineContains(lines, "[to 1]")) << line;
    }
}

TEST_F(Queries, SearchesAndListsPrintEveryItemAndTheirEnd) {
    run("sim_setcvar 1 cg_fov 110");
    run("sim_setcvar 1 my_script \"say hi\"");
    run("sim_bind 1 mouse2 +attack2");
    auto lines = run("qz_sv_CvarSrch FOV 1");
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar cg_fov = 110"));
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: End of Cvar Search results (1 found)"));
    lines = run("qz_sv_BindSrch attack 1");
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Bind mouse1 = +attack"));
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Bind mouse2 = +attack2"));
    EXPECT_FALSE(anyLineContains(lines, "+forward"));
    lines = run("qz_sv_CvarUser 1");
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar my_script = say hi"));
    EXPECT_EQ(count(lines, "query: Cvar "), 1);
    lines = run("qz_sv_CvarChanged 1");
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar cg_fov = 110"));
    EXPECT_EQ(count(lines, "query: Cvar "), 1);
}

TEST_F(Queries, ALongListComesInSeveralPacketsAndIsBounded) {
    for (int i = 0; i < 300; ++i)
        run("sim_setcvar 1 u" + std::to_string(i) + " " + std::to_string(i));
    auto lines = run("qz_sv_CvarUser 1");
    // At most 256 items of one query are taken.
    EXPECT_EQ(count(lines, "query: Cvar u"), 256);
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: End of User Cvar results (256 found)"));
}

TEST_F(Queries, HostileValuesReachTheConsoleAndTheLogCleaned) {
    run("qz_sv_CvarLogging 3");
    run("sim_setcvar 1 cg_fov \"90\\r\\nqz_sv_Kick 1\"");
    run("sim_packet 1 QZ_ANS 99 0\\n<script>\\\"x\\\" \\x01\\x7f" + std::string(3000, 'A'));
    auto lines = run("qz_sv_CvarVal cg_fov 1");
    for (const std::string& l : lines) {
        for (char ch : l) EXPECT_GE(static_cast<unsigned char>(ch), 32) << l;
        EXPECT_LT(l.size(), 400u) << l;
    }
    const std::string varLog = file("svlogs/qzsvvar.log");
    EXPECT_NE(varLog.find("query: Cvar cg_fov = "), std::string::npos) << varLog;
    EXPECT_EQ(varLog.find('"' + std::string("x")), std::string::npos);
}

TEST_F(Queries, UnaskedAnswersAreIgnoredAndTheirLinesBounded) {
    std::vector<std::string> all;
    for (int i = 0; i < 200; ++i) {
        auto lines = run("sim_packet 1 QZ_ANS " + std::to_string(5000 + i) + " 0\\ncg_fov 1");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(count(all, "Bob (slot 1) query (Ignored): cg_fov 1"), 10);
    EXPECT_EQ(count(all, "Further ignored answers from (slot #1) Bob are not shown for a minute"),
              1);
    EXPECT_TRUE(anyLineContains(all, "Malfunctioning QZ Client (slot 1) - Ignoring Cvar Queries"));
    EXPECT_LT(all.size(), 30u);
}

TEST_F(Queries, WrongAnswersMakeAMalfunctioningClientWhoseAnswersAreIgnored) {
    run("sim_answers 1 wrong");
    std::vector<std::string> all;
    for (int i = 0; i < 3; ++i) {
        auto lines = run("qz_sv_CvarVal cg_fov 1");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(count(all, "Malfunctioning QZ Client (slot 1) - Ignoring Cvar Queries"), 1);
    run("sim_answers 1 right");
    // From now on he is not asked, and what he sends is marked ignored.
    EXPECT_TRUE(hasLine(run("qz_sv_CvarVal cg_fov 1"), "0 Cvar Queries Sent"));
    EXPECT_TRUE(anyLineContains(run("sim_packet 1 QZ_ANS 1 0\\ncg_fov 90"), "query (Ignored)"));
}

TEST_F(Queries, AnUnansweredQueryIsGivenUp) {
    run("sim_answers 1 none");
    run("qz_sv_CvarVal cg_fov 1");
    EXPECT_FALSE(anyLineContains(run("sim_advance 29000"), "No Answer"));
    EXPECT_TRUE(hasLine(run("sim_advance 1500"),
                        "Bob (slot 1) query: No Answer to Cvar Value query \"cg_fov\""));
}

TEST_F(Queries, LoggingGoesWhereTheSettingSays) {
    const struct {
        int mode;
        bool regular, variable;
    } cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, true, true}};
    for (const auto& c : cases) {
        run("qz_sv_CvarLogging " + std::to_string(c.mode));
        const std::string tag = "mode" + std::to_string(c.mode);
        run("sim_setcvar 1 cg_fov " + tag);
        run("qz_sv_CvarVal cg_fov 1");
        run("qz_sv_NewLog");  // flushes the regular log into a file we can read
        std::string regular;
        for (int serial = 0; serial < 20; ++serial) {
            char name[32];
            snprintf(name, sizeof name, "svlogs/%08d.log", serial);
            regular += file(name);
        }
        const std::string line =
            "[From #1 Bob(" + std::string(kGuidA) + ") 1.2.3.4:27960] query: Cvar cg_fov = " + tag;
        EXPECT_EQ(regular.find(line) != std::string::npos, c.regular) << c.mode;
        EXPECT_EQ(file("svlogs/qzsvvar.log").find(line) != std::string::npos, c.variable) << c.mode;
    }
}

TEST_F(Queries, ACvarOutOfRangeIsFoundByTheRangeChecksAndRemovesThePlayer) {
    run("qz_sv_Cvar cg_fov in 90 120");
    run("qz_sv_Cvar r_picmip in 0 2");
    // In range: nothing happens over a whole minute of frames.
    std::vector<std::string> all;
    for (int i = 0; i < 60; ++i) {
        auto lines = run("sim_advance 1000");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_TRUE(anyLineContains(all, "[to 1] QQZ_CVARS "));
    EXPECT_FALSE(anyLineContains(all, "VIOLATION"));
    run("sim_setcvar 1 cg_fov 130");
    all.clear();
    for (int i = 0; i < 20 && host().client(1); ++i) {
        auto lines = run("sim_advance 1000");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_TRUE(
        anyLineContains(all, "VIOLATION (CVAR) #1: cg_fov = 130 (IN 90 120) (slot #1) Bob ["));
    EXPECT_TRUE(anyLineContains(
        all, "Kick Command Issued ((CVAR) cg_fov = 130 (IN 90 120)) for (slot#1) Bob"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(Queries, AGameThatIgnoresRangeChecksIsAViolation) {
    run("qz_sv_Cvar cg_fov in 90 120");
    run("sim_answers 1 none");
    std::vector<std::string> all;
    for (int i = 0; i < 200 && host().client(1); ++i) {
        auto lines = run("sim_advance 1000");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_TRUE(anyLineContains(
        all, "VIOLATION (IGNORING QUERIES) #3: No answer to 3 cvar range checks (slot #1) Bob"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(Queries, AMalfunctioningClientCannotEscapeTheRangeChecks) {
    run("qz_sv_Cvar cg_fov in 90 120");
    run("sim_answers 1 wrong");
    std::vector<std::string> all;
    for (int i = 0; i < 300 && host().client(1); ++i) {
        auto lines = run("sim_advance 1000");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_TRUE(anyLineContains(all, "Malfunctioning QZ Client (slot 1) - Ignoring Cvar Queries"));
    EXPECT_TRUE(anyLineContains(all, "VIOLATION (IGNORING QUERIES)"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(Queries, ObtainedListsAreWalkedThroughTheChecks) {
    run("qz_sv_Cvar cg_fov in 90 120");
    run("sim_setcvar 1 cg_fov 150");
    // Level 0: the list is only shown.
    auto lines = run("qz_sv_CvarChanged 1");
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar cg_fov = 150"));
    EXPECT_FALSE(anyLineContains(lines, "VIOLATION"));
    run("qz_sv_CvarWalk 1");
    lines = run("qz_sv_CvarChanged 1");
    EXPECT_TRUE(anyLineContains(lines, "VIOLATION (CVAR) #1: cg_fov = 150 (IN 90 120)"));
}

TEST_F(Queries, TheAutomaticPulsesAskEveryPlayer) {
    run("qz_sv_CvarUserPulse 10");
    run("qz_sv_CvarChangedPulse 20");
    std::vector<std::string> all;
    for (int minute = 0; minute < 21; ++minute) {
        auto lines = run("sim_advance 60000");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(count(all, "[to 1] QQZ_CVARUSER "), 2);
    EXPECT_EQ(count(all, "[to 1] QQZ_CVARCHANGED "), 1);
    // Their results go to the logs, not the console.
    EXPECT_FALSE(anyLineContains(all, "query: End of"));
}

TEST_F(Queries, TheHostsDirectivesAskAndReportValues) {
    auto lines = run("QZ_SV_CVAR?1 com_maxfps");
    EXPECT_TRUE(hasLine(lines, "1 Cvar Query Sent"));
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar com_maxfps = 85"));
    lines = run("QZ_SV_BIND?1 forward");
    EXPECT_TRUE(hasLine(lines, "1 Bind Query Sent"));
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Bind w = +forward"));
    EXPECT_TRUE(anyLineContains(run("QZ_SV_CVAR?9 x"), "QZ_SV_CVAR? ignored: no player in slot 9"));
    run("qz_sv_Cvar com_maxfps in 30 125");
    lines = run("QZ_SV_CVAR=1 com_maxfps 333");
    EXPECT_TRUE(hasLine(lines, "Bob (slot 1) query: Cvar com_maxfps = 333"));
    EXPECT_TRUE(anyLineContains(lines, "VIOLATION (CVAR) #1: com_maxfps = 333 (IN 30 125)"));
}

}  // namespace
