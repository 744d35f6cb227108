// The module's own cost per connect with fleet bans on: the fleet part of the connection check
// (the cache of known fleet bans, 10,000 of them) and, for an admitted player, the sealed lookup
// sent to the ban service (HMAC-SHA256 and one sendto on loopback). Nothing waits for the network.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "playing_server.h"
#include "remote/fleet.h"
#include "remote/fleet_store.h"
#include "timed_calls.h"
#include "util/files.h"

namespace {

constexpr int kBans = 10000;

std::string guidOf(unsigned n) {
    char text[33];
    snprintf(text, sizeof text, "%08X%08X%08X%08X", n, n * 2654435761u, ~n, n ^ 0x5a5a5a5au);
    return text;
}

struct FleetServer {
    std::unique_ptr<stQzSv> sv;
    int service = -1;
    std::string home;

    FleetServer() {
        char pattern[] = "/tmp/qzbench-fleet-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        home = std::string(pattern) + "/";
        {
            std::ofstream key(home + "qzfleet.key");
            key << std::string(64, '5') << "\n";
        }
        chmod((home + "qzfleet.key").c_str(), 0600);
        sv = benchPlayingServer();
        setHomeDir(home.c_str());
        service = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(service, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(service, reinterpret_cast<sockaddr*>(&a), &len);
        fleetStartup(sv.get());
        snprintf(sv->fleet.service, sizeof sv->fleet.service, "127.0.0.1:%u", ntohs(a.sin_port));
        snprintf(sv->fleet.serverId, sizeof sv->fleet.serverId, "bench");
        fleetFrame(sv.get());
        for (unsigned i = 0; i < kBans; ++i) {
            stFleetBan ban{};
            ban.fleetId = i + 1;
            ban.banTime = 1781524800;
            snprintf(ban.guid, sizeof ban.guid, "%s", guidOf(i).c_str());
            snprintf(ban.server, sizeof ban.server, "beta");
            fleetCachePut(&sv->fleet, ban);
        }
        drain();
    }
    ~FleetServer() {
        fleetShutdown(sv.get());
        close(service);
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    void drain() {
        char buf[2048];
        while (recv(service, buf, sizeof buf, 0) > 0) {
        }
    }
};

// One connect's fleet work: the cache check, then (admitted) the lookup. Banned visitors carry
// GUIDs of the cache; the others GUIDs it does not hold.
void BM_FleetConnect(benchmark::State& state) {
    static FleetServer server;
    stQzSv* sv = server.sv.get();
    const bool banned = state.range(0) != 0;
    std::vector<std::string> guids;
    for (unsigned i = 0; i < 1024; ++i) guids.push_back(guidOf(banned ? i * 7 % kBans : kBans + i));
    Timed each;
    unsigned i = 0;
    for (auto _ : state) {
        const int slot = static_cast<int>(i % QZ_SLOTS) + 1;
        Qz_Sv_Client_s* c = &sv->players.cl[slot - 1];
        snprintf(c->guid, sizeof c->guid, "%s", guids[i & 1023].c_str());
        if (!c->address[0]) snprintf(c->address, sizeof c->address, "10.0.0.%d:27960", slot);
        bool admitted = timed(each, [&] {
            if (!fleetAdmit(sv, slot, c)) return false;
            fleetConnect(sv, slot);
            return true;
        });
        if (admitted == banned) {
            state.SkipWithError("wrong verdict");
            break;
        }
        if ((++i & 63) == 0) {
            state.PauseTiming();
            server.drain();
            state.ResumeTiming();
        }
    }
    report(state, banned ? "refused" : "admitted", each);
}
BENCHMARK(BM_FleetConnect)->ArgName("banned")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
