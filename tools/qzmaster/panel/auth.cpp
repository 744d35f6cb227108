// Passwords, sessions, form tokens and the lock-out of guessing addresses.
#include "qzmaster/panel/auth.h"

#include <sodium.h>

#include <mutex>
#include <vector>

namespace qzpanel {

namespace {

unsigned char g_tokenKey[crypto_auth_KEYBYTES];
std::string g_dummyHash;

std::string toHex(const unsigned char* p, size_t n) {
    std::string out(n * 2, '0');
    sodium_bin2hex(out.data(), out.size() + 1, p, n);
    return out;
}

}  // namespace

bool authInit() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        if (sodium_init() < 0) return;
        crypto_auth_keygen(g_tokenKey);
        g_dummyHash = hashPassword(randomHex());
        ok = !g_dummyHash.empty();
    });
    return ok;
}

std::string hashPassword(std::string_view password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return "";
    }
    return out;
}

bool checkPassword(std::string_view password, const std::string& hash) {
    const std::string& h = hash.empty() ? g_dummyHash : hash;
    bool ok = crypto_pwhash_str_verify(h.c_str(), password.data(), password.size()) == 0;
    return ok && !hash.empty();
}

std::string randomHex() {
    unsigned char b[32];
    randombytes_buf(b, sizeof b);
    return toHex(b, sizeof b);
}

std::string Sessions::key(std::string_view token) {
    unsigned char h[crypto_generichash_BYTES];
    crypto_generichash(h, sizeof h, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    return std::string(reinterpret_cast<const char*>(h), sizeof h);
}

std::string Sessions::open(const std::string& admin, Level level, int64_t now) {
    if (byKey_.size() >= kMax) {
        // The least recently used session makes room.
        auto oldest = byKey_.begin();
        for (auto it = byKey_.begin(); it != byKey_.end(); ++it) {
            if (it->second.lastUsed < oldest->second.lastUsed) oldest = it;
        }
        byKey_.erase(oldest);
    }
    std::string token = randomHex();
    Session s;
    s.admin = admin;
    s.level = level;
    s.csrf = randomHex();
    s.created = s.lastUsed = now;
    byKey_[key(token)] = s;
    return token;
}

Session* Sessions::find(std::string_view token, int64_t now) {
    if (token.size() != 64) return nullptr;
    auto it = byKey_.find(key(token));
    if (it == byKey_.end()) return nullptr;
    Session& s = it->second;
    if (now - s.lastUsed > kIdleSeconds || now - s.created > kLifeSeconds) {
        byKey_.erase(it);
        return nullptr;
    }
    s.lastUsed = now;
    return &s;
}

void Sessions::close(std::string_view token) { byKey_.erase(key(token)); }

void Sessions::closeAll(const std::string& admin) {
    std::erase_if(byKey_, [&](const auto& kv) { return kv.second.admin == admin; });
}

bool Lockout::locked(const std::string& address, int64_t now) const {
    auto it = entries_.find(address);
    return it != entries_.end() && it->second.lockedUntil > now;
}

void Lockout::failed(const std::string& address, int64_t now) {
    if (entries_.size() >= kMax && !entries_.count(address)) {
        std::erase_if(entries_, [now](const auto& kv) {
            return kv.second.lockedUntil <= now && now - kv.second.windowStart > kWindowSeconds;
        });
        // Still full: the table is flooded; the oldest windows go.
        while (entries_.size() >= kMax) entries_.erase(entries_.begin());
    }
    Entry& e = entries_[address];
    if (now - e.windowStart > kWindowSeconds) {
        e.windowStart = now;
        e.failures = 0;
    }
    if (++e.failures >= kFailures) e.lockedUntil = now + kLockSeconds;
}

void Lockout::succeeded(const std::string& address) { entries_.erase(address); }

namespace {

std::string tokenFor(std::string_view purpose, int64_t hour) {
    std::string msg(purpose);
    msg += ':';
    msg += std::to_string(hour);
    unsigned char mac[crypto_auth_BYTES];
    crypto_auth(mac, reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), g_tokenKey);
    return toHex(mac, sizeof mac);
}

}  // namespace

std::string formToken(std::string_view purpose, int64_t now) {
    return tokenFor(purpose, now / 3600);
}

bool checkFormToken(std::string_view purpose, std::string_view token, int64_t now) {
    int64_t hour = now / 3600;
    return sameText(tokenFor(purpose, hour), token) || sameText(tokenFor(purpose, hour - 1), token);
}

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace qzpanel
