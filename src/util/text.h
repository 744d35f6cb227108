// Bounded text helpers: formatted printing and appending into fixed character buffers, copies,
// lengths and the colour-code and blank strippers. Every writer here leaves its buffer
// terminated; none of them writes past the size it is given.
#pragma once

#include <cstddef>

#define QZ_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

// vsnprintf into buf; byte size-1 is always NUL. Returns vsnprintf's result (the untruncated
// length), so a result >= size means the text was cut. A size below 1 writes nothing.
int trf(char* buf, int size, const char* fmt, ...) QZ_PRINTF(3, 4);
// Appends formatted text, leaving the last byte of the buffer empty. When the buffer is already
// full (length >= size-1) nothing is written and length+1 is returned; otherwise returns
// vsnprintf's result for the appended part.
int traf(char* buf, int size, const char* fmt, ...) QZ_PRINTF(3, 4);
// Appends at most size-length-1 characters of text; returns the new length (length+1 when full).
int tracat(char* buf, int size, const char* text);
// Appends one character when length+1 < size and returns it as an unsigned char value; else
// writes nothing and returns size-(length+1) (<= 0).
int tracc(char* buf, int size, char ch);
// Appends a signed decimal number, digit by digit while the text is shorter than size-2, so the
// last usable byte stays empty and a long number is cut at its low digits. Returns the new
// length.
int tradec(char* buf, int size, int value);
// Appends an unsigned number in lower-case hexadecimal without prefix, digit by digit while the
// text is shorter than size-1. Returns the new length.
int trahex(char* buf, int size, unsigned value);
// Replaces cut characters at pos with insert; the rest of the text moves. Returns 1, or 0 with
// the buffer unchanged when pos lies outside the text, cut runs past its end, size > 4000 or
// the result would not fit in size bytes.
int trrepl(char* buf, int size, char* pos, int cut, const char* insert);

// Copies up to n characters and a NUL (writes up to n+1 bytes).
char* trcpyz(char* dst, const char* src, int n);
// Copies up to n characters and no NUL.
char* trcpyn(char* dst, const char* src, int n);
// Length of text; 0 for a null pointer.
int slen(const char* text);
// Text without ^-colour codes, at most 31 characters, in a static buffer.
char* noColor(const char* text);
// Text without blanks, at most 31 characters, in a static buffer.
char* noSpace(const char* text);

namespace qz {
// Number of elements of a character array; refuses pointers at compile time.
template <std::size_t N>
constexpr int cap(const char (&)[N]) {
    static_assert(N > 0 && N < 0x7fffffff);
    return static_cast<int>(N);
}
}  // namespace qz

// Size-deducing forms for arrays: QZ_TRF(buf, "%d", n). Macros, so the compiler still checks the
// format against the arguments.
#define QZ_TRF(buf, ...) trf((buf), qz::cap(buf), __VA_ARGS__)
#define QZ_TRAF(buf, ...) traf((buf), qz::cap(buf), __VA_ARGS__)
#define QZ_TRACAT(buf, text) tracat((buf), qz::cap(buf), (text))
#define QZ_TRACC(buf, ch) tracc((buf), qz::cap(buf), (ch))
#define QZ_TRADEC(buf, value) tradec((buf), qz::cap(buf), (value))
#define QZ_TRAHEX(buf, value) trahex((buf), qz::cap(buf), (value))
// Copies text into an array, cut to fit, always terminated.
#define QZ_COPY(buf, text) trcpyz((buf), (text), qz::cap(buf) - 1)
