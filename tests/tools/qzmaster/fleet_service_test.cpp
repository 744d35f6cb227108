// The fleet ban service as the servers of a fleet see it, on both stores: reports, lookups,
// pushes, unbans, hellos, refusals, cut-off servers, restarts and two masters on one database.
#include "qzmaster/fleet_service.h"

#include <gtest/gtest.h>

#include "fleet_fixture.h"

using namespace fleettest;

namespace {

const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";
const char* kOther = "FEDCBA9876543210FEDCBA9876543210";

}  // namespace

TEST_P(FleetTest, AReportIsAcknowledgedOnceStoredAndAResentReportCreatesNothingNew) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody ack;
    a->report(0x1a, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(0x1a), &ack));
    EXPECT_STREQ(ack.verdict, "ACK");
    EXPECT_STREQ(ack.guid, kGuid);
    EXPECT_STREQ(ack.name, "Cheater");
    EXPECT_GT(ack.fleetId, 0u);

    // The same report again (a new envelope, as a module resends it): the same ban, ACKed again.
    FleetBody again;
    a->report(0x1a, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(0x1a), &again));
    EXPECT_STREQ(again.verdict, "ACK");
    EXPECT_EQ(again.fleetId, ack.fleetId);

    std::vector<qzm::BanListing> bans;
    std::string why;
    ASSERT_TRUE(store()->listBans(qzm::BanQuery{}, &bans, &why)) << why;
    ASSERT_EQ(bans.size(), 1u);
    EXPECT_EQ(bans[0].rec.id, static_cast<int64_t>(ack.fleetId));
    EXPECT_STREQ(bans[0].rec.server, "alpha");
    EXPECT_STREQ(bans[0].rec.origin, "console");
    EXPECT_STREQ(bans[0].rec.address, "10.0.0.5");
    EXPECT_EQ(m->counters().reports, 1);  // stored once
}

TEST_P(FleetTest, ALookupAnswersBannedForALiveFleetBanAndClearOtherwise) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody ack, answer;
    a->report(1, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));

    b->lookup(0x77, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(0x77), &answer));
    EXPECT_STREQ(answer.verdict, "BANNED");
    EXPECT_EQ(answer.fleetId, ack.fleetId);
    EXPECT_STREQ(answer.name, "Cheater");
    EXPECT_STREQ(answer.answerKind, "GUID");

    // GUIDs are compared without regard to case.
    std::string lower = kGuid;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    b->lookup(0x78, lower.c_str());
    ASSERT_TRUE(b->await(3000, pump(), answerTo(0x78), &answer));
    EXPECT_STREQ(answer.verdict, "BANNED");

    b->lookup(0x79, kOther);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(0x79), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
    EXPECT_EQ(answer.fleetId, 0u);
}

TEST_P(FleetTest, ANewBanIsPushedToAServerThatAskedAndAnUnbanLiftsItEverywhere) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody answer, push, lift;
    b->lookup(5, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(5), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");

    long long before = nowMs();
    a->report(2, kGuid, "Cheater");
    ASSERT_TRUE(b->await(1000, pump(), pushOf(QZF_PUSH, kGuid), &push));
    EXPECT_LT(nowMs() - before, 1000);
    EXPECT_STREQ(push.server, "alpha");
    EXPECT_STREQ(push.name, "Cheater");
    EXPECT_EQ(push.length, 0u);

    a->unban(3, kGuid, 0);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(3), &answer));
    EXPECT_STREQ(answer.verdict, "ACK");
    ASSERT_TRUE(b->await(1000, pump(), pushOf(QZF_LIFT, kGuid), &lift));
    EXPECT_EQ(lift.fleetId, push.fleetId);

    b->lookup(6, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(6), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
}

TEST_P(FleetTest, AServerThatNeverAskedAboutTheGuidIsNotPushedTheBan) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto c = member("charlie", m);
    FleetBody answer, push;
    c->lookup(1, kOther);  // charlie is known to the service, but asked about someone else
    ASSERT_TRUE(c->await(3000, pump(), answerTo(1), &answer));
    a->report(7, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(7), &answer));
    EXPECT_FALSE(c->await(300, pump(), pushOf(QZF_PUSH, kGuid), &push));
}

