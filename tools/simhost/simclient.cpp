// The simulated client module: it answers the server module's exchange texts the way the
// client module in a player's game does, so that a simulated player becomes an ordinary
// playing client ("OK  ") without anybody typing the answers.
#include "simhost/simclient.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include <zlib.h>

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

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool containsNoCase(const std::string& text, const std::string& part) {
    return lower(text).find(lower(part)) != std::string::npos;
}

// Compressed bytes per file block, as the module sends and expects them.
constexpr size_t kFileBlock = 1200;

unsigned long be32(const std::string& text, size_t at) {
    const auto* u = reinterpret_cast<const unsigned char*>(text.data() + at);
    return (static_cast<unsigned long>(u[0]) << 24) | (static_cast<unsigned long>(u[1]) << 16) |
           (static_cast<unsigned long>(u[2]) << 8) | u[3];
}

std::string putBe32(unsigned long v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
    return out;
}

// "MAJOR.MINOR" as one number, major * 1000 + minor.
unsigned long versionNumber(const std::string& text) {
    unsigned long major = 0, minor = 0;
    std::sscanf(text.c_str(), "%lu.%lu", &major, &minor);
    return major * 1000 + minor;
}

// Items per answer packet; a longer list comes in several packets.
constexpr size_t kItemsPerPacket = 30;

}  // namespace

SimClient::SimClient() {
    // A few of the game's own cvars with their defaults.
    const std::pair<const char*, const char*> defaults[] = {
        {"cg_fov", "90"}, {"com_maxfps", "85"},    {"r_picmip", "1"},  {"rate", "25000"},
        {"snaps", "20"},  {"cl_maxpackets", "30"}, {"r_gamma", "1.3"}, {"cg_draw2D", "1"},
    };
    for (const auto& d : defaults) {
        Cvar& c = cvars[lower(d.first)];
        c.name = d.first;
        c.value = c.defaultValue = d.second;
    }
    binds["mouse1"] = "+attack";
    binds["w"] = "+forward";
}

void SimClient::setCvar(const std::string& cvarName, const std::string& value) {
    auto found = cvars.find(lower(cvarName));
    if (found == cvars.end()) {
        Cvar c;
        c.name = cvarName;
        c.user = true;
        c.value = value;
        cvars[lower(cvarName)] = c;
        return;
    }
    found->second.value = value;
}

void SimClient::bind(const std::string& key, const std::string& command) {
    binds[lower(key)] = command;
}

// Queries: "Q<WORD> <id> [<argument>]"; the answer is "QZ_ANS <id> <more>" followed by one
// "name value" line per item, in packets of kItemsPerPacket items.
void SimClient::answerQuery(const std::string& word, unsigned long id, const std::string& arg) {
    if (queryAnswers == Answers::None) return;
    std::vector<std::string> items;
    bool wrongName = queryAnswers == Answers::Wrong && (word == "QZ_CVAR" || word == "QZ_CVARS");
    if (word == "QZ_CVAR" || word == "QZ_CVARS") {
        size_t at = 0;
        while (at < arg.size()) {
            size_t end = arg.find(' ', at);
            if (end == std::string::npos) end = arg.size();
            std::string asked = arg.substr(at, end - at);
            at = end + 1;
            if (asked.empty()) continue;
            if (wrongName) asked = "qz_bogus";
            auto found = cvars.find(lower(asked));
            items.push_back(found == cvars.end() ? asked : asked + " " + found->second.value);
        }
    } else if (word == "QZ_CVARSRCH") {
        for (const auto& [key, c] : cvars)
            if (containsNoCase(c.name, arg)) items.push_back(c.name + " " + c.value);
    } else if (word == "QZ_BINDSRCH") {
        for (const auto& [key, command] : binds)
            if (containsNoCase(command, arg) || containsNoCase(key, arg))
                items.push_back(key + " " + command);
    } else if (word == "QZ_CVARUSER") {
        for (const auto& [key, c] : cvars)
            if (c.user) items.push_back(c.name + " " + c.value);
    } else if (word == "QZ_CVARCHANGED") {
        for (const auto& [key, c] : cvars)
            if (!c.user && c.value != c.defaultValue) items.push_back(c.name + " " + c.value);
    } else {
        return;
    }
    // A wrong answer to a list query names an id the module never asked for.
    unsigned long answerId = queryAnswers == Answers::Wrong && !wrongName ? id + 100000 : id;
    size_t at = 0;
    do {
        size_t n = std::min(kItemsPerPacket, items.size() - at);
        bool more = at + n < items.size();
        std::string packet = "QZ_ANS " + std::to_string(answerId) + (more ? " 1" : " 0");
        for (size_t i = at; i < at + n; ++i) packet += "\n" + items[i];
        outbox.push_back(packet);
        at += n;
    } while (at < items.size());
}

