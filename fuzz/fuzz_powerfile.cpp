// Power file lines from outside: any bytes must parse into an entry that reads back as written or
// be refused, and accepted entries must feed the power rule without harm.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/state.h"
#include "players/power.h"

// One central state for the whole run: a fresh one per input (1.5 MB, faulted in anew each
// time) would cost most of the run's time. pwFree leaves the power part as a fresh state has it,
// and nothing else is touched.
stQzSv* state() {
    static stQzSv* sv = new stQzSv();
    return sv;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    stQzSv* sv = state();
    sv->pw.list = flexarMake(sizeof(stSvPower), 16);
    size_t at = 0;
    while (at <= input.size()) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(at, end - at + (end < input.size() ? 1 : 0));
        at = end + 1;
        int points = 0;
        char guid[33], name[33];
        if (!pwParseLine(line.c_str(), &points, guid, name)) continue;
        if (strlen(guid) > 32 || strlen(name) > 32) abort();
        if (points < QZ_POWER_MIN || points > QZ_POWER_MAX) abort();
        for (const char* p = guid; *p; ++p)
            if (static_cast<unsigned char>(*p) <= ' ' || *p == '"') abort();
        for (const char* p = name; *p; ++p)
            if (static_cast<unsigned char>(*p) < ' ' || *p == '"') abort();
        bool updated = false;
        int pos = pwSet(sv, guid, points, name, &updated);
        if (!pos) continue;
        // An entry's own GUID text always finds an entry at or before its own.
        int found = 0;
        pwRule(sv, guid[0] ? guid : "x", -1, &found);
        if (guid[0] && (found < 1 || found > pos)) abort();
    }
    pwFree(sv);
    return 0;
}
