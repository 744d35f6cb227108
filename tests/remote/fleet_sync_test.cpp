// Fleet bans that converge: the hello and its pages of changes (bans and lifts), report ids that
// never repeat, refused reports, unbans with a scope, and lookups that keep asking. Each case is
// driven frame by frame against a stand-in ban service.
#include <cstdio>

#include "remote/fleet.h"
#include "remote/fleet_module_fixture.h"

namespace {

using namespace fleettest;

class FleetSync : public FleetFixture {
  protected:
    // The hellos among what was sent.
    std::vector<Sent> hellos(const std::vector<Sent>& sent) {
        return ofKind(sent, QZF_QUERY, true);
    }
};

TEST_F(FleetSync, PagesOfChangesFollowEachOtherWithoutWaitingWhileMoreRemain) {
    auto first = hellos(pump(2));
    ASSERT_EQ(first.size(), 1u);
    uint32_t id = first[0].body.id;
    deliver(push(40, kGuid, 1, QZF_PUSH, id));
    deliver(push(41, kOther, 2, QZF_PUSH, id));
    auto sent = hellos([&] {
        sendRaw(seal(page(id, 0, 2, 2, true)));
        return pump(1);
    }());
    ASSERT_EQ(sent.size(), 1u) << "the next page is asked for at once";
    EXPECT_EQ(sent[0].body.fleetId, 2u) << "after the last change applied";
    deliver(page(sent[0].body.id, 2, 2, 0, false));
    EXPECT_TRUE(hellos(pump(1, 29000)).empty()) << "done: the usual period again";
    auto status = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(status, "2 fleet bans known, synced through change #2"))
        << testing::PrintToString(status);
    // The sync point survives a restart.
    restart();
    auto after = hellos(pump(2));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].body.fleetId, 2u);
}

TEST_F(FleetSync, AnIncompletePageIsAskedAgainFromTheSameSyncPoint) {
    auto first = hellos(pump(2));
    ASSERT_EQ(first.size(), 1u);
    uint32_t id = first[0].body.id;
    deliver(push(40, kGuid, 1, QZF_PUSH, id));
    // The page said two; the second was lost.
    deliver(page(id, 0, 2, 2, false));
    auto again = hellos(pump(3, 200));
    ASSERT_EQ(again.size(), 1u) << "asked again within a second";
    EXPECT_EQ(again[0].body.fleetId, 0u) << "from the same point";
}

TEST_F(FleetSync, APageEndThatOvertakesItsMessagesIsWeighedWhenTheyCome) {
    auto first = hellos(pump(2));
    ASSERT_EQ(first.size(), 1u);
    uint32_t id = first[0].body.id;
    deliver(page(id, 0, 1, 1, false));
    deliver(push(40, kGuid, 1, QZF_PUSH, id));
    EXPECT_TRUE(anyLineContains(run("qz_sv_FleetStatus"), "synced through change #1"));
}

TEST_F(FleetSync, MessagesFromAnotherStartOfTheMasterDoNotCompleteAPage) {
    auto first = hellos(pump(2));
    ASSERT_EQ(first.size(), 1u);
    uint32_t id = first[0].body.id;
    deliver(push(40, kGuid, 1, QZF_PUSH, id), (5ull << 32) | 1);
    deliver(page(id, 0, 1, 1, false), (6ull << 32) | 1);  // the master started again meanwhile
    EXPECT_TRUE(anyLineContains(run("qz_sv_FleetStatus"), "synced through change #0"));
}

TEST_F(FleetSync, ALiftMissedWhileOfflineIsRepairedByTheNextHello) {
    auto first = hellos(pump(2));
    uint32_t id = first.at(0).body.id;
    deliver(push(50, kGuid, 1, QZF_PUSH, id));
    deliver(page(id, 0, 1, 1, false));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 0) << "refused from the cache";
    // The server is down while the ban is lifted; it starts again with the cache it had.
    restart();
    auto hello = hellos(pump(2));
    ASSERT_EQ(hello.size(), 1u);
    EXPECT_EQ(hello[0].body.fleetId, 1u);
    deliver(push(50, kGuid, 2, QZF_LIFT, hello[0].body.id));
    deliver(page(hello[0].body.id, 1, 2, 1, false));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1) << "the lift reached it";
}

TEST_F(FleetSync, AnOldPushArrivingAfterItsLiftDoesNotBringTheBanBack) {
    synced();
    deliver(push(60, kGuid, 1));
    deliver(push(60, kGuid, 2, QZF_LIFT));
    deliver(push(60, kGuid, 1));  // reordered on the way
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1);
}

TEST_F(FleetSync, TwoServersBansOfOneGuidAreLiftedEachOnItsOwn) {
    synced();
    deliver(push(70, kGuid, 1, QZF_PUSH, 0, "beta"));
    deliver(push(71, kGuid, 2, QZF_PUSH, 0, "gamma"));
    deliver(push(71, kGuid, 3, QZF_LIFT, 0, "gamma"));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 0) << "beta's ban holds";
    deliver(push(70, kGuid, 4, QZF_LIFT, 0, "beta"));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1);
}

