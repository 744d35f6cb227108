// Parsers and builders of the master exchange's packets.
#include "remote/packets.h"

#include <cstdio>
#include <cstring>

#include "util/text.h"

namespace {

const char kTag[] = "\xFF\xFF\xFF\xFFQZ_";

// Reads a quoted field after "word " at *p. Advances *p past the closing quote and one blank.
bool quoted(const char** p, const char* end, const char* word, char* out, int size, int* got) {
    int wl = slen(word);
    if (end - *p < wl + 2 || memcmp(*p, word, static_cast<size_t>(wl)) != 0 || (*p)[wl] != ' ' ||
        (*p)[wl + 1] != '"') {
        return false;
    }
    const char* s = *p + wl + 2;
    const char* q = static_cast<const char*>(memchr(s, '"', static_cast<size_t>(end - s)));
    if (!q || q - s >= size || memchr(s, 0, static_cast<size_t>(q - s))) return false;
    memcpy(out, s, static_cast<size_t>(q - s));
    out[q - s] = 0;
    if (got) *got = static_cast<int>(q - s);
    *p = q + 1;
    if (*p < end && **p == ' ') (*p)++;
    return true;
}

uint32_t be32(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}
void putBe32(char* p, uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}

// Unsigned number in base at *p up to a blank or the end; at most maxDigits digits.
bool number(const char** p, const char* end, int base, int maxDigits, uint32_t* out, int* digits) {
    uint64_t v = 0;
    int n = 0;
    while (*p < end && **p != ' ') {
        char c = **p;
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : 99;
        if (d >= base) return false;
        if (n < 16) v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        n++;
        (*p)++;
    }
    if (digits) *digits = n;
    if (n == 0 || n > maxDigits || v > 0xFFFFFFFFu) return false;
    *out = static_cast<uint32_t>(v);
    if (*p < end) (*p)++;
    return true;
}

}  // namespace

void pktTag(char* out, char letter) {
    memcpy(out, kTag, 7);
    out[7] = letter;
}

char pktType(const char* data, int length) {
    if (length < QZ_TAG_LEN || memcmp(data, kTag, 7) != 0) return 0;
    return data[7];
}

int pktRequestFormat(char* out, int size, const char* key, const char* file, char letter,
                     int rate) {
    char tag[QZ_TAG_LEN + 1];
    pktTag(tag, letter);
    tag[QZ_TAG_LEN] = 0;
    int n =
        trf(out, size, "key \"%s\" file \"%s\" header \"%s\" rate \"%d\"", key, file, tag, rate);
    return n < size ? n : -1;
}

bool pktRequestParse(const char* text, int length, QzRequest* out) {
    memset(out, 0, sizeof *out);
    const char* p = text;
    const char* end = text + length;
    char rate[16];
    if (!quoted(&p, end, "key", out->key, qz::cap(out->key), nullptr) ||
        !quoted(&p, end, "file", out->file, qz::cap(out->file), nullptr) ||
        !quoted(&p, end, "header", out->header, qz::cap(out->header), &out->headerLength) ||
        !quoted(&p, end, "rate", rate, qz::cap(rate), nullptr)) {
        return false;
    }
    const char* r = rate;
    uint32_t v = 0;
    if (!number(&r, rate + slen(rate), 10, 6, &v, nullptr)) return false;
    out->rate = static_cast<int>(v);
    return out->file[0] != 0;
}

