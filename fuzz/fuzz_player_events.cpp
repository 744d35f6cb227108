// Player events from a hostile host or client: connect descriptions, client-module packets and
// renames, in any order, for any slot. The first byte of each record picks the event and the
// slot; the rest of the record (up to the next 0xFE byte) is its data.
#include <cstddef>
#include <cstdint>

#include "host/qzsv.h"
#include "simhost/quiethost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::QuietHost host("qzfuzzpl");
    size_t at = 0;
    while (at < size) {
        uint8_t head = data[at++];
        size_t end = at;
        while (end < size && data[end] != 0xFE) end++;
        const char* bytes = reinterpret_cast<const char*>(data + at);
        int length = static_cast<int>(end - at);
        // Slots 0..65 so that the out-of-range numbers are tried as well.
        int slot = (head >> 2) % 66;
        static const int kEvents[] = {QZ_EV_CONNECT, QZ_EV_PACKET, QZ_EV_RENAME, QZ_EV_DISCONNECT};
        sb(kEvents[head & 3], slot, bytes, length);
        at = end + 1;
    }
    host.frame();
    // Every slot is freed again so that one input does not leave the next one a full server.
    for (int slot = 1; slot <= 64; ++slot) sb(QZ_EV_DISCONNECT, slot, "", 0);
    return 0;
}
