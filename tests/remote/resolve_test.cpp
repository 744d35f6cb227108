// Name resolution without waiting.
#include "remote/resolve.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// Polls until the lookup ends (a few seconds at most).
int settle(stQzResolve* r) {
    for (int i = 0; i < 500 && resolvePoll(r) == QZ_RES_PENDING; ++i) usleep(10000);
    return r->state;
}

std::string shown(const stQzResolve& r) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &r.address.sin_addr, text, sizeof text);
    return text;
}

}  // namespace

TEST(Resolver, DottedAddressesResolveAtOnce) {
    static stQzResolve r{};
    EXPECT_EQ(resolveStart(&r, "127.0.0.1"), QZ_RES_DONE);
    EXPECT_EQ(shown(r), "127.0.0.1");
}

TEST(Resolver, NamesResolveInTheBackgroundAndArePolled) {
    static stQzResolve r{};
    int first = resolveStart(&r, "localhost");
    EXPECT_TRUE(first == QZ_RES_PENDING || first == QZ_RES_DONE);
    EXPECT_EQ(settle(&r), QZ_RES_DONE);
    EXPECT_EQ(shown(r), "127.0.0.1");
}

TEST(Resolver, BadNamesFail) {
    static stQzResolve r{};
    EXPECT_EQ(resolveStart(&r, ""), QZ_RES_FAILED);
    resolveStart(&r, "no-such-host.invalid");
    EXPECT_EQ(settle(&r), QZ_RES_FAILED);
}

TEST(Resolver, CancellingLeavesTheRecordIdle) {
    static stQzResolve r{};
    resolveStart(&r, "localhost");
    resolveCancel(&r);
    EXPECT_EQ(r.state, QZ_RES_IDLE);
    EXPECT_EQ(r.job, nullptr);
}
