// Fault injection until the fleet converges: three fleet members that follow the module's side of
// the exchange (a report queue with an epoch, resent until answered; hellos paged through the
// change sequence; a cache of fleet bans by id), two masters on one PostgreSQL database, and a
// UDP proxy between them that drops, duplicates, delays and reorders datagrams. Random steps make
// fleet bans with names of any bytes, scoped unbans from members and from the command line, kill
// and restart masters, end the masters' database connections, and restart members with their
// queue or cache lost or restored from an older copy. Then the faults stop, and within a bound
// every member's cache equals the database's live fleet bans, every acknowledged report is in the
// database once, and no report id was refused.
//
// Seeded: the seed is printed; QZ_FLEET_SEED=<n> replays a run. QZ_FLEET_ROUNDS=<n> (default 2)
// sets how many fault rounds run: the soak is
//   QZ_FLEET_ROUNDS=40 qz_tests --gtest_filter='*FleetConvergence*'
// and prints the convergence time of every round and their p50/p99/max.
// Built only where the program has PostgreSQL (the 32-bit build has no libpq).
#ifdef QZ_HAVE_LIBPQ

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "fleet_fixture.h"

using namespace fleettest;

namespace {

int udpSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int bytes = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return fd;
}

unsigned portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

sockaddr_in loopback(unsigned port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// The proxy: for each master one socket the members send to, and for each (master, member) one
// socket that speaks to the master, so each member keeps an address of its own. Every datagram
// may be dropped, sent twice or held back (which reorders).
struct Proxy {
    struct Held {
        long long at;
        int fd;
        sockaddr_in to;
        std::string data;
    };
    std::mt19937_64* rng = nullptr;
    double drop = 0, twice = 0;
    int delayMs = 0;
    std::vector<int> front;               // per master
    std::vector<unsigned> masterPort;     // per master
    std::vector<std::vector<int>> inner;  // [master][member]
    std::vector<unsigned> memberPort;     // per member
    std::vector<Held> held;

    void setUp(size_t masters, const std::vector<unsigned>& members) {
        memberPort = members;
        for (size_t m = 0; m < masters; ++m) {
            front.push_back(udpSocket());
            masterPort.push_back(0);
            inner.emplace_back();
            for (size_t i = 0; i < members.size(); ++i) inner.back().push_back(udpSocket());
        }
    }
    ~Proxy() {
        for (int fd : front) close(fd);
        for (auto& v : inner)
            for (int fd : v) close(fd);
    }
    void pass(int fd, const sockaddr_in& to, const char* data, size_t n) {
        std::uniform_real_distribution<double> p(0, 1);
        if (p(*rng) < drop) return;
        int copies = p(*rng) < twice ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            long long wait = delayMs ? static_cast<long long>((*rng)() % (delayMs + 1)) : 0;
            held.push_back(Held{nowMs() + wait, fd, to, std::string(data, n)});
        }
    }
    void pump() {
        char buf[QZF_PACKET_MAX + 1];
        for (size_t m = 0; m < front.size(); ++m) {
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(front[m], buf, sizeof buf, 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
                if (n <= 0) break;
                for (size_t i = 0; i < memberPort.size(); ++i)
                    if (ntohs(from.sin_port) == memberPort[i] && masterPort[m])
                        pass(inner[m][i], loopback(masterPort[m]), buf, static_cast<size_t>(n));
            }
            for (size_t i = 0; i < memberPort.size(); ++i) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    ssize_t n = recvfrom(inner[m][i], buf, sizeof buf, 0,
                                         reinterpret_cast<sockaddr*>(&from), &len);
                    if (n <= 0) break;
                    // A master's packet reaches the member from that master's front, whichever
                    // member address it was sent to (masters share where a server is, so master
                    // 1 may push to the address master 0 saw).
                    for (size_t k = 0; k < front.size(); ++k)
                        if (masterPort[k] && ntohs(from.sin_port) == masterPort[k])
                            pass(front[k], loopback(memberPort[i]), buf, static_cast<size_t>(n));
                }
            }
        }
        // What is due goes out in the order it came (delays alone reorder).
        long long now = nowMs();
        size_t kept = 0;
        for (size_t k = 0; k < held.size(); ++k) {
            if (held[k].at > now) {
                held[kept++] = std::move(held[k]);
                continue;
            }
            sendto(held[k].fd, held[k].data.data(), held[k].data.size(), 0,
                   reinterpret_cast<const sockaddr*>(&held[k].to), sizeof held[k].to);
        }
        held.resize(kept);
    }
};

