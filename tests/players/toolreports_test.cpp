// The external tool report (its tokenising, slot reading and kick) and the file whitelist
// report.
#include <cstring>

#include "players/players_fixture.h"
#include "players/power.h"
#include "util/text.h"

namespace {

TEST(ToolTokens, BlanksSeparateAndQuotesGroup) {
    struct Case {
        const char* line;
        std::vector<std::string> tokens;
    } cases[] = {
        {"5 \"wall hack\"", {"5", "wall hack"}}, {"  a\tb\r\nc  ", {"a", "b", "c"}},
        {"\"open ended", {"open ended"}},        {"\"\" x", {"", "x"}},
        {"a\"b c\"", {"a\"b", "c\""}},           {"", {}},
    };
    for (const auto& c : cases) {
        char work[256];
        QZ_COPY(work, c.line);
        char* tokens[QZ_TOOL_TOKENS];
        int n = toolTokenize(work, tokens, QZ_TOOL_TOKENS);
        std::vector<std::string> got(tokens, tokens + n);
        EXPECT_EQ(got, c.tokens) << c.line;
    }
    std::string many;
    for (int i = 0; i < 300; ++i) many += "t ";
    char big[1024];
    QZ_COPY(big, many.c_str());
    char* tokens[QZ_TOOL_TOKENS];
    EXPECT_EQ(toolTokenize(big, tokens, QZ_TOOL_TOKENS), QZ_TOOL_TOKENS);
}

using ToolReports = PlayersTest;

TEST_F(ToolReports, AReportKicksTheSlotWithTheExternalToolMark) {
    run("qz_sv_GuidRelax 4");  // five players of one GUID
    for (int i = 0; i < 5; ++i) join("P" + std::to_string(i + 1), kGuidA, "1.2.3.4:27960");
    auto lines = run("qz_sv_exttool 5 \"wall hack\"");
    EXPECT_TRUE(
        hasLine(lines, "Violation Reported by External Tool [wall hack] for slot#5 \"P5\""));
    EXPECT_TRUE(hasLine(lines,
                        "[host] DropClient 5 Kestrine kicked player 'P5' (for 2 minutes) ... "
                        "wall hack (EXTERNAL TOOL)"));
}

TEST_F(ToolReports, BadAndFreeSlotsAreOnlyReported) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    struct Case {
        const char* line;
        const char* message;
    } cases[] = {{"qz_sv_exttool 65 x", "Invalid Slot #65 specified"},
                 {"qz_sv_exttool", "Invalid Slot #0 specified"},
                 {"qz_sv_exttool abc x", "Invalid Slot #0 specified"},
                 {"qz_sv_exttool 4294967297 x", "Invalid Slot #429496729 specified"},
                 {"qz_sv_exttool 7 x", "Empty Slot #7 specified"}};
    for (const auto& c : cases) {
        auto lines = run(c.line);
        EXPECT_TRUE(hasLine(lines, c.message)) << c.line;
        EXPECT_FALSE(anyLineContains(lines, "DropClient")) << c.line;
    }
}

TEST_F(ToolReports, MinusSignsAreSkippedAndTheCheckedSlotIsKicked) {
    run("qz_sv_GuidRelax 4");  // five players of one GUID
    for (int i = 0; i < 5; ++i) join("P" + std::to_string(i + 1), kGuidA, "1.2.3.4:27960");
    auto lines = run("qz_sv_exttool -5 x");
    EXPECT_TRUE(anyLineContains(lines, "[host] DropClient 5 "));
    // A bar in the tool's reason cannot hide the mark in the private part.
    auto bar = run("qz_sv_exttool 4x \"aim|bot\"");
    EXPECT_TRUE(anyLineContains(bar, "[host] DropClient 4 "));
    EXPECT_TRUE(anyLineContains(bar, "aim/bot (EXTERNAL TOOL)"));
    // The reason is cut to 235 characters before the mark.
    auto longer = run("qz_sv_exttool 3 " + std::string(300, 'r'));
    EXPECT_TRUE(anyLineContains(longer, std::string(235, 'r') + " (EXTERNAL TOOL)"));
    EXPECT_FALSE(anyLineContains(longer, std::string(236, 'r')));
}

TEST_F(ToolReports, AFileOutsideTheWhitelistRemovesThePlayer) {
    run("qz_sv_FileWhitelist \"main pak0.pk3 mp_bin.pk3\"");
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_FALSE(anyLineContains(run("sim_packet 1 QZ_FILE main PAK0.pk3"), "Whitelist"));
    EXPECT_FALSE(anyLineContains(run("sim_packet 1 QZ_FILE other cheat.pk3"), "Whitelist"));
    auto lines = run("sim_packet 1 QZ_FILE MAIN cheat.pk3");
    EXPECT_TRUE(hasLine(lines, "Whitelist violation (cheat.pk3) from (slot #1) Bob"));
    EXPECT_TRUE(anyLineContains(
        lines,
        "[host] DropClient 1 Kestrine kicked player 'Bob' (for 2 minutes) ... (FILE "
        "WHITELIST) [File Whitelist \"cheat.pk3\"]"));
}

TEST_F(ToolReports, AStarFolderGovernsEveryFolder) {
    run("qz_sv_FileWhitelist \"* pak0.pk3\"");
    join("Bob", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(anyLineContains(run("sim_packet 1 QZ_FILE any x.pk3"), "Whitelist violation"));
}

}  // namespace
