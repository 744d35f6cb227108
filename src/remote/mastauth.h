// Authentication of the masters' answers. Every query and file request carries a fresh random
// value (the nonce, 16 hexadecimal digits); a master's answer is used only when it repeats the
// nonce of a request still waiting for it and carries an Ed25519 signature that verifies with
// the administrator's key "qzsvkey.pub", the key that signs module updates. docs/masters.md
// gives the layouts.
//
//   directive packet body: "nonce <nonce>\n" <lines> "sig <128 hex digits>\n"
//       (the signature covers every byte of the body before "sig ")
//   file header body:      "VRFH <id> <size> <raw size> <name> <nonce> <sha256> <signature>"
//       (the signature covers the body up to the blank before it; the SHA-256, in lower-case
//       hexadecimal, is that of the compressed data the blocks carry)
#pragma once

#include <cstddef>

constexpr int QZ_NONCE_HEX = 16;
constexpr int QZ_SIG_HEX = 128;
constexpr int QZ_SHA_HEX = 64;

// Fills out with QZ_NONCE_HEX lower-case hexadecimal digits from the system's random source and
// a terminating zero. False when no random bytes could be had.
bool maNonce(char* out);
// Ed25519 verification of length bytes of msg with the 32-byte public key.
bool maVerify(const unsigned char* key, const unsigned char* sig, const char* msg, size_t length);
// Ed25519 signature of msg with the 32-byte private key, as 128 hexadecimal digits and a
// terminating zero in out. False on failure.
bool maSign(const unsigned char* privateKey, const char* msg, size_t length, char* out);

// A directive packet body taken apart. lines points into the body.
struct QzDirectiveProof {
    char nonce[QZ_NONCE_HEX + 1];
    unsigned char sig[64];
    int signedLength;  // bytes of the body the signature covers
    const char* lines;
    int linesLength;
};
// False when the body does not have the layout above.
bool maDirectiveSplit(const char* body, int length, QzDirectiveProof* out);

// The proof at the end of a file header body.
struct QzHeaderProof {
    char nonce[QZ_NONCE_HEX + 1];
    unsigned char sha[32];
    unsigned char sig[64];
    int signedLength;  // bytes of the body the signature covers
    int headLength;    // bytes before " <nonce>": the header as the packet parser reads it
};
// False when the body does not end in " <nonce> <sha256> <signature>".
bool maHeaderSplit(const char* body, int length, QzHeaderProof* out);
