// Tests of the simulated game server itself, against a tiny fake module so that they do not
// depend on what the real module does.
#include "simhost/simhost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The fake module: remembers what it was given and answers a few console words.
struct FakeModule {
    qz_host host = {};
    std::vector<std::string> connects;
    std::vector<std::string> packets;
    std::vector<std::string> consoleLines;
    int frames = 0;
    int shutdowns = 0;
    // Capture buffer with guard bytes behind it, to see that the host stays inside.
    char capture[64 + 16];
};
FakeModule fake;

constexpr char kGuard = '#';

int fakeSa(const qz_host* host) {
    fake.host = *host;
    return 0;
}

// Console words: "echo TEXT", "send SLOT TEXT", "capture LENGTH COMMAND", "set NAME VALUE",
// "drop TEXT".
void fakeConsole(const std::string& line) {
    fake.consoleLines.push_back(line);
    const std::string word = line.substr(0, line.find(' '));
    const std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
    if (word == "echo") {
        fake.host.print(rest.c_str());
    } else if (word == "send") {
        const std::string text = rest.substr(rest.find(' ') + 1);
        fake.host.sendClient(std::atoi(rest.c_str()), text.data(), static_cast<int>(text.size()));
    } else if (word == "capture") {
        const int length = std::atoi(rest.c_str());
        std::memset(fake.capture, kGuard, sizeof fake.capture);
        fake.capture[0] = '\0';
        fake.host.hostCall("ConCapBuf", fake.capture);
        fake.host.hostCall("ConCapBufLen", std::to_string(length).c_str());
        fake.host.hostCall("Cmd_Exec", rest.substr(rest.find(' ') + 1).c_str());
        fake.host.hostCall("ConCapBufLen", "0");
    } else if (word == "set") {
        fake.host.hostCall("Cvar_Set", rest.c_str());
    } else if (word == "drop") {
        const int result = fake.host.hostCall("DropClient", rest.c_str());
        fake.host.print(("drop result " + std::to_string(result)).c_str());
    }
}

int fakeSb(int event, int slot, const char* data, int length) {
    const std::string bytes(data, static_cast<size_t>(length));
    switch (event) {
        case QZ_EV_CONSOLE: fakeConsole(bytes); break;
        case QZ_EV_FRAME: {
            ++fake.frames;
            long long seconds = 0;
            int micros = 0;
            if (fake.host.clock) fake.host.clock(&seconds, &micros);
            fake.host.print(
                ("clock " + std::to_string(seconds) + " " + std::to_string(micros)).c_str());
            break;
        }
        case QZ_EV_CONNECT:
            fake.connects.push_back(std::to_string(slot) + ":" + bytes);
            if (bytes.rfind("bad\\", 0) == 0) {
                const char refusal[] = "print\n[err_dialog]go away\n";
                fake.host.sendClient(slot, refusal, sizeof refusal - 1);
                fake.host.hostCall("DropClient", (std::to_string(slot) + " go away").c_str());
                return QZ_REFUSE;
            }
            return QZ_ADMIT;
        case QZ_EV_PACKET: fake.packets.push_back(std::to_string(slot) + ":" + bytes); break;
        case QZ_EV_SHUTDOWN: ++fake.shutdowns; break;
        default: break;
    }
    return 0;
}

class SimHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = FakeModule();
        ASSERT_TRUE(sim::parseLocalTime("2026-01-01T00:00:00", &start_));
        host_.useEntryPoints(fakeSa, fakeSb);
        host_.setManualClock(start_);
        ASSERT_EQ(host_.start(), 0);
    }
    std::vector<std::string> run(const std::string& line) {
        host_.clearOutput();
        host_.line(line);
        return host_.output();
    }
    time_t start_ = 0;
    sim::SimHost host_;
};

