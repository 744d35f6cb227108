// Text comparisons: the case-folding compares, the fixed-length compares and the
// address-mask match. Characters above 0x7F order as negative (signed char) values, and every
// call into <cctype> gets an unsigned char value.
#include "util/compare.h"

#include <cctype>

namespace {

int sign(signed char a, signed char b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Platform tolower on a byte, returned as a signed character so ordering stays signed.
signed char ctypeLower(char c) {
    return static_cast<signed char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

// The end of a text is checked before the signed ordering, so "ab" < "ab\xE9" even though
// 0xE9 is negative as a signed character.
int trcasecmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char ca = lowerCh(*a);
        char cb = lowerCh(*b);
        if (ca == cb) {
            if (ca == 0) return 0;
            continue;
        }
        if (ca == 0) return -1;
        if (cb == 0) return 1;
        return sign(static_cast<signed char>(ca), static_cast<signed char>(cb));
    }
}

int trncasecmp(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i) {
        int s = sign(ctypeLower(a[i]), ctypeLower(b[i]));
        if (s != 0) return s;
    }
    return 0;
}

int trcmpn(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i) {
        int s = sign(static_cast<signed char>(a[i]), static_cast<signed char>(b[i]));
        if (s != 0) return s;
    }
    return 0;
}

// The text running out is tested before the mask, so a text equal to the mask but shorter than
// n does not match, while a mask shorter than n matches any longer text with that prefix.
int maskcmp(const char* text, const char* mask, int n) {
    for (int i = 0; i < n; ++i) {
        if (text[i] == 0) return 0;
        if (mask[i] == 0) return 1;
        if (mask[i] == '*') continue;
        if (ctypeLower(text[i]) != ctypeLower(mask[i])) return 0;
    }
    return 1;
}

unsigned trcasehash(const char* text) {
    unsigned h = 2166136261u;
    for (const char* p = text; *p; ++p) {
        h ^= static_cast<unsigned char>(lowerCh(*p));
        h *= 16777619u;
    }
    return h;
}
