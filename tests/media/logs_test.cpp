// The numbered server logs: file names and time stamps, rotation and the serial kept across a
// restart, the floor and ceiling, suspending and flushing, the variable and screenshot logs, the
// game log and the log proof.
#include "media/logs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/settings.h"
#include "host/bridge.h"
#include "host/state.h"
#include "support/module_fixture.h"
#include "util/clock.h"
#include "util/md5.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

class LogFiles : public ModuleTest {
  protected:
    std::string logPath(int serial) {
        char name[32];
        snprintf(name, sizeof name, "svlogs/%08d.log", serial);
        return home() + name;
    }
    std::string log(int serial) { return readFile(logPath(serial)); }
    // Moves the manual clock forward to the local time text.
    void advanceTo(const std::string& when) {
        time_t target = 0;
        ASSERT_TRUE(sim::parseLocalTime(when, &target));
        long long ms = (static_cast<long long>(target) - host().clockSeconds()) * 1000;
        ASSERT_GE(ms, 0);
        run("sim_advance " + std::to_string(ms));
    }
};

TEST_F(LogFiles, StartUpOpensTheFirstNumberedLogWithTheReasonNewlog) {
    std::string text = log(1);
    std::string opened =
        "[01.01.2026 00:00:00] QZ Log File " + logPath(1) + " Opened for NEWLOG (N)\r\n";
    EXPECT_NE(text.find(opened), std::string::npos) << text;
    EXPECT_TRUE(host().contains("QZ Log File " + logPath(1) + " Opened for NEWLOG (N)"));
}

TEST_F(LogFiles, StartUpMessagesPrintedBeforeTheLogOpensAreWrittenFirst) {
    std::string text = log(1);
    size_t version = text.find("[01.01.2026 00:00:00] Game Version [");
    size_t opened = text.find("Opened for NEWLOG");
    ASSERT_NE(version, std::string::npos) << text;
    EXPECT_LT(version, opened);
}

TEST_F(LogFiles, ALogLineCarriesTheLocalTimeMonthFirst) {
    advanceTo("2026-12-04T09:05:07");
    run("qz_sv_Ver");
    EXPECT_NE(log(1).find("[12.04.2026 09:05:07] Kestrine Server (v"), std::string::npos) << log(1);
}