TEST_F(SimHostTest, CapturedConsoleOutputStopsAtTheBufferLengthAndStaysTerminated) {
    run("capture 16 say hello world, this is longer than the buffer");
    EXPECT_STREQ(fake.capture, "console: hello ");  // 15 characters and the terminator
    for (size_t i = 16; i < sizeof fake.capture; ++i) EXPECT_EQ(fake.capture[i], kGuard) << i;
}

TEST_F(SimHostTest, CaptureCollectsEveryGameLineUntilTheLengthIsCleared) {
    run("capture 64 say one; say two");
    EXPECT_STREQ(fake.capture, "console: one\nconsole: two\n");
    EXPECT_EQ(host_.captureBuffer(), nullptr);
    host_.game("say three");
    EXPECT_STREQ(fake.capture, "console: one\nconsole: two\n");
    EXPECT_TRUE(host_.contains("[game] console: three"));
}

TEST_F(SimHostTest, CaptureBufferWithoutLengthIsNeverWritten) {
    char literal[4] = "";
    host_.hostCall("ConCapBufLen", "4");
    host_.hostCall("ConCapBuf", literal);  // naming a buffer cancels the earlier length
    host_.game("say x");
    EXPECT_STREQ(literal, "");
}

TEST_F(SimHostTest, TextsToPlayersShowLineEndsAndControlBytesEscaped) {
    struct Case {
        std::string bytes;
        std::string shown;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"print\n[err_dialog]go\n", "print\\n[err_dialog]go\\n"},
        {"a\r\nb", "a\\r\\nb"},
        {std::string("\xff\xff\xff\xffQZ_A", 8), "\\xFF\\xFF\\xFF\\xFFQZ_A"},
        {std::string("\x01\t\x7f", 3), "\\x01\\x09\\x7F"},
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const Case& c : cases) {
        host_.clearOutput();
        host_.sendClient(3, c.bytes.data(), static_cast<int>(c.bytes.size()));
        ASSERT_EQ(host_.output().size(), 1u);
        EXPECT_EQ(host_.output()[0], "[to 3] " + c.shown);
    }
}

TEST_F(SimHostTest, PacketEscapesBecomeTheBytesTheModuleReceives) {
    host_.line("sim_connect Alice - 1.2.3.4:27960");
    run("sim_packet 1 \\xff\\x00ab\\r\\n\\\\x\\q");
    ASSERT_EQ(fake.packets.size(), 1u);
    EXPECT_EQ(fake.packets[0], std::string("1:\xff\0ab\r\n\\x\\q", 12));
}