TEST_F(FleetSync, ReportIdsNeverRepeatWhenTheQueueFileIsLost) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    auto first = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(first.size(), 1u);
    deliver(answer(1, first[0].body.epoch, first[0].body.id, QZF_ACK, kGuid));
    host().shutdown();
    std::remove((home() + "qzfleetq.dat").c_str());
    ASSERT_EQ(host().start(), 0);
    pump(2);
    host().connect("Other", kOther, "10.0.0.6:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 wallhack");
    auto next = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_FALSE(next[0].body.epoch == first[0].body.epoch && next[0].body.id == first[0].body.id)
        << "report id " << next[0].text;
    EXPECT_NE(file("qzfleetq.dat").find("QZFLEETQ 2 "), std::string::npos);
}

TEST_F(FleetSync, ARefusedReportIsLoggedKeptForTheAdministratorAndTheQueueGoesOn) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    host().connect("Other", kOther, "10.0.0.6:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    run("qz_sv_FleetScope fleet qz_sv_Ban 2 wallhack");
    auto first = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(first.size(), 1u) << "one at a time";
    auto out = deliver(
        answer(0, first[0].body.epoch, first[0].body.id, QZF_REFUSED, kGuid, "report id reused"));
    EXPECT_TRUE(anyLineContains(out,
                                "refused by the ban service (report id reused): kept in "
                                "qzfleetrefused.log"))
        << testing::PrintToString(out);
    std::string kept = file("qzfleetrefused.log");
    EXPECT_NE(kept.find("\"report id reused\" BBanServ"), std::string::npos) << kept;
    EXPECT_NE(kept.find(kGuid), std::string::npos) << kept;
    auto next = ofKind(pump(1), QZF_REPORT);
    ASSERT_EQ(next.size(), 1u) << "the next report goes";
    EXPECT_STREQ(next[0].body.guid, kOther);
    EXPECT_TRUE(anyLineContains(run("qz_sv_FleetStatus"), "1 report waiting, 1 refused"));
}

TEST_F(FleetSync, LiftingAKickEntryReportsNothing) {
    pump(2);  // not synced: even a cache that cannot tell does not report a kick
    host().connect("Player", kGuid, "10.0.0.5:27960");
    run("qz_sv_Kick 1 5 spam");
    auto out = run("qz_sv_UnBan 1");
    EXPECT_TRUE(anyLineContains(out, "has been Unbanned"));
    EXPECT_FALSE(anyLineContains(out, "fleet")) << testing::PrintToString(out);
    EXPECT_TRUE(ofKind(pump(2, 1000), QZF_UNBAN).empty());
}

TEST_F(FleetSync, WithTheCacheLostALocalUnbanOfThisServersFleetBanIsStillReported) {
    synced();
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    auto r = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(r.size(), 1u);
    deliver(answer(80, r[0].body.epoch, r[0].body.id, QZF_ACK, kGuid));
    host().shutdown();
    std::remove((home() + "qzfleet.dat").c_str());
    ASSERT_EQ(host().start(), 0);
    auto out = run("qz_sv_UnBan 1");
    EXPECT_TRUE(anyLineContains(out, "this server's fleet ban of it, if it made one, is lifted"))
        << testing::PrintToString(out);
    auto u = ofKind(pump(2), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].body.fleetId, 0u) << "the id is not known any more";
    EXPECT_STREQ(u[0].body.scope, QZF_SCOPE_OWN);
}

TEST_F(FleetSync, ALookupKeepsAskingWithBackOffUntilAnswered) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    std::vector<long long> at;
    long long now = 0;
    for (int i = 0; i < 120; i++) {
        for (const Sent& s : ofKind(pump(1, i ? 1000 : 0), QZF_QUERY))
            if (!s.body.sync) at.push_back(now);
        now += 1000;
    }
    ASSERT_GE(at.size(), 6u) << "still asking after two minutes";
    EXPECT_LE(at.size(), 12u) << "but with back-off";
    EXPECT_GE(at[at.size() - 1] - at[at.size() - 2], 8000) << "the wait grew";
    auto q = ofKind(pump(1, 30000), QZF_QUERY);
    ASSERT_FALSE(q.empty());
    deliver(answer(9, 0, q.back().body.id, QZF_BANNED, kGuid, "Cheater", "GUID", "beta"));
    EXPECT_FALSE(connected(1));
    EXPECT_TRUE(ofKind(pump(3, 30000), QZF_QUERY).empty()) << "answered: asked no more";
}

class FleetStatusEarly : public FleetFixture {};

TEST_F(FleetStatusEarly, TheStatusBeforeTheFirstFrameDoesNotBlameAValidKey) {
    auto out = run("qz_sv_FleetStatus");
    EXPECT_FALSE(anyLineContains(out, "no usable qzfleet.key")) << testing::PrintToString(out);
    EXPECT_TRUE(anyLineContains(out, "not running yet")) << testing::PrintToString(out);
    pump(1);
    out = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(out, ", running")) << testing::PrintToString(out);
}

}  // namespace
