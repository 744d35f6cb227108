// qzhost: plays the game server for the module on a console. It loads qzsv.so, reads lines from
// standard input (console lines for the module, or sim_ commands that simulate players and the
// game) and prints everything the module does, one line each. docs/qzhost.md describes it.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "simhost/simhost.h"

namespace {

constexpr int kFrameMs = 50;

// SIGINT and SIGTERM end the program as "quit" does (the module is shut down and its log
// written out). The handler only writes the signal number into a pipe that the main loop polls
// together with standard input, so no signal is missed between two polls.
int g_signalPipe[2] = {-1, -1};

void onStopSignal(int signo) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(signo);
    ssize_t ignored = write(g_signalPipe[1], &b, 1);
    (void)ignored;
    errno = saved;
}

bool catchStopSignals() {
    if (pipe(g_signalPipe) != 0) return false;
    for (int fd : g_signalPipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}
constexpr const char* kDefaultStart = "2026-01-01T00:00:00";

struct Options {
    std::string module;
    bool manualClock = false;
    std::string start = kDefaultStart;
    std::vector<std::pair<std::string, std::string>> sets;
    unsigned hostFlags = 0;
};

void usage() {
    std::fprintf(stderr,
                 "usage: qzhost [--module PATH] [--manual-clock[=YYYY-MM-DDTHH:MM:SS]] "
                 "[--no-client-module] [--drops-bots] [+set NAME VALUE]...\n");
}

// The directory of the running program, with a trailing '/', or "./" when it cannot be read.
std::string programDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    std::string text(path, static_cast<size_t>(n));
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "./" : text.substr(0, slash + 1);
}

std::string currentDirectory() {
    char path[PATH_MAX];
    if (!getcwd(path, sizeof path)) return ".";
    return path;
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--module" && i + 1 < argc) {
            options->module = argv[++i];
        } else if (arg.rfind("--module=", 0) == 0) {
            options->module = arg.substr(9);
        } else if (arg == "--manual-clock") {
            options->manualClock = true;
        } else if (arg.rfind("--manual-clock=", 0) == 0) {
            options->manualClock = true;
            options->start = arg.substr(15);
        } else if (arg == "--no-client-module") {
            options->hostFlags |= QZ_HOST_NO_CLIENT_MODULE;
        } else if (arg == "--drops-bots") {
            options->hostFlags |= QZ_HOST_DROPS_BOTS;
        } else if (arg == "+set" && i + 2 < argc) {
            options->sets.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

long long monotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Hands every complete line in PENDING to the host. Returns false once a line asked to quit.
bool runLines(sim::SimHost& host, std::string& pending) {
    size_t start = 0;
    for (;;) {
        size_t end = pending.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = pending.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (!host.line(line)) return false;
    }
    pending.erase(0, start);
    return true;
}

// Reads standard input without ever waiting past the next frame; lines of any length are
// collected whole. Returns when the input ends or a line says quit.
void mainLoop(sim::SimHost& host) {
    std::string pending;
    std::vector<char> chunk(65536);
    long long nextFrame = monotonicMs() + kFrameMs;
    for (;;) {
        int timeout = -1;
        if (!host.manualClock()) {
            long long wait = nextFrame - monotonicMs();
            timeout = wait < 0 ? 0 : static_cast<int>(wait);
        }
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
        const struct pollfd& input = fds[0];
        int ready = poll(fds, g_signalPipe[0] >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            unsigned char signo = 0;
            if (read(g_signalPipe[0], &signo, 1) == 1) {
                std::printf("[qzhost] %s: shutting the module down\n",
                            signo == SIGINT ? "SIGINT" : "SIGTERM");
                std::fflush(stdout);
            }
            break;
        }
        if (ready > 0 && input.revents) {
            ssize_t n = read(STDIN_FILENO, chunk.data(), chunk.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                // End of input: a last line without a line end still counts.
                if (!pending.empty() && !runLines(host, pending += "\n")) return;
                break;
            }
            pending.append(chunk.data(), static_cast<size_t>(n));
            if (!runLines(host, pending)) return;
        }
        if (!host.manualClock() && monotonicMs() >= nextFrame) {
            host.frame();
            nextFrame += kFrameMs;
            long long now = monotonicMs();
            if (nextFrame <= now) nextFrame = now + kFrameMs;
        }
    }
    host.shutdown();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
        usage();
        return 2;
    }
    // The module beside the program (a build folder), else where cmake --install put it: first
    // relative to the program (an installation moved or made with --prefix), then the prefix
    // the build was configured with.
    if (options.module.empty()) {
        const std::string dir = programDirectory();
        std::vector<std::string> candidates = {dir + "qzsv.so"};
#ifdef QZ_MODULE_FROM_PROGRAM
        candidates.push_back(dir + QZ_MODULE_FROM_PROGRAM);
#endif
#ifdef QZ_INSTALLED_MODULE
        candidates.push_back(QZ_INSTALLED_MODULE);
#endif
        options.module = candidates.front();
        for (const std::string& path : candidates) {
            struct stat st;
            if (stat(path.c_str(), &st) == 0) {
                options.module = path;
                break;
            }
        }
    }
    time_t start = 0;
    if (options.manualClock && !sim::parseLocalTime(options.start, &start)) {
        std::fprintf(stderr, "qzhost: bad time %s (want YYYY-MM-DDTHH:MM:SS)\n",
                     options.start.c_str());
        return 2;
    }

    sim::SimHost host;
    host.echoTo(stdout);
    const std::string demo = currentDirectory() + "/demo";
    host.setCvar("fs_homepath", demo);
    host.setCvar("fs_basepath", demo);
    for (const auto& [name, value] : options.sets) host.setCvar(name, value);
    // Only the home is made: a base path without the folder merely provides no files.
    if (host.cvar("fs_homepath") == demo) {
        if (mkdir(demo.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "qzhost: cannot create %s: %s\n", demo.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    if (options.manualClock) host.setManualClock(start);
    if (!catchStopSignals()) std::fprintf(stderr, "qzhost: cannot catch SIGINT and SIGTERM\n");
    host.setHostFlags(options.hostFlags);
    if (!host.loadModule(options.module)) return 1;
    if (host.start() != 0) return 1;
    mainLoop(host);
    return 0;
}
