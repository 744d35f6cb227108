// Statistics file lines and texts from outside: a line parses into a record with a valid text of
// at most 986 characters or is refused; merging any text into a record never lets it outgrow
// its 986 characters, and a text that was valid stays valid.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "players/power.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    stSvStat rec;
    if (statParseLine(input.c_str(), &rec)) {
        if (strlen(rec.stat) > QZ_STAT_TEXT || !statTextValid(rec.stat)) abort();
    }
    static char text[QZ_STAT_TEXT + 1];
    static int rounds = 0;
    if (++rounds % 64 == 0) text[0] = 0;
    const bool wasValid = statTextValid(text);
    statMergeText(text, input.c_str());
    if (strlen(text) > QZ_STAT_TEXT) abort();
    if (wasValid && !statTextValid(text)) abort();
    // The merge step with fuzzed category, key and value.
    const size_t a = input.find(' '), b = a == std::string::npos ? a : input.find(' ', a + 1);
    if (b != std::string::npos) {
        const std::string cat = input.substr(0, a), key = input.substr(a + 1, b - a - 1);
        const std::string value = input.substr(b + 1);
        char work[QZ_STAT_TEXT + 1];
        memcpy(work, text, sizeof work);
        const bool ok = statMergeOne(work, cat.c_str(), key.c_str(), value.c_str());
        if (strlen(work) > QZ_STAT_TEXT) abort();
        if (!ok && strcmp(work, text) != 0) abort();  // a refused merge changes nothing
        if (wasValid && !statTextValid(work)) abort();
    }
    return 0;
}
