// The PostgreSQL fleet store. Serving uses one connection through libpq's asynchronous calls
// only (PQconnectStart/PQconnectPoll, PQsendQueryParams, PQconsumeInput/PQisBusy/PQgetResult,
// PQnotifies): statements wait in a queue and go out one at a time, and nothing here ever waits
// for the database. The service answers lookups from memory, so a slow statement delays only the
// reports queued behind it. Changes by any master or by the command line come back as
// notifications on the channel qz_fleet, each carrying a record line (fleet_records.h).
// Administration opens a connection of its own and may wait.
#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <deque>

#include "qzmaster/fleet_migrations.h"
#include "qzmaster/fleet_state.h"
#include "qzmaster/fleet_store.h"

namespace qzm {

namespace {

constexpr size_t kQueueMax = 20000;     // statements waiting; beyond it reports are refused
constexpr size_t kNoteQueueMax = 5000;  // notes are dropped first
constexpr long long kRetryMs = 1000;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hexId(uint64_t v) {
    char b[24];
    snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
    return b;
}

int64_t cell(PGresult* r, int row, int col) {
    return strtoll(PQgetvalue(r, row, col), nullptr, 10);
}

template <size_t N>
void put(char (&dst)[N], const char* src) {
    snprintf(dst, N, "%s", src);
}

// A ban row (id, server_id, report_id, guid, ban_time, length_min, address, origin, received,
// name, lifted_at, lifted_by) as records: the ban, and its lifting when lifted.
void banRecords(PGresult* r, int row, const RecordSink& sink) {
    FleetRecord b;
    b.kind = 'B';
    b.ban.id = cell(r, row, 0);
    b.id = b.ban.id;
    put(b.ban.server, PQgetvalue(r, row, 1));
    b.ban.reportId = strtoull(PQgetvalue(r, row, 2), nullptr, 16);
    put(b.ban.guid, PQgetvalue(r, row, 3));
    b.ban.banTime = cell(r, row, 4);
    b.ban.lengthMin = cell(r, row, 5);
    put(b.ban.address, PQgetvalue(r, row, 6));
    put(b.ban.origin, PQgetvalue(r, row, 7));
    b.ban.received = cell(r, row, 8);
    put(b.ban.name, PQgetvalue(r, row, 9));
    sink(b);
    if (!PQgetisnull(r, row, 10)) {
        FleetRecord l;
        l.kind = 'L';
        l.id = b.ban.id;
        l.time = cell(r, row, 10);
        put(l.text1, PQgetvalue(r, row, 11));
        sink(l);
    }
}

const char* kBanColumns =
    "id, server_id, report_id, guid, ban_time, length_min, address, origin, received, name, "
    "lifted_at, coalesce(lifted_by, '-')";

// A server row (id, secret, cut_off, added_at, recv_high, last_addr) as records.
void serverRecords(PGresult* r, int row, const RecordSink& sink) {
    FleetRecord s;
    s.kind = 'S';
    put(s.text1, PQgetvalue(r, row, 0));
    put(s.secret, PQgetvalue(r, row, 1));
    s.time = cell(r, row, 3);
    sink(s);
    FleetRecord c;
    c.kind = 'C';
    put(c.text1, s.text1);
    c.flag = PQgetvalue(r, row, 2)[0] == 't' ? 1 : 0;
    sink(c);
    FleetRecord h;
    h.kind = 'H';
    put(h.text1, s.text1);
    h.counter = static_cast<uint64_t>(cell(r, row, 4));
    sink(h);
    if (PQgetvalue(r, row, 5)[0]) {
        FleetRecord a;
        a.kind = 'A';
        put(a.text1, s.text1);
        put(a.text2, PQgetvalue(r, row, 5));
        sink(a);
    }
}

const char* kServerColumns = "id, secret, cut_off, added_at, recv_high, last_addr";

class PgStore : public FleetStore {
  public:
    explicit PgStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PgStore() override {
        if (conn_) PQfinish(conn_);
        if (admin_) PQfinish(admin_);
    }

    bool open(const RecordSink& sink, std::string* error) override {
        char* message = nullptr;
        PQconninfoOption* parsed = PQconninfoParse(conninfo_.c_str(), &message);
        if (!parsed) {
            *error = std::string("bad database address: ") + (message ? message : "");
            PQfreemem(message);
            return false;
        }
        PQconninfoFree(parsed);
        sink_ = sink;
        connect();
        return true;
    }
    bool ready() const override { return ready_; }

