// External tool report lines from outside: tokens stay inside the line, are at most 256, hold no
// separator unless quoted, and the whole report runs through the module without harm.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "players/power.h"
#include "simhost/quiethost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4000) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string work = input;
    char* tokens[QZ_TOOL_TOKENS];
    const int n = toolTokenize(work.data(), tokens, QZ_TOOL_TOKENS);
    if (n < 0 || n > QZ_TOOL_TOKENS) abort();
    for (int i = 0; i < n; ++i) {
        if (tokens[i] < work.data() || tokens[i] > work.data() + work.size()) abort();
        const bool quoted = tokens[i] > work.data() && tokens[i][-1] == '"';
        if (!quoted && strpbrk(tokens[i], " \t\r\n")) abort();
    }
    // The command line as the console would give it (one line, no NUL).
    static sim::QuietHost host("qzfuzztool");
    for (char& c : input)
        if (c == 0 || c == '\r' || c == '\n') c = ' ';
    host.line("qz_sv_exttool " + input);
    return 0;
}
