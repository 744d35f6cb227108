// The simulated game server: module loading, the host services, player slots, the manual clock
// and the output record. The module's C callbacks reach the one live SimHost through g_active.
#include "simhost/simhost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

SimHost* g_active = nullptr;

int hostCallThunk(const char* service, const char* argument) {
    return g_active ? g_active->hostCall(service, argument) : 0;
}

int cvarGetThunk(const char* name, char* out, int size) {
    if (!g_active) {
        if (out && size > 0) out[0] = '\0';
        return 0;
    }
    return g_active->cvarGet(name, out, size);
}

void printThunk(const char* text) {
    if (g_active) g_active->print(text);
}

void sendClientThunk(int slot, const char* text, int length) {
    if (g_active) g_active->sendClient(slot, text, length);
}

void clockThunk(long long* seconds, int* microseconds) {
    if (!g_active) return;
    if (seconds) *seconds = g_active->clockSeconds();
    if (microseconds) *microseconds = g_active->clockMicroseconds();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A slot number 1..64 from a whole word, else 0.
int parseSlotWord(const std::string& word) {
    if (word.empty() || word.size() > 2) return 0;
    for (char c : word)
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    int slot = std::atoi(word.c_str());
    return slot >= 1 && slot <= kMaxSlots ? slot : 0;
}

std::string unquote(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

// Rounds of client replies delivered after one module call: a simulated client answering every
// packet with another must not keep the host in a loop.
constexpr int kReplyRounds = 16;

}  // namespace

std::string escapeBytes(const char* data, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string unescapeText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char next = text[i + 1];
        switch (next) {
            case 'n':
                out += '\n';
                ++i;
                break;
            case 'r':
                out += '\r';
                ++i;
                break;
            case 't':
                out += '\t';
                ++i;
                break;
            case '0':
                out += '\0';
                ++i;
                break;
            case '\\':
                out += '\\';
                ++i;
                break;
            case '"':
                out += '"';
                ++i;
                break;
            case 'x': {
                int high = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
                if (high < 0) {
                    out += '\\';
                    break;
                }
                int value = high;
                i += 2;
                int low = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
                if (low >= 0) {
                    value = value * 16 + low;
                    ++i;
                }
                out += static_cast<char>(value);
                break;
            }
            default: out += '\\'; break;
        }
    }
    return out;
}

bool parseLocalTime(const std::string& text, time_t* out) {
    int year, month, day, hour, minute, second;
    char extra;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute,
                    &second, &extra) != 6)
        return false;
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60 || hour < 0 || minute < 0 || second < 0)
        return false;
    struct tm when = {};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    time_t t = mktime(&when);
    if (t == static_cast<time_t>(-1)) return false;
    *out = t;
    return true;
}

