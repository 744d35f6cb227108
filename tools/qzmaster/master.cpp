// The stand-in master server: offered files, the request and control exchange, and the paced
// sending of blocks.
#include "qzmaster/master.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "remote/install.h"
#include "remote/mastauth.h"
#include "remote/masters.h"
#include "remote/outq.h"
#include "remote/packets.h"
#include "util/md5.h"

namespace qzm {

namespace {

constexpr uint32_t kWindow = 96;         // blocks sent ahead of the last acknowledgement
constexpr long long kResendUs = 300000;  // no progress for this long: send again from the ack
// A window sent again this many times in a row without an acknowledgement ends the transfer.
constexpr int kMaxResends = 5;
// No control packet from the requester for this long ends the transfer, confirmed or not (the
// module gives up after 5 seconds of silence itself).
constexpr long long kSilenceUs = 10000000;
// Transfers under way at once; a request beyond them replaces the oldest unconfirmed one.
constexpr size_t kMaxSessions = 64;

long long nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hex(const unsigned char* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

bool readFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
    return true;
}

bool deflateAll(const std::string& raw, std::string* out) {
    uLongf size = compressBound(raw.size());
    out->resize(size);
    if (compress(reinterpret_cast<Bytef*>(out->data()), &size,
                 reinterpret_cast<const Bytef*>(raw.data()), raw.size()) != Z_OK) {
        return false;
    }
    out->resize(size);
    return true;
}

std::string sha256Hex(const std::string& data) {
    unsigned char sha[32];
    unsigned len = 0;
    EVP_Digest(data.data(), data.size(), sha, &len, EVP_sha256(), nullptr);
    return hex(sha, len);
}

// The nonce a request carries: the part of the key after its last '-', or of a query after
// "nonce ".
std::string nonceAfter(const std::string& text, const std::string& mark) {
    size_t at = text.rfind(mark);
    if (at == std::string::npos) return "";
    std::string n = text.substr(at + mark.size(), QZ_NONCE_HEX);
    return n.size() == QZ_NONCE_HEX ? n : "";
}

uint32_t randomId() {
    uint32_t id = 0;
    while (id == 0) {
        if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1) id = 1;
        id &= 0x7FFFFFFF;
    }
    return id;
}

}  // namespace

bool makeKeyPair(std::string* privateHex, std::string* publicHex) {
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    bool ok = ctx && EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_keygen(ctx, &key) == 1;
    unsigned char priv[32], pub[32];
    size_t pl = 32, ql = 32;
    ok = ok && EVP_PKEY_get_raw_private_key(key, priv, &pl) == 1 &&
         EVP_PKEY_get_raw_public_key(key, pub, &ql) == 1;
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    if (ok) {
        *privateHex = hex(priv, 32);
        *publicHex = hex(pub, 32);
    }
    return ok;
}

bool writeKeyPair(const std::string& prefix, std::string* error) {
    std::string priv, pub;
    if (!makeKeyPair(&priv, &pub)) {
        *error = "cannot make a key pair";
        return false;
    }
    auto writeAll = [&](const std::string& path, const std::string& text, mode_t mode) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0) {
            *error = "cannot create " + path + ": " + strerror(errno);
            return false;
        }
        std::string line = text + "\n";
        bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ok = fsync(fd) == 0 && ok;
        ok = close(fd) == 0 && ok;
        if (!ok) {
            *error = "cannot write " + path;
            unlink(path.c_str());
        }
        return ok;
    };
    if (!writeAll(prefix + ".key", priv, 0600)) return false;
    if (!writeAll(prefix + ".pub", pub, 0644)) {
        unlink((prefix + ".key").c_str());
        return false;
    }
    return true;
}

MasterServer::~MasterServer() {
    if (fd_ >= 0) close(fd_);
}

bool MasterServer::start(const Options& options, std::string* error) {
    options_ = options;
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(options.port));
    if (fd_ < 0 || inet_pton(AF_INET, options.address.c_str(), &at.sin_addr) != 1 ||
        fcntl(fd_, F_SETFL, O_NONBLOCK) != 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        *error = "cannot bind " + options.address + ":" + std::to_string(options.port) + ": " +
                 strerror(errno);
        return false;
    }
    int bytes = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    socklen_t len = sizeof at;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len);
    port_ = ntohs(at.sin_port);

    if (!options.signKey.empty()) {
        if (!qzReadKey(options.signKey.c_str(), key_)) {
            *error = "cannot read the key " + options.signKey;
            return false;
        }
        haveKey_ = true;
    }
    if (!buildOffer(error)) return false;
    log_.push_back("listening on " + options.address + ":" + std::to_string(port_));
    return true;
}