TEST_F(LogFiles, EveryLineEndsInCarriageReturnAndLineFeed) {
    run("qz_sv_Ver");
    std::string text = log(1);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(countOf(text, "\n"), countOf(text, "\r\n"));
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(LogFiles, NewLogOpensTheNextSerialAndAdvancesIt) {
    run("qz_sv_LogNext 12");
    auto out = run("qz_sv_NewLog");
    EXPECT_TRUE(anyLineContains(out, "Opening a New QZ Server Log"));
    EXPECT_TRUE(anyLineContains(out, "QZ Log File " + logPath(12) + " Opened for NEWLOG (N)"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_LogNext"), "qz_sv_LogNext = 13"));
    // The announcement closes the old log; the opening line starts the new one.
    EXPECT_NE(log(1).find("Opening a New QZ Server Log"), std::string::npos);
    EXPECT_EQ(log(12).find("Opening a New QZ Server Log"), std::string::npos);
    EXPECT_EQ(readFile(home() + QZ_LOGNEXT_FILE), "qz_sv_lognext 13\n\n");
}

TEST_F(LogFiles, NumberingContinuesAfterARestart) {
    run("qz_sv_NewLog");  // 2
    host().shutdown();
    ASSERT_EQ(host().start(), 0);
    EXPECT_TRUE(host().contains("QZ Log File " + logPath(3) + " Opened for NEWLOG (N)"));
    run("qz_sv_Ver");
    EXPECT_NE(log(3).find("Kestrine Server (v"), std::string::npos);
    EXPECT_EQ(readFile(home() + QZ_LOGNEXT_FILE), "qz_sv_lognext 4\n\n");
}

TEST_F(LogFiles, ASerialReachingTheCeilingWrapsToTheFloorAndAppends) {
    run("qz_sv_LogFloor 5");
    run("qz_sv_LogCeiling 6");
    run("qz_sv_LogNext 6");
    EXPECT_TRUE(anyLineContains(run("qz_sv_NewLog"), logPath(6) + " Opened for NEWLOG (N)"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_NewLog"), logPath(5) + " Opened for NEWLOG (N)"));
    // Serial 6 comes round again: its file is continued, not replaced.
    EXPECT_TRUE(anyLineContains(run("qz_sv_NewLog"), logPath(6) + " Opened for NEWLOG (A)"));
    EXPECT_EQ(countOf(log(6), "Opened for NEWLOG"), 2u);
}

TEST_F(LogFiles, ASerialOutsideFloorAndCeilingStartsAgainAtTheFloor) {
    run("qz_sv_LogFloor 20");
    run("qz_sv_LogCeiling 30");
    run("qz_sv_LogNext 900");
    EXPECT_TRUE(anyLineContains(run("qz_sv_NewLog"), logPath(20) + " Opened"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_LogNext"), "qz_sv_LogNext = 21"));
}

TEST_F(LogFiles, SuspendedLinesWaitUntilLoggingResumes) {
    run("qz_sv_suspendlogging 1");
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 1u);  // the start-up line only
    run("qz_sv_suspendlogging 0");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 2u) << log(1);
}

TEST_F(LogFiles, FlushWritesWaitingLinesWhileStillSuspended) {
    run("qz_sv_suspendlogging 1");
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 1u);  // the start-up line only
    run("qz_sv_flushlogging 1");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 2u);
    // Still suspended: the next line waits again.
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 2u);
}

// Both words are commands: the bare words act, and neither is shown or assigned as a setting.
TEST_F(LogFiles, BareLogControlWordsAreCommands) {
    EXPECT_TRUE(anyLineContains(run("qz_sv_suspendlogging"), "QZ Server Log suspended"));
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 1u);  // the start-up line only
    auto out = run("qz_sv_flushlogging");
    EXPECT_FALSE(anyLineContains(out, "qz_sv_flushlogging ="));
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 2u);
    EXPECT_NE(log(1).find("QZ Server Log suspended"), std::string::npos);
    run("qz_sv_suspendlogging 0");
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 3u);
}

TEST_F(LogFiles, ALogMovedAwayIsReopenedUnderItsOwnName) {
    std::string moved = home() + "svlogs/rotated.log";
    ASSERT_EQ(rename(logPath(1).c_str(), moved.c_str()), 0);
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(readFile(moved), "Kestrine Server (v"), 1u);  // the start-up line only
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 1u);
    EXPECT_NE(log(1).find("QZ Log File " + logPath(1) + " Reopened (moved away)"),
              std::string::npos);
    // Removed outright: the same.
    ASSERT_EQ(unlink(logPath(1).c_str()), 0);
    run("qz_sv_Ver");
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 1u);
}

TEST_F(LogFiles, LinesBeyondTheHeldBufferAreCountedAsLost) {
    run("qz_sv_suspendlogging 1");
    for (int i = 0; i < 700; ++i) run("qz_sv_Ver");
    run("qz_sv_suspendlogging 0");
    std::string text = log(1);
    EXPECT_NE(text.find("log lines were lost while logging was held"), std::string::npos);
    EXPECT_LT(countOf(text, "Kestrine Server (v"), 701u);
}

TEST_F(LogFiles, ShutDownWritesLinesStillHeld) {
    run("qz_sv_suspendlogging 1");
    run("qz_sv_Ver");
    host().shutdown();
    EXPECT_EQ(countOf(log(1), "Kestrine Server (v"), 2u);
}

TEST_F(LogFiles, StatisticsAskTheGameForALogWhenItKeepsNone) {
    host().setCvar("g_log", "");
    run("qz_sv_stattrack 1");
    auto out = run("qz_sv_NewLog");
    EXPECT_TRUE(anyLineContains(out, "[host] Cvar_Set g_log games.log"));
    EXPECT_EQ(host().cvar("g_log"), "games.log");
}

