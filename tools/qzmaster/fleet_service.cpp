// The fleet ban service's serving loop: authentication and replay checks, lookups from memory,
// reports through the store, pushes of new and lifted bans.
#include "qzmaster/fleet_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "util/text.h"

namespace qzm {

namespace {

constexpr int64_t kInterestSeconds = 86400;  // a lookup makes a server hear of that GUID's bans
constexpr int kRefusalLogsPerSecond = 10;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool sameGuid(const char* a, const char* b) { return guidKey(a) == guidKey(b); }

std::string addressText(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

template <size_t N>
void put(char (&dst)[N], const char* src) {
    snprintf(dst, N, "%s", src);
}

}  // namespace

FleetService::~FleetService() {
    if (fd_ >= 0) close(fd_);
}

bool FleetService::start(const FleetOptions& options, std::string* error) {
    options_ = options;
    if (!options.db.empty()) {
        store_ = makePgStore(options.db);
        if (!store_) {
            *error = "PostgreSQL support (--db) is not built into this qzmaster";
            return false;
        }
    } else {
        if (options.dir.empty()) {
            *error =
                "the fleet service keeps its data in --fleet-dir DIR (or the folder fleet in "
                "--dir DIR) or --db CONNINFO";
            return false;
        }
        store_ = makeFileStore(options.dir);
    }
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(options.port));
    if (fd_ < 0 || inet_pton(AF_INET, options.address.c_str(), &at.sin_addr) != 1 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        *error = "cannot bind the fleet port " + options.address + ":" +
                 std::to_string(options.port) + ": " + strerror(errno);
        return false;
    }
    int bytes = 1 << 21;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    socklen_t len = sizeof at;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &len);
    port_ = ntohs(at.sin_port);
    if (!store_->open([this](const FleetRecord& r) { onRecord(r); }, error)) return false;
    log_.push_back(
        "fleet service on " + options.address + ":" + std::to_string(port_) +
        (options.db.empty() ? " (file store " + options.dir + "/fleet.log)" : " (PostgreSQL)"));
    return true;
}

void FleetService::poll() {
    char buf[QZF_PACKET_MAX + 1];
    // Bounded so the store and the other work of the loop get their turn under a flood.
    for (int i = 0; i < 4096; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        packet(buf, static_cast<int>(n), from);
    }
    store_->poll();
    if (!announcedReady_ && store_->ready()) {
        announcedReady_ = true;
        say("fleet store ready: " + std::to_string(state_.liveCount()) + " fleet bans, " +
            std::to_string(state_.servers().size()) + " servers, through change #" +
            std::to_string(state_.lastChange()));
        // Lookups that came while loading are answered now, to where they came from.
        std::vector<Waiting> waiting;
        waiting.swap(waiting_);
        for (const Waiting& w : waiting) {
            FleetServer* s = state_.server(w.server);
            if (!s || s->cutOff) continue;
            FleetBody b{};
            b.kind = QZF_QUERY;
            b.id = w.id;
            memcpy(b.guid, w.guid, sizeof b.guid);
            lookup(*s, b, w.from);
        }
    }
    long long now = nowMs();
    if (now - lastNotesMs_ >= 250) {
        lastNotesMs_ = now;
        notes(now);
    }
}

void FleetService::say(const std::string& line) {
    if (log_.size() < 10000) log_.push_back(line);
}

// Four times a second: the replay high-water marks that moved (shared with the other masters),
// the store's state when it changed; once a minute the interest notes older than a day go.
void FleetService::notes(long long now) {
    bool flush = now - highWaterMs_ >= 1000;
    if (flush) highWaterMs_ = now;
    for (auto& [id, s] : state_.servers()) {
        if (flush && s.window.highest > s.storedHigh) {
            s.storedHigh = s.window.highest;
            store_->noteHighWater(id, s.window.highest);
        }
    }
    std::vector<std::string> lines;
    store_->takeLog(&lines);
    for (const std::string& line : lines) say(line);
    std::string status = store_->status();
    if (status != lastStatus_) {
        lastStatus_ = status;
        if (!status.empty() && lines.empty()) say(status);
    }
    if (now - pruneAtMs_ >= 60000) {
        pruneAtMs_ = now;
        state_.pruneInterest(time(nullptr) - kInterestSeconds);
    }
}

