// Tests of the seeded MD5 digest: fixed vectors, padding boundaries and agreement with OpenSSL's
// MD5 for seed 0.
#include "util/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef QZ_HAVE_OPENSSL
// The low-level MD5 interface is the only one that lets a test set the chaining values; it is
// deprecated in OpenSSL 3 but still present.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/md5.h>
#endif

namespace {

struct Md5Vector {
    std::string data;
    unsigned seed;
    const char* digest;
};

const Md5Vector kVectors[] = {
    {"abc", 0, "900150983CD24FB0D6963F7D28E17F72"},
    {"", 0, "D41D8CD98F00B204E9800998ECF8427E"},
    {"abc", 1, "F40369B74D214588DF6DE5783CE6AFF1"},
    {"", 1, "BE5AA15EBEA0C46D617E34AD1C0922D9"},
    // RFC 1321 suite: the longer ones run over one and two whole blocks.
    {"a", 0, "0CC175B9C0F1B6A831C399E269772661"},
    {"message digest", 0, "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", 0, "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 0,
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890", 0,
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
    // Runs of 'a' either side of the padding boundaries, so the builds without OpenSSL check
    // both padding branches too.
    {std::string(55, 'a'), 0, "EF1772B6DFF9A122358552954AD0DF65"},
    {std::string(56, 'a'), 0, "3B0C8AC703F828B04C6C197006D17218"},
    {std::string(63, 'a'), 0, "B06521F39153D618550606BE297466D5"},
    {std::string(64, 'a'), 0, "014842D480B571495A4A0363793F7367"},
    {std::string(65, 'a'), 0, "C743A45E0D2E6A95CB859ADAE0248435"},
};

std::string digestOf(const std::vector<unsigned char>& data, unsigned seed) {
    return qzmd5(data.data(), static_cast<unsigned>(data.size()), seed);
}

bool isUpperHex(const char* text) {
    if (std::strlen(text) != 32) return false;
    for (const char* c = text; *c; ++c) {
        if (!((*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'F'))) return false;
    }
    return true;
}

// Bytes that differ from one position to the next, so a word taken from the wrong offset shows.
std::vector<unsigned char> patterned(size_t n) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
    return data;
}

TEST(Md5, DigestsTheKnownVectors) {
    for (const Md5Vector& v : kVectors) {
        EXPECT_STREQ(qzmd5(v.data.data(), static_cast<unsigned>(v.data.size()), v.seed), v.digest)
            << "data \"" << v.data << "\" seed " << v.seed;
    }
}

TEST(Md5, DoesNotReadDataWhenLengthIsZero) {
    EXPECT_STREQ(qzmd5(nullptr, 0, 0), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_STREQ(qzmd5(nullptr, 0, 1), "BE5AA15EBEA0C46D617E34AD1C0922D9");
}

TEST(Md5, ReturnsTheSameBufferAndEachCallReplacesTheLastResult) {
    const char* first = qzmd5("abc", 3, 0);
    EXPECT_STREQ(first, "900150983CD24FB0D6963F7D28E17F72");
    const char* second = qzmd5("", 0, 0);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(Md5, DifferentSeedsGiveDifferentDigestsOfTheSameData) {
    const std::vector<unsigned char> data = patterned(100);
    const unsigned seeds[] = {0, 1, 2, 1000, 0x7fffffffu, 0x80000000u, 0xffffffffu};
    std::vector<std::string> seen;
    for (unsigned seed : seeds) {
        std::string digest = digestOf(data, seed);
        EXPECT_TRUE(isUpperHex(digest.c_str())) << digest;
        for (const std::string& earlier : seen) EXPECT_NE(digest, earlier) << "seed " << seed;
        seen.push_back(digest);
    }
}

TEST(Md5, ReadsUnalignedInput) {
    // The whole-block path reads the caller's bytes in place; an odd start must not matter.
    std::vector<unsigned char> buffer = patterned(1000 + 3);
    for (size_t offset = 1; offset < 4; ++offset) {
        std::vector<unsigned char> copy(buffer.begin() + static_cast<long>(offset), buffer.end());
        std::string aligned = digestOf(copy, 5);
        EXPECT_EQ(qzmd5(buffer.data() + offset, static_cast<unsigned>(copy.size()), 5), aligned)
            << "offset " << offset;
    }
}

#ifdef QZ_HAVE_OPENSSL

std::string upperHex(const unsigned char* raw, unsigned n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < n; ++i) {
        text += kDigits[raw[i] >> 4];
        text += kDigits[raw[i] & 15];
    }
    return text;
}

std::string opensslMd5(const unsigned char* data, size_t n) {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned rawLength = 0;
    if (EVP_Digest(data, n, raw, &rawLength, EVP_md5(), nullptr) != 1) return "EVP_Digest failed";
    return upperHex(raw, rawLength);
}

// OpenSSL's MD5 started from the seeded chaining values instead of the standard ones.
std::string opensslSeededMd5(const unsigned char* data, size_t n, unsigned seed) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    ctx.A += 11u * seed;
    ctx.B += 71u * seed;
    ctx.C += 37u * seed;
    ctx.D += 97u * seed;
    MD5_Update(&ctx, data, n);
    unsigned char raw[MD5_DIGEST_LENGTH];
    MD5_Final(raw, &ctx);
    return upperHex(raw, MD5_DIGEST_LENGTH);
}

TEST(Md5, MatchesOpenSslAcrossThePaddingBoundaries) {
    // 55 and 56 bytes split the one-final-block and two-final-block padding; 63, 64 and 65 put
    // the tail on either side of a whole block. Every length up to 200 covers three blocks.
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
    for (size_t n : {255, 256, 257, 1000, 1023, 1024, 1025, 4096, 16384}) lengths.push_back(n);
    for (size_t n : lengths) {
        std::vector<unsigned char> data = patterned(n);
        EXPECT_EQ(digestOf(data, 0), opensslMd5(data.data(), n)) << "length " << n;
    }
}

TEST(Md5, MatchesOpenSslOnRandomInputsWithSeedZero) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> lengthOf(0, 10000);
    std::vector<unsigned char> data;
    int mismatches = 0;
    for (int round = 0; round < 3000; ++round) {
        data.resize(lengthOf(rng));
        for (unsigned char& b : data) b = static_cast<unsigned char>(rng() >> 24);
        std::string expected = opensslMd5(data.data(), data.size());
        std::string actual = digestOf(data, 0);
        if (actual != expected && ++mismatches <= 5) {
            ADD_FAILURE() << "length " << data.size() << ": " << actual << " vs " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Md5, MatchesOpenSslStartedFromTheSeededChainingValues) {
    // Seeds whose multiples wrap past 2^32 check the modular arithmetic of the initial values.
    const unsigned seeds[] = {1, 2, 12345, 0x05d4bf1bu, 0x7fffffffu, 0x80000000u, 0xffffffffu};
    for (unsigned seed : seeds) {
        for (size_t n : {0, 3, 55, 56, 64, 65, 1000}) {
            std::vector<unsigned char> data = patterned(n);
            EXPECT_EQ(digestOf(data, seed), opensslSeededMd5(data.data(), n, seed))
                << "seed " << seed << " length " << n;
        }
    }
}

#endif  // QZ_HAVE_OPENSSL

}  // namespace
