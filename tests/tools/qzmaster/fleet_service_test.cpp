// The fleet ban service as the servers of a fleet see it, on both stores: reports, lookups,
// pushes, unbans, hellos, refusals, cut-off servers, restarts and two masters on one database.
#include "qzmaster/fleet_service.h"

#include <gtest/gtest.h>

#include <set>

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

// Sends a hello after SYNC and gathers its page: the pushes and lifts, then the page end.
bool helloPage(FakeServer* s, uint32_t id, uint64_t sync, const std::function<void()>& pump,
               std::vector<FleetBody>* got, FleetBody* end) {
    s->received.clear();
    s->hello(id, sync);
    if (!s->await(5000, pump, pageEnd(id), end)) return false;
    s->await(100, pump, nothing(), end);  // stragglers overtaken by the end
    got->clear();
    for (const FleetBody& b : s->received)
        if ((b.kind == QZF_PUSH || b.kind == QZF_LIFT) && b.id == id) got->push_back(b);
    for (const FleetBody& b : s->received)
        if (b.kind == QZF_PAGE && b.id == id) *end = b;
    return true;
}

TEST_P(FleetTest, AHelloGetsTheBansAndLiftsAfterTheLastChangeItAppliedInChangeOrder) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody ack1, ack2, ack3, end;
    a->report(1, kGuid, "One");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack1));
    std::vector<FleetBody> page;
    ASSERT_TRUE(helloPage(b.get(), 8, 0, pump(), &page, &end));
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].fleetId, ack1.fleetId);
    EXPECT_EQ(end.count, 1u);
    EXPECT_FALSE(end.more);
    uint64_t sync = end.change;
    EXPECT_EQ(sync, page[0].change);

    a->report(2, kOther, "Two");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &ack2));
    a->report(3, "AAAA", "Three");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(3), &ack3));
    a->unban(4, "AAAA", ack3.fleetId);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(4), &end));
    // bravo was away for all that, and then lost the lift of the first ban as well.
    a->unban(5, kGuid, ack1.fleetId);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(5), &end));

    ASSERT_TRUE(helloPage(b.get(), 9, sync, pump(), &page, &end));
    // The second ban, then the lifts of the third and of the first (the one it had): the third
    // ban itself is not sent, it was lifted meanwhile.
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[0].kind, QZF_PUSH);
    EXPECT_EQ(page[0].fleetId, ack2.fleetId);
    EXPECT_EQ(page[1].kind, QZF_LIFT);
    EXPECT_EQ(page[1].fleetId, ack3.fleetId);
    EXPECT_EQ(page[2].kind, QZF_LIFT);
    EXPECT_EQ(page[2].fleetId, ack1.fleetId);
    EXPECT_LT(page[0].change, page[1].change);
    EXPECT_LT(page[1].change, page[2].change);
    EXPECT_EQ(end.count, 3u);
    EXPECT_EQ(end.after, sync);
    EXPECT_EQ(end.change, page[2].change);
    EXPECT_FALSE(end.more);

    // Nothing new: an empty page still ends, at the same point.
    ASSERT_TRUE(helloPage(b.get(), 10, end.change, pump(), &page, &end));
    EXPECT_TRUE(page.empty());
    EXPECT_EQ(end.count, 0u);
    EXPECT_EQ(end.after, end.change);
}

TEST_P(FleetTest, AHelloIsAnsweredPageAfterPageWhileMoreRemain) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    const int bans = qzm::kPageMax + 10;
    FleetBody ack;
    for (int i = 1; i <= bans; ++i) {
        char guid[16];
        snprintf(guid, sizeof guid, "G%04d", i);
        a->report(static_cast<uint32_t>(i), guid, "Many");
        ASSERT_TRUE(a->await(3000, pump(), answerTo(static_cast<uint32_t>(i)), &ack));
    }
    std::vector<FleetBody> page;
    FleetBody end;
    std::set<uint64_t> seen;
    uint64_t sync = 0;
    int pages = 0;
    do {
        ASSERT_TRUE(
            helloPage(b.get(), static_cast<uint32_t>(100 + pages), sync, pump(), &page, &end));
        EXPECT_EQ(end.count, page.size());
        EXPECT_LE(page.size(), static_cast<size_t>(qzm::kPageMax));
        for (const FleetBody& p : page) seen.insert(p.fleetId);
        sync = end.change;
        ++pages;
    } while (end.more && pages < 10);
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(seen.size(), static_cast<size_t>(bans));
}

