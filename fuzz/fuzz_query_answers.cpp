// Query answers and violation reports from a hostile client module: the bytes after "QZ_ANS "
// (or "QZ_VIOL ") are the fuzzer's, sent by a playing client that has queries waiting. The first
// byte of each record picks the packet kind; records are separated by 0xFE.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "host/qzsv.h"
#include "simhost/quiethost.h"

namespace {

void play(sim::QuietHost& host) {
    static const std::string who = "Bob\\0123456789ABCDEF0123456789ABCDEF\\1.2.3.4:27960\\W";
    sb(QZ_EV_DISCONNECT, 1, "", 0);
    sb(QZ_EV_CONNECT, 1, who.data(), static_cast<int>(who.size()));
    for (const char* p : {"QZ_INIT 1.000 P", "QZ_UPDT 0.000", "QZ_READY"}) {
        sb(QZ_EV_PACKET, 1, p, static_cast<int>(strlen(p)));
    }
    for (const char* line : {"qz_sv_CvarVal cg_fov 1", "qz_sv_CvarSrch fov 1",
                             "qz_sv_BindSrch attack 1", "qz_sv_CvarUser 1"}) {
        host.line(line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::QuietHost host("qzfuzzqa");
    static bool once = [] {
        host.line("qz_sv_Cvar cg_fov in 90 120");
        host.line("qz_sv_Cvar name exclude cheat");
        host.line("qz_sv_CvarWalk 4");
        host.line("qz_sv_CvarLogging 0");
        host.line("qz_sv_KickLen 0");
        return true;
    }();
    (void)once;
    play(host);
    size_t at = 0;
    while (at < size) {
        uint8_t head = data[at++];
        size_t end = at;
        while (end < size && data[end] != 0xFE) end++;
        std::string packet = (head & 1) ? "QZ_VIOL " : "QZ_ANS ";
        packet.append(reinterpret_cast<const char*>(data + at), end - at);
        sb(QZ_EV_PACKET, 1, packet.data(), static_cast<int>(packet.size()));
        at = end + 1;
    }
    host.frame();
    return 0;
}
