// The UCON port's reading: a flood is spread over frames by the frame's time budget (driven here
// by a CPU clock under the test's control) and by the most datagrams a frame reads, and nothing
// that fits the socket's buffer is lost on the way.
#include "remote/uconport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "players/players_fixture.h"
#include "remote/ucon.h"
#include "remote/ucon_wire.h"
#include "util/clock.h"

namespace {

int freePort() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// The CPU clock each reading moves on by g_step microseconds.
long long g_cpu = 0;
long long g_step = 0;
long long steppedCpu() { return g_cpu += g_step; }

struct FloodCase {
    const char* what;
    long long step;  // CPU time that passes between two readings of the clock
    int datagrams;
    int perFrameMost;
};

void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.what; }

class UconFlood : public ::testing::TestWithParam<FloodCase> {};

TEST_P(UconFlood, ALoginFloodIsSpreadOverFramesAndNothingThatFitsIsLost) {
    const FloodCase& c = GetParam();
    BareState b;
    stQzSv* sv = b.sv.get();
    uconPortInit(sv);
    uconInit(sv);
    sv->set.extraPort = freePort();
    uconPortFrame(sv);
    ASSERT_GE(sv->ucon.port.sock, 0) << "the port did not open";

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(sv->set.extraPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string login = std::string(QZ_UCON_PREFIX) + "LOGIN admin " + std::string(32, 'a') +
                              " " + std::string(16, 'b') + " " + std::string(32, 'c');
    for (int i = 0; i < c.datagrams; ++i) {
        ASSERT_EQ(
            sendto(s, login.data(), login.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(login.size()));
    }
    close(s);

    g_cpu = 0;
    g_step = c.step;
    clockSetCpuSource(steppedCpu);
    unsigned long total = 0;
    int frames = 0, most = 0;
    for (int frame = 0; frame < 10000; ++frame) {
        const unsigned long before = sv->ucon.port.received;
        uconPortFrame(sv);
        const int read = static_cast<int>(sv->ucon.port.received - before);
        if (read == 0) break;
        total += static_cast<unsigned long>(read);
        frames++;
        if (read > most) most = read;
    }
    clockSetCpuSource(nullptr);
    uconPortClose(sv);
    EXPECT_EQ(total, static_cast<unsigned long>(c.datagrams)) << "datagrams were lost";
    EXPECT_LE(most, c.perFrameMost);
    EXPECT_GE(frames, (c.datagrams + c.perFrameMost - 1) / c.perFrameMost);
}

// Half the budget between readings: the frame reads two batches (the budget is spent after the
// second); the whole budget: one; a clock that stands still: the datagram bound alone.
INSTANTIATE_TEST_SUITE_P(
    Budgets, UconFlood,
    ::testing::Values(FloodCase{"half the budget per batch", QZ_UCON_FRAME_BUDGET_US / 2, 1000,
                                2 * QZ_UCON_BATCH},
                      FloodCase{"the whole budget per batch", QZ_UCON_FRAME_BUDGET_US, 300,
                                QZ_UCON_BATCH},
                      FloodCase{"a clock that stands still", 0, 1100, QZ_UCON_PER_FRAME}));

}  // namespace
