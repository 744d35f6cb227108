// Several masters for one server: the qz_sv_FleetService list, the move to the next master when
// one falls silent, a replay window per master, and answers that no stranger's flood can hide.
#include "remote/fleet.h"
#include "remote/fleet_module_fixture.h"

namespace {

using namespace fleettest;

class FleetMasters : public FleetFixture {
  protected:
    int masters() const override { return 2; }
};

TEST_F(FleetMasters, AServiceValueThatDoesNotParseIsRefusedWithOneLineAndNeverRuns) {
    run("qz_sv_FleetService -");
    pump(1);
    const char* bad[] = {
        "garbage",
        "a:1;b:2",
        "a:0",
        "a:99999",
        "a:1,",
        ",a:1",
        "a:1,a:1",
        "a:x",
        "a b:1",
        "a:1,b:2,c:3,d:4,e:5",
        "fleet.invalid:1:2",
        "a:1 b:2",
    };
    for (const char* value : bad) {
        auto out = run(std::string("qz_sv_FleetService ") + value);
        ASSERT_EQ(out.size(), 1u) << value << ": " << testing::PrintToString(out);
        EXPECT_NE(out[0].find("value refused"), std::string::npos) << out[0];
        pump(1);
        auto status = run("qz_sv_FleetStatus");
        ASSERT_FALSE(status.empty());
        EXPECT_NE(status[0].find("not running"), std::string::npos) << status[0];
        EXPECT_NE(status[0].find("service (none)"), std::string::npos) << status[0];
    }
    auto out = run("qz_sv_FleetService a.invalid:27953,b.invalid:27954");
    EXPECT_TRUE(anyLineContains(out, "set to \"a.invalid:27953,b.invalid:27954\""))
        << testing::PrintToString(out);
}

TEST_F(FleetMasters, ASilentMasterIsLeftWithinSecondsForTheNextOne) {
    auto first = ofKind(pump(2, 0, 0), QZF_QUERY, true);
    ASSERT_EQ(first.size(), 1u) << "the first master is asked first";
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    EXPECT_EQ(ofKind(drain(0), QZF_REPORT).size(), 1u);
    // The first master says nothing: within a few seconds the second one is asked.
    std::vector<Sent> second;
    for (int i = 0; i < 10 && ofKind(second, QZF_REPORT).empty(); i++) {
        run("sim_advance 1000");
        usleep(500);
        for (Sent& s : drain(1)) second.push_back(s);
    }
    auto reports = ofKind(second, QZF_REPORT);
    ASSERT_EQ(reports.size(), 1u) << "the report went to the second master";
    EXPECT_FALSE(ofKind(second, QZF_QUERY, true).empty()) << "and a hello";
    auto out = deliver(answer(5, reports[0].body.epoch, reports[0].body.id, QZF_ACK, kGuid), 0, 1);
    EXPECT_TRUE(anyLineContains(out, "acknowledged (fleet ban #5)")) << testing::PrintToString(out);
    auto status = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(status, "1 failover")) << testing::PrintToString(status);
}

TEST_F(FleetMasters, AMasterThatAnswersEverythingButReportsIsLeftForTheNextOne) {
    pump(2, 0, 0);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    // The first master keeps answering (from memory, its database away) but never the report.
    std::vector<Sent> second;
    for (int i = 0; i < 10 && ofKind(second, QZF_REPORT).empty(); i++) {
        deliver(answer(0, 0, 0x80000000u | 0x7fffu, QZF_CLEAR, kOther), 0, 0);
        run("sim_advance 1000");
        usleep(500);
        drain(0);
        for (Sent& s : drain(1)) second.push_back(s);
    }
    EXPECT_EQ(ofKind(second, QZF_REPORT).size(), 1u) << "the report went to the second master";
}

TEST_F(FleetMasters, EachMasterHasItsOwnReplayWindow) {
    pump(2, 0, 0);
    // The second master must have heard from the module for the test to reach its socket.
    for (int i = 0; i < 6 && stands_[1].module.sin_port == 0; i++) {
        run("sim_advance 1000");
        drain(1);
    }
    ASSERT_NE(stands_[1].module.sin_port, 0);
    // Counters of two masters have nothing in common: one far above the other.
    deliver(push(90, kGuid, 1), 5000000000000ull, 0);
    deliver(push(91, kOther, 2), 2000, 1);
    auto status = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(status, "packets accepted 2;")) << testing::PrintToString(status);
    EXPECT_TRUE(anyLineContains(status, "replay 0")) << testing::PrintToString(status);
    EXPECT_EQ(host().connect("Other", kOther, "10.0.0.6:27960"), 0);
    // A replay to the same master is still refused.
    deliver(push(91, kOther, 2), 2000, 1);
    EXPECT_TRUE(anyLineContains(run("qz_sv_FleetStatus"), "replay 1"));
}

class FleetFlood : public FleetFixture {};

TEST_F(FleetFlood, AStrangersFloodHidesNoAnswerOfTheService) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    auto q = ofKind(drain(), QZF_QUERY);
    ASSERT_EQ(q.size(), 1u);
    // A stranger on another port floods the module's fleet socket with sealed-looking junk,
    // enough to fill any receive buffer, and only then does the service answer.
    int stranger = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(stranger, 0);
    std::string junk =
        seal(push(99, kOther, 1), 0, QZF_TO_SERVER, kServer,
             reinterpret_cast<const unsigned char*>("wrong key, 32 bytes long......."));
    for (int i = 0; i < 20000; i++)
        sendto(stranger, junk.data(), junk.size(), MSG_DONTWAIT,
               reinterpret_cast<sockaddr*>(&stands_[0].module), sizeof stands_[0].module);
    close(stranger);
    sendRaw(seal(answer(9, 0, q[0].body.id, QZF_BANNED, kGuid, "Cheater", "GUID", "beta")));
    for (int i = 0; i < 5 && connected(1); i++) run("sim_advance 0");
    EXPECT_FALSE(connected(1)) << "the answer was read";
}

}  // namespace