// "QQZ_MD5 <seq> <seed> <kind> \"<file>\" AT<offset> LEN<length>": the bytes asked for are
// digested (seed 0), and that digest's 32 digits again with the seed. A path that leaves the
// folder, a missing file or an offset past its end answers READ_FAIL.
void SimClient::answerMd5(const std::string& text) {
    if (queryAnswers == Answers::None) return;
    unsigned long seq = 0, seed = 0, at = 0, len = 0;
    char kind = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "QQZ_MD5 %lu %lu %c \"%n", &seq, &seed, &kind, &used) < 3 ||
        !used)
        return;
    size_t close = text.find('"', static_cast<size_t>(used));
    if (close == std::string::npos) return;
    std::string file = text.substr(static_cast<size_t>(used), close - static_cast<size_t>(used));
    if (std::sscanf(text.c_str() + close + 1, " AT%lu LEN%lu", &at, &len) != 2) return;
    if (queryAnswers == Answers::Wrong) seq += 100000;
    const std::string head = "QZ_MD5 " + std::to_string(seq) + " ";
    std::string bytes;
    bool readable = !md5Folder.empty() && !file.empty() && file[0] != '/' &&
                    file.find("..") == std::string::npos;
    if (readable) {
        std::FILE* f = std::fopen((md5Folder + "/" + file).c_str(), "rb");
        readable = f != nullptr;
        if (f) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
            std::fclose(f);
        }
    }
    if (!readable || at > bytes.size()) {
        outbox.push_back(head + "READ_FAIL");
        return;
    }
    size_t take = bytes.size() - at;
    if (len && len < take) take = len;
    std::string digest = qzmd5(bytes.data() + at, static_cast<unsigned>(take), 0);
    std::string answer = qzmd5(digest.data(), 32, static_cast<unsigned>(seed));
    outbox.push_back(head + answer + " SZ" + std::to_string(bytes.size()) + " AT" +
                     std::to_string(at) + " LEN" + std::to_string(take));
}

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

void SimClient::upload(const std::string& fileName, const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()));
    packed.resize(size);
    upData = packed;
    upId = upId + 1;
    upReply.clear();
    char header[64];
    std::snprintf(header, sizeof header, "QZ_VRFH %lu %lX %lX ", upId,
                  static_cast<unsigned long>(packed.size()), static_cast<unsigned long>(bytes.size()));
    outbox.push_back(header + fileName);
}

void SimClient::sendUploadBlocks(size_t from) {
    for (size_t at = from * kFileBlock; at < upData.size(); at += kFileBlock) {
        outbox.push_back("QZ_VRFB" + putBe32(upId) + putBe32(at / kFileBlock) +
                         upData.substr(at, kFileBlock));
    }
}

