// Text comparisons: case-folding compares and the address-mask match. Bytes above 0x7F order as
// negative (signed char) values.
#pragma once

// -1, 0 or 1; folds A..Z only; a text that ends first is the lesser.
int trcasecmp(const char* a, const char* b);
// Compares exactly n characters after tolower, not stopping at NUL. n <= 0 gives 0.
int trncasecmp(const char* a, const char* b, int n);
// Compares exactly n bytes as signed characters. n <= 0 gives 0.
int trcmpn(const char* a, const char* b, int n);
// 1 when the first n characters of text match mask ("*" matches any one character, letters
// compare after tolower), else 0. n <= 0 matches; the text ending first does not match; the
// mask ending first does.
int maskcmp(const char* text, const char* mask, int n);
// A..Z to a..z; every other character unchanged. Inline: the hash indexes fold every key byte.
inline char lowerCh(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}
// FNV-1a hash of text with A..Z folded to lower case, so that texts trcasecmp finds equal hash
// alike. For the module's own hash indexes.
unsigned trcasehash(const char* text);
