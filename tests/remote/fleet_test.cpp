// Fleet bans through a stand-in ban service: a UDP socket of the test on 127.0.0.1 that reads the
// module's sealed packets with the shared codec and answers as the test says.
#include "remote/fleet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/module_fixture.h"

namespace {

constexpr const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";
constexpr const char* kOther = "FEDCBA9876543210FEDCBA9876543210";
constexpr const char* kServer = "alpha";

std::string keyHex() { return std::string(64, '7'); }

// What the module sent, opened and checked as the service would.
struct Sent {
    FleetBody body;
    std::string text;
};

class Fleet : public ModuleTest {
  protected:
    void configure(sim::SimHost& host) override {
        ModuleTest::configure(host);
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        std::string dir = gameHome() + "/qz/";
        std::filesystem::create_directories(dir);
        writeKey(dir, 0600);
        std::ofstream cfg(dir + "qzsvuser.cfg");
        cfg << "qz_sv_FleetService 127.0.0.1:" << port_ << "\r\n"
            << "qz_sv_FleetServer " << kServer << "\r\n";
        unsigned char* k = key_;
        ASSERT_TRUE(fleetKeyParse(keyHex().data(), 64, k));
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
        ModuleTest::TearDown();
    }
    void writeKey(const std::string& dir, mode_t mode) {
        std::string path = dir + "qzfleet.key";
        {
            std::ofstream out(path);
            out << keyHex() << "\n";
        }
        chmod(path.c_str(), mode);
    }
    // Every packet the module has sent so far, opened with the key (a bad one fails the test).
    std::vector<Sent> drain() {
        std::vector<Sent> out;
        for (;;) {
            char buf[QZF_PACKET_MAX + 1];
            socklen_t len = sizeof module_;
            ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&module_), &len);
            if (n <= 0) break;
            FleetEnvelope env;
            EXPECT_EQ(fleetOpen(buf, static_cast<int>(n), &env), QZF_OK);
            EXPECT_STREQ(env.server, kServer);
            EXPECT_TRUE(fleetVerify(env, QZF_TO_SERVICE, key_));
            Sent s;
            s.text.assign(env.body, static_cast<size_t>(env.bodyLen));
            EXPECT_TRUE(fleetParse(env.body, env.bodyLen, &s.body)) << s.text;
            out.push_back(s);
        }
        return out;
    }
    // Runs frames (ms of clock each) and collects what the module sent.
    std::vector<Sent> pump(int frames = 1, long long ms = 0) {
        std::vector<Sent> all;
        for (int i = 0; i < frames; ++i) {
            run("sim_advance " + std::to_string(ms));
            usleep(500);
            for (Sent& s : drain()) all.push_back(s);
        }
        return all;
    }
    static std::vector<Sent> ofKind(const std::vector<Sent>& in, char kind, bool hello = false) {
        std::vector<Sent> out;
        for (const Sent& s : in)
            if (s.body.kind == kind && (kind != QZF_QUERY || s.body.sync == hello))
                out.push_back(s);
        return out;
    }
    // Seals body and sends it to the module, then runs a frame; returns that frame's lines.
    std::vector<std::string> deliver(const std::string& body, uint64_t counter = 0,
                                     char dir = QZF_TO_SERVER, const char* server = kServer,
                                     const unsigned char* key = nullptr) {
        std::string packet = seal(body, counter, dir, server, key);
        sendRaw(packet);
        return run("sim_advance 0");
    }
    std::string seal(const std::string& body, uint64_t counter = 0, char dir = QZF_TO_SERVER,
                     const char* server = kServer, const unsigned char* key = nullptr) {
        if (!counter) counter = ++counter_;
        char pkt[QZF_PACKET_MAX + 1];
        int n = fleetSeal(pkt, sizeof pkt, body.data(), static_cast<int>(body.size()), server,
                          counter, dir, key ? key : key_);
        EXPECT_GT(n, 0);
        return std::string(pkt, static_cast<size_t>(n));
    }
    void sendRaw(const std::string& packet) {
        ASSERT_NE(module_.sin_port, 0) << "the module has not sent anything yet";
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&module_),
               sizeof module_);
        usleep(1000);
    }
    static std::string answer(uint64_t fleetId, uint32_t id, const char* verdict,
                              const char* guid) {
        FleetBody b{};
        b.kind = QZF_ANSWER;
        b.fleetId = fleetId;
        b.id = id;
        strcpy(b.verdict, verdict);
        strcpy(b.guid, guid);
        strcpy(b.name, "Cheater");
        strcpy(b.answerKind, "GUID");
        char out[QZF_PACKET_MAX];
        int n = fleetFormat(out, sizeof out, b);
        return std::string(out, static_cast<size_t>(n));
    }
    static std::string push(uint64_t fleetId, const char* guid, char kind = QZF_PUSH) {
        FleetBody b{};
        b.kind = kind;
        b.fleetId = fleetId;
        b.id = 1;
        strcpy(b.guid, guid);
        strcpy(b.server, "beta");
        strcpy(b.name, "Cheater");
        b.time = 1767225600;
        char out[QZF_PACKET_MAX];
        int n = fleetFormat(out, sizeof out, b);
        return std::string(out, static_cast<size_t>(n));
    }
    std::string file(const char* name) {
        std::ifstream in(home() + name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Shuts the module down and starts it again on the same home: the fleet files are written
    // line by line as things happen and the shutdown adds nothing to them, so the new start reads
    // what a kill -9 would have left.
    void restart() {
        host().shutdown();
        ASSERT_EQ(host().start(), 0);
    }
    bool connected(int slot) { return host().client(slot) != nullptr; }

    int fd_ = -1;
    int port_ = 0;
    unsigned char key_[QZF_KEY_BYTES] = {};
    sockaddr_in module_{};
    uint64_t counter_ = 1000;
};

TEST_F(Fleet, AHelloWithTheSyncPointGoesOutAtStart) {
    auto sent = pump(2);
    auto hellos = ofKind(sent, QZF_QUERY, true);
    ASSERT_FALSE(hellos.empty());
    EXPECT_STREQ(hellos[0].body.guid, "*");
    EXPECT_EQ(hellos[0].body.fleetId, 0u);
    EXPECT_TRUE(ofKind(pump(1, 29000), QZF_QUERY, true).empty());
    EXPECT_EQ(ofKind(pump(1, 1000), QZF_QUERY, true).size(), 1u) << "again after 30 s";
}

TEST_F(Fleet, AFleetBanIsQueuedBeforeTheAnswerSurvivesARestartAndIsSentUntilAcknowledged) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    auto out = run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    EXPECT_TRUE(anyLineContains(out, "report 1 queued")) << testing::PrintToString(out);
    // In the file when the command has answered.
    std::string q = file("qzfleetq.dat");
    EXPECT_NE(q.find(std::string("+ BBanServ1 ")), std::string::npos) << q;
    EXPECT_NE(q.find(std::string("1G ") + kGuid + " 10.0.0.5:27960 console \"Cheater\""),
              std::string::npos)
        << q;
    EXPECT_FALSE(connected(1));

    // Sent at once, then again after 1 s, 2 s, 4 s: the wait doubles.
    EXPECT_EQ(ofKind(drain(), QZF_REPORT).size(), 1u);
    EXPECT_EQ(ofKind(pump(1, 900), QZF_REPORT).size(), 0u);
    EXPECT_EQ(ofKind(pump(1, 100), QZF_REPORT).size(), 1u);
    EXPECT_EQ(ofKind(pump(1, 1900), QZF_REPORT).size(), 0u);
    EXPECT_EQ(ofKind(pump(1, 100), QZF_REPORT).size(), 1u);

    restart();
    auto again = ofKind(pump(2), QZF_REPORT);
    ASSERT_EQ(again.size(), 1u) << "the restarted module sends the queued report";
    EXPECT_EQ(again[0].body.id, 1u);
    EXPECT_STREQ(again[0].body.guid, kGuid);

    out = deliver(answer(7, 1, QZF_ACK, kGuid));
    EXPECT_TRUE(anyLineContains(out, "ban report 1 for")) << testing::PrintToString(out);
    EXPECT_TRUE(ofKind(pump(5, 60000), QZF_REPORT).empty()) << "never sent after its ACK";
    restart();
    EXPECT_TRUE(ofKind(pump(3, 2000), QZF_REPORT).empty()) << "nor after a restart";
    // The next report takes a new number.
    host().connect("Other", kOther, "10.0.0.6:27960");
    out = run("qz_sv_FleetScope fleet qz_sv_Ban 1 wallhack");
    auto next = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].body.id, 2u);
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
    auto out = deliver(answer(9, q[0].body.id, QZF_BANNED, kGuid));
    EXPECT_FALSE(connected(1));
    EXPECT_TRUE(anyLineContains(out, "KBANNED (slot #1)")) << testing::PrintToString(out);
    EXPECT_TRUE(anyLineContains(out, "GLOBAL Kestrine GUID BAN"));
}