// A fleet member as the module behaves: what it must converge to is its cache.
struct Member {
    struct Report {
        FleetBody body;
        std::string text;  // what was reported, for the check
    };
    struct Files {
        uint64_t sync = 0;
        std::map<uint64_t, std::string> cache;  // fleet id -> GUID
        std::set<uint64_t> lifted;              // lifts seen: a later push of one is stale
    };
    std::string id;
    unsigned char key[QZF_KEY_BYTES] = {};
    int fd = -1;
    std::mt19937_64* rng = nullptr;
    std::vector<unsigned> masters;  // proxy fronts
    size_t current = 0;
    std::map<unsigned, FleetWindow> windows;
    uint64_t counter = 0;
    uint64_t epoch = 0;
    uint32_t nextReport = 0;
    std::deque<Report> queue;
    long long sentAtMs = 0, heardAtMs = 0, helloAtMs = 0, headAtMs = 0;
    uint32_t helloId = 0, nextRequest = 0x80000000u;
    // Page messages by the epoch of the master start that sent them: a hello replayed to a
    // restarted master is answered twice, and one page's end must not count the other's.
    std::map<uint64_t, std::set<uint64_t>> pageGot;
    FleetBody pageEnd{};
    uint64_t pageEndFrom = 0;
    long long pageEndAtMs = 0;
    Files files, saved;
    // Outcomes, for the checks.
    std::map<std::pair<uint64_t, uint32_t>, std::string> acked;  // (epoch, id) -> guid
    std::map<std::string, uint64_t> ownBans;                     // guid -> fleet id
    long refused = 0;
    std::string lastPage = "none";