    void poll() override {
        if (!conn_) {
            if (nowMs() >= retryAtMs_) connect();
            return;
        }
        if (connecting_) {
            stepConnect();
            return;
        }
        if (!PQconsumeInput(conn_)) return lost(PQerrorMessage(conn_));
        notifications();
        results();
        if (!conn_) return;
        send();
        if (PQflush(conn_) < 0) lost(PQerrorMessage(conn_));
    }

    void reportBan(const BanRecord& rec, BanDone done) override {
        if (queue_.size() >= kQueueMax) return done(0);
        Op op;
        op.sql =
            "WITH ins AS (INSERT INTO fleet_bans (server_id, report_id, guid, name, address, "
            "origin, ban_time, length_min, received) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) "
            "ON CONFLICT (server_id, report_id) DO NOTHING RETURNING id) "
            "SELECT id FROM ins UNION ALL "
            "SELECT id FROM fleet_bans WHERE server_id = $1 AND report_id = $2";
        op.params = {rec.server,
                     hexId(rec.reportId),
                     rec.guid,
                     rec.name,
                     rec.address,
                     rec.origin,
                     std::to_string(rec.banTime),
                     std::to_string(rec.lengthMin),
                     std::to_string(rec.received)};
        op.done = [done](PGresult* r) {
            bool ok = r && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) >= 1;
            done(ok ? cell(r, 0, 0) : 0);
        };
        queue_.push_back(std::move(op));
    }

    void reportUnban(const std::string& server, uint64_t reportId, const char* guid, int64_t banId,
                     int64_t now, UnbanDone done) override {
        if (queue_.size() >= kQueueMax) return done(false, {});
        Op op;
        op.sql =
            "WITH u AS (INSERT INTO fleet_unbans (server_id, report_id, guid, ban_id, received) "
            "VALUES ($1, $2, $3, $4::bigint, $5::bigint) ON CONFLICT DO NOTHING RETURNING 1), "
            "l AS (UPDATE fleet_bans SET lifted_at = $5::bigint, lifted_by = 'server:' || $1::text "
            "WHERE lifted_at IS NULL AND upper(guid) = upper($3) AND ($4::bigint = 0 OR id = "
            "$4::bigint) "
            "AND EXISTS (SELECT 1 FROM u) RETURNING id) SELECT id FROM l";
        op.params = {server, hexId(reportId), guid, std::to_string(banId), std::to_string(now)};
        op.done = [done](PGresult* r) {
            std::vector<int64_t> lifted;
            bool ok = r && PQresultStatus(r) == PGRES_TUPLES_OK;
            for (int i = 0; ok && i < PQntuples(r); ++i) lifted.push_back(cell(r, i, 0));
            done(ok, lifted);
        };
        queue_.push_back(std::move(op));
    }

    void noteInterest(const char* guid, const std::string& server, int64_t now) override {
        if (queue_.size() >= kNoteQueueMax) return;
        Op op;
        op.sql =
            "INSERT INTO fleet_interest (guid, server_id, asked_at) VALUES (upper($1::text), $2, "
            "$3::bigint) "
            "ON CONFLICT (guid, server_id) DO UPDATE SET asked_at = "
            "greatest(fleet_interest.asked_at, EXCLUDED.asked_at)";
        op.params = {guid, server, std::to_string(now)};
        queue_.push_back(std::move(op));
    }

    void noteHighWater(const std::string& server, uint64_t counter) override {
        if (queue_.size() >= kNoteQueueMax) return;
        Op op;
        op.sql =
            "UPDATE fleet_servers SET recv_high = greatest(recv_high, $2::bigint) WHERE id = $1";
        op.params = {server, std::to_string(counter > LLONG_MAX ? LLONG_MAX : counter)};
        queue_.push_back(std::move(op));
    }

    void noteAddress(const std::string& server, const std::string& address) override {
        if (queue_.size() >= kNoteQueueMax) return;
        Op op;
        op.sql = "UPDATE fleet_servers SET last_addr = $2 WHERE id = $1 AND last_addr <> $2";
        op.params = {server, address};
        queue_.push_back(std::move(op));
    }

    std::string status() const override { return status_; }

