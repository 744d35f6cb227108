// Fleet bans through a stand-in ban service: a UDP socket of the test on 127.0.0.1 that reads the
// module's sealed packets with the shared codec and answers as the test says.
#include "remote/fleet.h"

#include "remote/fleet_module_fixture.h"

namespace {

using namespace fleettest;

class Fleet : public FleetFixture {};

TEST_F(Fleet, AHelloWithTheSyncPointGoesOutAtStart) {
    auto sent = pump(2);
    auto hellos = ofKind(sent, QZF_QUERY, true);
    ASSERT_FALSE(hellos.empty());
    EXPECT_STREQ(hellos[0].body.guid, "*");
    EXPECT_EQ(hellos[0].body.fleetId, 0u);
    // Its last page answered: the next one after the usual period.
    deliver(page(hellos.back().body.id, 0, 0, 0, false));
    EXPECT_TRUE(ofKind(pump(1, 29000), QZF_QUERY, true).empty());
    EXPECT_EQ(ofKind(pump(1, 1000), QZF_QUERY, true).size(), 1u) << "again after 30 s";
}

TEST_F(Fleet, AFleetBanIsQueuedBeforeTheAnswerSurvivesARestartAndIsSentUntilAcknowledged) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    auto out = run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    EXPECT_TRUE(anyLineContains(out, ":1 queued")) << testing::PrintToString(out);
    // In the file when the command has answered.
    std::string q = file("qzfleetq.dat");
    EXPECT_NE(q.find(std::string("+ BBanServ")), std::string::npos) << q;
    EXPECT_NE(q.find(std::string("1G ") + kGuid + " 10.0.0.5:27960 console \"Cheater\""),
              std::string::npos)
        << q;
    EXPECT_FALSE(connected(1));

    // Sent at once, then again after 1 s, 2 s, 4 s: the wait doubles.
    auto first = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0].body.epoch, 0u);
    EXPECT_EQ(first[0].body.id, 1u);
    EXPECT_EQ(ofKind(pump(1, 900), QZF_REPORT).size(), 0u);
    EXPECT_EQ(ofKind(pump(1, 100), QZF_REPORT).size(), 1u);
    EXPECT_EQ(ofKind(pump(1, 1900), QZF_REPORT).size(), 0u);
    EXPECT_EQ(ofKind(pump(1, 100), QZF_REPORT).size(), 1u);

    restart();
    auto again = ofKind(pump(2), QZF_REPORT);
    ASSERT_EQ(again.size(), 1u) << "the restarted module sends the queued report";
    EXPECT_EQ(again[0].body.epoch, first[0].body.epoch) << "under its own id";
    EXPECT_EQ(again[0].body.id, 1u);
    EXPECT_STREQ(again[0].body.guid, kGuid);

    out = deliver(answer(7, first[0].body.epoch, 1, QZF_ACK, kGuid));
    EXPECT_TRUE(anyLineContains(out, "ban report")) << testing::PrintToString(out);
    EXPECT_TRUE(anyLineContains(out, "acknowledged (fleet ban #7)")) << testing::PrintToString(out);
    EXPECT_TRUE(ofKind(pump(5, 60000), QZF_REPORT).empty()) << "never sent after its ACK";
    restart();
    EXPECT_TRUE(ofKind(pump(3, 2000), QZF_REPORT).empty()) << "nor after a restart";
    // The next report takes an id never used before: this start's epoch is a new one.
    host().connect("Other", kOther, "10.0.0.6:27960");
    out = run("qz_sv_FleetScope fleet qz_sv_Ban 1 wallhack");
    auto next = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_NE(next[0].body.epoch, first[0].body.epoch);
}

TEST_F(Fleet, ABanOfThisServerOnlySendsNothing) {
    pump(2);
    struct Case {
        const char* setup;
        const char* ban;
    } cases[] = {
        {"qz_sv_FleetBanDefault 0", "qz_sv_Ban 1 x"},
        {"qz_sv_FleetBanDefault 1", "qz_sv_FleetScope local qz_sv_Ban 1 x"},
        {"qz_sv_FleetBanDefault 0",
         "qz_sv_BanGuid "
         "0123456789ABCDEF0123456789ABCDEF n 1.2.3.4 r"},
        {"qz_sv_FleetBanDefault 1", "qz_sv_BanMask 10.0.0.*"},
    };
    for (const Case& c : cases) {
        host().connect("Player", kGuid, "10.0.0.5:27960");
        run(c.setup);
        auto out = run(c.ban);
        EXPECT_FALSE(anyLineContains(out, "Fleet-wide")) << c.ban;
        EXPECT_TRUE(ofKind(pump(3, 1000), QZF_REPORT).empty()) << c.ban;
        run("qz_sv_BanEmpty");
        if (connected(1)) host().drop(1);
    }
    EXPECT_EQ(file("qzfleetq.dat").find("+ "), std::string::npos);
}

