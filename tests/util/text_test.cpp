// Bounded printing, appending, replacing, copying and the colour-code and blank strippers.
#include "util/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// A buffer with guard bytes on both sides, so a writer that strays by one byte is caught.
struct Guarded {
    static constexpr int kGuard = 8;
    static constexpr char kFill = '\x5a';
    char raw[256 + 2 * kGuard];
    explicit Guarded(const char* initial = "") {
        std::memset(raw, kFill, sizeof raw);
        std::memcpy(body(), initial, std::strlen(initial) + 1);
    }
    char* body() { return raw + kGuard; }
    // True when nothing at or after byte size of the body, nor before it, changed.
    bool untouchedOutside(int size) const {
        for (int i = 0; i < kGuard; ++i)
            if (raw[i] != kFill) return false;
        for (int i = kGuard + size; i < static_cast<int>(sizeof raw); ++i)
            if (raw[i] != kFill) return false;
        return true;
    }
};

TEST(TextTrf, CutsALongResultKeepsTheNulAndReturnsTheFullLength) {
    Guarded g;
    EXPECT_EQ(trf(g.body(), 8, "%s", "abcdefghijklmnopqrst"), 20);
    EXPECT_STREQ(g.body(), "abcdefg");
    EXPECT_TRUE(g.untouchedOutside(8));
}

TEST(TextTrf, WritesAShortResultWhole) {
    char buf[16];
    EXPECT_EQ(QZ_TRF(buf, "%d-%s", 42, "x"), 4);
    EXPECT_STREQ(buf, "42-x");
}

TEST(TextTrf, WritesNothingIntoAZeroSizedBuffer) {
    Guarded g("keep");
    EXPECT_EQ(trf(g.body(), 0, "%s", "abc"), 3);
    EXPECT_STREQ(g.body(), "keep");
    EXPECT_TRUE(g.untouchedOutside(5));
}

TEST(TextTraf, AppendsAfterTheCurrentText) {
    char buf[32] = "ab";
    EXPECT_EQ(QZ_TRAF(buf, "%d", 123), 3);
    EXPECT_STREQ(buf, "ab123");
}

TEST(TextTraf, OnAFullBufferWritesNothingAndReturnsTheSize) {
    Guarded g("abcdefg");
    EXPECT_EQ(traf(g.body(), 8, "%s", "x"), 8);
    EXPECT_STREQ(g.body(), "abcdefg");
    EXPECT_TRUE(g.untouchedOutside(8));
}

TEST(TextTraf, KeepsTheLastByteEmptyWhenCutting) {
    // Room is size-1-length, so vsnprintf stops one byte before the end.
    Guarded g("ab");
    EXPECT_EQ(traf(g.body(), 8, "%s", "cdefghij"), 8);
    EXPECT_STREQ(g.body(), "abcdef");
    EXPECT_EQ(g.body()[7], 0);
    EXPECT_TRUE(g.untouchedOutside(8));
}

TEST(TextTracat, AppendsWhatFitsAndReturnsTheNewLength) {
    struct Case {
        const char* initial;
        int size;
        const char* text;
        int result;
        const char* after;
    } cases[] = {
        {"ab", 8, "cd", 4, "abcd"},
        {"ab", 8, "cdefghij", 7, "abcdefg"},
        {"abcdefg", 8, "x", 8, "abcdefg"},  // full: length+1
        {"", 1, "x", 1, ""},
        {"ab", 8, "", 2, "ab"},
    };
    for (const Case& c : cases) {
        Guarded g(c.initial);
        EXPECT_EQ(tracat(g.body(), c.size, c.text), c.result) << c.initial << "+" << c.text;
        EXPECT_STREQ(g.body(), c.after);
        EXPECT_TRUE(g.untouchedOutside(c.size));
    }
}

TEST(TextTracat, TreatsABufferWithoutNulAsFull) {
    Guarded g;
    std::memset(g.body(), 'a', 8);
    EXPECT_EQ(tracat(g.body(), 8, "x"), 9);
    EXPECT_TRUE(g.untouchedOutside(8));
}

TEST(TextTracc, AppendsOneCharacterWhileThereIsRoom) {
    Guarded g("abcdef");
    EXPECT_EQ(tracc(g.body(), 8, 'g'), 'g');
    EXPECT_STREQ(g.body(), "abcdefg");
    EXPECT_EQ(tracc(g.body(), 8, 'h'), 0);
    EXPECT_EQ(tracc(g.body(), 7, 'h'), -1);
    EXPECT_STREQ(g.body(), "abcdefg");
    EXPECT_TRUE(g.untouchedOutside(8));
}

