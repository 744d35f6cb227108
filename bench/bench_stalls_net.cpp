// The calls of the packet, screenshot, cvar and update paths that used to hold up a frame, timed
// call by call (wall and own time, p50 / p99 / p99.9 / max in microseconds; stall_timer.h). Run
// it as root under "chrt -f 10" to keep other programs out of the wall figures. With
// QZ_BENCH_SMOKE set the runs are short.
//
// Kinds:
//   idle_frame        a frame call of the module with the WebTool and the UCON port open and
//                     nothing arriving
//   ucon_flood_frame  a frame call after 1,024 UCON login datagrams (wrong proofs) were sent to
//                     the port; the frames that follow until the port is drained are timed too
//   cvar_answer       one range-check answer packet of 16 items with 250 checks in the list
//   ss_block          a screenshot block packet of a 4 MiB picture (all but the last)
//   ss_last_block     the last block of a 4 MiB picture: digest ended, part file renamed, page
//   install_frame     a frame of an update installation (4 MiB module from a transfer's data,
//                     hardly compressible and a thousandfold compressible, signed, written)
//   install_rename_frame  the frame that renames the written module into place
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "commands/settings.h"
#include "host/qzsv.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/cvars.h"
#include "players/slots.h"
#include "playing_server.h"
#include "playing_state.h"
#include "qzmaster/master.h"
#include "remote/install.h"
#include "remote/ucon_wire.h"
#include "remote/update.h"
#include "simhost/quiethost.h"
#include "stall_timer.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/md5.h"