SimHost::SimHost() : console_([this](const std::string& text) { gameOutput(text); }) {
    // Checked in release builds too: a second host would silently steal the module's callbacks.
    if (g_active != nullptr) {
        std::fputs("SimHost: only one SimHost may exist at a time\n", stderr);
        std::abort();
    }
    g_active = this;
    console_.setModuleCommand([this](const std::string& text) {
        if (running_) console(text);
    });
    struct Default {
        const char* name;
        const char* value;
        unsigned flags;
    };
    // The variables a dedicated server of the game has at start-up, and the eleven game
    // settings the WebTool's game settings screen shows.
    static const Default kDefaults[] = {
        {"fs_homepath", "", 0},
        {"fs_basepath", "", 0},
        {"version", "ET 2.60b linux-i386 May  8 2006", kVarServerInfo},
        {"sv_hostname", "Kestrine Demo Server", kVarServerInfo},
        {"net_ip", "127.0.0.1", 0},
        {"net_port", "27960", 0},
        {"mapname", "oasis", kVarServerInfo},
        {"dedicated", "2", 0},
        {"sv_kestrine", "1", kVarServerInfo},
        {"g_log", "games.log", 0},
        {"rconpassword", "", 0},
        {"sv_maxclients", "20", kVarServerInfo},
        {"timelimit", "30", kVarServerInfo},
        {"g_gametype", "4", kVarServerInfo},
        {"g_friendlyfire", "1", kVarServerInfo},
        {"g_warmup", "60", 0},
        {"g_doWarmup", "0", 0},
        {"g_antilag", "1", kVarServerInfo},
        {"g_speed", "320", 0},
        {"g_gravity", "800", 0},
        {"g_knockback", "1000", 0},
        {"g_teamforcebalance", "0", 0},
        // The rest of the game settings a server of this game has.
        {"g_soldierchargetime", "20000", 0},
        {"g_engineerchargetime", "30000", 0},
        {"g_medicchargetime", "45000", 0},
        {"g_ltchargetime", "40000", 0},
        {"g_covertopschargetime", "30000", 0},
        {"g_useralliedrespawntime", "0", 0},
        {"g_useraxisrespawntime", "0", 0},
        {"g_redlimbotime", "30000", 0},
        {"g_bluelimbotime", "30000", 0},
        {"g_heavyWeaponRestriction", "100", 0},
        {"g_maxlives", "0", 0},
        {"g_alliedmaxlives", "0", 0},
        {"g_axismaxlives", "0", 0},
        {"g_needpass", "0", 0},
        {"g_balancedteams", "0", 0},
        {"g_minGameClients", "8", 0},
        {"sv_privateClients", "0", 0},
        {"sv_maxRate", "0", 0},
        {"sv_floodProtect", "1", 0},
        {"sv_allowDownload", "1", 0},
        {"sv_pure", "1", 0},
        {"sv_fps", "20", 0},
        {"g_password", "", 0},
        {"protocol", "84", 0},
        {"gamename", "etmain", 0},
    };
    for (const Default& d : kDefaults) console_.set(d.name, d.value, d.flags);
}

SimHost::~SimHost() {
    shutdown();
    if (library_) dlclose(library_);
    g_active = nullptr;
}

bool SimHost::loadModule(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        emit("[qzhost] cannot load module " + path + ": " + (why ? why : "unknown error"));
        return false;
    }
    auto sa = reinterpret_cast<SaFn>(dlsym(library, "sa"));
    auto sb = reinterpret_cast<SbFn>(dlsym(library, "sb"));
    if (!sa || !sb) {
        emit("[qzhost] module " + path + " does not export sa and sb");
        dlclose(library);
        return false;
    }
    if (library_) dlclose(library_);
    library_ = library;
    useEntryPoints(sa, sb);
    return true;
}

void SimHost::useEntryPoints(SaFn sa, SbFn sb) {
    sa_ = sa;
    sb_ = sb;
}

void SimHost::setManualClock(time_t start) {
    manual_ = true;
    clockMicros_ = static_cast<long long>(start) * 1000000;
}

void SimHost::advanceClock(long long ms) {
    if (ms > 0) clockMicros_ += ms * 1000;
}

void SimHost::setCvar(const std::string& name, const std::string& value) {
    console_.set(name, value);
}

int SimHost::start() {
    if (!sa_ || !sb_) {
        emit("[qzhost] no module to start");
        return -1;
    }
    if (running_) return 0;
    qz_host record = {};
    record.abi = QZ_HOST_ABI;
    record.hostCall = hostCallThunk;
    record.cvarGet = cvarGetThunk;
    record.print = printThunk;
    record.sendClient = sendClientThunk;
    record.clock = manual_ ? clockThunk : nullptr;
    record.flags = hostFlags_;
    ++depth_;
    int result = sa_(&record);
    --depth_;
    running_ = result == 0;
    if (!running_) emit("[qzhost] module refused to start (" + std::to_string(result) + ")");
    return result;
}

void SimHost::shutdown() {
    if (!running_) return;
    event(QZ_EV_SHUTDOWN, 0, "");
    running_ = false;
    // The buffer belonged to the module, which has now freed it.
    capture_ = nullptr;
    captureLength_ = 0;
}

void SimHost::frame() {
    if (running_) event(QZ_EV_FRAME, 0, "");
}