TEST_F(LogFiles, AGameLogOfTheAdministratorIsNeverReplaced) {
    host().setCvar("g_log", "mine.log");
    run("qz_sv_stattrack 1");
    EXPECT_FALSE(anyLineContains(run("qz_sv_NewLog"), "Cvar_Set g_log"));
    EXPECT_EQ(host().cvar("g_log"), "mine.log");
}

TEST(LogSerials, StayWithinFloorAndCeiling) {
    struct Case {
        int serial, floor, ceiling, inRange, after;
    } cases[] = {
        {12, 1, 999, 12, 13}, {999, 1, 999, 999, 1}, {1000, 1, 999, 1, 1},
        {0, 1, 999, 1, 1},    {7, 5, 5, 5, 5},       {3, 5, 2, 5, 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logSerialInRange(c.serial, c.floor, c.ceiling), c.inRange) << c.serial;
        EXPECT_EQ(logSerialAfter(c.serial, c.floor, c.ceiling), c.after) << c.serial;
    }
}

TEST(LogPaths, NameTheSerialWithEightDigitsInTheLogFolder) {
    char out[512];
    logPathFor(out, sizeof out, "/g/qz/", 12);
    EXPECT_STREQ(out, "/g/qz/svlogs/00000012.log");
    logPathFor(out, sizeof out, "/g/qz", 12);
    EXPECT_STREQ(out, "/g/qz/svlogs/00000012.log");
    logPathFor(out, sizeof out, "", 123456789);
    EXPECT_STREQ(out, "svlogs/123456789.log");
}

// A module state of its own, outside the entry points, for the routines that take a player's
// texts or answer a proof: the console lines are captured and the game variables are a table.
class LogState : public ::testing::Test {
  protected:
    static std::vector<std::string> printed;
    static std::string gameHome;
    static std::string gLog;

    static void print(const char* text) { printed.emplace_back(text); }
    static int cvarGet(const char* name, char* out, int size) {
        std::string v;
        if (!strcmp(name, "fs_homepath"))
            v = gameHome;
        else if (!strcmp(name, "g_log"))
            v = gLog;
        else
            return out[0] = 0, 0;
        snprintf(out, static_cast<size_t>(size), "%s", v.c_str());
        return 1;
    }

    void SetUp() override {
        char pattern[] = "/tmp/qzlogs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        gameHome = pattern;
        gLog = "";
        printed.clear();
        sv = new stQzSv();
        settingsDefaults(sv);
        sv->host.print = &print;
        sv->host.cvarGet = &cvarGet;
        snprintf(sv->homeDir, sizeof sv->homeDir, "%s/qz/", pattern);
        ASSERT_TRUE(setHomeDir(sv->homeDir));
        std::filesystem::create_directories(std::string(sv->homeDir) + "svlogs");
        ASSERT_TRUE(logOpen(sv, "TEST"));
    }
    void TearDown() override {
        logShutdown(sv);
        delete sv;
        std::error_code ignored;
        std::filesystem::remove_all(gameHome, ignored);
    }
    std::string home() const { return sv->homeDir; }

    stQzSv* sv = nullptr;
};
std::vector<std::string> LogState::printed;
std::string LogState::gameHome;
std::string LogState::gLog;

TEST_F(LogState, CvarTextsGoWhereQzSvCvarLoggingSays) {
    struct Case {
        int mode;
        bool regular, special;
    } cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, true, true}};
    for (const Case& c : cases) {
        sv->set.cvarLogging = c.mode;
        std::string mark = "cl_maxpackets 5 mode " + std::to_string(c.mode);
        logCvar(sv, 3, "Pl^1ayer", "0123456789ABCDEF0123456789ABCDEF", "1.2.3.4:27960", "%s",
                mark.c_str());
        std::string line =
            "[From #3 Pl^1ayer(0123456789ABCDEF0123456789ABCDEF) 1.2.3.4:27960] " + mark;
        EXPECT_EQ(readFile(sv->logs.path).find(line) != std::string::npos, c.regular) << c.mode;
        EXPECT_EQ(readFile(home() + QZ_CVARLOG_FILE).find(line) != std::string::npos, c.special)
            << c.mode;
    }
    EXPECT_TRUE(printed.empty() || !anyLineContains(printed, "From #3"));
}