TEST_P(FleetTest, AHelloIsAnsweredWithTheLiveBansNewerThanTheServerKnows) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody ack1, ack2, ack3, push;
    a->report(1, kGuid, "One");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack1));
    a->report(2, kOther, "Two");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &ack2));
    a->report(3, "AAAA", "Three");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(3), &ack3));
    a->unban(4, "AAAA", ack3.fleetId);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(4), &push));

    b->hello(9, ack1.fleetId);
    ASSERT_TRUE(b->await(3000, pump(), pushOf(QZF_PUSH, kOther), &push));
    EXPECT_EQ(push.fleetId, ack2.fleetId);
    spin(200);
    b->await(
        10, pump(), [](const FleetBody&) { return false; }, &push);
    for (const FleetBody& got : b->received) {
        // Only bans newer than the one it knows, and no lifted one.
        EXPECT_NE(got.fleetId, ack1.fleetId);
        EXPECT_NE(got.fleetId, ack3.fleetId);
    }
}

TEST_P(FleetTest, ForgedReplayedUnknownAndCutOffPacketsAreRefusedCountedAndNeverApplied) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody answer;

    // Forged: the right server id, a wrong secret.
    unsigned char wrong[QZF_KEY_BYTES];
    memset(wrong, 0x42, sizeof wrong);
    FleetBody forged{};
    forged.kind = QZF_REPORT;
    forged.id = 0x50;
    forged.time = static_cast<uint64_t>(time(nullptr));
    forged.banKind = 'G';
    snprintf(forged.guid, sizeof forged.guid, "%s", kGuid);
    snprintf(forged.addr, sizeof forged.addr, "?");
    snprintf(forged.origin, sizeof forged.origin, "console");
    a->send(forged, wrong);
    // Altered: a genuine packet with one byte of its body changed.
    a->report(0x51, kOther, "Victim");
    std::string altered = a->lastPacket;
    ASSERT_TRUE(a->await(3000, pump(), answerTo(0x51), &answer));
    altered[1] = altered[1] == 'B' ? 'Q' : 'B';
    a->sendRaw(altered);
    // Replayed: the genuine packet again, byte for byte.
    a->sendRaw(a->lastPacket);
    // Unknown server, and a packet that is not one at all.
    FakeServer stranger("stranger", secrets_["alpha"], m->port());
    stranger.lookup(1, kGuid);
    a->sendRaw("hello there");
    spin(300);

    const qzm::FleetCounters& c = m->counters();
    EXPECT_EQ(c.refused[QZF_BAD_MAC], 2);
    EXPECT_EQ(c.refused[QZF_REPLAY], 1);
    EXPECT_EQ(c.refused[QZF_UNKNOWN_SERVER], 1);
    EXPECT_EQ(c.refused[QZF_BAD_SYNTAX], 1);
    EXPECT_EQ(c.reports, 1);
    std::vector<qzm::BanListing> bans;
    std::string why;
    ASSERT_TRUE(store()->listBans(qzm::BanQuery{}, &bans, &why));
    ASSERT_EQ(bans.size(), 1u);  // only the genuine report
    EXPECT_STREQ(bans[0].rec.guid, kOther);
    // Nothing was answered to the forged, altered or replayed packets.
    for (const FleetBody& got : a->received) EXPECT_EQ(got.id, 0x51u);
}

TEST_P(FleetTest, AServerCutOffWhileTheServiceRunsIsRefusedUntilRestored) {
    qzm::FleetService* m = startService();
    auto b = member("bravo", m);
    FleetBody answer;
    b->lookup(1, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(1), &answer));

    std::string why;
    ASSERT_TRUE(store()->setCutOff("bravo", true, &why)) << why;
    long long end = nowMs() + 3000;
    while (!m->state().server("bravo")->cutOff && nowMs() < end) spin(5);
    b->lookup(2, kGuid);
    EXPECT_FALSE(b->await(300, pump(), answerTo(2), &answer));
    EXPECT_EQ(m->counters().refused[QZF_CUT_OFF], 1);

    ASSERT_TRUE(store()->setCutOff("bravo", false, &why)) << why;
    end = nowMs() + 3000;
    while (m->state().server("bravo")->cutOff && nowMs() < end) spin(5);
    b->lookup(3, kGuid);
    EXPECT_TRUE(b->await(3000, pump(), answerTo(3), &answer));
}

