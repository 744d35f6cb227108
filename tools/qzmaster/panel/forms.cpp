// The panel's own small readers: form fields, cookies and ban files for import.
#include "qzmaster/panel/forms.h"

#include <cctype>
#include <ctime>

namespace qzpanel {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool percentDecode(std::string_view in, std::string* out) {
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size()) return false;
            int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == 0) return false;
        out->push_back(c);
    }
    return true;
}

bool Form::parse(std::string_view text, size_t valueMax) {
    fields_.clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('&', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view pair = text.substr(at, end - at);
        at = end + 1;
        if (pair.empty()) {
            if (end == text.size()) break;
            continue;
        }
        size_t eq = pair.find('=');
        if (eq == std::string_view::npos || fields_.size() >= kFormFieldsMax ||
            pair.size() - eq - 1 > valueMax * 3 || eq > 64 * 3) {
            fields_.clear();
            return false;
        }
        FormField f;
        if (!percentDecode(pair.substr(0, eq), &f.name) ||
            !percentDecode(pair.substr(eq + 1), &f.value) || f.value.size() > valueMax ||
            f.name.size() > 64) {
            fields_.clear();
            return false;
        }
        if (!has(f.name)) fields_.push_back(std::move(f));
        if (end == text.size()) break;
    }
    return true;
}

std::string_view Form::get(std::string_view name) const {
    for (const FormField& f : fields_) {
        if (f.name == name) return f.value;
    }
    return {};
}

bool Form::has(std::string_view name) const {
    for (const FormField& f : fields_) {
        if (f.name == name) return true;
    }
    return false;
}

bool cookieValue(std::string_view header, std::string_view name, std::string* out) {
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string_view::npos) end = header.size();
        std::string_view part = header.substr(at, end - at);
        at = end + 1;
        while (!part.empty() && isBlank(part.front())) part.remove_prefix(1);
        while (!part.empty() && isBlank(part.back())) part.remove_suffix(1);
        size_t eq = part.find('=');
        if (eq == std::string_view::npos || part.substr(0, eq) != name) continue;
        std::string_view value = part.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.size() > 256) return false;
        out->assign(value);
        return true;
    }
    return false;
}

namespace {

// Reads "[DD.MM.YYYY HH:MM:SS]" at the start of LINE; the unix time, or -1.
int64_t readStamp(std::string_view line) {
    if (line.size() < 21 || line[20] != ']') return -1;
    int v[6] = {};
    const int at[6] = {1, 4, 7, 12, 15, 18}, width[6] = {2, 2, 4, 2, 2, 2};
    const char after[6] = {'.', '.', ' ', ':', ':', ']'};
    for (int i = 0; i < 6; ++i) {
        for (int k = 0; k < width[i]; ++k) {
            char c = line[static_cast<size_t>(at[i] + k)];
            if (c < '0' || c > '9') return -1;
            v[i] = v[i] * 10 + (c - '0');
        }
        if (line[static_cast<size_t>(at[i] + width[i])] != after[i]) return -1;
    }
    if (v[0] < 1 || v[0] > 31 || v[1] < 1 || v[1] > 12 || v[3] > 23 || v[4] > 59 || v[5] > 60) {
        return -1;
    }
    tm t{};
    t.tm_mday = v[0];
    t.tm_mon = v[1] - 1;
    t.tm_year = v[2] - 1900;
    t.tm_hour = v[3];
    t.tm_min = v[4];
    t.tm_sec = v[5];
    return static_cast<int64_t>(timegm(&t));
}

// A quoted text at the start of *REST: its contents, and *REST moved past it and the blanks.
bool readQuoted(std::string_view* rest, std::string* out) {
    if (rest->empty() || rest->front() != '"') return false;
    size_t close = rest->find('"', 1);
    if (close == std::string_view::npos) return false;
    out->assign(rest->substr(1, close - 1));
    rest->remove_prefix(close + 1);
    while (!rest->empty() && isBlank(rest->front())) rest->remove_prefix(1);
    return true;
}

void parseLine(std::string_view line, ImportResult* out) {
    while (!line.empty() && (line.back() == '\r' || isBlank(line.back()))) line.remove_suffix(1);
    if (line.empty()) return;
    if (line.size() > 1024) {
        ++out->damaged;
        return;
    }
    for (char c : line) {
        if ((static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127) {
            ++out->damaged;
            return;
        }
    }
    bool unbanned = false;
    int64_t stamp = 0;
    if (line.front() == '[' || line.front() == '#') {
        unbanned = line.front() == '#';
        std::string copy(line);
        copy[0] = '[';
        stamp = readStamp(copy);
        if (stamp < 0) {
            ++out->damaged;
            return;
        }
        line.remove_prefix(21);
        while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    }
    size_t keyEnd = 0;
    while (keyEnd < line.size() && !isBlank(line[keyEnd])) ++keyEnd;
    std::string_view key = line.substr(0, keyEnd);
    std::string_view rest = line.substr(keyEnd);
    while (!rest.empty() && isBlank(rest.front())) rest.remove_prefix(1);
    ImportedBan b;
    if (!readQuoted(&rest, &b.name) || !readQuoted(&rest, &b.address) || rest.empty()) {
        ++out->damaged;
        return;
    }
    b.reason.assign(rest.substr(0, 200));
    bool guid = key.size() == 32;
    for (char c : key) guid = guid && isxdigit(static_cast<unsigned char>(c));
    if (!guid || unbanned) {
        ++out->skipped;
        return;
    }
    if (out->bans.size() >= kImportMax) {
        ++out->skipped;
        return;
    }
    for (char c : key) b.guid.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
    b.banTime = stamp;
    out->bans.push_back(std::move(b));
}

}  // namespace

void parseBanFile(std::string_view text, ImportResult* out) {
    *out = ImportResult{};
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        parseLine(text.substr(at, end - at), out);
        at = end + 1;
    }
}

}  // namespace qzpanel
