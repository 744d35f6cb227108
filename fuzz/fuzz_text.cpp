// Feeds arbitrary bytes through the text and number helpers with small bounded buffers and
// checks that every result stays terminated and inside its buffer. Buffers sit between guard
// bytes, and AddressSanitizer catches reads past the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/compare.h"
#include "util/numbers.h"
#include "util/text.h"

// assert() disappears under NDEBUG, which the fuzz build defines; this check never does.
#define QZ_FUZZ_CHECK(cond)        \
    do {                           \
        if (!(cond)) std::abort(); \
    } while (0)

namespace {

constexpr int kGuard = 16;
constexpr char kFill = '\x5a';

struct Guarded {
    char raw[4000 + 2 * kGuard];
    char* body() { return raw + kGuard; }
    void reset(const char* text, int size) {
        std::memset(raw, kFill, sizeof raw);
        int n = static_cast<int>(strnlen(text, static_cast<std::size_t>(size - 1)));
        std::memcpy(body(), text, static_cast<std::size_t>(n));
        body()[n] = 0;
    }
    // Terminated within size bytes, and nothing outside them touched.
    void check(int size) const {
        QZ_FUZZ_CHECK(std::memchr(raw + kGuard, 0, static_cast<std::size_t>(size)) != nullptr);
        for (int i = 0; i < kGuard; ++i) QZ_FUZZ_CHECK(raw[i] == kFill);
        for (int i = kGuard + size; i < static_cast<int>(sizeof raw); ++i)
            QZ_FUZZ_CHECK(raw[i] == kFill);
    }
};

Guarded g;

// Splits the input at the first NUL into two texts; both copies are terminated.
struct Texts {
    char a[4096];
    char b[4096];
};
Texts t;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int bufSize = 1 + data[0] % 64 + (data[1] & 0x80 ? 3900 : 0);
    const int pos = data[1] & 0x7f;
    const int cut = static_cast<int8_t>(data[2]);
    const int n = static_cast<int8_t>(data[3]);
    data += 4;
    size -= 4;
    if (size > sizeof t.a - 1) size = sizeof t.a - 1;
    const void* nul = std::memchr(data, 0, size);
    std::size_t la = nul ? static_cast<std::size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    std::memcpy(t.a, data, la);
    t.a[la] = 0;
    std::size_t lb = nul ? size - la - 1 : 0;
    std::memcpy(t.b, data + la + (nul ? 1 : 0), lb);
    t.b[lb] = 0;

    QZ_FUZZ_CHECK(std::strlen(noColor(t.a)) <= 31);
    QZ_FUZZ_CHECK(std::strlen(noSpace(t.a)) <= 31);
    QZ_FUZZ_CHECK(std::strchr(noSpace(t.b), ' ') == nullptr);
    (void)digitsVal(t.a);
    (void)hexVal(t.a, n);
    int m = maskcmp(t.a, t.b, n);
    QZ_FUZZ_CHECK(m == 0 || m == 1);
    int c = trcasecmp(t.a, t.b);
    QZ_FUZZ_CHECK(c == -trcasecmp(t.b, t.a));
    QZ_FUZZ_CHECK(c != 0 || std::strlen(t.a) == std::strlen(t.b));
    QZ_FUZZ_CHECK(trcasecmp(t.a, t.a) == 0);

    // Replace inside text a, with text b as the insert.
    g.reset(t.a, bufSize);
    char before[sizeof g.raw];
    std::memcpy(before, g.raw, sizeof before);
    int len = static_cast<int>(std::strlen(g.body()));
    int r = trrepl(g.body(), bufSize, g.body() + pos, cut, t.b);
    g.check(bufSize);
    if (r == 0) {
        QZ_FUZZ_CHECK(std::memcmp(before, g.raw, sizeof before) == 0);
    } else {
        QZ_FUZZ_CHECK(r == 1);
        QZ_FUZZ_CHECK(static_cast<int>(std::strlen(g.body())) ==
                      len - cut + static_cast<int>(std::strlen(t.b)));
    }

    g.reset(t.a, bufSize);
    traf(g.body(), bufSize, "%s|%d", t.b, n);
    g.check(bufSize);
    QZ_FUZZ_CHECK(std::strlen(g.body()) <= static_cast<std::size_t>(bufSize > 1 ? bufSize - 1 : 0));

    g.reset(t.a, bufSize);
    int beforeLen = static_cast<int>(std::strlen(g.body()));
    int cat = tracat(g.body(), bufSize, t.b);
    g.check(bufSize);
    QZ_FUZZ_CHECK(cat == static_cast<int>(std::strlen(g.body())) ||
                  (cat == beforeLen + 1 && beforeLen + 1 >= bufSize));

    g.reset(t.a, bufSize);
    int value = static_cast<int>(digitsVal(t.b)) * (n < 0 ? -1 : 1);
    int dec = tradec(g.body(), bufSize, value);
    g.check(bufSize);
    QZ_FUZZ_CHECK(dec == static_cast<int>(std::strlen(g.body())));
    QZ_FUZZ_CHECK(bufSize < 2 || dec <= bufSize - 2 || dec == beforeLen);

    g.reset(t.a, bufSize);
    trahex(g.body(), bufSize, hexVal(t.b, 0));
    g.check(bufSize);
    return 0;
}
