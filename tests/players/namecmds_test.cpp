// Name locks and protected names and tags: the commands, their texts, duplicates, filters and
// the locked configuration.
#include <string>
#include <vector>

#include "players/players_fixture.h"

namespace {

using NameCommands = PlayersTest;

TEST_F(NameCommands, NameLocksAreAddedListedFilteredAndEmptied) {
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_NameLock ") + kGuidA + " ^1Big ^2Bob"),
                        "NameLock Guid " + std::string(kGuidA) + " for \"Big Bob\""));
    run(std::string("qz_sv_NameLock ") + kGuidB + " Alice");
    // The same lock twice stays one record.
    run(std::string("qz_sv_NameLock ") + kGuidA + " Big Bob");
    auto lines = run("qz_sv_NameLockList");
    std::vector<std::string> want = {"Slot: GUID Name", "1: " + std::string(kGuidA) + " Big Bob",
                                     "2: " + std::string(kGuidB) + " Alice",
                                     "End of NameLock List (2 NameLocks)"};
    EXPECT_EQ(lines, want);
    // The filter is looked for in the GUID and in the name, without regard to case.
    lines = run("qz_sv_NameLockList alice");
    EXPECT_TRUE(hasLine(lines, "End of NameLock List (1 NameLock)"));
    EXPECT_TRUE(hasLine(lines, "2: " + std::string(kGuidB) + " Alice"));
    lines = run("qz_sv_NameLockList 0123456789abcdef");
    EXPECT_TRUE(hasLine(lines, "1: " + std::string(kGuidA) + " Big Bob"));
    EXPECT_TRUE(hasLine(run("qz_sv_NameLockEmpty"), "NameLock list (in Memory) has been Emptied"));
    EXPECT_TRUE(hasLine(run("qz_sv_NameLockList"), "End of NameLock List (0 NameLocks)"));
    // Freed records are reused.
    run(std::string("qz_sv_NameLock ") + kGuidC + " Carl");
    EXPECT_TRUE(hasLine(run("qz_sv_NameLockList"), "1: " + std::string(kGuidC) + " Carl"));
}

TEST_F(NameCommands, NameLocksRefuseBadParameters) {
    const std::string cases[][2] = {
        {"", "NameLock ignored ... invalid parameter(s) specified (/)"},
        {"1234 Bob", "NameLock ignored ... invalid parameter(s) specified (1234/Bob)"},
        {std::string(kGuidA),
         "NameLock ignored ... invalid parameter(s) specified (" + std::string(kGuidA) + "/)"},
        {std::string(kGuidA) + " ^1",
         "NameLock ignored ... invalid parameter(s) specified (" + std::string(kGuidA) + "/^1)"},
    };
    for (const auto& c : cases) EXPECT_TRUE(hasLine(run("qz_sv_NameLock " + c[0]), c[1])) << c[0];
    EXPECT_TRUE(hasLine(run("qz_sv_NameLockList"), "End of NameLock List (0 NameLocks)"));
}

TEST_F(NameCommands, ProtectedNamesAndTagsRefuseDuplicatesAndMissingParts) {
    EXPECT_TRUE(
        hasLine(run("qz_sv_ProtectName 42 ^1Big Boss"), "Added Protected Name: 42 \"Big Boss\""));
    EXPECT_TRUE(hasLine(run("qz_sv_ProtectName 43 bigboss"), "Duplicate protected name not added"));
    EXPECT_TRUE(hasLine(run("qz_sv_ProtectTag -7 [KT]"), "Added Protected Tag: -7 \"[KT]\""));
    EXPECT_TRUE(hasLine(run("qz_sv_ProtectTag 8 [kt]"), "Duplicate protected tag not added"));
    // A name and a tag may share a text: the lists are separate.
    EXPECT_TRUE(hasLine(run("qz_sv_ProtectName 9 [KT]"), "Added Protected Name: 9 \"[KT]\""));
    for (const char* bad : {"", "42", "x Boss", "42 ^2", "4x2 Boss"}) {
        EXPECT_TRUE(
            hasLine(run(std::string("qz_sv_ProtectName ") + bad), "Invalid ID or Match Specified"))
            << bad;
    }
}

TEST_F(NameCommands, ALockedConfigurationRefusesEveryChange) {
    writeFile("lock.cfg", "qz_sv_KickLen 2\r\n");
    run("qz_sv_LoadLock lock.cfg");
    const std::string lines[] = {std::string("qz_sv_NameLock ") + kGuidA + " Bob",
                                 "qz_sv_NameLockEmpty", "qz_sv_ProtectName 1 Bob",
                                 "qz_sv_ProtectTag 1 [X]"};
    for (const std::string& l : lines) {
        EXPECT_TRUE(hasLine(run(l), "Command ignored due to locked config mode")) << l;
    }
    EXPECT_TRUE(hasLine(run("qz_sv_NameLockList"), "End of NameLock List (0 NameLocks)"));
}

// Names and texts written in double quotes are taken without their quotes, as qz_sv_Cvar,
// qz_sv_Task and qz_sv_PowerGuid take theirs.
struct QuotedCase {
    const char* command;
    const char* answer;
};

void PrintTo(const QuotedCase& c, std::ostream* os) { *os << "\"" << c.command << "\""; }

class QuotedTexts : public PlayersTest, public ::testing::WithParamInterface<QuotedCase> {};

TEST_P(QuotedTexts, QuotesAroundATextAreNotPartOfIt) {
    EXPECT_TRUE(hasLine(run(GetParam().command), GetParam().answer)) << GetParam().command;
}

INSTANTIATE_TEST_SUITE_P(
    Names, QuotedTexts,
    ::testing::Values(
        QuotedCase{"qz_sv_NameLock 0123456789ABCDEF0123456789ABCDEF \"Big Boss\"",
                   "NameLock Guid 0123456789ABCDEF0123456789ABCDEF for \"Big Boss\""},
        QuotedCase{"qz_sv_NameLock \"0123456789ABCDEF0123456789ABCDEF\" \"Big Boss\"",
                   "NameLock Guid 0123456789ABCDEF0123456789ABCDEF for \"Big Boss\""},
        QuotedCase{"qz_sv_ProtectTag 10 \"=X=\"", "Added Protected Tag: 10 \"=X=\""},
        QuotedCase{"qz_sv_ProtectName 11 \"The Boss\"", "Added Protected Name: 11 \"The Boss\""},
        QuotedCase{"qz_sv_BadName 5 \"quoted text\"", "Added Bad Name: \"QUOTED TEXT\" Grace=5"},
        QuotedCase{"qz_sv_BadName \"quoted\"", "Added Bad Name: \"QUOTED\" Grace=0"}));

TEST_F(NameCommands, AQuotedLockOrTagProtectsTheNameItself) {
    run(std::string("qz_sv_NameLock ") + kGuidA + " \"Big Boss\"");
    run("qz_sv_ProtectTag 10 \"=X=\"");
    EXPECT_TRUE(anyLineContains(join("Big Boss", kGuidB, "1.2.3.4:27960"), "locked by QZ Admin"));
    EXPECT_TRUE(anyLineContains(join("=X=Bob", kGuidC, "1.2.3.5:27960"),
                                "(PROTECTED NAME) Protected Name: =X="));
}

}  // namespace
