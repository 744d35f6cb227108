// WebTool under load, on loopback (each figure with its median, 99.9th percentile and maximum):
// - a whole request (connect, request, answer, close) to the module's listener, side by side
//   with nginx serving a static file of the same size in the same run;
// - 1,000 connections opened at once and left silent: the longest frame call, and how long an
//   administrator's request made meanwhile waits for its answer;
// - one address flooding at 1,000 requests a second: the administrator's wait and the frames.
// The module runs in this process on the simulated game server (system clock); frames are
// called from the benchmark loop, as the game server would call them, until the answer is in.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/webtool/web_client.h"
#include "host/qzsv.h"
#include "simhost/simhost.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kRequest = "GET /qzsvweb HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

double threadCpuMicros() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The module on a simulated game server, WebTool on a free loopback port.
struct Module {
    std::string home;
    std::unique_ptr<sim::SimHost> host;
    int port = 0;

    Module() {
        char pattern[] = "/tmp/qzbench-XXXXXX";
        home = mkdtemp(pattern);
        host = std::make_unique<sim::SimHost>();
        host->useEntryPoints(&sa, &sb);
        host->setCvar("fs_homepath", home);
        host->setCvar("fs_basepath", home);
        host->start();
        port = webtest::freePort();
        host->console("qz_sv_HttpKey benchkey");
        host->console("qz_sv_HttpPort " + std::to_string(port));
        host->frame();
    }
    ~Module() {
        host->shutdown();
        host.reset();
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }
    void frame() {
        host->frame();
        host->clearOutput();
    }
};

Module& module() {
    static Module m;
    return m;
}

// One whole request; frame is called between reads until the server closes.
std::string wholeRequest(int port, const std::function<void()>& frame) {
    int s = webtest::connectTo(port);
    if (s < 0) return "";
    webtest::sendText(s, kRequest);
    std::string answer;
    if (frame) {
        answer = webtest::awaitAnswer(s, frame, 100000);
    } else {
        int flags = fcntl(s, F_GETFL);
        fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
        char buf[65536];
        for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;) answer.append(buf, size_t(n));
    }
    close(s);
    return answer;
}

void reportLatencies(benchmark::State& state, std::vector<double>& us, size_t bytes) {
    std::sort(us.begin(), us.end());
    if (us.empty()) return;
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["p999_us"] = us[us.size() * 999 / 1000];
    state.counters["max_us"] = us.back();
    state.counters["answer_bytes"] = static_cast<double>(bytes);
}

void BM_WebToolWholeRequest(benchmark::State& state) {
    Module& m = module();
    std::vector<double> us;
    size_t bytes = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::string answer = wholeRequest(m.port, [&m] { m.frame(); });
        us.push_back(micros(Clock::now() - t0));
        bytes = answer.size();
        if (answer.find("Login Screen") == std::string::npos) {
            state.SkipWithError("no Login Screen in the answer");
            break;
        }
    }
    reportLatencies(state, us, bytes);
}
BENCHMARK(BM_WebToolWholeRequest)->UseRealTime();

// nginx with a configuration of its own in a temporary directory, one foreground process.
struct Nginx {
    std::string dir;
    pid_t pid = -1;
    int port = 0;

    // Serves body as the file /qzsvweb.
    void serve(const std::string& body) const { std::ofstream(dir + "/www/qzsvweb") << body; }

