// The fleet ban service under load: a generator plays many fleet servers over UDP and asks about
// players (one in ten banned) against a service holding many fleet bans, first in the file store
// and then in PostgreSQL (a throw-away server, or --db CONNINFO). It prints lookups per second
// and the answer time seen by the servers (send to authenticated answer over loopback): p50,
// p99, p99.9 and max, and how long the store took to load. Not a timed test: run it directly.
//   bench_fleet_service [--bans N] [--lookups N] [--servers N] [--inflight N] [--db CONNINFO]
// With --benchmark_min_time (the CTest smoke run) it uses small sizes.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/tools/qzmaster/fleet_client.h"
#include "qzmaster/fleet_cli.h"
#include "qzmaster/fleet_service.h"
#include "qzmaster/fleet_state.h"
#include "support/postgres.h"

#ifdef QZ_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

using fleettest::FakeServer;
using fleettest::nowMs;

namespace {

struct Settings {
    long bans = 1000000;
    long lookups = 200000;
    int servers = 64;
    int inflight = 32;
    std::string db;
};

std::string guidOf(long i) {
    char g[40];
    snprintf(g, sizeof g, "%016lX%016lX", static_cast<unsigned long>(i) * 2654435761ul, i);
    return g;
}

long long nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Fleet ban i is GUID guidOf(i), reported by server s<i % 8>.
bool bulkFile(const std::string& dir, long bans, std::string* error) {
    FILE* f = fopen((dir + "/fleet.log").c_str(), "a");
    if (!f) {
        *error = "cannot write the log";
        return false;
    }
    for (long i = 1; i <= bans; ++i) {
        fprintf(f,
                "B\t%ld\tbulk\t%lx\t%s\t1765432100\t0\t10.1.2.3\tconsole\t1765432100\tplayer%ld\n",
                i, i, guidOf(i).c_str(), i);
    }
    return fclose(f) == 0;
}

#ifdef QZ_HAVE_LIBPQ
bool bulkPg(const std::string& db, long bans, std::string* error) {
    PGconn* c = PQconnectdb(db.c_str());
    auto exec = [&](const char* sql) {
        PGresult* r = PQexec(c, sql);
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK ||
                  PQresultStatus(r) == PGRES_COPY_IN;
        if (!ok) *error = PQresultErrorMessage(r);
        PQclear(r);
        return ok;
    };
    // The change numbers are taken row by row by a trigger; a bulk load of a million rows
    // numbers them in one statement afterwards.
    bool ok = PQstatus(c) == CONNECTION_OK &&
              exec("ALTER TABLE fleet_bans DISABLE TRIGGER fleet_bans_change") &&
              exec(
                  "COPY fleet_bans (id, server_id, report_id, guid, name, address, origin, "
                  "ban_time, length_min, received) FROM STDIN");
    std::string chunk;
    for (long i = 1; ok && i <= bans; ++i) {
        char line[256];
        int n = snprintf(line, sizeof line,
                         "%ld\tbulk\t%lx\t%s\tplayer%ld\t10.1.2.3\tconsole\t1765432100\t0\t"
                         "1765432100\n",
                         i, i, guidOf(i).c_str(), i);
        chunk.append(line, static_cast<size_t>(n));
        if (chunk.size() > (1 << 20) || i == bans) {
            ok = PQputCopyData(c, chunk.data(), static_cast<int>(chunk.size())) == 1;
            chunk.clear();
        }
    }
    if (ok) {
        ok = PQputCopyEnd(c, nullptr) == 1;
        PGresult* r = PQgetResult(c);
        ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok) *error = PQresultErrorMessage(r);
        PQclear(r);
        while ((r = PQgetResult(c))) PQclear(r);
    }
    ok = ok && exec("ALTER TABLE fleet_bans ENABLE TRIGGER fleet_bans_change") &&
         exec(
             "INSERT INTO fleet_changes (seq, kind, ban_id, server_id, at) SELECT "
             "nextval('fleet_change_seq'), 'B', id, server_id, received FROM fleet_bans ORDER "
             "BY id") &&
         exec("SELECT setval('fleet_bans_id_seq', (SELECT max(id) FROM fleet_bans))") &&
         exec("ANALYZE fleet_bans");
    if (!ok && error->empty()) *error = PQerrorMessage(c);
    PQfinish(c);
    return ok;
}
#endif

struct Figures {
    double loadSeconds = 0;
    double perSecond = 0;
    long long p50 = 0, p99 = 0, p999 = 0, max = 0;
    long answered = 0, banned = 0;
};

