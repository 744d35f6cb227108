// MD5Tool check answers from a hostile client module: the answer parser on the raw bytes, and
// the same bytes after "QZ_MD5 " sent by a playing client that has checks waiting. Records are
// separated by 0xFE; the first record's bytes also go to the parser alone.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "host/qzsv.h"
#include "remote/md5checks.h"
#include "simhost/quiethost.h"

namespace {

void play(sim::QuietHost& host) {
    static const std::string who = "Bob\\0123456789ABCDEF0123456789ABCDEF\\1.2.3.4:27960\\W";
    sb(QZ_EV_DISCONNECT, 1, "", 0);
    sb(QZ_EV_CONNECT, 1, who.data(), static_cast<int>(who.size()));
    for (const char* p : {"QZ_INIT 1.000 P", "QZ_UPDT 0.000", "QZ_READY"}) {
        sb(QZ_EV_PACKET, 1, p, static_cast<int>(strlen(p)));
    }
    // A new entry makes the next frame send a round to the new connection.
    host.line(
        "qz_sv_md5tool F \"etmain/pak0.pk3\" M \"900150983CD24FB0D6963F7D28E17F72\" SZ3 AT0 "
        "LEN0 \"pak0\"");
    host.frame();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::QuietHost host("qzfuzzmd5");
    static bool once = [] {
        host.line("qz_sv_KickLen 0");
        host.line("qz_sv_md5toolfreq 10");
        return true;
    }();
    (void)once;
    stMd5Answer a;
    md5AnswerParse(reinterpret_cast<const char*>(data), static_cast<int>(size), &a);
    host.line("qz_sv_md5toolempty");
    play(host);
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && data[end] != 0xFE) end++;
        std::string packet = "QZ_MD5 ";
        packet.append(reinterpret_cast<const char*>(data + at), end - at);
        sb(QZ_EV_PACKET, 1, packet.data(), static_cast<int>(packet.size()));
        at = end + 1;
    }
    host.frame();
    return 0;
}
