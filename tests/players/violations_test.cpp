// Violations and restrictions: the label table and the client module's codes, the reports and
// their log lines, the kicking switches, the restriction warning, the further player rules and
// the companion libraries' start-up report.
#include "players/violations.h"

#include <stdlib.h>

#include <cstring>
#include <filesystem>

#include "commands/handlers.h"
#include "players/players_fixture.h"
#include "util/files.h"

namespace {

TEST(ViolationLabels, EveryLabelEndsInOneBlank) {
    for (int kind = 0; kind < QZ_V_COUNT; ++kind) {
        std::string label = plViolationLabel(kind);
        ASSERT_GE(label.size(), 3u);
        EXPECT_EQ(label.front(), '(') << label;
        EXPECT_EQ(label.substr(label.size() - 2), ") ") << label;
    }
    EXPECT_STREQ(plViolationLabel(-1), "(INVALID VIOLATION CODE) ");
    EXPECT_STREQ(plViolationLabel(QZ_V_COUNT), "(INVALID VIOLATION CODE) ");
}

TEST(ViolationCodes, CodesMapOntoLabels) {
    const struct {
        long code;
        const char* label;
    } cases[] = {
        {1, "(COMFAIL) "},
        {9, "(CVAR) "},
        {11, "(IGNORING QUERIES) "},
        {20, "(AIMBOT) "},
        {28, "(QZ HACK) "},
        {29, "(NEW VIOLATION CODE) "},
        {999, "(NEW VIOLATION CODE) "},
        {1000, "(INVALID VIOLATION CODE) "},
        {0, "(INVALID VIOLATION CODE) "},
        {-5, "(INVALID VIOLATION CODE) "},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(plViolationLabel(plViolationKind(c.code)), c.label) << c.code;
    }
}

TEST(ViolationReasons, TechnicalReasonsCarryTheirNumber) {
    char out[128];
    plTechnicalReason(QZ_T_PROGRAM, 4242, out, sizeof out);
    EXPECT_STREQ(out, "1 Disallowed Program/Driver [4242]");
    plTechnicalReason(QZ_T_API_UNKNOWN, 7, out, sizeof out);
    EXPECT_STREQ(out, "1 Unknown Windows API Function [7]");
    plTechnicalReason(QZ_T_PACKET_FLOW, 7, out, sizeof out);
    EXPECT_STREQ(out, "1 Corrupted Packet Flow");
    plTechnicalReason(QZ_T_INTEGRITY, 7, out, sizeof out);
    EXPECT_STREQ(out, "1 Integrity Failure (0xff27)");
    plTechnicalReason(0, 7, out, sizeof out);
    EXPECT_STREQ(out, "");
}

// A central state with one player in slot 3 (no module around it), for the switches that only
// the master servers turn.
struct Suspensions : ::testing::Test {
    BareState bare;
    stQzSv* sv = bare.sv.get();
    std::string home;
    void TearDown() override {
        setHomeDir("");
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    void SetUp() override {
        char pattern[] = "/tmp/qzviol-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
        setHomeDir(home.c_str());
        Qz_Sv_Client_s* c = &sv->players.cl[2];
        strcpy(c->name, "Eve");
        strcpy(c->guid, kGuidA);
        strcpy(c->address, "1.2.3.9:27960");
        strcpy(c->authState, "OK");
        c->status = QZ_ST_OK;
        sv->set.kickLen = 2;
        sv->set.aliasMax = 1;
    }
    bool dropped() {
        for (const std::string& l : BareState::log())
            if (l.rfind("DropClient|", 0) == 0) return true;
        return false;
    }
    bool logged(const std::string& text) {
        for (const std::string& l : BareState::log())
            if (l == text) return true;
        return false;
    }
};

TEST_F(Suspensions, AViolationWhileKickingIsSuspendedIsLoggedButThePlayerStays) {
    plSuspend(sv, QZ_SUSPEND_VIOLATIONS);
    EXPECT_TRUE(logged(
        "Kicking for new violations has been temporarily disabled per QZ Master Servers - use the "
        "qz_sv_enablekicks command to manually re-enable kicks."));
    EXPECT_FALSE(plViolation(sv, 3, QZ_V_CVAR, 1, "cg_fov = 130 (IN 90 120)", false));
    EXPECT_TRUE(logged("VIOLATION (CVAR) #1: cg_fov = 130 (IN 90 120) (slot #3) Eve [" +
                       std::string(kGuidA) + "(OK) 1.2.3.9:27960]"));
    EXPECT_TRUE(logged("Violation Kicking is temporarily disabled per QZ Master Servers"));
    EXPECT_FALSE(dropped());
    EXPECT_NE(plPlayer(sv, 3), nullptr);

    CmdCall call{const_cast<char*>(""), 0, 0};
    BareState::log().clear();
    cmd_enablekicks(sv, call);
    cmd_enablekicks(sv, call);
    ASSERT_EQ(BareState::log().size(), 2u);
    EXPECT_EQ(BareState::log()[0], "qz_sv_enablekicks: Kicking for violations is now enabled");
    EXPECT_EQ(BareState::log()[1], "qz_sv_enablekicks: Kicking for violations was already enabled");

    EXPECT_TRUE(plViolation(sv, 3, QZ_V_CVAR, 1, "cg_fov = 130 (IN 90 120)", false));
    EXPECT_TRUE(dropped());
    EXPECT_TRUE(
        logged("DropClient|3 Kestrine kicked player 'Eve' (for 2 minutes) ... (CVAR) cg_fov "
               "= 130 (IN 90 120)"));
}

TEST_F(Suspensions, TechnicalViolationsCanBeSetAside) {
    plSuspend(sv, QZ_SUSPEND_TECHNICAL);
    EXPECT_FALSE(plViolation(sv, 3, QZ_V_GAME_INTEGRITY, 2, "1 Corrupted Packet Flow", true));
    EXPECT_TRUE(logged("Technical Violations Temporarily Ignored as directed by QZ Master"));
    EXPECT_FALSE(dropped());
    EXPECT_TRUE(plViolation(sv, 3, QZ_V_AIMBOT, 2, "found", false));
    EXPECT_TRUE(logged("Positive Violation: Violation (AIMBOT) #2"));
}

TEST_F(Suspensions, RestrictionsAreLoggedAndKickedUnlessSuspended) {
    char label[64];
    plRestrictionLabel(sv, QZ_R_ALIASES, label, sizeof label);
    EXPECT_STREQ(label, "More than 1 Alias");
    sv->set.aliasMax = 3;
    plRestrictionLabel(sv, QZ_R_ALIASES, label, sizeof label);
    EXPECT_STREQ(label, "More than 3 Aliases");

    plSuspend(sv, QZ_SUSPEND_RESTRICTIONS);
    EXPECT_FALSE(plRestriction(sv, 3, "Name Spamming"));
    EXPECT_TRUE(logged("RESTRICTION: Name Spamming (slot #3) [" + std::string(kGuidA) +
                       "(OK) 1.2.3.9:27960] Eve"));
    EXPECT_TRUE(logged("Restriction Kicking is temporarily disabled per QZ Master Servers"));
    EXPECT_FALSE(dropped());
    sv->viol.restrictionsSuspended = 0;
    EXPECT_TRUE(plRestriction(sv, 3, "Name Spamming"));
    EXPECT_TRUE(
        logged("DropClient|3 Kestrine kicked player 'Eve' (for 2 minutes) ... RESTRICTION: Name "
               "Spamming"));
}

TEST_F(Suspensions, AGameWithoutTheAuthenticationSwitchStillKicks) {
    // The bare host knows no game variables; the module treats a missing one as on.
    EXPECT_TRUE(plViolation(sv, 3, QZ_V_LOWSCORE, -20, "Low Negative Score", false));
}

using Violations = PlayersTest;

TEST_F(Violations, AReportFromTheClientModuleRemovesThePlayerWithItsLabel) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run("sim_violation 1 20 7 aim assistance \"found\"");
    EXPECT_TRUE(
        anyLineContains(lines, "VIOLATION (AIMBOT) #7: aim assistance 'found' (slot #1) Bob [" +
                                   std::string(kGuidA) + "("));
    EXPECT_TRUE(hasLine(lines, "Positive Violation: Violation (AIMBOT) #7"));
    EXPECT_TRUE(anyLineContains(lines,
                                "[host] DropClient 1 Kestrine kicked player 'Bob' (for 2 minutes) "
                                "... (AIMBOT) aim assistance"));
    EXPECT_EQ(host().client(1), nullptr);
    EXPECT_NE(file("sv_viol.log").find("Violation (AIMBOT) #7 (slot #1) Bob"), std::string::npos);
}

TEST_F(Violations, TechnicalFindingsAndUnknownCodes) {
    const struct {
        const char* report;
        const char* line;
    } cases[] = {
        {"18 5 T9", "VIOLATION (QZ INTEGRITY) #5: 1 Integrity Failure (0xff27) (slot #1)"},
        {"19 77 T1", "VIOLATION (GAME INTEGRITY) #77: 1 Disallowed Program/Driver [77] (slot #1)"},
        {"40 1 something new", "VIOLATION (NEW VIOLATION CODE) #1: something new (slot #1)"},
        {"x 1", "VIOLATION (INVALID VIOLATION CODE) #1: Code -1 (slot #1)"},
    };
    // Each case kicks its player, so each comes with a GUID of its own.
    int n = 0;
    for (const auto& c : cases) {
        join("Bob", std::string(31, 'A') + static_cast<char>('0' + n++), "1.2.3.4:27960");
        auto lines = run(std::string("sim_violation 1 ") + c.report);
        EXPECT_TRUE(anyLineContains(lines, c.line)) << c.report;
        EXPECT_EQ(host().client(1), nullptr) << c.report;
    }
    join("Bob", kGuidB, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(run("sim_violation 1 18 5 T9"),
                        "Technical Violation: Failed Kestrine Integrity Check"));
}

TEST_F(Violations, ReportsArePacedPerPlayer) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_game set sv_strictauth 0");
    std::vector<std::string> all;
    for (int i = 0; i < 50; ++i) {
        auto lines = run("sim_violation 1 20 1 spam");
        all.insert(all.end(), lines.begin(), lines.end());
    }
    int n = 0;
    for (const std::string& l : all) n += l.rfind("VIOLATION (AIMBOT)", 0) == 0;
    EXPECT_EQ(n, 5);
    EXPECT_TRUE(
        anyLineContains(all, "Kicking Disabled due to Game Auth being disabled at the server"));
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(Violations, APlayingClientIsToldTheRestrictions) {
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines,
                        "[to 1] PWARNING: ^7QZ Kicks for Name Spamming and Name Stealing and "
                        "Non-standard Characters on this Server"));
    run("qz_sv_Restrictions 0");
    EXPECT_FALSE(anyLineContains(join("Al", kGuidB, "1.2.3.5:27960"), "WARNING"));
}