namespace {

bool smoke() { return getenv("QZ_BENCH_SMOKE") != nullptr; }

int freePort(int type) {
    int s = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// The module with the WebTool and the UCON port open: idle frames and a UCON login flood.
void moduleKinds() {
    sim::QuietHost host("qzbenchnet");
    const int uconPort = freePort(SOCK_DGRAM);
    host.line("qz_sv_HttpKey benchkey");
    host.line("qz_sv_HttpPort " + std::to_string(freePort(SOCK_STREAM)));
    host.line("qz_sv_extraport " + std::to_string(uconPort));
    host.line("qz_sv_UconAdd 1 127.0.0.* admin s3cret");
    for (int i = 0; i < 10; ++i) host.frame();

    const int frames = smoke() ? 2000 : 50000;
    for (int i = 0; i < frames; ++i) stallTime("idle_frame", [&] { host.frame(); });

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(uconPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string login = std::string(QZ_UCON_PREFIX) + "LOGIN admin " + std::string(32, 'a') +
                              " " + std::string(16, 'b') + " " + std::string(32, 'c');
    const int floods = smoke() ? 5 : 200;
    for (int round = 0; round < floods; ++round) {
        for (int i = 0; i < 1024; ++i) {
            sendto(s, login.data(), login.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        // The frames that read the flood, until the port is drained (a few idle ones after).
        for (int f = 0; f < 12; ++f) stallTime("ucon_flood_frame", [&] { host.frame(); });
    }
    close(s);
}

// The last range-check query sent to slot 1.
std::string g_query;
void captureSend(int slot, const char* text, int length) {
    if (slot == 1 && length > 10 && strncmp(text + 1, "QZ_CVARS ", 9) == 0)
        g_query.assign(text, length);
}

// Range-check answers of 16 items from a playing client, with 250 checks in the list: each item
// finds its checks and is judged (all pass, so nothing is printed or logged).
void cvarKinds() {
    auto sv = benchPlayingServer();
    sv->set.cvarFreq = 4;
    sv->host.sendClient = captureSend;
    for (int i = 0; i < 250; ++i) {
        char line[96];
        if (i % 4 == 3) {
            snprintf(line, sizeof line, "check_cvar_%03d exclude \"cheat\"", i);
        } else {
            snprintf(line, sizeof line, "check_cvar_%03d in 0.25 %d.5", i, 100 + i);
        }
        cmd_cvar(sv.get(), CmdCall{line, 0, 0});
    }
    cvarFrame(sv.get());
    const int answers = smoke() ? 200 : 20000;
    std::string answer;
    for (int n = 0; n < answers; ++n) {
        benchMicros += 50000;
        for (stCvarSlot& slot : sv->cvars.slot) {
            memset(slot.open, 0, sizeof slot.open);
            if (slot.cursor < 0) slot.cursor = 0;
        }
        sv->cvars.dueSet = 0;
        g_query.clear();
        cvarFrame(sv.get());
        if (g_query.empty()) continue;
        // "<exchange>QZ_CVARS <id> <name> <name>...": the answer names each with a value.
        const char* p = g_query.c_str() + 10;
        char* end = nullptr;
        unsigned long id = strtoul(p, &end, 10);
        answer = "QZ_ANS " + std::to_string(id) + " 0";
        for (p = end; *p == ' ';) {
            const char* q = strchr(p + 1, ' ');
            std::string name = q ? std::string(p + 1, q) : std::string(p + 1);
            answer += "\n" + name + " 1";
            p = q ? q : p + 1 + name.size();
        }
        stallTime("cvar_answer",
                  [&] { cvarPacket(sv.get(), 1, answer.data(), static_cast<int>(answer.size())); });
    }
    cvarFree(sv.get());
    clockSetSource(nullptr);
}

// Pictures of 4 MiB sent block by block to the screenshot path.
void screenshotKinds() {
    PlayingState b;
    std::string picture(static_cast<size_t>(QZ_SS_PICTURE_MAX), '\0');
    std::mt19937 rng(11);
    for (char& ch : picture) ch = static_cast<char>(rng());
    memcpy(picture.data(), "\x89PNG\r\n\x1a\n", 8);
    const std::string digest = qzmd5(picture.data(), static_cast<unsigned>(picture.size()), 0);
    const int pictures = smoke() ? 3 : 40;
    std::string packet;
    packet.reserve(QZ_SS_BLOCK + 64);
    for (int n = 0; n < pictures; ++n) {
        const int slot = n % QZ_SLOTS + 1;
        Qz_Sv_Client_s* c = plSlot(b.sv, slot);
        memset(c->ssTicks, 0, sizeof c->ssTicks);
        long serial = 0;
        if (ssRequest(b.sv, QZ_SS_ADMIN, slot, &serial) != QZ_SS_REQUESTED) abort();
        const stSsTransfer& t = b.sv->ss.t[slot - 1];
        std::string cap = "QZ_SSCAP " + std::to_string(serial) + " " + std::to_string(t.nonce) +
                          " " + std::to_string(picture.size()) + " 1920 1080 " + digest + " x";
        ssPacket(b.sv, slot, cap.data(), static_cast<int>(cap.size()));
        const int blocks = static_cast<int>(picture.size() / QZ_SS_BLOCK);
        for (int k = 0; k < blocks; ++k) {
            packet = "QZ_SSB " + std::to_string(serial) + " " + std::to_string(k) + " ";
            packet.append(picture, static_cast<size_t>(k) * QZ_SS_BLOCK, QZ_SS_BLOCK);
            stallTime(k == blocks - 1 ? "ss_last_block" : "ss_block", [&] {
                ssPacket(b.sv, slot, packet.data(), static_cast<int>(packet.size()));
            });
        }
        if (b.sv->ss.t[slot - 1].serial) abort();  // the transfer did not end
    }
}

std::string deflated(const std::string& bytes) {
    uLongf size = compressBound(bytes.size());
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
    packed.resize(size);
    return packed;
}

// The Ed25519 signature of the module's manifest in hexadecimal, by the private key in hex.
std::string signHex(const std::string& priv, const std::string& module, int number) {
    char manifest[QZ_UPD_MANIFEST];
    int ml =
        qzUpdateManifest(manifest, sizeof manifest, 'S', 'L', number, module.data(), module.size());
    unsigned char seed[32];
    qzHexBytes(priv.c_str(), seed, 32);
    EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char sig[64];
    size_t len = 64;
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, k);
    EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(manifest),
                   static_cast<size_t>(ml));
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(k);
    std::string out;
    char hex[3];
    for (unsigned char c : sig) {
        snprintf(hex, sizeof hex, "%02x", c);
        out += hex;
    }
    return out;
}

// Installations of a signed 4 MiB module from a transfer's data, frame by frame: the frames
// that read, check and write it, and the frame that puts it in place after the pause for the
// disk.
void installKinds() {
    PlayingState b;
    std::string priv, pub;
    if (!qzm::makeKeyPair(&priv, &pub)) abort();
    unsigned char key[QZ_UPD_KEY_LEN];
    qzHexBytes(pub.c_str(), key, QZ_UPD_KEY_LEN);
    const int runs = smoke() ? 1 : 5;
    for (int run = 0; run < 2 * runs; ++run) {
        const bool compressible = run % 2 == 1;
        std::string module(4u << 20, '\0');
        std::mt19937 rng(static_cast<unsigned>(run));
        for (size_t i = 0; i < module.size(); ++i) {
            module[i] = compressible ? static_cast<char>(i >> 16) : static_cast<char>(rng());
        }
        const int number = 1674;
        const std::string raw = qzmd5(module.data(), static_cast<unsigned>(module.size()), number);
        std::string file = "<p> U S L " + std::to_string(number) + " " +
                           std::to_string(module.size()) + " " + raw + " " +
                           signHex(priv, module, number) + "\r\n" + deflated(module);
        stQzFileInfo e{};
        e.number = number;
        e.value = static_cast<uint32_t>(module.size());
        snprintf(e.digest1, sizeof e.digest1, "%s", raw.c_str());
        snprintf(e.digest2, sizeof e.digest2, "%s",
                 qzmd5(file.data(), static_cast<unsigned>(file.size()), number));
        const std::string transfer = deflated(file);
        char* data = static_cast<char*>(malloc(transfer.size()));
        memcpy(data, transfer.data(), transfer.size());
        stRemote* r = &b.sv->remote;
        r->updEntry = e;
        snprintf(r->updTarget, sizeof r->updTarget, "dll/ls001674.upd");
        r->updJob = qzInstallStart(data, transfer.size(), file.size(), homePath("qzsvnew.so"), 'S',
                                   'L', &e, key);
        unsigned now = 1000;
        while (r->updJob && !qzInstallSettling(r->updJob)) {
            stallTime("install_frame", [&] { updInstallFrame(b.sv, now); });
            now += 50;
        }
        if (!r->updJob) abort();  // the installation failed
        stallTime("install_rename_frame", [&] { updInstallFrame(b.sv, now + 5000); });
        if (r->updJob) abort();
        remove(homePath("qzsvnew.so"));
    }
}

void BM_StallsNet(benchmark::State& state) {
    for (auto _ : state) {
        stallKinds().clear();
        moduleKinds();
        cvarKinds();
        screenshotKinds();
        installKinds();
    }
    stallReport(state);
}
BENCHMARK(BM_StallsNet)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
