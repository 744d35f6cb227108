// A central state of the module's own with 64 playing clients, for the benchmarks that call a
// subsystem's frame and packet routines directly: the host's services do nothing, and the
// module's clock is one the benchmark moves by hand (benchMicros), so that "due" and "not due"
// are exact.
#pragma once

#include <memory>

#include "host/state.h"
#include "util/clock.h"
#include "util/text.h"

inline int benchQuietCall(const char*, const char*) { return 1; }
inline void benchQuietPrint(const char*) {}
inline void benchQuietSend(int, const char*, int) {}

inline long long benchMicros = 1781524800LL * 1000000;
inline void benchClock(long long* seconds, int* microseconds) {
    *seconds = benchMicros / 1000000;
    *microseconds = static_cast<int>(benchMicros % 1000000);
}

// The module enabled on the hand-moved clock, every slot a playing client ("PlayerN" from
// 10.0.x.y), kicks of 2 minutes.
inline std::unique_ptr<stQzSv> benchPlayingServer() {
    clockSetSource(benchClock);
    auto sv = std::make_unique<stQzSv>();
    sv->host.hostCall = benchQuietCall;
    sv->host.print = benchQuietPrint;
    sv->host.sendClient = benchQuietSend;
    sv->enabled = 1;
    sv->set.kickLen = 2;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* c = &sv->players.cl[slot - 1];
        trf(c->name, qz::cap(c->name), "Player%d", slot);
        trf(c->address, qz::cap(c->address), "10.0.%d.%d:27960", slot / 200, slot % 200 + 1);
        c->status = QZ_ST_OK;
        c->seq = static_cast<unsigned long>(slot);
    }
    return sv;
}
