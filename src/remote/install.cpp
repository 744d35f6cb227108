// The update installer: header, digests, bounded inflate, signature, atomic write.
#include "remote/install.h"

#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "remote/packets.h"
#include "util/md5.h"
#include "util/text.h"

namespace {

struct Header {
    char kind, os;
    int number;
    unsigned long rawSize;
    char digest[33];
    char sig[2 * QZ_UPD_SIG_LEN + 1];
    long length;  // bytes of the header line with its line end
};

int hexValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

bool parseHeader(const char* data, long size, Header* h) {
    const char* end =
        static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(size < 512 ? size : 512)));
    if (!end) return false;
    h->length = end - data + 1;
    char line[512];
    long n = end - data;
    if (n > 0 && data[n - 1] == '\r') n--;
    memcpy(line, data, static_cast<size_t>(n));
    line[n] = 0;
    if (memchr(line, 0, static_cast<size_t>(n))) return false;
    char kind[2], os[2], digest[40], sig[140];
    int number = 0;
    unsigned long raw = 0;
    int used = 0;
    if (sscanf(line, "<p> U %1s %1s %d %lu %39s %139s%n", kind, os, &number, &raw, digest, sig,
               &used) != 6 ||
        used != n || number < 0 || !masterDigestOk(digest)) {
        return false;
    }
    h->kind = kind[0];
    h->os = os[0];
    h->number = number;
    h->rawSize = raw;
    QZ_COPY(h->digest, digest);
    QZ_COPY(h->sig, sig);
    return true;
}

bool sameDigest(const char* a, const char* b) {
    for (int i = 0; i < 32; ++i) {
        char x = a[i] >= 'a' && a[i] <= 'f' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'f' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y || !x) return false;
    }
    return true;
}

bool verify(const unsigned char* key, const unsigned char* sig, const char* msg, size_t length) {
    EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, QZ_UPD_KEY_LEN);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = pkey && ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
              EVP_DigestVerify(ctx, sig, QZ_UPD_SIG_LEN,
                               reinterpret_cast<const unsigned char*>(msg), length) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return ok;
}

}  // namespace

bool qzHexBytes(const char* text, unsigned char* out, int n) {
    for (int i = 0; i < n; ++i) {
        int hi = hexValue(text[2 * i]);
        int lo = hi < 0 ? -1 : hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return text[2 * n] == 0 || text[2 * n] == '\r' || text[2 * n] == '\n';
}

bool qzReadKey(const char* path, unsigned char* key) {
    FILE* fp = fopen(path, "rb");
    if (!fp) return false;
    char line[130] = "";
    bool ok = fgets(line, sizeof line, fp) != nullptr;
    fclose(fp);
    return ok && qzHexBytes(line, key, QZ_UPD_KEY_LEN);
}

int qzUpdateTrailer(char* out, int size, char kind, char os, int number) {
    int n = trf(out, size, "\n<p> U %c %c %d", kind, os, number);
    return n < size ? n : size - 1;
}

int qzInstall(const char* source, const char* target, char kind, char os,
              const stQzFileInfo* expected, const unsigned char* key, const char** error) {
    FILE* fp = fopen(source, "rb");
    if (!fp) {
        *error = "ERROR: Cannot open source file";
        return QZ_INST_FAILED;
    }
    // The whole file: it is the compressed module, at most the largest transfer accepted.
    long length = fseek(fp, 0, SEEK_END) == 0 ? ftell(fp) : -1;
    rewind(fp);
    bool fits = length >= 0 && length <= static_cast<long>(QZ_FILE_MAX);
    char* file = fits ? static_cast<char*>(malloc(static_cast<size_t>(length) + 1)) : nullptr;
    long size = file ? static_cast<long>(fread(file, 1, static_cast<size_t>(length) + 1, fp)) : 0;
    fclose(fp);
    if (fits && !file) {
        *error = "ERROR: Memory Allocation";
        return QZ_INST_FAILED;
    }
    Header h;
    if (!file || size > length || !parseHeader(file, size, &h) ||
        h.kind != kind || h.os != os || h.number != expected->number) {
        free(file);
        *error = "ERROR: Security Mismatch (A)";
        return QZ_INST_FAILED;
    }
    if (!sameDigest(qzmd5(file, static_cast<unsigned>(size), static_cast<unsigned>(h.number)),
                    expected->digest2) ||
        !sameDigest(h.digest, expected->digest1) || h.rawSize != expected->value) {
        free(file);
        *error = "ERROR: Security Mismatch (B)";
        return QZ_INST_FAILED;
    }
    char trailer[64];
    int tl = qzUpdateTrailer(trailer, qz::cap(trailer), kind, os, h.number);
    unsigned long compressed = static_cast<unsigned long>(size - h.length);
    // Deflate shrinks at most about 1032 to 1: a larger claim is refused before allocating.
    if (h.rawSize == 0 || h.rawSize > QZ_RAW_MAX || h.rawSize > compressed * 1032 + 64) {
        free(file);
        *error = "ERROR: Size Mismatch";
        return QZ_INST_FAILED;
    }
    char* raw = static_cast<char*>(malloc(h.rawSize + 1 + static_cast<unsigned long>(tl)));
    if (!raw) {
        free(file);
        *error = "ERROR: Memory Allocation";
        return QZ_INST_FAILED;
    }
    uLongf got = h.rawSize + 1;
    int z = uncompress(reinterpret_cast<Bytef*>(raw), &got,
                       reinterpret_cast<const Bytef*>(file + h.length), compressed);
    free(file);
    if (z != Z_OK && z != Z_BUF_ERROR) {
        free(raw);
        *error = "ERROR: Failed to Uncompress";
        return QZ_INST_FAILED;
    }
    if (z == Z_BUF_ERROR || got != h.rawSize) {
        free(raw);
        *error = "ERROR: Size Mismatch";
        return QZ_INST_FAILED;
    }
    if (!sameDigest(qzmd5(raw, static_cast<unsigned>(got), static_cast<unsigned>(h.number)),
                    h.digest)) {
        free(raw);
        *error = "ERROR: Security Mismatch (C)";
        return QZ_INST_FAILED;
    }
    if (!key) {
        free(raw);
        *error = nullptr;
        return QZ_INST_VERIFIED;
    }
    unsigned char sig[QZ_UPD_SIG_LEN];
    if (slen(h.sig) != 2 * QZ_UPD_SIG_LEN || !qzHexBytes(h.sig, sig, QZ_UPD_SIG_LEN)) {
        free(raw);
        *error = "ERROR: Update Not Signed";
        return QZ_INST_FAILED;
    }
    memcpy(raw + got, trailer, static_cast<size_t>(tl));
    if (!verify(key, sig, raw, got + static_cast<size_t>(tl))) {
        free(raw);
        *error = "ERROR: Bad Update Signature";
        return QZ_INST_FAILED;
    }
    char temp[600];
    QZ_TRF(temp, "%s.part", target);
    FILE* out = fopen(temp, "wb");
    if (!out) {
        free(raw);
        *error = "ERROR: Cannot open target file for writing";
        return QZ_INST_FAILED;
    }
    bool ok = fwrite(raw, 1, got, out) == got;
    ok = fflush(out) == 0 && ok;
    ok = fsync(fileno(out)) == 0 && ok;
    ok = fclose(out) == 0 && ok;
    free(raw);
    if (!ok || rename(temp, target) != 0) {
        unlink(temp);
        *error = "ERROR: File Write Error";
        return QZ_INST_FAILED;
    }
    *error = nullptr;
    return QZ_INST_INSTALLED;
}
