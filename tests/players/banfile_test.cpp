// The ban file: the record lines byte for byte, loading (also of damaged files, which are never
// changed), file names kept inside the home directory, and the in-place update of unbanned
// marks.
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "players/players_fixture.h"
#include "support/frames.h"

namespace {

using BanFile = PlayersTest;

const std::string kStamp = "[01.01.2026 00:00:00] ";

std::string record(const std::string& key, const std::string& body,
                   const std::string& stamp = kStamp) {
    return stamp + key + " " + body + "\r\n\r\n";
}

TEST_F(BanFile, EveryKindOfBanIsAppendedAsOneRecordLineAndAnEmptyLine) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("sim_advance 90000");
    run("qz_sv_Ban 1 aimbot | demo 7");
    run(std::string("qz_sv_BanGuid ") + kGuidB + " Al 5.6.7.8 spam");
    run(std::string("qz_sv_BanGuid ") + kGuidC);
    run("qz_sv_BanMask 10.0.*:27960 proxy");
    run("qz_sv_banname Big Bad");
    const std::string expected =
        record(kGuidA, "\"Bob\" \"1.2.3.4:27960\" aimbot | demo 7", "[01.01.2026 00:01:30] ") +
        record(kGuidB, "\"Al\" \"5.6.7.8\" spam", "[01.01.2026 00:01:30] ") +
        record(kGuidC, "\"?\" \"?\" ?", "[01.01.2026 00:01:30] ") +
        record("MASK", "\"10.0.*:27960\" \"?\" proxy", "[01.01.2026 00:01:30] ") +
        record("NAME", "\"Big Bad\" \"?\" ?", "[01.01.2026 00:01:30] ");
    EXPECT_EQ(file("qzbans.dat"), expected);
}

TEST_F(BanFile, KicksAreNotWritten) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    run("qz_sv_Kick 1 5 x");
    EXPECT_EQ(file("qzbans.dat"), "");
}