    bool migrate(std::string* error) override {
        if (!adminConnect(error)) return false;
        if (!exec("CREATE TABLE IF NOT EXISTS schema_version (version integer PRIMARY KEY, "
                  "name text NOT NULL, applied_at timestamptz NOT NULL DEFAULT now())",
                  {}, error)) {
            return false;
        }
        for (size_t i = 0; i < kFleetMigrationCount; ++i) {
            const FleetMigration& m = kFleetMigrations[i];
            // One transaction per migration; the lock keeps two masters migrating at once from
            // applying the same one twice.
            if (!exec("BEGIN", {}, error)) return false;
            bool ok = exec("SELECT pg_advisory_xact_lock(7162534)", {}, error);
            PGresult* r = ok ? params("SELECT 1 FROM schema_version WHERE version = $1::integer",
                                      {std::to_string(m.version)}, error)
                             : nullptr;
            ok = r != nullptr;
            bool applied = ok && PQntuples(r) > 0;
            if (r) PQclear(r);
            if (ok && !applied) {
                ok = exec(m.sql, {}, error) &&
                     exec("INSERT INTO schema_version (version, name) VALUES ($1::integer, $2)",
                          {std::to_string(m.version), m.name}, error);
            }
            if (!ok) {
                PQclear(PQexec(admin_, "ROLLBACK"));
                *error = std::string(m.name) + ": " + *error;
                return false;
            }
            if (!exec("COMMIT", {}, error)) return false;
        }
        return true;
    }

    bool addServer(const std::string& id, const std::string& secretHex,
                   std::string* error) override {
        if (!adminConnect(error)) return false;
        PGresult* r = params(
            "INSERT INTO fleet_servers (id, secret, added_at) VALUES ($1, $2, $3::bigint) "
            "ON CONFLICT (id) DO NOTHING RETURNING id",
            {id, secretHex, std::to_string(time(nullptr))}, error);
        if (!r) return false;
        bool added = PQntuples(r) == 1;
        PQclear(r);
        if (!added) *error = "server " + id + " exists";
        return added;
    }

    bool setCutOff(const std::string& id, bool cutOff, std::string* error) override {
        if (!adminConnect(error)) return false;
        PGresult* r =
            params("UPDATE fleet_servers SET cut_off = $2::boolean WHERE id = $1 RETURNING id",
                   {id, cutOff ? "true" : "false"}, error);
        if (!r) return false;
        bool found = PQntuples(r) == 1;
        PQclear(r);
        if (!found) *error = "no server " + id;
        return found;
    }

    bool listServers(std::vector<ServerListing>* out, std::string* error) override {
        if (!adminConnect(error)) return false;
        PGresult* r = params(
            "SELECT s.id, s.cut_off, s.added_at, (SELECT count(*) FROM fleet_bans b WHERE "
            "b.server_id = s.id) FROM fleet_servers s ORDER BY s.id",
            {}, error);
        if (!r) return false;
        out->clear();
        for (int i = 0; i < PQntuples(r); ++i) {
            ServerListing l;
            l.id = PQgetvalue(r, i, 0);
            l.cutOff = PQgetvalue(r, i, 1)[0] == 't';
            l.added = cell(r, i, 2);
            l.bans = cell(r, i, 3);
            out->push_back(l);
        }
        PQclear(r);
        return true;
    }

    bool listBans(const BanQuery& q, std::vector<BanListing>* out, std::string* error) override {
        if (!adminConnect(error)) return false;
        std::string sql = std::string("SELECT ") + kBanColumns +
                          " FROM fleet_bans WHERE ($1::text = '' OR upper(guid) = upper($1)) AND "
                          "($2::text = '' OR strpos(upper(name), upper($2)) > 0) AND "
                          "($3::bigint = 0 OR id = $3::bigint) AND ($4::boolean OR lifted_at IS "
                          "NULL) ORDER BY id";
        PGresult* r = params(
            sql.c_str(), {q.guid, q.name, std::to_string(q.id), q.all ? "true" : "false"}, error);
        if (!r) return false;
        out->clear();
        for (int i = 0; i < PQntuples(r); ++i) {
            BanListing l;
            banRecords(r, i, [&](const FleetRecord& rec) {
                if (rec.kind == 'B') {
                    l.rec = rec.ban;
                } else {
                    l.lifted = true;
                    l.liftedAt = rec.time;
                    l.liftedBy = rec.text1;
                }
            });
            out->push_back(l);
        }
        PQclear(r);
        return true;
    }

    bool unban(const BanQuery& q, const std::string& by, std::vector<BanListing>* lifted,
               std::string* error) override {
        if (!adminConnect(error)) return false;
        std::string sql = std::string(
                              "UPDATE fleet_bans SET lifted_at = $3::bigint, lifted_by = $4::text "
                              "WHERE lifted_at IS "
                              "NULL AND ($1::text = '' OR upper(guid) = upper($1)) AND ($2::bigint "
                              "= 0 OR id = $2::bigint) "
                              "RETURNING ") +
                          kBanColumns;
        PGresult* r = params(
            sql.c_str(), {q.guid, std::to_string(q.id), std::to_string(time(nullptr)), by}, error);
        if (!r) return false;
        lifted->clear();
        for (int i = 0; i < PQntuples(r); ++i) {
            BanListing l;
            banRecords(r, i, [&](const FleetRecord& rec) {
                if (rec.kind == 'B') l.rec = rec.ban;
                if (rec.kind == 'L') {
                    l.lifted = true;
                    l.liftedAt = rec.time;
                    l.liftedBy = rec.text1;
                }
            });
            lifted->push_back(l);
        }
        PQclear(r);
        return true;
    }

