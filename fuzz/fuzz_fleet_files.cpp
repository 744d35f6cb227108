// Hostile lines of the two fleet ban files (the report queue and the ban cache) through their line
// readers, and whole files through the start-up load of a module state.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/state.h"
#include "remote/fleet.h"
#include "tmpdir.h"
#include "util/files.h"

namespace {

void quietPrint(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string home = qzfuzz::makeRunDirectory("qzfuzz-fleet-") + "/";
    if (size > 64 * 1024) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    int n = static_cast<int>(size);
    const char* nl = static_cast<const char*>(memchr(text, '\n', size));
    int first = nl ? static_cast<int>(nl - text) : n;

    FleetBody body;
    uint64_t epoch = 0;
    uint32_t id = 0;
    int kind = fleetQueueLine(text, first, &body, &epoch, &id);
    if (kind == '+' && (body.kind != QZF_REPORT && body.kind != QZF_UNBAN)) abort();
    stFleetBan ban;
    uint64_t a = 0, b = 0, c = 0;
    kind = fleetCacheLine(text, first, &ban, &a, &b, &c);
    if (kind == 'P' && (!fleetGuidOk(ban.guid, static_cast<int>(strlen(ban.guid))) || !ban.fleetId))
        abort();

    // The same bytes as both files of a module's home, loaded as at start-up.
    static stQzSv* sv = new stQzSv();
    memset(sv, 0, sizeof *sv);
    sv->host.print = &quietPrint;
    setHomeDir(home.c_str());
    for (const char* name : {"qzfleetq.dat", "qzfleet.dat"}) {
        FILE* fp = fopen(homePath(name), "wb");
        if (!fp) return 0;
        fwrite(data, 1, size, fp);
        fclose(fp);
    }
    fleetStartup(sv);
    fleetCacheFind(sv, "0123456789ABCDEF0123456789ABCDEF", 1767225600);
    fleetShutdown(sv);
    return 0;
}
