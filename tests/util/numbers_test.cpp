// Number to text, text to number and the modular arithmetic helpers.
#include "util/numbers.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(NumbersLtoa, WritesDigitsInTheGivenRadix) {
    struct Case {
        long value;
        int radix;
        const char* text;
    } cases[] = {
        {-255, 16, "ffffff01"},
        {-255, 10, "-255"},
        {5, 1, "0"},
        {5, 37, "0"},
        {5, 0, "0"},
        {0, 16, "0"},
        {0, 10, "0"},
        {255, 2, "11111111"},
        {35, 36, "z"},
        {36, 36, "10"},
        {123456789, 10, "123456789"},
        {-1, 8, "37777777777"},
        {-1, 2, "11111111111111111111111111111111"},
        {-2147483647L - 1, 10, "-2147483648"},
        {-2147483647L - 1, 16, "80000000"},
        {2147483647L, 36, "zik0zj"},
    };
    for (const Case& c : cases) {
        char buf[36];
        std::memset(buf, 'q', sizeof buf);
        EXPECT_EQ(ltoa(c.value, buf, c.radix), buf);
        EXPECT_STREQ(buf, c.text) << c.value << " radix " << c.radix;
    }
}

TEST(NumbersLtoa, ReturnsNullForANullDestination) { EXPECT_EQ(ltoa(5, nullptr, 10), nullptr); }

TEST(NumbersLtoa, StaysWithin36BytesForTheLongestOutputs) {
    char buf[40];
    std::memset(buf, 'q', sizeof buf);
    ltoa(-1, buf, 2);
    EXPECT_EQ(std::strlen(buf), 32u);
    EXPECT_EQ(buf[33], 'q');
    std::memset(buf, 'q', sizeof buf);
    ltoa(LONG_MIN, buf, 10);
    EXPECT_LT(std::strlen(buf), 36u);
    EXPECT_EQ(buf[0], '-');
    EXPECT_EQ(buf[36], 'q');
}

TEST(NumbersDigitsVal, ReadsDecimalSkippingMinusSigns) {
    struct Case {
        const char* text;
        unsigned value;
    } cases[] = {
        {"2006-03-07", 20060307u},
        {"12-34", 1234u},
        {"-5", 5u},
        {"a12", 0u},
        {"12a3", 12u},
        {"", 0u},
        {"4294967295", 4294967295u},
        {"4294967296", 0u},  // wraps at 32 bits
        {"7\xB1"
         "9",
         7u},
        {" 7", 0u},
    };
    for (const Case& c : cases) EXPECT_EQ(digitsVal(c.text), c.value) << c.text;
}

TEST(NumbersHexVal, ReadsHexUpToTheDigitLimit) {
    struct Case {
        const char* text;
        int n;
        unsigned value;
    } cases[] = {
        {"1A2b", 0, 6699u},
        {"1A2b", 2, 26u},
        {"1A2b", -3, 6699u},
        {"1A2b", 10, 6699u},
        {"G1", 0, 0u},
        {"", 0, 0u},
        {"fFx1", 0, 255u},
        {"DEADBEEF", 0, 0xDEADBEEFu},
        {"123456789", 0, 0x23456789u},  // wraps at 32 bits
        {"\xE1"
         "1",
         0, 0u},
    };
    for (const Case& c : cases) EXPECT_EQ(hexVal(c.text, c.n), c.value) << c.text << " n " << c.n;
}

TEST(NumbersHex, GivesTwoUpperCaseDigitsInAStaticBuffer) {
    EXPECT_STREQ(hex(171), "AB");
    EXPECT_STREQ(hex(0), "00");
    EXPECT_STREQ(hex(10), "0A");
    EXPECT_STREQ(hex(255), "FF");
    EXPECT_EQ(hex(1), hex(2));
}

TEST(NumbersSafeMod, KeepsTheSignOfTheDividendAndRefusesZeroAndMinusOne) {
    struct Case {
        int a, b, r;
    } cases[] = {
        {-7, 3, -1},
        {7, -3, 1},
        {7, 3, 1},
        {-7, -3, -1},
        {5, 0, 0},
        {5, -1, 0},
        {INT_MIN, -1, 0},
        {INT_MIN, 0, 0},
        {INT_MIN, 3, -2},
        {INT_MIN, 2, 0},
        {INT_MAX, INT_MIN, INT_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(safeMod(c.a, c.b), c.r) << c.a << " % " << c.b;
}

TEST(NumbersPowMod, ExponentiatesModuloWith32BitProducts) {
    struct Case {
        unsigned base, exponent, modulus, result;
    } cases[] = {
        {2, 10, 1000, 24},
        {12345, 65537, 65521, 42907},
        {40000, 65535, 65521, 54236},
        {7, 1000000, 65535, 34936},
        {5, 3, 1, 0},
        // 65536 squared is 0 in 32 bits, so the result is not 65536^2 mod 100000 (67296).
        {65536, 2, 100000, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(powMod(c.base, c.exponent, c.modulus), c.result)
            << c.base << "^" << c.exponent << " mod " << c.modulus;
}

TEST(NumbersPowMod, ExponentZeroGivesOneWithoutReducing) {
    EXPECT_EQ(powMod(9, 0, 7), 1u);
    EXPECT_EQ(powMod(9, 0, 1), 1u);
    EXPECT_EQ(powMod(9, 0, 0), 1u);
}

TEST(NumbersPowMod, ZeroModulusDoesNotTrap) { EXPECT_EQ(powMod(9, 3, 0), 0u); }

}  // namespace
