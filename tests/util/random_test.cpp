// Tests for the MT19937 generator with its 69069 seeding, and for rand32.
#include "util/random.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// The generator written the plain way, one word at a time with indices taken modulo 624, as
// an independent reference for the module's block regeneration.
std::vector<uint32_t> referenceOutputs(uint32_t seed, int n) {
    uint32_t mt[624];
    mt[0] = seed;
    for (int i = 1; i < 624; ++i) mt[i] = 69069u * mt[i - 1];
    std::vector<uint32_t> out;
    int idx = 624;
    for (int k = 0; k < n; ++k) {
        if (idx == 624) {
            for (int i = 0; i < 624; ++i) {
                uint32_t y = (mt[i] & 0x80000000u) | (mt[(i + 1) % 624] & 0x7FFFFFFFu);
                mt[i] = mt[(i + 397) % 624] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
            }
            idx = 0;
        }
        uint32_t y = mt[idx++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9D2C5680u;
        y ^= (y << 15) & 0xEFC60000u;
        y ^= y >> 18;
        out.push_back(y);
    }
    return out;
}

class RandomTest : public ::testing::Test {
  protected:
    void TearDown() override { genrandReset(); }
};

TEST_F(RandomTest, SeedOf4357GivesThePublishedSequence) {
    // The first outputs published with the original generator for this seeding.
    const uint32_t published[] = {3510405877u, 4290933890u, 2191955339u, 564929546u,  152112058u,
                                  4262624192u, 2687398418u, 268830360u,  1763988213u, 578848526u};
    sgenrand(4357);
    for (uint32_t expected : published) EXPECT_EQ(genrand(), expected);
}

TEST_F(RandomTest, MatchesTheReferenceAcrossSeveralRegenerations) {
    for (uint32_t seed : {1u, 4357u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        std::vector<uint32_t> expected = referenceOutputs(seed, 624 * 3 + 5);
        sgenrand(seed);
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(genrand(), expected[i]) << "seed " << seed << " output " << i;
        }
    }
}

TEST_F(RandomTest, UnseededGeneratorSeedsItselfWith4357) {
    genrandReset();
    std::vector<uint32_t> unseeded;
    for (int i = 0; i < 700; ++i) unseeded.push_back(genrand());
    EXPECT_EQ(unseeded, referenceOutputs(4357, 700));
    sgenrand(4357);
    EXPECT_EQ(genrand(), unseeded[0]);
}

TEST_F(RandomTest, ReseedingRestartsTheSequence) {
    sgenrand(99);
    uint32_t first = genrand();
    genrand();
    sgenrand(99);
    EXPECT_EQ(genrand(), first);
}

TEST(RandomRand32, CombinesTwoRandCallsWithoutMaskingTheSecond) {
    srand(12345);
    unsigned first = static_cast<unsigned>(rand());
    unsigned second = static_cast<unsigned>(rand());
    srand(12345);
    EXPECT_EQ(rand32(), (first << 16) | second);
}

}  // namespace