TEST_F(LogState, ScreenshotEventsGoWhereQzSvSsLoggingSays) {
    struct Case {
        int mode;
        bool regular, special;
    } cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, true, true}};
    for (const Case& c : cases) {
        sv->set.ssLogging = c.mode;
        std::string mark = "screenshot event mode " + std::to_string(c.mode);
        logSs(sv, "%s", mark.c_str());
        EXPECT_EQ(readFile(sv->logs.path).find(mark) != std::string::npos, c.regular) << c.mode;
        EXPECT_EQ(readFile(home() + QZ_SSLOG_FILE).find(mark) != std::string::npos, c.special)
            << c.mode;
    }
}

TEST_F(LogState, APlayerTextWithLineEndsStaysOneLine) {
    sv->set.cvarLogging = 2;
    logCvar(sv, 1, "evil\r\nname", "NO_GUID", "5.6.7.8:1", "x\ny");
    std::string text = readFile(home() + QZ_CVARLOG_FILE);
    EXPECT_EQ(countOf(text, "\n"), 1u) << text;
    EXPECT_NE(text.find("evil  name"), std::string::npos);
}

TEST_F(LogState, LogOnlyMessagesSkipTheConsole) {
    svLog(sv, "only in the log");
    svCon(sv, "only on the console");
    std::string text = readFile(sv->logs.path);
    EXPECT_NE(text.find("only in the log"), std::string::npos);
    EXPECT_EQ(text.find("only on the console"), std::string::npos);
    EXPECT_TRUE(anyLineContains(printed, "only on the console"));
    EXPECT_FALSE(anyLineContains(printed, "only in the log"));
}

TEST_F(LogState, ProofGivesTheDigestsAndSizesOfBothLogs) {
    gLog = "games.log";
    std::filesystem::create_directories(gameHome + "/main");
    std::ofstream(gameHome + "/main/games.log", std::ios::binary) << "0:00 InitGame\n";
    svLog(sv, "a line to digest");
    std::string qz = readFile(sv->logs.path);
    printed.clear();
    logProof(sv, 0, 'p', "");
    std::string qzLine = std::string("Server's local QZ Log File ") + sv->logs.path +
                         " has MD5 of " + qzmd5(qz.data(), unsigned(qz.size()), 0) + " (" +
                         std::to_string(qz.size()) + " bytes)";
    std::string gameLine = "Server's local Game Log File " + gameHome +
                           "/main/games.log has MD5 of " + qzmd5("0:00 InitGame\n", 14, 0) +
                           " (14 bytes)";
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[0], qzLine);
    EXPECT_EQ(printed[1], gameLine);
}

TEST_F(LogState, ProofChecksTheDigestsARequesterHolds) {
    gLog = "missing.log";
    std::string qz = readFile(sv->logs.path);
    std::string claim = std::string("{S}") + qzmd5(qz.data(), unsigned(qz.size()), 0) + " X";
    printed.clear();
    logProof(sv, 0, 'p', claim.c_str());
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_NE(printed[1].find("has MD5 of READ_ERROR (0 bytes)"), std::string::npos);
    EXPECT_EQ(printed[2], "{S}OK READ_ERROR");

    printed.clear();
    logProof(sv, 0, 'p', "{S}0123 X");
    ASSERT_EQ(printed.size(), 3u);
    EXPECT_EQ(printed[2], "{S}MISMATCH READ_ERROR");
    EXPECT_NE(readFile(sv->logs.path).find("Log proof for slot 0: QZ Log File MISMATCH"),
              std::string::npos);
}

TEST_F(LogState, AGameLogNameThatClimbsOutIsRefused) {
    char out[512];
    gLog = "../../etc/passwd";
    EXPECT_FALSE(logGameLogPath(sv, out, sizeof out));
    gLog = "games.log";
    ASSERT_TRUE(logGameLogPath(sv, out, sizeof out));
    EXPECT_EQ(std::string(out), gameHome + "/main/games.log");
}

}  // namespace
