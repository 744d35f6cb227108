// What a host says about itself in qz_host.flags: a game without the client module, and a host
// that can remove its own bots. Also the two record versions sa takes.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/qzsv.h"
#include "players/players_fixture.h"

namespace {

using OrdinaryHost = PlayersTest;

class FlaggedHost : public PlayersTest {
  protected:
    explicit FlaggedHost(unsigned flags) : flags_(flags) {}
    void configure(sim::SimHost& host) override { host.setHostFlags(flags_); }

  private:
    unsigned flags_;
};

class NoClientModule : public FlaggedHost {
  protected:
    NoClientModule() : FlaggedHost(QZ_HOST_NO_CLIENT_MODULE) {}
};

class DropsBots : public FlaggedHost {
  protected:
    DropsBots() : FlaggedHost(QZ_HOST_DROPS_BOTS) {}
};

const char kNotSupported[] =
    "not supported by this game (its players run no Kestrine client module)";

TEST_F(NoClientModule, PlayersAreInPlayAtOnceAndNeverRefusedForSilence) {
    run("sim_clientmodule off");
    auto lines = join("Bob", kGuidA, "1.2.3.4:27960");
    // No exchange text is sent to a game that could not read it.
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("[to 1] Q", 0), std::string::npos);
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "1.2.3.4:27960 OK   "));
    run("sim_advance 31000");
    run("sim_advance 1000");
    EXPECT_NE(host().client(1), nullptr);
    EXPECT_TRUE(host().linesMatching("Kestrine Not Enabled").empty());
}

TEST_F(NoClientModule, ClientSideCommandsAnswerWithOneLine) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    const char* commands[] = {"qz_sv_GetSs 1",         "qz_sv_CvarVal cl_maxpackets 1",
                              "qz_sv_BindSrch fire 1", "qz_sv_CvarSrch r_ 1",
                              "qz_sv_CvarUser 1",      "qz_sv_CvarChanged 1"};
    for (const char* command : commands) {
        auto lines = run(command);
        std::string word = std::string(command).substr(0, std::string(command).find(' '));
        ASSERT_EQ(lines.size(), 1u) << command;
        EXPECT_EQ(lines[0], word + ": " + kNotSupported) << command;
    }
}

TEST_F(NoClientModule, AScreenshotRequestFromElsewhereIsRefusedTheSameWay) {
    join("Bob", kGuidA, "1.2.3.4:27960");
    host().clearOutput();  // the name rules' announcement at the join is no screenshot request
    // The WebTool and the tasks reach the request routine without the dispatcher.
    auto lines = run("qz_sv_GetSs 1");
    EXPECT_TRUE(anyLineContains(lines, kNotSupported));
    EXPECT_TRUE(host().linesMatching("[to 1]").empty());
}

TEST_F(OrdinaryHost, ABotIsNotKicked) {
    join("Sarge", "", "bot");
    auto lines = run("qz_sv_Kick Sarge 1 x");
    EXPECT_TRUE(anyLineContains(lines, "Ignored Command to kick player in slot# 1 (Sarge)"));
    EXPECT_FALSE(anyLineContains(lines, "DropClient"));
}

TEST_F(DropsBots, ABotIsKickedLikeAPlayer) {
    join("Sarge", "", "bot");
    auto lines = run("qz_sv_Kick Sarge 1 x");
    EXPECT_TRUE(
        hasLine(lines,
                "[host] DropClient 1 Kestrine kicked player 'Sarge' (for 1 minute) ... x [Admin "
                "Decision]"));
    EXPECT_EQ(host().client(1), nullptr);
}

TEST_F(DropsBots, ANameBanRefusesABot) {
    run("qz_sv_banname Sarge");
    auto lines = join("Sarge", "", "bot");
    EXPECT_TRUE(anyLineContains(lines, "Ban Name Kicked 1"));
    EXPECT_EQ(host().client(1), nullptr);
    // Another bot is still welcome.
    join("Angelyss", "", "bot");
    EXPECT_NE(host().client(1), nullptr);
}

TEST_F(OrdinaryHost, ANameBanDoesNotTouchABot) {
    run("qz_sv_banname Sarge");
    join("Sarge", "", "bot");
    EXPECT_NE(host().client(1), nullptr);
}

// A host record built by hand, as a host compiled against an older header would pass it.
struct HandHost {
    static std::string& home() {
        static std::string h;
        return h;
    }
    static int call(const char*, const char*) { return 1; }
    static int cvar(const char* name, char* out, int size) {
        out[0] = 0;
        if (std::string(name) != "fs_homepath") return 0;
        snprintf(out, static_cast<size_t>(size), "%s", home().c_str());
        return 1;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void print(const char* text) { lines().push_back(text); }
    static void send(int, const char*, int) {}
};

struct AbiCase {
    int abi;
    int expected;
};

void PrintTo(const AbiCase& c, std::ostream* os) { *os << "abi " << c.abi << " -> " << c.expected; }

class HostRecordVersion : public ::testing::TestWithParam<AbiCase> {};

TEST_P(HostRecordVersion, SaTakesVersionsOneAndTwoOnly) {
    char pattern[] = "/tmp/qzabi-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    HandHost::home() = pattern;
    // A version 1 record ends before the flags: garbage behind it must not be read as flags.
    struct {
        qz_host record;
        unsigned char after[16];
    } memory;
    memset(&memory, 0xA5, sizeof memory);
    memory.record.abi = GetParam().abi;
    memory.record.hostCall = HandHost::call;
    memory.record.cvarGet = HandHost::cvar;
    memory.record.print = HandHost::print;
    memory.record.sendClient = HandHost::send;
    memory.record.clock = nullptr;
    if (GetParam().abi == QZ_HOST_ABI) memory.record.flags = 0;
    EXPECT_EQ(sa(&memory.record), GetParam().expected);
    if (GetParam().expected == 0) {
        // An ordinary host: the player waits for his client module.
        const char* desc = "Bob\\\\1.2.3.4:27960\\W";
        EXPECT_EQ(sb(QZ_EV_CONNECT, 1, desc, static_cast<int>(strlen(desc))), QZ_ADMIT);
        HandHost::lines().clear();
        sb(QZ_EV_CONSOLE, 0, "qz_sv_Plist", 11);
        bool waiting = false;
        for (const std::string& line : HandHost::lines()) {
            if (line.find("1.2.3.4:27960 PRE ") != std::string::npos) waiting = true;
        }
        EXPECT_TRUE(waiting);
        sb(QZ_EV_SHUTDOWN, 0, nullptr, 0);
    }
    std::filesystem::remove_all(pattern);
}

INSTANTIATE_TEST_SUITE_P(Versions, HostRecordVersion,
                         ::testing::Values(AbiCase{1, 0}, AbiCase{2, 0}, AbiCase{0, -2},
                                           AbiCase{3, -2}));

}  // namespace
