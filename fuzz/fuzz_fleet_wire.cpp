// Hostile fleet datagrams through the shared wire codec: the envelope reader and MAC check, the
// body parser of every form and the replay window. Whatever parses must write back into a body
// that parses to the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "remote/fleet_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const unsigned char key[QZF_KEY_BYTES] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    static FleetWindow window{};
    if (size > 2 * QZF_PACKET_MAX) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    int n = static_cast<int>(size);

    FleetEnvelope env;
    if (fleetOpen(text, n, &env) == QZF_OK) {
        if (env.bodyLen < 0 || env.body + env.bodyLen > text + n) abort();
        if (fleetVerify(env, QZF_TO_SERVER, key))
            fleetWindowAccept(&window, env.counter);
        else
            fleetWindowFresh(window, env.counter);
    }

    FleetBody b;
    if (fleetParse(text, n, &b)) {
        char once[QZF_PACKET_MAX], twice[QZF_PACKET_MAX];
        int a = fleetFormat(once, sizeof once, b);
        if (a <= 0) abort();  // a parsed body is always writable
        FleetBody again;
        if (!fleetParse(once, a, &again)) abort();
        int c = fleetFormat(twice, sizeof twice, again);
        if (c != a || memcmp(once, twice, static_cast<size_t>(a)) != 0) abort();
        char sealed[QZF_PACKET_MAX + 1];
        int s = fleetSeal(sealed, sizeof sealed, once, a, "fuzz", 1, QZF_TO_SERVICE, key);
        if (s > 0) {
            FleetEnvelope e;
            if (fleetOpen(sealed, s, &e) != QZF_OK || !fleetVerify(e, QZF_TO_SERVICE, key)) abort();
        }
    }
    return 0;
}
