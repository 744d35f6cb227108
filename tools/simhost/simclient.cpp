// The simulated client module: it answers the server module's exchange texts the way the
// client module in a player's game does, so that a simulated player becomes an ordinary
// playing client ("OK  ") without anybody typing the answers.
#include "simhost/simclient.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

// Data bytes per block packet, as the module expects them.
constexpr size_t kSsBlock = 1024;

// Plain MD5 (RFC 1321) in upper-case hexadecimal: the client module announces the digest of the
// picture in its capture report. Kept here so that the simulated game server needs no library.
std::string md5Hex(const std::string& data) {
    static const uint32_t kK[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int kR[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::string msg = data;
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    msg += static_cast<char>(0x80);
    while (msg.size() % 64 != 56) msg += '\0';
    for (int i = 0; i < 8; ++i) msg += static_cast<char>((bits >> (8 * i)) & 0xff);
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (size_t at = 0; at < msg.size(); at += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(msg.data() + at + 4 * i);
            w[i] = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
        }
        uint32_t a = h[0], bb = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (bb & c) | (~bb & d);
                g = i;
            } else if (i < 32) {
                f = (d & bb) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = bb ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (bb | ~d);
                g = (7 * i) % 16;
            }
            uint32_t t = d;
            d = c;
            c = bb;
            uint32_t x = a + f + kK[i] + w[g];
            bb = bb + ((x << kR[i]) | (x >> (32 - kR[i])));
            a = t;
        }
        h[0] += a;
        h[1] += bb;
        h[2] += c;
        h[3] += d;
    }
    char out[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(out + 2 * i, 3, "%02X", (h[i / 4] >> (8 * (i % 4))) & 0xff);
    return std::string(out, 32);
}

// Exchange texts begin with the message kind "Q" followed by the word.
bool isExchange(const std::string& text, const char* word) {
    const std::string prefix = std::string("Q") + word;
    return text.compare(0, prefix.size(), prefix) == 0 &&
           (text.size() == prefix.size() || text[prefix.size()] == ' ');
}

}  // namespace

bool SimClient::offerScreenshot(const std::string& bytes) {
    ssPicture = bytes;
    ssOffered = true;
    if (!ssRequested) return false;
    reportCapture();
    return true;
}

void SimClient::reportCapture() {
    ssSending = ssPicture;
    ssSendingSerial = ssSerial;
    ssOffered = false;
    ssRequested = false;
    outbox.push_back("QZ_SSCAP " + std::to_string(ssSerial) + " " + std::to_string(ssNonce) + " " +
                     std::to_string(ssSending.size()) + " 320 240 " + md5Hex(ssSending) +
                     " simclient");
}

void SimClient::onServerText(const std::string& text) {
    received.push_back(text);
    if (!answers) return;
    if (text.size() > 1 && text[0] == 'Q' && text[1] >= '0' && text[1] <= '9') {
        // "Q<width> <random> <serial> <height> <x%> <y%> <rate> <delay>"
        unsigned long width = 0, nonce = 0, requested = 0;
        if (std::sscanf(text.c_str() + 1, "%lu %lu %lu", &width, &nonce, &requested) == 3) {
            ssRequested = true;
            ssNonce = nonce;
            ssSerial = requested;
            if (ssOffered) reportCapture();
        }
        return;
    }
    if (text.compare(0, 5, "QPNG ") == 0) {
        long from = std::strtol(text.c_str() + 5, nullptr, 10);
        if (from < 0) {
            ssSending.clear();
            return;
        }
        for (size_t at = static_cast<size_t>(from) * kSsBlock; at < ssSending.size();
             at += kSsBlock) {
            outbox.push_back("QZ_SSB " + std::to_string(ssSendingSerial) + " " +
                             std::to_string(at / kSsBlock) + " " + ssSending.substr(at, kSsBlock));
        }
        return;
    }
    if (isExchange(text, "QZ_HELLO")) {
        outbox.push_back("QZ_INIT " + clientVersion + (spectatorClient ? " S" : " P"));
    } else if (isExchange(text, "QZ_CHECK")) {
        outbox.push_back("QZ_UPDT " + clientVersion);
    } else if (isExchange(text, "QZ_GO")) {
        outbox.push_back("QZ_READY");
    }
}

}  // namespace sim
