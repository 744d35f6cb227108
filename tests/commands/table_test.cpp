// The command tables: rows, whole-word lookup and directive matching.
#include "commands/table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "util/compare.h"

namespace {

TEST(CmdCommandTable, HoldsSixtyEightListedCommandsClosedByAnEmptyRow) {
    EXPECT_EQ(kCommandCount, 68);
    EXPECT_STREQ(kCommandTable[68].name, "");
    EXPECT_STREQ(kCommandTable[0].name, "qz_sv_Enable");
    EXPECT_STREQ(kCommandTable[34].name, "qz_sv_Help");
    EXPECT_STREQ(kCommandTable[67].name, "qz_sv_LoadLock");
    EXPECT_STREQ(kCommandTable[30].help, "[guid] [name] [ip] [reason]");
    EXPECT_STREQ(kCommandTable[8].help, "[slot # or \"search text\"] - Request Screenshot(s)");
}

TEST(CmdCommandTable, NamesAreUniqueWithoutRegardToCaseAcrossAllTables) {
    std::set<std::string> seen;
    auto add = [&](const CmdRow* rows, int count) {
        for (int i = 0; i < count; ++i) {
            std::string lower = rows[i].name;
            for (char& c : lower) c = lowerCh(c);
            EXPECT_TRUE(seen.insert(lower).second) << rows[i].name;
            EXPECT_NE(rows[i].fn, nullptr) << rows[i].name;
        }
    };
    add(kCommandTable, kCommandCount);
    add(kUnlistedCommands, kUnlistedCount);
    add(kDirectiveTable, kDirectiveCount);
}

TEST(CmdCommandTable, FindMatchesWholeWordsOnly) {
    EXPECT_STREQ(cmdFind(kCommandTable, kCommandCount, "QZ_SV_ban")->name, "qz_sv_Ban");
    EXPECT_STREQ(cmdFind(kCommandTable, kCommandCount, "qz_sv_banlist")->name, "qz_sv_BanList");
    EXPECT_EQ(cmdFind(kCommandTable, kCommandCount, "qz_sv_ba"), nullptr);
    EXPECT_EQ(cmdFind(kCommandTable, kCommandCount, "qz_sv_banlistx"), nullptr);
    EXPECT_STREQ(cmdFind(kUnlistedCommands, kUnlistedCount, "qz_sv_md5toollist")->name,
                 "qz_sv_md5toollist");
}

TEST(CmdCommandTable, DirectivesEndingInQuestionOrEqualsMarkMatchGluedData) {
    int used = 0;
    ASSERT_NE(directiveFind("QZ_SV_CVAR=name", &used), nullptr);
    EXPECT_STREQ(directiveFind("QZ_SV_CVAR=name", &used)->name, "QZ_SV_CVAR=");
    EXPECT_EQ(used, 11);
    EXPECT_STREQ(directiveFind("QZ_SV_INIT", &used)->name, "QZ_SV_INIT");
    EXPECT_EQ(directiveFind("QZ_SV_INITX", &used), nullptr);
    EXPECT_EQ(directiveFind("qz_sv_init", &used), nullptr);
}

}  // namespace
