// The two entry points the host calls. They hold the module's one central state record and
// route each call to the routine that owns the work.
#include <cstddef>
#include <cstring>

#include "commands/atomic_file.h"
#include "host/qzsv.h"
#include "host/startup.h"
#include "host/state.h"
#include "media/diag.h"
#include "players/slots.h"

namespace {

stQzSv g_sv;
bool g_running = false;

bool hostUsable(const qz_host* host) {
    return host && (host->abi == 1 || host->abi == QZ_HOST_ABI) && host->hostCall &&
           host->cvarGet && host->print && host->sendClient;
}

// The record as this module knows it. A version 1 record ends before the flags field, so only
// its own bytes are read and the flags stay 0.
qz_host hostRecord(const qz_host* host) {
    qz_host record;
    memset(&record, 0, sizeof record);
    memcpy(&record, host, host->abi == 1 ? offsetof(qz_host, flags) : sizeof record);
    return record;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sa(const qz_host* host) {
    if (!hostUsable(host)) return -2;
    if (g_running) svShutdown(&g_sv);
    const qz_host record = hostRecord(host);
    g_running = svStart(&g_sv, &record) == 0;
    if (!g_running) svShutdown(&g_sv);
    return g_running ? 0 : -1;
}

extern "C" __attribute__((visibility("default"))) int sb(int event, int slot, const char* data,
                                                         int length) {
    if (!g_running) return event == QZ_EV_CONNECT ? QZ_ADMIT : 0;
    // Every event but the frame goes to the events log (a connect once its verdict is known).
    if (event != QZ_EV_FRAME && event != QZ_EV_CONNECT) diagHostEvent(event, slot, data, length, 0);
    switch (event) {
        case QZ_EV_CONSOLE: svConsole(&g_sv, data, length); return 0;
        case QZ_EV_FRAME: svFrame(&g_sv); return 0;
        case QZ_EV_CONNECT: {
            int verdict = plConnect(&g_sv, slot, data, length);
            diagHostEvent(event, slot, data, length, verdict);
            return verdict;
        }
        case QZ_EV_DISCONNECT: plDisconnect(&g_sv, slot); return 0;
        case QZ_EV_PACKET:
            diagClientPacket(slot, data, length);
            plPacket(&g_sv, slot, data, length);
            return 0;
        case QZ_EV_RENAME: plRename(&g_sv, slot, data, length); return 0;
        case QZ_EV_SHUTDOWN:
            svShutdown(&g_sv);
            // The host may unload the module next: the background sync must have ended.
            atomicSyncStop();
            g_running = false;
            return 0;
        default: return 0;
    }
}
