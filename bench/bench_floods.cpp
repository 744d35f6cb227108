// Floods against the administrator and the GUID check, on loopback, with the module's frames
// run every 50 ms of real time (and of its clock) while another thread floods at a set rate:
//
// - BM_UconLoginUnderHelloFlood/R: HELLO datagrams at R a second from 200 strangers' addresses
//   (127.0.1.x, outside the profile's mask 127.0.0.*); the administrator at 127.0.0.1 logs in.
//   Counters: logins that succeeded (of the iterations), and the login times.
// - BM_GuidRefusalUnderFlood/K/R: a player whose GUID the authentication server refuses
//   (NOAUTH) connects while one stranger sends empty (K=0) or foreign (K=1) datagrams at R a
//   second to the module's UDP port and to the port its requests leave from. Counters: players
//   refused within 10 s (of the iterations), and the times from connect to refusal.
//
// Each reports p50/p99/p99.9/max of the times. QZ_BENCH_SMOKE=1 (the test command's smoke run)
// makes one short iteration of each.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/qzsv.h"
#include "qzucon/client.h"
#include "remote/ucon_wire.h"
#include "simhost/simhost.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrameMs = 50;

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }

void reportTails(benchmark::State& state, std::vector<double> ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
    };
    state.counters["p50_ms"] = at(0.5);
    state.counters["p99_ms"] = at(0.99);
    state.counters["p999_ms"] = at(0.999);
    state.counters["max_ms"] = ms.back();
}