    bool start(const std::string& body) {
        if (access("/usr/sbin/nginx", X_OK) != 0) return false;
        char pattern[] = "/tmp/qznginx-XXXXXX";
        dir = mkdtemp(pattern);
        std::filesystem::create_directories(dir + "/www");
        serve(body);
        port = webtest::freePort();
        std::ofstream conf(dir + "/nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "error_log " << dir << "/error.log;\npid " << dir << "/nginx.pid;\n"
             << (getuid() == 0 ? "user root;\n" : "")
             << "events { worker_connections 1024; }\nhttp {\n access_log off;\n"
             << " client_body_temp_path " << dir << "/body;\n proxy_temp_path " << dir
             << "/proxy;\n fastcgi_temp_path " << dir << "/fcgi;\n uwsgi_temp_path " << dir
             << "/uwsgi;\n scgi_temp_path " << dir << "/scgi;\n"
             << " default_type text/html;\n server {\n  listen 127.0.0.1:" << port << ";\n  root "
             << dir << "/www;\n }\n}\n";
        conf.close();
        pid = fork();
        if (pid == 0) {
            execl("/usr/sbin/nginx", "nginx", "-p", dir.c_str(), "-c",
                  (dir + "/nginx.conf").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Wait until it answers.
        for (int i = 0; i < 200; ++i) {
            int s = webtest::connectTo(port);
            if (s >= 0) {
                close(s);
                return true;
            }
            usleep(10000);
        }
        return false;
    }
    ~Nginx() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
};

void BM_NginxWholeRequest(benchmark::State& state) {
    // The same bytes on the wire as the module's Login Screen: nginx serves the module's page
    // (its HTML) as a file, padded or trimmed so that nginx's own header lines and the page
    // make exactly as many bytes as the module's whole answer.
    const std::string moduleAnswer = wholeRequest(module().port, [] { module().frame(); });
    size_t bodyAt = moduleAnswer.find("\r\n\r\n");
    if (bodyAt == std::string::npos) {
        state.SkipWithError("the module's answer has no header end");
        return;
    }
    std::string body = moduleAnswer.substr(bodyAt + 4);
    Nginx nginx;
    if (!nginx.start(body)) {
        state.SkipWithError(
            "nginx is not installed or did not start (scripts/deps.sh installs it)");
        return;
    }
    for (int round = 0; round < 4; ++round) {
        long diff = static_cast<long>(moduleAnswer.size()) -
                    static_cast<long>(wholeRequest(nginx.port, nullptr).size());
        if (diff == 0) break;
        if (diff > 0) {
            body.insert(body.size() - 1, static_cast<size_t>(diff), ' ');
        } else {
            body.erase(body.size() - 1 - std::min(body.size() - 1, static_cast<size_t>(-diff)),
                       static_cast<size_t>(-diff));
        }
        nginx.serve(body);
    }
    if (wholeRequest(nginx.port, nullptr).size() != moduleAnswer.size()) {
        state.SkipWithError("could not make nginx's answer the module's size");
        return;
    }
    state.counters["module_answer_bytes"] = static_cast<double>(moduleAnswer.size());
    std::vector<double> us;
    size_t bytes = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        std::string answer = wholeRequest(nginx.port, nullptr);
        us.push_back(micros(Clock::now() - t0));
        bytes = answer.size();
        if (answer.find("200 OK") == std::string::npos) {
            state.SkipWithError("nginx did not answer 200");
            break;
        }
    }
    reportLatencies(state, us, bytes);
}
BENCHMARK(BM_NginxWholeRequest)->UseRealTime();

// 1,000 silent connections, then an administrator's request. Each iteration is one whole run.
void BM_SilentFlood(benchmark::State& state) {
    const int kSilent = static_cast<int>(state.range(0));
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < static_cast<rlim_t>(kSilent + 256)) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, kSilent + 256);
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    Module& m = module();
    // Wall time of a frame includes being preempted on a busy machine; the thread's CPU time is
    // what the frame itself costs. Both are reported.
    double worstFrame = 0, worstFrameCpu = 0, worstAdmin = 0;
    long frames = 0, framesOver1ms = 0;
    for (auto _ : state) {
        std::vector<int> silent;
        for (int i = 0; i < kSilent; ++i) {
            int s = webtest::connectTo(m.port);
            if (s >= 0) silent.push_back(s);
        }
        auto t0 = Clock::now();
        int admin = webtest::connectTo(m.port);
        webtest::sendText(admin, webtest::postPlain("webkey=benchkey\r\nplist=1\r\n"));
        std::string answer;
        bool done = false;
        while (!done && micros(Clock::now() - t0) < 5e6) {
            auto f0 = Clock::now();
            double c0 = threadCpuMicros();
            m.frame();
            double wall = micros(Clock::now() - f0);
            worstFrameCpu = std::max(worstFrameCpu, threadCpuMicros() - c0);
            worstFrame = std::max(worstFrame, wall);
            frames++;
            if (wall > 1000) framesOver1ms++;
            done = webtest::readSome(admin, &answer);
        }
        worstAdmin = std::max(worstAdmin, micros(Clock::now() - t0) / 1000.0);
        if (answer.find("Player List Screen") == std::string::npos) {
            state.SkipWithError("the administrator got no Player List");
        }
        close(admin);
        for (int s : silent) close(s);
        state.counters["silent_connections"] = static_cast<double>(silent.size());
        // Let the module drop what is left of the flood before the next iteration.
        for (int i = 0; i < 100; ++i) m.frame();
    }
    state.counters["worst_frame_us"] = worstFrame;
    state.counters["worst_frame_cpu_us"] = worstFrameCpu;
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["frames_over_1ms"] = static_cast<double>(framesOver1ms);
    state.counters["admin_answer_ms"] = worstAdmin;
}
BENCHMARK(BM_SilentFlood)
    ->Arg(0)
    ->Arg(1000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One address (127.0.0.2) floods at 1,000 complete requests a second for 1.5 seconds while an
// administrator at 127.0.0.1 asks for the Player List every 100 ms; frames every 50 ms, as a
// game server calls them. Reported: the administrator's wait and the frame's cost, median, 99.9th
// percentile and maximum.
int connectFrom(int port, const char* from) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<unsigned short>(port));
    // A listener whose backlog is full (its frames have stopped) leaves a connect waiting for
    // minutes of SYN retries: give up after a second, so a flooder thread always ends.
    timeval limit{1, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    return s;
}

