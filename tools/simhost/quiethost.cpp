// The do-nothing host for benchmarks and fuzz targets.
#include "simhost/quiethost.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "host/qzsv.h"

namespace sim {
namespace {

// The home of the one running QuietHost; the callbacks are plain C functions.
std::string g_home;

int hostCall(const char*, const char*) { return 1; }
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

}  // namespace

QuietHost::QuietHost(const char* tag) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + "-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    temp_ = pattern;
    g_home = temp_;
    qz_host host = {};
    host.abi = QZ_HOST_ABI;
    host.hostCall = hostCall;
    host.cvarGet = cvarGet;
    host.print = print;
    host.sendClient = sendClient;
    if (sa(&host) != 0) abort();
}

QuietHost::~QuietHost() {
    sb(QZ_EV_SHUTDOWN, 0, "", 0);
    std::error_code ignored;
    std::filesystem::remove_all(temp_, ignored);
}

void QuietHost::line(const char* text, int length) { sb(QZ_EV_CONSOLE, 0, text, length); }

void QuietHost::frame() { sb(QZ_EV_FRAME, 0, "", 0); }

}  // namespace sim
