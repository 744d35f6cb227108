// The simulated client module: it answers the server module's exchange texts the way the
// client module in a player's game does, so that a simulated player becomes an ordinary
// playing client ("OK  ") without anybody typing the answers.
#include "simhost/simclient.h"

namespace sim {

namespace {

// Exchange texts begin with the message kind "Q" followed by the word.
bool isExchange(const std::string& text, const char* word) {
    const std::string prefix = std::string("Q") + word;
    return text.compare(0, prefix.size(), prefix) == 0 &&
           (text.size() == prefix.size() || text[prefix.size()] == ' ');
}

}  // namespace

void SimClient::onServerText(const std::string& text) {
    received.push_back(text);
    if (!answers) return;
    if (isExchange(text, "QZ_HELLO")) {
        outbox.push_back("QZ_INIT " + clientVersion + (spectatorClient ? " S" : " P"));
    } else if (isExchange(text, "QZ_CHECK")) {
        outbox.push_back("QZ_UPDT " + clientVersion);
    } else if (isExchange(text, "QZ_GO")) {
        outbox.push_back("QZ_READY");
    }
}

}  // namespace sim