TEST_F(Fleet, AClearAnswerOrAnAnswerForAnotherRequestLeavesThePlayer) {
    pump(2);
    host().connect("Player", kGuid, "10.0.0.5:27960");
    auto q = ofKind(drain(), QZF_QUERY);
    ASSERT_EQ(q.size(), 1u);
    deliver(answer(0, q[0].body.id, QZF_CLEAR, kGuid));
    deliver(answer(9, q[0].body.id ^ 1, QZF_BANNED, kGuid));
    EXPECT_TRUE(connected(1));
}

TEST_F(Fleet, APushRemovesEveryPlayerWithThatGuidAndNobodyElse) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    host().connect("Honest", kOther, "10.0.0.6:27960");
    sim::SimClient* honest = host().client(2);
    ASSERT_NE(honest, nullptr);
    auto out = deliver(push(11, kGuid));
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
    deliver(push(12, kGuid));
    close(fd_);  // the service goes away
    fd_ = -1;
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
    deliver(push(13, kGuid));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 0);
    deliver(push(13, kGuid, QZF_LIFT));
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1);
}

TEST_F(Fleet, ForgedReplayedReflectedAndStrangersPacketsAreRefusedCountedAndNotApplied) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    unsigned char otherKey[QZF_KEY_BYTES] = {9};
    std::string good = seal(push(14, kOther), 5000);
    struct Case {
        const char* what;
        std::string packet;
    } cases[] = {
        {"bad-mac", seal(push(14, kGuid), 0, QZF_TO_SERVER, kServer, otherKey)},
        {"bad-mac", seal(push(14, kGuid), 0, QZF_TO_SERVICE)},  // reflected
        {"unknown-server", seal(push(14, kGuid), 0, QZF_TO_SERVER, "beta")},
        {"bad-syntax", std::string("PBanServ14 1 ") + kGuid + "\nQZF1 alpha 1 zz"},
        {"bad-syntax", seal("QBanServ1 0|1 GUID=* EXTRA=sync:0")},  // a server's message
    };
    for (const Case& c : cases) {
        sendRaw(c.packet);
        run("sim_advance 0");
        EXPECT_TRUE(connected(1)) << c.what;
    }
    // Altered on the way: one byte of the GUID changed.
    std::string altered = seal(push(14, kOther), 6000);
    altered[altered.find(kOther) + 1] = '0';
    sendRaw(altered);
    run("sim_advance 0");
    EXPECT_TRUE(connected(1));

    sendRaw(good);
    run("sim_advance 0");
    sendRaw(good);  // replayed
    run("sim_advance 0");
    // A replay of a counter far below the window.
    sendRaw(seal(push(15, kGuid), 5000 - 65));
    run("sim_advance 0");
    EXPECT_TRUE(connected(1));
    auto out = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(out,
                                "packets accepted 1; refused: bad-syntax 2, unknown-server 1, "
                                "cut-off 0, bad-mac 3, replay 2"))
        << testing::PrintToString(out);
}

