// Hostile lines of the two fleet ban files (the report queue and the ban cache) through their line
// readers, and whole files through the start-up load of a module state.
//
// Kept quick, so that a short run explores: inputs up to 4 KiB (two lines of the longest kind and
// more; longer inputs find nothing new), one module state and one home directory for the whole
// run, in memory where the machine allows (the load replaces both files and syncs them), and only
// the fleet part of the state reset for each input.
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

constexpr size_t kMaxInput = 4096;
static_assert(kMaxInput > 2 * QZF_LINE_MAX, "two lines of the longest kind fit");

void quietPrint(const char*) {}

// The module state of the whole run: made once (it is large), with a home directory.
stQzSv* runState() {
    static stQzSv* sv = [] {
        static const std::string home = qzfuzz::makeMemoryRunDirectory("qzfuzz-fleet-") + "/";
        auto* s = new stQzSv();
        memset(s, 0, sizeof *s);
        s->host.print = &quietPrint;
        if (!setHomeDir(home.c_str())) abort();
        return s;
    }();
    return sv;
}

bool writeHomeFile(const char* name, const uint8_t* data, size_t size) {
    FILE* fp = fopen(homePath(name), "wb");
    if (!fp) return false;
    bool ok = fwrite(data, 1, size, fp) == size;
    return fclose(fp) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
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

    // The same bytes as both files of a module's home, loaded as at start-up. The load works on
    // sv->fleet (and prints through the host), so that part is what starts afresh.
    stQzSv* sv = runState();
    memset(&sv->fleet, 0, sizeof sv->fleet);
    for (const char* name : {"qzfleetq.dat", "qzfleet.dat"})
        if (!writeHomeFile(name, data, size)) return 0;
    fleetStartup(sv);
    fleetCacheFind(sv, "0123456789ABCDEF0123456789ABCDEF", 1767225600);
    fleetShutdown(sv);
    return 0;
}