void FleetService::refuse(int reason, const sockaddr_in& from, const char* server) {
    ++counters_.refused[reason];
    long long now = nowMs();
    if (now - refusalLogMs_ >= 1000) {
        refusalLogMs_ = now;
        refusalLogs_ = 0;
    }
    if (refusalLogs_++ < kRefusalLogsPerSecond) {
        say(std::string("refused ") + fleetRefusalName(reason) + " from " + addressText(from) +
            (server && *server ? std::string(" id ") + server : "") + " (" +
            std::to_string(counters_.refused[reason]) + " so far)");
    }
}

// A token bucket per server, so one server's flood costs only its own answers.
bool FleetService::spend(FleetServer& s, long long now) {
    double rate = options_.serverRate > 0 ? options_.serverRate : kServerPacketsPerSecond;
    double burst = options_.serverBurst > 0 ? options_.serverBurst : kServerPacketBurst;
    if (s.budgetAtMs == 0) {
        s.tokens = burst;
        s.noteTokens = kServerNotesPerSecond;
    } else if (now > s.budgetAtMs) {
        double seconds = static_cast<double>(now - s.budgetAtMs) / 1000.0;
        s.tokens = std::min(burst, s.tokens + seconds * rate);
        s.noteTokens =
            std::min(kServerNotesPerSecond, s.noteTokens + seconds * kServerNotesPerSecond);
    }
    s.budgetAtMs = now;
    if (s.tokens < 1) {
        ++s.overBudget;
        ++counters_.overBudget;
        return false;
    }
    s.tokens -= 1;
    return true;
}

void FleetService::packet(const char* data, int length, const sockaddr_in& from) {
    FleetEnvelope env;
    // Strangers cost a trailer parse and a map lookup: no MAC is computed for them.
    if (fleetOpen(data, length, &env) != QZF_OK) return refuse(QZF_BAD_SYNTAX, from, "");
    FleetServer* s = state_.server(env.server);
    if (!s) return refuse(QZF_UNKNOWN_SERVER, from, env.server);
    if (s->cutOff) return refuse(QZF_CUT_OFF, from, env.server);
    if (!spend(*s, nowMs())) return;
    if (!fleetVerify(env, QZF_TO_SERVICE, s->secret)) return refuse(QZF_BAD_MAC, from, env.server);
    if (!fleetWindowAccept(&s->window, env.counter)) return refuse(QZF_REPLAY, from, env.server);
    bool moved = !s->haveAddress || s->address.sin_addr.s_addr != from.sin_addr.s_addr ||
                 s->address.sin_port != from.sin_port;
    if (moved && !s->addressPending && env.counter > s->sharedHigh) {
        // Only a packet newer than anything any master took may move the server: a replay to
        // this master of what another one took cannot. The store decides for all masters.
        s->addressPending = true;
        std::string id = s->id;
        sockaddr_in at = from;
        uint64_t counter = env.counter;
        store_->noteAddress(id, addressText(from), counter, [this, id, at, counter](bool taken) {
            FleetServer* srv = state_.server(id);
            if (!srv) return;
            srv->addressPending = false;
            if (!taken) return;
            if (counter > srv->sharedHigh) srv->sharedHigh = counter;
            srv->address = at;
            srv->haveAddress = true;
        });
    }
    FleetBody b;
    if (!fleetParse(env.body, env.bodyLen, &b)) return refuse(QZF_BAD_SYNTAX, from, env.server);
    switch (b.kind) {
        case QZF_QUERY: return b.sync ? hello(*s, b, from) : lookup(*s, b, from);
        case QZF_REPORT: return report(*s, b, from);
        case QZF_UNBAN: return unban(*s, b, from);
        default:
            // Audit lines are not kept by this service; answers and pushes never come this way.
            return;
    }
}

