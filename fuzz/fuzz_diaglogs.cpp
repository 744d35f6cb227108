// Hostile bytes through the diagnostic logs' line builders: console lines (the word lookup and
// the withholding), connect and rename texts, client packets and datagrams of every tag (file
// block numbers read from the packet). The first byte picks the path; the logs write to a
// temporary home with a small cap, so rotation is reached too.
#include <arpa/inet.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/qzsv.h"
#include "media/diag.h"
#include "util/files.h"

namespace {

bool setUp() {
    char pattern[] = "/tmp/qzfuzz-diag-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    setHomeDir((std::string(pattern) + "/").c_str());
    diagStart();
    diagSetCap(QZ_DIAG_CAP_MIN_KIB);
    const char* why = "";
    for (int k = 0; k < QZ_DIAG_KINDS; ++k) diagSwitch(k, true, &why);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = setUp();
    if (!ready || size < 1 || size > 4096) return 0;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    int length = static_cast<int>(size - 1);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(27950);
    switch (data[0] % 6) {
        case 0: diagHostEvent(QZ_EV_CONSOLE, 0, bytes, length, 0); break;
        case 1: diagHostEvent(QZ_EV_CONNECT, 1 + data[0] % 64, bytes, length, data[0] & 1); break;
        case 2: diagClientPacket(1, bytes, length); break;
        case 3: diagClientSend(1, bytes, length); break;
        case 4: diagDatagramIn("udp", &peer, bytes, length); break;
        default: {
            std::string text(bytes, static_cast<size_t>(length));
            diagHostCall(data[0] & 8 ? "Cvar_Set" : "DropClient", text.c_str());
            break;
        }
    }
    if (data[0] & 0x80) diagFlush();
    return 0;
}
