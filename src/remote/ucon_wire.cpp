// The UCON wire helpers: MACs and the field splitter used by both ends of a session.
#include "remote/ucon_wire.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "media/remotelog.h"
#include "util/text.h"

void uconMac(const char* key, const char* data, int length, char* out) {
    hmacMd5Hex(key, slen(key), data, length, out);
}

void uconProof(const char* password, const char* user, const char* challenge, const char* nonce,
               char* out) {
    char data[160];
    int n = trf(data, sizeof data, "LOGIN %s %s %s", user, challenge, nonce);
    if (n >= static_cast<int>(sizeof data)) n = sizeof data - 1;
    uconMac(password, data, n, out);
}

void uconSessionKey(const char* password, const char* challenge, const char* nonce, char* out) {
    char data[96];
    int n = trf(data, sizeof data, "KEY %s %s", challenge, nonce);
    if (n >= static_cast<int>(sizeof data)) n = sizeof data - 1;
    uconMac(password, data, n, out);
}

bool uconMacEqual(const char* a, const char* b) {
    unsigned diff = 0;
    for (int i = 0; i < 32; ++i) diff |= static_cast<unsigned>(a[i] ^ b[i]);
    return diff == 0 && a[32] == 0 && b[32] == 0;
}

int uconSplit(const char* text, int length, UconField* fields, int count) {
    int found = 0, i = 0;
    while (found < count && i < length) {
        int start = i;
        if (found == count - 1) {
            fields[found++] = {text + start, length - start};
            return found;
        }
        while (i < length && text[i] != ' ') i++;
        fields[found++] = {text + start, i - start};
        if (i < length) i++;  // one blank separates fields
    }
    // A text that ends right after a separator still has an empty last field.
    if (found < count && i == length && length > 0 && text[length - 1] == ' ')
        fields[found++] = {text + length, 0};
    return found;
}

bool uconIs(const UconField& f, const char* word) {
    int n = slen(word);
    return f.n == n && memcmp(f.p, word, static_cast<size_t>(n)) == 0;
}

bool uconHex(const UconField& f, int min, int max) {
    if (f.n < min || f.n > max) return false;
    for (int i = 0; i < f.n; ++i) {
        char c = f.p[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool uconCopy(const UconField& f, char* out, int size) {
    if (f.n < 0 || f.n >= size) return false;
    memcpy(out, f.p, static_cast<size_t>(f.n));
    out[f.n] = 0;
    return true;
}

bool uconNameOk(const char* name, int length) {
    if (length < 1 || length > 31) return false;
    for (int i = 0; i < length; ++i) {
        char c = name[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

int uconPacketBuild(char* out, int size, const char* text, int length) {
    int total = QZ_UCON_PREFIX_LEN + length;
    if (length < 0 || total > QZ_UCON_PACKET_MAX || total >= size) return 0;
    memcpy(out, QZ_UCON_PREFIX, QZ_UCON_PREFIX_LEN);
    memcpy(out + QZ_UCON_PREFIX_LEN, text, static_cast<size_t>(length));
    out[total] = 0;
    return total;
}

int uconSigned(char* out, int size, const char* word, const char* sid, unsigned seq,
               const char* key, const char* text, int length) {
    char signedPart[QZ_UCON_PACKET_MAX + 64];
    int head = trf(signedPart, sizeof signedPart, "%s %s %u ", word, sid, seq);
    if (length < 0 || head + length >= static_cast<int>(sizeof signedPart)) return 0;
    memcpy(signedPart + head, text, static_cast<size_t>(length));
    char mac[33];
    uconMac(key, signedPart, head + length, mac);
    char body[QZ_UCON_PACKET_MAX + 64];
    int n = trf(body, sizeof body, "%s %s %u %s ", word, sid, seq, mac);
    if (n + length >= static_cast<int>(sizeof body)) return 0;
    memcpy(body + n, text, static_cast<size_t>(length));
    return uconPacketBuild(out, size, body, n + length);
}

bool uconSignedOk(const UconField* f, const char* key) {
    if (!uconHex(f[3], 32, 32)) return false;
    char signedPart[QZ_UCON_PACKET_MAX + 64];
    int need = f[0].n + f[1].n + f[2].n + f[4].n + 3;
    if (need >= static_cast<int>(sizeof signedPart)) return false;
    int n = 0;
    for (int i : {0, 1, 2, 4}) {
        memcpy(signedPart + n, f[i].p, static_cast<size_t>(f[i].n));
        n += f[i].n;
        if (i != 4) signedPart[n++] = ' ';
    }
    char mac[33], got[33];
    uconMac(key, signedPart, n, mac);
    uconCopy(f[3], got, sizeof got);
    return uconMacEqual(mac, got);
}