void FleetService::noteInterest(FleetServer& s, const char* guid, int64_t now) {
    if (!state_.noteInterest(guid, s.id, now)) return;
    // The store keeps a bounded number of notes a second per server; memory keeps them all
    // (bounded too), which is what pushes are sent by.
    if (s.noteTokens < 1) return;
    s.noteTokens -= 1;
    store_->noteInterest(guid, s.id, now);
}

void FleetService::lookup(FleetServer& s, const FleetBody& b, const sockaddr_in& from) {
    if (!store_->ready()) {
        // Without the whole ban list an answer could clear a banned player: the lookup is
        // noted and answered once the store is loaded.
        ++counters_.notReady;
        if (waiting_.size() < kWaitingMax) {
            Waiting w{s.id, b.id, {}, from};
            memcpy(w.guid, b.guid, sizeof w.guid);
            waiting_.push_back(w);
        }
        return;
    }
    ++counters_.lookups;
    int64_t now = time(nullptr);
    const FleetBan* ban = state_.liveBan(b.guid, now);
    if (ban) ++counters_.banned;
    FleetBody a{};
    a.kind = QZF_ANSWER;
    a.fleetId = ban ? static_cast<uint64_t>(ban->rec.id) : 0;
    a.id = b.id;
    put(a.verdict, ban ? QZF_BANNED : QZF_CLEAR);
    put(a.answerKind, "GUID");
    put(a.guid, b.guid);
    if (ban) {
        fleetCleanName(ban->rec.name, a.name);
        if (fleetIdOk(ban->rec.server, slen(ban->rec.server))) put(a.server, ban->rec.server);
    }
    answer(s, from, a);
    noteInterest(s, b.guid, now);
}

// A hello asks for the changes after the last one the server applied: one page of at most
// kPageMax bans and lifts in change order, then the page end saying how many were sent, up to
// which change, and whether more remain (the server asks again at once).
void FleetService::hello(FleetServer& s, const FleetBody& b, const sockaddr_in& from) {
    if (!store_->ready() || !store_->masterEpoch()) return;
    int64_t now = time(nullptr);
    const auto& changes = state_.changes();
    uint64_t after = b.fleetId;
    FleetBody end{};
    end.kind = QZF_PAGE;
    end.id = b.id;
    end.after = after;
    end.change = after;
    int sent = 0, scanned = 0;
    auto it = changes.upper_bound(static_cast<int64_t>(after > INT64_MAX ? INT64_MAX : after));
    for (; it != changes.end() && sent < kPageMax && scanned < kPageScanMax; ++it, ++scanned) {
        end.change = static_cast<uint64_t>(it->first);
        const FleetChange& c = it->second;
        if (c.kind != 'B' && c.kind != 'L') continue;
        const FleetBan* ban = state_.ban(c.id);
        if (!ban) continue;
        if (c.kind == 'B') {
            const BanRecord& r = ban->rec;
            if (ban->lifted || (r.lengthMin > 0 && r.banTime + r.lengthMin * 60 <= now)) continue;
            push(s, QZF_PUSH, r, it->first, b.id, &from);
        } else {
            push(s, QZF_LIFT, ban->rec, it->first, b.id, &from);
        }
        ++sent;
    }
    end.count = static_cast<uint32_t>(sent);
    end.more = it != changes.end();
    ++counters_.pages;
    send(s, end, from);
}

