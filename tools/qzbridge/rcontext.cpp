// Remote-console texts and game log lines: building what goes to the server, reading what comes
// back. Every input here is outside text and is read with explicit bounds.
#include "qzbridge/rcontext.h"

#include <algorithm>
#include <cstring>

namespace qzb {

namespace {

constexpr std::string_view kOob = "\xff\xff\xff\xff";

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (isSpace(s.front()) || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (isSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Calls fn for every line of text (without line ends).
template <typename Fn>
void eachLine(std::string_view text, Fn fn) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        fn(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// Reads a decimal number (optionally negative) at *s; false when there is none.
bool takeInt(std::string_view* s, int* out) {
    size_t i = 0;
    bool negative = false;
    if (i < s->size() && (*s)[i] == '-') {
        negative = true;
        i++;
    }
    size_t digits = i;
    long value = 0;
    while (i < s->size() && (*s)[i] >= '0' && (*s)[i] <= '9' && i - digits < 9) {
        value = value * 10 + ((*s)[i] - '0');
        i++;
    }
    if (i == digits) return false;
    s->remove_prefix(i);
    *out = static_cast<int>(negative ? -value : value);
    return true;
}

void skipSpaces(std::string_view* s) {
    while (!s->empty() && isSpace(s->front())) s->remove_prefix(1);
}

// "key   value" lines of dumpuser and serverinfo: the key, then the value after the blanks.
bool keyValue(std::string_view line, std::string_view* key, std::string_view* value) {
    size_t end = 0;
    while (end < line.size() && !isSpace(line[end])) end++;
    if (end == 0) return false;
    *key = line.substr(0, end);
    std::string_view rest = line.substr(end);
    skipSpaces(&rest);
    *value = trimmed(rest);
    return true;
}

}  // namespace

std::string safeText(std::string_view text) {
    std::string out;
    out.reserve(text.size() < kArgMax ? text.size() : kArgMax);
    for (size_t i = 0; i < text.size() && out.size() < kArgMax; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += '\'';
        } else if (c == ';') {
            out += ':';
        } else if (c < 32 || c == 127) {
            out += ' ';
        } else if (c == '/' && !out.empty() && out.back() == '/') {
            out += " /";
        } else if (c == '*' && !out.empty() && out.back() == '/') {
            out += " *";
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() > kArgMax) out.resize(kArgMax);
    // A cut right after a blank inserted above could leave "/" last; harmless inside quotes.
    return out;
}

// Built piece by piece: GCC 12 at -O3 takes "x" + std::string for an overlapping copy.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    out += safeText(text);
    out += '"';
    return out;
}

bool validCvarName(std::string_view name) {
    if (name.empty() || name.size() > 63) return false;
    for (char c : name) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::vector<std::string> splitCommands(std::string_view line) {
    std::vector<std::string> out;
    bool inQuotes = false;
    size_t start = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
        char c = i < line.size() ? line[i] : '\n';
        if (c == '"') inQuotes = !inQuotes;
        bool end = c == '\n' || c == '\r' || (c == ';' && !inQuotes);
        if (!end) continue;
        if (c == '\n' || c == '\r') inQuotes = false;
        std::string_view part = trimmed(line.substr(start, i - start));
        if (!part.empty()) out.emplace_back(part);
        start = i + 1;
    }
    return out;
}

bool buildRcon(std::string_view password, std::string_view command, std::string* packet) {
    if (password.empty() || password.size() > 256) return false;
    for (char c : password) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u == 127 || c == '"') return false;
    }
    for (char c : command) {
        if (c == '\n' || c == '\r' || c == 0) return false;
    }
    packet->assign(kOob);
    packet->append("rcon ");
    packet->append(password);
    packet->push_back(' ');
    packet->append(command);
    return true;
}

bool replyText(const char* data, size_t length, std::string* text) {
    std::string_view packet(data, length);
    constexpr std::string_view kPrint = "\xff\xff\xff\xffprint\n";
    if (packet.substr(0, kPrint.size()) != kPrint) return false;
    text->assign(packet.substr(kPrint.size()));
    return true;
}

bool isBadPassword(std::string_view reply) {
    return trimmed(reply.substr(0, reply.find('\n'))) == "Bad rconpassword.";
}

bool parseStatus(std::string_view text, std::string* map, std::vector<StatusEntry>* entries) {
    entries->clear();
    map->clear();
    bool sawMap = false, inTable = false;
    eachLine(text, [&](std::string_view line) {
        if (!sawMap) {
            if (line.substr(0, 5) == "map: ") {
                sawMap = true;
                *map = std::string(trimmed(line.substr(5)));
            }
            return;
        }
        if (!inTable) {
            if (line.substr(0, 2) == "--") inTable = true;
            return;
        }
        if (entries->size() >= 64) return;
        std::string_view s = line;
        skipSpaces(&s);
        StatusEntry e;
        int score = 0, ping = 0;
        if (!takeInt(&s, &e.client) || e.client < 0 || e.client > 63) return;
        skipSpaces(&s);
        if (!takeInt(&s, &score)) return;
        skipSpaces(&s);
        if (s.substr(0, 4) == "CNCT" || s.substr(0, 4) == "ZMBI") {
            e.connecting = true;
            s.remove_prefix(4);
        } else if (!takeInt(&s, &ping)) {
            return;
        }
        if (s.empty() || s.front() != ' ') return;
        s.remove_prefix(1);
        // From the right: the rate, then the address, which the server prints after "^7".
        std::string_view rest = trimmed(s);
        size_t rateAt = rest.find_last_of(" \t");
        if (rateAt == std::string_view::npos) return;
        std::string_view head = trimmed(rest.substr(0, rateAt));
        // The address is printed right after "^7" and holds no blanks; the name (which may hold
        // blanks and colour codes of its own) is everything before that "^7".
        std::string_view name, address;
        size_t glue = head.rfind("^7");
        if (glue != std::string_view::npos &&
            head.find_first_of(" \t", glue) == std::string_view::npos) {
            name = trimmed(head.substr(0, glue));
            address = head.substr(glue + 2);
        } else {
            size_t addrAt = head.find_last_of(" \t");
            if (addrAt == std::string_view::npos) return;
            name = trimmed(head.substr(0, addrAt));
            address = head.substr(addrAt + 1);
        }
        if (address.empty()) return;
        e.address = std::string(address.substr(0, 64));
        e.name = std::string(name.substr(0, 64));
        entries->push_back(std::move(e));
    });
    return sawMap;
}

bool parseDumpUser(std::string_view text, std::string* ip, std::string* guid, std::string* name) {
    ip->clear();
    guid->clear();
    name->clear();
    bool header = false;
    eachLine(text, [&](std::string_view line) {
        if (!header) {
            header = trimmed(line) == "userinfo";
            return;
        }
        std::string_view key, value;
        if (!keyValue(line, &key, &value)) return;
        value = value.substr(0, 64);
        if (key == "ip") *ip = std::string(value);
        if (key == "cl_guid") *guid = std::string(value);
        if (key == "name") *name = std::string(value);
    });
    return header;
}

bool parseServerInfo(std::string_view text,
                     std::vector<std::pair<std::string, std::string>>* values) {
    values->clear();
    bool header = false;
    eachLine(text, [&](std::string_view line) {
        if (!header) {
            header = trimmed(line) == "Server info settings:";
            return;
        }
        std::string_view key, value;
        if (values->size() >= 128 || !keyValue(line, &key, &value) || key.size() > 63) return;
        values->emplace_back(std::string(key), std::string(value.substr(0, 255)));
    });
    return header;
}

bool parseCvarReply(std::string_view text, std::string_view name, std::string* value) {
    std::string head = "\"";
    head += name;
    head += "\" is:\"";
    size_t at = text.find(head);
    if (at == std::string_view::npos) return false;
    std::string_view rest = text.substr(at + head.size());
    size_t end = rest.find('"');
    if (end == std::string_view::npos) return false;
    std::string_view v = rest.substr(0, end);
    if (v.size() >= 2 && v.substr(v.size() - 2) == "^7") v.remove_suffix(2);
    *value = std::string(v.substr(0, 255));
    return true;
}

bool parseMapFiles(std::string_view text, std::vector<std::string>* maps) {
    maps->clear();
    bool listing = false;
    eachLine(text, [&](std::string_view line) {
        line = trimmed(line);
        if (line.substr(0, 3) == "---") listing = true;
        if (line.size() <= 9 || line.substr(0, 5) != "maps/") return;
        if (line.substr(line.size() - 4) != ".bsp") return;
        std::string_view name = line.substr(5, line.size() - 9);
        if (name.empty() || name.size() > 64) return;
        for (char c : name) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-' || c == '+' || c == '.' || c == '(' || c == ')';
            if (!ok) return;
        }
        if (maps->size() < kMapsMax) maps->emplace_back(name);
    });
    std::sort(maps->begin(), maps->end());
    maps->erase(std::unique(maps->begin(), maps->end()), maps->end());
    return listing;
}

