// The remote-console link: one command in flight at a time, so every answer belongs to the
// command before it; answers are collected until the server has been quiet for a moment.
#include "qzbridge/rcon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "qzbridge/rcontext.h"

namespace qzb {

namespace {

// The server allows 10 requests at once, then one a second. A little under that, so that the
// server's own count (which also runs on its clock) never reaches its limit.
constexpr int kBurst = 9;
constexpr int kPeriodMs = 1050;
// An answer is complete once no packet came for this long; the server writes all of a
// command's output within one of its frames.
constexpr int kQuietMs = 30;
// A command without any answer after this long is given up (server down, or not listening).
constexpr int kAnswerMs = 1000;
// Longest answer kept; a listing longer than this is cut.
constexpr size_t kAnswerMax = 65536;

}  // namespace

void Budget::drain(long long nowMs, int* count, long long* last) const {
    long long interval = nowMs - *last;
    if (interval < 0 || interval / period_ > *count) {
        *count = 0;
        *last = nowMs;
        return;
    }
    *count -= static_cast<int>(interval / period_);
    *last = nowMs - interval % period_;
}

bool Budget::take(long long nowMs) {
    drain(nowMs, &count_, &last_);
    if (count_ >= burst_) return false;
    count_++;
    return true;
}

long long Budget::readyAt(long long nowMs) const {
    int count = count_;
    long long last = last_;
    drain(nowMs, &count, &last);
    if (count < burst_) return nowMs;
    return last + period_;
}

Rcon::Rcon() : budget_(kBurst, kPeriodMs) {}

Rcon::~Rcon() {
    if (fd_ >= 0) close(fd_);
}

long long Rcon::nowMs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool Rcon::open(const std::string& host, int port, const std::string& source, std::string* error) {
    server_.sin_family = AF_INET;
    server_.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &server_.sin_addr) != 1) {
        *error = "bad server address " + host + ":" + std::to_string(port);
        return false;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        *error = std::string("cannot open a UDP socket: ") + strerror(errno);
        return false;
    }
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            *error = "cannot use the source address " + source;
            return false;
        }
    }
    // Connected, so that only the server's packets reach this socket.
    if (connect(fd_, reinterpret_cast<sockaddr*>(&server_), sizeof server_) != 0) {
        *error = std::string("cannot reach ") + host + ": " + strerror(errno);
        return false;
    }
    return true;
}

void Rcon::send(const std::string& command, Purpose purpose, int client, bool urgent,
                long long notBeforeMs, int tag) {
    Pending p{command, purpose, client, notBeforeMs, urgent, tag};
    if (urgent) {
        // After the urgent ones already waiting, before the rest.
        auto it = queue_.begin();
        while (it != queue_.end() && it->urgent) ++it;
        queue_.insert(it, std::move(p));
    } else {
        queue_.push_back(std::move(p));
    }
}

bool Rcon::sendPacket(const std::string& command) {
    std::string packet;
    if (!buildRcon(password_, command, &packet)) return false;
    ssize_t n = ::send(fd_, packet.data(), packet.size(), 0);
    // The packet held the password: it is wiped before the buffer is freed.
    std::fill(packet.begin(), packet.end(), '\0');
    return n >= 0;
}

void Rcon::readPackets(long long nowMs) {
    char buffer[16384];
    for (;;) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) break;  // EAGAIN, or a refused port reported by the kernel
        std::string text;
        if (!inFlight_ || !replyText(buffer, static_cast<size_t>(n), &text)) continue;
        gotPacket_ = true;
        lastPacketAt_ = nowMs;
        if (current_.text.size() < kAnswerMax) {
            current_.text.append(text, 0, kAnswerMax - current_.text.size());
        }
    }
}

void Rcon::finish(bool answered) {
    current_.answered = answered;
    current_.badPassword = answered && isBadPassword(current_.text);
    answering_ = answered;
    done_.push_back(std::move(current_));
    current_ = Reply();
    inFlight_ = false;
    gotPacket_ = false;
}

void Rcon::pump(long long nowMs) {
    if (fd_ < 0) return;
    readPackets(nowMs);
    if (inFlight_) {
        if (gotPacket_ && nowMs - lastPacketAt_ >= kQuietMs) {
            finish(true);
        } else if (!gotPacket_ && nowMs - sentAt_ >= kAnswerMs) {
            finish(false);
        }
    }
    if (inFlight_ || queue_.empty()) return;
    // The first command that may go now; one waiting for its time does not hold up the rest.
    auto it = queue_.begin();
    while (it != queue_.end() && it->notBefore > nowMs) ++it;
    if (it == queue_.end() || !budget_.take(nowMs)) return;
    Pending p = std::move(*it);
    queue_.erase(it);
    current_ = Reply();
    current_.purpose = p.purpose;
    current_.client = p.client;
    current_.tag = p.tag;
    current_.command = p.command;
    inFlight_ = true;
    gotPacket_ = false;
    sentAt_ = nowMs;
    if (!sendPacket(p.command)) finish(false);
}

bool Rcon::take(Reply* out) {
    if (done_.empty()) return false;
    *out = std::move(done_.front());
    done_.pop_front();
    return true;
}

long long Rcon::nextWakeMs(long long nowMs) const {
    if (inFlight_) return gotPacket_ ? lastPacketAt_ + kQuietMs : sentAt_ + kAnswerMs;
    if (queue_.empty()) return -1;
    long long earliest = -1;
    for (const Pending& p : queue_) {
        long long at = p.notBefore > nowMs ? p.notBefore : nowMs;
        if (earliest < 0 || at < earliest) earliest = at;
    }
    long long ready = budget_.readyAt(nowMs);
    return ready > earliest ? ready : earliest;
}

bool Rcon::runNow(const std::string& command, std::string* answer, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    // Puts the command first and pumps until its answer is in (or time runs out).
    queue_.push_front(Pending{command, Purpose::kShown, -2, 0, true, 0});
    for (;;) {
        long long now = nowMs();
        pump(now);
        for (auto it = done_.begin(); it != done_.end(); ++it) {
            if (it->client == -2 && it->command == command) {
                bool ok = it->answered;
                *answer = std::move(it->text);
                done_.erase(it);
                return ok;
            }
        }
        if (now >= deadline) break;
        long long wake = nextWakeMs(now);
        long long until = wake < 0 || wake > deadline ? deadline : wake;
        int wait = until > now ? static_cast<int>(until - now) : 0;
        struct pollfd p = {fd_, POLLIN, 0};
        poll(&p, 1, wait > 0 ? wait : 1);
    }
    // Not sent in time: it must not run later, out of its context.
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->client == -2 && it->command == command) {
            queue_.erase(it);
            break;
        }
    }
    if (inFlight_ && current_.client == -2) current_.client = -3;  // its answer is dropped
    return false;
}

}  // namespace qzb