// sv_cheat.log: one line a detection, with who, the evidence and what was done.
TEST_F(Violations, DetectionsAreRecordedInTheCheatLog) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Al", kGuidB, "1.2.3.5:27960");
    host().rename(1, "B\"ob");
    run("sim_violation 1 20 4012 \"aim snap\" 180deg");
    run("sim_game set sv_strictauth 0");
    run("sim_violation 2 3 7 T1");
    run("sim_violation 2 15 -30 low");  // the server's own rule finding: no detection
    const std::string log = file("sv_cheat.log");
    EXPECT_NE(log.find("] DETECTION (AIMBOT)#4012 slot=1 guid=" + std::string(kGuidA) + " auth="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" address=1.2.3.4:27960 name=\"B'ob\" evidence=\"'aim snap' 180deg\" "
                       "action=kick\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("] DETECTION (BADNAME)#7 slot=2 guid=" + std::string(kGuidB) + " auth="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" address=1.2.3.5:27960 name=\"Al\" technical=\"1 Disallowed "
                       "Program/Driver [7]\" action=game-auth-off\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("LOWSCORE"), std::string::npos) << log;
}

TEST_F(Violations, ALowScoreRemovesThePlayer) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_ScoreKick -10");
    run("sim_score 1 -10 3");
    EXPECT_FALSE(anyLineContains(run("sim_advance 6000"), "VIOLATION"));
    run("sim_score 1 -11 3");
    auto lines = run("sim_advance 6000");
    EXPECT_TRUE(
        anyLineContains(lines, "VIOLATION (LOWSCORE) #-11: Low Negative Score (slot #1) Bob"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(Violations, ASpectatorClientMustKeepAZeroScore) {
    run("sim_clientmodule off");
    join("Tv", kGuidA, "1.2.3.4:27960");
    run("sim_packet 1 QZ_INIT 1.000 S");
    run("sim_packet 1 QZ_UPDT 1.000");
    auto lines = run("sim_packet 1 QZ_READY");
    EXPECT_TRUE(hasLine(lines, "Accepted Spec Client (slot #1) Tv"));
    EXPECT_FALSE(anyLineContains(run("sim_advance 6000"), "VIOLATION"));
    run("sim_score 1 4 1");
    lines = run("sim_advance 6000");
    EXPECT_TRUE(anyLineContains(lines, "Non-zero score (4/1) spec client detected"));
    EXPECT_TRUE(anyLineContains(lines, "VIOLATION (SPEC SCORE) #4: Spec Client must keep 0 score"));
}

TEST_F(Violations, ASpectatorNameRuleDecidesWhoIsAccepted) {
    run("qz_sv_specname [TV]");
    run("sim_clientmodule off");
    join("^1[TV]Cam", kGuidA, "1.2.3.4:27960");
    join("Sneaky", kGuidB, "1.2.3.5:27960");
    for (int slot : {1, 2}) {
        const std::string s = std::to_string(slot);
        run("sim_packet " + s + " QZ_INIT 1.000 S");
        run("sim_packet " + s + " QZ_UPDT 1.000");
    }
    EXPECT_TRUE(hasLine(run("sim_packet 1 QZ_READY"), "Accepted Spec Client [slot #1] ^1[TV]Cam"));
    auto lines = run("sim_packet 2 QZ_READY");
    EXPECT_FALSE(anyLineContains(lines, "Accepted Spec Client"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "OK   "));
}

TEST_F(Violations, APhantomPlayerIsRemoved) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Al", kGuidB, "1.2.3.5:27960");
    run("sim_vanish 1");
    auto lines = run("sim_advance 6000");
    EXPECT_TRUE(anyLineContains(lines, "Phantom player detected (slot #1) Bob"));
    EXPECT_TRUE(anyLineContains(lines, "No Phantoms Allowed"));
    lines = run("qz_sv_Plist");
    EXPECT_TRUE(hasLine(lines, "End of Player List (1 Player)"));
}

TEST_F(Violations, TooManyPlayersFromOneAddress) {
    run("qz_sv_limitdupips 1");
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Bob2", kGuidB, "1.2.3.4:27961");
    join("Al", kGuidC, "1.2.3.5:27960");
    auto lines = run("sim_advance 6000");
    EXPECT_TRUE(anyLineContains(lines,
                                "[host] DropClient 2 Kestrine kicked player 'Bob2' (for 2 minutes) "
                                "... Too Many Players Using Duplicate IP Address"));
    EXPECT_NE(host().client(1), nullptr);
    EXPECT_NE(host().client(3), nullptr);
}

TEST_F(Violations, StartUpReportsTheMissingCompanionLibraries) {
    EXPECT_TRUE(hasLine(host().output(), "CRITICAL ERROR: Cannot Load qzcls.so"));
    EXPECT_TRUE(hasLine(host().output(),
                        "Critical ERROR: Cannot Load qzags.so - Detection System Inoperative"));
}

}  // namespace