void tails(benchmark::State& state, const char* name, std::vector<double>& v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    state.counters[std::string(name) + "_median"] = v[v.size() / 2];
    state.counters[std::string(name) + "_p999"] = v[v.size() * 999 / 1000];
    state.counters[std::string(name) + "_max"] = v.back();
}

void BM_AddressFlood(benchmark::State& state) {
    Module& m = module();
    std::vector<double> waitsMs, frameCpuUs, frameWallUs;
    long flood = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::atomic<long> sent{0};
        std::thread flooder([&] {
            // Connection attempts that do not wait for the handshake (an attacker does not wait
            // either); the request is sent once a connection is established.
            std::deque<std::pair<int, bool>> open;  // socket, request sent
            auto next = Clock::now();
            const std::string request = "GET /qzsvweb HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
            while (!stop.load()) {
                int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
                sockaddr_in local{};
                local.sin_family = AF_INET;
                inet_pton(AF_INET, "127.0.0.2", &local.sin_addr);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                to.sin_port = htons(static_cast<unsigned short>(m.port));
                if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
                    (void)connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
                    open.emplace_back(s, false);
                    sent++;
                } else if (s >= 0) {
                    close(s);
                }
                for (size_t i = open.size() > 64 ? open.size() - 64 : 0; i < open.size(); ++i) {
                    auto& [sock, done] = open[i];
                    if (done) continue;
                    struct pollfd p = {sock, POLLOUT, 0};
                    if (poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & POLLERR)) {
                        done = true;
                        (void)!send(sock, request.data(), request.size(), MSG_NOSIGNAL);
                    }
                }
                while (open.size() > 300) {
                    close(open.front().first);
                    open.pop_front();
                }
                next += std::chrono::microseconds(1000);
                std::this_thread::sleep_until(next);
            }
            for (auto& o : open) close(o.first);
        });
        struct Ask {
            int sock;
            Clock::time_point at;
            std::string answer;
        };
        std::vector<Ask> asks;
        const auto start = Clock::now();
        auto nextFrame = start, nextAsk = start;
        while (Clock::now() - start < std::chrono::milliseconds(1500) || !asks.empty()) {
            if (Clock::now() - start > std::chrono::milliseconds(4000)) break;
            auto now = Clock::now();
            if (now >= nextAsk && now - start < std::chrono::milliseconds(1500)) {
                int s = connectFrom(m.port, "127.0.0.1");
                if (s >= 0) {
                    webtest::sendText(s, webtest::postPlain("webkey=benchkey\r\nplist=1\r\n"));
                    asks.push_back({s, Clock::now(), ""});
                }
                nextAsk += std::chrono::milliseconds(100);
            }
            if (now >= nextFrame) {
                double c0 = threadCpuMicros();
                auto w0 = Clock::now();
                m.frame();
                frameWallUs.push_back(micros(Clock::now() - w0));
                frameCpuUs.push_back(threadCpuMicros() - c0);
                nextFrame += std::chrono::milliseconds(50);
            }
            for (auto it = asks.begin(); it != asks.end();) {
                if (webtest::readSome(it->sock, &it->answer)) {
                    waitsMs.push_back(micros(Clock::now() - it->at) / 1000.0);
                    close(it->sock);
                    it = asks.erase(it);
                } else {
                    ++it;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        stop = true;
        flooder.join();
        for (Ask& a : asks) {
            close(a.sock);
            waitsMs.push_back(1e9);  // never answered
        }
        flood += sent.load();
        for (int i = 0; i < 60; ++i) m.frame();
    }
    state.counters["flood_requests"] = static_cast<double>(flood);
    tails(state, "admin_wait_ms", waitsMs);
    tails(state, "frame_cpu_us", frameCpuUs);
    tails(state, "frame_wall_us", frameWallUs);
}
BENCHMARK(BM_AddressFlood)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The administrator's request latency with the game server's frame cadence (a frame every
// 50 ms), alone and while 127.0.0.2 keeps four connections busy with complete requests (each
// answered one replaced at once), side by side with nginx serving the same page under the same
// load in the same run. Argument 0: module, 1: nginx; second argument: 0 alone, 1 flood.
// Requests are sent at random points between frames, so the module's figures include the wait
// for the next frame (at most 50 ms; a request complete before a frame is answered in it).
void BM_AdminLatency(benchmark::State& state) {
    const bool viaNginx = state.range(0) == 1;
    const bool flood = state.range(1) == 1;
    Module& m = module();
    Nginx nginx;
    int port = m.port;
    if (viaNginx) {
        const std::string page = wholeRequest(m.port, [&m] { m.frame(); });
        size_t at = page.find("\r\n\r\n");
        if (at == std::string::npos || !nginx.start(page.substr(at + 4))) {
            state.SkipWithError("nginx is not installed or did not start");
            return;
        }
        port = nginx.port;
    }
    std::atomic<bool> stop{false};
    std::atomic<long> floodAnswers{0};
    std::thread flooder;
    if (flood) {
        flooder = std::thread([&] {
            int socks[4] = {-1, -1, -1, -1};
            while (!stop.load()) {
                for (int& s : socks) {
                    if (s >= 0) {
                        char buf[65536];
                        ssize_t n = recv(s, buf, sizeof buf, 0);
                        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
                        close(s);
                        floodAnswers++;
                    }
                    s = connectFrom(port, "127.0.0.2");
                    if (s >= 0) webtest::sendText(s, kRequest);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            for (int s : socks) {
                if (s >= 0) close(s);
            }
        });
    }
    std::vector<double> us;
    auto nextFrame = Clock::now();
    unsigned seed = 12345;
    for (auto _ : state) {
        // A random point within the frame interval.
        seed = seed * 1103515245u + 12345u;
        auto sendAt = Clock::now() + std::chrono::microseconds((seed >> 8) % 50000);
        while (Clock::now() < sendAt) {
            if (!viaNginx && Clock::now() >= nextFrame) {
                m.frame();
                nextFrame += std::chrono::milliseconds(50);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        int s = connectFrom(port, "127.0.0.1");
        if (s < 0) {
            state.SkipWithError("cannot connect");
            break;
        }
        auto t0 = Clock::now();
        webtest::sendText(s, kRequest);
        std::string answer;
        while (!webtest::readSome(s, &answer)) {
            if (Clock::now() - t0 > std::chrono::seconds(5)) break;
            if (!viaNginx && Clock::now() >= nextFrame) {
                m.frame();
                nextFrame += std::chrono::milliseconds(50);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        us.push_back(micros(Clock::now() - t0));
        close(s);
        if (answer.find("Login Screen") == std::string::npos) {
            state.SkipWithError("no Login Screen in the answer");
            break;
        }
    }
    if (flood) {
        stop = true;
        flooder.join();
    }
    if (viaNginx) {
        // The module's frames stop while nginx is measured; let it drop the flood's leftovers.
        for (int i = 0; i < 60; ++i) m.frame();
    }
    state.counters["flood_answers"] = static_cast<double>(floodAnswers.load());
    std::vector<double> ms;
    for (double u : us) ms.push_back(u / 1000.0);
    tails(state, "admin_ms", ms);
}
BENCHMARK(BM_AdminLatency)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    // The smoke run (QZ_BENCH_SMOKE) takes a tenth of the requests: each waits up to a frame.
    ->Iterations(getenv("QZ_BENCH_SMOKE") ? 20 : 200)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
