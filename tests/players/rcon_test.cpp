// Rcon masks: the commands and the rcon file, the mask rule, and hostile command lines sent from
// a player's game.
#include "players/players_fixture.h"
#include "players/power.h"

namespace {

using Rcon = PlayersTest;

TEST(RconMask, TheMaskRule) {
    struct Case {
        const char* mask;
        const char* cmd;
        bool allowed;
    } cases[] = {
        {"map_restart", "map_restart", true},
        {"map_restart", "MAP_RESTART", true},
        {"map_restart", "map_restart now", false},
        {"map *", "map oasis", true},
        {"map *", "map_restart", false},
        {"map*", "map_restart", true},
        {"*", "kick all", true},
        {"*", "qz_sv_HttpKey x", false},
        {"qz_sv_*", "qz_sv_HttpKey", false},
        {"qz_sv_Plist", "qz_sv_plist", true},
        {"qz_sv_Kick *", "qz_sv_Kick 3 5 camping", true},
        {"qz_sv_Kick *", "qz_sv_KickLen 9", false},
        {"say *", "say hello world", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rconMaskAllows(c.mask, c.cmd), c.allowed) << c.mask << " / " << c.cmd;
}

TEST(RconMask, OnlyOnePlainCommandIsClean) {
    const char* bad[] = {"map oasis; quit", "map oasis\nquit", "map oasis\rquit",
                         "say \"a;b\"",     "map \\x3b",       "",
                         "map\toasis"};
    for (const char* cmd : bad) EXPECT_FALSE(rconCommandClean(cmd)) << cmd;
    EXPECT_TRUE(rconCommandClean("map oasis"));
    EXPECT_FALSE(rconCommandClean(std::string(QZ_RCON_CMD + 1, 'a').c_str()));
}

TEST_F(Rcon, MasksAreAddedListedAppendedAndReloaded) {
    EXPECT_TRUE(hasLine(run("qz_sv_Rcon 50 map *"), "Rcon Record Added for map *"));
    EXPECT_TRUE(hasLine(run("qz_sv_Rcon 5 map_restart"), "Rcon Record Added for map_restart"));
    EXPECT_TRUE(hasLine(run("qz_sv_Rcon 60 MAP *"), "Rcon Record Updated for MAP *"));
    EXPECT_TRUE(hasLine(run("qz_sv_Rcon x map"), "Invalid parameters: 0 map"));
    EXPECT_TRUE(hasLine(run("qz_sv_Rcon 5 say a;quit"), "Invalid parameters: 5 say a;quit"));
    EXPECT_EQ(run("qz_sv_RList"),
              (std::vector<std::string>{"QZ Rcon Commands: [slot #] [Min. Power] [command]",
                                        "1 [ 60] map *", "2 [  5] map_restart",
                                        "End of QZ Rcon List (2 Commands)"}));
    const std::string text = file("qzrcon.dat");
    EXPECT_NE(text.find("] 50 map *\r\n"), std::string::npos);
    EXPECT_NE(text.find("] 60 MAP *\r\n"), std::string::npos);
    auto lines = run("qz_sv_RconReload 1");
    EXPECT_TRUE(hasLine(lines, "Rcon Record Updated for MAP *"));
    EXPECT_TRUE(anyLineContains(lines, "3 QZ Rcon Filters loaded from "));
    EXPECT_TRUE(hasLine(run("qz_sv_RconReload"), "qz_sv_RconReload = 0 (0 to 1)"));
    EXPECT_TRUE(hasLine(run("qz_sv_RList"), "1 [ 60] map *"));
}

TEST_F(Rcon, DamagedRconLinesAreSkippedAndCounted) {
    const std::string text =
        "[01.01.2026 00:00:00] 10 map *\r\nnonsense\r\n"
        "[01.01.2026 00:00:00] 10 say a;b\r\n";
    writeFile("qzrcon.dat", text);
    auto lines = run("qz_sv_RconReload 1");
    EXPECT_TRUE(anyLineContains(lines, "1 QZ Rcon Filter loaded from "));
    EXPECT_TRUE(anyLineContains(lines, "2 damaged lines skipped in "));
    EXPECT_EQ(file("qzrcon.dat"), text);
}

class RconPlayers : public Rcon {
  protected:
    void SetUp() override {
        Rcon::SetUp();
        run(std::string("qz_sv_PowerGuid ") + kGuidA + " 50 Ann");
        run("qz_sv_Rcon 40 map *");
        run("qz_sv_Rcon 90 kick *");
        join("Ann;quit", kGuidA, "1.2.3.1:27960");
        join("Ben", kGuidB, "1.2.3.2:27960");
    }
    std::vector<std::string> send(int slot, const std::string& cmd) {
        run("sim_advance 1000");  // one command a second per player
        return run("sim_rcon " + std::to_string(slot) + " " + cmd);
    }
};

TEST_F(RconPlayers, AMaskedCommandRunsAndIsAnnounced) {
    auto lines = send(1, "map oasis");
    EXPECT_TRUE(hasLine(
        lines, std::string("[host] Cmd_Exec say QZ_RCON map oasis from Ann quit ") + kGuidA));
    EXPECT_TRUE(hasLine(lines, "[host] Cmd_Exec map oasis"));
    EXPECT_TRUE(hasLine(lines, "[game] Loading map oasis"));
    // Not enough power for the kick mask, and nothing for a player without power.
    EXPECT_TRUE(hasLine(send(1, "kick all"), "[to 1] PQZ Rcon Command Not Allowed: kick all"));
    EXPECT_FALSE(anyLineContains(send(2, "map oasis"), "Cmd_Exec"));
}

TEST_F(RconPlayers, HostileCommandLinesNeverRun) {
    const char* hostile[] = {
        "map oasis;quit",          "map oasis\\nquit",
        "map oasis\\r\\nkick all", "map \\\"oasis;quit\\\"",
        "map oasis \\\\; quit",    "qz_sv_HttpKey stolen",
        "qz_sv_Rcon 0 *",          "say hi",
    };
    for (const char* cmd : hostile) {
        auto lines = send(1, cmd);
        EXPECT_FALSE(anyLineContains(lines, "Cmd_Exec")) << cmd;
        EXPECT_FALSE(anyLineContains(lines, "[game]")) << cmd;
        EXPECT_FALSE(anyLineContains(lines, "qz_sv_HttpKey =")) << cmd;
        EXPECT_TRUE(anyLineContains(lines, "QZ Rcon Command Refused")) << cmd;
    }
    EXPECT_TRUE(hasLine(run("qz_sv_RList"), "End of QZ Rcon List (2 Commands)"));
    EXPECT_FALSE(anyLineContains(send(1, std::string(300, 'm')), "Cmd_Exec"));
    // A NUL ends the packet's text: what follows it never reaches the game.
    auto cut = send(1, "map oasis\\x00quit");
    EXPECT_TRUE(hasLine(cut, "[host] Cmd_Exec map oasis"));
    EXPECT_FALSE(anyLineContains(cut, "oasisquit"));
    EXPECT_FALSE(anyLineContains(cut, "[game] Unknown command"));
}

TEST_F(RconPlayers, AModuleCommandRunsOnlyWhenAMaskNamesIt) {
    run("qz_sv_Rcon 40 qz_sv_Plist");
    auto lines = send(1, "qz_sv_Plist");
    EXPECT_TRUE(anyLineContains(lines, "Player List: [Slot #]"));
    EXPECT_FALSE(anyLineContains(send(1, "qz_sv_PlistX"), "Player List: [Slot #]"));
}

TEST_F(RconPlayers, OneCommandASecondPerPlayer) {
    EXPECT_TRUE(anyLineContains(send(1, "map a"), "Loading map a"));
    EXPECT_FALSE(anyLineContains(run("sim_rcon 1 map b"), "Loading map b"));
}

}  // namespace

// A secret typed through a player's rcon is neither logged nor announced to the players.
TEST_F(RconPlayers, SecretsAreMaskedInTheLogAndTheAnnouncement) {
    run("qz_sv_Rcon 40 qz_sv_HttpKey *");
    auto lines = send(1, "qz_sv_HttpKey TopSecret");
    EXPECT_TRUE(anyLineContains(lines, "qz_sv_HttpKey = *****")) << testing::PrintToString(lines);
    EXPECT_TRUE(anyLineContains(lines, "say QZ_RCON qz_sv_HttpKey ***** from Ann"));
    EXPECT_FALSE(anyLineContains(lines, "TopSecret"));
    run("sim_advance 1000");
    EXPECT_FALSE(anyLineContains(run("sim_rcon 2 qz_sv_LogPw Hidden2"), "Hidden2"));
}
