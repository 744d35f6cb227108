// Fleet bans through stand-in ban services: UDP sockets of the test on 127.0.0.1 that read the
// module's sealed packets with the shared codec and answer as the test says. The module is
// configured with every stand-in as one of its masters (masters() of them, first one asked first).
#pragma once

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

#include "remote/fleet.h"
#include "support/module_fixture.h"

namespace fleettest {

constexpr const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";
constexpr const char* kOther = "FEDCBA9876543210FEDCBA9876543210";
constexpr const char* kServer = "alpha";

inline std::string keyHex() { return std::string(64, '7'); }

// What the module sent, opened and checked as the service would.
struct Sent {
    FleetBody body;
    std::string text;
};

// One stand-in master: its socket and the module's address as last seen from it.
struct Stand {
    int fd = -1;
    int port = 0;
    sockaddr_in module{};
    uint64_t counter = 1000;
};

class FleetFixture : public ModuleTest {
  protected:
    // How many stand-in masters the module is given.
    virtual int masters() const { return 1; }

    void configure(sim::SimHost& host) override {
        ModuleTest::configure(host);
        std::string list;
        for (int i = 0; i < masters(); i++) {
            Stand s;
            s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
            socklen_t len = sizeof a;
            getsockname(s.fd, reinterpret_cast<sockaddr*>(&a), &len);
            s.port = ntohs(a.sin_port);
            s.counter = 1000 + 1000000ull * static_cast<uint64_t>(i);
            stands_.push_back(s);
            list += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(s.port);
        }
        std::string dir = gameHome() + "/qz/";
        std::filesystem::create_directories(dir);
        writeKey(dir, 0600);
        std::ofstream cfg(dir + "qzsvuser.cfg");
        cfg << "qz_sv_FleetService " << list << "\r\n"
            << "qz_sv_FleetServer " << kServer << "\r\n";
        unsigned char* k = key_;
        ASSERT_TRUE(fleetKeyParse(keyHex().data(), 64, k));
    }
    void TearDown() override {
        for (Stand& s : stands_)
            if (s.fd >= 0) close(s.fd);
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
    // Every packet the module has sent to stand-in m so far, opened with the key (a bad one
    // fails the test).
    std::vector<Sent> drain(int m = 0) {
        std::vector<Sent> out;
        Stand& s = stands_[static_cast<size_t>(m)];
        for (;;) {
            char buf[QZF_PACKET_MAX + 1];
            socklen_t len = sizeof s.module;
            ssize_t n =
                recvfrom(s.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&s.module), &len);
            if (n <= 0) break;
            FleetEnvelope env;
            EXPECT_EQ(fleetOpen(buf, static_cast<int>(n), &env), QZF_OK);
            EXPECT_STREQ(env.server, kServer);
            EXPECT_TRUE(fleetVerify(env, QZF_TO_SERVICE, key_));
            Sent sent;
            sent.text.assign(env.body, static_cast<size_t>(env.bodyLen));
            EXPECT_TRUE(fleetParse(env.body, env.bodyLen, &sent.body)) << sent.text;
            out.push_back(sent);
            if (sent.body.kind == QZF_QUERY && sent.body.sync) lastHello_ = sent.body;
        }
        return out;
    }
    // Runs frames (ms of clock each) and collects what the module sent to stand-in m.
    std::vector<Sent> pump(int frames = 1, long long ms = 0, int m = 0) {
        std::vector<Sent> all;
        for (int i = 0; i < frames; ++i) {
            run("sim_advance " + std::to_string(ms));
            usleep(500);
            for (Sent& s : drain(m)) all.push_back(s);
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
    // Seals body and sends it to the module from stand-in m, then runs a frame; returns that
    // frame's lines.
    std::vector<std::string> deliver(const std::string& body, uint64_t counter = 0, int m = 0) {
        sendRaw(seal(body, counter, QZF_TO_SERVER, kServer, nullptr, m), m);
        return run("sim_advance 0");
    }
    std::string seal(const std::string& body, uint64_t counter = 0, char dir = QZF_TO_SERVER,
                     const char* server = kServer, const unsigned char* key = nullptr, int m = 0) {
        if (!counter) counter = ++stands_[static_cast<size_t>(m)].counter;
        char pkt[QZF_PACKET_MAX + 1];
        int n = fleetSeal(pkt, sizeof pkt, body.data(), static_cast<int>(body.size()), server,
                          counter, dir, key ? key : key_);
        EXPECT_GT(n, 0);
        return std::string(pkt, static_cast<size_t>(n));
    }
    void sendRaw(const std::string& packet, int m = 0) {
        Stand& s = stands_[static_cast<size_t>(m)];
        ASSERT_NE(s.module.sin_port, 0) << "the module has not sent anything to it yet";
        sendto(s.fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&s.module),
               sizeof s.module);
        usleep(1000);
    }
    static std::string answer(uint64_t fleetId, uint64_t epoch, uint32_t id, const char* verdict,
                              const char* guid, const char* name = "Cheater",
                              const char* kind = "GUID", const char* server = "") {
        FleetBody b{};
        b.kind = QZF_ANSWER;
        b.fleetId = fleetId;
        b.epoch = epoch;
        b.id = id;
        strcpy(b.verdict, verdict);
        strcpy(b.guid, guid);
        strcpy(b.name, name);
        strcpy(b.answerKind, kind);
        strcpy(b.server, server);
        char out[QZF_PACKET_MAX];
        int n = fleetFormat(out, sizeof out, b);
        EXPECT_GT(n, 0);
        return std::string(out, static_cast<size_t>(n));
    }
    // A push (or lift) of change `change`; id: the hello it answers, 0 for a live one.
    static std::string push(uint64_t fleetId, const char* guid, uint64_t change,
                            char kind = QZF_PUSH, uint32_t id = 0, const char* server = "beta") {
        FleetBody b{};
        b.kind = kind;
        b.fleetId = fleetId;
        b.id = id;
        b.change = change;
        strcpy(b.guid, guid);
        strcpy(b.server, server);
        strcpy(b.name, "Cheater");
        b.time = 1767225600;
        char out[QZF_PACKET_MAX];
        int n = fleetFormat(out, sizeof out, b);
        EXPECT_GT(n, 0);
        return std::string(out, static_cast<size_t>(n));
    }
    static std::string page(uint32_t helloId, uint64_t after, uint64_t upto, uint32_t count,
                            bool more) {
        FleetBody b{};
        b.kind = QZF_PAGE;
        b.id = helloId;
        b.after = after;
        b.change = upto;
        b.count = count;
        b.more = more ? 1 : 0;
        char out[QZF_PACKET_MAX];
        int n = fleetFormat(out, sizeof out, b);
        EXPECT_GT(n, 0);
        return std::string(out, static_cast<size_t>(n));
    }
    // Lets the module send its first hello and answers it with an empty last page: the module
    // then knows the whole fleet (nothing).
    void synced() {
        pump(2);
        ASSERT_TRUE(lastHello_.sync) << "no hello yet";
        deliver(page(lastHello_.id, lastHello_.fleetId, lastHello_.fleetId, 0, false));
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

    std::vector<Stand> stands_;
    unsigned char key_[QZF_KEY_BYTES] = {};
    FleetBody lastHello_{};
};

}  // namespace fleettest