// Calls sb. Replies that simulated clients queued during the call are delivered once the
// outermost call has returned.
int SimHost::event(int type, int slot, const std::string& data) {
    if (!running_) {
        emit("[qzhost] module is not running");
        return -1;
    }
    ++depth_;
    int result = sb_(type, slot, data.data(), static_cast<int>(data.size()));
    --depth_;
    if (depth_ == 0) deliverClientPackets();
    return result;
}

void SimHost::deliverClientPackets() {
    for (int round = 0; round < kReplyRounds; ++round) {
        bool any = false;
        for (int slot = 1; slot <= kMaxSlots; ++slot) {
            if (!slots_[slot] || slots_[slot]->outbox.empty()) continue;
            std::vector<std::string> packets;
            packets.swap(slots_[slot]->outbox);
            for (const std::string& bytes : packets) {
                if (!running_) return;
                any = true;
                ++depth_;
                sb_(QZ_EV_PACKET, slot, bytes.data(), static_cast<int>(bytes.size()));
                --depth_;
            }
        }
        if (!any) return;
    }
}

bool SimHost::line(const std::string& text) {
    if (text.compare(0, 4, "sim_") == 0) {
        simCommand(text);
        return true;
    }
    std::vector<std::string> words = simTokenize(text);
    if (words.size() == 1 && words[0] == "quit" && text.find('"') == std::string::npos) {
        shutdown();
        return false;
    }
    console(text);
    return true;
}

void SimHost::console(const std::string& text) { event(QZ_EV_CONSOLE, 0, text); }

