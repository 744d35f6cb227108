// The bad-name list: adding (and updating instead of adding), listing, deleting, emptying, the
// locked configuration, the search in list order, and the configuration file section.
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "players/names.h"
#include "players/players_fixture.h"
#include "support/frames.h"
#include "util/text.h"

namespace {

using BadNames = PlayersTest;

TEST_F(BadNames, AddingAListedTextUpdatesItsGraceAndAShorterTextIsANewEntry) {
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 30 admin"), "Added Bad Name: \"ADMIN\" Grace=30"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 45 ADMIN"), "Updated Bad Name: \"ADMIN\" Grace=45"));
    // ADMIN occurs in ADMINX: the listed entry takes the new grace, nothing is added.
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 60 adminx"), "Updated Bad Name: \"ADMIN\" Grace=60"));
    // ADMIN does not occur in ADM: a new entry.
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 5 adm"), "Added Bad Name: \"ADM\" Grace=5"));
    auto lines = run("qz_sv_BadNameList");
    std::vector<std::string> want = {"Slot: Grace Filter", "1: 60 \"ADMIN\"", "2: 5 \"ADM\"",
                                     "End of Bad Name List (2 BadNames)"};
    EXPECT_EQ(lines, want);
}

TEST_F(BadNames, ListEndsWithTheSingularForOneEntryAndThePluralOtherwise) {
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameList"), "End of Bad Name List (0 BadNames)"));
    run("qz_sv_BadName 10 cheat");
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameList"), "End of Bad Name List (1 BadName)"));
    run("qz_sv_BadName 10 noob");
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameList"), "End of Bad Name List (2 BadNames)"));
}

TEST_F(BadNames, DeletingAnEntryKeepsTheNumbersOfTheOthers) {
    run("qz_sv_BadName 10 aaa");
    run("qz_sv_BadName 20 bbb");
    run("qz_sv_BadName 30 ccc");
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameDel 2"), "BadName Deleted: 2 \"BBB\""));
    auto lines = run("qz_sv_BadNameList");
    std::vector<std::string> want = {"Slot: Grace Filter", "1: 10 \"AAA\"", "2: 20 *DELETED*",
                                     "3: 30 \"CCC\"", "End of Bad Name List (3 BadNames)"};
    EXPECT_EQ(lines, want);
    // Deleted, outside the list, or not a number.
    for (const char* arg : {"2", "0", "4", "x", ""}) {
        EXPECT_TRUE(hasLine(run(std::string("qz_sv_BadNameDel ") + arg), "Invalid Slot# Specified"))
            << arg;
    }
}

TEST_F(BadNames, EmptyTextsAreRefusedAndAMissingGraceMeansZero) {
    EXPECT_TRUE(hasLine(run("qz_sv_BadName"), "Invalid (Empty) Bad Name Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 30"), "Invalid (Empty) Bad Name Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 30   "), "Invalid (Empty) Bad Name Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadName lamer"), "Added Bad Name: \"LAMER\" Grace=0"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 7 bad word "), "Added Bad Name: \"BAD WORD\" Grace=7"));
}

TEST_F(BadNames, TextsThatCouldNeverMatchOrReadBackAreRefused) {
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 5 " + std::string(32, 'x')),
                        "ERROR Attempting to Add Bad Name"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadName 5 " + std::string(31, 'x')),
                        "Added Bad Name: \"" + std::string(31, 'X') + "\" Grace=5"));
}

TEST_F(BadNames, EmptyingLeavesNoEntries) {
    run("qz_sv_BadName 10 aaa");
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameEmpty"), "Bad Name List (in Memory) has been Emptied"));
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameList"), "End of Bad Name List (0 BadNames)"));
}

TEST_F(BadNames, ALockedConfigurationRefusesEveryChange) {
    writeFile("lock.cfg", "qz_sv_badname 10 admin\r\n");
    run("qz_sv_LoadLock lock.cfg");
    for (const char* line : {"qz_sv_BadName 5 x", "qz_sv_BadNameDel 1", "qz_sv_BadNameEmpty"}) {
        EXPECT_TRUE(hasLine(run(line), "Command ignored due to locked config mode")) << line;
    }
    // The locked file's own line took effect; the list is as it was.
    auto lines = run("qz_sv_BadNameList");
    EXPECT_TRUE(hasLine(lines, "1: 10 \"ADMIN\""));
    EXPECT_TRUE(hasLine(lines, "End of Bad Name List (1 BadName)"));
}