TEST_P(FleetTest, AServerAddedWhileTheServiceRunsIsServedWithItsNewSecret) {
    qzm::FleetService* m = startService();
    std::string secret = qzm::newSecretHex(), why;
    ASSERT_TRUE(store()->addServer("delta", secret, &why)) << why;
    secrets_["delta"] = secret;
    long long end = nowMs() + 3000;
    while (!m->state().server("delta") && nowMs() < end) spin(5);
    auto d = member("delta", m);
    FleetBody answer;
    d->lookup(1, kGuid);
    ASSERT_TRUE(d->await(3000, pump(), answerTo(1), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
}

TEST_P(FleetTest, AnUnbanFromTheCommandLineIsPushedByTheRunningService) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody answer, lift;
    b->lookup(1, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(1), &answer));
    a->report(1, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &answer));

    qzm::BanQuery q;
    q.guid = kGuid;
    std::vector<qzm::BanListing> lifted;
    std::string why;
    ASSERT_TRUE(store()->unban(q, "cli:ops", &lifted, &why)) << why;
    ASSERT_EQ(lifted.size(), 1u);
    ASSERT_TRUE(b->await(2000, pump(), pushOf(QZF_LIFT, kGuid), &lift));
    EXPECT_EQ(lift.fleetId, answer.fleetId);

    std::vector<qzm::BanListing> all;
    q.all = true;
    ASSERT_TRUE(store()->listBans(q, &all, &why));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].lifted);
    EXPECT_EQ(all[0].liftedBy, "cli:ops");
}

TEST_P(FleetTest, ARestartedServiceKnowsEveryBanAndRefusesOldCounters) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody ack, answer;
    a->report(1, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));
    std::string old = a->lastPacket;
    spin(1100);  // the high-water mark is stored once a second
    services_.clear();

    qzm::FleetService* again = startService();
    a->servicePort = again->port();
    a->lookup(2, kGuid);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &answer));
    EXPECT_STREQ(answer.verdict, "BANNED");
    EXPECT_EQ(answer.fleetId, ack.fleetId);
    a->sendRaw(old);
    spin(200);
    EXPECT_EQ(again->counters().refused[QZF_REPLAY], 1);
}

INSTANTIATE_TEST_SUITE_P(Stores, FleetTest, ::testing::Values(StoreKind::File, StoreKind::Postgres),
                         storeName);

// Two masters on one database: what one stores, the other announces.
class TwoMasters : public FleetTest {};

TEST_P(TwoMasters, ABanReportedToOneMasterIsPushedByTheOtherWithinOneSecond) {
    qzm::FleetService* m1 = startService();
    qzm::FleetService* m2 = startService();
    auto a = member("alpha", m1);
    auto c = member("charlie", m2);
    FleetBody answer, push, lift;
    c->lookup(1, kGuid);
    ASSERT_TRUE(c->await(3000, pump(), answerTo(1), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");

    long long before = nowMs();
    a->report(1, kGuid, "Cheater");
    ASSERT_TRUE(c->await(1000, pump(), pushOf(QZF_PUSH, kGuid), &push));
    EXPECT_LT(nowMs() - before, 1000);
    ASSERT_TRUE(a->await(1000, pump(), answerTo(1), &answer));
    EXPECT_EQ(push.fleetId, answer.fleetId);

    // The other master answers lookups for it too, within a second: the push above may have come
    // from either master (both know charlie asked), so the second one's notification may still
    // be on its way when the push arrives.
    bool banned = false;
    for (uint32_t id = 2; id < 40 && !banned; ++id) {
        c->lookup(id, kGuid);
        ASSERT_TRUE(c->await(1000, pump(), answerTo(id), &answer));
        banned = strcmp(answer.verdict, "BANNED") == 0;
        if (!banned) spin(25);
    }
    EXPECT_TRUE(banned);

    a->unban(2, kGuid);
    ASSERT_TRUE(c->await(1000, pump(), pushOf(QZF_LIFT, kGuid), &lift));
    EXPECT_EQ(lift.fleetId, push.fleetId);
}

INSTANTIATE_TEST_SUITE_P(OneDatabase, TwoMasters, ::testing::Values(StoreKind::Postgres),
                         storeName);
