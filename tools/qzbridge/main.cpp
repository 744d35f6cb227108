// qzbridge: runs the server module for a real, unmodified game server of the ioquake3 family.
// The module's console is standard input, as with qzhost. docs/bridge.md describes it.
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "qzbridge/bridge.h"
#include "qzbridge/options.h"

namespace {

volatile int g_stop = 0;

void onSignal(int) { g_stop = 1; }

void usage() {
    std::fprintf(stderr,
                 "usage: qzbridge --log GAMELOG [--server ADDRESS:PORT] [--home DIR] "
                 "[--module PATH] [--password-file FILE] [--source ADDRESS] [--verbose]\n"
                 "The remote-console password comes from --password-file or the environment "
                 "variable %s.\n",
                 qzb::kPasswordVariable);
}

std::string programDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    std::string text(path, static_cast<size_t>(n));
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "./" : text.substr(0, slash + 1);
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

int main(int argc, char** argv) {
    qzb::Options o;
    std::string passwordFile, server = "127.0.0.1:27960";
    o.home = "bridge";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--log" && more) {
            o.log = argv[++i];
        } else if (arg == "--server" && more) {
            server = argv[++i];
        } else if (arg == "--home" && more) {
            o.home = argv[++i];
        } else if (arg == "--module" && more) {
            o.module = argv[++i];
        } else if (arg == "--password-file" && more) {
            passwordFile = argv[++i];
        } else if (arg == "--source" && more) {
            o.source = argv[++i];
        } else if (arg == "--verbose") {
            o.verbose = true;
        } else {
            usage();
            return 2;
        }
    }
    if (o.log.empty() || !qzb::parseServer(server, &o.server, &o.port)) {
        usage();
        return 2;
    }
    std::string error;
    if (!qzb::readPassword(passwordFile, &o.password, &error)) {
        std::fprintf(stderr, "qzbridge: %s\n", error.c_str());
        return 2;
    }
    if (o.module.empty()) o.module = programDirectory() + "qzsv.so";
    o.home = absolute(o.home);
    if (mkdir(o.home.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "qzbridge: cannot create %s: %s\n", o.home.c_str(), strerror(errno));
        return 1;
    }

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    qzb::Bridge bridge(std::move(o));
    if (!bridge.start(&error)) {
        std::fprintf(stderr, "qzbridge: %s\n", error.c_str());
        return 1;
    }
    bridge.run(&g_stop);
    return 0;
}