TEST_P(FleetTest, AReusedReportIdWithOtherContentIsRefusedLoggedAndCountedAndCreatesNothing) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody ack, again;
    a->report(1, kGuid, "First");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));
    EXPECT_STREQ(ack.verdict, "ACK");
    EXPECT_EQ(ack.epoch, a->epoch);

    // The same id again, naming another player (a queue file lost, its counter back at 1).
    a->report(1, kOther, "Second");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &again));
    EXPECT_STREQ(again.verdict, "REFUSED");
    EXPECT_EQ(m->counters().refusedReports, 1);
    bool logged = false;
    for (const std::string& line : m->log()) logged |= line.find("REFUSED") != std::string::npos;
    EXPECT_TRUE(logged);

    // A new queue file draws a new epoch: the same counter is then a new report.
    a->epoch = 0x5eed0002;
    a->report(1, kOther, "Second");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &again));
    EXPECT_STREQ(again.verdict, "ACK");
    EXPECT_NE(again.fleetId, ack.fleetId);

    std::vector<qzm::BanListing> bans;
    std::string why;
    ASSERT_TRUE(store()->listBans(qzm::BanQuery{}, &bans, &why)) << why;
    ASSERT_EQ(bans.size(), 2u);
    EXPECT_STREQ(bans[0].rec.guid, kGuid);
    EXPECT_STREQ(bans[1].rec.guid, kOther);
}

TEST_P(FleetTest, AReusedUnbanReportIdWithOtherContentIsRefused) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody ack, answer;
    a->report(1, kGuid, "First");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));
    a->unban(2, kGuid, ack.fleetId);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &answer));
    EXPECT_STREQ(answer.verdict, "ACK");
    EXPECT_EQ(answer.fleetId, ack.fleetId);
    // Resent alike: the same answer, the same ids.
    a->unban(2, kGuid, ack.fleetId);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &answer));
    EXPECT_STREQ(answer.verdict, "ACK");
    EXPECT_EQ(std::string(answer.name), std::to_string(ack.fleetId));
    a->unban(2, kOther, 0);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &answer));
    EXPECT_STREQ(answer.verdict, "REFUSED");
    EXPECT_EQ(m->counters().refusedReports, 1);
}

TEST_P(FleetTest, ANameWithAnyBytesIsStoredExactlyAndDoesNotHoldUpTheQueue) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody ack, next;
    const char* name = "\xf6r\x67\xe9 \x80\xff~";  // not UTF-8
    a->report(1, kGuid, name, 0, 0, 1765432100);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));
    EXPECT_STREQ(ack.verdict, "ACK");
    a->report(2, kOther, "Plain");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(2), &next));
    EXPECT_STREQ(next.verdict, "ACK");

    std::vector<qzm::BanListing> bans;
    std::string why;
    ASSERT_TRUE(store()->listBans(qzm::BanQuery{}, &bans, &why)) << why;
    ASSERT_EQ(bans.size(), 2u);
    EXPECT_STREQ(bans[0].rec.name, name);
    // A restarted service reads it back byte for byte, and a resent report matches it.
    services_.clear();
    qzm::FleetService* again = startService();
    a->servicePort = again->port();
    a->report(1, kGuid, name, 0, 0, 1765432100);
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &next));
    EXPECT_STREQ(next.verdict, "ACK");
    EXPECT_EQ(next.fleetId, ack.fleetId);
    EXPECT_STREQ(again->state().ban(static_cast<int64_t>(ack.fleetId))->rec.name, name);
}

TEST_P(FleetTest, ALocalUnbanLiftsOnlyTheServersOwnBanAndAFleetUnbanSaysWhatItLifted) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody ackA, ackB, answer;
    a->report(1, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ackA));
    b->report(1, kGuid, "Cheater");
    ASSERT_TRUE(b->await(3000, pump(), answerTo(1), &ackB));

    // bravo lifts its ban of the GUID without knowing its id: alpha's stays.
    b->unban(2, kGuid, 0);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(2), &answer));
    EXPECT_STREQ(answer.verdict, "ACK");
    EXPECT_EQ(std::string(answer.name), std::to_string(ackB.fleetId));
    // Naming alpha's ban in its own scope lifts nothing.
    b->unban(3, kGuid, ackA.fleetId);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(3), &answer));
    EXPECT_STREQ(answer.name, "");
    EXPECT_EQ(answer.fleetId, 0u);
    b->lookup(4, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(4), &answer));
    EXPECT_STREQ(answer.verdict, "BANNED");
    EXPECT_EQ(answer.fleetId, ackA.fleetId);
    EXPECT_STREQ(answer.server, "alpha");

    // The deliberate fleet-wide lift does, and says so.
    b->unban(5, kGuid, 0, 0, QZF_SCOPE_FLEET);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(5), &answer));
    EXPECT_EQ(std::string(answer.name), std::to_string(ackA.fleetId));
    b->lookup(6, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(6), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
}

TEST_P(FleetTest, OneServersFloodCostsOnlyItsOwnBudget) {
    qzm::FleetOptions o;
    o.serverRate = 10;
    o.serverBurst = 100;
    qzm::FleetService* m = startService(o);
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody answer;
    // alpha sends ten times its burst (read as it comes, so the kernel drops none).
    for (int i = 0; i < 1000; ++i) {
        a->lookup(static_cast<uint32_t>(i + 1), kOther);
        if (i % 20 == 0) spin(1);
    }
    b->lookup(0x77, kGuid);
    ASSERT_TRUE(b->await(10000, pump(), answerTo(0x77), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
    spin(200);
    EXPECT_GT(m->counters().overBudget, 0);
    EXPECT_EQ(m->state().server("bravo")->overBudget, 0);
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
