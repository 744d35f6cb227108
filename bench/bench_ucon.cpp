// UCON on loopback: the round trip of one command (sent by the client, dispatched by the next
// frame, the answer received by the client) with frames run back to back, and the frame cost of
// a burst of 1,000 packets with wrong passwords or bad headers. Each reports the median, the
// 99.9th percentile and the maximum of its samples.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qzucon/client.h"
#include "remote/ucon_wire.h"
#include "simhost/quiethost.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void reportTails(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
    state.counters["p50_us"] = at(0.5);
    state.counters["p999_us"] = at(0.999);
    state.counters["max_us"] = us.back();
}

int freeUdpPort() {
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

// A module with UCON on a free port and one console profile.
struct UconModule {
    sim::QuietHost host{"qzbench-ucon"};
    int port = freeUdpPort();
    UconModule() {
        std::ofstream(host.home() + "qzucon.use") << "";
        host.line("qz_sv_Restart");
        host.frame();
        host.line("qz_sv_extraport " + std::to_string(port));
        host.line("qz_sv_USessionLimit 4");
        host.line("qz_sv_UconAdd 1 127.0.0.* admin s3cret");
        host.frame();
    }
    static void pump(void* self) { static_cast<UconModule*>(self)->host.frame(); }
};

void BM_UconCommandRoundTrip(benchmark::State& state) {
    UconModule m;
    UconClient c;
    c.pump = UconModule::pump;
    c.pumpArg = &m;
    if (!uconClientConnect(&c, ("127.0.0.1:" + std::to_string(m.port)).c_str(), "admin", "s3cret") ||
        !uconClientLogin(&c, 2000)) {
        state.SkipWithError("login failed");
        return;
    }
    char line[1500];
    while (uconClientRecv(&c, line, sizeof line, 20) == 1) {
    }
    std::vector<double> us;
    us.reserve(100000);
    for (auto _ : state) {
        auto t0 = Clock::now();
        uconClientSend(&c, "qz_sv_HomePath");
        // The command's answer; its log echo lines come first.
        while (uconClientRecv(&c, line, sizeof line, 1000) == 1 && strncmp(line, "Home Path", 9)) {
        }
        us.push_back(micros(Clock::now() - t0));
    }
    reportTails(state, us);
    uconClientClose(&c);
}
BENCHMARK(BM_UconCommandRoundTrip)->UseRealTime();

void BM_UconFrameWithThousandBadPackets(benchmark::State& state) {
    UconModule m;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(m.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Logins with a fresh challenge and a wrong proof, and commands for a session that does
    // not exist.
    std::string hello = std::string(QZ_UCON_PREFIX) + "HELLO admin";
    sendto(s, hello.data(), hello.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    m.host.frame();
    char chal[256] = "";
    recv(s, chal, sizeof chal - 1, MSG_DONTWAIT);
    std::string challenge = std::string(chal).size() > 13 + 32 ? std::string(chal + 13, 32)
                                                               : std::string(32, 'a');
    std::vector<std::string> junk = {
        std::string(QZ_UCON_PREFIX) + "LOGIN admin " + challenge + " " + std::string(16, 'b') +
            " " + std::string(32, 'c'),
        std::string(QZ_UCON_PREFIX) + "CMD 0123456789abcdef 5 " + std::string(32, 'd') + " qz_sv_Ver",
    };
    std::vector<double> us;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < 1000; ++i) {
            const std::string& p = junk[static_cast<size_t>(i) % junk.size()];
            sendto(s, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        state.ResumeTiming();
        auto t0 = Clock::now();
        m.host.frame();
        us.push_back(micros(Clock::now() - t0));
    }
    close(s);
    reportTails(state, us);
}
BENCHMARK(BM_UconFrameWithThousandBadPackets)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