bool MasterServer::offer(const std::string& module, int number, std::string* error) {
    options_.updateModule = module;
    options_.updateNumber = number;
    return buildOffer(error);
}

bool MasterServer::signTail(std::string* text, size_t from) {
    char sig[QZ_SIG_HEX + 1];
    if (!haveKey_ || !maSign(key_, text->data() + from, text->size() - from, sig)) return false;
    *text += std::string(" ") + sig;
    return true;
}

bool MasterServer::buildOffer(std::string* error) {
    const Options& options = options_;
    update_.clear();
    // The master list names this server only; its server list describes the update.
    static stQzMaster list[1];
    memset(list, 0, sizeof list);
    list[0].number = 2;
    list[0].port = static_cast<int>(port_);
    snprintf(list[0].host, sizeof list[0].host, "%s", options.address.c_str());
    if (!options.updateModule.empty()) {
        std::string raw;
        if (!readFile(options.updateModule, &raw) || raw.empty()) {
            *error = "cannot read " + options.updateModule;
            return false;
        }
        int n = options.updateNumber;
        std::string packed;
        if (!deflateAll(raw, &packed)) {
            *error = "cannot compress the update";
            return false;
        }
        std::string digestRaw =
            qzmd5(raw.data(), static_cast<unsigned>(raw.size()), static_cast<unsigned>(n));
        char manifest[QZ_UPD_MANIFEST];
        int ml = qzUpdateManifest(manifest, sizeof manifest, 'S', 'L', n, raw.data(), raw.size());
        std::string sig = "-";
        char sigHex[QZ_SIG_HEX + 1];
        if (haveKey_ && !options.unsignedUpdate) {
            if (!maSign(key_, manifest, static_cast<size_t>(ml), sigHex)) {
                *error = "cannot sign with " + options.signKey;
                return false;
            }
            sig = sigHex;
        }
        if (options.tamper) {
            // The module changes after signing; the digests are made to match the changed
            // module, so only the signature can tell.
            raw[raw.size() / 2] ^= 0x5A;
            deflateAll(raw, &packed);
            digestRaw =
                qzmd5(raw.data(), static_cast<unsigned>(raw.size()), static_cast<unsigned>(n));
        }
        update_ = "<p> U S L " + std::to_string(n) + " " + std::to_string(raw.size()) + " " +
                  digestRaw + " " + sig + "\r\n" + packed;
        arQzFileInfo& l = list[0].files[masterListIndex('S', 'L')];
        l.count = 1;
        l.e[0].number = n;
        l.e[0].value = static_cast<uint32_t>(raw.size());
        snprintf(l.e[0].digest1, sizeof l.e[0].digest1, "%s", digestRaw.c_str());
        snprintf(
            l.e[0].digest2, sizeof l.e[0].digest2, "%s",
            qzmd5(update_.data(), static_cast<unsigned>(update_.size()), static_cast<unsigned>(n)));
    }
    std::string buf(16384, '\0');
    long n = masterFormat(buf.data(), static_cast<long>(buf.size()), 1, list);
    masters_.assign(buf.data(), static_cast<size_t>(n < 0 ? 0 : n));
    return true;
}

bool MasterServer::fileFor(const std::string& name, std::string* raw) {
    if (name == "qzns.dat") {
        *raw = masters_;
        return true;
    }
    char want[64];
    snprintf(want, sizeof want, "ls%06d.upd", options_.updateNumber);
    if (!update_.empty() && name == want) {
        *raw = update_;
        return true;
    }
    // The fleet service's log (servers' secrets) shares the folder and is never served.
    if (options_.dir.empty() || name.find('/') != std::string::npos ||
        name.find("..") != std::string::npos || name.rfind("fleet.", 0) == 0) {
        return false;
    }
    return readFile(options_.dir + "/" + name, raw);
}

