// The name rules on the simulated server: which names are removed at connect and at rename, with
// which reasons and labels; the warnings and grace periods of bad and duplicate names; name
// locks, protected names and tags; the restriction announcement.
#include "players/names.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "players/players_fixture.h"
#include "util/text.h"

namespace {

using NameRules = PlayersTest;

// The host's drop line as qzhost shows it (bytes from 0x7F up as \xHH).
std::string drop(int slot, const std::string& name, const std::string& reason) {
    std::string line = "[host] DropClient " + std::to_string(slot) + " Kestrine kicked player '" +
                       name + "' (for 2 minutes) ... " + reason;
    std::string shown;
    for (unsigned char c : line) {
        if (c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

struct RuleCase {
    const char* setup;   // console lines before the player joins, ';'-separated, or ""
    const char* name;    // the joining player's name
    const char* reason;  // the removal reason, or "" when the player stays
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << "\"" << c.name << "\" after \"" << c.setup << "\"";
}

class RuleTable : public PlayersTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(RuleTable, ConnectingPlayersAreRemovedWithTheRulesReason) {
    const RuleCase& c = GetParam();
    std::string setup = c.setup;
    for (size_t start = 0; start < setup.size();) {
        size_t end = setup.find(';', start);
        if (end == std::string::npos) end = setup.size();
        run(setup.substr(start, end - start));
        start = end + 1;
    }
    auto lines = join(c.name, kGuidA, "1.2.3.4:27960");
    if (c.reason[0]) {
        EXPECT_TRUE(hasLine(lines, drop(1, c.name, c.reason))) << c.name;
        EXPECT_EQ(host().client(1), nullptr) << c.name;
    } else {
        EXPECT_FALSE(anyLineContains(lines, "DropClient")) << c.name;
        EXPECT_NE(host().client(1), nullptr) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, RuleTable,
    ::testing::Values(
        RuleCase{"", "^1", "Empty Player Name Disallowed"},
        RuleCase{"", "   ", "Empty Player Name Disallowed"},
        RuleCase{"qz_sv_EmptyName 1", "^1", ""},
        RuleCase{"", "all", "Player Name 'ALL' Disallowed"},
        RuleCase{"", "^1A l^2L", "Player Name 'ALL' Disallowed"}, RuleCase{"", "Allan", ""},
        RuleCase{"qz_sv_MinName 4", "Bob", "Name Too Short: Min=4"},
        RuleCase{"qz_sv_MinName 4", "^1B^2o^3b^4b", ""},
        RuleCase{"qz_sv_MaxName 5", "Roberto", "Name Too Long: Max=5"},
        RuleCase{"qz_sv_MaxName 5", "^1R^2o^3b^4b^5y", ""},
        RuleCase{"", "Bj\xC3\xB6rn", "RESTRICTION: Bad Name (Extended ASCII Characters)"},
        RuleCase{"qz_sv_ExtChar 1", "Bj\xC3\xB6rn", ""},
        RuleCase{"qz_sv_ProtectName 42 ^1Big Boss", "bigboss",
                 "(PROTECTED NAME) Protected Name: Big Boss"},
        RuleCase{"qz_sv_ProtectTag 7 [KT]", "[kt]Ace", "(PROTECTED NAME) Protected Name: [KT]"},
        RuleCase{"qz_sv_ProtectTag 7 [KT]", "Ace ^1[KT]", "(PROTECTED NAME) Protected Name: [KT]"},
        RuleCase{"qz_sv_ProtectTag 7 [KT]", "A[KT]ce", ""},
        RuleCase{"qz_sv_NameLock "
                 "FEDCBA9876543210FEDCBA9876543210"
                 " ^2Bob",
                 "bob", "RESTRICTION: 'Bob' locked by QZ Admin on this Server"},
        RuleCase{"qz_sv_NameLock "
                 "0123456789ABCDEF0123456789ABCDEF"
                 " Bob",
                 "B o b", ""}));

TEST_F(NameRules, ANameLockedToAnotherGuidIsLoggedToldAndRemoved) {
    run(std::string("qz_sv_NameLock ") + kGuidA + " ^1Bob");
    auto lines = join("Bob", kGuidB, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines, "Locked Player Name Detected with Non-Matching GUID (slot# 1) Bob " +
                                   std::string(kGuidB)));
    EXPECT_TRUE(hasLine(lines, "[to 1] P'Bob' locked by QZ Admin on this Server"));
    EXPECT_TRUE(hasLine(lines, "RESTRICTION: 'Bob' locked by QZ Admin on this Server (slot #1) [" +
                                   std::string(kGuidB) + "(?) 1.2.3.4:27960] Bob"));
    // A second GUID of the same player may be added to the lock.
    run(std::string("qz_sv_NameLock ") + kGuidC + " Bob");
    lines = join("Bob", kGuidC, "1.2.3.6:27960");
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
}

TEST_F(NameRules, RenamesAreCheckedAsConnectsAre) {
    join("Alice", kGuidA, "1.2.3.4:27960");
    run("qz_sv_MaxName 5");
    auto lines = run("sim_rename 1 Alexandra");
    EXPECT_TRUE(hasLine(lines, drop(1, "Alexandra", "Name Too Long: Max=5")));
}

TEST_F(NameRules, TooManyNameChangesWithinThePeriodRemoveThePlayer) {
    run("qz_sv_ChangeMax 2");
    run("qz_sv_ChangePeriod 10");
    join("Alice", kGuidA, "1.2.3.4:27960");
    EXPECT_FALSE(anyLineContains(run("sim_rename 1 A1"), "DropClient"));
    run("sim_advance 6000");
    EXPECT_FALSE(anyLineContains(run("sim_rename 1 A2"), "DropClient"));
    run("sim_advance 6000");  // the first change left the period
    EXPECT_FALSE(anyLineContains(run("sim_rename 1 A3"), "DropClient"));
    auto lines = run("sim_rename 1 A4");
    EXPECT_TRUE(hasLine(lines, drop(1, "A4", "(NAME SPAM) Too Many Name Changes")));
    EXPECT_TRUE(hasLine(lines, "VIOLATION (NAME SPAM) #0: Too Many Name Changes (slot #1) A4 [" +
                                   std::string(kGuidA) + "(?) 1.2.3.4:27960]"));
}

TEST_F(NameRules, ABadNameIsWarnedAndRemovedWhenItsGraceRunsOut) {
    run("qz_sv_BadName 10 admin");
    auto lines = join("^1Admin", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(
        hasLine(lines,
                "[to 1] PThis server is disallowing all or part of your NAME. \\r\\nYou are "
                "required to change your NAME within 10 seconds."));
    EXPECT_FALSE(anyLineContains(run("sim_advance 9000"), "DropClient"));
    lines = run("sim_advance 1000");
    EXPECT_TRUE(hasLine(lines, drop(1, "^1Admin", "(BADNAME) Bad (Disallowed) Name")));
}

TEST_F(NameRules, ChangingTheBadNameInTimeEndsTheGracePeriod) {
    run("qz_sv_BadName 10 admin");
    join("Admin", kGuidA, "1.2.3.4:27960");
    run("sim_advance 5000");
    run("sim_rename 1 Player");
    EXPECT_FALSE(anyLineContains(run("sim_advance 20000"), "DropClient"));
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(NameRules, ABadNameAfterThreeWarningsRemovesAtOnceAndGraceDoesNotRestart) {
    run("qz_sv_BadName 30 admin");
    join("Admin", kGuidA, "1.2.3.4:27960");
    run("sim_advance 10000");
    // Another bad name: warned again with what is left of the first grace period.
    EXPECT_TRUE(anyLineContains(run("sim_rename 1 xAdmin"), "within 20 seconds."));
    EXPECT_TRUE(anyLineContains(run("sim_rename 1 yAdmin"), "within 20 seconds."));
    auto lines = run("sim_rename 1 zAdmin");
    EXPECT_TRUE(hasLine(lines, drop(1, "zAdmin", "(BADNAMES) Too Many Bad Name Warnings")));
}

TEST_F(NameRules, ADuplicateNameIsWarnedAndRemovedAfterTheDuplicateGrace) {
    run("qz_sv_DupNameGrace 20");
    join("^1Bob", kGuidA, "1.2.3.4:27960");
    auto lines = join("b O b", kGuidB, "1.2.3.5:27960");
    EXPECT_TRUE(hasLine(lines,
                        "[to 2] PThis server disallows duplicate player names. \\r\\nYou are "
                        "required to change your NAME within 20 seconds."));
    EXPECT_FALSE(anyLineContains(lines, "[to 1] PThis server"));
    lines = run("sim_advance 20000");
    EXPECT_TRUE(hasLine(lines, drop(2, "b O b", "(DUPNAME) Duplicate Player Name")));
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(NameRules, ADuplicateWhoseTwinLeftIsNotRemoved) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    join("Bob", kGuidB, "1.2.3.5:27960");
    run("sim_drop 1");
    EXPECT_FALSE(anyLineContains(run("sim_advance 120000"), "DropClient"));
    EXPECT_NE(host().client(2), nullptr);
}

TEST_F(NameRules, TooManyAliasesRemoveOnlyWhenEnforced) {
    run("qz_sv_AliasMax 2");
    join("A1", kGuidA, "1.2.3.4:27960");
    run("sim_rename 1 A2");
    EXPECT_FALSE(anyLineContains(run("sim_rename 1 A3"), "DropClient"));
    run("qz_sv_AliasMaxEnforce 1");
    EXPECT_FALSE(anyLineContains(run("sim_rename 1 A1"), "DropClient"));  // a known alias
    auto lines = run("sim_rename 1 A4");
    EXPECT_TRUE(hasLine(lines, drop(1, "A4", "RESTRICTION: Too Many Aliases")));
}

TEST_F(NameRules, BotsAndServerHostPlayersAreNeverChecked) {
    run("qz_sv_BadName 0 bot");
    auto lines = join("Bot", "", "bot");
    EXPECT_FALSE(anyLineContains(lines, "This server"));
    lines = join("all", "", "loopback");
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
}

struct AnnounceCase {
    const char* setup;
    const char* text;  // "" for no announcement
};

void PrintTo(const AnnounceCase& c, std::ostream* os) { *os << "\"" << c.setup << "\""; }

class Announcement : public PlayersTest, public ::testing::WithParamInterface<AnnounceCase> {};

TEST_P(Announcement, ConnectingPlayersAreToldWhichRestrictionsApply) {
    std::string setup = GetParam().setup;
    for (size_t start = 0; start < setup.size();) {
        size_t end = setup.find(';', start);
        if (end == std::string::npos) end = setup.size();
        run(setup.substr(start, end - start));
        start = end + 1;
    }
    auto lines = join("Alice", kGuidA, "1.2.3.4:27960");
    if (GetParam().text[0]) {
        EXPECT_TRUE(hasLine(lines, std::string("[to 1] PWARNING: ^7QZ Kicks for ") +
                                       GetParam().text + " on this Server"));
        int told = 0;
        for (const std::string& line : lines)
            told += line.find("QZ Kicks for") != std::string::npos;
        EXPECT_EQ(told, 1);
    } else {
        EXPECT_FALSE(anyLineContains(lines, "WARNING"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, Announcement,
    ::testing::Values(
        AnnounceCase{"", "Name Spamming and Name Stealing and Non-standard Characters"},
        AnnounceCase{"qz_sv_ExtChar 1", "Name Spamming and Name Stealing"},
        AnnounceCase{"qz_sv_AliasMaxEnforce 1;qz_sv_AliasMax 1;qz_sv_ExtChar 1",
                     "Name Spamming and Name Stealing and More than 1 Alias"},
        AnnounceCase{"qz_sv_AliasMaxEnforce 1;qz_sv_NameLock 0123456789ABCDEF0123456789ABCDEF x",
                     "All QZ Restrictions"},
        AnnounceCase{"qz_sv_Restrictions 0", ""}));

// Registration ids, on a bare state: a player registered with the protected entry's id keeps
// the name.
struct RegCase {
    const char* text;  // the registration's second text
    bool keeps;
};

void PrintTo(const RegCase& c, std::ostream* os) { *os << "\"" << c.text << "\""; }

class Registered : public ::testing::TestWithParam<RegCase> {};

TEST_P(Registered, APlayerRegisteredWithTheIdKeepsAProtectedName) {
    BareState b;
    stQzSv* sv = b.sv.get();
    char args[] = "42 Boss";
    cmd_protectname(sv, CmdCall{args, 0, 0});
    Qz_Sv_Client_s& c = sv->players.cl[0];
    QZ_COPY(c.name, "^1Boss");
    QZ_COPY(c.guid, kGuidA);
    QZ_COPY(c.address, "1.2.3.4:27960");
    c.seq = 1;
    QZ_COPY(c.reg[1].name, "Boss");
    QZ_COPY(c.reg[1].text, GetParam().text);
    EXPECT_EQ(nmConnect(sv, 1), GetParam().keeps) << GetParam().text;
    nmFree(sv);
}

INSTANTIATE_TEST_SUITE_P(Names, Registered,
                         ::testing::Values(RegCase{"42", true}, RegCase{"#42 since 2025", true},
                                           RegCase{"420", false}, RegCase{"", false},
                                           RegCase{"x42", false}, RegCase{"43", false}));

TEST(NameViolations, AreLoggedButNobodyIsRemovedWhileViolationKickingIsSuspended) {
    BareState b;
    stQzSv* sv = b.sv.get();
    char args[] = "42 Boss";
    cmd_protectname(sv, CmdCall{args, 0, 0});
    sv->cmd.kicksSuspended = 1;
    Qz_Sv_Client_s& c = sv->players.cl[0];
    QZ_COPY(c.name, "Boss");
    QZ_COPY(c.guid, kGuidA);
    QZ_COPY(c.address, "1.2.3.4:27960");
    QZ_COPY(c.authState, "?");
    c.seq = 1;
    BareState::log().clear();
    EXPECT_TRUE(nmConnect(sv, 1));
    EXPECT_TRUE(hasLine(BareState::log(),
                        "VIOLATION (PROTECTED NAME) #0: Protected Name: Boss "
                        "(slot #1) Boss [" +
                            std::string(kGuidA) + "(?) 1.2.3.4:27960]"));
    EXPECT_TRUE(hasLine(BareState::log(),
                        "Violation Kicking is temporarily disabled per QZ Master Servers"));
    for (const std::string& line : BareState::log()) {
        EXPECT_EQ(line.find("DropClient"), std::string::npos) << line;
    }
    nmFree(sv);
}

TEST(NameForms, CleaningAndKeysHandleHostileBytes) {
    char out[33];
    nmCleanName(out, qz::cap(out), "a\"b\r\nc\x7f");
    EXPECT_STREQ(out, "a'b??c?");
    nmCleanName(out, qz::cap(out), std::string(100, 'x').c_str());
    EXPECT_EQ(std::string(out), std::string(32, 'x'));
    char key[32];
    nmKey(key, qz::cap(key), "^1Big ^2Boss ");
    EXPECT_STREQ(key, "BIGBOSS");
}

// Rules added while players are on the server reach them at once.
struct LateRuleCase {
    const char* rule;    // console line given after the player joined
    const char* expect;  // a line the rule produces for him
};

void PrintTo(const LateRuleCase& c, std::ostream* os) { *os << "\"" << c.rule << "\""; }

class LateRules : public PlayersTest, public ::testing::WithParamInterface<LateRuleCase> {};

TEST_P(LateRules, ARuleAddedWhileAPlayerIsOnReachesHimAtOnce) {
    join("Big Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run(GetParam().rule);
    EXPECT_TRUE(hasLine(lines, GetParam().expect)) << GetParam().rule;
}

INSTANTIATE_TEST_SUITE_P(
    Names, LateRules,
    ::testing::Values(
        LateRuleCase{"qz_sv_BadName 30 bob",
                     "[to 1] PThis server is disallowing all or part of your NAME. \\r\\nYou are "
                     "required to change your NAME within 30 seconds."},
        LateRuleCase{"qz_sv_NameLock FEDCBA9876543210FEDCBA9876543210 Big Bob",
                     "[host] DropClient 1 Kestrine kicked player 'Big Bob' (for 2 minutes) ... "
                     "RESTRICTION: 'Big Bob' locked by QZ Admin on this Server"},
        LateRuleCase{"qz_sv_ProtectName 7 bigbob",
                     "[host] DropClient 1 Kestrine kicked player 'Big Bob' (for 2 minutes) ... "
                     "(PROTECTED NAME) Protected Name: bigbob"},
        LateRuleCase{"qz_sv_ProtectTag 7 Big",
                     "[host] DropClient 1 Kestrine kicked player 'Big Bob' (for 2 minutes) ... "
                     "(PROTECTED NAME) Protected Name: Big"},
        LateRuleCase{"qz_sv_MaxName 5",
                     "[host] DropClient 1 Kestrine kicked player 'Big Bob' (for 2 minutes) ... "
                     "Name Too Long: Max=5"}));

TEST_F(NameRules, ARecheckNeitherRepeatsAWarningNorCountsAnAlias) {
    run("qz_sv_BadName 30 bob");
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(lines, "within 30 seconds"));
    for (int i = 0; i < 5; ++i) {
        lines = run("qz_sv_BadName 5 zzz" + std::to_string(i));
        EXPECT_FALSE(anyLineContains(lines, "disallowing")) << i;
        EXPECT_FALSE(anyLineContains(lines, "DropClient")) << i;
    }
    EXPECT_TRUE(hasLine(run("qz_sv_AList 1"), "1 Alias listed for GUID=" + std::string(kGuidA)));
    EXPECT_TRUE(anyLineContains(run("qz_sv_AList 1"), "1 "));
    // The grace of the first warning still runs out as given.
    EXPECT_TRUE(anyLineContains(run("sim_advance 30000"), "DropClient"));
}

// Name violations go through the common report: the short line in sv_viol.log, and no kick
// while the game's own authentication is off.
TEST_F(NameRules, NameViolationsAreCommonViolations) {
    run("qz_sv_ProtectName 7 Boss");
    run("sim_game set sv_strictauth 0");
    auto lines = join("Boss", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(lines, "Kicking Disabled due to Game Auth being disabled at the server"));
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
    EXPECT_NE(host().client(1), nullptr);
    EXPECT_NE(file("sv_viol.log")
                  .find("Violation (PROTECTED NAME) #0 (slot #1) Boss " + std::string(kGuidA) +
                        " 1.2.3.4:27960: Protected Name: Boss"),
              std::string::npos)
        << file("sv_viol.log");
    run("sim_game set sv_strictauth 1");
    EXPECT_TRUE(anyLineContains(run("sim_rename 1 boss"), "DropClient"));
}

// Owners of protected names register their GUID with the entry's id.
TEST_F(NameRules, ARegisteredOwnerKeepsHisProtectedNameAndTag) {
    run("qz_sv_ProtectName 42 Boss");
    run("qz_sv_ProtectTag 42 [KT]");
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_register ") + kGuidA + " 42 \"The Boss\""),
                        "Registered Guid " + std::string(kGuidA) + " for id 42 \"The Boss\""));
    EXPECT_FALSE(anyLineContains(join("Boss", kGuidA, "1.2.3.4:27960"), "DropClient"));
    EXPECT_FALSE(anyLineContains(run("sim_rename 1 [KT]Ace"), "DropClient"));
    EXPECT_TRUE(anyLineContains(join("Boss", kGuidB, "1.2.3.5:27960"), "DropClient"));
    // A player on the server is registered at once.
    join("Al", kGuidC, "1.2.3.6:27960");
    run(std::string("qz_sv_register ") + kGuidC + " 42 Al");
    EXPECT_FALSE(anyLineContains(run("sim_rename 3 Boss"), "DropClient"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_register nothex 42"), "Registration ignored"));
}

// Grace periods are measured on the monotonic clock.
class GraceAcrossClockChanges : public ClockChangeTest,
                                public ::testing::WithParamInterface<long long> {};

TEST_P(GraceAcrossClockChanges, ABadNameGraceLastsItsSecondsAcrossAClockChange) {
    // The clock changes 10 minutes into a grace of 20.
    run("qz_sv_BadName 1200 admin");
    advanceTo(GetParam());
    EXPECT_TRUE(anyLineContains(join("Admin", kGuidA, "1.2.3.4:27960"), "within 1200 seconds"));
    for (int i = 0; i < 19; ++i)
        EXPECT_FALSE(anyLineContains(run("sim_advance 60000"), "DropClient")) << i;
    EXPECT_FALSE(anyLineContains(run("sim_advance 59000"), "DropClient"));
    EXPECT_TRUE(anyLineContains(run("sim_advance 1000"), "DropClient"));
}

INSTANTIATE_TEST_SUITE_P(Names, GraceAcrossClockChanges,
                         ::testing::Values(kBeforeFallBack, kBeforeNewYear));

}  // namespace
