// Requests of a client module after the handshake: the log proof, and junk that must not flood
// the log.
#include <fstream>
#include <sstream>
#include <string>

#include "support/module_fixture.h"

namespace {

class ClientRequests : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        run("sim_connect Bob 0123456789ABCDEF0123456789ABCDEF 1.2.3.4:27960");
    }
};

TEST_F(ClientRequests, LogProofAnswersOnceAMinute) {
    auto first = run("sim_packet 1 QZ_PROOF");
    EXPECT_TRUE(anyLineContains(first, "[to 1] PServer's local QZ Log File "));
    EXPECT_TRUE(anyLineContains(first, "[to 1] PServer's local Game Log File "));
    auto again = run("sim_packet 1 QZ_PROOF");
    EXPECT_FALSE(anyLineContains(again, "Server's local QZ Log File"));
    EXPECT_TRUE(anyLineContains(again, "Packet ignored from (slot #1) Bob: QZ_PROOF"));
    run("sim_advance 60000");
    EXPECT_TRUE(anyLineContains(run("sim_packet 1 QZ_PROOF"), "Server's local QZ Log File"));
}

TEST_F(ClientRequests, JunkIsLoggedTenTimesAMinuteThenSuppressed) {
    int logged = 0;
    bool suppressed = false;
    for (int i = 0; i < 30; ++i) {
        auto out = run("sim_packet 1 garbage");
        if (anyLineContains(out, "Unknown packet from (slot #1) Bob")) logged++;
        if (anyLineContains(out, "Further unexpected packets from (slot #1) Bob")) {
            suppressed = true;
        }
    }
    EXPECT_EQ(logged, 10);
    EXPECT_TRUE(suppressed);
    run("sim_advance 60000");
    EXPECT_TRUE(anyLineContains(run("sim_packet 1 garbage"), "Unknown packet from (slot #1) Bob"));
}

// Screenshot packets that match no request, or are of no known kind, write their log lines
// under the same per-player limit as other junk.
TEST_F(ClientRequests, JunkScreenshotPacketsShareTheLimit) {
    struct Case {
        const char* packet;
        const char* logged;
    };
    const Case cases[] = {
        {"QZ_SSCAP junk", "Screenshot report ignored from (slot #1) Bob: malformed"},
        {"QZ_SSCAP 99 1 10 1 1 0123456789ABCDEF0123456789ABCDEF",
         "Screenshot report ignored from (slot #1) Bob: no such request (99)"},
        {"QZ_SSXYZ", "Unknown packet from (slot #1) Bob"},
    };
    for (const Case& c : cases) {
        for (int i = 0; i < 30; ++i) run(std::string("sim_packet 1 ") + c.packet);
        run("sim_advance 60000");
    }
    run("qz_sv_flushlogging");
    std::ifstream in(home() + "svlogs/00000001.log", std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string log = all.str();
    for (const Case& c : cases) {
        size_t n = 0;
        for (size_t at = log.find(c.logged); at != std::string::npos;
             at = log.find(c.logged, at + 1))
            n++;
        EXPECT_EQ(n, 10u) << c.packet;
    }
}

}  // namespace
