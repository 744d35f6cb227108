// Nonces, Ed25519 signatures and the proof fields of the masters' answers.
#include "remote/mastauth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "remote/install.h"

namespace {

const char kHex[] = "0123456789abcdef";

void toHex(const unsigned char* p, int n, char* out) {
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kHex[p[i] >> 4];
        out[2 * i + 1] = kHex[p[i] & 15];
    }
    out[2 * n] = 0;
}

bool lowerHex(const char* p, int n) {
    for (int i = 0; i < n; ++i) {
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'f'))) return false;
    }
    return true;
}

// Exactly 2 * n hexadecimal digits at p into n bytes (what follows is the caller's business).
bool hexField(const char* p, unsigned char* out, int n) {
    for (int i = 0; i < 2 * n; ++i) {
        char c = p[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) return false;
        if (i % 2 == 0) {
            out[i / 2] = static_cast<unsigned char>(v << 4);
        } else {
            out[i / 2] = static_cast<unsigned char>(out[i / 2] | v);
        }
    }
    return true;
}

}  // namespace

bool maNonce(char* out) {
    unsigned char raw[QZ_NONCE_HEX / 2];
    if (RAND_bytes(raw, sizeof raw) != 1) {
        out[0] = 0;
        return false;
    }
    toHex(raw, sizeof raw, out);
    return true;
}

bool maVerify(const unsigned char* key, const unsigned char* sig, const char* msg, size_t length) {
    EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, QZ_UPD_KEY_LEN);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = pkey && ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
              EVP_DigestVerify(ctx, sig, QZ_UPD_SIG_LEN,
                               reinterpret_cast<const unsigned char*>(msg), length) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return ok;
}

bool maSign(const unsigned char* privateKey, const char* msg, size_t length, char* out) {
    EVP_PKEY* key =
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, privateKey, QZ_UPD_KEY_LEN);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char sig[64];
    size_t len = sizeof sig;
    bool ok =
        key && ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(msg), length) == 1 &&
        len == sizeof sig;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (ok) toHex(sig, 64, out);
    return ok;
}

bool maDirectiveSplit(const char* body, int length, QzDirectiveProof* out) {
    memset(out, 0, sizeof *out);
    constexpr int kHead = 6 + QZ_NONCE_HEX + 1;  // "nonce " digits "\n"
    constexpr int kSig = 4 + QZ_SIG_HEX;         // "sig " digits
    if (length < kHead + kSig || memcmp(body, "nonce ", 6) != 0 || body[6 + QZ_NONCE_HEX] != '\n' ||
        !lowerHex(body + 6, QZ_NONCE_HEX)) {
        return false;
    }
    // The signature line ends the body, with or without its line end.
    int end = length;
    if (end > 0 && body[end - 1] == '\n') end--;
    if (end > 0 && body[end - 1] == '\r') end--;
    int sigAt = end - kSig;
    if (sigAt < kHead || memcmp(body + sigAt, "sig ", 4) != 0 || body[sigAt - 1] != '\n' ||
        !hexField(body + sigAt + 4, out->sig, 64)) {
        return false;
    }
    memcpy(out->nonce, body + 6, QZ_NONCE_HEX);
    out->nonce[QZ_NONCE_HEX] = 0;
    out->signedLength = sigAt;
    out->lines = body + kHead;
    out->linesLength = sigAt - kHead;
    return true;
}

bool maHeaderSplit(const char* body, int length, QzHeaderProof* out) {
    memset(out, 0, sizeof *out);
    constexpr int kTail = 1 + QZ_NONCE_HEX + 1 + QZ_SHA_HEX + 1 + QZ_SIG_HEX;
    if (length <= kTail) return false;
    const char* t = body + length - kTail;
    if (t[0] != ' ' || t[1 + QZ_NONCE_HEX] != ' ' || t[2 + QZ_NONCE_HEX + QZ_SHA_HEX] != ' ' ||
        !lowerHex(t + 1, QZ_NONCE_HEX) || !hexField(t + 2 + QZ_NONCE_HEX, out->sha, 32) ||
        !hexField(t + 3 + QZ_NONCE_HEX + QZ_SHA_HEX, out->sig, 64)) {
        return false;
    }
    memcpy(out->nonce, t + 1, QZ_NONCE_HEX);
    out->nonce[QZ_NONCE_HEX] = 0;
    out->headLength = length - kTail;
    out->signedLength = length - 1 - QZ_SIG_HEX;
    return true;
}
