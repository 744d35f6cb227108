// The outbound packet queue and the module's UDP socket.
#include "remote/outq.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "commands/local_state.h"
#include "remote/udp.h"

namespace {

bool has(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(OutboundQueue, MalformedPacketsAreReportedAndNotQueued) {
    LocalState s;
    stQzOutQueue q{};
    ASSERT_TRUE(outqCreate(s.sv(), &q));
    std::string big(QZ_PKT_MAX + 1, 'x');
    struct Case {
        const char* address;
        long port;
        const char* data;
        long length;
        const char* message;
    } cases[] = {
        {"127.0.0.1", 27960, "x", 0,
         "Bad Outbound Packet: Invalid Packet Length (0) [127.0.0.1][27960][0]"},
        {"127.0.0.1", 27960, big.c_str(), QZ_PKT_MAX + 1,
         "Bad Outbound Packet: Invalid Packet Length (1401)"},
        {"127.000.000.000.001", 27960, "x", 1,
         "Bad Outbound Packet: Address Length (19) Exceeds Maximum"},
        {"127.0.0.1", 0, "x", 1, "Bad Outbound Packet: Invalid Port (0) Specified"},
        {"127.0.0.1", 65536, "x", 1, "Bad Outbound Packet: Invalid Port (65536) Specified"},
        {"not.an.ip", 27960, "x", 1, "ERROR: This game cannot send UDP packets to [not.an.ip] (b)"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(outqUdp(s.sv(), &q, c.address, c.port, c.data, c.length)) << c.message;
        EXPECT_TRUE(has(s.take(), c.message)) << c.message;
    }
    EXPECT_FALSE(outqClient(s.sv(), &q, 65, "x", 1));
    EXPECT_TRUE(has(s.take(), "Bad Outbound Packet: Invalid Client (65) Specified"));
    EXPECT_EQ(q.count, 0);
    outqFree(&q);
}

TEST(OutboundQueue, FullQueueRefusesAndFlushSendsInOrder) {
    LocalState s;
    stQzOutQueue q{};
    ASSERT_TRUE(outqCreate(s.sv(), &q));
    stQzUdp rx{-1, 0}, tx{-1, 0};
    ASSERT_TRUE(udpOpen(s.sv(), &rx, "127.0.0.1", 0, "test: "));
    ASSERT_TRUE(udpOpen(s.sv(), &tx, "127.0.0.1", 0, ""));
    EXPECT_TRUE(has(s.take(), "test: Listening for UDP on " + std::to_string(rx.port)));
    for (int i = 0; i < QZ_OUTQ_SIZE; ++i) {
        std::string p = "p" + std::to_string(i);
        ASSERT_TRUE(
            outqUdp(s.sv(), &q, "127.0.0.1", rx.port, p.data(), static_cast<long>(p.size())));
    }
    EXPECT_FALSE(outqUdp(s.sv(), &q, "127.0.0.1", rx.port, "late", 4));
    EXPECT_TRUE(has(s.take(), "ERROR Outbound Packet Queue Full - Packet Not Sent"));
    EXPECT_EQ(outqFlush(s.sv(), &q, &tx), QZ_OUTQ_PER_FRAME);
    EXPECT_EQ(q.count, QZ_OUTQ_SIZE - QZ_OUTQ_PER_FRAME);
    char buf[64];
    sockaddr_in from;
    for (int i = 0; i < 3; ++i) {
        int n = udpRecv(&rx, buf, sizeof buf, &from);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "p" + std::to_string(i));
    }
    udpClose(&rx);
    udpClose(&tx);
    outqFree(&q);
}

TEST(ModuleUdp, BindFailureIsReported) {
    LocalState s;
    stQzUdp a{-1, 0}, b{-1, 0};
    ASSERT_TRUE(udpOpen(s.sv(), &a, "127.0.0.1", 0, ""));
    EXPECT_FALSE(udpOpen(s.sv(), &b, "127.0.0.1", a.port, ""));
    EXPECT_TRUE(has(s.take(), "ERROR: Bind to UDP port " + std::to_string(a.port) + " failed {"));
    udpClose(&a);
}
