// Address text and the datagram receive wrapper, over real loopback sockets.
#include "util/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace {

sockaddr_in makeAddress(const char* dotted, unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

// Owns a socket descriptor for the length of a test.
struct Socket {
    int fd;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
};

TEST(NetAdrStr, WritesDottedAddressAndHostOrderPort) {
    struct Case {
        const char* dotted;
        unsigned short port;
        const char* text;
    } cases[] = {
        {"127.0.0.1", 28960, "127.0.0.1:28960"},
        {"0.0.0.0", 0, "0.0.0.0:0"},
        {"255.255.255.255", 65535, "255.255.255.255:65535"},
        {"10.1.2.3", 1, "10.1.2.3:1"},
    };
    for (const Case& c : cases) {
        sockaddr_in a = makeAddress(c.dotted, c.port);
        char buf[23];
        std::memset(buf, 'q', sizeof buf);
        EXPECT_EQ(adrStr(&a, buf), buf);
        EXPECT_STREQ(buf, c.text);
        EXPECT_EQ(buf[22], 'q');  // bounded by 22 bytes
    }
}

TEST(NetAdrStr, GivesEmptyTextForANullAddress) {
    char buf[22] = "stale";
    EXPECT_STREQ(adrStr(nullptr, buf), "");
}

TEST(NetRecvFrom, ReceivesADatagramAndReportsTheSenderAndItsLength) {
    Socket rx(socket(AF_INET, SOCK_DGRAM, 0));
    Socket tx(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(rx.fd, 0);
    ASSERT_GE(tx.fd, 0);
    sockaddr_in local = makeAddress("127.0.0.1", 0);
    ASSERT_EQ(bind(rx.fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(rx.fd, reinterpret_cast<sockaddr*>(&local), &len), 0);
    sockaddr_in from0 = makeAddress("127.0.0.1", 0);
    ASSERT_EQ(bind(tx.fd, reinterpret_cast<sockaddr*>(&from0), sizeof from0), 0);
    len = sizeof from0;
    ASSERT_EQ(getsockname(tx.fd, reinterpret_cast<sockaddr*>(&from0), &len), 0);
    timeval limit{2, 0};  // never hang the suite if the datagram is lost
    ASSERT_EQ(setsockopt(rx.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);

    const char msg[] = "\xff\xff\xff\xffgetstatus";
    ASSERT_EQ(
        sendto(tx.fd, msg, sizeof msg - 1, 0, reinterpret_cast<sockaddr*>(&local), sizeof local),
        static_cast<ssize_t>(sizeof msg - 1));

    char buf[64];
    sockaddr_in sender{};
    int senderLen = static_cast<int>(sizeof sender) + 8;  // more room than needed
    int n = recvFrom(rx.fd, buf, sizeof buf, reinterpret_cast<sockaddr*>(&sender), &senderLen);
    ASSERT_EQ(n, static_cast<int>(sizeof msg - 1));
    EXPECT_EQ(std::memcmp(buf, msg, sizeof msg - 1), 0);
    EXPECT_EQ(senderLen, static_cast<int>(sizeof(sockaddr_in)));
    EXPECT_EQ(sender.sin_port, from0.sin_port);
    char text[22];
    char expected[22];
    adrStr(&from0, expected);
    EXPECT_STREQ(adrStr(&sender, text), expected);
}

TEST(NetRecvFrom, ReturnsMinusOneWhenNothingIsWaitingOnANonBlockingSocket) {
    Socket rx(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    ASSERT_GE(rx.fd, 0);
    sockaddr_in local = makeAddress("127.0.0.1", 0);
    ASSERT_EQ(bind(rx.fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    char buf[16];
    sockaddr_in sender{};
    int senderLen = sizeof sender;
    EXPECT_EQ(recvFrom(rx.fd, buf, sizeof buf, reinterpret_cast<sockaddr*>(&sender), &senderLen),
              -1);
}

}  // namespace