// "QVRFH <id> <size hex> <raw hex> <name>", "QVRFB" + id + block + data, "QVRFC <word> <id> <n>".
void SimClient::takeFileText(const std::string& text) {
    if (text.compare(0, 6, "QVRFH ") == 0) {
        char file[128] = "";
        unsigned long id = 0, size = 0, raw = 0;
        if (std::sscanf(text.c_str() + 6, "%lu %lx %lx %127s", &id, &size, &raw, file) != 4) return;
        dlName = file;
        dlData.clear();
        dlFile.clear();
        dlDone = false;
        dlRefused = id == 0 || size == 0;
        dlId = id;
        dlSize = size;
        dlRaw = raw;
        if (dlRefused && !pendingVersion.empty()) {
            pendingVersion.clear();
            outbox.push_back("QZ_UPDT " + clientVersion);
        }
        return;
    }
    if (text.compare(0, 5, "QVRFB") == 0 && text.size() >= 13) {
        if (be32(text, 5) != dlId || dlDone || dlRefused) return;
        const unsigned long expected = dlData.size() / kFileBlock;
        const unsigned long block = be32(text, 9);
        if (block > expected) {
            outbox.push_back("QZ_VRFC reblock " + std::to_string(dlId) + " " +
                             std::to_string(expected));
            return;
        }
        if (block < expected) return;
        dlData += text.substr(13);
        const unsigned long have = (dlData.size() + kFileBlock - 1) / kFileBlock;
        outbox.push_back("QZ_VRFC ack " + std::to_string(dlId) + " " + std::to_string(have));
        if (dlData.size() < dlSize) return;
        dlDone = true;
        std::string raw(dlRaw, '\0');
        uLongf got = dlRaw;
        if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &got,
                       reinterpret_cast<const Bytef*>(dlData.data()), dlData.size()) == Z_OK) {
            raw.resize(got);
            dlFile = raw;
        }
        if (!pendingVersion.empty()) {
            clientVersion = pendingVersion;
            pendingVersion.clear();
            outbox.push_back("QZ_UPDT " + clientVersion);
        }
        return;
    }
    if (text.compare(0, 6, "QVRFC ") == 0) {
        char word[16] = "";
        unsigned long id = 0, n = 0;
        if (std::sscanf(text.c_str() + 6, "%15s %lu %lu", word, &id, &n) != 3 || id != upId) return;
        upReply = word;
        if (upReply == "ack" && n == 0) sendUploadBlocks(0);
        if (upReply == "reblock") sendUploadBlocks(n);
    }
}

void SimClient::onServerText(const std::string& text) {
    received.push_back(text);
    if (!answers) return;
    if (text.compare(0, 4, "QVRF") == 0) {
        takeFileText(text);
        return;
    }
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
    if (isExchange(text, "QZ_MD5")) {
        answerMd5(text);
        return;
    }
    for (const char* word :
         {"QZ_CVAR", "QZ_CVARS", "QZ_CVARSRCH", "QZ_BINDSRCH", "QZ_CVARUSER", "QZ_CVARCHANGED"}) {
        if (!isExchange(text, word)) continue;
        const size_t start = std::strlen(word) + 2;
        char* end = nullptr;
        unsigned long id = std::strtoul(text.c_str() + std::min(start, text.size()), &end, 10);
        std::string arg = end && *end == ' ' ? std::string(end + 1) : std::string();
        answerQuery(word, id, arg);
        return;
    }
    if (isExchange(text, "QZ_HELLO")) {
        outbox.push_back("QZ_INIT " + clientVersion + (spectatorClient ? " S" : " P"));
    } else if (isExchange(text, "QZ_CHECK")) {
        const std::string current = text.size() > 10 ? text.substr(10) : "";
        if (fetchUpdates && versionNumber(current) > versionNumber(clientVersion)) {
            pendingVersion = current;
            outbox.push_back("QZ_DLREQ c " + std::to_string(versionNumber(clientVersion)) + " " +
                             std::to_string(versionNumber(current)));
            return;
        }
        outbox.push_back("QZ_UPDT " + clientVersion);
    } else if (isExchange(text, "QZ_GO")) {
        outbox.push_back("QZ_READY");
    }
}

}  // namespace sim
