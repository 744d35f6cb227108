// Who may use the panel: administrators' passwords (argon2id through libsodium), sessions kept
// in the panel's memory under a hash of their cookie, form tokens, and the lock-out of an
// address that guesses passwords. The lock-out is kept per address only: failures from one
// address never lock anyone out from another, so nobody can lock an administrator out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "qzmaster/panel/panel_data.h"

namespace qzpanel {

// Must be called once before anything else here (libsodium's own start-up).
bool authInit();

// The argon2id hash string of PASSWORD ("" when the system is out of memory).
std::string hashPassword(std::string_view password);
// True when PASSWORD matches HASH; with an empty HASH a dummy hash is checked, so that an
// unknown name takes as long as a known one.
bool checkPassword(std::string_view password, const std::string& hash);

// 32 random bytes as 64 hexadecimal digits.
std::string randomHex();

struct Session {
    std::string admin;
    Level level = Level::None;
    std::string csrf;  // the token every form of this session carries
    int64_t created = 0;
    int64_t lastUsed = 0;
};

class Sessions {
  public:
    static constexpr int64_t kIdleSeconds = 30 * 60;
    static constexpr int64_t kLifeSeconds = 12 * 3600;
    static constexpr size_t kMax = 2000;

    // A new session for ADMIN; its cookie value.
    std::string open(const std::string& admin, Level level, int64_t now);
    // The session of cookie TOKEN at NOW, or null (unknown, idle too long or too old).
    Session* find(std::string_view token, int64_t now);
    void close(std::string_view token);
    // Ends every session of ADMIN (its level or password changed).
    void closeAll(const std::string& admin);

  private:
    static std::string key(std::string_view token);
    std::unordered_map<std::string, Session> byKey_;
};

class Lockout {
  public:
    static constexpr int kFailures = 5;  // wrong passwords allowed in a window
    static constexpr int64_t kWindowSeconds = 900;
    static constexpr int64_t kLockSeconds = 900;
    static constexpr size_t kMax = 20000;  // addresses remembered

    bool locked(const std::string& address, int64_t now) const;
    void failed(const std::string& address, int64_t now);
    void succeeded(const std::string& address);

  private:
    struct Entry {
        int failures = 0;
        int64_t windowStart = 0;
        int64_t lockedUntil = 0;
    };
    std::unordered_map<std::string, Entry> entries_;
};

// Tokens of the forms shown before a session exists (log-in, appeals): a keyed hash of PURPOSE
// and the hour under a random key of this process; valid for the current and the previous hour.
std::string formToken(std::string_view purpose, int64_t now);
bool checkFormToken(std::string_view purpose, std::string_view token, int64_t now);

// Compares two texts in time that depends only on their lengths.
bool sameText(std::string_view a, std::string_view b);

}  // namespace qzpanel