TEST(TextTracc, ReturnsAHighCharacterAsAPositiveValue) {
    char buf[4] = "";
    EXPECT_EQ(QZ_TRACC(buf, '\xE9'), 0xE9);
    EXPECT_STREQ(buf, "\xE9");
}

TEST(TextTradec, AppendsDecimalAndKeepsTheLastUsableByteEmpty) {
    struct Case {
        const char* initial;
        int size;
        int value;
        const char* after;
    } cases[] = {
        {"", 6, 123456, "1234"},
        {"", 32, -42, "-42"},
        {"", 32, 0, "0"},
        {"x=", 32, 2147483647, "x=2147483647"},
        {"", 32, -2147483647 - 1, "-2147483648"},
        {"", 4, -42, "-4"},
        {"", 2, 5, ""},
        {"abc", 6, 77, "abc7"},
        {"abcd", 6, 7, "abcd"},
    };
    for (const Case& c : cases) {
        Guarded g(c.initial);
        EXPECT_EQ(tradec(g.body(), c.size, c.value), static_cast<int>(std::strlen(c.after)));
        EXPECT_STREQ(g.body(), c.after) << c.value << " size " << c.size;
        EXPECT_TRUE(g.untouchedOutside(c.size));
    }
}

TEST(TextTrahex, AppendsLowerCaseHexUpToTheLastUsableByte) {
    struct Case {
        const char* initial;
        int size;
        unsigned value;
        const char* after;
    } cases[] = {
        {"", 6, 0x123456u, "12345"}, {"", 32, 0u, "0"},          {"", 32, 0xDEADBEEFu, "deadbeef"},
        {"0x", 32, 0xABu, "0xab"},   {"abcd", 6, 0xFu, "abcdf"}, {"abcde", 6, 0xFu, "abcde"},
    };
    for (const Case& c : cases) {
        Guarded g(c.initial);
        EXPECT_EQ(trahex(g.body(), c.size, c.value), static_cast<int>(std::strlen(c.after)));
        EXPECT_STREQ(g.body(), c.after) << std::hex << c.value << " size " << c.size;
        EXPECT_TRUE(g.untouchedOutside(c.size));
    }
}

TEST(TextTrrepl, ReplacesTheCutCharactersAndMovesTheRest) {
    struct Case {
        const char* initial;
        int size;
        int pos;
        int cut;
        const char* insert;
        const char* after;
    } cases[] = {
        {"hello world", 32, 6, 5, "there", "hello there"},
        {"hello world", 32, 0, 5, "bye", "bye world"},
        {"hello world", 32, 5, 0, ",", "hello, world"},
        {"hello world", 32, 11, 0, "!", "hello world!"},
        {"hello world", 32, 5, 6, "", "hello"},
        {"abc", 8, 1, 1, "XXXXX", "aXXXXXc"},  // exactly fills: 7 characters and the NUL
    };
    for (const Case& c : cases) {
        Guarded g(c.initial);
        EXPECT_EQ(trrepl(g.body(), c.size, g.body() + c.pos, c.cut, c.insert), 1) << c.after;
        EXPECT_STREQ(g.body(), c.after);
        EXPECT_TRUE(g.untouchedOutside(c.size));
    }
}

TEST(TextTrrepl, RefusesAndLeavesTheBufferUnchanged) {
    struct Case {
        const char* why;
        int size;
        int pos;
        int cut;
        const char* insert;
    } cases[] = {
        {"result does not fit", 8, 1, 1, "XXXXXX"},
        {"result plus NUL one over", 7, 1, 1, "XXXXX"},
        {"position before buffer", 32, -1, 0, "x"},
        {"position past the text", 32, 4, 0, "x"},
        {"position past the buffer", 32, 40, 0, "x"},
        {"cut past the text", 32, 1, 3, "x"},
        {"negative cut", 32, 1, -1, "x"},
        {"size above 4000", 4001, 0, 0, "x"},
        {"zero size", 0, 0, 0, "x"},
    };
    for (const Case& c : cases) {
        Guarded g("abc");
        char before[sizeof g.raw];
        std::memcpy(before, g.raw, sizeof before);
        // Positions outside the buffer are formed as integers so the test itself stays defined.
        char* pos = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(g.body()) +
                                            static_cast<std::uintptr_t>(c.pos));
        EXPECT_EQ(trrepl(g.body(), c.size, pos, c.cut, c.insert), 0) << c.why;
        EXPECT_EQ(std::memcmp(before, g.raw, sizeof before), 0) << c.why;
    }
}

