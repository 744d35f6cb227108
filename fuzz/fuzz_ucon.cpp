// Hostile UCON datagrams through the module's packet handler: the field splitter, the login and
// command parsers and the signed-packet check. The first byte picks the sender's address from a
// few cases (loopback, port 0, broadcast); the rest is the packet after the UCON prefix. The
// same text also goes through the masking of secrets that every echoed command line passes.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "commands/dispatch.h"
#include "commands/secrets.h"
#include "commands/settings.h"
#include "host/state.h"
#include "remote/ucon.h"
#include "util/files.h"

namespace {

void quietPrint(const char*) {}

stQzSv* makeState() {
    static stQzSv sv;
    settingsDefaults(&sv);
    sv.host.print = &quietPrint;
    sv.uconMarker = 1;
    sv.enabled = 1;
    uconPortInit(&sv);
    uconInit(&sv);
    sv.set.uSessionLimit = 4;
    sv_cmd(&sv, QZ_SRC_CONSOLE, "qz_sv_UconAdd 1 127.0.0.* admin s3cret", 0);
    sv_cmd(&sv, QZ_SRC_CONSOLE, "qz_sv_UconIgnore spam", 0);
    return &sv;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static stQzSv* sv = makeState();
    if (size < 1 || size > QZ_UCON_PACKET_MAX) return 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons((data[0] & 1) ? 0 : 27960);
    from.sin_addr.s_addr = (data[0] & 2) ? 0xFFFFFFFFu : htonl(INADDR_LOOPBACK);
    char packet[QZ_UCON_PACKET_MAX + 16];
    memcpy(packet, QZ_UCON_PREFIX, QZ_UCON_PREFIX_LEN);
    memcpy(packet + QZ_UCON_PREFIX_LEN, data + 1, size - 1);
    uconPacket(sv, &from, packet, QZ_UCON_PREFIX_LEN + static_cast<int>(size - 1));
    uconFrame(sv);
    char line[QZ_UCON_PACKET_MAX + 16];
    memcpy(line, data + 1, size - 1);
    line[size - 1] = 0;
    char masked[QZ_UCON_PACKET_MAX + 16];
    cmdMaskSecrets(line, masked, static_cast<int>(sizeof masked));
    return 0;
}
