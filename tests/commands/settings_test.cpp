// The settings registry: rows, show-and-assign routines, form readers and the two rules.
#include "commands/settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "commands/dispatch.h"
#include "commands/local_state.h"
#include "support/module_fixture.h"
#include "util/compare.h"

namespace {

using Lines = std::vector<std::string>;

class CmdSettings : public ModuleTest {};

TEST(CmdSettingTable, HasSeventyFiveListedRowsThenTheUnlistedOnes) {
    EXPECT_EQ(kSettingCount, 75);
    EXPECT_EQ(kSettingAll, 75 + 20);
    EXPECT_STREQ(kSettingTable[0].name, "qz_sv_MsgPrefix");
    EXPECT_STREQ(kSettingTable[74].name, "qz_sv_ssTimeout");
    EXPECT_STREQ(kSettingTable[75].name, "qz_sv_maxConUpdates");
    EXPECT_STREQ(kSettingTable[kSettingAll - 2].name, "qz_sv_HttpProxies");
    EXPECT_STREQ(kSettingTable[kSettingAll - 1].name, "qz_sv_HttpHosts");
    for (int i = 75; i < kSettingAll; ++i) EXPECT_TRUE(kSettingTable[i].flags & SETF_UNLISTED);
}

TEST(CmdSettingTable, KindsMatchTheListedCounts) {
    int texts = 0, unlistedTexts = 0, yesno = 0;
    for (int i = 0; i < kSettingAll; ++i) {
        const SettingRow& row = kSettingTable[i];
        if (row.kind == SET_TEXT) (i < kSettingCount ? texts : unlistedTexts)++;
        if (row.kind == SET_YESNO) yesno++;
        if (row.kind != SET_TEXT) {
            EXPECT_LE(row.lo, row.defInt) << row.name;
            EXPECT_GE(row.hi, row.defInt) << row.name;
        } else {
            EXPECT_LE(static_cast<int>(std::string(row.defText).size()), row.capacity) << row.name;
        }
    }
    EXPECT_EQ(texts, 20);
    // qz_sv_statfn, qz_sv_guidauthserver, qz_sv_specname, qz_sv_HttpProxies, qz_sv_HttpHosts
    EXPECT_EQ(unlistedTexts, 5);
    EXPECT_EQ(yesno, 2);
}

TEST(CmdSettingTable, SixtySixSettingsHaveDistinctPlacesInTheMainFile) {
    std::set<int> places;
    int main = 0;
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingRow& row = kSettingTable[i];
        if (!settingInMainFile(&row)) continue;
        main++;
        EXPECT_GT(row.writeAt, 0) << row.name;
        EXPECT_TRUE(places.insert(row.writeAt).second) << row.name;
    }
    EXPECT_EQ(main, 66);
    EXPECT_EQ(*places.rbegin(), 66);
}

TEST(CmdSettingTable, WebToolRangesAreTheConsoleBounds) {
    struct Case {
        const char* name;
        int lo, hi;
    };
    const Case cases[] = {
        {"qz_sv_HttpRefresh", 10, 999},  {"qz_sv_HttpPort", 0, 65535},
        {"qz_sv_Sleep", 20, 100},        {"qz_sv_KickLen", 0, 60},
        {"qz_sv_ChangePeriod", 1, 999},  {"qz_sv_ChangeMax", 1, 50},
        {"qz_sv_CvarFreq", 2, 10},       {"qz_sv_CvarLogging", 0, 3},
        {"qz_sv_CvarWalk", 0, 4},        {"qz_sv_CvarChangedPulse", 10, 99},
        {"qz_sv_CvarUserPulse", 10, 99}, {"qz_sv_MaxDlRate", 1, 4},
        {"qz_sv_MaxConDls", 1, 6},
    };
    for (const Case& c : cases) {
        const SettingRow* row = settingFind(c.name);
        ASSERT_NE(row, nullptr) << c.name;
        EXPECT_EQ(row->lo, c.lo) << c.name;
        EXPECT_EQ(row->hi, c.hi) << c.name;
    }
}