TEST(TextTrrepl, AcceptsInsertTextTakenFromTheSameBuffer) {
    char buf[32] = "abcdef";
    EXPECT_EQ(trrepl(buf, qz::cap(buf), buf, 2, buf + 3), 1);
    EXPECT_STREQ(buf, "defcdef");
}

TEST(TextTrrepl, WorksAtTheLargestAllowedSize) {
    static char buf[4000];
    std::memset(buf, 'a', sizeof buf - 2);
    buf[sizeof buf - 2] = 0;
    EXPECT_EQ(trrepl(buf, 4000, buf, 1, "bb"), 1);
    EXPECT_EQ(std::strlen(buf), 3999u);
    EXPECT_EQ(buf[0], 'b');
    EXPECT_EQ(buf[1], 'b');
    EXPECT_EQ(buf[3998], 'a');
    EXPECT_EQ(trrepl(buf, 4000, buf, 0, "c"), 0);
}

TEST(TextCopy, TrcpyzCopiesUpToNCharactersAndTerminates) {
    struct Case {
        const char* src;
        int n;
        const char* after;
    } cases[] = {{"abcdef", 3, "abc"}, {"ab", 5, "ab"}, {"abc", 0, ""}, {"", 4, ""}};
    for (const Case& c : cases) {
        Guarded g("zzzzzzzz");
        EXPECT_EQ(trcpyz(g.body(), c.src, c.n), g.body());
        EXPECT_STREQ(g.body(), c.after);
        // Nothing beyond n+1 bytes is written.
        EXPECT_EQ(g.body()[c.n + 1], 'z');
    }
}

TEST(TextCopy, TrcpynCopiesWithoutTerminating) {
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(trcpyn(buf, "abcdef", 3), buf);
    EXPECT_STREQ(buf, "abczzzz");
    trcpyn(buf, "x", 5);
    EXPECT_STREQ(buf, "xbczzzz");
}

TEST(TextCopy, QzCopyCutsToTheArray) {
    char buf[4];
    QZ_COPY(buf, "abcdef");
    EXPECT_STREQ(buf, "abc");
}

TEST(TextCopy, SlenCountsCharactersBeforeTheNul) {
    EXPECT_EQ(slen(""), 0);
    EXPECT_EQ(slen("abc\0def"), 3);
    EXPECT_EQ(slen("\xE9\xE9"), 2);
    EXPECT_EQ(slen(nullptr), 0);
}

TEST(TextStrip, NoColorDropsCodesAndKeepsLoneCarets) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"^1Red^^Blue^", "Red^lue^"}, {"plain", "plain"}, {"^", "^"},      {"^^", "^^"}, {"^7", ""},
        {"a^7b^0c", "abc"},           {"", ""},           {"^\xE9x", "x"},
    };
    for (const Case& c : cases) EXPECT_STREQ(noColor(c.in), c.out) << c.in;
}

TEST(TextStrip, NoColorStopsAfter31Characters) {
    std::string longName(40, 'n');
    EXPECT_EQ(std::string(noColor(longName.c_str())), std::string(31, 'n'));
    // Codes do not count towards the 31.
    std::string coded = "^1" + std::string(31, 'c') + "^2x";
    EXPECT_EQ(std::string(noColor(coded.c_str())), std::string(31, 'c'));
}

TEST(TextStrip, NoSpaceDropsBlanksOnly) {
    EXPECT_STREQ(noSpace(" a b\tc "), "ab\tc");
    EXPECT_STREQ(noSpace("   "), "");
    std::string spaced;
    for (int i = 0; i < 40; ++i) spaced += "x ";
    EXPECT_EQ(std::string(noSpace(spaced.c_str())), std::string(31, 'x'));
}

TEST(TextStrip, ResultsLiveInOneStaticBufferPerRoutine) {
    char* first = noColor("a");
    EXPECT_EQ(noColor("b"), first);
    EXPECT_STREQ(first, "b");
    EXPECT_NE(noSpace("c"), first);
}

}  // namespace
