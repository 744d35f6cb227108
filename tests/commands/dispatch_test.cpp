// sv_cmd as a typist meets it on the console: matching, comments, the disabled state, unknown
// words, and the commands still pending.
#include "commands/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "commands/handlers.h"
#include "commands/local_state.h"
#include "commands/pending.h"
#include "commands/table.h"
#include "support/module_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class CmdDispatch : public ModuleTest {};

class CmdDisabledDispatch : public ModuleTest {
    void configure(sim::SimHost& host) override { host.setCvar("sv_kestrine", "0"); }
};

// Written against the answers whatever handler stands behind a row, so it holds while commands
// move from the pending list to their subsystems.
TEST_F(CmdDispatch, CommandWordsIgnoreCaseAndMatchWholeWords) {
    EXPECT_EQ(run("QZ_SV_ban 3"), run("qz_sv_Ban 3"));
    Lines banList = run("qz_sv_BanList");
    EXPECT_EQ(run("QZ_SV_BANLIST"), banList);
    EXPECT_NE(banList, run("qz_sv_Ban"));
    EXPECT_NE(run("qz_sv_md5toollist"), run("qz_sv_md5tool"));
    EXPECT_EQ(run("qz_sv_md5toollist"), run("QZ_SV_MD5TOOLLIST"));
}

TEST_F(CmdDispatch, UnknownQzWordsAndForeignWordsAreReportedAndChangeNothing) {
    EXPECT_EQ(run("qz_sv_Frobnicate 1"), Lines{"Unknown Command/Setting: qz_sv_Frobnicate"});
    EXPECT_EQ(run("map_restart"), Lines{"Ignoring Non-QZ Command/Setting"});
    EXPECT_EQ(run("qz_sv_"), Lines{"Unknown Command/Setting: qz_sv_"});
}

TEST_F(CmdDispatch, CommentsBlankLinesAndSemicolonLinesAreDropped) {
    EXPECT_TRUE(run("; qz_sv_KickLen 9").empty());
    EXPECT_TRUE(run("   ").empty());
    EXPECT_TRUE(run("// qz_sv_KickLen 9").empty());
    EXPECT_EQ(run("qz_sv_KickLen 5 //[Minutes (default=2)]"), Lines{"qz_sv_KickLen = 5 (0 to 60)"});
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 5 (0 to 60)"});
}

TEST_F(CmdDispatch, DoubleSlashInsideQuotesIsPartOfTheValue) {
    EXPECT_EQ(run("qz_sv_HttpAddr \"http://x.invalid/\" // note"),
              Lines{"qz_sv_HttpAddr = http://x.invalid/"});
    // A backslash is an ordinary character: the quote after it ends the quoted part, and the
    // comment after that is cut.
    EXPECT_EQ(run("qz_sv_HttpAddr \"a\\\" //c"), Lines{"qz_sv_HttpAddr = a\\"});
}

TEST_F(CmdDisabledDispatch, AnswersEverythingButEnableAndDirectives) {
    EXPECT_EQ(run("qz_sv_Plist"), Lines{"Kestrine Server is currently Disabled"});
    EXPECT_EQ(run("qz_sv_KickLen 4"), Lines{"Kestrine Server is currently Disabled"});
    EXPECT_EQ(run("QZ_SV_RESERVE abc"), Lines{"Reservation added for [abc]"});
    EXPECT_TRUE(anyLineContains(run("qz_sv_Enable"), "Kestrine Server is Enabled"));
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 2 (0 to 60)"});
}

TEST_F(CmdDispatch, EveryPendingNameAnswersNotAvailableYet) {
    for (int i = 0; i < kPendingCount; ++i) {
        std::string name = kPendingCommands[i];
        EXPECT_EQ(run(name), Lines{name + " is not available yet"}) << name;
    }
}

// The pending list only shrinks: every name on it is a row of the tables, and every row that is
// not on it has a real handler (it never answers "not available yet").
TEST_F(CmdDispatch, RowsOffThePendingListHaveRealHandlers) {
    std::set<std::string> pending;
    for (int i = 0; i < kPendingCount; ++i) pending.insert(kPendingCommands[i]);
    std::set<std::string> rows;
    auto check = [&](const CmdRow* table, int count) {
        for (int i = 0; i < count; ++i) {
            rows.insert(table[i].name);
            std::string name = table[i].name;
            // Commands that would end the run or wait for a frame are left out of the probe.
            if (pending.count(name) || name == "qz_sv_Restart" || name == "qz_sv_Disable" ||
                name == "QZ_SV_RESOLVE")
                continue;
            EXPECT_FALSE(anyLineContains(run(name), "is not available yet")) << name;
        }
    };
    check(kCommandTable, kCommandCount);
    check(kUnlistedCommands, kUnlistedCount);
    check(kDirectiveTable, kDirectiveCount);
    for (const std::string& name : pending) EXPECT_TRUE(rows.count(name)) << name;
    EXPECT_LE(kPendingCount, 71);
}

TEST_F(CmdDispatch, OverLongLinesAreRefusedWhole) {
    std::string line = "qz_sv_MsgPrefix " + std::string(5000, 'x');
    Lines out = run(line);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].find("too long"), std::string::npos);
    EXPECT_EQ(run("qz_sv_MsgPrefix"), Lines{"qz_sv_MsgPrefix = ^3Kestrine Client"});
}

TEST(CmdEnableKicks, ReportsWhetherKickingWasSuspendedAndResumesIt) {
    LocalState local;
    char none[] = "";
    local.sv()->cmd.kicksSuspended = 1;
    cmd_enablekicks(local.sv(), CmdCall{none, QZ_SRC_CONSOLE, 0});
    EXPECT_EQ(local.sv()->cmd.kicksSuspended, 0);
    EXPECT_EQ(local.take(), Lines{"qz_sv_enablekicks: Kicking for violations is now enabled"});
    cmd_enablekicks(local.sv(), CmdCall{none, QZ_SRC_CONSOLE, 0});
    EXPECT_EQ(local.take(), Lines{"qz_sv_enablekicks: Kicking for violations was already enabled"});
}

}  // namespace
