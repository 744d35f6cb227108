// The host services as the module uses them: sv_cvar_set, console line bounds, pending events.
#include "host/bridge.h"

#include <string>
#include <vector>

#include "host/events.h"
#include "host/state.h"
#include "support/case_name.h"
#include "support/module_fixture.h"

namespace {

// A bare central state whose host records every service call.
struct Recorder {
    static std::vector<std::string>& calls() {
        static std::vector<std::string> c;
        return c;
    }
    static int hostCall(const char* service, const char* argument) {
        calls().push_back(std::string(service) + "|" + argument);
        return 1;
    }
    static void print(const char* text) { calls().push_back(std::string("print|") + text); }
};

struct CvarSetCase {
    const char* text;
    const char* name;
    std::vector<std::string> expected;
};

void PrintTo(const CvarSetCase& c, std::ostream* os) {
    *os << "\"" << c.name << "\" in \"" << std::string(c.text).substr(0, 40) << "\"";
}
class CvarSet : public ::testing::TestWithParam<CvarSetCase> {};

TEST_P(CvarSet, PassesNameAndValueToCvarSet) {
    auto sv = std::make_unique<stQzSv>();
    sv->host.hostCall = &Recorder::hostCall;
    Recorder::calls().clear();
    sv_cvar_set(sv.get(), GetParam().text, GetParam().name);
    EXPECT_EQ(Recorder::calls(), GetParam().expected);
}

const std::string kLongValue(300, 'v');
const std::string kLongLine = "sv_hostname=" + kLongValue;

INSTANTIATE_TEST_SUITE_P(
    Cases, CvarSet,
    ::testing::Values(
        CvarSetCase{
            "timelimit=20\r\nsv_maxclients=16\r\n", "sv_maxclients", {"Cvar_Set|sv_maxclients 16"}},
        CvarSetCase{"timelimit=20\r\nsv_maxclients=16\r\n", "g_gametype", {}},
        CvarSetCase{"timelimit=20\r\nsv_maxclients=16\r\n", "timelimit", {"Cvar_Set|timelimit 20"}},
        CvarSetCase{"sv_maxclients 16\r\n", "sv_maxclients", {}},
        CvarSetCase{"SV_MAXCLIENTS=16\r\n", "sv_maxclients", {"Cvar_Set|SV_MAXCLIENTS 16"}},
        CvarSetCase{"g_speed=320", "", {"Cvar_Set|g_speed 320"}},
        CvarSetCase{"g_spee", "g_speed", {}},
        // An "=" on a later line does not count for a field that has none.
        CvarSetCase{"g_gametype\r\nupdgset=Update\r\n", "g_gametype", {}},
        CvarSetCase{kLongLine.c_str(),
                    "sv_hostname",
                    {"Cvar_Set|sv_hostname " + kLongValue.substr(0, 255 - 12)}}),
    [](const ::testing::TestParamInfo<CvarSetCase>& p) {
        return qztest::caseName(p.index, std::string(p.param.name) + " " + p.param.text);
    });

TEST(PendingEvents, FullQueueReportsOverflowAndLosesTheEvent) {
    auto sv = std::make_unique<stQzSv>();
    sv->host.print = &Recorder::print;
    Recorder::calls().clear();
    for (int i = 0; i < QZ_EVENT_MAX; ++i) ASSERT_TRUE(eventAdd(sv.get(), "qz_sv_ver", 0));
    EXPECT_FALSE(eventAdd(sv.get(), "qz_sv_homepath", 0));
    EXPECT_EQ(Recorder::calls(),
              (std::vector<std::string>{"print|QZ ERROR: Event Overflow",
                                        "print|Error Adding QZ Event: qz_sv_homepath"}));
    EXPECT_EQ(sv->events.count, QZ_EVENT_MAX);
}

using ConsoleLines = ModuleTest;

TEST_F(ConsoleLines, HugeLineIsRefusedWithOneMessage) {
    std::string line = "qz_sv_Ver " + std::string(100 * 1024, 'x');
    auto out = run(line);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].find("Console line too long"), std::string::npos);
}

TEST_F(ConsoleLines, LineWithNulByteIsRefused) {
    std::string line("qz_sv_Ver\0rm -rf /", 18);
    host().clearOutput();
    host().console(line);
    EXPECT_TRUE(host().contains("Console line holds a NUL byte: ignored"));
    EXPECT_FALSE(host().contains("Kestrine Server (v"));
}

TEST_F(ConsoleLines, HighBytesAndBlankLinesAreHandledQuietly) {
    EXPECT_EQ(run("\xff\xfe\x80 qz"), std::vector<std::string>{"Ignoring Non-QZ Command/Setting"});
    EXPECT_EQ(run("qz_sv_\xff\xff"),
              std::vector<std::string>{"Unknown Command/Setting: qz_sv_\xff\xff"});
    EXPECT_TRUE(run("").empty());
    EXPECT_TRUE(run("   \t ").empty());
    EXPECT_TRUE(run("; a comment line").empty());
    EXPECT_TRUE(run("// another").empty());
}

TEST_F(ConsoleLines, UnknownAndForeignWords) {
    EXPECT_EQ(run("qz_sv_Frobnicate 1 2"),
              std::vector<std::string>{"Unknown Command/Setting: qz_sv_Frobnicate"});
    EXPECT_EQ(run("map_restart"), std::vector<std::string>{"Ignoring Non-QZ Command/Setting"});
}

}  // namespace