TEST(CmdSettingTable, FindIgnoresCaseAndNeedsTheWholeName) {
    EXPECT_STREQ(settingFind("QZ_SV_KICKLEN")->name, "qz_sv_KickLen");
    EXPECT_EQ(settingFind("qz_sv_KickLe"), nullptr);
    EXPECT_EQ(settingFind("kicklen"), nullptr);
    EXPECT_STREQ(settingFind("qz_sv_MINGUIDAGE")->name, "qz_sv_minguidage");
}

TEST_F(CmdSettings, ShowFormsOfTheThreeKinds) {
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 2 (0 to 60)"});
    EXPECT_EQ(run("qz_sv_cvarwalk"), Lines{"qz_sv_CvarWalk = 0 (0 to 4)"});
    EXPECT_EQ(run("qz_sv_Restrictions"), Lines{"qz_sv_Restrictions = 1 (0=No, 1=Yes)"});
    EXPECT_EQ(run("qz_sv_Lan 1"), Lines{"qz_sv_Lan = 1 (0=No, 1=Yes)"});
    EXPECT_EQ(run("qz_sv_MsgPrefix"), Lines{"qz_sv_MsgPrefix = ^3Kestrine Client"});
    EXPECT_EQ(run("qz_sv_AliasFn"), Lines{"qz_sv_AliasFn = qzalias.dat"});
}

TEST_F(CmdSettings, IntegerValuesAreParsedOrRefusedWithTheOldValueKept) {
    struct Case {
        const char* line;
        const char* first;
    };
    const Case cases[] = {
        {"qz_sv_KickLen 7", "qz_sv_KickLen = 7 (0 to 60)"},
        {"qz_sv_KickLen \"9\"", "qz_sv_KickLen = 9 (0 to 60)"},
        {"qz_sv_KickLen +3", "qz_sv_KickLen = 3 (0 to 60)"},
        {"qz_sv_KickLen 12abc", "qz_sv_KickLen = 12 (0 to 60)"},
        {"qz_sv_KickLen 61", "qz_sv_KickLen: 61 is outside 0 to 60; value kept"},
        {"qz_sv_KickLen -1", "qz_sv_KickLen: -1 is outside 0 to 60; value kept"},
        {"qz_sv_KickLen abc", "qz_sv_KickLen: \"abc\" is not a number; value kept"},
        {"qz_sv_KickLen 99999999999", "qz_sv_KickLen: \"99999999999\" is not a number; value kept"},
        {"qz_sv_ScoreKick -20", "qz_sv_ScoreKick = -20 (-9999 to 0)"},
        {"qz_sv_Lan 2", "qz_sv_Lan: 2 is outside 0 to 1; value kept"},
    };
    for (const Case& c : cases) {
        Lines out = run(c.line);
        ASSERT_EQ(out.size(), 1u) << c.line;
        EXPECT_EQ(out[0], c.first) << c.line;
    }
    EXPECT_EQ(run("qz_sv_KickLen"), Lines{"qz_sv_KickLen = 12 (0 to 60)"});
}

TEST_F(CmdSettings, TextValuesQuotedUnquotedEmptyAndCut) {
    EXPECT_EQ(run("qz_sv_MsgPrefix \"^1My Server\""), Lines{"qz_sv_MsgPrefix = ^1My Server"});
    EXPECT_EQ(run("qz_sv_MsgPrefix ^2two words here  "),
              Lines{"qz_sv_MsgPrefix = ^2two words here"});
    EXPECT_EQ(run("qz_sv_MsgPrefix \"\""), Lines{"qz_sv_MsgPrefix = "});
    EXPECT_EQ(run("qz_sv_MsgPrefix " + std::string(40, 'x')),
              Lines{"qz_sv_MsgPrefix = " + std::string(31, 'x')});
    EXPECT_EQ(run("qz_sv_HttpColMsg \"ABCDEFGH\""), Lines{"qz_sv_HttpColMsg = ABCDEF"});
}

