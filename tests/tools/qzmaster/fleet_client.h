// A fake fleet member for the service's tests: one UDP socket on loopback that seals bodies as a
// module does and opens what the service sends back.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "remote/fleet_wire.h"

namespace fleettest {

inline long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline uint64_t nowMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

struct FakeServer {
    std::string id;
    unsigned char key[QZF_KEY_BYTES] = {};
    int fd = -1;
    uint64_t counter = 0;
    unsigned servicePort = 0;
    std::string lastPacket;  // the last datagram sent, for replays
    // One replay window per master (by its port), as a module keeps one per master address.
    std::map<unsigned, FleetWindow> windows;
    uint64_t epoch = 0x5eed0001;  // the report queue's epoch

    FakeServer(const std::string& serverId, const std::string& keyHex, unsigned port)
        : id(serverId), servicePort(port) {
        fleetKeyParse(keyHex.data(), static_cast<int>(keyHex.size()), key);
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~FakeServer() {
        if (fd >= 0) close(fd);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    void sendRaw(const std::string& packet, unsigned port = 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(port ? port : servicePort));
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // Seals BODY under KEY (this server's own unless given) and sends it.
    void send(const FleetBody& body, const unsigned char* withKey = nullptr, unsigned port = 0) {
        char text[QZF_BODY_MAX + 1];
        int n = fleetFormat(text, sizeof text, body);
        char out[QZF_PACKET_MAX + 1];
        int len =
            fleetSeal(out, sizeof out, text, n, id.c_str(), fleetNextCounter(&counter, nowMicros()),
                      QZF_TO_SERVICE, withKey ? withKey : key);
        lastPacket.assign(out, static_cast<size_t>(len > 0 ? len : 0));
        sendRaw(lastPacket, port);
    }
    void report(uint32_t reportId, const char* guid, const char* name, uint64_t length = 0,
                unsigned port = 0, uint64_t banTime = 0) {
        FleetBody b{};
        b.kind = QZF_REPORT;
        b.epoch = epoch;
        b.id = reportId;
        b.time = banTime ? banTime : static_cast<uint64_t>(time(nullptr));
        b.length = length;
        b.slot = 3;
        b.banKind = 'G';
        snprintf(b.guid, sizeof b.guid, "%s", guid);
        snprintf(b.addr, sizeof b.addr, "10.0.0.5");
        snprintf(b.origin, sizeof b.origin, "console");
        snprintf(b.name, sizeof b.name, "%s", name);
        send(b, nullptr, port);
    }
    void lookup(uint32_t requestId, const char* guid, unsigned port = 0) {
        FleetBody b{};
        b.kind = QZF_QUERY;
        b.id = requestId;
        b.slot = 2;
        b.time = static_cast<uint64_t>(time(nullptr));
        snprintf(b.guid, sizeof b.guid, "%s", guid);
        snprintf(b.addr, sizeof b.addr, "10.0.0.7");
        send(b, nullptr, port);
    }
    void hello(uint32_t requestId, uint64_t known, unsigned port = 0) {
        FleetBody b{};
        b.kind = QZF_QUERY;
        b.id = requestId;
        b.sync = 1;
        b.fleetId = known;
        b.time = static_cast<uint64_t>(time(nullptr));
        snprintf(b.guid, sizeof b.guid, "*");
        snprintf(b.addr, sizeof b.addr, "sync:%llu", static_cast<unsigned long long>(known));
        send(b, nullptr, port);
    }
    void unban(uint32_t reportId, const char* guid, uint64_t fleetId = 0, unsigned port = 0,
               const char* scope = QZF_SCOPE_OWN) {
        FleetBody b{};
        b.kind = QZF_UNBAN;
        b.epoch = epoch;
        b.id = reportId;
        b.fleetId = fleetId;
        snprintf(b.scope, sizeof b.scope, "%s", scope);
        b.slot = 3;
        b.time = static_cast<uint64_t>(time(nullptr));
        snprintf(b.guid, sizeof b.guid, "%s", guid);
        send(b, nullptr, port);
    }

    // Waits up to MS milliseconds (calling PUMP meanwhile) for an authentic message that
    // MATCHES; true with *out filled.
    bool await(int ms, const std::function<void()>& pump,
               const std::function<bool(const FleetBody&)>& matches, FleetBody* out) {
        long long end = nowMs() + ms;
        char buf[QZF_PACKET_MAX + 1];
        for (;;) {
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n =
                    recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) break;
                FleetEnvelope env;
                FleetBody b;
                if (fleetOpen(buf, static_cast<int>(n), &env) != QZF_OK || env.server != id ||
                    !fleetVerify(env, QZF_TO_SERVER, key) ||
                    !fleetWindowAccept(&windows[ntohs(from.sin_port)], env.counter) ||
                    !fleetParse(env.body, env.bodyLen, &b)) {
                    continue;
                }
                received.push_back(b);
                if (matches(b)) {
                    *out = b;
                    return true;
                }
            }
            if (nowMs() >= end) return false;
            if (pump) pump();
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, pump ? 1 : 10);
        }
    }
    // Every authentic message taken by await.
    std::vector<FleetBody> received;
};

inline std::function<bool(const FleetBody&)> answerTo(uint32_t id) {
    return [id](const FleetBody& b) { return b.kind == QZF_ANSWER && b.id == id; };
}
inline std::function<bool(const FleetBody&)> pageEnd(uint32_t hello) {
    return [hello](const FleetBody& b) { return b.kind == QZF_PAGE && b.id == hello; };
}
inline std::function<bool(const FleetBody&)> nothing() {
    return [](const FleetBody&) { return false; };
}
inline std::function<bool(const FleetBody&)> pushOf(char kind, const std::string& guid) {
    return [kind, guid](const FleetBody& b) { return b.kind == kind && guid == b.guid; };
}

}  // namespace fleettest
