// Ban files and masks from outside: any bytes as a ban file must load without crashing, skip
// what is damaged, and add nothing when loaded a second time; the in-place update may only ever
// change the first byte of a record line. Any bytes as a mask or client address must parse or
// be refused. The loads read the bytes from memory; only an input that loaded records is
// written to a file, for the update (a file on disk per input would cost nearly all of the
// run's time).
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
#include "tmpdir.h"
#include "util/files.h"

namespace {

// The ban file lives in a directory of its own under $TMPDIR (or /tmp), which is the module's
// home directory for the run and is removed when the run ends.
const char* banPath() {
    static const std::string path = [] {
        std::string home = qzfuzz::makeRunDirectory("qz_fuzz_banfile_") + "/";
        setHomeDir(home.c_str());
        return home + "qzbans.dat";
    }();
    return path.c_str();
}

// One central state for the whole run: a fresh one per input (1.5 MB, faulted in anew each
// time) would cost most of the run's time. banFree leaves the ban list as a fresh state has it.
stQzSv* state() {
    static stQzSv* sv = new stQzSv();
    return sv;
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

    stQzSv* sv = state();
    long loaded = 0;
    if (size > 0) {
        FILE* in = fmemopen(const_cast<char*>(input.data()), size, "rb");
        if (!in) abort();
        long skipped = 0;
        loaded = banLoadStream(sv, in, path, &skipped);
        if (loaded < 0) abort();
        // Loading the same file again adds nothing: every record is already in the list.
        rewind(in);
        long skippedAgain = 0, present = 0;
        if (banLoadStream(sv, in, path, &skippedAgain, &present) != 0 || present != loaded) {
            abort();
        }
        fclose(in);
    }
    if (sv->bans.count != static_cast<unsigned>(loaded)) abort();
    if (loaded > 0) {
        FILE* fp = fopen(path, "wb");
        if (!fp) abort();
        fwrite(input.data(), 1, input.size(), fp);
        fclose(fp);
        for (unsigned i = 0; i < sv->bans.count; ++i) sv->bans.entries[i].unbanned = 1;
        int missing = 0;
        banUpdateFile(sv, path, &missing);
        const std::string after = readAll(path);
        if (after.size() != input.size()) abort();
        for (size_t i = 0; i < after.size(); ++i) {
            // Only a record's leading "[" may have become "#".
            if (after[i] != input[i] && !(input[i] == '[' && after[i] == '#')) abort();
        }
    }
    banFree(sv);

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