// Configuration files write values without escapes, so a backslash is itself (also at the end of
// a quoted value) and a double quote can never be part of a value.
TEST_F(CmdSettings, BackslashesAreKeptAndQuotesInsideValuesAreRefused) {
    EXPECT_EQ(run("qz_sv_SsPath \"C:\\games\\qz\\\" //[help]"),
              Lines{"qz_sv_SsPath = C:\\games\\qz\\"});
    const char* refused[] = {"qz_sv_SsPath \"say \"hi\"\"", "qz_sv_SsPath say\"hi",
                             "qz_sv_SsPath \"a\" b"};
    for (const char* line : refused) {
        EXPECT_EQ(run(line), Lines{"qz_sv_SsPath: a value cannot hold a double quote; value kept"})
            << line;
    }
    EXPECT_EQ(run("qz_sv_SsPath"), Lines{"qz_sv_SsPath = C:\\games\\qz\\"});
}

TEST_F(CmdSettings, ColoursTakeOnlySixHexadecimalDigits) {
    struct Case {
        const char* line;
        const char* first;
    };
    const Case cases[] = {
        {"qz_sv_HttpColMsg 00ff7F", "qz_sv_HttpColMsg = 00ff7F"},
        {"qz_sv_HttpColMsg \"123456789\"", "qz_sv_HttpColMsg = 123456"},
        {"qz_sv_HttpColMsg x><xmp",
         "qz_sv_HttpColMsg: \"x><xmp\" is not six hexadecimal digits; "
         "value kept"},
        {"qz_sv_HttpColMsg 12345",
         "qz_sv_HttpColMsg: \"12345\" is not six hexadecimal digits; "
         "value kept"},
        {"qz_sv_HttpColMsg \"\"",
         "qz_sv_HttpColMsg: \"\" is not six hexadecimal digits; "
         "value kept"},
    };
    for (const Case& c : cases) EXPECT_EQ(run(c.line), Lines{c.first}) << c.line;
    EXPECT_EQ(run("qz_sv_HttpColMsg"), Lines{"qz_sv_HttpColMsg = 123456"});
}

TEST_F(CmdSettings, SecretsAreShownAsStars) {
    EXPECT_EQ(run("qz_sv_HttpKey s3cret"), Lines{"qz_sv_HttpKey = *****"});
    EXPECT_EQ(run("qz_sv_httpkey"), Lines{"qz_sv_HttpKey = *****"});
    EXPECT_EQ(run("qz_sv_LogPw \"pw\""), Lines{"qz_sv_LogPw = *****"});
    EXPECT_EQ(run("qz_sv_LogUser user"), Lines{"qz_sv_LogUser = user"});
}

TEST_F(CmdSettings, MinGuidAgeSetsTheGameVariable) {
    EXPECT_EQ(run("qz_sv_minguidage 14"),
              (Lines{"[host] Cvar_Set sv_minguidage 14", "qz_sv_minguidage = 14 (0 to 3650)"}));
    EXPECT_EQ(host().cvar("sv_minguidage"), "14");
    EXPECT_EQ(run("qz_sv_minguidage 0"),
              (Lines{"[host] Cvar_Set sv_minguidage 0", "Min GUID Age is disabled",
                     "qz_sv_minguidage = 0 (0 to 3650)"}));
    // Only showing the setting, or a refused value, leaves the game variable alone.
    EXPECT_EQ(run("qz_sv_minguidage"), Lines{"qz_sv_minguidage = 0 (0 to 3650)"});
    EXPECT_EQ(run("qz_sv_minguidage -3").size(), 1u);
}