// Parses one sim_ command; bad arguments get a one-line usage message.
void SimHost::simCommand(const std::string& text) {
    std::vector<std::string> args = simTokenize(text);
    const std::string& word = args[0];
    const std::string rest = simRestAfterWord(text);
    auto slotArgument = [&](int* slot) {
        *slot = args.size() > 1 ? parseSlotWord(args[1]) : 0;
        if (*slot == 0) emit("[qzhost] bad slot: " + (args.size() > 1 ? args[1] : std::string()));
        return *slot != 0;
    };
    int slot = 0;
    if (word == "sim_connect") {
        if (args.size() < 4 || args.size() > 5) {
            emit("[qzhost] usage: sim_connect NAME GUID ADDRESS [OS-LETTER]");
            return;
        }
        connect(args[1], args[2] == "-" ? "" : args[2], args[3], args.size() > 4 ? args[4] : "W");
    } else if (word == "sim_drop") {
        if (slotArgument(&slot)) drop(slot);
    } else if (word == "sim_rename") {
        if (slotArgument(&slot)) rename(slot, unquote(simRestAfterWord(rest)));
    } else if (word == "sim_packet") {
        if (slotArgument(&slot)) packet(slot, unescapeText(simRestAfterWord(rest)));
    } else if (word == "sim_aliases") {
        // The player's client module asks for the alias list of a slot (his own by default).
        if (args.size() > 3) {
            emit("[qzhost] usage: sim_aliases SLOT [TARGET-SLOT]");
            return;
        }
        if (slotArgument(&slot)) {
            packet(slot, args.size() == 3 ? "QZ_ALIST " + args[2] : "QZ_ALIST");
        }
    } else if (word == "sim_advance") {
        char* end = nullptr;
        long long ms = args.size() == 2 ? std::strtoll(args[1].c_str(), &end, 10) : -1;
        if (ms < 0 || !end || *end != '\0') {
            emit("[qzhost] usage: sim_advance MS");
            return;
        }
        advance(ms);
    } else if (word == "sim_cvar") {
        if (args.size() < 2) {
            emit("[qzhost] usage: sim_cvar NAME VALUE");
            return;
        }
        setCvar(args[1], unquote(simRestAfterWord(rest)));
    } else if (word == "sim_game") {
        game(rest);
    } else if (word == "sim_screenshot") {
        if (args.size() != 3) {
            emit("[qzhost] usage: sim_screenshot SLOT PNGFILE");
            return;
        }
        if (slotArgument(&slot)) screenshot(slot, args[2]);
    } else if (word == "sim_setcvar" || word == "sim_bind") {
        if (args.size() < 3) {
            emit("[qzhost] usage: " + word +
                 (word == "sim_bind" ? " SLOT KEY COMMAND" : " SLOT NAME VALUE"));
            return;
        }
        if (!slotArgument(&slot)) return;
        SimClient* player = client(slot);
        if (!player) {
            emit("[qzhost] slot " + std::to_string(slot) + " is free");
            return;
        }
        std::string value = unescapeText(unquote(simRestAfterWord(simRestAfterWord(rest))));
        if (word == "sim_bind") {
            player->bind(args[2], value);
        } else {
            player->setCvar(args[2], value);
        }
    } else if (word == "sim_answers") {
        if (args.size() != 3 || (args[2] != "right" && args[2] != "wrong" && args[2] != "none")) {
            emit("[qzhost] usage: sim_answers SLOT right|wrong|none");
            return;
        }
        if (!slotArgument(&slot)) return;
        if (SimClient* player = client(slot)) {
            player->queryAnswers = args[2] == "right"   ? SimClient::Answers::Right
                                   : args[2] == "wrong" ? SimClient::Answers::Wrong
                                                        : SimClient::Answers::None;
        }
    } else if (word == "sim_md5files") {
        // The folder whose files the player's client module digests for MD5Tool checks.
        if (args.size() != 3) {
            emit("[qzhost] usage: sim_md5files SLOT FOLDER");
            return;
        }
        if (!slotArgument(&slot)) return;
        if (SimClient* player = client(slot)) player->md5Folder = args[2];
    } else if (word == "sim_violation") {
        if (args.size() < 4) {
            emit("[qzhost] usage: sim_violation SLOT CODE NUMBER [REASON]");
            return;
        }
        if (!slotArgument(&slot)) return;
        std::string reason = simRestAfterWord(simRestAfterWord(simRestAfterWord(rest)));
        packet(slot, "QZ_VIOL " + args[2] + " " + args[3] + (reason.empty() ? "" : " " + reason));
    } else if (word == "sim_score") {
        if (args.size() < 3 || args.size() > 4) {
            emit("[qzhost] usage: sim_score SLOT SCORE [DEATHS]");
            return;
        }
        if (!slotArgument(&slot)) return;
        if (SimClient* player = client(slot)) {
            player->score = std::atoi(args[2].c_str());
            if (args.size() == 4) player->deaths = std::atoi(args[3].c_str());
        }
    } else if (word == "sim_vanish") {
        // The game forgets the player without telling the module (a phantom in the module).
        if (slotArgument(&slot)) slots_[slot].reset();
    } else if (word == "sim_vote") {
        if (args.size() != 3) {
            emit("[qzhost] usage: sim_vote SLOT TARGET-SLOT");
            return;
        }
        if (slotArgument(&slot)) packet(slot, "QZ_VOTE " + args[2]);
    } else if (word == "sim_powerlist") {
        if (slotArgument(&slot)) packet(slot, "QZ_POWER");
    } else if (word == "sim_rcon") {
        if (slotArgument(&slot)) packet(slot, "QZ_RCON " + unescapeText(simRestAfterWord(rest)));
    } else if (word == "sim_gameevent") {
        if (args.size() < 3) {
            emit("[qzhost] usage: sim_gameevent WORD SLOT [ARGS...]");
            return;
        }
        console("QZ_SV_GAMEEVENT " + rest);
    } else if (word == "sim_getfile") {
        // The player's client module asks for a stored module version (docs/transfers.md).
        if (args.size() != 5) {
            emit("[qzhost] usage: sim_getfile SLOT KIND FROM TO");
            return;
        }
        if (slotArgument(&slot))
            packet(slot, "QZ_DLREQ " + args[2] + " " + args[3] + " " + args[4]);
    } else if (word == "sim_upload") {
        if (args.size() < 3 || args.size() > 4) {
            emit("[qzhost] usage: sim_upload SLOT FILE [NAME]");
            return;
        }
        if (slotArgument(&slot)) upload(slot, args[2], args.size() > 3 ? args[3] : "");
    } else if (word == "sim_autoupdate") {
        // With a slot: that player's client module; without: those that connect from now on.
        const std::string& mode = args.back();
        if (args.size() < 2 || args.size() > 3 || (mode != "on" && mode != "off")) {
            emit("[qzhost] usage: sim_autoupdate [SLOT] on|off");
            return;
        }
        if (args.size() == 2) {
            autoUpdate_ = mode == "on";
            return;
        }
        if (!slotArgument(&slot)) return;
        if (SimClient* player = client(slot)) player->fetchUpdates = mode == "on";
    } else if (word == "sim_clientmodule") {
        if (args.size() != 2 || (args[1] != "on" && args[1] != "off")) {
            emit("[qzhost] usage: sim_clientmodule on|off");
            return;
        }
        setClientModule(args[1] == "on");
    } else {
        emit("[qzhost] unknown command: " + word);
    }
}

