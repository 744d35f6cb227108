// The UCON wire form shared by the module and the qzucon client: the packet prefix, the message
// words, the MACs that bind every packet to a password or a session key, and a splitter for the
// blank-separated fields. Layout and exchange: docs/ucon.md.
#pragma once

constexpr char QZ_UCON_PREFIX[] = "\xff\xff\xff\xffQZ_U";
constexpr int QZ_UCON_PREFIX_LEN = 8;
constexpr int QZ_UCON_PACKET_MAX = 1400;  // whole datagram, prefix included
constexpr int QZ_UCON_CHALLENGE = 33;     // 32 hexadecimal digits and the terminator
constexpr int QZ_UCON_SID = 17;           // 16 hexadecimal digits and the terminator
constexpr int QZ_UCON_NONCE_MIN = 16;     // the client's nonce: 16 to 32 hexadecimal digits
constexpr int QZ_UCON_NONCE_MAX = 32;
constexpr const char* QZ_UCON_VERSION = "1";

// The MAC of data under key: HMAC-MD5 as 32 lower-case hexadecimal digits in out (33 bytes).
void uconMac(const char* key, const char* data, int length, char* out);
// The login proof: uconMac(password, "LOGIN <user> <challenge> <nonce>").
void uconProof(const char* password, const char* user, const char* challenge, const char* nonce,
               char* out);
// The session key both sides derive: uconMac(password, "KEY <challenge> <nonce>").
void uconSessionKey(const char* password, const char* challenge, const char* nonce, char* out);
// Compares two MACs in time that does not depend on where they differ.
bool uconMacEqual(const char* a, const char* b);

// A text field of a packet: a pointer into the packet and its length.
struct UconField {
    const char* p;
    int n;
};
// Splits text (length bytes, not terminated) into at most count blank-separated fields; the last
// field takes the rest of the text, blanks included. Returns the number of fields found.
int uconSplit(const char* text, int length, UconField* fields, int count);
// True when the field equals word exactly.
bool uconIs(const UconField& f, const char* word);
// True when the field is 1..max characters of [0-9a-f].
bool uconHex(const UconField& f, int min, int max);
// Copies the field into out (size bytes, terminated); false when it does not fit.
bool uconCopy(const UconField& f, char* out, int size);
// A user name: 1..31 characters of letters, digits, "_", "-" and ".".
bool uconNameOk(const char* name, int length);

// Builds a packet: the prefix, then text. Returns its length, or 0 when it does not fit in
// QZ_UCON_PACKET_MAX bytes or in size.
int uconPacketBuild(char* out, int size, const char* text, int length);
// Builds a signed session packet "<word> <sid> <seq> <mac> <text>", the MAC taken over
// "<word> <sid> <seq> <text>" with key. Returns its length, or 0 when it does not fit.
int uconSigned(char* out, int size, const char* word, const char* sid, unsigned seq,
               const char* key, const char* text, int length);
// Checks a signed packet's MAC: fields are word, sid, seq, mac and text.
bool uconSignedOk(const UconField* f, const char* key);