int boundSocket(const char* address, int port = 0) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int portOf(int s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

sockaddr_in loopback(int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

// The module linked in, on a simulated game server with its own home and a manual clock that
// each frame moves by kFrameMs, frames paced to real time.
struct Module {
    std::string temp;
    std::unique_ptr<sim::SimHost> host;
    Clock::time_point next = Clock::now();
    explicit Module(bool ucon) {
        char pattern[] = "/tmp/qzbench-flood-XXXXXX";
        temp = mkdtemp(pattern);
        std::filesystem::create_directories(temp + "/qz");
        if (ucon) std::ofstream(temp + "/qz/qzucon.use") << "";
        host = std::make_unique<sim::SimHost>();
        host->useEntryPoints(&sa, &sb);
        host->setManualClock(1767225600);
        host->setCvar("fs_homepath", temp);
        host->setCvar("fs_basepath", temp);
        host->start();
    }
    ~Module() {
        host->shutdown();
        host.reset();
        std::error_code ignored;
        std::filesystem::remove_all(temp, ignored);
    }
    void frame() {
        next += std::chrono::milliseconds(kFrameMs);
        std::this_thread::sleep_until(next);
        if (Clock::now() > next + std::chrono::milliseconds(kFrameMs)) next = Clock::now();
        host->advance(kFrameMs);
    }
    static void pump(void* self) { static_cast<Module*>(self)->frame(); }
};

// Sends packets from the sockets in turn at rate a second until stopped, to every target.
class Flood {
  public:
    Flood(std::vector<int> from, std::vector<sockaddr_in> to, std::string packet, int rate)
        : from_(std::move(from)), to_(std::move(to)), packet_(std::move(packet)), rate_(rate) {
        thread_ = std::thread([this] { run(); });
    }
    ~Flood() {
        stop_ = true;
        thread_.join();
        for (int s : from_) close(s);
    }
    long sent() const { return sent_.load(); }
    // The rate reached so far, a second (the sender may fall short of the rate asked for).
    double reached() const {
        return static_cast<double>(sent_.load()) / (millis(Clock::now() - start_) / 1000.0);
    }

  private:
    // Bursts each millisecond, so the rate holds whatever the sleep's granularity.
    void run() {
        auto start = start_;
        long due = 0;
        size_t at = 0;
        while (!stop_.load()) {
            due = static_cast<long>(millis(Clock::now() - start) * rate_ / 1000.0);
            while (sent_.load() < due) {
                int s = from_[at++ % from_.size()];
                for (const sockaddr_in& t : to_)
                    sendto(s, packet_.data(), packet_.size(), 0,
                           reinterpret_cast<const sockaddr*>(&t), sizeof t);
                sent_++;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::vector<int> from_;
    std::vector<sockaddr_in> to_;
    std::string packet_;
    int rate_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    Clock::time_point start_ = Clock::now();
    std::thread thread_;
};

void BM_UconLoginUnderHelloFlood(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    Module m(true);
    int probe = boundSocket("127.0.0.1");
    const int port = portOf(probe);
    close(probe);
    m.host->line("qz_sv_extraport " + std::to_string(port));
    m.host->line("qz_sv_USessionLimit 8");
    m.host->line("qz_sv_UconAdd 1 127.0.0.* admin s3cret");
    m.frame();
    std::vector<int> strangers;
    for (int i = 1; i <= 200; ++i)
        strangers.push_back(boundSocket(("127.0.1." + std::to_string(i)).c_str()));
    char hello[64];
    int n = uconPacketBuild(hello, sizeof hello, "HELLO admin", 11);
    Flood flood(strangers, {loopback(port)}, std::string(hello, static_cast<size_t>(n)), rate);
    for (int i = 0; i < 10; ++i) m.frame();  // the flood is under way
    std::vector<double> ms;
    long ok = 0, tried = 0;
    for (auto _ : state) {
        UconClient c;
        c.pump = Module::pump;
        c.pumpArg = &m;
        uconClientConnect(&c, ("127.0.0.1:" + std::to_string(port)).c_str(), "admin", "s3cret");
        auto t0 = Clock::now();
        bool in = uconClientLogin(&c, 10000);
        tried++;
        if (in) {
            ok++;
            ms.push_back(millis(Clock::now() - t0));
        }
        uconClientClose(&c);
        for (int i = 0; i < 4; ++i) m.frame();
    }
    state.counters["logins_ok"] = static_cast<double>(ok);
    state.counters["logins_tried"] = static_cast<double>(tried);
    state.counters["flood_per_s"] = flood.reached();
    reportTails(state, ms);
}
BENCHMARK(BM_UconLoginUnderHelloFlood)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(50000)
    ->Iterations(smoke() ? 1 : 5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

constexpr const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";

// The module's UDP port, from its "Listening" line.
int modulePort(const sim::SimHost& host) {
    const std::string mark = "QZ Master: Listening for UDP on ";
    for (const std::string& line : host.output())
        if (line.find(mark) != std::string::npos)
            return std::stoi(line.substr(line.find(mark) + mark.size()));
    return 0;
}

// Answers every request waiting on the authentication server's socket with NOAUTH; notes where
// the requests come from.
void answerAll(int server, sockaddr_in* module) {
    char buf[512];
    for (;;) {
        socklen_t len = sizeof *module;
        ssize_t n = recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(module), &len);
        if (n <= 8) return;
        std::string req(buf + 8, static_cast<size_t>(n - 8));
        size_t a = req.find(' ');
        std::string challenge = req.substr(a + 1, req.find(' ', a + 1) - a - 1);
        std::string answer = "\xff\xff\xff\xffQZ_H" + challenge + " NOAUTH Status=NO Age=0";
        sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(module),
               sizeof *module);
    }
}

void BM_GuidRefusalUnderFlood(benchmark::State& state) {
    const bool foreign = state.range(0) != 0;
    const int rate = static_cast<int>(state.range(1));
    Module m(false);
    int server = boundSocket("127.0.0.1");
    m.host->line("qz_sv_guidauthserver 127.0.0.1:" + std::to_string(portOf(server)));
    m.frame();
    // The first player shows where the requests leave from; the flood goes there and to the
    // module's port.
    m.host->line(std::string("sim_connect First ") + kGuid + " 1.2.3.5:27960");
    sockaddr_in from{};
    for (int i = 0; i < 100 && from.sin_port == 0; ++i) {
        m.frame();
        answerAll(server, &from);
    }
    for (int i = 0; i < 10; ++i) m.frame();
    std::vector<sockaddr_in> targets{loopback(modulePort(*m.host))};
    if (from.sin_port != 0 && from.sin_port != targets[0].sin_port) targets.push_back(from);
    int stranger = boundSocket("127.0.0.1");
    std::string junk = foreign ? std::string("\xff\xff\xff\xffQZ_Hjunk") : std::string();
    Flood flood({stranger}, targets, junk, rate);
    std::vector<double> ms;
    long refused = 0, tried = 0;
    for (auto _ : state) {
        m.host->clearOutput();
        m.host->line(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
        auto t0 = Clock::now();
        bool out = false;
        for (int i = 0; i < 10000 / kFrameMs && !out; ++i) {
            m.frame();
            sockaddr_in ignored{};
            answerAll(server, &ignored);
            out = m.host->contains("GUID NOT RECOGNISED");
        }
        tried++;
        if (out) {
            refused++;
            ms.push_back(millis(Clock::now() - t0));
        }
        for (int slot = 1; slot <= 4; ++slot)
            if (m.host->client(slot)) m.host->drop(slot);
        for (int i = 0; i < 4; ++i) m.frame();
    }
    close(server);
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["tried"] = static_cast<double>(tried);
    state.counters["flood_per_s"] = flood.reached();
    reportTails(state, ms);
}
BENCHMARK(BM_GuidRefusalUnderFlood)
    ->Args({0, 10000})
    ->Args({1, 10000})
    ->Args({0, 50000})
    ->Args({1, 50000})
    ->Iterations(smoke() ? 1 : 5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