TEST_F(SimHostTest, ConnectTakesQuotedNamesAndFillsTheLowestFreeSlot) {
    struct Case {
        std::string line;
        std::string seen;  // slot:data as the module receives it
    };
    const Case cases[] = {
        {"sim_connect \"Big Bob\" - 1.2.3.4:27960", "1:Big Bob\\\\1.2.3.4:27960\\W"},
        {"sim_connect Eve 0123456789ABCDEF0123456789ABCDEF 5.6.7.8:1 L",
         "2:Eve\\0123456789ABCDEF0123456789ABCDEF\\5.6.7.8:1\\L"},
        {"sim_connect \"^1Red ^7Guy\" - bot", "3:^1Red ^7Guy\\\\bot\\W"},
    };
    for (const Case& c : cases) run(c.line);
    ASSERT_EQ(fake.connects.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(fake.connects[i], cases[i].seen);
    ASSERT_NE(host_.client(1), nullptr);
    EXPECT_EQ(host_.client(1)->name, "Big Bob");
    EXPECT_TRUE(host_.client(1)->admitted);

    run("sim_drop 1");
    EXPECT_EQ(host_.client(1), nullptr);
    run("sim_connect Late - loopback");
    EXPECT_EQ(fake.connects.back(), "1:Late\\\\loopback\\W");
    EXPECT_TRUE(host_.contains("[qzhost] slot 1: Late admitted"));
}

TEST_F(SimHostTest, ConnectWithTooFewWordsPrintsUsage) {
    auto lines = run("sim_connect Bob -");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[qzhost] usage: sim_connect NAME GUID ADDRESS [OS-LETTER]");
    EXPECT_TRUE(fake.connects.empty());
}

TEST_F(SimHostTest, ARefusedPlayerLeavesHisSlotFree) {
    auto lines = run("sim_connect bad - 1.2.3.4:27960");
    EXPECT_EQ(host_.client(1), nullptr);
    EXPECT_TRUE(host_.contains("[to 1] print\\n[err_dialog]go away\\n"));
    EXPECT_TRUE(host_.contains("[host] DropClient 1 go away"));
    EXPECT_EQ(lines.back(), "[qzhost] slot 1: bad refused");
}

TEST_F(SimHostTest, ConnectsBeyondMaxClientsAreTurnedAwayByTheGame) {
    host_.setCvar("sv_maxclients", "2");
    run("sim_connect A - bot");
    run("sim_connect B - bot");
    auto lines = run("sim_connect C - bot");
    EXPECT_EQ(fake.connects.size(), 2u);
    EXPECT_EQ(lines, std::vector<std::string>{"[qzhost] server is full: C"});
}

TEST_F(SimHostTest, DropClientFreesTheSlotAndSaysWhetherSomeoneWasThere) {
    run("sim_connect A - bot");
    EXPECT_TRUE(host_.contains("[qzhost] slot 1: A admitted"));
    EXPECT_EQ(run("drop 1 bye").back(), "drop result 1");
    EXPECT_EQ(host_.client(1), nullptr);
    EXPECT_EQ(run("drop 1 bye").back(), "drop result 0");
}

TEST_F(SimHostTest, ManualClockMovesOnlyByAdvance) {
    auto lines = run("sim_advance 1500");
    EXPECT_EQ(fake.frames, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"clock " + std::to_string(start_ + 1) + " 500000"});
    run("sim_advance 0");
    EXPECT_EQ(fake.frames, 2);
    EXPECT_EQ(host_.output().back(), "clock " + std::to_string(start_ + 1) + " 500000");
    EXPECT_EQ(run("sim_advance -5").back(), "[qzhost] usage: sim_advance MS");
    EXPECT_EQ(fake.frames, 2);
}

TEST_F(SimHostTest, UnknownSimCommandsAreReportedAndNotPassedOn) {
    auto lines = run("sim_bogus 1 2");
    EXPECT_EQ(lines, std::vector<std::string>{"[qzhost] unknown command: sim_bogus"});
    EXPECT_TRUE(fake.consoleLines.empty());
}

TEST_F(SimHostTest, ConsoleLinesReachTheModuleWholeEvenWhenVeryLong) {
    const std::string longLine = "echo " + std::string(200 * 1024, 'x');
    run(longLine);
    ASSERT_EQ(fake.consoleLines.size(), 1u);
    EXPECT_EQ(fake.consoleLines[0], longLine);
    run("  qz_sv_Ver  ");
    EXPECT_EQ(fake.consoleLines[1], "  qz_sv_Ver  ");
}

TEST_F(SimHostTest, QuitShutsTheModuleDownOnce) {
    EXPECT_FALSE(host_.line("quit"));
    EXPECT_EQ(fake.shutdowns, 1);
    EXPECT_FALSE(host_.running());
    host_.shutdown();
    EXPECT_EQ(fake.shutdowns, 1);
}