int pktHeaderParse(const char* body, int length, QzFileHeader* out, int* digits) {
    memset(out, 0, sizeof *out);
    *digits = 0;
    const char* p = body;
    const char* end = body + length;
    if (length < 8 || *p != ' ') return QZ_HDR_SHORT;
    p++;
    if (!number(&p, end, 10, 10, &out->id, nullptr) || out->id == 0) return QZ_HDR_SHORT;
    // A size with more digits than accepted is still read past, so that the name that follows
    // tells which file the master cannot send.
    int sizeDigits = 0, rawDigits = 0;
    bool sizeOk = number(&p, end, 16, QZ_SIZE_HEX_MAX, &out->size, &sizeDigits);
    if (!sizeOk) {
        if (sizeDigits <= QZ_SIZE_HEX_MAX || sizeDigits > 16) return QZ_HDR_SHORT;
        if (p < end) p++;
    }
    bool rawOk = number(&p, end, 16, QZ_SIZE_HEX_MAX, &out->rawSize, &rawDigits);
    if (!rawOk) {
        if (rawDigits <= QZ_SIZE_HEX_MAX || rawDigits > 16) return QZ_HDR_SHORT;
        if (p < end) p++;
    }
    int nl = static_cast<int>(end - p);
    if (nl <= 0 || nl >= qz::cap(out->name) || memchr(p, 0, static_cast<size_t>(nl))) {
        return QZ_HDR_SHORT;
    }
    memcpy(out->name, p, static_cast<size_t>(nl));
    out->name[nl] = 0;
    if (!sizeOk || out->size > QZ_FILE_MAX) {
        *digits = sizeDigits;
        return QZ_HDR_TOO_LARGE;
    }
    if (!rawOk || out->rawSize > QZ_RAW_MAX) {
        *digits = rawDigits;
        return QZ_HDR_TOO_LARGE;
    }
    if (out->size == 0 || out->rawSize == 0) return QZ_HDR_EMPTY;
    return QZ_HDR_OK;
}

int pktHeaderFormat(char* out, int size, const QzFileHeader* h) {
    if (size < QZ_TAG_LEN + 1) return -1;
    pktTag(out, QZ_PT_FILE);
    int n = trf(out + QZ_TAG_LEN, size - QZ_TAG_LEN, "VRFH %u %X %X %s", h->id, h->size, h->rawSize,
                h->name);
    return n < size - QZ_TAG_LEN ? QZ_TAG_LEN + n : -1;
}

bool pktBlockParse(const char* body, int length, QzFileBlock* out) {
    if (length < 8) return false;
    out->id = be32(body);
    out->block = be32(body + 4);
    out->data = body + 8;
    out->length = length - 8;
    return true;
}

int pktBlockFormat(char* out, int size, uint32_t id, uint32_t block, const char* data, int length) {
    int total = QZ_TAG_LEN + 4 + 8 + length;
    if (length < 0 || total > size) return -1;
    pktTag(out, QZ_PT_FILE);
    memcpy(out + QZ_TAG_LEN, "VRFB", 4);
    putBe32(out + QZ_TAG_LEN + 4, id);
    putBe32(out + QZ_TAG_LEN + 8, block);
    if (length) memcpy(out + QZ_TAG_LEN + 12, data, static_cast<size_t>(length));
    return total;
}

uint32_t pktBlockCount(uint32_t size) {
    return size / QZ_BLOCK_SIZE + (size % QZ_BLOCK_SIZE ? 1 : 0);
}

int pktBlockLength(uint32_t size, uint32_t i) {
    uint64_t start = uint64_t{i} * QZ_BLOCK_SIZE;
    if (start >= size) return 0;
    uint64_t left = size - start;
    return static_cast<int>(left < QZ_BLOCK_SIZE ? left : QZ_BLOCK_SIZE);
}

int pktControlParse(const char* text, int length, uint32_t* id, uint32_t* block) {
    static const struct {
        const char* word;
        int kind;
    } kWords[] = {{"ack ", QZ_CTL_ACK}, {"reblock ", QZ_CTL_REBLOCK}, {"restart ", QZ_CTL_RESTART}};
    for (const auto& w : kWords) {
        int wl = slen(w.word);
        if (length <= wl || memcmp(text, w.word, static_cast<size_t>(wl)) != 0) continue;
        const char* p = text + wl;
        const char* end = text + length;
        if (number(&p, end, 10, 10, id, nullptr) && p < end &&
            number(&p, end, 10, 10, block, nullptr) && p == end) {
            return w.kind;
        }
        return QZ_CTL_NONE;
    }
    return QZ_CTL_NONE;
}
