// Number to text and text to number conversions, and small integer arithmetic helpers.
#pragma once

// Writes value in radix 2..36 (lower-case digits) into dst, which must hold 36 bytes; a radix
// outside 2..36 or the value 0 writes "0". Only radix 10 prints a sign; the other radixes print
// the value's low 32 bits as unsigned, so 32-bit and 64-bit builds agree. Null dst returns null.
char* ltoa(long value, char* dst, int radix);
// Unsigned decimal value of text (32-bit, wrapping); "-" characters are skipped wherever they
// stand, anything else ends the number.
unsigned digitsVal(const char* text);
// Unsigned hexadecimal value of text (32-bit, wrapping), reading at most n digits when n > 0.
unsigned hexVal(const char* text, int n);
// Two upper-case hexadecimal digits of byte, in a static 3-byte buffer.
char* hex(unsigned char byte);
// a % b with the sign of a; 0 when b is 0 or -1.
int safeMod(int a, int b);
// base^exponent mod modulus with 32-bit products (exact while modulus < 65536). Exponent 0
// gives 1; a zero modulus with another exponent is a caller error and gives 0.
unsigned powMod(unsigned base, unsigned exponent, unsigned modulus);
