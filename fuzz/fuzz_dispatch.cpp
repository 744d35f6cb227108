// Arbitrary lines through the dispatcher of a started module: every command, setting and
// directive parser sees hostile text. The module runs on the do-nothing host on a temporary home,
// so commands that write files write there. Lines naming QZ_SV_RESOLVE are dropped: a name
// lookup would make the run depend on the network.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "simhost/quiethost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::QuietHost host("qzfuzz");
    const char* text = reinterpret_cast<const char*>(data);
    size_t at = 0;
    while (at <= size) {
        size_t end = at;
        while (end < size && text[end] != '\n') end++;
        std::string line(text + at, end - at);
        if (line.find("RESOLVE") == std::string::npos) {
            host.line(line);
        }
        at = end + 1;
    }
    // Runs what a line queued (a restart, pending events).
    host.frame();
    return 0;
}
