// Building the panel's pages. Every value from outside reaches a page through htmlEscape(),
// the one escaping routine; markup is written only from string literals of the program
// (Html::tag takes a literal, never a std::string), so a value cannot become markup by mistake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qzpanel {

// Appends TEXT to OUT escaped for HTML text and quoted attribute values: & < > " ' and `
// become entities, control bytes and bytes that are not valid UTF-8 become U+FFFD.
void htmlEscape(std::string* out, std::string_view text);

// The name without ^-colour codes, upper case (what name searches compare).
std::string plainName(std::string_view name);
// Names are bytes, one character each, shown as Latin-1 (bytes 0x80-0x9f, which Latin-1 has
// no characters for, as U+FFFD). This is the other way: TEXT (UTF-8, as typed in a search or
// copied from a page) as the bytes a name holds; characters above U+00FF stay as they are and
// so match no name byte for byte.
std::string nameBytes(std::string_view text);
// NAME's bytes as that UTF-8 text (Latin-1, U+FFFD for 0x80-0x9f), unescaped: for exports.
std::string nameUtf8(std::string_view name);

class Html {
  public:
    // Markup: only literals of the program.
    template <size_t N>
    Html& tag(const char (&literal)[N]) {
        out_.append(literal, N - 1);
        return *this;
    }
    // A value: always escaped.
    Html& text(std::string_view value) {
        htmlEscape(&out_, value);
        return *this;
    }
    Html& num(int64_t value) {
        out_ += std::to_string(value);
        return *this;
    }
    // A player's name as the game shows it: each ^N colour code opens a span of class cN
    // (colours in the style sheet, so the page needs no inline style); the text is escaped.
    Html& name(std::string_view name);
    // A unix time as "YYYY-MM-DD HH:MM UTC".
    Html& time(int64_t unixSeconds);
    std::string& str() { return out_; }

  private:
    std::string out_;
};

// The page frame around BODY: title, the style sheet, the navigation for an administrator
// (ADMIN empty when nobody is logged in).
std::string page(std::string_view title, const std::string& body, std::string_view admin,
                 std::string_view csrf);

// The style sheet served at /panel.css.
extern const char kPanelCss[];

}  // namespace qzpanel
