// Rcon file lines and player commands from outside: a line parses into a clean mask or is
// refused; a command that is not one plain command is never clean; a module command is never
// allowed by a pattern.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "players/power.h"
#include "util/compare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\n');
    const std::string first = input.substr(0, split);
    const std::string second = split == std::string::npos ? "" : input.substr(split + 1);

    long minPower = 0;
    char mask[QZ_RCON_MASK];
    if (rconParseLine(input.c_str(), &minPower, mask, sizeof mask)) {
        if (!rconCommandClean(mask) || strlen(mask) >= QZ_RCON_MASK) abort();
        if (minPower < QZ_POWER_MIN || minPower > QZ_POWER_MAX) abort();
    }
    const char* cmd = second.c_str();
    const bool clean = rconCommandClean(cmd);
    for (const char* p = cmd; clean && *p; ++p)
        if (*p == ';' || *p == '"' || *p == '\\' || static_cast<unsigned char>(*p) < 32) abort();
    const bool allowed = rconMaskAllows(first.c_str(), cmd);
    // A module command needs a mask whose first word is that command, without a pattern.
    const char* c = cmd;
    while (*c == ' ' || *c == '\t') c++;
    if (allowed && trncasecmp(c, "qz_sv_", 6) == 0 && strlen(c) >= 6) {
        const char* m = first.c_str();
        while (*m == ' ' || *m == '\t') m++;
        size_t w = strcspn(m, " \t");
        if (memchr(m, '*', w)) abort();
    }
    return 0;
}