TEST_F(SimHostTest, CvarSetChangesTheVariableTheModuleReadsBack) {
    auto lines = run("set guid_qz_01 EmptySlot two words");
    EXPECT_EQ(lines, std::vector<std::string>{"[host] Cvar_Set guid_qz_01 EmptySlot two words"});
    char out[8];
    EXPECT_EQ(fake.host.cvarGet("guid_qz_01", out, sizeof out), 1);
    EXPECT_STREQ(out, "EmptySl");  // cut to the size given, terminated
    EXPECT_EQ(fake.host.cvarGet("no_such_variable", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

TEST_F(SimHostTest, SimCvarSetsAVariableWithoutTellingTheModule) {
    auto lines = run("sim_cvar sv_hostname \"My Server\"");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(host_.cvar("sv_hostname"), "My Server");
}

TEST_F(SimHostTest, GameConsoleAnswersTheCommandsTheModuleUses) {
    struct Case {
        std::string line;
        std::string shown;
    };
    const Case cases[] = {
        {"mapname", "[game] \"mapname\" is:\"oasis^7\""},
        {"map goldrush", "[game] Loading map goldrush"},
        {"mapname", "[game] \"mapname\" is:\"goldrush^7\""},
        {"set g_speed 400", ""},
        {"g_speed", "[game] \"g_speed\" is:\"400^7\""},
        {"frobnicate now", "[game] Unknown command \"frobnicate\""},
        {"say hi there", "[game] console: hi there"},
        {"serverinfo", "[game] sv_hostname Kestrine Demo Server"},
        {"forceteam 9 red", "[game] Bad client slot: 9"},
    };
    for (const Case& c : cases) {
        auto lines = run("sim_game " + c.line);
        if (c.shown.empty()) {
            EXPECT_TRUE(lines.empty()) << c.line;
        } else {
            EXPECT_TRUE(host_.contains(c.shown)) << c.line;
        }
    }
}

TEST_F(SimHostTest, StatusListsAdmittedPlayersAndForceteamMovesThem) {
    run("sim_connect \"Big Bob\" - 1.2.3.4:27960");
    auto lines = run("sim_game status");
    EXPECT_TRUE(std::find(lines.begin(), lines.end(),
                          "[game]   1 Big Bob              1.2.3.4:27960") != lines.end());
    run("sim_game cmd_forceteam 1 2");
    EXPECT_EQ(host_.client(1)->team, "2");
}

TEST_F(SimHostTest, TextsForAPlayerReachHisSimulatedClient) {
    run("sim_connect A - bot");
    run("send 1 hello\nthere");
    ASSERT_EQ(host_.client(1)->received.size(), 1u);
    EXPECT_EQ(host_.client(1)->received[0], "hello\nthere");
}

TEST_F(SimHostTest, RepliesQueuedByASimulatedClientArriveAfterTheModuleCall) {
    run("sim_connect A - bot");
    host_.client(1)->outbox.push_back("answer");
    run("echo tick");
    EXPECT_EQ(fake.packets, std::vector<std::string>{"1:answer"});
    EXPECT_TRUE(host_.client(1)->outbox.empty());
}

TEST_F(SimHostTest, ASecondSimulatedHostAtTheSameTimeIsRefused) {
    EXPECT_DEATH({ sim::SimHost second; }, "only one SimHost");
}

TEST(SimHostText, UnescapeKeepsUnknownEscapesAsTyped) {
    EXPECT_EQ(sim::unescapeText("a\\tb"), "a\tb");
    EXPECT_EQ(sim::unescapeText("\\x4"), "\x04");
    EXPECT_EQ(sim::unescapeText("\\xg"), "\\xg");
    EXPECT_EQ(sim::unescapeText("end\\"), "end\\");
}

TEST(SimHostText, LocalTimesMustBeWellFormed) {
    time_t t = 0;
    EXPECT_TRUE(sim::parseLocalTime("2026-01-01T00:00:00", &t));
    struct tm parts = {};
    localtime_r(&t, &parts);
    EXPECT_EQ(parts.tm_year, 126);
    EXPECT_EQ(parts.tm_hour, 0);
    for (const char* bad : {"2026-01-01", "2026-13-01T00:00:00", "2026-01-01T00:00:00Z", "x"})
        EXPECT_FALSE(sim::parseLocalTime(bad, &t)) << bad;
}

}  // namespace