int SimHost::connect(const std::string& name, const std::string& guid, const std::string& address,
                     const std::string& os) {
    int limit = std::atoi(cvar("sv_maxclients").c_str());
    if (limit < 1 || limit > kMaxSlots) limit = kMaxSlots;
    int slot = 1;
    while (slot <= limit && slots_[slot]) ++slot;
    if (slot > limit) {
        emit("[qzhost] server is full: " + name);
        return 0;
    }
    auto client = std::make_unique<SimClient>();
    client->slot = slot;
    client->serial = nextSerial_++;
    client->name = name;
    client->guid = guid;
    client->address = address;
    client->os = os;
    client->answers = clientModule_;
    client->fetchUpdates = autoUpdate_;
    const unsigned serial = client->serial;
    slots_[slot] = std::move(client);

    const std::string data = name + "\\" + guid + "\\" + address + "\\" + os;
    int verdict = event(QZ_EV_CONNECT, slot, data);
    const bool stillThere = slots_[slot] && slots_[slot]->serial == serial;
    if (verdict == QZ_ADMIT && stillThere) {
        slots_[slot]->admitted = true;
        emit("[qzhost] slot " + std::to_string(slot) + ": " + name + " admitted");
        return slot;
    }
    if (stillThere) slots_[slot].reset();
    emit("[qzhost] slot " + std::to_string(slot) + ": " + name +
         (verdict == QZ_ADMIT ? " dropped while connecting" : " refused"));
    return 0;
}

void SimHost::drop(int slot) {
    event(QZ_EV_DISCONNECT, slot, "");
    if (slot >= 1 && slot <= kMaxSlots) slots_[slot].reset();
}

void SimHost::rename(int slot, const std::string& name) {
    if (SimClient* player = client(slot)) player->name = name;
    event(QZ_EV_RENAME, slot, name);
}

void SimHost::packet(int slot, const std::string& bytes) { event(QZ_EV_PACKET, slot, bytes); }

void SimHost::advance(long long ms) {
    if (!manual_) {
        emit("[qzhost] sim_advance needs --manual-clock");
        return;
    }
    advanceClock(ms);
    frame();
}

