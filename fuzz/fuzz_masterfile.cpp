// The generated server file parser: any bytes either parse or are refused, and whatever parses
// writes out and reads back to the same list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "remote/masters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static stQzMaster a[8], b[8];
    int count = 0;
    const char* text = reinterpret_cast<const char*>(data);
    if (masterParse(text, static_cast<long>(size), &count, a, 8)) return 0;
    static char buf[1 << 16];
    long n = masterFormat(buf, sizeof buf, count, a);
    if (n < 0) abort();
    int again = 0;
    if (masterParse(buf, n, &again, b, 8) || again != count) abort();
    static char buf2[1 << 16];
    long n2 = masterFormat(buf2, sizeof buf2, again, b);
    if (n2 != n || memcmp(buf, buf2, static_cast<size_t>(n)) != 0) abort();
    return 0;
}