TEST_F(BadNames, AWrittenConfigurationRestoresTheListAndAnOlderOneLoads) {
    run("qz_sv_BadName 10 admin");
    run("qz_sv_BadName 20 bad word");
    run("qz_sv_BadName 30 gone");
    run("qz_sv_BadNameDel 3");
    run("qz_sv_WriteCfg");
    const std::string cfg = file("qzsv.cfg");
    EXPECT_NE(cfg.find("\r\n;Badname List - qz_sv_badname [grace_period_secs] [disallowed text]\r\n"
                       "qz_sv_badname 10 ADMIN\r\nqz_sv_badname 20 BAD WORD\r\n\r\n;Cvar"),
              std::string::npos);
    run("qz_sv_BadNameEmpty");
    // The written file may load over several frames; the lines typed after it wait for it.
    auto runLine = [this](const std::string& l) { return run(l); };
    run("qz_sv_Load qzsv.cfg");
    afterLoads(runLine, "qz_sv_HomePath", "Home Path is ");
    auto lines = run("qz_sv_BadNameList");
    std::vector<std::string> want = {"Slot: Grace Filter", "1: 10 \"ADMIN\"", "2: 20 \"BAD WORD\"",
                                     "End of Bad Name List (2 BadNames)"};
    EXPECT_EQ(lines, want);
    // Loading it again only updates the graces: the list does not grow.
    run("qz_sv_Load qzsv.cfg");
    afterLoads(runLine, "qz_sv_HomePath", "Home Path is ");
    EXPECT_TRUE(hasLine(run("qz_sv_BadNameList"), "End of Bad Name List (2 BadNames)"));
    // A configuration of an earlier version, lower-case words and all.
    writeFile("old.cfg", "qz_sv_badname 15 cheater //old\r\nQZ_SV_BADNAME 25 lamer\r\n");
    run("qz_sv_Load old.cfg");
    lines = run("qz_sv_BadNameList");
    EXPECT_TRUE(hasLine(lines, "3: 15 \"CHEATER\""));
    EXPECT_TRUE(hasLine(lines, "4: 25 \"LAMER\""));
}

// The search itself, on a bare state: colour codes removed, upper case, first entry in list
// order that occurs anywhere in the name.
struct SearchCase {
    const char* name;
    int want;  // entry index, -1 none
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << '"' << c.name << "\" -> " << c.want; }

class BadNameSearch : public ::testing::TestWithParam<SearchCase> {};

void add(stQzSv* sv, const char* args) {
    char buf[128];
    QZ_COPY(buf, args);
    CmdCall call{buf, 0, 0};
    cmd_badname(sv, call);
}

TEST_P(BadNameSearch, FindsTheFirstEntryInListOrder) {
    BareState b;
    stQzSv* sv = b.sv.get();
    add(sv, "10 admin");  // 0
    add(sv, "20 dmi");    // 1
    add(sv, "30 q");      // 2: one character
    add(sv, "40 ^^");     // 3: carets in the text
    EXPECT_EQ(findBadName(sv, GetParam().name), GetParam().want) << GetParam().name;
    nmFree(sv);
}

INSTANTIATE_TEST_SUITE_P(Names, BadNameSearch,
                         ::testing::Values(SearchCase{"^1Admin", 0}, SearchCase{"dmitri", 1},
                                           SearchCase{"xADMINx", 0}, SearchCase{"^1Ad^2min", 0},
                                           SearchCase{"adm in", -1}, SearchCase{"Quake", 2},
                                           SearchCase{"^qAdmin", 0}, SearchCase{"Bob", -1},
                                           SearchCase{"", -1}, SearchCase{"a^^^^x", 3},
                                           SearchCase{"Dmiadmin", 0}));

TEST(BadNameSearchLong, OnlyTheFirst31StrippedCharactersAreSearched) {
    BareState b;
    stQzSv* sv = b.sv.get();
    add(sv, "10 zz");
    EXPECT_EQ(findBadName(sv, (std::string(30, 'a') + "zz").c_str()), -1);
    EXPECT_EQ(findBadName(sv, (std::string(29, 'a') + "zz").c_str()), 0);
    nmFree(sv);
}

TEST(BadNameSearchLong, ADeletedEntryNeverMatchesAndTheNextOneDoes) {
    BareState b;
    stQzSv* sv = b.sv.get();
    add(sv, "10 abc");
    add(sv, "20 bc");
    char arg[] = "1";
    cmd_badnamedel(sv, CmdCall{arg, 0, 0});
    EXPECT_EQ(findBadName(sv, "xabcx"), 1);
    nmFree(sv);
}

}  // namespace