TEST_F(BanFile, LoadingCountsRecordsWithTheRightPlural) {
    writeFile("one.dat", record(kGuidA, "\"Bob\" \"?\" x"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanLoad one.dat"), "1 Ban loaded from " + home() + "one.dat"));
    writeFile("three.dat", record(kGuidA, "\"a\" \"?\" x") + record("MASK", "\"1.2.3.*\" \"?\" ?") +
                               record("NAME", "\"Bob\" \"?\" ?"));
    EXPECT_TRUE(
        hasLine(run("qz_sv_BanLoad three.dat"), "3 Bans loaded from " + home() + "three.dat"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (4 of 4 displayed)"));
    EXPECT_TRUE(
        hasLine(run("qz_sv_BanLoad missing.dat"), "File Not Found: " + home() + "missing.dat"));
}

TEST_F(BanFile, DamagedLinesAreSkippedCountedAndTheFileIsLeftAlone) {
    std::string damaged;
    damaged += record(kGuidA, "\"Good\" \"1.1.1.1\" one");
    damaged += kStamp + kGuidB + " \"Cut\" \"1.1.1.\r\n";   // cut line
    damaged += kStamp + kGuidB + " Bob \"1.1.1.1\" x\r\n";  // missing quotes
    damaged += kStamp + kGuidB + " \"Bin" + std::string(1, '\0') + "ary\" \"1\" x\r\n";  // binary
    damaged += kStamp + kGuidB + " \"" + std::string(5000, 'L') + "\" \"1\" x\r\n";      // too long
    damaged += "[13.45.2026 00:00:00] " + std::string(kGuidB) + " \"Stamp\" \"1\" x\r\n";
    damaged += kStamp + "NOTAGUID \"x\" \"1\" x\r\n";
    damaged += kStamp + "MASK \"300.1.1.1\" \"?\" ?\r\n";
    damaged += "\x01\x02\xff\xfe garbage\r\n";
    damaged += record(kGuidC, "\"Good2\" \"1.1.1.2\" two");
    damaged += kStamp + kGuidB + " \"Tail\" \"1.1.1.3";  // cut at the end
    writeFile("qzbans.dat", damaged);
    auto lines = run("qz_sv_BanLoad");
    EXPECT_TRUE(hasLine(lines, "2 Bans loaded from " + home() + "qzbans.dat"))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(hasLine(lines, "9 damaged lines skipped in " + home() + "qzbans.dat"));
    EXPECT_EQ(file("qzbans.dat"), damaged);
    EXPECT_TRUE(anyLineContains(join("Good", kGuidA, "1.2.3.4:1"), "refused"));
    EXPECT_TRUE(anyLineContains(join("Other", kGuidB, "1.2.3.4:1"), "admitted"));
}

TEST_F(BanFile, FileNamesOutsideTheHomeDirectoryAreRefused) {
    const char* names[] = {"../qzbans.dat", "/etc/passwd", "a/../../b.dat"};
    for (const char* n : names) {
        EXPECT_TRUE(anyLineContains(run(std::string("qz_sv_BanLoad ") + n), "refused")) << n;
        EXPECT_TRUE(anyLineContains(run(std::string("qz_sv_UpdBanFile ") + n), "refused")) << n;
    }
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (0 of 0 displayed)"));
}

TEST_F(BanFile, BansAreInForceAfterARestartAndUnbannedMarksLoadBack) {
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4 x");
    run(std::string("qz_sv_BanGuid ") + kGuidB + " Al 1.2.3.5 y");
    const std::string before = file("qzbans.dat");
    run("qz_sv_UnBan 1");
    EXPECT_TRUE(
        hasLine(run("qz_sv_UpdBanFile"), "1 Ban Record Updated in " + home() + "qzbans.dat"));
    std::string expected = before;
    expected[0] = '#';
    EXPECT_EQ(file("qzbans.dat"), expected);
    EXPECT_TRUE(
        hasLine(run("qz_sv_UpdBanFile"), "0 Ban Records Updated in " + home() + "qzbans.dat"));

    host().shutdown();
    ASSERT_EQ(host().start(), 0);
    EXPECT_TRUE(host().contains("2 Bans loaded from " + home() + "qzbans.dat"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_BanList"), "1   (UnBanned) " + std::string(kGuidA)));
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:1"), "admitted"));
    EXPECT_TRUE(anyLineContains(join("Al", kGuidB, "1.2.3.5:1"), "You have been BANNED"));

    run("qz_sv_ReBan 1");
    run("qz_sv_UpdBanFile");
    EXPECT_EQ(file("qzbans.dat"), before);
}

TEST_F(BanFile, AutomaticUpdateFollowsEveryUnban) {
    run("qz_sv_AutoUpdBan 1");
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4 x");
    EXPECT_TRUE(hasLine(run("qz_sv_UnBan 1"), "Ban Slot #1 has been Unbanned"));
    EXPECT_EQ(file("qzbans.dat")[0], '#');
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_UnbanGuid ") + kGuidA),
                        "Guid " + std::string(kGuidA) + " has been Unbanned"));
}

TEST_F(BanFile, ARecordWithoutRoomForTheMarkIsNeverRewrittenIntoItsNeighbour) {
    // A hand-written record without a time stamp loads, but the mark has no place in its line.
    const std::string bare = std::string(kGuidA) + " \"Bob\" \"?\" x\r\n";
    const std::string next = record(kGuidB, "\"Al\" \"?\" y");
    writeFile("hand.dat", bare + next);
    run("qz_sv_BanLoad hand.dat");
    run("qz_sv_UnBan 1");
    run("qz_sv_UnBan 2");
    auto lines = run("qz_sv_UpdBanFile hand.dat");
    EXPECT_TRUE(hasLine(lines, "1 Ban Record Updated in " + home() + "hand.dat"));
    EXPECT_TRUE(
        hasLine(lines, "1 Ban Record no longer in place in " + home() + "hand.dat: not updated"));
    std::string expected = bare + next;
    expected[bare.size()] = '#';
    EXPECT_EQ(file("hand.dat"), expected);
}

TEST_F(BanFile, ARecordChangedBehindTheModulesBackIsLeftAsItIs) {
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4 x");
    std::string changed = file("qzbans.dat");
    changed.replace(changed.find("Bob"), 3, "Rob");
    writeFile("qzbans.dat", changed);
    run("qz_sv_UnBan 1");
    auto lines = run("qz_sv_UpdBanFile");
    EXPECT_TRUE(hasLine(lines, "0 Ban Records Updated in " + home() + "qzbans.dat"));
    EXPECT_EQ(file("qzbans.dat"), changed);
}

// A file that ends inside a line (a record cut by a full disk, a hand edit without a final line
// end): the next record starts on a fresh line, and the cut one costs only itself.
TEST_F(BanFile, AnAppendAfterACutLineStartsOnAFreshLine) {
    const std::string good = record(kGuidA, "\"Good\" \"1.1.1.1\" one");
    const std::string cut = kStamp + kGuidB + " \"Cut\" \"1.1.1.";
    writeFile("qzbans.dat", good + cut);
    run("sim_advance 90000");
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_BanGuid ") + kGuidC + " Al 5.6.7.8 spam"),
                        "Ban Added to Ban List"));
    EXPECT_EQ(file("qzbans.dat"),
              good + cut + "\r\n" +
                  record(kGuidC, "\"Al\" \"5.6.7.8\" spam", "[01.01.2026 00:01:30] "));
    host().shutdown();
    ASSERT_EQ(host().start(), 0);
    EXPECT_TRUE(host().contains("2 Bans loaded from " + home() + "qzbans.dat"));
    EXPECT_TRUE(host().contains("1 damaged line skipped in " + home() + "qzbans.dat"));
    EXPECT_TRUE(anyLineContains(join("Al", kGuidC, "5.6.7.8:1"), "You have been BANNED"));
}

// Written by an older module or by hand: a cut record with the next record glued onto it.
TEST_F(BanFile, ARecordGluedOntoACutLineIsReadOnItsOwn) {
    const std::string good = record(kGuidA, "\"Good\" \"1.1.1.1\" one");
    const std::string cut = kStamp + kGuidB + " \"Cut\" \"1.1.1.";
    const std::string glued = record(kGuidC, "\"Al\" \"5.6.7.8\" spam");
    writeFile("qzbans.dat", good + cut + glued);
    auto lines = run("qz_sv_BanLoad");
    EXPECT_TRUE(hasLine(lines, "2 Bans loaded from " + home() + "qzbans.dat"))
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(hasLine(lines, "1 damaged line skipped in " + home() + "qzbans.dat"));
    EXPECT_TRUE(anyLineContains(join("Al", kGuidC, "5.6.7.8:1"), "You have been BANNED"));
    EXPECT_TRUE(anyLineContains(join("Bo", kGuidB, "5.6.7.9:1"), "admitted"));
    // The glued record's unbanned mark goes in front of its own time stamp.
    run("qz_sv_UnBan 2");
    EXPECT_TRUE(
        hasLine(run("qz_sv_UpdBanFile"), "1 Ban Record Updated in " + home() + "qzbans.dat"));
    std::string expected = good + cut + glued;
    expected[good.size() + cut.size()] = '#';
    EXPECT_EQ(file("qzbans.dat"), expected);
}

// A full disk: the write is cut short. The ban is reported as not written, and the cut record
// is taken back so that the file ends where it did.
TEST_F(BanFile, AShortWriteIsReportedAndLeavesNoCutRecord) {
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4 x");
    const std::string before = file("qzbans.dat");
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = before.size() + 40;  // room for the time stamp, not for the record
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto lines = run(std::string("qz_sv_BanGuid ") + kGuidB + " Al 5.6.7.8 spam");
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(hasLine(lines, "Ban Failed")) << ::testing::PrintToString(lines);
    EXPECT_FALSE(hasLine(lines, "Ban Added to Ban List"));
    EXPECT_EQ(file("qzbans.dat"), before);
    EXPECT_TRUE(hasLine(run(std::string("qz_sv_BanGuid ") + kGuidC + " Cy 5.6.7.9 spam"),
                        "Ban Added to Ban List"));
    run("qz_sv_BanEmpty");
    EXPECT_TRUE(hasLine(run("qz_sv_BanLoad"), "2 Bans loaded from " + home() + "qzbans.dat"));
}

TEST_F(BanFile, LoadingTheSameFileAgainAddsOnlyWhatIsNew) {
    run(std::string("qz_sv_BanGuid ") + kGuidA + " Bob 1.2.3.4 x");
    run(std::string("qz_sv_BanGuid ") + kGuidB + " Al 1.2.3.5 y");
    auto lines = run("qz_sv_BanLoad");
    EXPECT_TRUE(hasLine(lines, "0 Bans loaded from " + home() + "qzbans.dat"));
    EXPECT_TRUE(hasLine(lines, "2 Bans of " + home() +
                                   "qzbans.dat already in the list (not loaded again)"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (2 of 2 displayed)"));
    run("qz_sv_UnBan 1");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:1"), "admitted"));
    // A record added to the file by hand is new.
    writeFile("qzbans.dat", file("qzbans.dat") + record(kGuidC, "\"Cy\" \"?\" z"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanLoad"), "1 Ban loaded from " + home() + "qzbans.dat"));
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (3 of 3 displayed)"));
}

// Existing configurations hold qz_sv_BanLoad; the file loaded at start-up is not loaded twice.
TEST_F(BanFile, AConfigurationThatLoadsTheBanFileDoesNotDoubleTheList) {
    writeFile("qzbans.dat", record(kGuidA, "\"Bob\" \"?\" x") + record(kGuidB, "\"Al\" \"?\" y"));
    writeFile("qzsv.cfg", "qz_sv_BanLoad\r\n");
    host().shutdown();
    ASSERT_EQ(host().start(), 0);
    EXPECT_TRUE(hasLine(run("qz_sv_BanList"), "End of Ban List (2 of 2 displayed)"));
    run("qz_sv_UnBan 1");
    EXPECT_TRUE(anyLineContains(join("Bob", kGuidA, "1.2.3.4:1"), "admitted"));
}

// A file large enough for the load to size the list ahead and file the GUIDs in one pass: every
// record is in force afterwards, in file order.
TEST_F(BanFile, EveryRecordOfALargeFileIsInForce) {
    std::string bytes;
    std::vector<std::string> guids;
    for (int i = 0; i < 3000; ++i) {
        char g[33];
        snprintf(g, sizeof g, "%08X%08X%08X%08X", i * 2654435761u, i + 7, i * 40503u, 77u);
        guids.push_back(g);
        bytes += record(g, "\"P" + std::to_string(i) + "\" \"?\" x");
    }
    bytes += record(guids[5], "\"Again\" \"?\" second");  // a GUID's second entry comes last
    writeFile("big.dat", bytes);
    // Read over several frames; the count line comes at the end.
    auto runLine = [this](const std::string& l) { return run(l); };
    EXPECT_TRUE(hasLine(afterLoads(runLine, "qz_sv_BanLoad big.dat", "Bans loaded from"),
                        "3001 Bans loaded from " + home() + "big.dat"));
    for (int i = 0; i < 3000; i += 37) {
        EXPECT_TRUE(anyLineContains(join("P", guids[i], "1.2.3.4:1"), "You have been BANNED")) << i;
    }
    run("qz_sv_UnBan 6");  // the first entry of guids[5]; the second was there before the unban
    EXPECT_TRUE(anyLineContains(join("P", guids[5], "1.2.3.4:1"), "admitted"));
}

}  // namespace
