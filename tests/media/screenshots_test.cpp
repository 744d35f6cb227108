// Screenshot requests: qz_sv_GetSs by slot and by search text, the limits, serials and their
// persistence, the request text, the page and the index line, qz_sv_SsPath, automatic requests
// and the per-slot trigger.
#include "media/screenshots.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/startup.h"
#include "host/state.h"
#include "players/players_fixture.h"
#include "util/clock.h"

namespace {

class Screenshots : public PlayersTest {
  protected:
    void SetUp() override {
        PlayersTest::SetUp();
        ASSERT_TRUE(anyLineContains(join("Alice", kGuidA, "1.2.3.4:27960"), "admitted"));
    }
    // The last text the module sent to the player in slot.
    std::string lastToClient(int slot) {
        const auto& got = host().client(slot)->received;
        return got.empty() ? "" : got.back();
    }
    void wait(long long ms) { run("sim_advance " + std::to_string(ms)); }
};

TEST_F(Screenshots, GetSsBySlotRequestsOneScreenshotAndCountsIt) {
    auto out = run("qz_sv_GetSs 1");
    EXPECT_TRUE(hasLine(out, "Screenshot 000001 Requested from 1  Alice"));
    EXPECT_TRUE(hasLine(out, "1 Screenshot Requested"));
}

TEST_F(Screenshots, TheRequestTextCarriesTheSizesTheSerialAndARandomNumber) {
    run("qz_sv_SsWidth 640");
    run("qz_sv_SsHeight 480");
    run("qz_sv_SsXpct 10");
    run("qz_sv_SsYpct 20");
    run("qz_sv_SsSrate 2");
    run("qz_sv_SsDelay 5");
    run("qz_sv_SsNext 42");
    run("qz_sv_GetSs 1");
    unsigned long nonce = 0;
    int width = 0, height = 0, x = 0, y = 0, rate = 0, delay = 0;
    long serial = 0;
    char kind = 0;
    ASSERT_EQ(sscanf(lastToClient(1).c_str(), "%c%d %lu %ld %d %d %d %d %d", &kind, &width, &nonce,
                     &serial, &height, &x, &y, &rate, &delay),
              9)
        << lastToClient(1);
    EXPECT_EQ(kind, 'Q');
    EXPECT_EQ(width, 640);
    EXPECT_EQ(serial, 42);
    EXPECT_EQ(height, 480);
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, 20);
    EXPECT_EQ(rate, 2);
    EXPECT_EQ(delay, 5);
}

TEST_F(Screenshots, ASearchTextRequestsFromEveryMatchingPlayer) {
    join("^1Bob", kGuidB, "1.2.3.5:27960");
    join("bobby", kGuidC, "1.2.3.6:27960");
    join("BOBO", "", "1.2.3.7:27960");
    auto out = run("qz_sv_GetSs bob");
    EXPECT_TRUE(hasLine(out, "Screenshot 000001 Requested from 2  ^1Bob"));
    EXPECT_TRUE(hasLine(out, "Screenshot 000002 Requested from 3  bobby"));
    EXPECT_TRUE(hasLine(out, "Screenshot 000003 Requested from 4  BOBO"));
    EXPECT_TRUE(hasLine(out, "3 Screenshots Requested"));
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs \"lic\""), "1 Screenshot Requested"));
}

TEST_F(Screenshots, NothingMatchedRequestsNothing) {
    struct Case {
        const char* line;
        const char* invalid;
    } cases[] = {{"qz_sv_GetSs nobody", "Invalid Player Specified: nobody"},
                 {"qz_sv_GetSs 65", "Invalid Player Specified: 65"},
                 {"qz_sv_GetSs 2", "Invalid Player Specified: 2"}};
    for (const Case& c : cases) {
        auto out = run(c.line);
        EXPECT_TRUE(hasLine(out, c.invalid)) << c.line;
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "0 Screenshots Requested") << c.line;
    }
    EXPECT_EQ(file(QZ_SSNEXT_FILE), "");
    EXPECT_FALSE(std::filesystem::exists(home() + "svss/qz000001.htm"));
}

TEST_F(Screenshots, ASecondRequestWithinThirtySecondsIsRefusedAndUsesNoSerial) {
    run("qz_sv_GetSs 1");
    wait(10000);
    auto out = run("qz_sv_GetSs 1");
    EXPECT_TRUE(hasLine(out,
                        "Screenshot Request Ignored ... Less than 30 seconds have passed "
                        "since last request."));
    EXPECT_TRUE(hasLine(out, "0 Screenshots Requested"));
    EXPECT_FALSE(std::filesystem::exists(home() + "svss/qz000002.htm"));
    EXPECT_EQ(file(QZ_SSNEXT_FILE), "qz_sv_ssnext 2\r\n");
}