TEST_F(Fleet, TheDefaultMakesBanGuidFleetWide) {
    pump(2);
    run("qz_sv_FleetBanDefault 1");
    auto out = run(std::string("qz_sv_BanGuid ") + kGuid + " Cheater 10.0.0.5 aimbot");
    EXPECT_TRUE(anyLineContains(out, "Ban Added to Ban List"));
    EXPECT_TRUE(anyLineContains(out, "Fleet-wide ban of"));
    auto r = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_STREQ(r[0].body.name, "Cheater");
    EXPECT_STREQ(r[0].body.addr, "10.0.0.5");
}

TEST_F(Fleet, ABannedAnswerRemovesTheConnectingPlayerWithTheFleetReason) {
    pump(2);
    int slot = host().connect("Cheater", kGuid, "10.0.0.5:27960");
    ASSERT_EQ(slot, 1) << "admitted at once";
    auto q = ofKind(drain(), QZF_QUERY);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_STREQ(q[0].body.guid, kGuid);
    EXPECT_STREQ(q[0].body.addr, "10.0.0.5:27960");
    EXPECT_EQ(q[0].body.slot, 1u);
    sim::SimClient* c = host().client(1);
    ASSERT_NE(c, nullptr);
    auto out = deliver(answer(9, 0, q[0].body.id, QZF_BANNED, kGuid, "Cheater", "GUID", "beta"));
    EXPECT_FALSE(connected(1));
    EXPECT_TRUE(anyLineContains(out, "KBANNED (slot #1)")) << testing::PrintToString(out);
    EXPECT_TRUE(anyLineContains(out, "GLOBAL Kestrine GUID BAN (fleet ban #9 from beta)"))
        << testing::PrintToString(out);
    // Known from then on, with the server that made it.
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 0);
    EXPECT_TRUE(
        host().contains("Connection Refused: GLOBAL Kestrine GUID BAN (fleet ban #9 from beta)"));
}

TEST_F(Fleet, AClearAnswerOrAnAnswerForAnotherRequestLeavesThePlayer) {
    pump(2);
    host().connect("Player", kGuid, "10.0.0.5:27960");
    auto q = ofKind(drain(), QZF_QUERY);
    ASSERT_EQ(q.size(), 1u);
    deliver(answer(0, 0, q[0].body.id, QZF_CLEAR, kGuid));
    deliver(answer(9, 0, q[0].body.id ^ 1, QZF_BANNED, kGuid));
    EXPECT_TRUE(connected(1));
}

TEST_F(Fleet, APushRemovesEveryPlayerWithThatGuidAndNobodyElse) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    host().connect("Honest", kOther, "10.0.0.6:27960");
    sim::SimClient* honest = host().client(2);
    ASSERT_NE(honest, nullptr);
    auto out = deliver(push(11, kGuid, 1));
    EXPECT_FALSE(connected(1));
    EXPECT_TRUE(connected(2));
    bool announced = false;
    for (const std::string& t : honest->received)
        if (t.find("Cheater is banned") != std::string::npos) announced = true;
    EXPECT_TRUE(announced) << "the others are told";
    EXPECT_TRUE(anyLineContains(out, "KBANNED (slot #1)"));
}

TEST_F(Fleet, KnownFleetBansRefuseAtConnectAfterARestartWithTheServiceAway) {
    pump(2);
    deliver(push(12, kGuid, 1));
    close(stands_[0].fd);  // the service goes away
    stands_[0].fd = -1;
    restart();
    run("sim_advance 0");
    int slot = host().connect("Cheater", kGuid, "10.0.0.5:27960");
    EXPECT_EQ(slot, 0) << "refused";
    EXPECT_TRUE(host().contains("BANNED (slot #1)"));
    EXPECT_TRUE(host().contains("GLOBAL Kestrine GUID BAN"));
    EXPECT_NE(host().connect("Honest", kOther, "10.0.0.6:27960"), 0);
}

TEST_F(Fleet, ALiftedFleetBanAdmitsAgain) {
    pump(2);
    deliver(push(13, kGuid, 1));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 0);
    deliver(push(13, kGuid, 2, QZF_LIFT));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1);
}