void FleetService::report(FleetServer& s, const FleetBody& b, const sockaddr_in& from) {
    auto key = std::make_tuple('B', s.id, b.epoch, b.id);
    if (inFlight_.count(key)) return;  // the answer to the first copy is on its way
    int64_t now = time(nullptr);
    std::string name;
    cleanName(b.name, &name);
    FleetBody a{};
    a.kind = QZF_ANSWER;
    a.epoch = b.epoch;
    a.id = b.id;
    put(a.answerKind, "GUID");
    put(a.guid, b.guid);
    if (int64_t known = state_.reported(s.id, b.epoch, b.id)) {
        const FleetBan* ban = state_.ban(known);
        bool same = ban && sameGuid(ban->rec.guid, b.guid) &&
                    ban->rec.banTime == static_cast<int64_t>(b.time) &&
                    ban->rec.lengthMin == static_cast<int64_t>(b.length) && name == ban->rec.name;
        a.fleetId = static_cast<uint64_t>(known);
        if (same) {
            put(a.verdict, QZF_ACK);
            fleetCleanName(ban->rec.name, a.name);
        } else {
            ++counters_.refusedReports;
            say("report " + s.id + "/" + reportIdText(b.epoch, b.id) +
                " REFUSED: that id made fleet ban #" + std::to_string(known) + " of " +
                (ban ? ban->rec.guid : "?") + ", this one names " + b.guid + " (" +
                std::to_string(counters_.refusedReports) + " refused so far)");
            put(a.verdict, QZF_REFUSED);
            put(a.name, "report id reused");
        }
        return answer(s, from, a);
    }
    BanRecord rec;
    rec.id = 0;
    put(rec.server, s.id.c_str());
    rec.reportEpoch = b.epoch;
    rec.reportId = b.id;
    put(rec.guid, b.guid);
    rec.banTime = static_cast<int64_t>(b.time);
    rec.lengthMin = static_cast<int64_t>(b.length);
    put(rec.address, b.addr[0] ? b.addr : "?");
    put(rec.origin, b.origin[0] ? b.origin : "-");
    rec.received = now;
    put(rec.name, name.c_str());
    inFlight_.insert(key);
    noteInterest(s, b.guid, now);
    // The name goes back with the ACK as stored.
    fleetCleanName(rec.name, a.name);
    std::string server = s.id;
    store_->reportBan(rec, [this, server, key, a, from](int64_t id) mutable {
        inFlight_.erase(key);
        FleetServer* srv = state_.server(server);
        if (id == 0) {
            say("report " + server + "/" + reportIdText(a.epoch, a.id) +
                " not stored: " + store_->status());
            return;  // no answer: the server sends it again
        }
        if (!srv) return;
        if (id < 0) {
            ++counters_.refusedReports;
            say("report " + server + "/" + reportIdText(a.epoch, a.id) +
                " REFUSED: that id made fleet ban #" + std::to_string(-id) +
                " with other content (" + std::to_string(counters_.refusedReports) +
                " refused so far)");
            a.fleetId = static_cast<uint64_t>(-id);
            put(a.verdict, QZF_REFUSED);
            put(a.name, "report id reused");
        } else {
            ++counters_.reports;
            a.fleetId = static_cast<uint64_t>(id);
            put(a.verdict, QZF_ACK);
        }
        answer(*srv, from, a);
    });
}

void FleetService::adminBan(const BanRecord& rec, BanDone done) {
    if (!store_ || !store_->ready()) return done(0);
    store_->reportBan(rec, std::move(done));
}

void FleetService::unban(FleetServer& s, const FleetBody& b, const sockaddr_in& from) {
    auto key = std::make_tuple('U', s.id, b.epoch, b.id);
    if (inFlight_.count(key)) return;
    inFlight_.insert(key);
    std::string server = s.id, guid = b.guid, scope = b.scope[0] ? b.scope : QZF_SCOPE_OWN;
    FleetBody a{};
    a.kind = QZF_ANSWER;
    a.epoch = b.epoch;
    a.id = b.id;
    put(a.answerKind, "UNBAN");
    put(a.guid, b.guid);
    store_->reportUnban(
        server, b.epoch, b.id, b.guid, static_cast<int64_t>(b.fleetId), scope, time(nullptr),
        [this, server, guid, scope, key, a, from](const UnbanResult& r) mutable {
            inFlight_.erase(key);
            FleetServer* srv = state_.server(server);
            if (!r.ok && !r.refused) return;  // not stored: the server sends it again
            if (r.refused) {
                ++counters_.refusedReports;
                say("unban report " + server + "/" + reportIdText(a.epoch, a.id) +
                    " REFUSED: that id was used for another unban (" +
                    std::to_string(counters_.refusedReports) + " refused so far)");
                put(a.verdict, QZF_REFUSED);
                put(a.name, "report id reused");
            } else {
                ++counters_.unbans;
                say("unban " + guid + " from " + server + " (scope " + scope +
                    "): fleet bans lifted: " + (r.lifted == "-" ? "none" : r.lifted));
                put(a.verdict, QZF_ACK);
                std::string ids = r.lifted == "-" ? "" : r.lifted;
                if (ids.size() > QZF_NAME_MAX) ids = ids.substr(0, QZF_NAME_MAX - 1) + "+";
                put(a.name, ids.c_str());
                a.fleetId = strtoull(ids.c_str(), nullptr, 10);
            }
            if (srv) answer(*srv, from, a);
        });
}

