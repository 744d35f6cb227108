// The calls that used to hold up a frame, at the scale of a large server: 1,000,000 GUID bans,
// 10,000 mask bans and 500 name bans in the ban file, 100,000 aliases, 100,000 statistics
// records, 10,000 power records, a configuration of 13,000 lines (10,000 name locks, 250 cvar
// checks, settings), 64 players, the WebTool and UCON on, all in the module running on a
// do-nothing host. Each call kind is timed call by call, by the monotonic clock (wall) and by the
// thread's CPU clock (own), and reported as p50 / p99 / p99.9 / max in microseconds, as a table
// on standard error and as counters. The program asks for a real-time scheduler (SCHED_FIFO 10)
// and runs without one where that is not allowed. With QZ_BENCH_SMOKE set the sizes are small.
//
// Kinds (a long operation counts its command and every frame call until its closing line):
//   frame            an idle frame call with everything loaded and 63 players on
//   connect          a client asking to join (GUID, mask and name checks)
//   disconnect       that client leaving
//   rename           a player's name change (the name ban check)
//   packet_plist     a player's request for the player list (64 lines sent)
//   packet_other     a packet the module does not know
//   banlist_all      qz_sv_BanList without a search
//   banlist_search   qz_sv_BanList with a search that matches 1 entry
//   banguid          qz_sv_BanGuid (one append to the ban file)
//   banadd_growth    1,000,000 entries added to an empty list in memory, GUID index and entry
//                    array growth included (the adds of a command or a kick, without the file)
//   banmask_connect  qz_sv_BanMask, then the first connect after it
//   banempty         qz_sv_BanEmpty of the whole list, and the frames that hand its memory back
//   banload          qz_sv_BanLoad of the whole file
//   restart          qz_sv_Restart: every frame until the restart's last line and the ban count
//   load             qz_sv_Load of the 13,000-line configuration
//   writecfg         qz_sv_WriteCfg
//   statwrite        QZ_SV_STATWRITE (until its "Written" line)
//   aliaswrite       qz_sv_AliasWrite (until its "Written" line)
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/qzsv.h"
#include "host/state.h"
#include "players/bans.h"
#include "playing_server.h"
#include "stall_timer.h"
#include "timed_calls.h"

namespace {

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }
int guidBans() {
    if (const char* n = getenv("QZ_BENCH_BANS")) return atoi(n);
    return smoke() ? 20000 : 1000000;
}
int maskBans() { return smoke() ? 200 : 10000; }
int nameBans() { return smoke() ? 50 : 500; }
int aliases() { return smoke() ? 5000 : 100000; }
int statRecords() { return smoke() ? 5000 : 100000; }
int powerRecords() { return smoke() ? 500 : 10000; }
int nameLocks() { return smoke() ? 500 : 10000; }
constexpr int kCvarChecks = 250;
constexpr int kConfigLines = 13000;
constexpr int kPlayers = 64;

void writeBanFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < guidBans(); ++i) {
        fprintf(f, "[12.04.2026 21:30:00] %032X \"P%d\" \"10.%d.%d.%d:27960\" cheating\r\n",
                static_cast<unsigned>(i) * 2654435761u + 1u, i, i >> 16 & 255, i >> 8 & 255,
                i & 255);
    }
    for (int i = 0; i < maskBans(); ++i) {
        fprintf(f, "[12.04.2026 21:30:00] MASK \"%d.%d.*\" \"?\" spam\r\n", 100 + i / 256 % 100,
                i % 256);
    }
    for (int i = 0; i < nameBans(); ++i) {
        fprintf(f, "[12.04.2026 21:30:00] NAME \"badname%d\" \"?\" ?\r\n", i);
    }
    fclose(f);
}

unsigned guidNumber(int i) { return static_cast<unsigned>(i) * 2246822519u + 3u; }

