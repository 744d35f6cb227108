// qz_sv_Help and sv_help.
#include "commands/help.h"

#include <gtest/gtest.h>

#include "commands/local_state.h"
#include "support/module_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class CmdHelp : public ModuleTest {};

TEST_F(CmdHelp, WithoutSearchListsAllSixtyEightCommandsAndSeventyFiveSettings) {
    Lines out = run("qz_sv_Help");
    ASSERT_EQ(out.size(), 68u + 1 + 75 + 1 + 1);
    EXPECT_EQ(out[0], "qz_sv_Enable - Enable Kestrine");
    EXPECT_EQ(out[67], "qz_sv_LoadLock [filename] - Load QZ config file and lock against changes");
    EXPECT_EQ(out[68], "68 Commands Displayed");
    EXPECT_EQ(out[69], "qz_sv_MsgPrefix [QZ Message Prefix (default=^3Kestrine Client)]");
    EXPECT_EQ(out[143], "qz_sv_ssTimeout [Seconds]");
    EXPECT_EQ(out[144], "75 Settings Displayed");
    EXPECT_EQ(out[145], "NOTE: Some commands/settings shown may not be supported for this game.");
}

TEST_F(CmdHelp, NeverListsUnlistedCommandsSettingsOrDirectives) {
    Lines out = run("qz_sv_Help");
    for (const char* hidden : {"qz_sv_md5tool", "qz_sv_writepath", "qz_sv_banname",
                               "qz_sv_minguidage", "qz_sv_specname", "QZ_SV_"}) {
        EXPECT_FALSE(anyLineContains(out, hidden)) << hidden;
    }
}

TEST_F(CmdHelp, SearchMatchesNamesWithoutRegardToCaseAndUsesThePluralRule) {
    EXPECT_EQ(run("qz_sv_Help CvarWalk"),
              (Lines{"0 Commands Displayed",
                     "qz_sv_CvarWalk [0=disabled, 1-4=Walk through obtained Cvar lists]",
                     "1 Setting Displayed",
                     "NOTE: Some commands/settings shown may not be supported for this game."}));
    Lines kick = run("qz_sv_help kicklen");
    EXPECT_EQ(kick[1], "qz_sv_KickLen [Minutes (default=2)]");
    EXPECT_EQ(kick[2], "qz_sv_PowerKickLen [Minutes (default=5)]");
    EXPECT_EQ(kick[3], "2 Settings Displayed");
    Lines one = run("qz_sv_Help EnableKicks");
    EXPECT_EQ(one[0], "qz_sv_EnableKicks - Manually re-enable kicking for violations");
    EXPECT_EQ(one[1], "1 Command Displayed");
    EXPECT_EQ(one[2], "0 Settings Displayed");
}

TEST_F(CmdHelp, SearchWithNoMatchStillPrintsBothCountsAndTheNote) {
    EXPECT_EQ(run("qz_sv_Help \"zzz\""),
              (Lines{"0 Commands Displayed", "0 Settings Displayed",
                     "NOTE: Some commands/settings shown may not be supported for this game."}));
}

TEST(CmdHelpModes, CountModePrintsNothingAndOneModeShowsTheSingleMatchWithItsValue) {
    LocalState local;
    EXPECT_EQ(sv_help(local.sv(), "", QZ_HELP_COUNT), 68 + 75);
    EXPECT_EQ(sv_help(local.sv(), "kicklen", QZ_HELP_COUNT), 2);
    EXPECT_TRUE(local.take().empty());
    EXPECT_EQ(sv_help(local.sv(), "kicklen", QZ_HELP_ONE), 2);
    EXPECT_TRUE(local.take().empty());
    EXPECT_EQ(sv_help(local.sv(), "httpkey", QZ_HELP_ONE), 1);
    // The key is empty by default; shown as it stands.
    EXPECT_EQ(local.take(), (Lines{"qz_sv_HttpKey [Key]", "qz_sv_HttpKey = "}));
}

}  // namespace
