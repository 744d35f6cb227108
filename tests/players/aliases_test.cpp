// Aliases: tracking at connect and rename, qz_sv_AList, the alias file (appending, writing,
// loading, automatic load at start-up, damaged lines, hostile names), and the alias list a
// player asks for from his game.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "players/names.h"
#include "players/players_fixture.h"
#include "support/frames.h"
#include "util/clock.h"

namespace {

class Aliases : public PlayersTest {
  protected:
    std::string now() const { return std::to_string(static_cast<long long>(qzTime())); }
    // One alias line of the file.
    std::string line(const std::string& guid, int count, const std::string& first,
                     const std::string& last, const std::string& name) const {
        return guid + " " + std::to_string(count) + " " + first + " " + last + " " + name + "\r\n";
    }
};

TEST_F(Aliases, AListPrintsOnlyTheInactiveLineWhenTrackingIsOff) {
    run("qz_sv_AliasMax 0");
    join("Bob", kGuidA, "1.2.3.4:27960");
    auto lines = run("qz_sv_AList 1");
    std::vector<std::string> want = {
        "Alias Tracking is currently not active (qz_sv_aliasMax is 0)"};
    EXPECT_EQ(lines, want);
}

TEST_F(Aliases, NamesAreCountedPerGuidAndListedBySlotOrGuid) {
    join("^1Bob", kGuidA, "1.2.3.4:27960");
    const std::string t0 = now();
    run("sim_advance 5000");
    run("sim_rename 1 Bobby");
    const std::string t1 = now();
    run("sim_advance 5000");
    run("sim_rename 1 Bob");
    const std::string t2 = now();
    auto lines = run("qz_sv_AList 1");
    std::vector<std::string> want = {"2 " + t0 + " " + t2 + " Bob", "1 " + t1 + " " + t1 + " Bobby",
                                     "2 Aliases listed for GUID=" + std::string(kGuidA)};
    EXPECT_EQ(lines, want);
    // By GUID, also in lower case, and after the player left.
    run("sim_drop 1");
    std::string lower = kGuidA;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    EXPECT_EQ(run("qz_sv_AList " + lower).size(), 3u);
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_AList ") + kGuidB),
                        "0 Aliases listed for GUID=" + std::string(kGuidB)));
}

TEST_F(Aliases, AListRefusesBadAndFreeSlots) {
    EXPECT_TRUE(hasLine(run("qz_sv_AList 65"), "Invalid Slot # specified: 65"));
    EXPECT_TRUE(hasLine(run("qz_sv_AList 0"), "Invalid Slot # specified: 0"));
    EXPECT_TRUE(hasLine(run("qz_sv_AList"), "Invalid Slot # specified: 0"));
    EXPECT_TRUE(hasLine(run("qz_sv_AList 3"), "No player found in Slot #3"));
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(run("qz_sv_AList 1"), "1 Alias listed for GUID=" + std::string(kGuidA)));
}

TEST_F(Aliases, NewAliasesAreAppendedToTheFileAsTheyOccur) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    const std::string t0 = now();
    run("sim_rename 1 Bob");  // the same name again: no new line
    run("sim_advance 0");     // the frame flushes the appended lines
    EXPECT_EQ(file("qzalias.dat"), line(kGuidA, 1, t0, t0, "Bob"));
    run("sim_rename 1 Robert");
    run("sim_advance 0");
    EXPECT_EQ(file("qzalias.dat"),
              line(kGuidA, 1, t0, t0, "Bob") + line(kGuidA, 1, t0, t0, "Robert"));
}

TEST_F(Aliases, HostileNamesCannotBreakTheFile) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    host().rename(1, std::string("a\"b\r\nfake line\x01"));
    host().rename(1, std::string(200, 'z'));
    run("sim_advance 0");
    const std::string t0 = now();
    EXPECT_EQ(file("qzalias.dat"), line(kGuidA, 1, t0, t0, "Bob") +
                                       line(kGuidA, 1, t0, t0, "a'b??fake line?") +
                                       line(kGuidA, 1, t0, t0, std::string(31, 'z')));
    // The written file reads back as the same three records.
    run("qz_sv_AliasWrite");
    run("qz_sv_Restart");
    run("sim_advance 0");
    EXPECT_TRUE(hasLine(run("qz_sv_AliasLoad"), "3 Aliases Loaded from " + home() + "qzalias.dat"));
}

