// The seeded MD5 digest.
#pragma once

// MD5 of data with the four initial chaining values moved by multiples of seed (seed 0 is plain
// MD5). Returns 32 upper-case hexadecimal digits in a static buffer replaced by the next call.
const char* qzmd5(const void* data, unsigned length, unsigned seed);

// The same digest taken a piece at a time (for data that arrive or are made in pieces): begin,
// add the pieces in order, end. The result equals qzmd5 of the pieces joined.
struct stQzMd5 {
    unsigned state[4];
    unsigned char block[64];
    unsigned long long length;
};
void qzmd5Begin(stQzMd5* md, unsigned seed);
void qzmd5Add(stQzMd5* md, const void* data, unsigned long length);
// 32 upper-case hexadecimal digits in a static buffer replaced by the next call.
const char* qzmd5End(stQzMd5* md);