bool infoValue(std::string_view info, std::string_view key, std::string* value) {
    if (!info.empty() && info.front() == '\\') info.remove_prefix(1);
    while (!info.empty()) {
        size_t k = info.find('\\');
        if (k == std::string_view::npos) return false;
        std::string_view thisKey = info.substr(0, k);
        info.remove_prefix(k + 1);
        size_t v = info.find('\\');
        std::string_view thisValue = info.substr(0, v);
        if (thisKey == key) {
            *value = std::string(thisValue.substr(0, 64));
            return true;
        }
        if (v == std::string_view::npos) return false;
        info.remove_prefix(v + 1);
    }
    return false;
}

LogEvent parseLogLine(std::string_view line) {
    LogEvent e;
    // The game writes "MMM:SS " in front of each line.
    std::string_view s = line;
    skipSpaces(&s);
    int minutes = 0, seconds = 0;
    if (takeInt(&s, &minutes) && !s.empty() && s.front() == ':') {
        s.remove_prefix(1);
        if (!takeInt(&s, &seconds)) return e;
        skipSpaces(&s);
    } else {
        s = line;
        skipSpaces(&s);
    }
    size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon > 32) return e;
    std::string_view word = s.substr(0, colon);
    std::string_view rest = s.substr(colon + 1);
    skipSpaces(&rest);
    if (word == "InitGame") {
        e.kind = LogKind::kInitGame;
        return e;
    }
    if (word == "ShutdownGame") {
        e.kind = LogKind::kShutdown;
        return e;
    }
    LogKind kind = word == "ClientUserinfoChanged" ? LogKind::kUserinfo
                   : word == "ClientConnect"       ? LogKind::kConnect
                   : word == "ClientDisconnect"    ? LogKind::kDisconnect
                                                   : LogKind::kOther;
    if (kind == LogKind::kOther) return e;
    int client = -1;
    if (!takeInt(&rest, &client) || client < 0 || client > 63) return e;
    if (kind == LogKind::kUserinfo) {
        if (rest.empty() || rest.front() != ' ') return e;
        rest.remove_prefix(1);
        std::string skill;
        if (!infoValue(rest, "n", &e.name)) return e;
        infoValue(rest, "id", &e.guid);
        e.bot = infoValue(rest, "skill", &skill);
    }
    e.kind = kind;
    e.client = client;
    return e;
}

}  // namespace qzb
