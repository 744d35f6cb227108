// Readable names for the cases of value-parameterised tests, so that test lists and CTest show
// "Cases/Suite.Test/3_mapno3" rather than an index and the raw bytes of the case record.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <string>

namespace qztest {

// The case's index, then the text with every run of characters other than letters and digits
// turned into one "_" (GoogleTest allows only those in names), cut to 40 characters. The index
// keeps two cases whose texts differ only in punctuation apart.
inline std::string caseName(size_t index, const std::string& text) {
    std::string name = std::to_string(index);
    bool gap = true;
    for (unsigned char c : text) {
        if (name.size() >= 40) break;
        if (std::isalnum(c)) {
            if (gap) name += '_';
            name += static_cast<char>(c);
            gap = false;
        } else {
            gap = true;
        }
    }
    return name;
}

// TEXT with every byte outside printable ASCII written as \xNN: how a case prints its raw bytes
// (after "GetParam() =" in the test list).
inline std::string readable(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        unsigned char b = static_cast<unsigned char>(*c);
        if (b >= 0x20 && b < 0x7f) {
            out += *c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace qztest
