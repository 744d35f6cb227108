// The address-mask syntax of "MASK" entries and its match against client addresses.
#include <gtest/gtest.h>

#include "players/bans.h"

namespace {

struct MaskCase {
    const char* mask;
    const char* address;
    bool matches;
};

TEST(BanMasks, MasksMatchTheAddressesTheyDescribe) {
    const MaskCase cases[] = {
        {"1.2.3.4", "1.2.3.4:27960", true},
        {"1.2.3.4", "1.2.3.5:27960", false},
        {"1.2.3.*", "1.2.3.250:1", true},
        {"1.2.*", "1.2.200.7:1", true},
        {"1.2.*", "1.3.0.0:1", false},
        {"*", "8.8.8.8:53", true},
        {"*.2.3.4", "9.2.3.4:1", true},
        {"1.2.3.10-20", "1.2.3.10:1", true},
        {"1.2.3.10-20", "1.2.3.20:1", true},
        {"1.2.3.10-20", "1.2.3.21:1", false},
        {"1.2-3.*", "1.3.9.9:1", true},
        {"1.2.3.4:27960", "1.2.3.4:27960", true},
        {"1.2.3.4:27960", "1.2.3.4:27961", false},
        {"1.2.3.4:27960-27970", "1.2.3.4:27965", true},
        {"1.2.3.4:27960", "1.2.3.4", false},
        {"1.2.3.4", "1.2.3.4", true},
    };
    for (const MaskCase& c : cases) {
        stMaskRule rule;
        ASSERT_TRUE(maskParse(c.mask, &rule)) << c.mask;
        unsigned char o[4];
        unsigned port = 0;
        ASSERT_TRUE(maskAddress(c.address, o, &port)) << c.address;
        EXPECT_EQ(maskMatch(&rule, o, port), c.matches) << c.mask << " " << c.address;
    }
}

TEST(BanMasks, MalformedMasksAreRefused) {
    const char* bad[] = {"",         "1.2.3",         "1.2.3.4.5", "256.1.1.1", "1.2.3.20-10",
                         "1.2.3.4:", "1.2.3.4:70000", "1.2.3.4 ",  "a.b.c.d",   "1..3.4",
                         "1.*x"};
    for (const char* m : bad) {
        stMaskRule rule;
        EXPECT_FALSE(maskParse(m, &rule)) << m;
    }
}

TEST(BanMasks, OnlyNumericAddressesAreMatched) {
    const char* bad[] = {"bot", "loopback", "1.2.3", "1.2.3.4:x", "1.2.3.999", ""};
    for (const char* a : bad) {
        unsigned char o[4];
        unsigned port = 0;
        EXPECT_FALSE(maskAddress(a, o, &port)) << a;
    }
}

}  // namespace