TEST_F(Aliases, AliasesSurviveAWriteARestartAndAnAutomaticLoad) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_rename 1 Robert");
    join("Al", kGuidB, "1.2.3.5:27960");
    run("qz_sv_AliasAutoLoad 1");
    run("qz_sv_WriteCfg");
    EXPECT_TRUE(hasLine(run("qz_sv_AliasWrite"), "3 Aliases Written to " + home() + "qzalias.dat"));
    run("qz_sv_Restart");
    // The written configuration loads over as many frames as it takes.
    auto lines = framesUntil([this](const std::string& l) { return run(l); }, "QZ Server Restarted");
    EXPECT_TRUE(hasLine(lines, "3 Aliases Loaded from " + home() + "qzalias.dat"));
    lines = run("qz_sv_AList 1");
    EXPECT_TRUE(hasLine(lines, "2 Aliases listed for GUID=" + std::string(kGuidA)));
}

TEST_F(Aliases, WritingToAnotherFileAndRefusingNamesOutsideTheHome) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(
        hasLine(run("qz_sv_AliasWrite other.dat"), "1 Alias Written to " + home() + "other.dat"));
    EXPECT_NE(file("other.dat").find(" Bob\r\n"), std::string::npos);
    for (const char* bad : {"../escape.dat", "/tmp/x.dat", "a/../../b"}) {
        auto lines = run(std::string("qz_sv_AliasWrite ") + bad);
        EXPECT_TRUE(anyLineContains(lines, "Alias file name refused")) << bad;
    }
}

TEST_F(Aliases, DamagedLinesAreSkippedCountedAndTheFileIsLeftAsItWas) {
    const std::string good1 = line(kGuidA, 3, "100", "200", "Bob");
    const std::string good2 = line(kGuidB, 1, "100", "100", "Al with blanks ");
    const std::string damaged = std::string(kGuidA).substr(0, 20) + "\r\n" +  // cut
                                line(kGuidC, 1, "1", "99999999999", "Big") +  // number too big
                                line(kGuidC, 1, "x", "2", "NaN") +            // not a number
                                std::string(kGuidC) + " 1 2 3 " +
                                std::string("bin\0ary\r\n", 9) +                    // binary
                                line(kGuidC, 1, "1", "2", std::string(400, 'L')) +  // long
                                line(kGuidC, 1, "1", "2", "");                      // no name
    std::string bytes = good1 + damaged + good2 + "\r\n";
    writeFile("qzalias.dat", bytes);
    auto lines = run("qz_sv_AliasLoad");
    EXPECT_TRUE(hasLine(lines, "2 Aliases Loaded from " + home() + "qzalias.dat"));
    EXPECT_TRUE(hasLine(
        lines, "6 damaged alias lines skipped in " + home() + "qzalias.dat (file left unchanged)"));
    EXPECT_EQ(file("qzalias.dat"), bytes);
    lines = run(std::string("qz_sv_AList ") + kGuidB);
    EXPECT_TRUE(hasLine(lines, "1 100 100 Al with blanks "));
}

TEST_F(Aliases, RepeatedRecordsAreMergedAndTheFileIsWrittenBack) {
    writeFile("qzalias.dat", line(kGuidA, 3, "100", "200", "Bob") +
                                 line(kGuidA, 5, "150", "180", "Bob") +
                                 line(kGuidA, 1, "300", "300", "Al"));
    auto lines = run("qz_sv_AliasLoad");
    EXPECT_TRUE(hasLine(lines, "3 Aliases Loaded from " + home() + "qzalias.dat"));
    EXPECT_TRUE(hasLine(lines, "2 Aliases Written to " + home() + "qzalias.dat"));
    EXPECT_EQ(file("qzalias.dat"),
              line(kGuidA, 5, "100", "200", "Bob") + line(kGuidA, 1, "300", "300", "Al"));
}

TEST_F(Aliases, AMissingFileLoadsNothing) {
    EXPECT_TRUE(hasLine(run("qz_sv_AliasLoad"), "0 Aliases Loaded from " + home() + "qzalias.dat"));
    writeFile("one.dat", line(kGuidA, 1, "1", "1", "X"));
    run("qz_sv_AliasFn one.dat");
    EXPECT_TRUE(hasLine(run("qz_sv_AliasLoad"), "1 Alias Loaded from " + home() + "one.dat"));
}

TEST_F(Aliases, APlayerCanAskForTheAliasListOfASlotFromHisGame) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    const std::string t0 = now();
    run("sim_rename 1 Robert");
    join("Al", kGuidB, "1.2.3.5:27960");
    auto lines = run("sim_aliases 2 1");
    EXPECT_TRUE(hasLine(lines,
                        "[to 2] P^5Alias List for (slot #1) Robert\\r\\n[Count] [First Used] "
                        "[Last Used] [Alias] (Server Alias Limit is 10)\\r\\n^5" +
                            std::string("1 ") + t0 + " " + t0 + " Bob\\r\\n^51 " + t0 + " " + t0 +
                            " Robert\\r\\n^5End of Alias List (2 Aliases)"));
    lines = run("sim_aliases 2");
    EXPECT_TRUE(anyLineContains(lines, "^5End of Alias List (1 Alias)"));
    lines = run("sim_aliases 2 9");
    EXPECT_TRUE(
        hasLine(lines, "[to 2] P^5Invalid Slot Number (9) Specified (Server Alias Limit is 10)"));
    run("qz_sv_AliasMax 0");
    lines = run("sim_aliases 2 1");
    EXPECT_TRUE(
        hasLine(lines, "[to 2] P^5Alias Tracking Facility is currently disabled on this server"));
}