TEST_F(Screenshots, AFourthRequestWithinTenMinutesIsRefused) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(hasLine(run("qz_sv_GetSs 1"), "1 Screenshot Requested")) << i;
        wait(31000);
    }
    EXPECT_TRUE(hasLine(run("qz_sv_Plist"), "1  " + std::string(kGuidA) +
                                                "(?) 1.2.3.4:27960 OK   0 0.0 3 (W) \"Alice\""));
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs 1"),
                        "Screenshot Request Ignored (Slot #1) ... There have been 3 requests "
                        "during the past 10 minutes."));
    // Ten minutes after the first request one place of the ring is free again.
    wait(600000 - 3 * 31000 + 1000);
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs 1"), "Screenshot 000004 Requested from 1  Alice"));
}

TEST_F(Screenshots, ThePageAndTheIndexLineAreWrittenAtTheRequest) {
    run("qz_sv_SsNext 42");
    wait(3723000);  // 01:02:03
    run("qz_sv_GetSs 1");
    EXPECT_EQ(file("svss/qz000042.htm"), "<p> Screenshot was not returned by Client.\r\n");
    EXPECT_EQ(file("svss/" QZ_SSINDEX_FILE),
              "<p> <a href=qz000042.htm target=_blank>000042</a> \"Alice\" (W) GUID=" +
                  std::string(kGuidA) + "(?) [2026.01.01 01:02:03]\r\n");
}

TEST_F(Screenshots, TheIndexPadsAShortGuidAndEscapesTheName) {
    join("<b>Eve&", "", "1.2.3.9:27960");
    run("qz_sv_GetSs 2");
    EXPECT_EQ(file("svss/" QZ_SSINDEX_FILE),
              "<p> <a href=qz000001.htm target=_blank>000001</a> \"&lt;b&gt;Eve&amp;\" (W) "
              "GUID=NO_GUID                         (?) [2026.01.01 00:00:00]\r\n");
}

TEST_F(Screenshots, SerialsWrapFromTheCeilingToTheFloor) {
    run("qz_sv_SsFloor 7");
    run("qz_sv_SsCeiling 8");
    run("qz_sv_SsNext 8");
    join("Bob", kGuidB, "1.2.3.5:27960");
    join("Carl", kGuidC, "1.2.3.6:27960");
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs 1"), "Screenshot 000008 Requested from 1  Alice"));
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs 2"), "Screenshot 000007 Requested from 2  Bob"));
    EXPECT_EQ(file(QZ_SSNEXT_FILE), "qz_sv_ssnext 8\r\n");
    run("qz_sv_SsNext 500");
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs 3"), "Screenshot 000007 Requested from 3  Carl"));
}

TEST_F(Screenshots, NumberingContinuesAfterARestart) {
    run("qz_sv_SsNext 5");
    run("qz_sv_GetSs 1");
    EXPECT_EQ(file(QZ_SSNEXT_FILE), "qz_sv_ssnext 6\r\n");
    host().shutdown();
    ASSERT_EQ(host().start(), 0);
    host().drop(1);
    join("Alice", kGuidA, "1.2.3.4:27960");
    EXPECT_TRUE(hasLine(run("qz_sv_GetSs 1"), "Screenshot 000006 Requested from 1  Alice"));
}

TEST_F(Screenshots, AnSsPathInsideTheHomeDirectoryReceivesTheFiles) {
    run("qz_sv_SsPath shots/today/");
    run("qz_sv_GetSs 1");
    EXPECT_EQ(file("shots/today/qz000001.htm"), "<p> Screenshot was not returned by Client.\r\n");
    EXPECT_NE(file("shots/today/" QZ_SSINDEX_FILE), "");
}

TEST_F(Screenshots, AnSsPathOutsideTheHomeDirectoryIsRefusedAndSvssServes) {
    const char* bad[] = {"../outside", "/tmp", "svss/../../x", "a b"};
    join("Bob", kGuidB, "1.2.3.5:27960");
    int slot = 1;
    for (const char* value : bad) {
        if (slot > 2) {
            wait(31000);
            slot = 1;
        }
        run(std::string("qz_sv_SsPath \"") + value + "\"");
        auto out = run("qz_sv_GetSs " + std::to_string(slot++));
        EXPECT_TRUE(anyLineContains(out, std::string("qz_sv_SsPath refused [") + value + "]"))
            << value;
        EXPECT_TRUE(hasLine(out, "1 Screenshot Requested")) << value;
    }
    EXPECT_TRUE(std::filesystem::exists(home() + "svss/qz000004.htm"));
    EXPECT_FALSE(std::filesystem::exists(gameHome() + "/outside"));
}