void FleetService::answer(FleetServer& s, const sockaddr_in& to, const FleetBody& a) {
    send(s, a, to);
}

void FleetService::push(FleetServer& s, char kind, const BanRecord& ban, int64_t change,
                        uint32_t hello, const sockaddr_in* to) {
    if (change <= 0) return;
    if (!to) {
        if (!s.haveAddress) return;
        to = &s.address;
    }
    FleetBody p{};
    p.kind = kind;
    p.fleetId = static_cast<uint64_t>(ban.id);
    p.id = hello;
    p.change = static_cast<uint64_t>(change);
    put(p.guid, ban.guid);
    put(p.server, fleetIdOk(ban.server, slen(ban.server)) ? ban.server : "qzmaster");
    fleetCleanName(ban.name, p.name);
    p.time = static_cast<uint64_t>(ban.banTime);
    p.length = static_cast<uint64_t>(ban.lengthMin);
    ++counters_.pushes;
    send(s, p, *to);
}

void FleetService::send(FleetServer& s, const FleetBody& body, const sockaddr_in& to) {
    if (s.cutOff) return;
    uint64_t epoch = store_->masterEpoch();
    if (!epoch) return;
    char text[QZF_BODY_MAX + 1];
    int n = fleetFormat(text, sizeof text, body);
    if (n <= 0) return;
    char out[QZF_PACKET_MAX + 1];
    uint64_t counter = fleetMasterCounter(epoch, &sendSeq_);
    if (!counter) return;
    int len = fleetSeal(out, sizeof out, text, n, s.id.c_str(), counter, QZF_TO_SERVER, s.secret);
    if (len <= 0) return;
    sendto(fd_, out, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

// Everything the store learns passes here, in change order: at start, from this master's own
// writes, from other masters and from the command line. A new ban goes to every server that
// asked about its GUID in the last day (or reported it); a lift goes to every server the
// service can reach, since any of them may have been told of the ban by a hello. A lost push
// is repaired by the server's next hello: its sync point never passes a change it has not had.
void FleetService::onRecord(const FleetRecord& r) {
    const FleetBan* ban = nullptr;
    Applied what = state_.apply(r, &ban);
    if (r.kind == 'A' || r.kind == 'H') {
        // Another master took a newer packet: what it took is what any move must beat.
        FleetServer* s = state_.server(r.text1);
        if (s && r.kind == 'H' && r.counter > s->sharedHigh) s->sharedHigh = r.counter;
    }
    if (!store_ || !store_->ready() || !ban) return;
    BanRecord rec = ban->rec;
    if (what == Applied::NewBan) {
        say("fleet ban " + std::to_string(rec.id) + " " + rec.guid + " from " + rec.server + " \"" +
            rec.name + "\" (change #" + std::to_string(r.change) + ")");
        std::vector<std::string> servers;
        state_.interested(rec.guid, time(nullptr) - kInterestSeconds, &servers);
        for (const std::string& id : servers) {
            FleetServer* s = state_.server(id);
            if (s && id != rec.server) push(*s, QZF_PUSH, rec, r.change, 0);
        }
    } else if (what == Applied::Lifted) {
        say("fleet ban " + std::to_string(rec.id) + " " + rec.guid + " lifted by " + ban->liftedBy +
            " (change #" + std::to_string(r.change) + ")");
        for (auto& [id, s] : state_.servers()) push(s, QZF_LIFT, rec, r.change, 0);
    }
}

}  // namespace qzm
