// Case-folding and fixed-length comparisons, the address-mask match and lowerCh.
#include "util/compare.h"

#include <gtest/gtest.h>

namespace {

struct CmpCase {
    const char* a;
    const char* b;
    int n;
    int result;
};

TEST(CompareTrcasecmp, FoldsAToZAndOrdersBySignedCharacter) {
    const CmpCase cases[] = {
        {"abc", "ABC", 0, 0},    {"", "", 0, 0},          {"abc", "abd", 0, -1},
        {"abd", "ABC", 0, 1},    {"ab", "abc", 0, -1},     // the text that ends first is the lesser
        {"abc", "ab", 0, 1},     {"ab", "ab\xE9", 0, -1},  // even against a negative character
        {"a\xE9", "aA", 0, -1},                            // 0xE9 is negative as a signed character
        {"[", "A", 0, -1},        // A folds to a (97) before comparing with [ (91)
        {"\xC9", "\xE9", 0, -1},  // no folding above 0x7F
    };
    for (const CmpCase& c : cases) {
        EXPECT_EQ(trcasecmp(c.a, c.b), c.result) << c.a << " vs " << c.b;
        EXPECT_EQ(trcasecmp(c.b, c.a), -c.result) << c.b << " vs " << c.a;
    }
}

TEST(CompareTrncasecmp, ComparesExactlyNCharactersPastNuls) {
    const CmpCase cases[] = {
        {"ABC\0x", "abc\0y", 5, -1}, {"ABC\0x", "abc\0y", 4, 0}, {"abc", "xyz", 0, 0},
        {"abc", "xyz", -1, 0},       {"\x80", "\x7f", 1, -1},    {"Hello", "hELLo", 5, 0},
        {"abcd", "abce", 3, 0},
    };
    for (const CmpCase& c : cases)
        EXPECT_EQ(trncasecmp(c.a, c.b, c.n), c.result) << c.a << " vs " << c.b << " n " << c.n;
}

TEST(CompareTrcmpn, ComparesBytesAsSignedCharactersWithoutFolding) {
    const CmpCase cases[] = {
        {"abc", "ABC", 3, 1}, {"a\0b", "a\0c", 3, -1}, {"\xFF", "\x01", 1, -1},
        {"abc", "abd", 2, 0}, {"abc", "xyz", 0, 0},    {"abc", "xyz", -4, 0},
    };
    for (const CmpCase& c : cases)
        EXPECT_EQ(trcmpn(c.a, c.b, c.n), c.result) << c.a << " vs " << c.b << " n " << c.n;
}

TEST(CompareMaskcmp, MatchesPrefixesWithStarsAndAnswersOneOrZero) {
    struct Case {
        const char* text;
        const char* mask;
        int n;
        int result;
    } cases[] = {
        {"10.0.0.5", "10.*", 4, 1},
        {"10.0.0.5", "10.0.0.5", 8, 1},
        {"10.0.0.5", "10.0.0.5", 20, 0},  // the text ends first
        {"10.0.0.5", "10.0.0.*", 8, 1},
        {"10.0.0.5", "10.0.1.*", 8, 0},
        {"10.0.0.5", "10.", 20, 1},  // the mask ends first
        {"abc", "ABC", 3, 1},
        {"abc", "a*c", 3, 1},
        {"abc", "abd", 3, 0},
        {"abc", "abd", 2, 1},
        {"abc", "x", 0, 1},
        {"abc", "x", -5, 1},
        {"", "", 1, 0},
        {"abc", "", 3, 1},
        {"\xC9", "\xE9", 1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(maskcmp(c.text, c.mask, c.n), c.result)
            << c.text << " vs " << c.mask << " n " << c.n;
}

TEST(CompareLowerCh, LowersOnlyAToZ) {
    const char in[] = "AZaz@[`{0\xC9\x80";
    const char out[] = "azaz@[`{0\xC9\x80";
    for (int i = 0; in[i]; ++i) EXPECT_EQ(lowerCh(in[i]), out[i]) << i;
}

}  // namespace
