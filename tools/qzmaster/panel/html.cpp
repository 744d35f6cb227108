// The panel's HTML: the escaping routine, names in colour, the page frame and its style sheet.
#include "qzmaster/panel/html.h"

#include <cctype>
#include <ctime>

namespace qzpanel {

namespace {

// Length of the valid UTF-8 sequence at P (N bytes left), or 0.
size_t utf8Length(const unsigned char* p, size_t n) {
    unsigned char c = p[0];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > n) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    if (len == 2 && c < 0xC2) return 0;                   // overlong
    if (len == 3 && c == 0xE0 && p[1] < 0xA0) return 0;   // overlong
    if (len == 3 && c == 0xED && p[1] >= 0xA0) return 0;  // surrogates
    if (len == 4 && (c > 0xF4 || (c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] >= 0x90))) {
        return 0;
    }
    return len;
}

}  // namespace

void htmlEscape(std::string* out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        switch (c) {
            case '&':
                out->append("&amp;");
                ++i;
                continue;
            case '<':
                out->append("&lt;");
                ++i;
                continue;
            case '>':
                out->append("&gt;");
                ++i;
                continue;
            case '"':
                out->append("&quot;");
                ++i;
                continue;
            case '\'':
                out->append("&#39;");
                ++i;
                continue;
            case '`':
                out->append("&#96;");
                ++i;
                continue;
            default: break;
        }
        if ((c < 32 && c != '\n' && c != '\t') || c == 127) {
            out->append("\xEF\xBF\xBD");
            ++i;
            continue;
        }
        size_t len = utf8Length(p + i, n - i);
        if (len == 0) {
            out->append("\xEF\xBF\xBD");
            ++i;
            continue;
        }
        out->append(text.data() + i, len);
        i += len;
    }
}

std::string nameBytes(std::string_view text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t len = utf8Length(p + i, text.size() - i);
        if (len == 2 && p[i] <= 0xC3) {
            out.push_back(static_cast<char>((p[i] & 0x1F) << 6 | (p[i + 1] & 0x3F)));
        } else {
            out.append(text.data() + i, len ? len : 1);
        }
        i += len ? len : 1;
    }
    return out;
}

std::string nameUtf8(std::string_view name) {
    std::string out;
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else if (c < 0xA0) {
            out.append("\xEF\xBF\xBD");
        } else {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string plainName(std::string_view name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '^' && i + 1 < name.size() && name[i + 1] != '^') {
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(toupper(static_cast<unsigned char>(name[i]))));
    }
    return out;
}

// Appends the name's bytes NAME as Latin-1 characters, escaped.
static void nameText(std::string* out, std::string_view name) { htmlEscape(out, nameUtf8(name)); }

Html& Html::name(std::string_view name) {
    bool open = false;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        bool code = i + 1 < name.size() && name[i] == '^' && name[i + 1] != '^';
        if (i < name.size() && !code) continue;
        nameText(&str(), name.substr(start, i - start));
        if (i == name.size()) break;
        if (open) tag("</span>");
        // Colour digits 0-7 as the game has them; any other code character picks by its low bits.
        static const char* const kOpen[8] = {"<span class=\"c0\">", "<span class=\"c1\">",
                                             "<span class=\"c2\">", "<span class=\"c3\">",
                                             "<span class=\"c4\">", "<span class=\"c5\">",
                                             "<span class=\"c6\">", "<span class=\"c7\">"};
        str() += kOpen[static_cast<unsigned char>(name[i + 1]) & 7];
        open = true;
        start = i + 2;
        ++i;
    }
    if (open) tag("</span>");
    return *this;
}

Html& Html::time(int64_t unixSeconds) {
    time_t v = static_cast<time_t>(unixSeconds);
    tm u{};
    gmtime_r(&v, &u);
    char b[40];
    strftime(b, sizeof b, "%Y-%m-%d %H:%M UTC", &u);
    return text(b);
}

std::string page(std::string_view title, const std::string& body, std::string_view admin,
                 std::string_view csrf) {
    Html h;
    h.tag(
         "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<link rel=\"stylesheet\" href=\"/panel.css\"><title>")
        .text(title)
        .tag(" - fleet bans</title></head><body><header><nav><a href=\"/bans\">Bans</a>");
    if (admin.empty()) {
        h.tag(" <a href=\"/admin/login\">Log in</a>");
    } else {
        h.tag(
             " <a href=\"/admin\">Panel</a> <a href=\"/appeals\">Appeals</a>"
             " <a href=\"/servers\">Servers</a> <a href=\"/admin/audit\">Audit</a>"
             " <form method=\"post\" action=\"/admin/logout\" class=\"inline\">"
             "<input type=\"hidden\" name=\"csrf\" value=\"")
            .text(csrf)
            .tag("\"><button type=\"submit\">Log out ")
            .text(admin)
            .tag("</button></form>");
    }
    h.tag("</nav></header><main><h1>").text(title).tag("</h1>");
    h.str() += body;
    h.tag("</main></body></html>\n");
    return std::move(h.str());
}

const char kPanelCss[] =
    "*{box-sizing:border-box}body{font-family:sans-serif;margin:0;padding:0 .5em;"
    "max-width:70em;margin:auto;background:#fafafa;color:#111}"
    "nav{display:flex;flex-wrap:wrap;gap:.8em;padding:.5em 0;border-bottom:1px solid #ccc}"
    "main{overflow-wrap:anywhere}table{border-collapse:collapse;width:100%}"
    "td,th{border-bottom:1px solid #ddd;padding:.25em;text-align:left;vertical-align:top}"
    ".wide{overflow-x:auto;max-width:100%}form.inline{display:inline}"
    "input,textarea,select{max-width:100%}textarea{width:100%}"
    ".err{color:#a00}.ok{color:#060}.name{background:#333;color:#fff;padding:0 .2em}"
    ".c0{color:#000}.c1{color:#f33}.c2{color:#3f3}.c3{color:#ff3}.c4{color:#55f}"
    ".c5{color:#3ff}.c6{color:#f3f}.c7{color:#fff}"
    "@media (max-width:40em){table.bans thead{display:none}table.bans td{display:block;"
    "border:none}table.bans tr{display:block;border-bottom:1px solid #ccc;padding:.3em 0}}\n";

}  // namespace qzpanel
