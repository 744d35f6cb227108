// Requests of a client module after the handshake: the log proof, and junk that must not flood
// the log.
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

}  // namespace
