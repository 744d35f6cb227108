// The cvar range check list: parsing a check, the type names, the bounds printed back with the
// precision they were given, the rule a value must satisfy, the list commands and the list's
// lines in the configuration file.
#include "players/cvars.h"

#include <cmath>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "players/players_fixture.h"
#include "support/frames.h"
#include "util/compare.h"

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

// The name index against the list walk it replaces: after each step of adds (duplicates and case
// variants), deletes and emptyings, every name finds exactly the live checks a walk of the whole
// list with the name compare finds, in list order.
TEST(CvarIndex, FindsTheChecksAWalkOfTheListFinds) {
    BareState b;
    stQzSv* sv = b.sv.get();
    auto exec = [&](void (*handler)(stQzSv*, const CmdCall&), std::string args) {
        std::vector<char> text(args.begin(), args.end());
        text.push_back(0);
        handler(sv, CmdCall{text.data(), 0, 0});
    };
    const struct {
        const char* command;  // "add ...", "del N", "empty"
    } steps[] = {
        {"add cg_fov in 90 120"},
        {"add CG_FOV out 100 110"},
        {"add r_picmip in 0 2"},
        {"add Cg_Fov include 9"},
        {"add name exclude bad"},
        {"del 2"},
        {"add cg_fov in 95 100"},
        {"del 1"},
        {"del 4"},
        {"empty"},
        {"add R_PICMIP in 1 1"},
        {"add cg_fov in 1 2"},
        {"add r_picmip out 5 6"},
        {"add a in 1 2"},
        {"add A in 1 2"},
    };
    const char* names[] = {"cg_fov", "CG_FOV", "cG_fOv", "r_picmip", "R_PicMip", "name",
                           "NAME",   "a",      "A",      "cg_fov2",  "cg_fo",    ""};
    for (const auto& step : steps) {
        std::string command = step.command;
        if (command.rfind("add ", 0) == 0) exec(cmd_cvar, command.substr(4));
        if (command.rfind("del ", 0) == 0) exec(cmd_cvardel, command.substr(4));
        if (command == "empty") exec(cmd_cvarempty, "");
        for (const char* name : names) {
            std::vector<int> walked, indexed;
            for (int i = 0; i < cvarCheckCount(sv); ++i) {
                const stCvarCheck* k = cvarCheckAt(sv, i);
                if (k && trcasecmp(k->name, name) == 0) walked.push_back(i);
            }
            for (int i = cvarFirstOfName(sv, name); i >= 0; i = cvarNextOfName(sv, i)) {
                if (cvarCheckAt(sv, i)) indexed.push_back(i);
            }
            EXPECT_EQ(indexed, walked) << "after " << command << ", name " << name;
        }
    }
    cvarFree(sv);
}

// A full list of distinct names, many alike in their first letters, is found name by name.
TEST(CvarIndex, AFullListOfDistinctNamesIsFoundNameByName) {
    BareState b;
    stQzSv* sv = b.sv.get();
    for (int i = 0; i < QZ_CVAR_CHECKS_MAX; ++i) {
        std::string args = "cvar_" + std::to_string(i) + " in 1 2";
        std::vector<char> text(args.begin(), args.end());
        text.push_back(0);
        cmd_cvar(sv, CmdCall{text.data(), 0, 0});
    }
    ASSERT_EQ(cvarCheckCount(sv), QZ_CVAR_CHECKS_MAX);
    for (int i = 0; i < QZ_CVAR_CHECKS_MAX; ++i) {
        std::string name = "CVAR_" + std::to_string(i);
        EXPECT_EQ(cvarFirstOfName(sv, name.c_str()), i) << name;
        EXPECT_EQ(cvarNextOfName(sv, i), -1) << name;
    }
    EXPECT_EQ(cvarFirstOfName(sv, "cvar_256"), -1);
    cvarFree(sv);
}

// The verdict on a value the host reports: the first check of that name (in list order, any
// case, deleted ones skipped) that the value breaks removes the player with its number.
TEST_F(CvarList, AValueIsJudgedByEveryLiveCheckOfItsNameInListOrder) {
    run("qz_sv_Cvar cg_fov in 90 120");    // 1
    run("qz_sv_Cvar r_picmip in 0 2");     // 2
    run("qz_sv_Cvar CG_FOV out 100 110");  // 3
    run("qz_sv_Cvar Cg_Fov include 9");    // 4 (deleted below)
    run("qz_sv_Cvar cg_fov exclude 7");    // 5
    run("qz_sv_Cvar cg_fov in 90 120");    // 6: a duplicate of 1
    run("qz_sv_CvarDel 4");
    const struct {
        const char* name;
        const char* value;
        int breach;  // the check number reported, 0: none
    } cases[] = {
        {"cg_fov", "95", 0},  {"CG_FOV", "95", 0},   {"cg_fov", "130", 1}, {"cg_fov", "105", 3},
        {"cG_fOv", "105", 3}, {"cg_fov", "97", 5},   {"cg_fov", "98", 0},  {"r_picmip", "3", 2},
        {"R_PICMIP", "1", 0}, {"cg_fovx", "500", 0}, {"cg_fo", "500", 0},
    };
    int joined = 0;
    for (const auto& c : cases) {
        // A player removed by a breach may not come back at once: each case is a newcomer.
        char guid[40], address[32];
        snprintf(guid, sizeof guid, "%032X", 0xC0FFEE00u + static_cast<unsigned>(joined));
        snprintf(address, sizeof address, "10.9.8.%d:27960", ++joined);
        run(std::string("sim_connect Bob ") + guid + " " + address);
        auto lines = run(std::string("QZ_SV_CVAR=1 ") + c.name + " " + c.value);
        std::string cs = std::string(c.name) + "=" + c.value;
        EXPECT_EQ(anyLineContains(lines, "VIOLATION (CVAR)"), c.breach != 0) << cs;
        if (c.breach) {
            EXPECT_TRUE(anyLineContains(lines, "VIOLATION (CVAR) #" + std::to_string(c.breach) +
                                                   ": " + c.name + " = " + c.value + " ("))
                << cs;
        }
        run("sim_drop 1");
    }
}

}  // namespace