TEST_F(Fleet, ForgedReplayedReflectedAndStrangersPacketsAreRefusedCountedAndNotApplied) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    unsigned char otherKey[QZF_KEY_BYTES] = {9};
    std::string good = seal(push(14, kOther, 1), 5000);
    struct Case {
        const char* what;
        std::string packet;
    } cases[] = {
        {"bad-mac", seal(push(14, kGuid, 1), 0, QZF_TO_SERVER, kServer, otherKey)},
        {"bad-mac", seal(push(14, kGuid, 1), 0, QZF_TO_SERVICE)},  // reflected
        {"unknown-server", seal(push(14, kGuid, 1), 0, QZF_TO_SERVER, "beta")},
        {"bad-syntax", std::string("PBanServ14 1 ") + kGuid + "\nQZF1 alpha 1 zz"},
        {"bad-syntax",
         seal(std::string("PBanServ14 0 ") + kGuid + " beta \"x\" 1 0")},  // no change
        {"bad-syntax", seal("QBanServ1 0|1 GUID=* EXTRA=sync:0")},         // a server's message
    };
    for (const Case& c : cases) {
        sendRaw(c.packet);
        run("sim_advance 0");
        EXPECT_TRUE(connected(1)) << c.what;
    }
    // Altered on the way: one byte of the GUID changed.
    std::string altered = seal(push(14, kOther, 1), 6000);
    altered[altered.find(kOther) + 1] = '0';
    sendRaw(altered);
    run("sim_advance 0");
    EXPECT_TRUE(connected(1));

    sendRaw(good);
    run("sim_advance 0");
    sendRaw(good);  // replayed
    run("sim_advance 0");
    // A replay of a counter far below the window.
    sendRaw(seal(push(15, kGuid, 2), 5000 - 65));
    run("sim_advance 0");
    EXPECT_TRUE(connected(1));
    auto out = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(out,
                                "packets accepted 1; refused: bad-syntax 3, unknown-server 1, "
                                "cut-off 0, bad-mac 3, replay 2"))
        << testing::PrintToString(out);
}

TEST_F(Fleet, TheReplayWindowSurvivesARestart) {
    pump(2);
    std::string p = seal(push(16, kOther, 1), 7000);
    sendRaw(p);
    run("sim_advance 0");
    restart();
    pump(2);
    sendRaw(seal(push(17, kGuid, 2), 7000));  // the same counter after the restart
    run("sim_advance 0");
    auto out = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(out, "replay 1")) << testing::PrintToString(out);
}

TEST_F(Fleet, UnbanningThisServersFleetBanLiftsThatBanOnly) {
    synced();
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    auto r = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(r.size(), 1u);
    deliver(answer(21, r[0].body.epoch, r[0].body.id, QZF_ACK, kGuid));
    auto out = run(std::string("qz_sv_UnbanGuid ") + kGuid);
    ASSERT_GE(out.size(), 2u);
    EXPECT_NE(out[out.size() - 2].find("has been Unbanned"), std::string::npos);
    EXPECT_NE(out.back().find("this server's fleet ban is lifted"), std::string::npos)
        << out.back();
    auto u = ofKind(drain(), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_STREQ(u[0].body.guid, kGuid);
    EXPECT_EQ(u[0].body.fleetId, 21u) << "its own ban, by id";
    EXPECT_STREQ(u[0].body.scope, QZF_SCOPE_OWN);
    EXPECT_EQ(u[0].body.epoch, r[0].body.epoch);
    EXPECT_EQ(u[0].body.id, 2u);
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1) << "admitted again";
    // The service's answer says which fleet bans it lifted.
    out = deliver(answer(21, u[0].body.epoch, u[0].body.id, QZF_ACK, kGuid, "21", "UNBAN"));
    EXPECT_TRUE(anyLineContains(out, "acknowledged: fleet ban #21")) << testing::PrintToString(out);
}

TEST_F(Fleet, AnotherServersFleetBanStaysAfterALocalUnbanAndIsLiftedOnlyDeliberately) {
    synced();
    deliver(push(23, kGuid, 1));
    auto out = run(std::string("qz_sv_UnbanGuid ") + kGuid);
    EXPECT_TRUE(anyLineContains(out, "Not Found in the Ban List"));
    EXPECT_TRUE(anyLineContains(out, "stays banned by the fleet (fleet ban #23 from beta)"))
        << testing::PrintToString(out);
    EXPECT_TRUE(ofKind(pump(2, 1000), QZF_UNBAN).empty()) << "nothing is reported";
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 0) << "still refused";

    out = run(std::string("qz_sv_FleetScope fleet qz_sv_UnbanGuid ") + kGuid);
    EXPECT_TRUE(anyLineContains(out, "every fleet ban of it is lifted fleet-wide"))
        << testing::PrintToString(out);
    auto u = ofKind(drain(), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_STREQ(u[0].body.guid, kGuid);
    EXPECT_EQ(u[0].body.fleetId, 0u);
    EXPECT_STREQ(u[0].body.scope, QZF_SCOPE_FLEET);
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1);
    out = deliver(answer(23, u[0].body.epoch, u[0].body.id, QZF_ACK, kGuid, "23,31", "UNBAN"));
    EXPECT_TRUE(anyLineContains(out, "fleet ban #23, #31")) << testing::PrintToString(out);
    // A GUID the fleet does not ban gets the usual message alone.
    out = run(std::string("qz_sv_UnbanGuid ") + kOther);
    EXPECT_FALSE(anyLineContains(out, "fleet"));
}

