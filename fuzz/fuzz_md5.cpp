// Fuzz target for the seeded MD5 digest: the first four input bytes are the seed, the rest the
// data. The digest must be 32 upper-case hexadecimal digits and equal to that of a plain
// byte-at-a-time version kept here, which catches mistakes in the whole-block path and the tail.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/md5.h"

namespace {

using u32 = std::uint32_t;

struct RefMd5 {
    u32 state[4];
    unsigned char block[64];
    unsigned fill = 0;
    std::uint64_t bits = 0;
};

u32 refRotl(u32 x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// The compression function straight from RFC 1321, driven by tables.
void refCompress(RefMd5& m) {
    static const unsigned kShift[4][4] = {
        {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    static u32 sine[64];
    if (sine[0] == 0) {
        for (int i = 0; i < 64; ++i) {
            sine[i] = static_cast<u32>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
        }
    }
    u32 x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = u32(m.block[4 * i]) | u32(m.block[4 * i + 1]) << 8 | u32(m.block[4 * i + 2]) << 16 |
               u32(m.block[4 * i + 3]) << 24;
    }
    u32 a = m.state[0], b = m.state[1], c = m.state[2], d = m.state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        u32 f;
        int k;
        if (round == 0) {
            f = (b & c) | (~b & d);
            k = i;
        } else if (round == 1) {
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
        } else if (round == 2) {
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
        }
        const u32 next = b + refRotl(a + f + x[k] + sine[i], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    m.state[0] += a;
    m.state[1] += b;
    m.state[2] += c;
    m.state[3] += d;
}

void refByte(RefMd5& m, unsigned char byte) {
    m.block[m.fill++] = byte;
    m.bits += 8;
    if (m.fill == 64) {
        refCompress(m);
        m.fill = 0;
    }
}

void refDigest(const unsigned char* data, size_t n, u32 seed, char out[33]) {
    RefMd5 m;
    m.state[0] = 0x67452301u + 11u * seed;
    m.state[1] = 0xefcdab89u + 71u * seed;
    m.state[2] = 0x98badcfeu + 37u * seed;
    m.state[3] = 0x10325476u + 97u * seed;
    for (size_t i = 0; i < n; ++i) refByte(m, data[i]);
    const std::uint64_t length = m.bits;
    refByte(m, 0x80);
    while (m.fill != 56) refByte(m, 0);
    for (int i = 0; i < 8; ++i) refByte(m, static_cast<unsigned char>(length >> (8 * i)));
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 16; ++i) {
        const unsigned char byte = static_cast<unsigned char>(m.state[i / 4] >> (8 * (i % 4)));
        out[2 * i] = kDigits[byte >> 4];
        out[2 * i + 1] = kDigits[byte & 15];
    }
    out[32] = '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    u32 seed = 0;
    if (size >= 4) {
        seed = u32(data[0]) | u32(data[1]) << 8 | u32(data[2]) << 16 | u32(data[3]) << 24;
        data += 4;
        size -= 4;
    }
    const unsigned length = static_cast<unsigned>(size);
    const char* digest = qzmd5(size ? data : nullptr, length, seed);

    if (std::strlen(digest) != 32) std::abort();
    for (int i = 0; i < 32; ++i) {
        const char c = digest[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) std::abort();
    }
    char expected[33];
    refDigest(data, size, seed, expected);
    if (std::strcmp(digest, expected) != 0) {
        std::fprintf(stderr, "seed %u length %u: %s, reference %s\n", seed, length, digest,
                     expected);
        std::abort();
    }
    // The result lives in one static buffer: a second call hands back the same pointer.
    if (qzmd5(data, 0, seed) != digest) std::abort();
    return 0;
}