void writeDataFiles(const std::string& home, int httpPort, int uconPort) {
    FILE* f = fopen((home + "qzalias.dat").c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < aliases(); ++i) {
        fprintf(f, "%08X%024X 1 1767225600 1767229200 Alias%d\r\n", guidNumber(i / 4), i / 4, i);
    }
    fclose(f);
    f = fopen((home + "qzstat.dat").c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < statRecords(); ++i) {
        fprintf(f,
                "%08X%024X age=1781524800 secs=%d stat=\"kill[MP40,oasis,4:%d.0 Knife,oasis,4:2.0] "
                "death[MP40,oasis,4:3.0] skill[medic,oasis,4:%d.0]\"\r\n",
                guidNumber(i), i, i, i % 50, i % 7);
    }
    fclose(f);
    f = fopen((home + "qzpower.dat").c_str(), "wb");
    if (!f) abort();
    for (int i = 0; i < powerRecords(); ++i) {
        fprintf(f, "[01.01.2026 00:00:00] %d %08X%024X Power%d\r\n\r\n", 10 + i % 90,
                guidNumber(i + 7), i, i);
    }
    fclose(f);
    f = fopen((home + "qzucon.use").c_str(), "wb");
    if (f) fclose(f);
    // The configuration: settings, UCON, the cvar checks, the name locks, and settings again to
    // make up its length.
    f = fopen((home + "qzsv.cfg").c_str(), "wb");
    if (!f) abort();
    int lines = 0;
    fprintf(f, "qz_sv_HttpPort %d\r\nqz_sv_extraport %d\r\nqz_sv_USessionLimit 4\r\n", httpPort,
            uconPort);
    fprintf(f, "qz_sv_UconAdd 1 127.0.0.* admin s3cret\r\n");
    fprintf(f, "qz_sv_AliasAutoLoad 1\r\nqz_sv_stattrack 1\r\nqz_sv_statautoload 1\r\n");
    fprintf(f, "qz_sv_CvarEmpty\r\n");
    lines += 8;
    for (int i = 0; i < kCvarChecks; ++i, ++lines) fprintf(f, "qz_sv_Cvar cvar%d in 0 %d\r\n", i, i + 1);
    for (int i = 0; i < nameLocks(); ++i, ++lines) {
        fprintf(f, "qz_sv_NameLock %08X%024X Locked%d\r\n", guidNumber(i + 11), i, i);
    }
    for (; lines < kConfigLines; ++lines) fprintf(f, "qz_sv_KickLen %d //length\r\n", 2 + lines % 5);
    fclose(f);
    // The same lines for qz_sv_Load, which qz_sv_WriteCfg does not replace.
    std::filesystem::copy_file(home + "qzsv.cfg", home + "qzbig.cfg");
}