// The picture answers the client's kept request at once (the capture report and, after the
// module's go-ahead, the blocks are delivered before this returns), or the next request.
void SimHost::screenshot(int slot, const std::string& path) {
    SimClient* player = client(slot);
    if (!player) {
        emit("[qzhost] slot " + std::to_string(slot) + " is free");
        return;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        emit("[qzhost] cannot read " + path);
        return;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string picture = bytes.str();
    const bool now = player->offerScreenshot(picture);
    emit("[qzhost] slot " + std::to_string(slot) + ": screenshot " + path + " (" +
         std::to_string(picture.size()) + " bytes) " +
         (now ? "answers request " + std::to_string(player->ssSerial)
              : std::string("waits for the next request")));
    if (now && running_ && depth_ == 0) deliverClientPackets();
}

// The simulated client module in SLOT uploads the file at PATH under NAME (default: its base
// name); the header goes at once, the blocks after the module's go-ahead.
void SimHost::upload(int slot, const std::string& path, const std::string& name) {
    SimClient* player = client(slot);
    std::ifstream in(path, std::ios::binary);
    if (!player || !in) {
        emit(player ? "[qzhost] cannot read " + path
                    : "[qzhost] slot " + std::to_string(slot) + " is free");
        return;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string base = name.empty() ? path.substr(path.find_last_of('/') + 1) : name;
    player->upload(base, bytes.str());
    emit("[qzhost] slot " + std::to_string(slot) + ": uploads " + base + " (" +
         std::to_string(bytes.str().size()) + " bytes)");
    if (running_ && depth_ == 0) deliverClientPackets();
}

void SimHost::game(const std::string& text) { console_.exec(text, slots_); }

SimClient* SimHost::client(int slot) {
    return slot >= 1 && slot <= kMaxSlots ? slots_[slot].get() : nullptr;
}

bool SimHost::contains(const std::string& text) const {
    for (const std::string& line : output_)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::vector<std::string> SimHost::linesMatching(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& line : output_)
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

// The service table of the host. The capture buffer is named first ("ConCapBuf" with the
// buffer, which cancels any earlier length) and then given a length ("ConCapBufLen"); capture
// runs while both are set. "ConCapBuf" with a null argument or "ConCapBufLen" 0 ends it, and
// "ConCapBuf" with an empty literal leaves the length at 0, so the host never writes into it.
int SimHost::hostCall(const char* service, const char* argument) {
    const std::string name = service ? service : "";
    const char* arg = argument ? argument : "";
    if (name == "ConCapBuf") {
        // The module owns the buffer and hands it over through the const argument on purpose.
        capture_ = const_cast<char*>(argument);
        captureLength_ = 0;
        emit(capture_ ? "[host] ConCapBuf <buffer>" : "[host] ConCapBuf");
        return 1;
    }
    // The per-player game state is asked for every few seconds; it is answered, not shown.
    if (name == "gamestate" && arg[0]) return gameState(argument);
    if (name == "SV_RequestAuthorizationQZ") return authorize(argument);
    // Appended piece by piece: GCC 12 at -O3 takes " " + std::string for an overlapping copy.
    std::string shown = "[host] " + name;
    if (arg[0]) {
        shown += ' ';
        shown += escapeBytes(arg, std::strlen(arg));
    }
    emit(shown);
    if (name == "ConCapBufLen") {
        captureLength_ = std::max(0, std::atoi(arg));
        if (captureLength_ == 0) capture_ = nullptr;
        return 1;
    }
    if (name == "Cvar_Set") {
        const char* blank = std::strchr(arg, ' ');
        if (!blank) {
            console_.set(arg, "");
        } else {
            console_.set(std::string(arg, blank), blank + 1);
        }
        return 1;
    }
    if (name == "Cmd_Exec") {
        game(arg);
        return 1;
    }
    if (name == "DropClient") return dropClient(arg) ? 1 : 0;
    if (name == "gamestate" || name == "SV_RequestAuthorizationQZ") return 1;
    return 0;
}

// "auth N ADDRESS GUID" for a connecting player, in a 96-byte buffer of the module: taken (1).
// With the game variable sim_computeguid at 1, a player without a GUID gets one worked out from
// his address, written over the request as "guid=<32 hexadecimal digits>", as a game server that
// derives GUIDs from its clients' keys would.
int SimHost::authorize(const char* argument) {
    int slot = 0;
    char address[64] = "", guid[64] = "";
    if (std::sscanf(argument, "auth %d %63s %63s", &slot, address, guid) != 3) return 0;
    if (console_.value("sim_computeguid") != "1" || std::strcmp(guid, "NO_GUID") != 0) return 1;
    unsigned long long a = 1469598103934665603ull, b = 1099511628211ull;
    for (const char* p = address; *p; ++p) {
        a = (a ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        b = (b ^ static_cast<unsigned char>(*p)) * 1469598103934665603ull + 7;
    }
    std::snprintf(const_cast<char*>(argument), 96, "guid=%016llX%016llX", a, b);
    return 1;
}

// "slot N": 1 when the game has a player in slot N, 2 when it has none. "score N": the
// player's score and deaths written over the request as "score=S deaths=D" (the module's buffer
// holds 64 bytes).
int SimHost::gameState(const char* argument) {
    int slot = 0;
    if (std::sscanf(argument, "slot %d", &slot) == 1) {
        return slot >= 1 && slot <= kMaxSlots && slots_[slot] ? 1 : 2;
    }
    if (std::sscanf(argument, "score %d", &slot) == 1) {
        SimClient* player = client(slot);
        if (!player) return 0;
        // The module owns the buffer and hands it over through the const argument on purpose.
        std::snprintf(const_cast<char*>(argument), 64, "score=%d deaths=%d", player->score,
                      player->deaths);
        return 1;
    }
    return 1;
}

// "N reason": frees slot N in the game. The module is not told: it asked for the drop.
bool SimHost::dropClient(const char* argument) {
    int slot = std::atoi(argument);
    if (slot < 1 || slot > kMaxSlots || !slots_[slot]) return false;
    slots_[slot].reset();
    return true;
}

int SimHost::cvarGet(const char* name, char* out, int size) {
    std::string value;
    const bool found = name && console_.get(name, &value);
    if (out && size > 0) {
        size_t n = std::min(value.size(), static_cast<size_t>(size - 1));
        std::memcpy(out, value.data(), n);
        out[n] = '\0';
    }
    return found ? 1 : 0;
}

// The module's lines are console output of the game server: while the module captures the
// console (a command run from the WebTool), they go into the capture too.
void SimHost::print(const char* text) {
    const std::string line = text ? text : "";
    emit(line);
    appendCapture(line);
}

void SimHost::sendClient(int slot, const char* text, int length) {
    if (!text || length < 0) length = 0;
    const std::string bytes(text ? text : "", static_cast<size_t>(length));
    if (bytes.size() >= 13 && bytes.compare(0, 5, "QVRFB") == 0) {
        // A file block is shown by its numbers, not its 1200 bytes of compressed data.
        const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
        auto be32 = [u](int at) {
            return (static_cast<unsigned long>(u[at]) << 24) |
                   (static_cast<unsigned long>(u[at + 1]) << 16) |
                   (static_cast<unsigned long>(u[at + 2]) << 8) | u[at + 3];
        };
        const unsigned long id = be32(5), block = be32(9);
        emit("[to " + std::to_string(slot) + "] QVRFB " + std::to_string(id) + " " +
             std::to_string(block) + " (" + std::to_string(bytes.size() - 13) + " bytes)");
    } else {
        emit("[to " + std::to_string(slot) + "] " + escapeBytes(bytes.data(), bytes.size()));
    }
    if (SimClient* player = client(slot)) player->onServerText(bytes);
}

void SimHost::emit(const std::string& text) {
    output_.push_back(text);
    if (echo_) {
        std::fwrite(text.data(), 1, text.size(), echo_);
        std::fputc('\n', echo_);
        std::fflush(echo_);
    }
}

// Game console output is shown and, while the module captures it, appended to the module's
// buffer: never past the length it gave, always terminated.
void SimHost::gameOutput(const std::string& text) {
    emit("[game] " + text);
    appendCapture(text);
}

void SimHost::appendCapture(const std::string& text) {
    if (!capture_ || captureLength_ <= 0) return;
    const size_t size = static_cast<size_t>(captureLength_);
    size_t used = strnlen(capture_, size);
    if (used >= size) {
        used = size - 1;
        capture_[used] = '\0';
    }
    const std::string piece = text + "\n";
    const size_t n = std::min(piece.size(), size - 1 - used);
    std::memcpy(capture_ + used, piece.data(), n);
    capture_[used + n] = '\0';
}

}  // namespace sim