    Member(const std::string& name, const std::string& keyHex, std::mt19937_64* r)
        : id(name), rng(r) {
        fleetKeyParse(keyHex.data(), static_cast<int>(keyHex.size()), key);
        fd = udpSocket();
        newQueue();
    }
    ~Member() { close(fd); }
    void newQueue() {
        do epoch = (*rng)();
        while (!epoch);
        nextReport = 0;
        queue.clear();
        headAtMs = 0;
    }
    void send(const FleetBody& b) {
        char text[QZF_BODY_MAX + 1];
        int n = fleetFormat(text, sizeof text, b);
        if (n <= 0) return;
        char out[QZF_PACKET_MAX + 1];
        int len = fleetSeal(out, sizeof out, text, n, id.c_str(),
                            fleetNextCounter(&counter, nowMicros()), QZF_TO_SERVICE, key);
        sockaddr_in to = loopback(masters[current]);
        sendto(fd, out, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void ban(const std::string& guid, const std::string& name) {
        Report r{};
        r.body.kind = QZF_REPORT;
        r.body.epoch = epoch;
        r.body.id = ++nextReport;
        r.body.time = 1765432100;
        r.body.banKind = 'G';
        snprintf(r.body.guid, sizeof r.body.guid, "%s", guid.c_str());
        snprintf(r.body.addr, sizeof r.body.addr, "10.0.0.5");
        snprintf(r.body.origin, sizeof r.body.origin, "console");
        fleetCleanName(name.c_str(), r.body.name);
        r.text = guid;
        queue.push_back(r);
    }
    void unban(const std::string& guid, uint64_t fleetId, const char* scope) {
        Report r{};
        r.body.kind = QZF_UNBAN;
        r.body.epoch = epoch;
        r.body.id = ++nextReport;
        r.body.fleetId = fleetId;
        r.body.time = 1765432200;
        snprintf(r.body.guid, sizeof r.body.guid, "%s", guid.c_str());
        snprintf(r.body.scope, sizeof r.body.scope, "%s", scope);
        queue.push_back(r);
    }
    void hello() {
        helloId = ++nextRequest;
        pageGot.clear();
        pageEndAtMs = 0;
        FleetBody b{};
        b.kind = QZF_QUERY;
        b.id = helloId;
        b.sync = 1;
        b.fleetId = files.sync;
        b.time = 1765432300;
        snprintf(b.guid, sizeof b.guid, "*");
        snprintf(b.addr, sizeof b.addr, "sync:%llu", static_cast<unsigned long long>(files.sync));
        send(b);
        helloAtMs = nowMs();
    }
    void onMessage(const FleetBody& b, uint64_t from) {
        if (b.kind == QZF_PUSH || b.kind == QZF_LIFT) {
            if (b.id && b.id == helloId) {
                pageGot[from].insert(b.change);
                weighPage(false);
            }
            if (b.kind == QZF_LIFT) {
                files.lifted.insert(b.fleetId);
                files.cache.erase(b.fleetId);
            } else if (!files.lifted.count(b.fleetId)) {
                files.cache[b.fleetId] = b.guid;
            }
            return;
        }
        if (b.kind == QZF_PAGE) {
            lastPage = std::to_string(b.after) + ".." + std::to_string(b.change) + " count " +
                       std::to_string(b.count) + " got " + std::to_string(pageGot[from].size()) +
                       (b.id == helloId ? "" : " (an older hello)");
        }
        if (b.kind == QZF_PAGE && b.id == helloId) {
            // The end may overtake its page: it is weighed once the page is all there, or
            // after a short wait for stragglers.
            pageEnd = b;
            pageEndFrom = from;
            pageEndAtMs = nowMs();
            return weighPage(false);
        }
        if (b.kind != QZF_ANSWER || queue.empty()) return;
        const FleetBody& head = queue.front().body;
        if (b.epoch != head.epoch || b.id != head.id) return;
        if (!strcmp(b.verdict, QZF_REFUSED)) {
            ++refused;
        } else if (head.kind == QZF_REPORT) {
            acked[{head.epoch, head.id}] = head.guid;
            ownBans[head.guid] = b.fleetId;
        }
        queue.pop_front();
        sentAtMs = 0;
        headAtMs = 0;
    }
    void weighPage(bool late) {
        if (!pageEndAtMs || pageEnd.id != helloId) return;
        if (pageEnd.count == pageGot[pageEndFrom].size() && pageEnd.change >= files.sync) {
            pageEndAtMs = 0;
            files.sync = pageEnd.change;
            if (pageEnd.more) return hello();
            helloId = 0;
        } else if (late) {
            pageEndAtMs = 0;
            helloAtMs = nowMs() - 1750;  // ask again shortly
        }
    }
    void tick() {
        char buf[QZF_PACKET_MAX + 1];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) break;
            FleetEnvelope env;
            FleetBody b;
            if (fleetOpen(buf, static_cast<int>(n), &env) != QZF_OK || env.server != id ||
                !fleetVerify(env, QZF_TO_SERVER, key) ||
                !fleetWindowAccept(&windows[ntohs(from.sin_port)], env.counter) ||
                !fleetParse(env.body, env.bodyLen, &b))
                continue;
            heardAtMs = nowMs();
            onMessage(b, env.counter >> 32);
        }
        long long now = nowMs();
        if (pageEndAtMs && now - pageEndAtMs > 150) weighPage(true);
        // Fail over when the master in use has been silent for a while after being asked.
        // So does a master that answers hellos but leaves a report unanswered (its database
        // may be away).
        bool silent = sentAtMs && now - sentAtMs > 1500 && heardAtMs < sentAtMs;
        bool stuck = !queue.empty() && headAtMs && now - headAtMs > 2000;
        if (silent || stuck) {
            current = (current + 1) % masters.size();
            sentAtMs = 0;
            headAtMs = 0;
            helloId = 0;
        }
        if (!queue.empty() && (sentAtMs == 0 || now - sentAtMs > 300)) {
            send(queue.front().body);
            if (!sentAtMs) sentAtMs = now;
            if (!headAtMs) headAtMs = now;
        }
        if (now - helloAtMs > 2000) {
            if (!sentAtMs) sentAtMs = now;
            hello();
        }
    }
};

std::string sqlValue(const std::string& db, const std::string& text) {
    PGconn* c = PQconnectdb(db.c_str());
    std::string v;
    PGresult* r = PQexec(c, text.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0) v = PQgetvalue(r, 0, 0);
    PQclear(r);
    PQfinish(c);
    return v;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

}  // namespace

class FleetConvergence : public FleetTest {};