TEST_F(CmdSettings, ScreenshotCommandStaysInsideTheHomeDirectory) {
    struct Case {
        const char* value;
        const char* kept;
        bool overridden;
    };
    const Case cases[] = {
        {"ssdone.sh", "ssdone.sh", false},   {"bin/ssdone.sh", "bin/ssdone.sh", false},
        {"qz/ssdone.sh", "ssdone.sh", true}, {"../../bin/sh", "sh", true},
        {"/usr/bin/curl", "curl", true},     {"a/../../x.sh", "x.sh", true},
        {"ss.sh; rm -rf ~", "", true},       {"..", "", true},
    };
    for (const Case& c : cases) {
        Lines out = run(std::string("qz_sv_SsCmd \"") + c.value + "\"");
        Lines expected;
        if (c.overridden)
            expected.push_back(std::string("Setting qz_sv_sscmd value override [") + c.kept + "]");
        expected.push_back(std::string("qz_sv_SsCmd = ") + c.kept);
        EXPECT_EQ(out, expected) << c.value;
    }
}

TEST(CmdSettingRoutines, TextValueEndsAtTheFirstLineEnd) {
    // A line end kept in a value would split the written configuration line, and the second
    // half would run as a command at the next load.
    struct Case {
        const char* line;
        const char* shown;
    };
    const Case cases[] = {
        {"qz_sv_HttpMaps m1\nqz_sv_LoadLock evil.cfg", "qz_sv_HttpMaps = m1"},
        {"qz_sv_HttpMaps \"m1\rqz_sv_BanEmpty\"", "qz_sv_HttpMaps = m1"},
        {"qz_sv_HttpMaps a b\r\nc", "qz_sv_HttpMaps = a b"},
        {"qz_sv_HttpMaps \"\nx\"", "qz_sv_HttpMaps = "},
    };
    for (const Case& c : cases) {
        LocalState local;
        sv_cmd(local.sv(), QZ_SRC_CONSOLE, c.line, 0);
        EXPECT_EQ(local.take(), Lines{c.shown}) << c.line;
        EXPECT_EQ(std::string(local.sv()->set.httpMaps).find_first_of("\r\n"), std::string::npos)
            << c.line;
    }
}

TEST(CmdSettingRoutines, SetSUsesTheCallersStorageAndFlagForSecrecy) {
    LocalState local;
    char value[8] = "old";
    char name[] = "custom";
    char line[] = "custom  \"new one\"";
    sv_set_s(local.sv(), name, line, value, 7, SETF_SECRET);
    EXPECT_STREQ(value, "new one");
    EXPECT_EQ(local.take(), Lines{"custom = *****"});
    char show[] = "custom";
    sv_set_s(local.sv(), name, show, value, 7, 0);
    EXPECT_EQ(local.take(), Lines{"custom = new one"});
}

TEST(CmdSettingRoutines, RegistrySecretsStayHiddenWhateverTheCallerPasses) {
    LocalState local;
    char name[] = "qz_sv_HttpKey";
    char line[] = "qz_sv_HttpKey k";
    sv_set_s(local.sv(), name, line, local.sv()->set.httpKey, 127, 0);
    EXPECT_EQ(local.take(), Lines{"qz_sv_HttpKey = *****"});
}

TEST(CmdSettingRoutines, LockedConfigurationRefusesDirectCallersToo) {
    LocalState local;
    local.sv()->cmd.locked = 1;
    int value = 3;
    EXPECT_EQ(sv_set_i(local.sv(), "qz_sv_KickLen", "qz_sv_KickLen 9", &value, 0, 60), -1);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(local.take(),
              Lines{"Setting access ignored due to locked config mode [qz_sv_KickLen]"});
}