bool measure(const Settings& set, const std::string& db, const std::string& dir, Figures* fig,
             std::string* error) {
    std::unique_ptr<qzm::FleetStore> admin = qzm::openFleetStore(db, dir, error);
    if (!admin || !admin->migrate(error) || !admin->addServer("bulk", qzm::newSecretHex(), error))
        return false;
    std::vector<std::string> ids, secrets;
    for (int i = 0; i < set.servers; ++i) {
        ids.push_back("load" + std::to_string(i));
        secrets.push_back(qzm::newSecretHex());
        if (!admin->addServer(ids.back(), secrets.back(), error)) return false;
    }
    long long t0 = nowMs();
#ifdef QZ_HAVE_LIBPQ
    if (!db.empty() && !bulkPg(db, set.bans, error)) return false;
#endif
    if (db.empty() && !bulkFile(dir, set.bans, error)) return false;
    long long t1 = nowMs();
    printf("  bulk load of %ld bans: %.1f s\n", set.bans, (t1 - t0) / 1000.0);

    qzm::FleetService service;
    qzm::FleetOptions o;
    o.port = 0;
    o.db = db;
    o.dir = dir;
    if (!service.start(o, error)) return false;
    while (!service.ready()) {
        service.poll();
        usleep(200);
    }
    fig->loadSeconds = (nowMs() - t1) / 1000.0;
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) {
            service.poll();
            pollfd p{service.fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
            service.log().clear();
        }
    });

    std::vector<std::unique_ptr<FakeServer>> members;
    for (int i = 0; i < set.servers; ++i)
        members.push_back(std::make_unique<FakeServer>(ids[i], secrets[i], service.port()));
    std::vector<long long> times;
    times.reserve(static_cast<size_t>(set.lookups));
    std::map<uint64_t, long long> sentAt;  // (member << 32 | request id) -> time sent
    long sent = 0;
    uint32_t nextId = 1;
    long long start = nowUs(), deadline = nowMs() + 120000;
    char buf[QZF_PACKET_MAX + 1];
    std::vector<pollfd> fds(members.size());
    while (fig->answered < set.lookups && nowMs() < deadline) {
        while (static_cast<int>(sentAt.size()) < set.inflight && sent < set.lookups) {
            size_t m = static_cast<size_t>(sent) % members.size();
            long which = sent % 10 == 0 ? 1 + (sent * 7919) % set.bans : set.bans + 1 + sent;
            uint32_t id = nextId++;
            sentAt[static_cast<uint64_t>(m) << 32 | id] = nowUs();
            members[m]->lookup(id, guidOf(which).c_str());
            ++sent;
        }
        for (size_t m = 0; m < members.size(); ++m) fds[m] = pollfd{members[m]->fd, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), 100) <= 0) {
            // Lost on a full socket buffer: sent again under a new id.
            long long now = nowUs();
            for (auto it = sentAt.begin(); it != sentAt.end();) {
                if (now - it->second > 1000000) {
                    it = sentAt.erase(it);
                    --sent;
                } else {
                    ++it;
                }
            }
            continue;
        }
        for (size_t m = 0; m < members.size(); ++m) {
            if (!(fds[m].revents & POLLIN)) continue;
            FakeServer& s = *members[m];
            ssize_t n;
            while ((n = recv(s.fd, buf, sizeof buf, 0)) > 0) {
                long long now = nowUs();
                FleetEnvelope env;
                FleetBody b;
                if (fleetOpen(buf, static_cast<int>(n), &env) != QZF_OK ||
                    !fleetVerify(env, QZF_TO_SERVER, s.key) ||
                    !fleetParse(env.body, env.bodyLen, &b) || b.kind != QZF_ANSWER)
                    continue;
                auto it = sentAt.find(static_cast<uint64_t>(m) << 32 | b.id);
                if (it == sentAt.end()) continue;
                times.push_back(now - it->second);
                sentAt.erase(it);
                ++fig->answered;
                fig->banned += strcmp(b.verdict, QZF_BANNED) == 0;
            }
        }
    }
    double seconds = (nowUs() - start) / 1e6;
    stop = true;
    loop.join();
    if (times.empty()) {
        *error = "no answers";
        return false;
    }
    std::sort(times.begin(), times.end());
    auto at = [&](double q) {
        return times[std::min(times.size() - 1, static_cast<size_t>(q * times.size()))];
    };
    fig->perSecond = fig->answered / seconds;
    fig->p50 = at(0.5);
    fig->p99 = at(0.99);
    fig->p999 = at(0.999);
    fig->max = times.back();
    return true;
}

void show(const char* store, const Settings& set, const Figures& f) {
    printf(
        "%-10s bans %8ld  load %6.1f s  lookups %7ld  %8.0f/s  answer us: p50 %5lld  p99 "
        "%6lld  p99.9 %6lld  max %7lld  (banned %ld)\n",
        store, set.bans, f.loadSeconds, f.answered, f.perSecond, f.p50, f.p99, f.p999, f.max,
        f.banned);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Settings set;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--bans" && more) {
            set.bans = atol(argv[++i]);
        } else if (a == "--lookups" && more) {
            set.lookups = atol(argv[++i]);
        } else if (a == "--servers" && more) {
            set.servers = atoi(argv[++i]);
        } else if (a == "--inflight" && more) {
            set.inflight = atoi(argv[++i]);
        } else if (a == "--db" && more) {
            set.db = argv[++i];
        } else if (a.rfind("--benchmark_min_time", 0) == 0) {
            set.bans = 1000;
            set.lookups = 2000;
            set.servers = 4;
        } else {
            fprintf(stderr,
                    "usage: %s [--bans N] [--lookups N] [--servers N] [--inflight N] "
                    "[--db CONNINFO]\n",
                    argv[0]);
            return 2;
        }
    }
    if (set.bans < 1 || set.lookups < 1 || set.servers < 1 || set.inflight < 1) return 2;
    std::string error;
    char pattern[] = "/tmp/qzbenchfleet-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;
    Figures file;
    bool ok = measure(set, "", dir, &file, &error);
    std::string cleanup = dir + "/fleet.log";
    unlink(cleanup.c_str());
    rmdir(dir.c_str());
    if (!ok) {
        fprintf(stderr, "file store: %s\n", error.c_str());
        return 1;
    }
    show("file", set, file);

    std::string db = set.db;
    if (db.empty()) {
        qztest::Postgres* pg = qztest::Postgres::shared(&error);
        if (pg) db = pg->createDatabase(&error);
    }
    if (db.empty() || !qzm::pgBuiltIn()) {
        printf("PostgreSQL skipped: %s\n", qzm::pgBuiltIn() ? error.c_str() : "not built in");
        return 0;
    }
    Figures pgFig;
    if (!measure(set, db, "", &pgFig, &error)) {
        fprintf(stderr, "PostgreSQL: %s\n", error.c_str());
        return 1;
    }
    show("PostgreSQL", set, pgFig);
    return 0;
}
