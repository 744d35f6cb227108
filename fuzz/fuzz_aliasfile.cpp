// Alias files from outside: any bytes as an alias file must load without crashing, never change
// the file, and every record taken must write out and load back as the same records. Every line
// the parser accepts must print back as a line it accepts unchanged.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/state.h"
#include "players/names.h"
#include "util/files.h"
#include "util/keyed.h"

namespace {

std::string g_home;

void removeHome() {
    if (g_home.empty()) return;
    remove((g_home + "in.dat").c_str());
    remove((g_home + "out.dat").c_str());
    rmdir(g_home.c_str());
}

const std::string& home() {
    if (g_home.empty()) {
        char dir[] = "/tmp/qz_fuzz_alias_XXXXXX";
        if (!mkdtemp(dir)) abort();
        g_home = std::string(dir) + "/";
        setHomeDir(g_home.c_str());
        atexit(removeHome);
    }
    return g_home;
}

std::string readAll(const std::string& path) {
    std::string s;
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) s.append(buf, n);
    fclose(fp);
    return s;
}

std::unique_ptr<stQzSv> makeState() {
    auto sv = std::make_unique<stQzSv>();
    keyStoreInit(&sv->keys, 1009);
    sv->tNameLocks = keyTableCreate(&sv->keys, "NameLocks", sizeof(stNameLock), 0, 33, 64);
    sv->tAlias = keyTableCreate(&sv->keys, "Alias", sizeof(stAliasRec), 0, 33, 1024);
    return sv;
}

void freeState(stQzSv* sv) {
    nmFree(sv);
    keyStoreFree(&sv->keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = home();
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

    // The whole file: loading leaves it as it was; what was taken round-trips.
    FILE* fp = fopen((dir + "in.dat").c_str(), "wb");
    if (!fp) return 0;
    fwrite(input.data(), 1, input.size(), fp);
    fclose(fp);
    auto sv = makeState();
    int damaged = 0, merged = 0;
    int loaded = nmAliasLoad(sv.get(), "in.dat", &damaged, &merged);
    if (readAll(dir + "in.dat") != input) abort();
    int live = sv->keys.tables[sv->tAlias].live;
    if (loaded - merged != live) abort();
    if (nmAliasWrite(sv.get(), "out.dat") != live) abort();
    freeState(sv.get());
    auto back = makeState();
    int damaged2 = 0, merged2 = 0;
    int reloaded = nmAliasLoad(back.get(), "out.dat", &damaged2, &merged2);
    if (reloaded != live || damaged2 || merged2) abort();
    freeState(back.get());
    return 0;
}