int freePort(int type) {
    int s = socket(AF_INET, type, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// A do-nothing host that notes the end line of a listing.
std::string g_home;
bool g_listEnded = false;
// Texts a long operation's end is recognised by; each is set once printed.
const char* g_watch[2] = {nullptr, nullptr};
bool g_seen[2] = {false, false};
int hostCall(const char*, const char*) { return 1; }
void print(const char* text) {
    if (getenv("QZ_BENCH_ECHO")) fprintf(stderr, "| %s\n", text);
    if (strncmp(text, "End of Ban List", 15) == 0) {
        g_listEnded = true;
        fprintf(stderr, "%s\n", text);
    }
    for (int i = 0; i < 2; ++i)
        if (g_watch[i] && strstr(text, g_watch[i])) g_seen[i] = true;
    if (strstr(text, "Bans loaded") || strstr(text, "skipped") || strstr(text, "Restarted") ||
        strstr(text, "Written to") || strstr(text, "Loaded from") || strstr(text, "loaded from")) {
        fprintf(stderr, "%s\n", text);
    }
}
void sendClient(int, const char*, int) {}
int cvarGet(const char* name, char* out, int size) {
    const char* value = "";
    if (strcmp(name, "fs_homepath") == 0 || strcmp(name, "fs_basepath") == 0) {
        value = g_home.c_str();
    }
    snprintf(out, static_cast<size_t>(size), "%s", value);
    return *value != 0;
}

struct Host {
    Host() {
        char pattern[] = "/tmp/qzstalls-XXXXXX";
        if (!mkdtemp(pattern)) abort();
        g_home = pattern;
        std::filesystem::create_directories(home());
        writeBanFile(home() + "qzbans.dat");
        writeDataFiles(home(), freePort(SOCK_STREAM), freePort(SOCK_DGRAM));
        qz_host host = {};
        host.abi = QZ_HOST_ABI;
        host.hostCall = hostCall;
        host.cvarGet = cvarGet;
        host.print = print;
        host.sendClient = sendClient;
        if (sa(&host) != 0) abort();
    }
    ~Host() {
        sb(QZ_EV_SHUTDOWN, 0, "", 0);
        std::error_code ignored;
        std::filesystem::remove_all(g_home, ignored);
    }
    void line(const std::string& text) {
        sb(QZ_EV_CONSOLE, 0, text.data(), static_cast<int>(text.size()));
    }
    void frame() { sb(QZ_EV_FRAME, 0, "", 0); }
    std::string home() const { return g_home + "/qz/"; }
};

void joinSlot(int slot, int i) {
    char data[160];
    int n = snprintf(data, sizeof data, "Player%d\\%032X\\20.1.%d.%d:27960\\W", i,
                     0xABC00000u + static_cast<unsigned>(i), i / 250 % 250, i % 250 + 1);
    sb(QZ_EV_CONNECT, slot, data, n);
}

void connectAndDrop(int i) {
    joinSlot(1, i);
    sb(QZ_EV_DISCONNECT, 1, "", 0);
}

// Runs the command and then frames until every watched text was printed, timing each call as
// kind.
void untilSeen(Host& host, const char* kind, const std::string& command, const char* text,
               const char* second = nullptr) {
    g_watch[0] = text;
    g_watch[1] = second;
    g_seen[0] = false;
    g_seen[1] = second == nullptr;
    stallTime(kind, [&] { host.line(command); });
    for (long i = 0; i < 20000000 && !(g_seen[0] && g_seen[1]); ++i) {
        stallTime(kind, [&] { host.frame(); });
    }
    if (!(g_seen[0] && g_seen[1])) fprintf(stderr, "%s: the end line never came\n", kind);
    g_watch[0] = g_watch[1] = nullptr;
}

// Runs frames until the list's listing has ended, timing the command and each frame as kind.
void listing(Host& host, const char* kind, const std::string& command) {
    g_listEnded = false;
    stallTime(kind, [&] { host.line(command); });
    for (int i = 0; i < 2000000 && !g_listEnded; ++i) stallTime(kind, [&] { host.frame(); });
}

void BM_Stalls(benchmark::State& state) {
    // A real-time scheduler keeps other programs out of the wall figures where it is allowed.
    sched_param rt = {};
    rt.sched_priority = 10;
    sched_setscheduler(0, SCHED_FIFO, &rt);
    for (auto _ : state) {
        stallKinds().clear();
        {
            Host host;
            for (int slot = 2; slot <= kPlayers; ++slot) {
                joinSlot(slot, 100000 + slot);
                sb(QZ_EV_PACKET, slot, "QZ_INIT 1.673 P", 15);
            }
            for (int i = 0; i < 20000; ++i) stallTime("frame", [&] { host.frame(); });
            for (int i = 0; i < 5000; ++i) {
                stallTime("connect", [&] { joinSlot(1, i); });
                stallTime("disconnect", [&] { sb(QZ_EV_DISCONNECT, 1, "", 0); });
            }
            for (int i = 0; i < 5000; ++i) {
                char name[32];
                int n = snprintf(name, sizeof name, "Renamed%d", i);
                stallTime("rename", [&] { sb(QZ_EV_RENAME, 2 + i % (kPlayers - 1), name, n); });
            }
            for (int i = 0; i < 2000; ++i) {
                stallTime("packet_plist", [&] { sb(QZ_EV_PACKET, 2 + i % 8, "QZ_PLIST", 8); });
                stallTime("packet_other", [&] { sb(QZ_EV_PACKET, 2 + i % 8, "QZ_NOTHING 1", 12); });
            }
            listing(host, "banlist_search", "qz_sv_BanList P123457\"");
            listing(host, "banlist_all", "qz_sv_BanList");
            for (int i = 0; i < 200; ++i) {
                char line[128];
                snprintf(line, sizeof line, "qz_sv_BanGuid %032X Added%d 1.2.3.4 test",
                         0xFEED0000u + static_cast<unsigned>(i), i);
                stallTime("banguid", [&] { host.line(line); });
            }
            for (int i = 0; i < 20; ++i) {
                char line[64];
                snprintf(line, sizeof line, "qz_sv_BanMask 77.%d.*", i);
                stallTime("banmask_connect", [&] { host.line(line); });
                stallTime("banmask_connect", [&] { connectAndDrop(i); });
            }
            for (int run = 0; run < 2; ++run) {
                stallTime("banempty", [&] { host.line("qz_sv_BanEmpty"); });
                for (int i = 0; i < 2000; ++i) stallTime("banempty", [&] { host.frame(); });
                untilSeen(host, "banload", "qz_sv_BanLoad", "Bans loaded from");
            }
            for (int run = 0; run < 2; ++run) {
                // The end shows by the line typed after the command, which waits for the load.
                g_watch[0] = "Home Path is";
                g_seen[0] = false;
                stallTime("load", [&] { host.line("qz_sv_Load qzbig.cfg"); });
                host.line("qz_sv_HomePath");
                for (long i = 0; i < 1000000 && !g_seen[0]; ++i) stallTime("load", [&] { host.frame(); });
                g_watch[0] = nullptr;
            }
            for (int run = 0; run < 3; ++run) {
                untilSeen(host, "statwrite", "QZ_SV_STATWRITE", "Written to");
                untilSeen(host, "aliaswrite", "qz_sv_AliasWrite", "Written to");
            }
            for (int run = 0; run < 2; ++run) {
                untilSeen(host, "restart", "qz_sv_Restart", "QZ Server Restarted", "Bans loaded from");
            }
            // Last: it replaces qzsv.cfg, which the restarts load.
            for (int i = 0; i < 5; ++i) stallTime("writecfg", [&] { host.line("qz_sv_WriteCfg"); });
        }
        {
            // The list in memory alone, grown one entry at a time from empty.
            auto sv = benchPlayingServer();
            for (int i = 0; i < guidBans(); ++i) {
                char guid[33];
                snprintf(guid, sizeof guid, "%032X", static_cast<unsigned>(i) * 2654435761u + 7u);
                stallTime("banadd_growth",
                         [&] { banAdd(sv.get(), QZ_BAN_GUID, guid, "\"P\" \"1.2.3.4\" x", 0); });
            }
            banFree(sv.get());
        }
    }
    stallReport(state);
}
BENCHMARK(BM_Stalls)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
