// The module's random numbers: the MT19937 generator with its original multiplier-69069
// seeding (so a given seed gives the sequence it has always given), and rand32 from the C
// library's rand().
#include "util/random.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr int kN = 624;
constexpr int kM = 397;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;
constexpr uint32_t kMag01[2] = {0u, 0x9908B0DFu};
// Index value meaning "never seeded".
constexpr int kUnseeded = kN + 1;

uint32_t g_mt[kN];
int g_mti = kUnseeded;

void regenerate() {
    int kk = 0;
    uint32_t y;
    for (; kk < kN - kM; ++kk) {
        y = (g_mt[kk] & kUpper) | (g_mt[kk + 1] & kLower);
        g_mt[kk] = g_mt[kk + kM] ^ (y >> 1) ^ kMag01[y & 1u];
    }
    for (; kk < kN - 1; ++kk) {
        y = (g_mt[kk] & kUpper) | (g_mt[kk + 1] & kLower);
        g_mt[kk] = g_mt[kk + (kM - kN)] ^ (y >> 1) ^ kMag01[y & 1u];
    }
    y = (g_mt[kN - 1] & kUpper) | (g_mt[0] & kLower);
    g_mt[kN - 1] = g_mt[kM - 1] ^ (y >> 1) ^ kMag01[y & 1u];
}

}  // namespace

void sgenrand(unsigned seed) {
    g_mt[0] = seed;
    for (int i = 1; i < kN; ++i) g_mt[i] = 69069u * g_mt[i - 1];
    g_mti = kN;
}

void genrandReset() { g_mti = kUnseeded; }

// An unseeded generator seeds itself with 4357, the historical default.
unsigned genrand() {
    if (g_mti >= kN) {
        if (g_mti == kUnseeded) sgenrand(4357u);
        regenerate();
        g_mti = 0;
    }
    uint32_t y = g_mt[g_mti++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

// The second value is deliberately not masked: its high bits may overlap the first's.
unsigned rand32() {
    unsigned high = static_cast<unsigned>(rand());
    unsigned low = static_cast<unsigned>(rand());
    return (high << 16) | low;
}
