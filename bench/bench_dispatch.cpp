// The dispatcher's cost per line: showing a setting, running a known command, and loading a
// generated configuration of 10,000 lines. The module runs on a minimal in-file host whose print
// callback throws the output away, so the figures are the module's own.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "commands/settings.h"
#include "host/qzsv.h"
#include "simhost/quiethost.h"

namespace {

// Started once for the whole program.
class Module : public sim::QuietHost {
  public:
    Module() : QuietHost("qzbench") {}
    void line(const char* text) { QuietHost::line(text, static_cast<int>(strlen(text))); }
};

Module& module() {
    static Module m;
    return m;
}

void BM_ShowSetting(benchmark::State& state) {
    Module& m = module();
    for (auto _ : state) m.line("qz_sv_KickLen");
}
BENCHMARK(BM_ShowSetting);

void BM_AssignSetting(benchmark::State& state) {
    Module& m = module();
    for (auto _ : state) m.line("qz_sv_MsgPrefix \"^1Bench Server\" //comment");
}
BENCHMARK(BM_AssignSetting);

void BM_KnownCommand(benchmark::State& state) {
    Module& m = module();
    for (auto _ : state) m.line("qz_sv_HomePath");
}
BENCHMARK(BM_KnownCommand);

void BM_UnknownWord(benchmark::State& state) {
    Module& m = module();
    for (auto _ : state) m.line("qz_sv_Frobnicate 1 2 3");
}
BENCHMARK(BM_UnknownWord);

// 10,000 lines cycling through every listed setting with a valid value, with comments and
// comment lines mixed in as a written configuration has them.
void BM_Load10000Lines(benchmark::State& state) {
    Module& m = module();
    std::string path = m.home() + "bench.cfg";
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) abort();
    for (int i = 0; i < 10000; ++i) {
        const SettingRow& row = kSettingTable[i % kSettingCount];
        if (i % 50 == 0) {
            fprintf(fp, ";comment line %d\r\n", i);
        } else if (row.kind == SET_TEXT) {
            fprintf(fp, "%s \"%.*s\" //%s\r\n", row.name, row.capacity, "value text", row.help);
        } else {
            fprintf(fp, "%s %d //%s\r\n", row.name, row.defInt, row.help);
        }
    }
    fclose(fp);
    for (auto _ : state) m.line("qz_sv_Load bench.cfg");
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_Load10000Lines)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
