// The fleet ban service's serving loop: authentication and replay checks, lookups from memory,
// reports through the store, pushes of new and lifted bans.
#include "qzmaster/fleet_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qzm {

namespace {

constexpr int64_t kInterestSeconds = 86400;  // a lookup makes a server hear of that GUID's bans
constexpr int kSyncMax = 64;                 // pushes answering one hello
constexpr int kRefusalLogsPerSecond = 10;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t nowMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

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
            *error = "the fleet service keeps its data in --dir DIR or --db CONNINFO";
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
        log_.push_back("fleet store ready: " + std::to_string(state_.liveCount()) +
                       " fleet bans, " + std::to_string(state_.servers().size()) + " servers");
    }
    long long now = nowMs();
    if (now - lastNotesMs_ >= 1000) {
        lastNotesMs_ = now;
        notes(now);
    }
}

// Once a second: the replay high-water marks that moved, and the store's state when it changed.
void FleetService::notes(long long) {
    for (auto& [id, s] : state_.servers()) {
        if (s.window.highest > s.storedHigh) {
            s.storedHigh = s.window.highest;
            store_->noteHighWater(id, s.window.highest);
        }
    }
    std::string status = store_->status();
    if (status != lastStatus_) {
        lastStatus_ = status;
        if (!status.empty()) log_.push_back(status);
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
        log_.push_back(std::string("refused ") + fleetRefusalName(reason) + " from " +
                       addressText(from) + (server && *server ? std::string(" id ") + server : "") +
                       " (" + std::to_string(counters_.refused[reason]) + " so far)");
    }
}

void FleetService::packet(const char* data, int length, const sockaddr_in& from) {
    FleetEnvelope env;
    if (fleetOpen(data, length, &env) != QZF_OK) return refuse(QZF_BAD_SYNTAX, from, "");
    FleetServer* s = state_.server(env.server);
    if (!s) return refuse(QZF_UNKNOWN_SERVER, from, env.server);
    if (s->cutOff) return refuse(QZF_CUT_OFF, from, env.server);
    if (!fleetVerify(env, QZF_TO_SERVICE, s->secret)) return refuse(QZF_BAD_MAC, from, env.server);
    if (!fleetWindowAccept(&s->window, env.counter)) return refuse(QZF_REPLAY, from, env.server);
    if (!s->haveAddress || s->address.sin_addr.s_addr != from.sin_addr.s_addr ||
        s->address.sin_port != from.sin_port) {
        s->address = from;
        s->haveAddress = true;
        store_->noteAddress(s->id, addressText(from));
    }
    FleetBody b;
    if (!fleetParse(env.body, env.bodyLen, &b)) return refuse(QZF_BAD_SYNTAX, from, env.server);
    switch (b.kind) {
        case QZF_QUERY: return b.sync ? hello(*s, b) : lookup(*s, b);
        case QZF_REPORT: return report(*s, b);
        case QZF_UNBAN: return unban(*s, b);
        default:
            // Audit lines are not kept by this service; answers and pushes never come this way.
            return;
    }
}

void FleetService::lookup(FleetServer& s, const FleetBody& b) {
    if (!store_->ready()) {
        // Without the whole ban list an answer could clear a banned player: the module asks
        // again later.
        ++counters_.notReady;
        return;
    }
    ++counters_.lookups;
    int64_t now = time(nullptr);
    const FleetBan* ban = state_.liveBan(b.guid, now);
    if (ban) ++counters_.banned;
    answer(s.id, ban ? static_cast<uint64_t>(ban->rec.id) : 0, b.id, ban ? QZF_BANNED : QZF_CLEAR,
           b.guid, ban ? ban->rec.name : "");
    if (state_.noteInterest(b.guid, s.id, now)) store_->noteInterest(b.guid, s.id, now);
}

void FleetService::hello(FleetServer& s, const FleetBody& b) {
    if (!store_->ready()) return;
    int64_t now = time(nullptr);
    const auto& bans = state_.bans();
    int sent = 0;
    for (auto it = bans.upper_bound(static_cast<int64_t>(b.fleetId));
         it != bans.end() && sent < kSyncMax; ++it) {
        const BanRecord& r = it->second.rec;
        if (it->second.lifted || (r.lengthMin > 0 && r.banTime + r.lengthMin * 60 <= now)) continue;
        push(s, QZF_PUSH, r);
        ++sent;
    }
}

