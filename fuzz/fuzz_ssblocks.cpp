// Screenshot packets from a hostile client module: a capture report with an announced size
// taken from the input, then block packets (well-formed headers with fuzzed numbers and data,
// or fuzzed packets as they stand), then a frame. Nothing may be stored outside the transfer
// buffer, and every buffer must be freed again.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "commands/settings.h"
#include "host/state.h"
#include "media/logs.h"
#include "media/screenshots.h"
#include "players/slots.h"

namespace {

// The home directory of the run, under $TMPDIR (or /tmp), removed when the run ends.
char g_dir[256] = "";

void removeDir() {
    std::error_code ignored;
    if (g_dir[0]) std::filesystem::remove_all(g_dir, ignored);
}

void quietPrint(const char*) {}
void quietSend(int, const char*, int) {}
int quietCall(const char*, const char*) { return 1; }

stQzSv* state() {
    static stQzSv* sv = [] {
        const char* tmp = getenv("TMPDIR");
        snprintf(g_dir, sizeof g_dir, "%s/qzfuzzss-XXXXXX", tmp && *tmp ? tmp : "/tmp");
        if (!mkdtemp(g_dir)) abort();
        atexit(removeDir);
        const char* dir = g_dir;
        auto* s = new stQzSv();
        settingsDefaults(s);
        s->host.print = &quietPrint;
        s->host.sendClient = &quietSend;
        s->host.hostCall = &quietCall;
        s->enabled = 1;
        snprintf(s->homeDir, sizeof s->homeDir, "%s/", dir);
        setHomeDir(s->homeDir);
        mkdir(homePath("svss"), 0755);
        s->set.ssLogging = 0;
        s->set.ssCeiling = 3;  // a few page files, rewritten over and over
        Qz_Sv_Client_s* c = plSlot(s, 1);
        snprintf(c->name, sizeof c->name, "Fuzz");
        snprintf(c->address, sizeof c->address, "10.0.0.1:27960");
        c->status = QZ_ST_OK;
        return s;
    }();
    return sv;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    stQzSv* sv = state();
    if (size < 2) return 0;
    memset(plSlot(sv, 1)->ssTicks, 0, sizeof plSlot(sv, 1)->ssTicks);
    long serial = 0;
    if (ssRequest(sv, QZ_SS_ADMIN, 1, &serial) != QZ_SS_REQUESTED) return 0;
    // Sizes up to 8 KiB, and now and then one over the limit.
    unsigned long announced = (data[0] | (data[1] << 8)) & 0x1fff;
    if (data[0] == 0xff) announced = QZ_SS_PICTURE_MAX + data[1];
    char report[160];
    int n = snprintf(report, sizeof report, "QZ_SSCAP %ld %u %lu 1 1 %032d x", serial,
                     sv->ss.t[0].nonce, announced, 0);
    ssPacket(sv, 1, report, n);
    size_t at = 2;
    while (at < size) {
        uint8_t head = data[at++];
        size_t end = at;
        while (end < size && data[end] != 0xFE) end++;
        std::string packet;
        if (head & 1) {
            packet.assign(reinterpret_cast<const char*>(data + at), end - at);
        } else {
            packet = "QZ_SSB " + std::to_string(serial) + " " + std::to_string(head >> 1) + " ";
            packet.append(reinterpret_cast<const char*>(data + at), end - at);
        }
        ssPacket(sv, 1, packet.data(), static_cast<int>(packet.size()));
        at = end + 1;
    }
    ssFrame(sv);
    ssShutdown(sv);
    if (sv->ss.pooled != 0 || sv->ss.pending != 0) abort();
    return 0;
}
