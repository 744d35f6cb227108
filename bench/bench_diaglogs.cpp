// What one event costs the diagnostic logs, on and off: a console line to qzsvev.log, a client
// packet to qzsvpkt.log, a text sent to a player and a file block datagram to qzsvsend.log. Each
// call is timed on its own (p50, p99.9, max); the calls that write a full buffer out are among
// them. Off, a hook is one test of a word: its figure is the clock's own resolution, and the
// batched figure (a thousand hooks timed together) shows the cost per hook.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "host/qzsv.h"
#include "media/diag.h"
#include "remote/packets.h"
#include "timed_calls.h"
#include "util/files.h"

namespace {

struct DiagBench {
    std::string dir;
    explicit DiagBench(bool on) {
        char pattern[] = "/tmp/qzbench-diag-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/tmp";
        setHomeDir((dir + "/").c_str());
        diagStart();
        const char* why = "";
        for (int k = 0; on && k < QZ_DIAG_KINDS; ++k) diagSwitch(k, true, &why);
    }
    ~DiagBench() {
        diagShutdown();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

char g_packet[160];
int g_packetLen = 0;
sockaddr_in g_peer;

void prepare() {
    for (int i = 0; i < 96; ++i) g_packet[i] = static_cast<char>('a' + i % 26);
    memcpy(g_packet, "QZ_CVAR 17 cg_fov 130", 21);
    g_packetLen = 96;
    memset(&g_peer, 0, sizeof g_peer);
    g_peer.sin_family = AF_INET;
    g_peer.sin_port = htons(27950);
    inet_pton(AF_INET, "192.0.2.7", &g_peer.sin_addr);
}

// One event of each kind.
void eventOf(int kind, int i) {
    static char data[1200];
    static char block[1400];
    static int blockLen = pktBlockFormat(block, sizeof block, 5, 0, data, sizeof data);
    switch (kind) {
        case 0: diagHostEvent(QZ_EV_CONSOLE, 0, "qz_sv_Plist", 11, 0); break;
        case 1: diagClientPacket(1 + (i & 63), g_packet, g_packetLen); break;
        case 2: diagClientSend(1 + (i & 63), g_packet, g_packetLen); break;
        default: diagDatagramOut("udp", &g_peer, block, blockLen); break;
    }
}

const char* const kKinds[] = {"console_ev", "packet_pkt", "send_send", "block_send"};

void BM_DiagEvent(benchmark::State& state) {
    prepare();
    const int kind = static_cast<int>(state.range(0));
    const bool on = state.range(1) != 0;
    DiagBench b(on);
    Timed t;
    int i = 0;
    for (auto _ : state) {
        for (int k = 0; k < 20000; ++k, ++i) {
            timed(t, [&] {
                eventOf(kind, i);
                return 0;
            });
        }
        diagFlush();
    }
    state.SetLabel(std::string(kKinds[kind]) + (on ? " on" : " off"));
    report(state, "event", t);
}
BENCHMARK(BM_DiagEvent)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// A thousand hooks timed together while every log is off: the cost of the test alone.
void BM_DiagHooksOffBatched(benchmark::State& state) {
    prepare();
    DiagBench b(false);
    int i = 0;
    for (auto _ : state) {
        for (int k = 0; k < 1000; ++k, ++i) {
            eventOf(k & 3, i);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_DiagHooksOffBatched);

}  // namespace

BENCHMARK_MAIN();