TEST_F(Fleet, APermanentVoteKickIsReportedOnlyWhenVoteBansAreFleetWide) {
    pump(2);
    const char* voters[] = {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB",
                            "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC"};
    run("qz_sv_PowerMin 10");
    for (const char* g : voters) run(std::string("qz_sv_PowerGuid ") + g + " 40 V");
    for (int v = 0; v < 3; ++v) {
        const std::string n = std::to_string(v + 1);
        host().connect("Voter" + n, voters[v], "1.2.3." + n + ":27960");
    }
    struct Case {
        const char* minutes;
        const char* voteBan;
        bool reported;
    } cases[] = {{"0", "1", true}, {"0", "0", false}, {"5", "1", false}};
    for (const Case& c : cases) {
        run(std::string("qz_sv_PowerKickLen ") + c.minutes);
        run(std::string("qz_sv_FleetVoteBan ") + c.voteBan);
        run("qz_sv_BanEmpty");
        int target = host().connect("Dan", kGuid, "1.2.3.9:27960");
        ASSERT_GT(target, 0);
        for (int v = 1; v <= 3; ++v)
            run("sim_vote " + std::to_string(v) + " " + std::to_string(target));
        EXPECT_FALSE(connected(target));
        auto r = ofKind(drain(), QZF_REPORT);
        EXPECT_EQ(r.size(), c.reported ? 1u : 0u) << c.minutes << " " << c.voteBan;
        if (!r.empty()) {
            // The deciding voter (the third, GUID C...) is named by his GUID.
            EXPECT_EQ(std::string(r[0].body.origin), "vote:" + std::string(32, 'C'));
            EXPECT_STREQ(r[0].body.guid, kGuid);
            deliver(answer(30, r[0].body.epoch, r[0].body.id, QZF_ACK, kGuid));
            run(std::string("qz_sv_UnbanGuid ") + kGuid);
            drain();
        }
    }
}

TEST_F(Fleet, UnbanningALocalBanSendsNothing) {
    synced();
    host().connect("Player", kGuid, "10.0.0.5:27960");
    run("qz_sv_Ban 1 x");
    auto out = run("qz_sv_UnBan 1");
    EXPECT_FALSE(anyLineContains(out, "fleet-wide"));
    EXPECT_TRUE(ofKind(pump(2, 1000), QZF_UNBAN).empty());
}

TEST_F(Fleet, AnUnbanWaitsBehindTheBanItLifts) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    run(std::string("qz_sv_UnbanGuid ") + kGuid);
    auto first = drain();
    EXPECT_EQ(ofKind(first, QZF_REPORT).size(), 1u);
    EXPECT_TRUE(ofKind(first, QZF_UNBAN).empty()) << "not before the ban is acknowledged";
    auto b = ofKind(first, QZF_REPORT)[0].body;
    deliver(answer(22, b.epoch, b.id, QZF_ACK, kGuid));
    auto u = ofKind(pump(1), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].body.epoch, b.epoch);
    EXPECT_EQ(u[0].body.id, 2u);
}

class FleetOpenKey : public Fleet {
  protected:
    void configure(sim::SimHost& host) override {
        Fleet::configure(host);
        writeKey(gameHome() + "/qz/", 0644);
    }
};

TEST_F(FleetOpenKey, AKeyOthersMayReadIsNotUsedAndSaidOnce) {
    pump(3, 1000);
    int said = 0;
    for (const std::string& line : host().output())
        if (line.find("qzfleet.key may be read by group or others") != std::string::npos) said++;
    EXPECT_EQ(said, 1);
    EXPECT_TRUE(drain().empty());
    // Put right, it is taken within a minute without a restart, and nothing more is said.
    chmod((home() + "qzfleet.key").c_str(), 0600);
    auto sent = pump(2, 30000);
    EXPECT_FALSE(ofKind(sent, QZF_QUERY, true).empty());
    said = 0;
    for (const std::string& line : host().output())
        if (line.find("qzfleet.key may be read by group or others") != std::string::npos) said++;
    EXPECT_EQ(said, 1);
}

}  // namespace