void MasterServer::send(const sockaddr_in& to, const char* data, int length) {
    sendto(fd_, data, static_cast<size_t>(length), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

void MasterServer::request(const char* text, int length, const sockaddr_in& from) {
    QzRequest r;
    if (!pktRequestParse(text, length, &r)) {
        log_.push_back("bad request line");
        return;
    }
    std::string raw;
    Session s;
    // Random transfer numbers: a block is taken only under the number of its signed header.
    s.id = randomId();
    s.to = from;
    s.name = r.file;
    s.rate = options_.unthrottled ? 0 : r.rate * 1024;
    QzFileHeader h{};
    h.id = s.id;
    snprintf(h.name, sizeof h.name, "%s", r.file);
    if (!fileFor(r.file, &raw) || raw.empty() || !deflateAll(raw, &s.data)) {
        // An empty header tells the module there is nothing to fetch.
        s.data.clear();
    }
    h.size = static_cast<uint32_t>(s.data.size());
    h.rawSize = static_cast<uint32_t>(raw.size());
    if (h.size == 0) h.rawSize = 0;
    char out[QZ_PKT_MAX];
    int n = pktHeaderFormat(out, sizeof out, &h);
    // The header repeats the request's nonce and names the SHA-256 of the data, all signed.
    std::string head(out, static_cast<size_t>(n > 0 ? n : 0));
    head += " " + nonceAfter(r.key, "-") + " " + sha256Hex(s.data);
    if (n > 0) {
        signTail(&head, QZ_TAG_LEN);  // without a key unsigned, and refused by the module
        send(from, head.data(), static_cast<int>(head.size()));
    }
    log_.push_back("request " + s.name + " (" + std::to_string(raw.size()) + " bytes, rate " +
                   std::to_string(r.rate) + ")");
    if (h.size == 0) return;
    s.rawSize = h.rawSize;
    s.blocks = pktBlockCount(h.size);
    s.droppedOnce.assign(s.blocks, false);
    s.lastProgressUs = nowUs();
    s.budgetUs = s.lastProgressUs;
    s.heardUs = s.lastProgressUs;
    // A flood of requests cannot hold more than kMaxSessions copies of files: the oldest transfer
    // nobody confirmed makes room; when every one is confirmed, the new one waits for a repeat.
    if (sessions_.size() >= kMaxSessions) {
        auto old = std::find_if(sessions_.begin(), sessions_.end(),
                                [](const Session& x) { return !x.confirmed; });
        if (old == sessions_.end()) {
            log_.push_back("busy: " + s.name + " not sent (" + std::to_string(kMaxSessions) +
                           " transfers under way)");
            return;
        }
        abandon(*old, "never acknowledged, replaced by a newer request");
        sessions_.erase(old);
    }
    sessions_.push_back(std::move(s));
}

void MasterServer::abandon(Session& s, const char* why) {
    s.done = true;
    char at[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &s.to.sin_addr, at, sizeof at);
    log_.push_back("stopped " + s.name + " to " + at + ":" + std::to_string(ntohs(s.to.sin_port)) +
                   " after block " + std::to_string(s.acked) + " of " + std::to_string(s.blocks) +
                   ": " + why);
}

void MasterServer::control(const char* text, int length, const sockaddr_in& from) {
    uint32_t id = 0, block = 0;
    int kind = pktControlParse(text, length, &id, &block);
    for (Session& s : sessions_) {
        if (s.id != id || s.to.sin_addr.s_addr != from.sin_addr.s_addr ||
            s.to.sin_port != from.sin_port) {
            continue;
        }
        if (kind == QZ_CTL_NONE) continue;
        // Any answer under the transfer's number, even "ack 0" for the header, shows that the
        // requester is at the address the blocks go to.
        s.confirmed = true;
        s.heardUs = nowUs();
        if (kind == QZ_CTL_ACK) {
            if (block > s.acked && block <= s.blocks) {
                s.acked = block;
                s.lastProgressUs = s.heardUs;
                s.resends = 0;
                if (s.sent < s.acked) s.sent = s.acked;
            }
            if (s.acked == s.blocks) {
                s.done = true;
                log_.push_back("sent " + s.name);
            }
        } else if ((kind == QZ_CTL_REBLOCK || kind == QZ_CTL_RESTART) && block < s.blocks) {
            s.sent = block;
            log_.push_back(std::string(kind == QZ_CTL_REBLOCK ? "reblock " : "restart ") +
                           std::to_string(block) + " " + s.name);
        }
    }
}

void MasterServer::packet(const char* data, int length, const sockaddr_in& from) {
    char type = pktType(data, length);
    const char* body = data + QZ_TAG_LEN;
    int n = length - QZ_TAG_LEN;
    if (type == QZ_PT_QUERY) {
        log_.push_back("query " + std::string(body, static_cast<size_t>(n)));
        std::string text;
        for (const std::string& d : options_.directives) text += d + "\n";
        if (text.empty()) return;
        std::string query(body, static_cast<size_t>(n));
        std::string out(QZ_TAG_LEN, '\0');
        pktTag(out.data(), QZ_PT_DIRECTIVE);
        out += "nonce " + nonceAfter(query, "nonce ") + "\n" + text;
        // The signature covers the body up to its own line (without a key: no signature line,
        // which the module refuses).
        char sig[QZ_SIG_HEX + 1];
        if (haveKey_ && maSign(key_, out.data() + QZ_TAG_LEN, out.size() - QZ_TAG_LEN, sig)) {
            out += std::string("sig ") + sig + "\n";
        }
        send(from, out.data(), static_cast<int>(out.size()));
    } else if (type == QZ_PT_REQUEST) {
        request(body, n, from);
    } else if (type == QZ_PT_CONTROL) {
        control(body, n, from);
    } else if (type == QZ_PT_AUTH) {
        auth(body, n, from);
    }
}

// "AUTH <challenge> <guid> <address>" (or LANAUTH): answered with the GUID's age when it is
// known, NOAUTH otherwise.
void MasterServer::auth(const char* text, int length, const sockaddr_in& from) {
    std::string line(text, static_cast<size_t>(length));
    log_.push_back("auth " + line);
    if (options_.authSilent) return;
    char word[16] = "", challenge[16] = "", guid[40] = "";
    if (sscanf(line.c_str(), "%15s %15s %39s", word, challenge, guid) != 3) return;
    std::string answer = std::string(challenge) + " NOAUTH Status=UNKNOWN Age=0";
    for (const auto& [known, days] : options_.guidAges) {
        if (strcasecmp(known.c_str(), guid) == 0)
            answer = std::string(challenge) + " AUTH Status=OK Age=" + std::to_string(days);
    }
    std::string out(QZ_TAG_LEN, '\0');
    pktTag(out.data(), QZ_PT_AUTHANSWER);
    out += answer;
    send(from, out.data(), static_cast<int>(out.size()));
}

// Sends what the window and the rate allow. Nothing before the requester has confirmed the
// transfer (a forged request draws its header alone); the window is sent again from the last
// acknowledgement when nothing moves for kResendUs, at most kMaxResends times in a row; a
// requester silent for kSilenceUs loses the transfer.
void MasterServer::pump(Session& s, long long now) {
    if (s.done) return;
    if (now - s.heardUs > kSilenceUs) {
        abandon(s, s.confirmed ? "no acknowledgement for 10 seconds"
                               : "the request was never acknowledged");
        return;
    }
    if (!s.confirmed) return;
    if (now - s.lastProgressUs > kResendUs && s.sent > s.acked) {
        if (++s.resends > kMaxResends) {
            abandon(s, "the blocks sent again were never acknowledged");
            return;
        }
        s.sent = s.acked;  // nothing acknowledged for a while: the rest was lost
        s.lastProgressUs = now;
    }
    char out[QZ_PKT_MAX];
    while (s.sent < s.blocks && s.sent < s.acked + kWindow) {
        int len = pktBlockLength(static_cast<uint32_t>(s.data.size()), s.sent);
        if (s.rate > 0) {
            // Paced: each block costs its share of a second at the rate asked for.
            long long cost = static_cast<long long>(len) * 1000000 / s.rate;
            if (s.budgetUs + cost > now) break;
            s.budgetUs += cost;
            if (s.budgetUs < now - 1000000) s.budgetUs = now - 1000000;
        }
        uint32_t b = s.sent++;
        if (options_.dropEvery > 0 && (b + 1) % static_cast<uint32_t>(options_.dropEvery) == 0 &&
            !s.droppedOnce[b]) {
            s.droppedOnce[b] = true;
            continue;
        }
        int n = pktBlockFormat(out, sizeof out, s.id, b,
                               s.data.data() + static_cast<size_t>(b) * QZ_BLOCK_SIZE, len);
        send(s.to, out, n);
    }
}

void MasterServer::poll() {
    char buf[QZ_PKT_MAX + 1];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, QZ_PKT_MAX, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) break;
        packet(buf, static_cast<int>(n), from);
    }
    long long now = nowUs();
    for (Session& s : sessions_) pump(s, now);
    std::erase_if(sessions_, [](const Session& s) { return s.done; });
}

}  // namespace qzm
