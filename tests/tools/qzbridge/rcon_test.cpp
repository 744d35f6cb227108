// The remote-console link against a fake server on a loopback port of the system's choice, and
// the budget that keeps within the server's request limit.
#include "qzbridge/rcon.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

TEST(Budget, AllowsABurstThenOneRequestPerPeriod) {
    qzb::Budget b(9, 1050);
    long long t = 100000;
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(b.take(t)) << i;
    EXPECT_FALSE(b.take(t));
    EXPECT_EQ(b.readyAt(t + 10), t + 1050);
    EXPECT_FALSE(b.take(t + 1049));
    EXPECT_TRUE(b.take(t + 1050));
    EXPECT_FALSE(b.take(t + 1051));
    // A long quiet time refills the whole burst, not more.
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(b.take(t + 60000)) << i;
    EXPECT_FALSE(b.take(t + 60000));
}

// A server that answers each "rcon PASSWORD COMMAND" with what answer() says, in one or more
// print packets, and records the commands.
class FakeServer {
  public:
    FakeServer() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~FakeServer() { close(fd_); }
    int port() const { return port_; }
    // Answers every request waiting now. PARTS: the packets of each answer.
    void serve(const std::vector<std::string>& parts) {
        char buffer[2048];
        sockaddr_in from{};
        socklen_t n = sizeof from;
        for (;;) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0) break;
            ssize_t got =
                recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n);
            if (got <= 0) break;
            packets.emplace_back(buffer, static_cast<size_t>(got));
            for (const std::string& part : parts) {
                std::string out = "\xff\xff\xff\xffprint\n" + part;
                sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
            }
        }
    }
    std::vector<std::string> packets;

  private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(BridgeRcon, CommandsGoOneAtATimeAndAnswersAreCollected) {
    FakeServer server;
    qzb::Rcon rcon;
    std::string error;
    ASSERT_TRUE(rcon.open("127.0.0.1", server.port(), "", &error)) << error;
    rcon.setPassword("pw");
    rcon.send("status", qzb::Purpose::kStatus, -1, false);
    rcon.send("dumpuser 3", qzb::Purpose::kDumpUser, 3, true);
    rcon.send("serverinfo", qzb::Purpose::kServerInfo, -1, false);
    std::vector<qzb::Reply> replies;
    long long end = qzb::Rcon::nowMs() + 3000;
    while (replies.size() < 3 && qzb::Rcon::nowMs() < end) {
        rcon.pump(qzb::Rcon::nowMs());
        qzb::Reply r;
        while (rcon.take(&r)) replies.push_back(r);
        // Only one request may be out at any moment: the next goes once the last is answered.
        server.serve({"part one\n", "part two\n"});
        EXPECT_LE(server.packets.size(), replies.size() + 1);
        usleep(2000);
    }
    ASSERT_EQ(replies.size(), 3u);
    // The urgent look-up went first.
    EXPECT_EQ(replies[0].command, "dumpuser 3");
    EXPECT_EQ(replies[0].client, 3);
    EXPECT_EQ(replies[1].command, "status");
    EXPECT_EQ(replies[2].purpose, qzb::Purpose::kServerInfo);
    for (const qzb::Reply& r : replies) {
        EXPECT_TRUE(r.answered);
        EXPECT_EQ(r.text, "part one\npart two\n");
    }
    ASSERT_EQ(server.packets.size(), 3u);
    EXPECT_EQ(server.packets[0], std::string("\xff\xff\xff\xffrcon pw dumpuser 3"));
}

TEST(BridgeRcon, ACommandWithoutAnswerIsGivenUpAndAWrongPasswordIsSeen) {
    FakeServer server;
    qzb::Rcon rcon;
    std::string error;
    ASSERT_TRUE(rcon.open("127.0.0.1", server.port(), "", &error)) << error;
    rcon.setPassword("pw");
    std::string answer;
    // Nobody answers: false after the time-out.
    long long t0 = qzb::Rcon::nowMs();
    EXPECT_FALSE(rcon.runNow("status", &answer, 300));
    EXPECT_GE(qzb::Rcon::nowMs() - t0, 290);
    server.serve({});
    qzb::Reply r;
    while (rcon.take(&r)) {
    }
    // Wait for the dropped command's own time-out, then a refusal comes back as such.
    usleep(1100 * 1000);
    rcon.pump(qzb::Rcon::nowMs());
    while (rcon.take(&r)) EXPECT_FALSE(r.answered);
    rcon.send("status", qzb::Purpose::kStatus, -1, false);
    long long end = qzb::Rcon::nowMs() + 2000;
    bool got = false;
    while (!got && qzb::Rcon::nowMs() < end) {
        rcon.pump(qzb::Rcon::nowMs());
        server.serve({"Bad rconpassword.\n"});
        got = rcon.take(&r);
        usleep(2000);
    }
    ASSERT_TRUE(got);
    EXPECT_TRUE(r.answered);
    EXPECT_TRUE(r.badPassword);
}

TEST(BridgeRcon, RefusesABadServerAddress) {
    qzb::Rcon rcon;
    std::string error;
    EXPECT_FALSE(rcon.open("no.such.host", 27960, "", &error));
    EXPECT_NE(error.find("bad server address"), std::string::npos);
    EXPECT_FALSE(rcon.open("127.0.0.1", 0, "", &error));
}

}  // namespace
