// The seeded MD5 digest: the RFC 1321 compression function, padding and the hexadecimal result.
// Only the four initial chaining values differ from plain MD5; every other step is the standard
// one.
#include "util/md5.h"

#include <cstdint>

#include "util/numbers.h"

namespace {

using u32 = std::uint32_t;

// Byte-wise decoding keeps the result right on any host byte order; compilers merge it into a
// single load on little-endian machines.
inline u32 md5Word(const unsigned char* p) {
    return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24;
}

inline u32 md5Rotl(u32 x, int n) { return (x << n) | (x >> (32 - n)); }

// The round functions are arranged so that b, the word finished by the previous step, enters as
// late as possible. G is (b & d) | (c & ~d); its two halves never share a bit, so they can be
// added one at a time and c & ~d is ready before b is.
#define QZ_MD5_F(a, b, c, d, x, t, s) \
    a += (x) + (t);                   \
    a += (d) ^ ((b) & ((c) ^ (d)));   \
    a = md5Rotl(a, s) + (b)
#define QZ_MD5_G(a, b, c, d, x, t, s) \
    a += (x) + (t);                   \
    a += (c) & ~(d);                  \
    a += (b) & (d);                   \
    a = md5Rotl(a, s) + (b)
#define QZ_MD5_H(a, b, c, d, x, t, s) \
    a += (x) + (t);                   \
    a += ((c) ^ (d)) ^ (b);           \
    a = md5Rotl(a, s) + (b)
#define QZ_MD5_I(a, b, c, d, x, t, s) \
    a += (x) + (t);                   \
    a += (c) ^ ((b) | ~(d));          \
    a = md5Rotl(a, s) + (b)

// Applies the compression function to the 64 bytes at p and adds the result into state.
// p needs no alignment: the message words are decoded byte by byte as each step uses them.
void md5Block(u32 state[4], const unsigned char* p) {
    u32 a = state[0], b = state[1], c = state[2], d = state[3];
#define X(i) md5Word(p + 4 * (i))
    QZ_MD5_F(a, b, c, d, X(0), 0xd76aa478, 7);
    QZ_MD5_F(d, a, b, c, X(1), 0xe8c7b756, 12);
    QZ_MD5_F(c, d, a, b, X(2), 0x242070db, 17);
    QZ_MD5_F(b, c, d, a, X(3), 0xc1bdceee, 22);
    QZ_MD5_F(a, b, c, d, X(4), 0xf57c0faf, 7);
    QZ_MD5_F(d, a, b, c, X(5), 0x4787c62a, 12);
    QZ_MD5_F(c, d, a, b, X(6), 0xa8304613, 17);
    QZ_MD5_F(b, c, d, a, X(7), 0xfd469501, 22);
    QZ_MD5_F(a, b, c, d, X(8), 0x698098d8, 7);
    QZ_MD5_F(d, a, b, c, X(9), 0x8b44f7af, 12);
    QZ_MD5_F(c, d, a, b, X(10), 0xffff5bb1, 17);
    QZ_MD5_F(b, c, d, a, X(11), 0x895cd7be, 22);
    QZ_MD5_F(a, b, c, d, X(12), 0x6b901122, 7);
    QZ_MD5_F(d, a, b, c, X(13), 0xfd987193, 12);
    QZ_MD5_F(c, d, a, b, X(14), 0xa679438e, 17);
    QZ_MD5_F(b, c, d, a, X(15), 0x49b40821, 22);

    QZ_MD5_G(a, b, c, d, X(1), 0xf61e2562, 5);
    QZ_MD5_G(d, a, b, c, X(6), 0xc040b340, 9);
    QZ_MD5_G(c, d, a, b, X(11), 0x265e5a51, 14);
    QZ_MD5_G(b, c, d, a, X(0), 0xe9b6c7aa, 20);
    QZ_MD5_G(a, b, c, d, X(5), 0xd62f105d, 5);
    QZ_MD5_G(d, a, b, c, X(10), 0x02441453, 9);
    QZ_MD5_G(c, d, a, b, X(15), 0xd8a1e681, 14);
    QZ_MD5_G(b, c, d, a, X(4), 0xe7d3fbc8, 20);
    QZ_MD5_G(a, b, c, d, X(9), 0x21e1cde6, 5);
    QZ_MD5_G(d, a, b, c, X(14), 0xc33707d6, 9);
    QZ_MD5_G(c, d, a, b, X(3), 0xf4d50d87, 14);
    QZ_MD5_G(b, c, d, a, X(8), 0x455a14ed, 20);
    QZ_MD5_G(a, b, c, d, X(13), 0xa9e3e905, 5);
    QZ_MD5_G(d, a, b, c, X(2), 0xfcefa3f8, 9);
    QZ_MD5_G(c, d, a, b, X(7), 0x676f02d9, 14);
    QZ_MD5_G(b, c, d, a, X(12), 0x8d2a4c8a, 20);

    QZ_MD5_H(a, b, c, d, X(5), 0xfffa3942, 4);
    QZ_MD5_H(d, a, b, c, X(8), 0x8771f681, 11);
    QZ_MD5_H(c, d, a, b, X(11), 0x6d9d6122, 16);
    QZ_MD5_H(b, c, d, a, X(14), 0xfde5380c, 23);
    QZ_MD5_H(a, b, c, d, X(1), 0xa4beea44, 4);
    QZ_MD5_H(d, a, b, c, X(4), 0x4bdecfa9, 11);
    QZ_MD5_H(c, d, a, b, X(7), 0xf6bb4b60, 16);
    QZ_MD5_H(b, c, d, a, X(10), 0xbebfbc70, 23);
    QZ_MD5_H(a, b, c, d, X(13), 0x289b7ec6, 4);
    QZ_MD5_H(d, a, b, c, X(0), 0xeaa127fa, 11);
    QZ_MD5_H(c, d, a, b, X(3), 0xd4ef3085, 16);
    QZ_MD5_H(b, c, d, a, X(6), 0x04881d05, 23);
    QZ_MD5_H(a, b, c, d, X(9), 0xd9d4d039, 4);
    QZ_MD5_H(d, a, b, c, X(12), 0xe6db99e5, 11);
    QZ_MD5_H(c, d, a, b, X(15), 0x1fa27cf8, 16);
    QZ_MD5_H(b, c, d, a, X(2), 0xc4ac5665, 23);

    QZ_MD5_I(a, b, c, d, X(0), 0xf4292244, 6);
    QZ_MD5_I(d, a, b, c, X(7), 0x432aff97, 10);
    QZ_MD5_I(c, d, a, b, X(14), 0xab9423a7, 15);
    QZ_MD5_I(b, c, d, a, X(5), 0xfc93a039, 21);
    QZ_MD5_I(a, b, c, d, X(12), 0x655b59c3, 6);
    QZ_MD5_I(d, a, b, c, X(3), 0x8f0ccc92, 10);
    QZ_MD5_I(c, d, a, b, X(10), 0xffeff47d, 15);
    QZ_MD5_I(b, c, d, a, X(1), 0x85845dd1, 21);
    QZ_MD5_I(a, b, c, d, X(8), 0x6fa87e4f, 6);
    QZ_MD5_I(d, a, b, c, X(15), 0xfe2ce6e0, 10);
    QZ_MD5_I(c, d, a, b, X(6), 0xa3014314, 15);
    QZ_MD5_I(b, c, d, a, X(13), 0x4e0811a1, 21);
    QZ_MD5_I(a, b, c, d, X(4), 0xf7537e82, 6);
    QZ_MD5_I(d, a, b, c, X(11), 0xbd3af235, 10);
    QZ_MD5_I(c, d, a, b, X(2), 0x2ad7d2bb, 15);
    QZ_MD5_I(b, c, d, a, X(9), 0xeb86d391, 21);
#undef X

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

#undef QZ_MD5_F
#undef QZ_MD5_G
#undef QZ_MD5_H
#undef QZ_MD5_I

inline void md5PutWord(unsigned char* p, u32 v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

// Whole blocks are compressed straight from the caller's bytes; only the tail is copied into the
// stack block, where the padding and the bit count are added. The message length fits in 32 bits,
// so the bit count is length << 3 with length >> 29 as its high word, fixed before padding starts.
const char* qzmd5(const void* data, unsigned length, unsigned seed) {
    static char result[33];

    u32 state[4] = {
        0x67452301u + 11u * seed,
        0xefcdab89u + 71u * seed,
        0x98badcfeu + 37u * seed,
        0x10325476u + 97u * seed,
    };

    const unsigned char* p = static_cast<const unsigned char*>(data);
    unsigned left = length;
    for (; left >= 64; left -= 64, p += 64) md5Block(state, p);

    unsigned char block[64];
    unsigned n = 0;
    for (; n < left; ++n) block[n] = p[n];
    block[n++] = 0x80;
    if (n > 56) {
        for (; n < 64; ++n) block[n] = 0;
        md5Block(state, block);
        n = 0;
    }
    for (; n < 56; ++n) block[n] = 0;
    md5PutWord(block + 56, u32(length) << 3);
    md5PutWord(block + 60, u32(length >> 29));
    md5Block(state, block);

    char* out = result;
    for (u32 word : state) {
        for (int shift = 0; shift < 32; shift += 8) {
            const char* digits = hex(static_cast<unsigned char>(word >> shift));
            *out++ = digits[0];
            *out++ = digits[1];
        }
    }
    *out = '\0';
    return result;
}

void qzmd5Begin(stQzMd5* md, unsigned seed) {
    md->state[0] = 0x67452301u + 11u * seed;
    md->state[1] = 0xefcdab89u + 71u * seed;
    md->state[2] = 0x98badcfeu + 37u * seed;
    md->state[3] = 0x10325476u + 97u * seed;
    md->length = 0;
}

// The bytes of an unfinished block wait in md->block; whole blocks of the caller's data are
// compressed where they lie.
void qzmd5Add(stQzMd5* md, const void* data, unsigned long length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    u32 state[4] = {md->state[0], md->state[1], md->state[2], md->state[3]};
    unsigned have = static_cast<unsigned>(md->length & 63u);
    md->length += length;
    if (have) {
        unsigned take = 64 - have < length ? 64 - have : static_cast<unsigned>(length);
        for (unsigned i = 0; i < take; ++i) md->block[have + i] = p[i];
        p += take;
        length -= take;
        if (have + take < 64) return;
        md5Block(state, md->block);
    }
    for (; length >= 64; length -= 64, p += 64) md5Block(state, p);
    for (unsigned i = 0; i < length; ++i) md->block[i] = p[i];
    for (int i = 0; i < 4; ++i) md->state[i] = state[i];
}

const char* qzmd5End(stQzMd5* md) {
    static char result[33];
    u32 state[4] = {md->state[0], md->state[1], md->state[2], md->state[3]};
    unsigned n = static_cast<unsigned>(md->length & 63u);
    unsigned char block[64];
    for (unsigned i = 0; i < n; ++i) block[i] = md->block[i];
    block[n++] = 0x80;
    if (n > 56) {
        for (; n < 64; ++n) block[n] = 0;
        md5Block(state, block);
        n = 0;
    }
    for (; n < 56; ++n) block[n] = 0;
    md5PutWord(block + 56, u32(md->length << 3));
    md5PutWord(block + 60, u32(md->length >> 29));
    md5Block(state, block);
    char* out = result;
    for (u32 word : state) {
        for (int shift = 0; shift < 32; shift += 8) {
            const char* digits = hex(static_cast<unsigned char>(word >> shift));
            *out++ = digits[0];
            *out++ = digits[1];
        }
    }
    *out = '\0';
    return result;
}
