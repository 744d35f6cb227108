// The simulated client module: it answers the server module's exchange texts the way the
// client module in a player's game does, so that a simulated player becomes an ordinary
// playing client ("OK  ") without anybody typing the answers.
#include "simhost/simclient.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/md5.h"

namespace sim {

namespace {

// Data bytes per block packet, as the module expects them.
constexpr size_t kSsBlock = 1024;

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
                     std::to_string(ssSending.size()) + " 320 240 " +
                     qzmd5(ssSending.data(), static_cast<unsigned>(ssSending.size()), 0) +
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