TEST(CmdSettingRoutines, SetIAndSetBReportWhetherTheyAssigned) {
    LocalState local;
    int value = 1;
    EXPECT_EQ(sv_set_i(local.sv(), "n", "n", &value, 0, 5), 0);
    EXPECT_EQ(sv_set_i(local.sv(), "n", "n 4", &value, 0, 5), 1);
    EXPECT_EQ(sv_set_b(local.sv(), "b", "b \"0\"", &value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(sv_set_b(local.sv(), "b", "b yes", &value), -1);
    EXPECT_EQ(local.take(), (Lines{"n = 1 (0 to 5)", "n = 4 (0 to 5)", "b = 0 (0=No, 1=Yes)",
                                   "b: \"yes\" is not a number; value kept"}));
}

TEST(CmdSettingForms, FormSTakesTheFieldValue) {
    struct Case {
        const char* form;
        int assign;
        const char* stored;
        int found;
    };
    const Case cases[] = {
        {"qz_sv_httpAddr=\r\nqz_sv_HttpPort=80\r\n", 1, "", 1},
        {"qz_sv_httpAddr=\r\n", 0, "\"\"", 1},
        {"qz_sv_httpAddr=   1.2.3.4\r\nnext=1", 1, "1.2.3.4", 1},
        {"qz_sv_httpAddr=   1.2.3.4\r\nnext=1", 0, "1.2.3.4", 1},
        {"other=1\r\n", 1, "before", 0},
        {"qz_sv_httpAddr 1.2.3.4", 1, "before", 0},
        {"x=1\nQZ_SV_HTTPADDR=host.invalid\n", 1, "host.invalid", 1},
        // Trailing blanks go as they go on a console line.
        {"qz_sv_httpAddr=host.invalid  \t\r\n", 1, "host.invalid", 1},
        {"qz_sv_httpAddr=\"a b \"\r\n", 1, "a b ", 1},
        {"qz_sv_httpAddr=a\"b\r\n", 1, "before", 1},
    };
    for (const Case& c : cases) {
        LocalState local;
        QZ_COPY(local.sv()->set.httpAddr, "before");
        EXPECT_EQ(sv_form_s(local.sv(), c.form, "qz_sv_HttpAddr", local.sv()->set.httpAddr, 127,
                            c.assign),
                  c.found)
            << c.form;
        EXPECT_STREQ(local.sv()->set.httpAddr, c.stored) << c.form;
    }
}

TEST(CmdSettingForms, FormSMatchesWholeFieldNamesAtLineStarts) {
    LocalState local;
    const char* form = "qz_sv_HttpMapsPath=/maps\r\nqz_sv_HttpMaps=oasis goldrush\r\n";
    EXPECT_EQ(sv_form_s(local.sv(), form, "qz_sv_HttpMaps", local.sv()->set.httpMaps, 1024, 1), 1);
    EXPECT_STREQ(local.sv()->set.httpMaps, "oasis goldrush");
}

TEST(CmdSettingForms, FormIAssignsWithinBoundsAndMissingFieldsChangeNothing) {
    LocalState local;
    int value = 60;
    EXPECT_EQ(
        sv_form_i(local.sv(), "qz_sv_Sleep=40\r\nqz_sv_KickLen=3", "qz_sv_Sleep", &value, 20, 100),
        1);
    EXPECT_EQ(value, 40);
    EXPECT_EQ(sv_form_i(local.sv(), "qz_sv_Sleep=400", "qz_sv_Sleep", &value, 20, 100), 1);
    EXPECT_EQ(value, 40);
    EXPECT_EQ(sv_form_i(local.sv(), "qz_sv_KickLen=3", "qz_sv_Sleep", &value, 20, 100), 0);
    EXPECT_EQ(sv_form_i(local.sv(), "qz_sv_Sleep", "qz_sv_Sleep", &value, 20, 100), 0);
    EXPECT_EQ(value, 40);
    EXPECT_EQ(local.take(), (Lines{"qz_sv_Sleep = 40 (20 to 100)",
                                   "qz_sv_Sleep: 400 is outside 20 to 100; value kept"}));
}

}  // namespace