// A crash in the middle of an append leaves a cut last line. The next append moves the cut
// record to qzalias.dat.cut and starts on a line of its own; a record that only lacked its line
// end gets it. A load repairs a file whose only damage is a cut last line.
TEST_F(Aliases, AnAppendAfterACutLastLineIsNotLostAndALoadRepairsTheFile) {
    const std::string good = line(kGuidB, 2, "100", "200", "Al");
    const std::string cut = std::string(kGuidC) + " 1 10";
    writeFile("qzalias.dat", good + cut);
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(lines, "qzalias.dat.cut (an append was interrupted)"));
    const std::string t0 = now();
    run("sim_advance 0");
    EXPECT_EQ(file("qzalias.dat"), good + line(kGuidA, 1, t0, t0, "Bob"));
    EXPECT_EQ(file("qzalias.dat.cut"), cut + "\r\n");
    run("qz_sv_Restart");
    run("sim_advance 0");
    EXPECT_TRUE(hasLine(run("qz_sv_AliasLoad"), "2 Aliases Loaded from " + home() + "qzalias.dat"));

    // A whole record without its line end.
    writeFile("qzalias.dat", good.substr(0, good.size() - 2));
    run("sim_rename 1 Robert");
    run("sim_advance 0");
    EXPECT_EQ(file("qzalias.dat"), good + line(kGuidA, 1, t0, t0, "Robert"));

    // The load drops a cut last line and writes the file back.
    writeFile("qzalias.dat", good + cut);
    lines = run("qz_sv_AliasLoad");
    EXPECT_TRUE(hasLine(
        lines, "Cut last line of " + home() + "qzalias.dat dropped (an append was interrupted)"));
    EXPECT_FALSE(anyLineContains(lines, "damaged"));
    EXPECT_EQ(file("qzalias.dat").find(cut), std::string::npos);
    EXPECT_NE(file("qzalias.dat").find(good), std::string::npos);
}

struct AliasFnCase {
    const char* value;
    bool refused;
};

void PrintTo(const AliasFnCase& c, std::ostream* os) { *os << "\"" << c.value << "\""; }

class AliasFileNames : public PlayersTest, public ::testing::WithParamInterface<AliasFnCase> {};

// qz_sv_AliasFn keeps the file inside the home directory as the other file settings do; a name
// that leaves it is refused and the aliases go on reaching the default file.
TEST_P(AliasFileNames, TheAliasFileStaysInTheHome) {
    auto lines = run(std::string("qz_sv_AliasFn ") + GetParam().value);
    EXPECT_EQ(anyLineContains(lines, "Alias file name refused (must stay in the home directory)"),
              GetParam().refused);
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 0");
    const std::string name = GetParam().refused ? "qzalias.dat" : GetParam().value;
    EXPECT_NE(file(name).find(" Bob\r\n"), std::string::npos) << name;
}

INSTANTIATE_TEST_SUITE_P(Aliases, AliasFileNames,
                         ::testing::Values(AliasFnCase{"/etc/passwd", true},
                                           AliasFnCase{"../escape.dat", true},
                                           AliasFnCase{"a/../../b.dat", true},
                                           AliasFnCase{"mine.dat", false}));

// An alias the file cannot take is reported, never lost in silence; a link out of the home
// receives nothing.
TEST_F(Aliases, AnAliasLineTheFileCannotTakeIsReported) {
    ASSERT_EQ(mkdir((home() + "qzalias.dat").c_str(), 0755), 0);
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(lines, "Alias not written to qzalias.dat")) << lines.size();
    EXPECT_TRUE(anyLineContains(lines, std::string(kGuidA) + " Bob"));

    const std::string outside = gameHome() + "/outside.dat";
    writeFile("../outside.dat", "");
    ASSERT_EQ(symlink(outside.c_str(), (home() + "linked.dat").c_str()), 0);
    run("qz_sv_AliasFn linked.dat");
    lines = run("sim_rename 1 Robert");
    run("sim_advance 0");
    EXPECT_TRUE(anyLineContains(lines, "Alias not written to linked.dat"));
    std::ifstream in(outside, std::ios::binary);
    std::string held((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(held, "");
}

}  // namespace