TEST_P(FleetConvergence, AfterAnyFaultsEveryCacheEqualsTheDatabaseAndNothingIsLostOrDoubled) {
    uint64_t seed = getenv("QZ_FLEET_SEED") ? strtoull(getenv("QZ_FLEET_SEED"), nullptr, 10)
                                            : static_cast<uint64_t>(nowMicros());
    int rounds = getenv("QZ_FLEET_ROUNDS") ? atoi(getenv("QZ_FLEET_ROUNDS")) : 2;
    printf("fleet convergence seed %llu (QZ_FLEET_SEED=%llu replays it), %d rounds\n",
           static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed), rounds);
    fflush(stdout);
    std::mt19937_64 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };

    const char* ids[] = {"alpha", "bravo", "charlie"};
    std::vector<std::unique_ptr<Member>> members;
    std::vector<unsigned> memberPorts;
    for (const char* id : ids) {
        members.push_back(std::make_unique<Member>(id, secrets_[id], &rng));
        memberPorts.push_back(portOf(members.back()->fd));
    }
    Proxy proxy;
    proxy.rng = &rng;
    proxy.setUp(2, memberPorts);
    std::vector<qzm::FleetService*> masters(2, nullptr);
    auto startMaster = [&](size_t k) {
        masters[k] = startService();
        proxy.masterPort[k] = masters[k]->port();
    };
    auto stopMaster = [&](size_t k) {
        for (auto it = services_.begin(); it != services_.end(); ++it) {
            if (it->get() == masters[k]) {
                services_.erase(it);
                break;
            }
        }
        masters[k] = nullptr;
        proxy.masterPort[k] = 0;
    };
    startMaster(0);
    startMaster(1);
    for (auto& m : members) {
        m->masters = {portOf(proxy.front[0]), portOf(proxy.front[1])};
        m->current = static_cast<size_t>(pick(2));
    }
    long refusedByMasters = 0;
    auto run = [&](int ms) {
        long long end = nowMs() + ms;
        do {
            proxy.pump();
            for (auto& m : members) m->tick();
            for (auto& s : services_) {
                s->poll();
                s->log().clear();
            }
            usleep(500);
        } while (nowMs() < end);
    };
    auto guidOf = [&](int n) {
        char g[16];
        snprintf(g, sizeof g, "C%05d", n);
        return std::string(g);
    };

    std::vector<double> convergeMs;
    int guids = 0;
    for (int round = 0; round < rounds; ++round) {
        proxy.drop = 0.15;
        proxy.twice = 0.1;
        proxy.delayMs = 40;
        for (int step = 0; step < 60; ++step) {
            Member& m = *members[static_cast<size_t>(pick(3))];
            switch (pick(12)) {
                case 0:
                case 1:
                case 2: {
                    std::string name;
                    for (int i = 0, n = 1 + pick(12); i < n; ++i)
                        name += static_cast<char>(0x20 + pick(0xe0));
                    m.ban(guidOf(++guids), name);
                    break;
                }
                case 3:
                    if (!m.ownBans.empty()) {
                        auto it = m.ownBans.begin();
                        std::advance(it, pick(static_cast<int>(m.ownBans.size())));
                        // The id known, or lost with the cache: scope own lifts it either way.
                        m.unban(it->first, pick(2) ? it->second : 0, QZF_SCOPE_OWN);
                        m.ownBans.erase(it);
                    }
                    break;
                case 4: {
                    // A deliberate lift of any server's ban of a GUID, from a member.
                    if (guids) m.unban(guidOf(1 + pick(guids)), 0, QZF_SCOPE_FLEET);
                    break;
                }
                case 5: {
                    // The command line lifts one.
                    if (guids) {
                        qzm::BanQuery q;
                        q.guid = guidOf(1 + pick(guids));
                        std::vector<qzm::BanListing> lifted;
                        std::string why;
                        store()->unban(q, "cli:soak", &lifted, &why);
                    }
                    break;
                }
                case 6: {
                    size_t k = static_cast<size_t>(pick(2));
                    if (masters[k]) {
                        refusedByMasters += masters[k]->counters().refusedReports;
                        stopMaster(k);
                    } else {
                        startMaster(k);
                    }
                    break;
                }
                case 7:
                    // The database restarts as the masters see it: every connection ends.
                    sqlValue(db_,
                             "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                             "WHERE datname = current_database() AND pid <> pg_backend_pid()");
                    break;
                case 8:
                    // The member restarts without its queue file: a new epoch, the queue lost.
                    m.newQueue();
                    m.helloId = 0;
                    break;
                case 9:
                    // Its cache file lost.
                    m.saved = m.files;
                    m.files = Member::Files{};
                    m.helloId = 0;
                    break;
                case 10:
                    // Its cache file restored from an older copy.
                    m.files = m.saved;
                    m.helloId = 0;
                    break;
                default: m.saved = m.files; break;
            }
            run(50 + pick(200));
        }
        // Heal: both masters up, no more faults.
        for (size_t k = 0; k < 2; ++k)
            if (!masters[k]) startMaster(k);
        proxy.drop = proxy.twice = 0;
        proxy.delayMs = 0;
        long long healed = nowMs();
        bool converged = false;
        std::string why;
        while (!converged && nowMs() - healed < 60000) {
            run(100);
            std::vector<qzm::BanListing> live;
            std::string error;
            if (!store()->listBans(qzm::BanQuery{}, &live, &error)) continue;
            std::map<uint64_t, std::string> want;
            for (const qzm::BanListing& b : live)
                want[static_cast<uint64_t>(b.rec.id)] = b.rec.guid;
            converged = true;
            for (auto& mm : members) {
                if (!mm->queue.empty()) {
                    converged = false;
                    why = mm->id + " still has reports queued";
                } else if (mm->files.cache != want) {
                    converged = false;
                    why = mm->id + " caches " + std::to_string(mm->files.cache.size()) +
                          " bans, the database has " + std::to_string(want.size()) +
                          " live; it is synced through change #" + std::to_string(mm->files.sync) +
                          " with master " + std::to_string(mm->current) + ", last page end " +
                          mm->lastPage;
                    for (size_t k = 0; k < 2; ++k)
                        why += "; master " + std::to_string(k) +
                               (masters[k] && masters[k]->ready()
                                    ? " ready through change #" +
                                          std::to_string(masters[k]->state().lastChange())
                                    : " not ready");
                }
            }
        }
        double ms = static_cast<double>(nowMs() - healed);
        printf("round %d: converged %s after %.0f ms\n", round, converged ? "yes" : "NO", ms);
        fflush(stdout);
        ASSERT_TRUE(converged) << why << " (seed " << seed << ")";
        convergeMs.push_back(ms);
    }

    // Every acknowledged report is in the database exactly once, and nothing else is.
    std::vector<qzm::BanListing> all;
    std::string error;
    qzm::BanQuery q;
    q.all = true;
    ASSERT_TRUE(store()->listBans(q, &all, &error)) << error;
    std::set<std::tuple<std::string, uint64_t, uint64_t>> stored;
    for (const qzm::BanListing& b : all) {
        auto key = std::make_tuple(std::string(b.rec.server), b.rec.reportEpoch, b.rec.reportId);
        EXPECT_TRUE(stored.insert(key).second) << "a report stored twice";
        bool made = false;
        for (auto& m : members) made |= m->id == b.rec.server && b.rec.guid[0] == 'C';
        EXPECT_TRUE(made) << "a ban nobody made: " << b.rec.guid;
    }
    for (auto& m : members) {
        for (const auto& [key, guid] : m->acked)
            EXPECT_TRUE(stored.count(std::make_tuple(m->id, key.first, uint64_t{key.second})))
                << m->id << " had report " << key.second << " (" << guid
                << ") acknowledged, and it is not stored";
        EXPECT_EQ(m->refused, 0) << m->id << " had a report refused (seed " << seed << ")";
    }
    for (qzm::FleetService* s : masters)
        if (s) refusedByMasters += s->counters().refusedReports;
    EXPECT_EQ(refusedByMasters, 0);
    printf("convergence after healing over %zu rounds: p50 %.0f ms, p99 %.0f ms, max %.0f ms\n",
           convergeMs.size(), percentile(convergeMs, 0.5), percentile(convergeMs, 0.99),
           percentile(convergeMs, 1.0));
}

INSTANTIATE_TEST_SUITE_P(TwoMastersOneDatabase, FleetConvergence,
                         ::testing::Values(StoreKind::Postgres), storeName);

#endif  // QZ_HAVE_LIBPQ
