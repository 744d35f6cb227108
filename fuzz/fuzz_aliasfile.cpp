// Alias files from outside: any bytes as an alias file must load without crashing, and every
// record taken must write out and load back as the same records. Every line the parser accepts
// must print back as a line it accepts unchanged. The file's bytes are read from memory and
// written to memory (a file on disk per input would cost nearly all of the run's time); the
// loader and the writer are the ones the file routines use.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/state.h"
#include "players/names.h"
#include "util/keyed.h"

namespace {

// Two central states for the whole run (the loaded one and the one read back): a fresh state
// per input (1.5 MB, faulted in anew each time) would cost most of the run's time. freeState
// leaves the parts used here as a fresh state has them.
stQzSv* makeState(int which) {
    static stQzSv* states[2] = {new stQzSv(), new stQzSv()};
    stQzSv* sv = states[which];
    keyStoreInit(&sv->keys, 1009);
    sv->tNameLocks = keyTableCreate(&sv->keys, "NameLocks", sizeof(stNameLock), 0, 33, 64);
    sv->tAlias = keyTableCreate(&sv->keys, "Alias", sizeof(stAliasRec), 0, 33, 1024);
    return sv;
}

void freeState(stQzSv* sv) {
    nmFree(sv);
    keyStoreFree(&sv->keys);
}

// Loads BYTES as an alias file.
int loadFrom(stQzSv* sv, const char* bytes, size_t size, int* damaged, int* merged) {
    // fmemopen refuses an empty buffer on some C libraries: an empty file loads nothing.
    if (size == 0) {
        *damaged = *merged = 0;
        return 0;
    }
    FILE* in = fmemopen(const_cast<char*>(bytes), size, "rb");
    if (!in) abort();
    int loaded = nmAliasLoadStream(sv, in, damaged, merged);
    fclose(in);
    return loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Line by line: an accepted line prints back as an accepted line with the same fields.
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        stAliasRec rec;
        if (nmAliasParse(input.data() + start, static_cast<int>(end - start), &rec)) {
            char line[256];
            int n = snprintf(line, sizeof line, "%s %lu %lu %lu %s", rec.guid,
                             static_cast<unsigned long>(rec.count),
                             static_cast<unsigned long>(rec.first),
                             static_cast<unsigned long>(rec.last), rec.name);
            stAliasRec again;
            if (!nmAliasParse(line, n, &again) || memcmp(&rec, &again, sizeof rec) != 0) abort();
        }
        start = end + 1;
    }

    // The whole file: what was taken round-trips.
    stQzSv* sv = makeState(0);
    int damaged = 0, merged = 0;
    int loaded = loadFrom(sv, input.data(), input.size(), &damaged, &merged);
    int live = sv->keys.tables[sv->tAlias].live;
    if (loaded - merged != live) abort();
    char* written = nullptr;
    size_t writtenSize = 0;
    FILE* out = open_memstream(&written, &writtenSize);
    if (!out) abort();
    if (nmAliasWriteStream(sv, out) != live) abort();
    fclose(out);
    freeState(sv);
    stQzSv* back = makeState(1);
    int damaged2 = 0, merged2 = 0;
    int reloaded = loadFrom(back, written, writtenSize, &damaged2, &merged2);
    free(written);
    if (reloaded != live || damaged2 || merged2) abort();
    freeState(back);
    return 0;
}
