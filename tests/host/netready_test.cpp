// The frame's readiness poll: a socket with nothing waiting is marked idle for its reader once,
// a socket with a datagram waiting, or one the poll did not cover, is never idle.
#include "host/netready.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "host/state.h"

namespace {

int boundUdp(sockaddr_in* at) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    *at = {};
    at->sin_family = AF_INET;
    at->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(at), sizeof *at);
    socklen_t len = sizeof *at;
    getsockname(s, reinterpret_cast<sockaddr*>(at), &len);
    return s;
}

TEST(NetReady, OnlyASocketPolledEmptyIsIdleAndOnlyOnce) {
    auto sv = std::make_unique<stQzSv>();
    sv->web.listening = 0;
    sockaddr_in uconAt, udpAt, otherAt;
    sv->ucon.port.sock = boundUdp(&uconAt);
    sv->remote.udp.fd = boundUdp(&udpAt);
    int other = boundUdp(&otherAt);
    // A datagram waits on the master socket only.
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&udpAt), sizeof udpAt), 1);
    usleep(2000);
    netPollFrame(sv.get());
    const struct {
        const char* what;
        int fd;
        bool idle;
    } cases[] = {
        {"the empty UCON port", sv->ucon.port.sock, true},
        {"the same port asked again", sv->ucon.port.sock, false},
        {"a socket with a datagram waiting", sv->remote.udp.fd, false},
        {"a socket the poll did not cover", other, false},
        {"no socket", -1, false},
    };
    for (const auto& c : cases) EXPECT_EQ(netKnownIdle(c.fd), c.idle) << c.what;
    // The next frame's poll replaces the marks: the datagram still waits, the port is idle again.
    netPollFrame(sv.get());
    EXPECT_FALSE(netKnownIdle(sv->remote.udp.fd));
    EXPECT_TRUE(netKnownIdle(sv->ucon.port.sock));
    // After the frame's readers, nothing is idle any more.
    netPollFrame(sv.get());
    netPollDone();
    EXPECT_FALSE(netKnownIdle(sv->ucon.port.sock));
    for (int fd : {sv->ucon.port.sock, sv->remote.udp.fd, other, sender}) close(fd);
}

}  // namespace