  private:
    struct Op {
        std::string sql;
        std::vector<std::string> params;
        std::function<void(PGresult*)> done;     // with the last result, null when lost
        std::function<void(PGresult*)> eachRow;  // single-row mode: every row as it comes
        bool load = false;                       // part of the load after connecting
    };

    void connect() {
        status_ = "connecting to the database";
        conn_ = PQconnectStart(conninfo_.c_str());
        if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) {
            return lost(conn_ ? PQerrorMessage(conn_) : "out of memory");
        }
        connecting_ = true;
        wantWrite_ = true;
    }

    void stepConnect() {
        pollfd p{PQsocket(conn_), static_cast<short>(wantWrite_ ? POLLOUT : POLLIN), 0};
        if (p.fd < 0 || ::poll(&p, 1, 0) == 0) return;
        switch (PQconnectPoll(conn_)) {
            case PGRES_POLLING_FAILED: return lost(PQerrorMessage(conn_));
            case PGRES_POLLING_READING: wantWrite_ = false; return;
            case PGRES_POLLING_WRITING: wantWrite_ = true; return;
            case PGRES_POLLING_OK: break;
            default: return;
        }
        connecting_ = false;
        PQsetnonblocking(conn_, 1);
        status_ = "database connected";
        queueLoad();
    }

    // LISTEN first, then everything the service keeps in memory: servers, bans (all of them at
    // the first connection; after a reconnection the new ones and those lifted meanwhile) and the
    // interest notes of the last day.
    void queueLoad() {
        std::deque<Op> load(4);
        load[0].sql = "LISTEN qz_fleet";
        load[1].sql = std::string("SELECT ") + kServerColumns + " FROM fleet_servers";
        load[1].done = [this](PGresult* r) {
            if (!r || PQresultStatus(r) != PGRES_TUPLES_OK) return;
            for (int i = 0; i < PQntuples(r); ++i) serverRecords(r, i, sink_);
        };
        load[2].sql =
            std::string("SELECT ") + kBanColumns +
            " FROM fleet_bans WHERE id > $1::bigint OR lifted_at >= $2::bigint ORDER BY id";
        load[2].params = {std::to_string(maxBanId_), std::to_string(lostAt_ ? lostAt_ - 60 : 0)};
        load[2].eachRow = [this](PGresult* r) {
            for (int i = 0; i < PQntuples(r); ++i) {
                banRecords(r, i, sink_);
                if (cell(r, i, 0) > maxBanId_) maxBanId_ = cell(r, i, 0);
            }
        };
        load[3].sql = "SELECT guid, server_id, asked_at FROM fleet_interest WHERE asked_at >= $1";
        load[3].params = {std::to_string(time(nullptr) - 86400)};
        load[3].done = [this](PGresult* r) {
            if (!r || PQresultStatus(r) != PGRES_TUPLES_OK) return;
            for (int i = 0; i < PQntuples(r); ++i) {
                FleetRecord n;
                n.kind = 'I';
                put(n.text2, PQgetvalue(r, i, 0));
                put(n.text1, PQgetvalue(r, i, 1));
                n.time = cell(r, i, 2);
                sink_(n);
            }
            ready_ = true;
            status_ = "database loaded";
        };
        for (Op& op : load) op.load = true;
        queue_.insert(queue_.begin(), load.begin(), load.end());
    }

    void lost(const char* why) {
        status_ = std::string("database unavailable: ") + why;
        while (!status_.empty() && status_.back() == '\n') status_.pop_back();
        if (busy_) {
            busy_ = false;
            if (!current_.load && current_.done) current_.done(nullptr);
        }
        if (last_) PQclear(last_);
        last_ = nullptr;
        std::erase_if(queue_, [](const Op& op) { return op.load; });
        if (conn_) PQfinish(conn_);
        conn_ = nullptr;
        connecting_ = false;
        if (!lostAt_) lostAt_ = time(nullptr);
        retryAtMs_ = nowMs() + kRetryMs;
    }

