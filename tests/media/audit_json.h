// A strict JSON checker for the audit tests: true when the text is exactly one JSON value (the
// whole grammar, strings that are valid UTF-8 with no raw control characters). Header only.
#pragma once

#include <cctype>
#include <string>

namespace audittest {

class JsonCheck {
  public:
    explicit JsonCheck(const std::string& text) : s_(text) {}
    bool valid() {
        pos_ = 0;
        if (!value()) return false;
        blanks();
        return pos_ == s_.size();
    }

  private:
    const std::string& s_;
    size_t pos_ = 0;

    int peek() const { return pos_ < s_.size() ? static_cast<unsigned char>(s_[pos_]) : -1; }
    void blanks() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') pos_++;
    }
    bool word(const char* w) {
        size_t n = std::char_traits<char>::length(w);
        if (s_.compare(pos_, n, w) != 0) return false;
        pos_ += n;
        return true;
    }
    bool value() {
        blanks();
        int c = peek();
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') return string();
        if (c == 't') return word("true");
        if (c == 'f') return word("false");
        if (c == 'n') return word("null");
        return number();
    }
    bool object() {
        pos_++;
        blanks();
        if (peek() == '}') return ++pos_, true;
        for (;;) {
            blanks();
            if (!string()) return false;
            blanks();
            if (peek() != ':') return false;
            pos_++;
            if (!value()) return false;
            blanks();
            if (peek() == ',') {
                pos_++;
                continue;
            }
            if (peek() == '}') return ++pos_, true;
            return false;
        }
    }
    bool array() {
        pos_++;
        blanks();
        if (peek() == ']') return ++pos_, true;
        for (;;) {
            if (!value()) return false;
            blanks();
            if (peek() == ',') {
                pos_++;
                continue;
            }
            if (peek() == ']') return ++pos_, true;
            return false;
        }
    }
    bool number() {
        size_t start = pos_;
        if (peek() == '-') pos_++;
        while (peek() >= '0' && peek() <= '9') pos_++;
        if (peek() == '.') {
            pos_++;
            while (peek() >= '0' && peek() <= '9') pos_++;
        }
        return pos_ > start;
    }
    bool string() {
        if (peek() != '"') return false;
        pos_++;
        for (;;) {
            int c = peek();
            if (c < 0 || c < 0x20) return false;
            if (c == '"') return ++pos_, true;
            if (c == '\\') {
                pos_++;
                c = peek();
                if (c == 'u') {
                    for (int i = 1; i <= 4; ++i) {
                        if (pos_ + i >= s_.size() ||
                            !isxdigit(static_cast<unsigned char>(s_[pos_ + i])))
                            return false;
                    }
                    pos_ += 5;
                    continue;
                }
                if (c < 0 ||
                    std::string("\"\\/bfnrt").find(static_cast<char>(c)) == std::string::npos)
                    return false;
                pos_++;
                continue;
            }
            if (c < 0x80) {
                pos_++;
                continue;
            }
            int n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
            if (n == 0 || (n == 3 && c > 0xEF)) return false;
            for (int i = 1; i < n; ++i) {
                if (pos_ + i >= s_.size() ||
                    (static_cast<unsigned char>(s_[pos_ + i]) & 0xC0) != 0x80)
                    return false;
            }
            pos_ += n;
        }
    }
};

inline bool validJson(const std::string& text) { return JsonCheck(text).valid(); }

}  // namespace audittest