TEST_F(Fleet, TheReplayWindowSurvivesARestart) {
    pump(2);
    std::string p = seal(push(16, kOther), 7000);
    sendRaw(p);
    run("sim_advance 0");
    restart();
    pump(2);
    sendRaw(seal(push(17, kGuid), 7000));  // the same counter after the restart
    run("sim_advance 0");
    auto out = run("qz_sv_FleetStatus");
    EXPECT_TRUE(anyLineContains(out, "replay 1")) << testing::PrintToString(out);
}

TEST_F(Fleet, UnbanningAFleetBanUnbansItFleetWide) {
    pump(2);
    host().connect("Cheater", kGuid, "10.0.0.5:27960");
    run("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    auto r = ofKind(drain(), QZF_REPORT);
    ASSERT_EQ(r.size(), 1u);
    deliver(answer(21, r[0].body.id, QZF_ACK, kGuid));
    auto out = run(std::string("qz_sv_UnbanGuid ") + kGuid);
    ASSERT_GE(out.size(), 2u);
    EXPECT_NE(out[out.size() - 2].find("has been Unbanned"), std::string::npos);
    EXPECT_NE(out.back().find("Unbanned fleet-wide"), std::string::npos) << out.back();
    auto u = ofKind(drain(), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_STREQ(u[0].body.guid, kGuid);
    EXPECT_EQ(u[0].body.id, 2u);
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1) << "admitted again";
}

TEST_F(Fleet, AnotherServersFleetBanIsLiftedByUnbanGuidHere) {
    pump(2);
    deliver(push(23, kGuid));
    auto out = run(std::string("qz_sv_UnbanGuid ") + kGuid);
    ASSERT_GE(out.size(), 2u);
    EXPECT_NE(out[out.size() - 2].find("Not Found in the Ban List"), std::string::npos);
    EXPECT_NE(out.back().find("Unbanned fleet-wide"), std::string::npos) << out.back();
    auto u = ofKind(drain(), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
    EXPECT_STREQ(u[0].body.guid, kGuid);
    EXPECT_EQ(host().connect("Cheater", kGuid, "10.0.0.5:27960"), 1);
    // A GUID the fleet does not ban gets the usual message alone.
    out = run(std::string("qz_sv_UnbanGuid ") + kOther);
    EXPECT_FALSE(anyLineContains(out, "fleet-wide"));
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
            deliver(answer(30, r[0].body.id, QZF_ACK, kGuid));
            run(std::string("qz_sv_UnbanGuid ") + kGuid);
            drain();
        }
    }
}

TEST_F(Fleet, UnbanningALocalBanSendsNothing) {
    pump(2);
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
    deliver(answer(22, 1, QZF_ACK, kGuid));
    auto u = ofKind(pump(1), QZF_UNBAN);
    ASSERT_EQ(u.size(), 1u);
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