    void notifications() {
        while (PGnotify* n = PQnotifies(conn_)) {
            FleetRecord r;
            if (parseRecord(n->extra, strlen(n->extra), &r)) {
                if (r.kind == 'V') {
                    reloadServer(r.text1);
                } else {
                    if (r.kind == 'B' && r.ban.id > maxBanId_) maxBanId_ = r.ban.id;
                    sink_(r);
                }
            } else {
                ++badNotes_;
            }
            PQfreemem(n);
        }
    }

    void reloadServer(const char* id) {
        Op op;
        op.sql = std::string("SELECT ") + kServerColumns + " FROM fleet_servers WHERE id = $1";
        op.params = {id};
        op.done = [this](PGresult* r) {
            if (!r || PQresultStatus(r) != PGRES_TUPLES_OK) return;
            for (int i = 0; i < PQntuples(r); ++i) serverRecords(r, i, sink_);
        };
        queue_.push_front(std::move(op));
    }

    void results() {
        while (busy_ && conn_ && !PQisBusy(conn_)) {
            PGresult* r = PQgetResult(conn_);
            if (!r) {
                busy_ = false;
                if (current_.done) current_.done(last_);
                if (last_) PQclear(last_);
                last_ = nullptr;
                if (current_.load) lostAt_ = 0;
                continue;
            }
            if (PQresultStatus(r) == PGRES_SINGLE_TUPLE) {
                if (current_.eachRow) current_.eachRow(r);
                PQclear(r);
                continue;
            }
            if (PQresultStatus(r) != PGRES_TUPLES_OK && PQresultStatus(r) != PGRES_COMMAND_OK) {
                status_ = std::string("statement failed: ") + PQresultErrorMessage(r);
                while (!status_.empty() && status_.back() == '\n') status_.pop_back();
            }
            if (last_) PQclear(last_);
            last_ = r;
        }
    }

    void send() {
        if (busy_ || queue_.empty()) return;
        current_ = std::move(queue_.front());
        queue_.pop_front();
        std::vector<const char*> values;
        for (const std::string& p : current_.params) values.push_back(p.c_str());
        if (!PQsendQueryParams(conn_, current_.sql.c_str(), static_cast<int>(values.size()),
                               nullptr, values.data(), nullptr, nullptr, 0)) {
            busy_ = true;
            return lost(PQerrorMessage(conn_));
        }
        if (current_.eachRow) PQsetSingleRowMode(conn_);
        busy_ = true;
    }

    bool adminConnect(std::string* error) {
        if (admin_ && PQstatus(admin_) == CONNECTION_OK) return true;
        if (admin_) PQfinish(admin_);
        admin_ = PQconnectdb(conninfo_.c_str());
        if (PQstatus(admin_) != CONNECTION_OK) {
            *error = std::string("cannot connect to the database: ") + PQerrorMessage(admin_);
            while (!error->empty() && error->back() == '\n') error->pop_back();
            return false;
        }
        return true;
    }

    // Runs SQL with text parameters on the administration connection; the result, or null with
    // *error set.
    PGresult* params(const char* sql, const std::vector<std::string>& values, std::string* error) {
        std::vector<const char*> v;
        for (const std::string& s : values) v.push_back(s.c_str());
        PGresult* r = values.empty() ? PQexec(admin_, sql)
                                     : PQexecParams(admin_, sql, static_cast<int>(v.size()),
                                                    nullptr, v.data(), nullptr, nullptr, 0);
        ExecStatusType s = PQresultStatus(r);
        if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return r;
        *error = PQresultErrorMessage(r);
        while (!error->empty() && error->back() == '\n') error->pop_back();
        PQclear(r);
        return nullptr;
    }

    bool exec(const char* sql, const std::vector<std::string>& values, std::string* error) {
        PGresult* r = params(sql, values, error);
        if (r) PQclear(r);
        return r != nullptr;
    }

    std::string conninfo_;
    PGconn* conn_ = nullptr;
    PGconn* admin_ = nullptr;
    bool connecting_ = false;
    bool wantWrite_ = false;
    bool ready_ = false;
    bool busy_ = false;
    Op current_;
    PGresult* last_ = nullptr;
    std::deque<Op> queue_;
    RecordSink sink_;
    std::string status_;
    long long retryAtMs_ = 0;
    int64_t maxBanId_ = 0;
    int64_t lostAt_ = 0;
    long badNotes_ = 0;
};

}  // namespace

std::unique_ptr<FleetStore> makePgStore(const std::string& conninfo) {
    return std::make_unique<PgStore>(conninfo);
}
bool pgBuiltIn() { return true; }

}  // namespace qzm
