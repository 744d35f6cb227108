// Bounded text writers, copies and the colour-code and blank strippers. The appenders measure
// the current text with a bound of the buffer size, so a buffer that lost its NUL is treated as
// full instead of being read past its end.
#include "util/text.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Length of the text in a buffer of size bytes; size when no NUL lies inside it.
int boundedLen(const char* buf, int size) {
    if (size <= 0) return 0;
    return static_cast<int>(strnlen(buf, static_cast<std::size_t>(size)));
}

// Room for the static stripper results: 31 characters and the NUL.
constexpr int kStripSize = 32;
// Work area that carries the tail of the text while trrepl rewrites the buffer.
constexpr int kReplWork = 4096;
constexpr int kReplMaxSize = 4000;

}  // namespace

int trf(char* buf, int size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n;
    if (size < 1) {
        n = vsnprintf(nullptr, 0, fmt, ap);
    } else {
        n = vsnprintf(buf, static_cast<std::size_t>(size), fmt, ap);
        buf[size - 1] = 0;
    }
    va_end(ap);
    return n;
}

int traf(char* buf, int size, const char* fmt, ...) {
    int len = boundedLen(buf, size);
    if (len >= size - 1) return len + 1;
    va_list ap;
    va_start(ap, fmt);
    // The room excludes the last byte, which stays NUL whatever the format produced.
    int n = vsnprintf(buf + len, static_cast<std::size_t>(size - 1 - len), fmt, ap);
    va_end(ap);
    buf[size - 1] = 0;
    return n;
}

int tracat(char* buf, int size, const char* text) {
    int len = boundedLen(buf, size);
    if (len + 1 >= size) return len + 1;
    if (text) {
        int room = size - len - 1;
        while (room > 0 && *text) {
            buf[len++] = *text++;
            --room;
        }
    }
    buf[len] = 0;
    return len;
}

int tracc(char* buf, int size, char ch) {
    int len = boundedLen(buf, size);
    if (len + 1 >= size) return size - (len + 1);
    buf[len] = ch;
    buf[len + 1] = 0;
    return static_cast<unsigned char>(ch);
}

int tradec(char* buf, int size, int value) {
    int len = boundedLen(buf, size);
    int budget = size - (len + 1);
    // Digits come out least significant first; 10 digits hold any 32-bit magnitude.
    char digits[12];
    int nd = 0;
    unsigned mag = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[nd++] = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    if (value < 0) digits[nd++] = '-';
    while (nd > 0 && budget > 0 && len < size - 2) {
        buf[len++] = digits[--nd];
        --budget;
    }
    if (len < size) buf[len] = 0;
    return len;
}

int trahex(char* buf, int size, unsigned value) {
    static const char kDigits[] = "0123456789abcdef";
    int len = boundedLen(buf, size);
    int budget = size - (len + 1);
    char digits[8];
    int nd = 0;
    do {
        digits[nd++] = kDigits[value & 15u];
        value >>= 4;
    } while (value != 0);
    while (nd > 0 && budget > 0 && len < size - 1) {
        buf[len++] = digits[--nd];
        --budget;
    }
    if (len < size) buf[len] = 0;
    return len;
}

int trrepl(char* buf, int size, char* pos, int cut, const char* insert) {
    if (!buf || !pos || size < 1 || size > kReplMaxSize || cut < 0) return 0;
    // pos may come from anywhere; compare addresses as integers so a stray pointer is refused
    // rather than used.
    auto base = reinterpret_cast<std::uintptr_t>(buf);
    auto at = reinterpret_cast<std::uintptr_t>(pos);
    if (at < base || at - base >= static_cast<std::uintptr_t>(size)) return 0;
    long long off = static_cast<long long>(at - base);
    int len = boundedLen(buf, size);
    if (len >= size) return 0;  // no terminator inside the buffer
    if (off > len || cut > len - off) return 0;
    long long ins = insert ? static_cast<long long>(strnlen(insert, kReplWork)) : 0;
    if (off - cut + ins >= size) return 0;
    long long rest = len - off - cut;
    if (off + ins + rest + 1 > size) return 0;

    char work[kReplWork];
    std::memcpy(work, buf + off + cut, static_cast<std::size_t>(rest));
    // insert may point into buf itself: memmove before the tail is written back.
    if (ins > 0) std::memmove(buf + off, insert, static_cast<std::size_t>(ins));
    std::memcpy(buf + off + ins, work, static_cast<std::size_t>(rest));
    buf[off + ins + rest] = 0;
    return 1;
}

char* trcpyz(char* dst, const char* src, int n) {
    size_t len = src && n > 0 ? strnlen(src, static_cast<size_t>(n)) : 0;
    // memmove: callers may copy a text onto itself or within one buffer.
    if (len) memmove(dst, src, len);
    dst[len] = 0;
    return dst;
}

char* trcpyn(char* dst, const char* src, int n) {
    if (src) {
        for (int i = 0; i < n && src[i]; ++i) dst[i] = src[i];
    }
    return dst;
}

int slen(const char* text) { return text ? static_cast<int>(std::strlen(text)) : 0; }

// A "^" before another "^" or the end stands for itself; before anything else it starts a
// colour code and both characters go. After a lone "^" only one character is consumed, so in
// "^^B" the second caret is read again and swallows the B.
char* noColor(const char* text) {
    static char out[kStripSize];
    int n = 0;
    if (text) {
        while (*text && n < kStripSize - 1) {
            if (*text == '^') {
                if (text[1] == '^' || text[1] == 0) {
                    out[n++] = '^';
                    ++text;
                } else {
                    text += 2;
                }
            } else {
                out[n++] = *text++;
            }
        }
    }
    out[n] = 0;
    return out;
}

char* noSpace(const char* text) {
    static char out[kStripSize];
    int n = 0;
    if (text) {
        for (; *text && n < kStripSize - 1; ++text) {
            if (*text != ' ') out[n++] = *text;
        }
    }
    out[n] = 0;
    return out;
}
