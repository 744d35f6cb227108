// Arbitrary lines through the dispatcher of a started module: every command, setting and
// directive parser sees hostile text. The module runs on a tiny in-file host on a temporary home,
// so commands that write files write there. Lines naming QZ_SV_RESOLVE are dropped: a name
// lookup would make the run depend on the network.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/qzsv.h"

namespace {

std::string g_home;

int hostCall(const char*, const char*) {
    return 1;
}
void print(const char*) {}
void sendClient(int, const char*, int) {}
int cvarGet(const char* name, char* out, int size) {
    const char* value = "";
    if (strcmp(name, "fs_homepath") == 0 || strcmp(name, "fs_basepath") == 0) {
        value = g_home.c_str();
    }
    snprintf(out, static_cast<size_t>(size), "%s", value);
    return *value != 0;
}

void start() {
    char pattern[] = "/tmp/qzfuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    g_home = pattern;
    qz_host host = {};
    host.abi = QZ_HOST_ABI;
    host.hostCall = hostCall;
    host.cvarGet = cvarGet;
    host.print = print;
    host.sendClient = sendClient;
    if (sa(&host) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = false;
    if (!started) {
        start();
        started = true;
    }
    const char* text = reinterpret_cast<const char*>(data);
    size_t at = 0;
    while (at <= size) {
        size_t end = at;
        while (end < size && text[end] != '\n') end++;
        std::string line(text + at, end - at);
        if (line.find("RESOLVE") == std::string::npos) {
            sb(QZ_EV_CONSOLE, 0, line.data(), static_cast<int>(line.size()));
        }
        at = end + 1;
    }
    // Runs what a line queued (a restart, pending events).
    sb(QZ_EV_FRAME, 0, "", 0);
    return 0;
}
