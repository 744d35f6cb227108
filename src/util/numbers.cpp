// Number to text and text to number conversions, and the small modular arithmetic helpers.
// All arithmetic on values read from text is unsigned 32-bit and wraps, so hostile digit runs
// cannot overflow a signed type.
#include "util/numbers.h"

#include <cstdint>

namespace {

// 32 binary digits of a 32-bit value fit with room to spare.
constexpr int kLtoaDigits = 34;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

char* ltoa(long value, char* dst, int radix) {
    if (!dst) return nullptr;
    dst[0] = '0';
    dst[1] = 0;
    if (value == 0 || radix < 2 || radix > 36) return dst;

    // Radix 10 keeps the whole signed long; every other radix shows the bit pattern of the low
    // 32 bits, which is what the value looks like on a 32-bit build.
    unsigned long long mag;
    bool negative = false;
    if (radix == 10) {
        negative = value < 0;
        mag = negative ? 0ull - static_cast<unsigned long long>(value)
                       : static_cast<unsigned long long>(value);
    } else {
        mag = static_cast<std::uint32_t>(value);
    }
    if (mag == 0) return dst;  // a 64-bit value with zero low bits keeps the "0"

    char work[kLtoaDigits + 1];
    int n = 0;
    const auto r = static_cast<unsigned long long>(radix);
    while (mag != 0 && n < kLtoaDigits) {
        auto d = static_cast<int>(mag % r);
        work[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        mag /= r;
    }
    int o = 0;
    if (negative) dst[o++] = '-';
    while (n > 0) dst[o++] = work[--n];
    dst[o] = 0;
    return dst;
}

unsigned digitsVal(const char* text) {
    std::uint32_t v = 0;
    if (!text) return 0;
    for (; *text; ++text) {
        if (*text == '-') continue;
        if (*text < '0' || *text > '9') break;
        v = v * 10u + static_cast<std::uint32_t>(*text - '0');
    }
    return v;
}

unsigned hexVal(const char* text, int n) {
    std::uint32_t v = 0;
    if (!text) return 0;
    for (int count = 0; *text && (n <= 0 || count < n); ++text, ++count) {
        int d = hexDigit(*text);
        if (d < 0) break;
        v = v * 16u + static_cast<std::uint32_t>(d);
    }
    return v;
}

char* hex(unsigned char byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    static char out[3];
    out[0] = kDigits[byte >> 4];
    out[1] = kDigits[byte & 15];
    out[2] = 0;
    return out;
}

// b == -1 is refused because INT_MIN % -1 traps on x86 even though the remainder is 0.
int safeMod(int a, int b) {
    if (b == 0 || b == -1) return 0;
    return a % b;
}

// The products are deliberately 32-bit: callers were written against that arithmetic and the
// results must not change with the build.
unsigned powMod(unsigned base, unsigned exponent, unsigned modulus) {
    if (exponent == 0) return 1;
    if (modulus == 0) return 0;
    std::uint32_t result = 1;
    std::uint32_t b = base;
    for (std::uint32_t e = exponent; e != 0; e >>= 1) {
        if (e & 1u) result = static_cast<std::uint32_t>(result * b) % modulus;
        b = static_cast<std::uint32_t>(b * b) % modulus;
    }
    return result;
}
