// Address masks of "MASK" entries: the mask syntax and the match against a client's numeric
// address. A mask is four octets separated by ".", each a number, a range "lo-hi" or "*"; a
// "*" that ends the address part covers the octets after it too ("10.1.*" is 10.1.*.*). An
// optional ":" port part is a number, a range or "*".
#include <cstring>

#include "players/bans.h"

namespace {

bool number(const char*& p, unsigned max, unsigned* out) {
    unsigned v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (++digits > 5 || v > max) return false;
        p++;
    }
    *out = v;
    return digits > 0;
}

bool range(const char*& p, unsigned max, unsigned* lo, unsigned* hi) {
    if (*p == '*') {
        p++;
        *lo = 0;
        *hi = max;
        return true;
    }
    if (!number(p, max, lo)) return false;
    *hi = *lo;
    if (*p != '-') return true;
    p++;
    return number(p, max, hi) && *lo <= *hi;
}

}  // namespace

bool maskParse(const char* text, stMaskRule* out) {
    if (!text || !out) return false;
    memset(out, 0, sizeof *out);
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        unsigned lo = 0, hi = 0;
        bool star = *p == '*';
        if (!range(p, 255, &lo, &hi)) return false;
        out->lo[i] = static_cast<unsigned char>(lo);
        out->hi[i] = static_cast<unsigned char>(hi);
        if (i == 3) break;
        if (*p == '.') {
            p++;
            continue;
        }
        if (!star) return false;
        for (int k = i + 1; k < 4; ++k) {
            out->lo[k] = 0;
            out->hi[k] = 255;
        }
        break;
    }
    unsigned lo = 0, hi = 65535;
    if (*p == ':') {
        p++;
        if (!range(p, 65535, &lo, &hi)) return false;
    }
    out->portLo = static_cast<unsigned short>(lo);
    out->portHi = static_cast<unsigned short>(hi);
    return *p == 0;
}

bool maskAddress(const char* text, unsigned char octets[4], unsigned* port) {
    if (!text) return false;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        unsigned v = 0;
        if (!number(p, 255, &v)) return false;
        octets[i] = static_cast<unsigned char>(v);
        if (i < 3 && *p++ != '.') return false;
    }
    *port = 0;
    if (*p == ':') {
        p++;
        if (!number(p, 65535, port)) return false;
    }
    return *p == 0;
}

bool maskMatch(const stMaskRule* r, const unsigned char o[4], unsigned port) {
    for (int i = 0; i < 4; ++i)
        if (o[i] < r->lo[i] || o[i] > r->hi[i]) return false;
    return port >= r->portLo && port <= r->portHi;
}
