// The bridge between the module and one real game server. The server's client numbers (0..63)
// are the module's slots minus one. Module calls are never made from inside a host service:
// everything a service asks of the server is queued and sent once the module's call returned.
#include "qzbridge/bridge.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qzbridge/rcontext.h"

namespace qzb {

namespace {

constexpr int kFrameMs = 50;
// The log is read this often; a bot's join reaches the module within it.
constexpr int kLogPollMs = 10;
// The slot table is compared with the server's "status" this often, and this long after a map
// began (every client has reconnected to the new map by then).
constexpr int kStatusEveryMs = 10000;
constexpr int kReconcileAfterMapMs = 3000;
// A player sees his kick reason this long before he is removed.
constexpr int kKickDelayMs = 200;
// Longest wait for the output of a command whose output the module captures.
constexpr int kCaptureWaitMs = 1500;
// A userinfo line of a client on the server waits this long for a ClientConnect line behind it
// (the game writes the two together) before it is taken as a rename.
constexpr int kHeldUserinfoMs = 100;
// The server's maps for the WebTool's map choice, in the module's home.
constexpr const char* kServerMapsFile = "servermaps.txt";

Bridge* g_bridge = nullptr;

int hostCallThunk(const char* service, const char* argument) {
    return g_bridge->hostCall(service, argument);
}
int cvarGetThunk(const char* name, char* out, int size) {
    return g_bridge->cvarGet(name, out, size);
}
void printThunk(const char* text) { g_bridge->print(text); }
void sendClientThunk(int slot, const char* text, int length) {
    g_bridge->sendClient(slot, text, length);
}

long long wallMicros() {
    struct timeval t;
    gettimeofday(&t, nullptr);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

// Variables the bridge keeps for the module without telling the server: the per-slot GUID
// variables and the service switch mean nothing to the real server, and sending two of them on
// every connect would spend its remote-console budget.
bool localVariable(const std::string& name) {
    return name.rfind("guid_qz_", 0) == 0 || name.rfind("guid_sv_", 0) == 0 ||
           name == "sv_kestrine" || name == "fs_homepath" || name == "fs_basepath";
}

// The module names teams by number in its forced team changes; the server by word.
const char* teamWord(const std::string& number) {
    if (number == "1") return "red";
    if (number == "2") return "blue";
    if (number == "3") return "spectator";
    return nullptr;
}

// "forceteam SLOT TEAM" and "cmd_forceteam SLOT TEAM" name the module's slot; the server wants
// its client number and a team word. Other commands pass unchanged.
std::string translate(const std::string& cmd) {
    char word[32], slotText[16], team[32];
    if (sscanf(cmd.c_str(), "%31s %15s %31s", word, slotText, team) != 3) return cmd;
    if (strcmp(word, "forceteam") != 0 && strcmp(word, "cmd_forceteam") != 0) return cmd;
    char* end = nullptr;
    long slot = strtol(slotText, &end, 10);
    if (*end || slot < 1 || slot > 64) return cmd;
    const char* t = teamWord(team);
    return "forceteam " + std::to_string(slot - 1) + " " + (t ? t : safeText(team));
}

// Whether NAME (as the log gave it) is the name "status" lists as LISTED. The server lists the
// name the client asked for, cut to 31 bytes; the game logs it cleaned (leading blanks and long
// runs of blanks dropped, colours mended). Compared without colours and blank runs, so only a
// real difference counts.
std::string plainName(std::string_view name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '^' && i + 1 < name.size()) {
            ++i;
            continue;
        }
        bool blank = name[i] == ' ';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += name[i];
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

bool sameListedName(const std::string& name, const std::string& listed) {
    if (listed.empty()) return true;
    std::string ours = plainName(name), theirs = plainName(listed);
    if (ours == theirs) return true;
    // The listing holds at most 31 bytes of the name: a cut listing matches its start.
    return name.size() > 31 && plainName(std::string_view(name).substr(0, 31)) == theirs;
}

}  // namespace

Bridge::Bridge(Options options) : opt_(std::move(options)), log_(opt_.log) { g_bridge = this; }

Bridge::~Bridge() {
    shutdown();
    if (library_) dlclose(library_);
    g_bridge = nullptr;
}

void Bridge::note(const std::string& text) {
    std::printf("[qzbridge] %s\n", text.c_str());
    std::fflush(stdout);
}

bool Bridge::start(std::string* error) {
    library_ = dlopen(opt_.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library_) {
        *error = std::string("cannot load the module: ") + dlerror();
        return false;
    }
    SaFn_t sa = reinterpret_cast<SaFn_t>(dlsym(library_, "sa"));
    SbFn_t sb = reinterpret_cast<SbFn_t>(dlsym(library_, "sb"));
    if (!sa || !sb) {
        *error = "the module " + opt_.module + " has no entry points sa and sb";
        return false;
    }
    return startWith(sa, sb, error);
}

bool Bridge::startWith(SaFn_t sa, SbFn_t sb, std::string* error) {
    sa_ = sa;
    sb_ = sb;
    if (!rcon_.open(opt_.server, opt_.port, opt_.source, error)) return false;
    rcon_.setPassword(opt_.password);
    // The password is now only in the link.
    std::fill(opt_.password.begin(), opt_.password.end(), '\0');
    opt_.password.clear();

    vars_["fs_homepath"] = opt_.home;
    vars_["fs_basepath"] = opt_.home;
    vars_["sv_kestrine"] = "1";
    vars_["dedicated"] = "1";
    vars_["net_ip"] = opt_.server;
    vars_["net_port"] = std::to_string(opt_.port);

    // First contact: the game variables, and the password check.
    std::string answer;
    if (rcon_.runNow("serverinfo", &answer, 2000)) {
        if (isBadPassword(answer)) {
            *error = "the server at " + opt_.server + ":" + std::to_string(opt_.port) +
                     " refused the remote-console password";
            return false;
        }
        serverInfo(answer);
        if (rcon_.runNow("g_log", &answer, 1500)) {
            std::string value;
            if (parseCvarReply(answer, "g_log", &value)) vars_["g_log"] = value;
        }
    } else {
        serverDown_ = true;
        note("no answer from the server at " + opt_.server + ":" + std::to_string(opt_.port) +
             " yet; the module runs and the bridge keeps asking");
    }
    log_.start();

    qz_host record = {};
    record.abi = QZ_HOST_ABI;
    record.hostCall = hostCallThunk;
    record.cvarGet = cvarGetThunk;
    record.print = printThunk;
    record.sendClient = sendClientThunk;
    record.clock = nullptr;
    record.flags = QZ_HOST_NO_CLIENT_MODULE | QZ_HOST_DROPS_BOTS;
    ++depth_;
    int result = sa_(&record);
    --depth_;
    if (result != 0) {
        *error = "the module refused to start (" + std::to_string(result) + ")";
        return false;
    }
    running_ = true;
    flushOutbox();
    // Players already on the server are learned from its slot table.
    long long now = Rcon::nowMs();
    queueStatus(now, true);
    command("fdir *.bsp", Purpose::kMaps, -1, false);
    nextFrame_ = now + kFrameMs;
    return true;
}

void Bridge::queueStatus(long long now, bool urgent) {
    command("status", Purpose::kStatus, -1, urgent);
    statusQueued_ = true;
    statusQueuedAt_ = now;
    statusSeq_ = logSeq_;
    reconcileAt_ = 0;
    nextStatus_ = now + kStatusEveryMs;
}

void Bridge::shutdown() {
    if (!running_) return;
    moduleCall(QZ_EV_SHUTDOWN, 0, "");
    running_ = false;
    capture_ = nullptr;
    captureLength_ = 0;
}

int Bridge::moduleCall(int event, int slot, const std::string& data) {
    if (!running_) return event == QZ_EV_CONNECT ? QZ_ADMIT : 0;
    ++depth_;
    int result = sb_(event, slot, data.data(), static_cast<int>(data.size()));
    --depth_;
    if (depth_ == 0) flushOutbox();
    return result;
}

void Bridge::command(const std::string& text, Purpose purpose, int client, bool urgent,
                     long long notBefore, int tag) {
    bool lookUp = purpose == Purpose::kStatus || purpose == Purpose::kDumpUser ||
                  purpose == Purpose::kServerInfo || purpose == Purpose::kCvar ||
                  purpose == Purpose::kMaps;
    if (!lookUp || opt_.verbose) {
        std::printf("[rcon] %s\n", text.c_str());
        std::fflush(stdout);
    }
    rcon_.send(text, purpose, client, urgent, notBefore, tag);
}

void Bridge::say(const std::string& text) {
    command("say " + quoted(text), Purpose::kPlain, -1, false);
}

// Removals first (the player sees the reason, then goes); then the texts: one that every human
// player receives is said once to all, the rest are told to each player.
void Bridge::flushOutbox() {
    long long now = Rcon::nowMs();
    std::vector<Drop> drops;
    drops.swap(drops_);
    std::vector<Text> texts;
    texts.swap(texts_);
    for (const Drop& d : drops) {
        const Client& c = clients_[d.number];
        std::string shown = d.reason;
        for (const Text& t : texts) {
            if (t.number == d.number && t.dialog) shown = t.text;
        }
        bool told = false;
        if (!c.bot && !shown.empty()) {
            command("tell " + std::to_string(d.number) + " " + quoted(shown), Purpose::kPlain, -1,
                    true);
            told = true;
        }
        command("clientkick " + std::to_string(d.number), Purpose::kPlain, d.number, true,
                told ? now + kKickDelayMs : 0);
    }
    // Texts for players being removed are not sent: the removal shows its own reason.
    for (Text& t : texts) {
        if (clients_[t.number].dropped) t.dialog = true;
    }
    int humans = 0;
    for (const Client& c : clients_) {
        if (c.state == Client::kIn && !c.bot && !c.dropped) humans++;
    }
    std::vector<bool> used(texts.size(), false);
    for (size_t i = 0; i < texts.size(); ++i) {
        if (used[i] || texts[i].dialog) continue;
        std::vector<int> to;
        for (size_t j = i; j < texts.size(); ++j) {
            if (!used[j] && !texts[j].dialog && texts[j].text == texts[i].text) {
                used[j] = true;
                to.push_back(texts[j].number);
            }
        }
        if (to.size() >= 2 && static_cast<int>(to.size()) >= humans) {
            say(texts[i].text);
        } else {
            for (int number : to) {
                command("tell " + std::to_string(number) + " " + quoted(texts[i].text),
                        Purpose::kPlain, -1, false);
            }
        }
    }
}

// ---- host services ----

int Bridge::hostCall(const char* service, const char* argument) {
    if (!service) return 0;
    const char* arg = argument ? argument : "";
    if (!strcmp(service, "DropClient")) return dropClient(arg);
    if (!strcmp(service, "Cmd_Exec")) {
        cmdExec(arg);
        return 1;
    }
    if (!strcmp(service, "Cvar_Set")) {
        cvarSet(arg);
        return 1;
    }
    if (!strcmp(service, "ConCapBuf")) {
        // The argument is the module's buffer; naming it cancels any length given before.
        capture_ = const_cast<char*>(argument);
        captureLength_ = 0;
        return 1;
    }
    if (!strcmp(service, "ConCapBufLen")) {
        captureLength_ = atoi(arg);
        if (captureLength_ <= 0) {
            captureLength_ = 0;
            capture_ = nullptr;
        }
        return 1;
    }
    if (!strcmp(service, "gamestate")) return !serverDown_ && !vars_["mapname"].empty() ? 1 : 0;
    // A real server's clients bring their own GUIDs (read with dumpuser): the authorisation
    // request is taken and nothing is written over it.
    if (!strcmp(service, "SV_RequestAuthorizationQZ")) return 1;
    return 0;
}

int Bridge::dropClient(const char* argument) {
    char* end = nullptr;
    long slot = strtol(argument, &end, 10);
    if (end == argument || slot < 1 || slot > 64) return 0;
    int number = static_cast<int>(slot - 1);
    Client& c = clients_[number];
    if (c.state == Client::kFree) return 0;
    while (*end == ' ') end++;
    c.dropped = true;
    c.droppedAt = Rcon::nowMs();
    drops_.push_back(Drop{number, end});
    return 1;
}

void Bridge::cvarSet(const char* argument) {
    const char* blank = strchr(argument, ' ');
    std::string name = blank ? std::string(argument, blank) : std::string(argument);
    std::string value = blank ? std::string(blank + 1) : std::string();
    if (name.empty()) return;
    vars_[name] = value;
    if (localVariable(name)) return;
    if (!validCvarName(name)) {
        note("not sent to the server: bad variable name");
        return;
    }
    command("set " + name + " " + quoted(value), Purpose::kPlain, -1, false);
}

void Bridge::cmdExec(const char* line) {
    for (const std::string& part : splitCommands(line)) {
        std::string cmd = translate(part);
        if (capture_ && captureLength_ > 0) {
            std::printf("[rcon] %s\n", cmd.c_str());
            std::fflush(stdout);
            std::string answer;
            if (!rcon_.runNow(cmd, &answer, kCaptureWaitMs)) {
                answer = "(no answer from the game server)\n";
            } else if (isBadPassword(answer)) {
                answer = "(the game server refused the remote-console password)\n";
            }
            size_t length = static_cast<size_t>(captureLength_);
            size_t have = strnlen(capture_, length);
            if (have >= length) have = length - 1;  // never trust the buffer to be terminated
            size_t room = length - 1 - have;
            size_t take = answer.size() < room ? answer.size() : room;
            memcpy(capture_ + have, answer.data(), take);
            capture_[have + take] = 0;
        } else {
            command(cmd, Purpose::kShown, -1, false);
        }
    }
}

int Bridge::cvarGet(const char* name, char* out, int size) {
    if (size <= 0) return 0;
    out[0] = 0;
    // The password stays in the link: the module (its web key, its pages, its configuration
    // file) never sees it.
    if (!name || !strcmp(name, "rconpassword")) return 0;
    auto it = vars_.find(name);
    if (it == vars_.end()) return 0;
    snprintf(out, static_cast<size_t>(size), "%s", it->second.c_str());
    return 1;
}

void Bridge::print(const char* text) {
    if (printCapture_) {
        *printCapture_ += text ? text : "";
        *printCapture_ += '\n';
        return;
    }
    std::printf("%s\n", text ? text : "");
    std::fflush(stdout);
}

void Bridge::sendClient(int slot, const char* text, int length) {
    if (slot < 1 || slot > 64 || !text || length <= 0) return;
    std::string t(text, static_cast<size_t>(length));
    bool dialog = false;
    if (t.rfind("print\n", 0) == 0) {
        t.erase(0, 6);
        if (t.rfind("[err_dialog]", 0) == 0) {
            t.erase(0, 12);
            dialog = true;
        }
    } else if (!t.empty() && t[0] == 'P') {
        t.erase(0, 1);
    } else {
        return;  // exchange texts: this game has no client module to read them
    }
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if (t.empty() || clients_[slot - 1].bot) return;
    texts_.push_back(Text{slot - 1, t, dialog});
}

// ---- the log ----

void Bridge::logLine(const std::string& line) {
    ++logSeq_;
    LogEvent e = parseLogLine(line);
    // A held userinfo line is a rename unless this line is the ClientConnect it belongs to.
    LogEvent joining;
    bool haveJoining = false;
    if (held_.active) {
        if (e.kind == LogKind::kConnect && e.client == held_.event.client) {
            joining = std::move(held_.event);
            haveJoining = true;
            held_.active = false;
        } else {
            applyHeld();
        }
    }
    if (e.kind == LogKind::kOther) return;
    if (e.kind == LogKind::kInitGame) {
        for (Client& c : clients_) {
            if (c.state != Client::kIn) continue;
            c.unconfirmed = true;
            c.incomingSeen = false;
        }
        reconcileAt_ = Rcon::nowMs() + kReconcileAfterMapMs;
        command("serverinfo", Purpose::kServerInfo, -1, false);
        command("fdir *.bsp", Purpose::kMaps, -1, false);
        return;
    }
    if (e.kind == LogKind::kShutdown) return;
    eventSeq_[e.client] = logSeq_;
    Client& c = clients_[e.client];
    switch (e.kind) {
        case LogKind::kUserinfo:
            if (c.state == Client::kIn && c.unconfirmed) {
                c.inName = e.name;
                c.inGuid = e.guid;
                c.inBot = e.bot;
                c.incomingSeen = true;
            } else if (c.state != Client::kFree) {
                held_.active = true;
                held_.event = std::move(e);
                held_.at = Rcon::nowMs();
            } else {
                c.name = e.name;
                c.guid = e.guid;
                c.bot = e.bot;
                c.userinfoSeen = true;
                c.seenWrite = log_.lastWriteMicros();
                if (c.connectSeen) beginConnect(e.client);
            }
            break;
        case LogKind::kConnect:
            if (c.state == Client::kIn && c.unconfirmed) {
                c.unconfirmed = false;
                bool same = !c.incomingSeen ||
                            (c.inName == c.name && c.inGuid == c.guid && c.inBot == c.bot);
                if (!same) {
                    // Another client took the number while the map changed.
                    std::string name = c.inName, guid = c.inGuid;
                    bool bot = c.inBot;
                    leave(e.client);
                    c.name = name;
                    c.guid = guid;
                    c.bot = bot;
                    c.userinfoSeen = true;
                    c.seenWrite = log_.lastWriteMicros();
                    beginConnect(e.client);
                }
            } else if (c.state != Client::kFree && c.awaitConnect && !haveJoining) {
                // The ClientConnect line of a join begun from its userinfo line.
                c.awaitConnect = false;
            } else if (c.state != Client::kFree) {
                // A connect on a number in use outside a map change: whoever had it is gone
                // (a reconnect writes no disconnect line) and a new client joins, with every
                // check a join gets.
                leave(e.client);
                c.connectSeen = true;
                c.seenWrite = log_.lastWriteMicros();
                if (haveJoining) {
                    c.name = joining.name;
                    c.guid = joining.guid;
                    c.bot = joining.bot;
                    c.userinfoSeen = true;
                    beginConnect(e.client);
                }
            } else {
                c.connectSeen = true;
                if (!c.seenWrite) c.seenWrite = log_.lastWriteMicros();
                if (c.userinfoSeen) beginConnect(e.client);
            }
            break;
        case LogKind::kDisconnect: leave(e.client); break;
        default: break;
    }
}

// The held userinfo line was not followed by its client's connect: a rename. A rename never
// changes the kind of client: a bot's number taken by a human (or the reverse) is a leave and a
// join, whose ClientConnect line may still follow.
void Bridge::applyHeld() {
    if (!held_.active) return;
    held_.active = false;
    LogEvent e = std::move(held_.event);
    int number = e.client;
    Client& c = clients_[number];
    if (c.state == Client::kFree) return;
    if (e.bot != c.bot) {
        leave(number);
        c.name = e.name;
        c.guid = e.guid;
        c.bot = e.bot;
        c.userinfoSeen = true;
        c.seenWrite = log_.lastWriteMicros();
        beginConnect(number);
        clients_[number].awaitConnect = true;
        return;
    }
    if (c.state == Client::kLooking) {
        c.name = e.name;  // the join in progress takes the newest name
        return;
    }
    if (e.name != c.name && !c.dropped) {
        c.name = e.name;
        moduleCall(QZ_EV_RENAME, number + 1, e.name);
    }
}

void Bridge::beginConnect(int number) {
    Client& c = clients_[number];
    c.connectSeen = false;
    if (c.bot) {
        c.address = "bot";
        admit(number);
        return;
    }
    c.state = Client::kLooking;
    c.lookupTag = ++lookupSerial_;
    command("dumpuser " + std::to_string(number), Purpose::kDumpUser, number, true, 0,
            c.lookupTag);
}

void Bridge::admit(int number) {
    Client& c = clients_[number];
    std::string name = c.name;
    // A "\" would split the description's fields; the server never allows one in a name.
    for (char& ch : name) {
        if (ch == '\\') ch = '/';
    }
    if (c.address.empty()) c.address = "unknown";
    std::string data = name + "\\" + c.guid + "\\" + c.address + "\\" + (c.bot ? "B" : "?");
    c.state = Client::kIn;
    c.dropped = false;
    c.unconfirmed = false;
    c.inSince = Rcon::nowMs();
    int verdict = moduleCall(QZ_EV_CONNECT, number + 1, data);
    char timing[64] = "";
    if (c.seenWrite) {
        snprintf(timing, sizeof timing, " %.1f ms after its log line",
                 static_cast<double>(wallMicros() - c.seenWrite) / 1000.0);
    }
    note("client " + std::to_string(number) + " is slot " + std::to_string(number + 1) + ": " +
         (verdict == QZ_ADMIT ? "admitted" : "refused") + timing);
    c.seenWrite = 0;
    if (verdict != QZ_ADMIT && !c.dropped) {
        // Refused without a drop request: the server must not keep him either.
        c.dropped = true;
        c.droppedAt = Rcon::nowMs();
        command("clientkick " + std::to_string(number), Purpose::kPlain, number, true);
    }
}

// The client left the server (or the slot table no longer lists him).
void Bridge::leave(int number) {
    Client& c = clients_[number];
    if (c.state == Client::kIn) {
        if (c.dropped) {
            char text[96];
            snprintf(text, sizeof text, "client %d gone from the server %lld ms after the drop",
                     number, Rcon::nowMs() - c.droppedAt);
            note(text);
        } else {
            moduleCall(QZ_EV_DISCONNECT, number + 1, "");
        }
    }
    c = Client();
}

void Bridge::pollLog() {
    std::vector<std::string> lines;
    bool rotated = false;
    log_.poll(&lines, &rotated);
    if (rotated) {
        note("the game log was replaced or truncated; reading it from its start");
        // Lines may have been lost in between: the slot table is checked soon.
        reconcileAt_ = Rcon::nowMs() + 500;
    }
    for (const std::string& line : lines) logLine(line);
}

// ---- answers of the server ----

void Bridge::serverInfo(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> values;
    if (!parseServerInfo(text, &values)) return;
    for (auto& [name, value] : values) {
        if (!localVariable(name)) vars_[name] = value;
    }
}

void Bridge::reply(Reply& r) {
    if (r.badPassword || !r.answered) {
        if (r.badPassword) {
            if (!passwordRefused_) note("ERROR: the server refused the remote-console password");
            passwordRefused_ = true;
        } else if (!serverDown_) {
            serverDown_ = true;
            // Commands queued for the server as it was (kicks by client number among them)
            // must not reach a server that may have restarted with other clients.
            size_t dropped = rcon_.clearQueue();
            statusQueued_ = false;
            note("the server at " + opt_.server + ":" + std::to_string(opt_.port) +
                 " is not answering; the module keeps running and the bridge keeps asking (" +
                 std::to_string(dropped) + " queued commands dropped)");
            for (int n = 0; n < 64; ++n) {
                if (clients_[n].state == Client::kLooking) admit(n);
            }
        }
        if (r.purpose == Purpose::kStatus) statusQueued_ = false;
        if (r.purpose == Purpose::kDumpUser && r.client >= 0 && r.client < 64 &&
            clients_[r.client].state == Client::kLooking &&
            clients_[r.client].lookupTag == r.tag) {
            admit(r.client);  // without the address: the module still gets the player
        }
        return;
    }
    passwordRefused_ = false;
    if (serverDown_) {
        serverDown_ = false;
        note("the server answers again; the slot table is rebuilt from its status");
        reconcileAt_ = Rcon::nowMs();
    }
    switch (r.purpose) {
        case Purpose::kStatus:
            statusQueued_ = false;
            reconcile(r.text);
            break;
        case Purpose::kDumpUser: {
            if (r.client < 0 || r.client >= 64) break;
            Client& c = clients_[r.client];
            // The answer of a look-up for an earlier join on this number is not this one's.
            if (c.state != Client::kLooking || c.lookupTag != r.tag) break;
            std::string ip, guid, name;
            parseDumpUser(r.text, &ip, &guid, &name);
            c.address = ip;
            if (!guid.empty()) c.guid = guid.substr(0, 32);
            admit(r.client);
            break;
        }
        case Purpose::kServerInfo: serverInfo(r.text); break;
        case Purpose::kMaps: serverMaps(r.text); break;
        case Purpose::kShown: {
            size_t start = 0;
            while (start < r.text.size()) {
                size_t end = r.text.find('\n', start);
                if (end == std::string::npos) end = r.text.size();
                if (end > start) {
                    std::printf("[game] %s\n", r.text.substr(start, end - start).c_str());
                }
                start = end + 1;
            }
            std::fflush(stdout);
            break;
        }
        default: break;
    }
}

// Makes the slot table match the server's: clients the server no longer lists leave, clients
// it lists that the bridge does not know join, and a name the log failed to report is taken
// from the listing. A client whose join or log line came after the listing was asked for is
// left alone: the listing may be older than what the log said of him.
void Bridge::reconcile(const std::string& text) {
    std::string map;
    std::vector<StatusEntry> entries;
    if (!parseStatus(text, &map, &entries)) return;
    if (!map.empty()) vars_["mapname"] = map;
    const StatusEntry* listed[64] = {};
    for (const StatusEntry& e : entries) listed[e.client] = &e;
    for (int n = 0; n < 64; ++n) {
        Client& c = clients_[n];
        bool older = eventSeq_[n] > statusSeq_ || (held_.active && held_.event.client == n);
        if (older) continue;
        const StatusEntry* e = listed[n];
        if (c.state == Client::kIn) {
            if (c.inSince > statusQueuedAt_) continue;
            if (!e) {
                leave(n);
                continue;
            }
            if (c.unconfirmed) c.unconfirmed = false;
            if (c.dropped || e->connecting) continue;
            if ((e->address == "bot") != c.bot) {
                // Another kind of client has the number: a leave and a join.
                leave(n);
            } else {
                if (!sameListedName(c.name, e->name)) {
                    c.name = e->name;
                    moduleCall(QZ_EV_RENAME, n + 1, e->name);
                }
                continue;
            }
        }
        if (!e || c.state != Client::kFree || e->connecting || c.connectSeen || c.userinfoSeen) {
            continue;
        }
        c.name = e->name;
        c.bot = e->address == "bot";
        c.address = c.bot ? "bot" : e->address;
        c.userinfoSeen = true;
        beginConnect(n);
    }
}

// The value of one of the module's settings, as its console shows it ("NAME = VALUE").
std::string Bridge::moduleSetting(const char* name) {
    std::string shown;
    printCapture_ = &shown;
    moduleCall(QZ_EV_CONSOLE, 0, name);
    printCapture_ = nullptr;
    std::string head = std::string(name) + " = ";
    size_t at = shown.find(head);
    if (at == std::string::npos) return std::string();
    size_t end = shown.find('\n', at);
    return shown.substr(at + head.size(), end == std::string::npos ? end : end - at - head.size());
}

// The WebTool's map choice offers the maps the server has, not the module's built-in list of
// another game's maps: the names go to a map list file in the module's home, which becomes the
// WebTool's map list unless the administrator has named one of his own (qz_sv_HttpMapsPath).
void Bridge::serverMaps(const std::string& text) {
    std::vector<std::string> maps;
    if (!parseMapFiles(text, &maps) || maps.empty()) return;
    std::string dir = opt_.home + "/qz/";
    std::string path = dir + kServerMapsFile, part = path + ".part";
    FILE* f = fopen(part.c_str(), "w");
    if (!f) {
        note("cannot write " + path + ": " + strerror(errno));
        return;
    }
    bool ok = fprintf(f, "// the maps of the game server, written by qzbridge\n") > 0;
    for (const std::string& m : maps) ok = ok && fprintf(f, "%s\n", m.c_str()) > 0;
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(part.c_str(), path.c_str()) != 0) {
        note("cannot write " + path);
        unlink(part.c_str());
        return;
    }
    if (mapListOffered_) return;
    mapListOffered_ = true;
    std::string own = moduleSetting("qz_sv_HttpMapsPath");
    if (own.empty()) {
        moduleCall(QZ_EV_CONSOLE, 0, std::string("qz_sv_HttpMapsPath ") + kServerMapsFile);
        own = kServerMapsFile;
    }
    note("the server has " + std::to_string(maps.size()) + " maps, listed in " + path +
         "; the WebTool's map list is " + own + " (qz_sv_HttpMapsPath)");
}

// ---- the loop ----

// A console line is the module's, unless it begins with one "/": then it is a command for the
// game server ("/map oasago2"), whose answer shows as [game] lines. "//" starts a comment.
void Bridge::console(const std::string& line) {
    if (line.size() >= 2 && line[0] == '/' && line[1] != '/') {
        for (const std::string& part : splitCommands(std::string_view(line).substr(1))) {
            command(part, Purpose::kShown, -1, false);
        }
        return;
    }
    moduleCall(QZ_EV_CONSOLE, 0, line);
}

void Bridge::timers(long long now) {
    if (now >= nextFrame_) {
        moduleCall(QZ_EV_FRAME, 0, "");
        nextFrame_ += kFrameMs;
        if (nextFrame_ <= now) nextFrame_ = now + kFrameMs;
    }
    if (held_.active && now - held_.at >= kHeldUserinfoMs) applyHeld();
    bool due = (reconcileAt_ && now >= reconcileAt_) || now >= nextStatus_;
    if (due && !statusQueued_) queueStatus(now, reconcileAt_ != 0);
}

void Bridge::run(volatile int* stop) {
    std::string pending;
    char chunk[4096];
    bool inputOpen = true;
    while (!*stop) {
        long long now = Rcon::nowMs();
        pollLog();
        rcon_.pump(now);
        Reply r;
        while (rcon_.take(&r)) reply(r);
        timers(now);

        now = Rcon::nowMs();
        long long wake = now + kLogPollMs;
        if (nextFrame_ < wake) wake = nextFrame_;
        long long link = rcon_.nextWakeMs(now);
        if (link >= 0 && link < wake) wake = link;
        int timeout = wake > now ? static_cast<int>(wake - now) : 0;
        struct pollfd fds[2] = {{inputOpen ? STDIN_FILENO : -1, POLLIN, 0},
                                {rcon_.fd(), POLLIN, 0}};
        int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (ready > 0 && inputOpen && (fds[0].revents & (POLLIN | POLLHUP))) {
            ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                if (!pending.empty()) console(pending);
                break;
            }
            pending.append(chunk, static_cast<size_t>(n));
            size_t start = 0;
            for (;;) {
                size_t end = pending.find('\n', start);
                if (end == std::string::npos) break;
                std::string line = pending.substr(start, end - start);
                start = end + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line == "quit") {
                    *stop = 1;
                    break;
                }
                console(line);
            }
            pending.erase(0, start);
            // A line without an end is kept, but never beyond what the module takes.
            if (pending.size() > 65536) pending.clear();
        }
    }
    // Removals asked for in the last moments still reach the server.
    long long until = Rcon::nowMs() + 1500;
    while (rcon_.queued() > 0 && Rcon::nowMs() < until) {
        rcon_.pump(Rcon::nowMs());
        Reply r;
        while (rcon_.take(&r)) {
        }
        struct pollfd p = {rcon_.fd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    shutdown();
}

}  // namespace qzb
