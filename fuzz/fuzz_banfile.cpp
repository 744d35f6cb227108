// Ban files and masks from outside: any bytes as a ban file must load without crashing, skip
// what is damaged, leave the file as it was, and add nothing when loaded a second time; the in-place update may only ever change the
// first byte of a record line. Any bytes as a mask or client address must parse or be refused.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "host/state.h"
#include "players/bans.h"
#include "util/files.h"

namespace {

// The ban file lives in a directory of its own under $TMPDIR (or /tmp), which is the module's
// home directory for the run and is removed when the run ends.
char g_dir[256] = "";

void removeDir() {
    std::error_code ignored;
    if (g_dir[0]) std::filesystem::remove_all(g_dir, ignored);
}

const char* banPath() {
    static char path[320] = "";
    if (path[0]) return path;
    const char* tmp = getenv("TMPDIR");
    snprintf(g_dir, sizeof g_dir, "%s/qz_fuzz_banfile_XXXXXX", tmp && *tmp ? tmp : "/tmp");
    if (!mkdtemp(g_dir)) abort();
    atexit(removeDir);
    char home[300];
    snprintf(home, sizeof home, "%s/", g_dir);
    setHomeDir(home);
    snprintf(path, sizeof path, "%sqzbans.dat", home);
    return path;
}

std::string readAll(const char* path) {
    std::string s;
    FILE* fp = fopen(path, "rb");
    if (!fp) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) s.append(buf, n);
    fclose(fp);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = banPath();
    const std::string input(reinterpret_cast<const char*>(data), size);
    FILE* fp = fopen(path, "wb");
    if (!fp) return 0;
    fwrite(input.data(), 1, input.size(), fp);
    fclose(fp);

    auto sv = std::make_unique<stQzSv>();
    long skipped = 0;
    long loaded = banLoadFile(sv.get(), path, &skipped);
    if (readAll(path) != input) abort();  // loading never writes
    if (loaded < 0) abort();
    // Loading the same file again adds nothing: every record is already in the list.
    long skippedAgain = 0, present = 0;
    if (banLoadFile(sv.get(), path, &skippedAgain, &present) != 0 || present != loaded) abort();
    if (sv->bans.count != static_cast<unsigned>(loaded)) abort();
    for (unsigned i = 0; i < sv->bans.count; ++i) sv->bans.entries[i].unbanned = 1;
    int missing = 0;
    banUpdateFile(sv.get(), path, &missing);
    const std::string after = readAll(path);
    if (after.size() != input.size()) abort();
    for (size_t i = 0; i < after.size(); ++i) {
        // Only a record's leading "[" may have become "#".
        if (after[i] != input[i] && !(input[i] == '[' && after[i] == '#')) abort();
    }
    banFree(sv.get());

    char text[256];
    size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    memcpy(text, data, n);
    text[n] = 0;
    stMaskRule rule;
    if (maskParse(text, &rule)) {
        for (int i = 0; i < 4; ++i)
            if (rule.lo[i] > rule.hi[i]) abort();
    }
    unsigned char octets[4];
    unsigned port = 0;
    maskAddress(text, octets, &port);
    return 0;
}
