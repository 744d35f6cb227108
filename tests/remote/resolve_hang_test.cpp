// A DNS server that never answers: the module's restart and shut-down must not wait for it, and
// the lookups they give up must never write into freed memory. The test runs in a child process
// with a mount namespace of its own, where /etc/resolv.conf names a loopback UDP socket that
// takes the queries and never replies.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "host/qzsv.h"
#include "remote/resolve.h"
#include "simhost/simhost.h"

namespace {

constexpr int kSkipped = 77;
// How long the silent server makes a lookup wait, and the longest a restart or shut-down may
// take before it counts as having waited for one: half of it.
constexpr int kDnsTimeoutMs = 3000;
constexpr long long kWaitedMs = kDnsTimeoutMs / 2;

// Exit codes of the child, one per failed step, so the parent can say which failed.
enum Step {
    kOk = 0,
    kNoQuery = 10,      // the module never asked the silent server
    kSlowRestart = 11,  // the restart frame waited for DNS
    kSlowShutdown = 12,
    kStillRunning = 13,  // the abandoned lookups never ended
    kStartFailed = 14,
};

// Puts a private resolv.conf naming a silent server at 127.x.y.z:53 in place for this process
// only; returns the server's socket, -1 when the machine does not allow it (no root, no mount
// namespaces).
int silentDns(const std::string& dir) {
    if (unshare(CLONE_NEWNS) != 0) return -1;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
    std::random_device seed;
    unsigned pick = seed();
    in_addr at{};
    at.s_addr = htonl(0x7F000000u | (((pick >> 8) % 250 + 2) << 16) | ((pick % 250 + 2) << 8) | 9);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53);
    sa.sin_addr = at;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &at, text, sizeof text);
    std::string conf = dir + "/resolv.conf";
    // One try of three seconds: a frame that waited for a lookup takes at least that long, far
    // above what a restart costs even in an emulated or sanitizer build, and the abandoned
    // lookups still end soon after the test has checked that nothing waited for them.
    std::ofstream(conf) << "nameserver " << text << "\noptions timeout:" << kDnsTimeoutMs / 1000
                        << " attempts:1\n";
    if (mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) return -1;
    return fd;
}

long long msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

// The child's whole run; returns its exit code.
int hangingDnsRun(const std::string& dir) {
    int dns = silentDns(dir);
    if (dns < 0) return kSkipped;
    sim::SimHost host;
    host.useEntryPoints(&sa, &sb);
    time_t start = 0;
    if (!sim::parseLocalTime("2026-01-01T00:00:00", &start)) return kStartFailed;
    host.setManualClock(start);
    host.setCvar("fs_homepath", dir);
    host.setCvar("fs_basepath", dir);
    if (host.start() != 0) return kStartFailed;
    // The built-in masters are names: each is looked up, and the silent server hears of it.
    host.line("qz_sv_Update");
    host.advance(5);
    pollfd p{dns, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) return kNoQuery;

    // A slow step is noted and the run goes on, so that the abandoned lookups are still followed
    // to their end (under valgrind every step is slow).
    int failed = kOk;
    host.line("qz_sv_Restart");
    auto t = std::chrono::steady_clock::now();
    host.advance(5);
    if (msSince(t) > kWaitedMs || !host.contains("QZ Server Restarted")) failed = kSlowRestart;

    // Lookups of the restarted module, given up again at shut-down, which frees the state.
    host.line("qz_sv_Update");
    host.advance(5);
    t = std::chrono::steady_clock::now();
    host.shutdown();
    if (msSince(t) > kWaitedMs && failed == kOk) failed = kSlowShutdown;

    // The resolver ends the abandoned lookups (kDnsTimeoutMs each) and writes their results into
    // their own blocks; reaping reads those blocks, which the sanitizer build checks are live.
    for (int i = 0; i < 6000 && resolveReapAbandoned() > 0; ++i) usleep(10000);
    if (resolveReapAbandoned() != 0 && failed == kOk) failed = kStillRunning;
    return failed;
}

}  // namespace

// The child's side: runs only in the fresh process the test below starts (a forked copy of a
// program that has already used the resolver would inherit its helper-thread bookkeeping without
// the threads), and exits with the step that failed. Disabled, so that only that process runs it.
TEST(SilentDnsChild, DISABLED_Run) {
    const char* dir = getenv("QZ_SILENT_DNS_DIR");
    if (!dir) GTEST_SKIP() << "run by SilentDns in a process of its own";
    _exit(hangingDnsRun(dir));
}

TEST(SilentDns, RestartAndShutdownNeverWaitAndAbandonedLookupsEndInTheirOwnMemory) {
    char pattern[] = "/tmp/qzdns-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("QZ_SILENT_DNS_DIR", dir.c_str(), 1);
        char filter[] = "--gtest_filter=SilentDnsChild.DISABLED_Run";
        char disabled[] = "--gtest_also_run_disabled_tests";
        char self[] = "/proc/self/exe";
        if (QZ_RUN[0]) {
            // Under an emulator the program is started through it, by its own path.
            char path[4096];
            ssize_t n = readlink(self, path, sizeof path - 1);
            if (n <= 0) _exit(127);
            path[n] = 0;
            char emulator[] = QZ_RUN;
            char* argv[] = {emulator, path, filter, disabled, nullptr};
            execv(emulator, argv);
            _exit(127);
        }
        char* argv[] = {self, filter, disabled, nullptr};
        execv(self, argv);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == kSkipped) GTEST_SKIP() << "no mount namespace (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), kOk);
}