void FleetService::report(FleetServer& s, const FleetBody& b) {
    auto key = std::make_pair(s.id, b.id);
    if (inFlight_.count(key)) return;  // the answer to the first copy is on its way
    int64_t now = time(nullptr);
    if (int64_t known = state_.reported(s.id, b.id)) {
        const FleetBan* ban = state_.ban(known);
        answer(s.id, static_cast<uint64_t>(known), b.id, QZF_ACK, b.guid,
               ban ? ban->rec.name : b.name);
        return;
    }
    BanRecord rec;
    rec.id = 0;
    put(rec.server, s.id.c_str());
    rec.reportId = b.id;
    put(rec.guid, b.guid);
    rec.banTime = static_cast<int64_t>(b.time);
    rec.lengthMin = static_cast<int64_t>(b.length);
    put(rec.address, b.addr[0] ? b.addr : "?");
    put(rec.origin, b.origin[0] ? b.origin : "-");
    rec.received = now;
    std::string name;
    cleanName(b.name, &name);
    put(rec.name, name.c_str());
    inFlight_.insert(key);
    if (state_.noteInterest(b.guid, s.id, now)) store_->noteInterest(b.guid, s.id, now);
    std::string server = s.id, guid = b.guid;
    uint32_t reportId = b.id;
    store_->reportBan(rec, [this, server, guid, name, reportId](int64_t id) {
        inFlight_.erase({server, reportId});
        if (id <= 0) {
            log_.push_back("report " + server + "/" + std::to_string(reportId) +
                           " not stored: " + store_->status());
            return;  // no answer: the server sends it again
        }
        ++counters_.reports;
        answer(server, static_cast<uint64_t>(id), reportId, QZF_ACK, guid.c_str(), name.c_str());
    });
}

void FleetService::adminBan(const BanRecord& rec, BanDone done) {
    if (!store_ || !store_->ready()) return done(0);
    store_->reportBan(rec, std::move(done));
}

void FleetService::unban(FleetServer& s, const FleetBody& b) {
    auto key = std::make_pair(s.id, b.id);
    if (inFlight_.count(key)) return;
    inFlight_.insert(key);
    std::string server = s.id, guid = b.guid;
    uint32_t reportId = b.id;
    uint64_t fleetId = b.fleetId;
    store_->reportUnban(
        server, reportId, b.guid, static_cast<int64_t>(b.fleetId), time(nullptr),
        [this, server, guid, reportId, fleetId](bool ok, const std::vector<int64_t>& lifted) {
            inFlight_.erase({server, reportId});
            if (!ok) return;
            ++counters_.unbans;
            log_.push_back("unban " + guid + " from " + server + ": " +
                           std::to_string(lifted.size()) + " lifted");
            answer(server, fleetId, reportId, QZF_ACK, guid.c_str(), "");
        });
}

void FleetService::answer(const std::string& server, uint64_t fleetId, uint32_t id,
                          const char* verdict, const char* guid, const char* name) {
    FleetServer* s = state_.server(server);
    if (!s) return;
    FleetBody a{};
    a.kind = QZF_ANSWER;
    a.fleetId = fleetId;
    a.id = id;
    put(a.verdict, verdict);
    put(a.answerKind, "GUID");
    put(a.guid, guid);
    fleetCleanName(name, a.name);
    send(*s, a);
}

void FleetService::push(FleetServer& s, char kind, const BanRecord& ban) {
    FleetBody p{};
    p.kind = kind;
    p.fleetId = static_cast<uint64_t>(ban.id);
    p.id = ++pushSeq_;
    put(p.guid, ban.guid);
    put(p.server, ban.server);
    fleetCleanName(ban.name, p.name);
    p.time = static_cast<uint64_t>(ban.banTime);
    p.length = static_cast<uint64_t>(ban.lengthMin);
    ++counters_.pushes;
    send(s, p);
}

void FleetService::send(FleetServer& s, const FleetBody& body) {
    if (!s.haveAddress || s.cutOff) return;
    char text[QZF_BODY_MAX + 1];
    int n = fleetFormat(text, sizeof text, body);
    if (n <= 0) return;
    char out[QZF_PACKET_MAX + 1];
    int len = fleetSeal(out, sizeof out, text, n, s.id.c_str(),
                        fleetNextCounter(&s.sent, nowMicros()), QZF_TO_SERVER, s.secret);
    if (len <= 0) return;
    sendto(fd_, out, static_cast<size_t>(len), 0, reinterpret_cast<const sockaddr*>(&s.address),
           sizeof s.address);
}

// Everything the store learns passes here: at start, from this master's own writes, from other
// masters and from the command line. A new ban goes to every server that asked about its GUID
// in the last day (or reported it); a lift goes to every server the service can reach, since
// any of them may have been told of the ban by a hello.
void FleetService::onRecord(const FleetRecord& r) {
    const FleetBan* ban = nullptr;
    Applied what = state_.apply(r, &ban);
    if (!store_ || !store_->ready() || !ban) return;
    BanRecord rec = ban->rec;
    if (what == Applied::NewBan) {
        log_.push_back("fleet ban " + std::to_string(rec.id) + " " + rec.guid + " from " +
                       rec.server + " \"" + rec.name + "\"");
        std::vector<std::string> servers;
        state_.interested(rec.guid, time(nullptr) - kInterestSeconds, &servers);
        for (const std::string& id : servers) {
            FleetServer* s = state_.server(id);
            if (s && id != rec.server) push(*s, QZF_PUSH, rec);
        }
    } else if (what == Applied::Lifted) {
        log_.push_back("fleet ban " + std::to_string(rec.id) + " " + rec.guid + " lifted by " +
                       ban->liftedBy);
        for (auto& [id, s] : state_.servers()) push(s, QZF_LIFT, rec);
    }
}

}  // namespace qzm