TEST_F(Screenshots, BotsAndSilentClientsAreNotAsked) {
    join("Botty", "", "bot");
    host().connect("Mute", kGuidB, "1.2.3.8:27960");
    auto out = run("qz_sv_GetSs 2");
    EXPECT_TRUE(anyLineContains(out, "Screenshot Request Ignored (Slot #2) ... No QZ client"));
    EXPECT_TRUE(hasLine(out, "0 Screenshots Requested"));
}

TEST_F(Screenshots, AutomaticScreenshotsAskAPlayerAfterTheWait) {
    run("qz_sv_AutoSsFrom 20");
    run("qz_sv_AutoSsTo 20");
    run("qz_sv_AutoSs 1");
    wait(0);  // arms the wait
    EXPECT_FALSE(anyLineContains(run("sim_advance 19000"), "Auto Screenshot"));
    EXPECT_TRUE(hasLine(run("sim_advance 1000"), "Auto Screenshot 000001 Requested from 1  Alice"));
    // Alice was just asked: the next round finds nobody the limits let through.
    EXPECT_FALSE(anyLineContains(run("sim_advance 20000"), "Auto Screenshot"));
    EXPECT_TRUE(anyLineContains(run("sim_advance 20000"), "Auto Screenshot 000002"));
    run("qz_sv_AutoSs 0");
    EXPECT_FALSE(anyLineContains(run("sim_advance 60000"), "Auto Screenshot"));
}

// The trigger runs on a central state of its own, started on a temporary home.
struct TriggerState {
    std::unique_ptr<stQzSv> sv = std::make_unique<stQzSv>();
    std::string dir;
    static std::vector<std::string>& lines() {
        static std::vector<std::string> all;
        return all;
    }
    static std::string& home() {
        static std::string text;
        return text;
    }
    static int call(const char*, const char*) { return 1; }
    static int cvar(const char* name, char* out, int size) {
        snprintf(out, static_cast<size_t>(size), "%s",
                 strcmp(name, "fs_homepath") == 0 ? home().c_str() : "");
        return 1;
    }
    static void print(const char* text) { lines().push_back(text); }
    static long long& seconds() {
        static long long value = 1767225600;  // 2026-01-01, a manual clock
        return value;
    }
    static void clock(long long* secs, int* micros) {
        *secs = seconds();
        *micros = 0;
    }
    static void send(int, const char* text, int length) {
        lines().push_back("to|" + std::string(text, static_cast<size_t>(length)));
    }
    TriggerState() {
        char pattern[] = "/tmp/qzsstrig-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/tmp";
        home() = dir;
        lines().clear();
        qz_host h = {QZ_HOST_ABI, call, cvar, print, send, clock, 0};
        EXPECT_EQ(svStart(sv.get(), &h), 0);
    }
    ~TriggerState() {
        svShutdown(sv.get());
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

TEST(ScreenshotTrigger, RequestsOnlyWhenMoreThanAMinutePassedSinceTheLastTrigger) {
    TriggerState s;
    const char desc[] = "Dave\\0123456789ABCDEF0123456789ABCDEF\\1.2.3.4:1\\L";
    ASSERT_EQ(plConnect(s.sv.get(), 3, desc, static_cast<int>(strlen(desc))), QZ_ADMIT);
    s.sv->players.cl[2].status = QZ_ST_OK;
    const unsigned first = GetTickCount();
    ssTrigger(s.sv.get(), 3, first);
    EXPECT_EQ(s.sv->players.cl[2].ssTriggerTick, first);
    EXPECT_EQ(s.sv->ss.pending, 1);
    TriggerState::seconds() += 60;
    ssTrigger(s.sv.get(), 3, GetTickCount());  // exactly a minute: nothing
    EXPECT_EQ(s.sv->players.cl[2].ssTriggerTick, first);
    TriggerState::seconds() += 1;
    const unsigned later = GetTickCount();
    ssTrigger(s.sv.get(), 3, later);
    EXPECT_EQ(s.sv->players.cl[2].ssTriggerTick, later);
    int requests = 0;
    for (const std::string& line : TriggerState::lines())
        if (line.find("Requested from 3  Dave") != std::string::npos) requests++;
    EXPECT_EQ(requests, 2);
}

}  // namespace
