// The cvar range check list: parsing a check, the type names, the bounds printed back with the
// precision they were given, the rule a value must satisfy, the list commands and the list's
// lines in the configuration file.
#include "players/cvars.h"

#include <cmath>

#include "players/players_fixture.h"
#include "support/frames.h"

namespace {

TEST(CvarTypes, EachCodeHasItsDisplayName) {
    const struct {
        int code;
        const char* name;
    } cases[] = {{1, "IN"},  {2, "OUT"}, {21, "INCLUDE"}, {22, "EXCLUDE"},
                 {3, "???"}, {0, "???"}, {-1, "???"}};
    for (const auto& c : cases) EXPECT_STREQ(cvarTypeName(c.code), c.name) << c.code;
}

TEST(CvarParse, AcceptsTheFourTypesAndRefusesMalformedSpecifications) {
    const struct {
        const char* args;
        bool ok;
        int type;
        int decimals;
    } cases[] = {
        {"cg_fov in 90 120", true, QZ_CV_IN, 0},
        {"CG_FOV IN 90 120", true, QZ_CV_IN, 0},
        {"\"r_gamma\" out 0.25 1.5", true, QZ_CV_OUT, 2},
        {"r_gamma out -1 -0.5", true, QZ_CV_OUT, 1},
        {"name include \"Clan X\"", true, QZ_CV_INCLUDE, 0},
        {"cl_guid exclude cheat", true, QZ_CV_EXCLUDE, 0},
        {"cg_fov inside 90 120", false, 0, 0},   // type word
        {"cg_fov in 90", false, 0, 0},           // missing bound
        {"cg_fov in 90 abc", false, 0, 0},       // malformed number
        {"cg_fov in 1e3 2e3", false, 0, 0},      // exponent form cannot be printed back
        {"cg_fov in 0x10 0x20", false, 0, 0},    // hexadecimal
        {"cg_fov in 120 90", false, 0, 0},       // bounds swapped
        {"cg_fov in 90 120 130", false, 0, 0},   // trailing word
        {"cg_fov", false, 0, 0},                 // no type
        {"", false, 0, 0},                       // nothing
        {"cg_fov include", false, 0, 0},         // no text
        {"cg_fov include \"open", false, 0, 0},  // unclosed quote
        {"\"a b\" in 1 2", false, 0, 0},         // a name with a blank
        {"cg_fov in nan 5", false, 0, 0},        // not finite
    };
    for (const auto& c : cases) {
        stCvarCheck check;
        EXPECT_EQ(cvarParse(c.args, &check), c.ok) << c.args;
        if (c.ok) {
            EXPECT_EQ(check.type, c.type) << c.args;
            EXPECT_EQ(check.decimals, c.decimals) << c.args;
        }
    }
    stCvarCheck check;
    ASSERT_TRUE(cvarParse("name include \"Clan X\"", &check));
    EXPECT_STREQ(check.text, "Clan X");
    std::string longName(80, 'a');
    EXPECT_FALSE(cvarParse((longName + " in 1 2").c_str(), &check));
}

TEST(CvarBounds, APrecisionFromOutsideIsBounded) {
    char out[64];
    cvarFormatBound(out, sizeof out, 0.25, 2);
    EXPECT_STREQ(out, "0.25");
    cvarFormatBound(out, sizeof out, 90, 0);
    EXPECT_STREQ(out, "90");
    cvarFormatBound(out, sizeof out, 1.5, 400);
    EXPECT_STREQ(out, "1.500000000");
    cvarFormatBound(out, sizeof out, 1.5, -3);
    EXPECT_STREQ(out, "2");
}

TEST(CvarPasses, NumbersTextsAndValuesThatAreNoNumbers) {
    stCvarCheck in, out, inc, exc;
    ASSERT_TRUE(cvarParse("cg_fov in 90 120", &in));
    ASSERT_TRUE(cvarParse("r_gamma out 0 1", &out));
    ASSERT_TRUE(cvarParse("name include clan", &inc));
    ASSERT_TRUE(cvarParse("name exclude cheat", &exc));
    const struct {
        const stCvarCheck* check;
        const char* value;
        bool passes;
    } cases[] = {
        {&in, "90", true},        {&in, "120", true},      {&in, "120.5", false},
        {&in, "89.99", false},    {&in, " 100", true},     {&in, "abc", false},  // read as 0
        {&in, "", false},         {&in, "nan", false},     {&in, "100xyz", true},
        {&out, "1.5", true},      {&out, "0.5", false},    {&out, "nan", false},
        {&out, "abc", false},     {&inc, "My CLAN", true}, {&inc, "loner", false},
        {&exc, "cheater", false}, {&exc, "honest", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cvarPasses(c.check, c.value), c.passes)
            << cvarTypeName(c.check->type) << " " << c.value;
    }
}

using CvarList = PlayersTest;

TEST_F(CvarList, AddingConfirmsWithTheBoundsAsGiven) {
    EXPECT_TRUE(hasLine(run("qz_sv_Cvar cg_fov in 90 120"), "Cvar Check Added: cg_fov IN 90 120"));
    EXPECT_TRUE(hasLine(run("qz_sv_Cvar r_gamma out 0.25 0.75"),
                        "Cvar Check Added: r_gamma OUT 0.25 0.75"));
    EXPECT_TRUE(hasLine(run("qz_sv_Cvar name include \"[Clan]\""),
                        "Cvar Check Added: name INCLUDE \"[Clan]\""));
    EXPECT_TRUE(hasLine(run("qz_sv_Cvar cg_fov in 120 90"),
                        "Unable to Add Cvar Check - Invalid Specification: cg_fov in 120 90"));
    EXPECT_TRUE(hasLine(run("qz_sv_Cvar cg_fov between 1 2"),
                        "Unable to Add Cvar Check - Invalid Specification: cg_fov between 1 2"));
    auto lines = run("qz_sv_CvarList");
    EXPECT_TRUE(hasLine(lines, "1: \"cg_fov\" IN 90 120"));
    EXPECT_TRUE(hasLine(lines, "2: \"r_gamma\" OUT 0.25 0.75"));
    EXPECT_TRUE(hasLine(lines, "3: \"name\" INCLUDE \"[Clan]\""));
    EXPECT_TRUE(hasLine(lines, "End of Cvar Range Check List (3 listed)"));
}

TEST_F(CvarList, DeletingKeepsTheSlotNumbersOfTheChecksBehind) {
    run("qz_sv_Cvar a in 1 2");
    run("qz_sv_Cvar b in 1 2");
    run("qz_sv_Cvar c in 1 2");
    EXPECT_TRUE(hasLine(run("qz_sv_CvarDel 2"), "Cvar Slot #2 (b) Deleted from Memory"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarDel 2"), "Cvar Slot #2 has already been Deleted"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarDel 4"), "Invalid Cvar Slot #4 Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarDel 0"), "Invalid Cvar Slot #0 Specified"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarDel x"), "Invalid Cvar Slot #0 Specified"));
    auto lines = run("qz_sv_CvarList");
    EXPECT_TRUE(hasLine(lines, "3: \"c\" IN 1 2"));
    EXPECT_FALSE(anyLineContains(lines, "\"b\""));
    EXPECT_TRUE(hasLine(lines, "End of Cvar Range Check List (2 listed)"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarEmpty"), "Cvar List (in Memory) has been Emptied"));
    EXPECT_TRUE(hasLine(run("qz_sv_CvarList"), "End of Cvar Range Check List (0 listed)"));
}

TEST_F(CvarList, TheListIsBounded) {
    for (int i = 0; i < QZ_CVAR_CHECKS_MAX; ++i)
        run("qz_sv_Cvar c" + std::to_string(i) + " in 1 2");
    EXPECT_TRUE(hasLine(run("qz_sv_Cvar one_more in 1 2"),
                        "Unable to Add Cvar Check - Memory Allocation Error"));
}

TEST_F(CvarList, AWrittenConfigurationRestoresTheListWithoutDeletedChecks) {
    run("qz_sv_Cvar cg_fov in 90 120");
    run("qz_sv_Cvar gone in 1 2");
    run("qz_sv_Cvar r_gamma out 0.25 0.75");
    run("qz_sv_Cvar name exclude \"bad word\"");
    run("qz_sv_CvarDel 2");
    run("qz_sv_WriteCfg");
    const std::string cfg = file("qzsv.cfg");
    EXPECT_NE(cfg.find("\r\n;Cvar Range List - qz_sv_cvar [cvar_name] [type] [value(s)]\r\n"
                       "qz_sv_cvarempty\r\n"
                       "qz_sv_cvar \"cg_fov\" IN 90 120\r\n"
                       "qz_sv_cvar \"r_gamma\" OUT 0.25 0.75\r\n"
                       "qz_sv_cvar \"name\" EXCLUDE \"bad word\"\r\n"),
              std::string::npos)
        << cfg;
    run("qz_sv_Cvar extra in 1 2");
    run("qz_sv_Load qzsv.cfg");
    run("qz_sv_Load qzsv.cfg");
    // A long file loads over several frames, and the listing typed meanwhile runs after it.
    auto runLine = [this](const std::string& l) { return run(l); };
    auto lines = afterLoads(runLine, "qz_sv_CvarList", "End of Cvar Range Check List");
    EXPECT_TRUE(hasLine(lines, "1: \"cg_fov\" IN 90 120"));
    EXPECT_TRUE(hasLine(lines, "2: \"r_gamma\" OUT 0.25 0.75"));
    EXPECT_TRUE(hasLine(lines, "3: \"name\" EXCLUDE \"bad word\""));
    EXPECT_TRUE(hasLine(lines, "End of Cvar Range Check List (3 listed)"));
}

TEST_F(CvarList, ALockedConfigurationRefusesListChanges) {
    run("qz_sv_Cvar cg_fov in 90 120");
    writeFile("lock.cfg", "qz_sv_Cvar r_picmip in 0 2\r\n");
    run("qz_sv_LoadLock lock.cfg");
    for (const char* line : {"qz_sv_Cvar x in 1 2", "qz_sv_CvarDel 1", "qz_sv_CvarEmpty"}) {
        EXPECT_TRUE(hasLine(run(line), "Command ignored due to locked config mode")) << line;
    }
    auto lines = run("qz_sv_CvarList");
    EXPECT_TRUE(hasLine(lines, "1: \"cg_fov\" IN 90 120"));
    EXPECT_TRUE(hasLine(lines, "2: \"r_picmip\" IN 0 2"));
    EXPECT_TRUE(hasLine(lines, "End of Cvar Range Check List (2 listed)"));
}

}  // namespace
