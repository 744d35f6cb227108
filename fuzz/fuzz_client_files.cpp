// Packets of a hostile client module about module files and uploads: a request for the stored
// module, an upload header with a size taken from the input, then transfer controls, upload
// headers and blocks (well-formed prefixes with fuzzed numbers and data, or fuzzed packets as
// they stand), then a frame. Nothing may be stored outside a buffer, no file may land outside
// the upload folder, and every buffer must be freed again.
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
#include "players/slots.h"
#include "remote/clientfiles.h"
#include "util/clock.h"

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
        snprintf(g_dir, sizeof g_dir, "%s/qzfuzzcf-XXXXXX", tmp && *tmp ? tmp : "/tmp");
        if (!mkdtemp(g_dir)) abort();
        atexit(removeDir);
        auto* s = new stQzSv();
        settingsDefaults(s);
        s->host.print = &quietPrint;
        s->host.sendClient = &quietSend;
        s->host.hostCall = &quietCall;
        s->enabled = 1;
        s->clVerMajor = 1;
        s->clVerMinor = 2;
        snprintf(s->homeDir, sizeof s->homeDir, "%s/", g_dir);
        setHomeDir(s->homeDir);
        mkdir(homePath("dll"), 0755);
        FILE* f = fopen(homePath("dll/wc001002.dll"), "wb");
        if (!f) abort();
        for (int i = 0; i < 5000; ++i) fputc((i * 7919) & 0xff, f);
        fclose(f);
        Qz_Sv_Client_s* c = plSlot(s, 1);
        snprintf(c->name, sizeof c->name, "Fuzz");
        snprintf(c->address, sizeof c->address, "10.0.0.1:27960");
        c->os = 'W';
        c->seq = 1;
        c->status = QZ_ST_UPDT;
        return s;
    }();
    return sv;
}

std::string be32(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    stQzSv* sv = state();
    if (size < 2) return 0;
    const char request[] = "QZ_DLREQ c 1000 1002";
    cfPacket(sv, 1, request, static_cast<int>(sizeof request - 1));
    char header[96];
    unsigned long packed = (data[0] | (data[1] << 8)) & 0x3fff;
    int n = snprintf(header, sizeof header, "QZ_VRFH 1 %lX %lX f.bin", packed, packed * 3);
    cfPacket(sv, 1, header, n);
    size_t at = 2;
    while (at < size) {
        uint8_t head = data[at++];
        size_t end = at;
        while (end < size && data[end] != 0xFE) end++;
        std::string packet;
        const std::string rest(reinterpret_cast<const char*>(data + at), end - at);
        switch (head & 3) {
            case 0: packet = rest; break;
            case 1: packet = "QZ_VRFB" + be32(1) + be32(head >> 2) + rest; break;
            case 2: packet = "QZ_VRFC " + rest; break;
            default: packet = "QZ_VRFH " + rest; break;
        }
        cfPacket(sv, 1, packet.data(), static_cast<int>(packet.size()));
        at = end + 1;
    }
    cfFrame(sv, GetTickCount());
    cfShutdown(sv);
    // A received file may only ever be a file of the upload folder.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(g_dir, ignored)) {
        const std::string name = entry.path().filename().string();
        const bool log = name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
        if (name != "dll" && name != "svul" && !log) abort();
    }
    std::filesystem::remove_all(std::string(g_dir) + "/svul", ignored);
    return 0;
}
