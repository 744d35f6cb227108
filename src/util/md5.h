// The seeded MD5 digest.
#pragma once

// MD5 of data with the four initial chaining values moved by multiples of seed (seed 0 is plain
// MD5). Returns 32 upper-case hexadecimal digits in a static buffer replaced by the next call.
const char* qzmd5(const void* data, unsigned length, unsigned seed);
