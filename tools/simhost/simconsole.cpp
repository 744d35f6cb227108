// The simulated game console: command words, the variable table and the player listing.
#include "simhost/simconsole.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Splits at ';' and line ends that lie outside double quotes, as a game console does.
std::vector<std::string> splitCommands(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (!quoted && (c == ';' || c == '\n' || c == '\r')) {
            parts.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    parts.push_back(current);
    return parts;
}

// A slot number in 1..64, or 0 when the word is not one.
int parseSlot(const std::string& word) {
    if (word.empty() || word.size() > 2) return 0;
    for (char c : word)
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    int slot = std::atoi(word.c_str());
    return slot >= 1 && slot <= kMaxSlots ? slot : 0;
}

}  // namespace

std::vector<std::string> simTokenize(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size()) break;
        std::string word;
        if (text[i] == '"') {
            size_t end = text.find('"', i + 1);
            if (end == std::string::npos) end = text.size();
            word = text.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
                word += text[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::string simRestAfterWord(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    return text.substr(i);
}

SimConsole::SimConsole(std::function<void(const std::string&)> out) : out_(std::move(out)) {}

void SimConsole::set(const std::string& name, const std::string& value, unsigned flags) {
    Var& var = vars_[lower(name)];
    if (var.name.empty()) var.name = name;
    var.value = value;
    var.flags |= flags;
}

bool SimConsole::get(const std::string& name, std::string* value) const {
    auto it = vars_.find(lower(name));
    if (it == vars_.end()) return false;
    if (value) *value = it->second.value;
    return true;
}

std::string SimConsole::value(const std::string& name) const {
    std::string text;
    get(name, &text);
    return text;
}

void SimConsole::exec(const std::string& text, SimSlots& slots) {
    for (const std::string& part : splitCommands(text)) {
        std::vector<std::string> args = simTokenize(part);
        if (!args.empty()) command(args, simRestAfterWord(part), slots);
    }
}

// Runs one command. REST is the raw text after the command word, for commands such as say
// whose argument is free text.
void SimConsole::command(const std::vector<std::string>& args, const std::string& rest,
                         SimSlots& slots) {
    const std::string word = lower(args[0]);
    if (word == "status") {
        status(slots);
    } else if (word == "serverinfo") {
        out_("Server info settings:");
        for (const auto& [key, var] : vars_)
            if (var.flags & kVarServerInfo) out_(var.name + " " + var.value);
    } else if (word == "say") {
        out_("console: " + rest);
    } else if (word == "map") {
        if (args.size() < 2) {
            out_("usage: map <mapname>");
            return;
        }
        set("mapname", args[1]);
        out_("Loading map " + args[1]);
    } else if (word == "map_restart") {
        out_("Restarting map " + value("mapname"));
    } else if (word == "swap_teams") {
        for (auto& client : slots) {
            if (!client) continue;
            if (client->team == "red")
                client->team = "blue";
            else if (client->team == "blue")
                client->team = "red";
        }
        out_("Teams swapped");
    } else if (word == "forceteam" || word == "cmd_forceteam") {
        forceTeam(args, slots);
    } else if (word == "set" || word == "seta") {
        if (args.size() < 2) {
            out_("usage: " + word + " <variable> <value>");
            return;
        }
        std::string value = simRestAfterWord(rest);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        set(args[1], value, word == "seta" ? unsigned{kVarArchive} : 0u);
    } else if (get(args[0], nullptr)) {
        if (args.size() == 1) {
            const Var& var = vars_.at(lower(args[0]));
            out_("\"" + var.name + "\" is:\"" + var.value + "^7\"");
        } else {
            std::string value = rest;
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            set(args[0], value);
        }
    } else if (module_ && word.compare(0, 6, "qz_sv_") == 0) {
        module_(rest.empty() ? args[0] : args[0] + " " + rest);
    } else {
        out_("Unknown command \"" + args[0] + "\"");
    }
}

// forceteam SLOT TEAM and cmd_forceteam SLOT TEAM: the sim takes slot numbers, the same numbers
// the module uses everywhere, and any team word or number.
void SimConsole::forceTeam(const std::vector<std::string>& args, SimSlots& slots) {
    if (args.size() < 3) {
        out_("usage: " + lower(args[0]) + " <slot> <team>");
        return;
    }
    int slot = parseSlot(args[1]);
    if (slot == 0 || !slots[slot]) {
        out_("Bad client slot: " + args[1]);
        return;
    }
    slots[slot]->team = args[2];
    out_(slots[slot]->name + " forced to team " + args[2]);
}

void SimConsole::status(const SimSlots& slots) {
    out_("map: " + value("mapname"));
    out_("num name                 address");
    out_("--- -------------------- ---------------------");
    for (const auto& client : slots) {
        if (!client || !client->admitted) continue;
        char line[512];
        snprintf(line, sizeof line, "%3d %-20s %s", client->slot, client->name.c_str(),
                 client->address.c_str());
        out_(line);
    }
}

}  // namespace sim
