// The PostgreSQL fleet store. Serving uses one connection through libpq's asynchronous calls
// only (PQconnectStart/PQconnectPoll, PQsendQueryParams, PQconsumeInput/PQisBusy/PQgetResult,
// PQnotifies): statements wait in a queue and go out one at a time, and nothing here ever waits
// for the database. The service answers lookups from memory, so a slow statement delays only the
// reports queued behind it. Changes by any master or by the command line come back as
// notifications on the channel qz_fleet: "N <change>" says a ban, lift or cut-off was
// committed, and the store reads the changes after the last one it applied, in change order.
// A reconnection does the same: never a window of some clock. Administration opens a
// connection of its own and may wait.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
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
constexpr long long kRetryMaxMs = 10000;
constexpr int kStatementSeconds = 10;  // statement_timeout on the serving connection
// A statement with no answer at all for this long is given up with its connection.
constexpr long long kStallMs = (kStatementSeconds + 5) * 1000;
constexpr int kChangePage = 5000;  // changes read by one statement

int knownSchema() {
    int v = 0;
    for (size_t i = 0; i < kFleetMigrationCount; ++i)
        if (kFleetMigrations[i].version > v) v = kFleetMigrations[i].version;
    return v;
}

// Bytes from the hexadecimal text encode(..., 'hex') gives; at most kNameMax.
void fromHex(const char* hex, char (&out)[kNameMax + 1]) {
    size_t n = 0;
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (; hex[0] && hex[1] && n < kNameMax; hex += 2) {
        int hi = digit(hex[0]), lo = digit(hex[1]);
        if (hi < 0 || lo < 0) break;
        char c = static_cast<char>(hi << 4 | lo);
        if (!c) break;
        out[n++] = c;
    }
    out[n] = 0;
}

std::string toHex(const char* s) {
    static const char* d = "0123456789abcdef";
    std::string h;
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    const char* rid = PQgetvalue(r, row, 2);
    parseReportId(rid, strlen(rid), &b.ban.reportEpoch, &b.ban.reportId);
    put(b.ban.guid, PQgetvalue(r, row, 3));
    b.ban.banTime = cell(r, row, 4);
    b.ban.lengthMin = cell(r, row, 5);
    put(b.ban.address, PQgetvalue(r, row, 6));
    put(b.ban.origin, PQgetvalue(r, row, 7));
    b.ban.received = cell(r, row, 8);
    fromHex(PQgetvalue(r, row, 9), b.ban.name);
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
    "id, server_id, report_id, guid, ban_time, length_min, address, origin, received, "
    "encode(name, 'hex'), lifted_at, coalesce(lifted_by, '-')";

// The changes after a number, with the ban each one concerns: seq, kind, server, flag, at, by,
// then the ban's columns as in kBanColumns (without the lifting).
const char* kChangesSql =
    "SELECT c.seq, c.kind, coalesce(c.server_id, ''), c.flag, c.at, c.by_whom, b.id, "
    "b.server_id, b.report_id, b.guid, b.ban_time, b.length_min, b.address, b.origin, "
    "b.received, encode(b.name, 'hex') FROM fleet_changes c LEFT JOIN fleet_bans b ON b.id = "
    "c.ban_id WHERE c.seq > $1::bigint ORDER BY c.seq LIMIT $2::integer";

// One change row as its record.
bool changeRecord(PGresult* r, int row, FleetRecord* out) {
    *out = FleetRecord{};
    out->change = cell(r, row, 0);
    out->kind = PQgetvalue(r, row, 1)[0];
    switch (out->kind) {
        case 'B': {
            if (PQgetisnull(r, row, 6)) return false;
            BanRecord& b = out->ban;
            b.id = cell(r, row, 6);
            out->id = b.id;
            put(b.server, PQgetvalue(r, row, 7));
            const char* rid = PQgetvalue(r, row, 8);
            parseReportId(rid, strlen(rid), &b.reportEpoch, &b.reportId);
            put(b.guid, PQgetvalue(r, row, 9));
            b.banTime = cell(r, row, 10);
            b.lengthMin = cell(r, row, 11);
            put(b.address, PQgetvalue(r, row, 12));
            put(b.origin, PQgetvalue(r, row, 13));
            b.received = cell(r, row, 14);
            fromHex(PQgetvalue(r, row, 15), b.name);
            return true;
        }
        case 'L':
            if (PQgetisnull(r, row, 6)) return false;
            out->id = cell(r, row, 6);
            put(out->text1, PQgetvalue(r, row, 5));
            out->time = cell(r, row, 4);
            return true;
        case 'C':
            put(out->text1, PQgetvalue(r, row, 2));
            out->flag = PQgetvalue(r, row, 3)[0] == 't' ? 1 : 0;
            out->time = cell(r, row, 4);
            return true;
        default: return false;
    }
}

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
        if (!PQconsumeInput(conn_) || PQstatus(conn_) == CONNECTION_BAD)
            return lost(PQerrorMessage(conn_));
        notifications();
        results();
        if (!conn_) return;
        send();
        if (PQflush(conn_) < 0) lost(PQerrorMessage(conn_));
    }

    void reportBan(const BanRecord& rec, BanDone done) override {
        if (queue_.size() >= kQueueMax) return done(0);
        Op op;
        // Exactly one row: the new ban, or the one an earlier report with this id made, with
        // whether its content is this report's (a reused id with other content is refused).
        op.sql =
            "WITH ins AS (INSERT INTO fleet_bans (server_id, report_id, guid, name, address, "
            "origin, ban_time, length_min, received) VALUES ($1, $2, $3, decode($4, 'hex'), $5, "
            "$6, $7::bigint, $8::bigint, $9::bigint) "
            "ON CONFLICT (server_id, report_id) DO NOTHING RETURNING id) "
            "SELECT id, true FROM ins UNION ALL "
            "SELECT id, upper(guid) = upper($3) AND name = decode($4, 'hex') AND ban_time = "
            "$7::bigint AND length_min = $8::bigint FROM fleet_bans WHERE server_id = $1 AND "
            "report_id = $2";
        op.params = {rec.server,
                     reportIdText(rec.reportEpoch, rec.reportId),
                     rec.guid,
                     toHex(rec.name),
                     rec.address,
                     rec.origin,
                     std::to_string(rec.banTime),
                     std::to_string(rec.lengthMin),
                     std::to_string(rec.received)};
        op.done = [this, done](PGresult* r) {
            bool ok = r && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) >= 1;
            if (!ok) return done(0);
            int64_t id = cell(r, 0, 0);
            int64_t outcome = PQgetvalue(r, 0, 1)[0] == 't' ? id : -id;
            // Answered once the ban is in memory too: a lookup right after the ACK finds it.
            afterChanges([done, outcome] { done(outcome); });
        };
        queue_.push_back(std::move(op));
    }

    void reportUnban(const std::string& server, uint64_t epoch, uint64_t reportId, const char* guid,
                     int64_t banId, const std::string& scope, int64_t now,
                     UnbanDone done) override {
        if (queue_.size() >= kQueueMax) return done(UnbanResult{});
        Op op;
        // A report taken once: the lifts (in scope), then the report with what it lifted. A
        // repeat finds the report as taken and is compared with it.
        op.sql =
            "WITH prev AS (SELECT guid, ban_id, scope, lifted FROM fleet_unbans WHERE server_id = "
            "$1 AND report_id = $2), "
            "l AS (UPDATE fleet_bans SET lifted_at = $5::bigint, lifted_by = 'server:' || "
            "$1::text WHERE lifted_at IS NULL AND upper(guid) = upper($3) AND ($4::bigint = 0 OR "
            "id = $4::bigint) AND ($6::text = 'fleet' OR server_id = $1) AND NOT EXISTS (SELECT 1 "
            "FROM prev) RETURNING id), "
            "u AS (INSERT INTO fleet_unbans (server_id, report_id, guid, ban_id, received, scope, "
            "lifted) SELECT $1, $2, $3, $4::bigint, $5::bigint, $6, coalesce((SELECT "
            "array_agg(id ORDER BY id) FROM l), '{}') WHERE NOT EXISTS (SELECT 1 FROM prev) ON "
            "CONFLICT DO NOTHING RETURNING lifted) "
            "SELECT true, array_to_string(lifted, ',') FROM u UNION ALL "
            "SELECT upper(guid) = upper($3) AND ban_id = $4::bigint AND scope = $6, "
            "array_to_string(lifted, ',') FROM prev";
        op.params = {
            server, reportIdText(epoch, reportId), guid, std::to_string(banId), std::to_string(now),
            scope};
        op.done = [this, done](PGresult* r) {
            UnbanResult u;
            if (r && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) >= 1) {
                u.ok = PQgetvalue(r, 0, 0)[0] == 't';
                u.refused = !u.ok;
                u.lifted = PQgetvalue(r, 0, 1);
                if (u.lifted.empty()) u.lifted = "-";
            }
            if (!u.ok) return done(u);
            afterChanges([done, u] { done(u); });
        };
        queue_.push_back(std::move(op));
    }

    uint64_t masterEpoch() const override { return epoch_; }

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

    // The database decides for every master: the address moves only when COUNTER is above
    // the highest any of them recorded, and the move records COUNTER as that highest.
    void noteAddress(const std::string& server, const std::string& address, uint64_t counter,
                     MoveDone done) override {
        if (queue_.size() >= kNoteQueueMax) return done(false);
        Op op;
        op.sql =
            "UPDATE fleet_servers SET last_addr = $2, recv_high = $3::bigint WHERE id = $1 AND "
            "recv_high < $3::bigint RETURNING id";
        op.params = {server, address, std::to_string(counter > LLONG_MAX ? LLONG_MAX : counter)};
        op.done = [done](PGresult* r) {
            done(r && PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1);
        };
        queue_.push_back(std::move(op));
    }

    void takeLog(std::vector<std::string>* out) override {
        out->insert(out->end(), log_.begin(), log_.end());
        log_.clear();
    }

    std::string status() const override { return status_; }

    bool migrate(std::string* error) override {
        if (!adminConnect(error)) return false;
        if (!exec("CREATE TABLE IF NOT EXISTS schema_version (version integer PRIMARY KEY, "
                  "name text NOT NULL, applied_at timestamptz NOT NULL DEFAULT now())",
                  {}, error)) {
            return false;
        }
        PGresult* v = params("SELECT coalesce(max(version), 0) FROM schema_version", {}, error);
        if (!v) return false;
        int have = static_cast<int>(cell(v, 0, 0));
        PQclear(v);
        if (have > knownSchema()) {
            *error = "the database schema is version " + std::to_string(have) +
                     ", newer than this qzmaster knows (" + std::to_string(knownSchema()) +
                     "): not migrating; use the qzmaster that made it";
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

    // The fleet's servers; the row "-" (bans made by the fleet's own administrators, a row that
    // never takes packets) is no server and is left out.
    bool listServers(std::vector<ServerListing>* out, std::string* error) override {
        if (!adminConnect(error)) return false;
        PGresult* r = params(
            "SELECT s.id, s.cut_off, s.added_at, (SELECT count(*) FROM fleet_bans b WHERE "
            "b.server_id = s.id) FROM fleet_servers s WHERE s.id <> '-' ORDER BY s.id",
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
        std::string sql =
            std::string("SELECT ") + kBanColumns +
            " FROM fleet_bans WHERE ($1::text = '' OR upper(guid) = upper($1)) AND "
            "($2::text = '' OR strpos(upper(encode(name, 'escape')), upper($2)) > 0) AND "
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
        std::function<void(PGresult*)> done;  // with the last result, null when lost
        bool load = false;                    // part of the load after connecting
        bool changes = false;                 // a read of changes: from the last applied
    };

    void say(const std::string& line) {
        std::string l = line;
        while (!l.empty() && l.back() == '\n') l.pop_back();
        status_ = l;
        if (log_.size() < 1000) log_.push_back(l);
    }

    // Keepalives notice a dead peer within seconds, and every statement has a time limit; both
    // are defaults the connection string can override.
    void connect() {
        status_ = "connecting to the database";
        std::string timeout = "-c statement_timeout=" + std::to_string(kStatementSeconds * 1000);
        const char* keys[] = {"keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "connect_timeout",
                              "options",
                              "dbname",
                              nullptr};
        const char* values[] = {"1",    "5", "2", "3", "10", timeout.c_str(), conninfo_.c_str(),
                                nullptr};
        conn_ = PQconnectStartParams(keys, values, 1);
        if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) {
            return lost(conn_ ? PQerrorMessage(conn_) : "out of memory");
        }
        connecting_ = true;
        wantWrite_ = true;
        connectAtMs_ = nowMs();
    }

    void stepConnect() {
        if (nowMs() - connectAtMs_ > kStallMs) return lost("no answer while connecting");
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
        // The server's notices (a connection ended by an administrator, ...) are said by the
        // service's own lines; libpq would print them on standard error.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        say("database connected");
        queueLoad();
    }

    // A load statement that failed: the connection is dropped and the whole load tried again
    // after a pause, with the reason said once.
    bool loadFailed(PGresult* r, const char* what) {
        if (r && (PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK))
            return false;
        std::string why = r ? PQresultErrorMessage(r) : "connection lost";
        while (!why.empty() && why.back() == '\n') why.pop_back();
        failWhy_ = std::string("cannot load ") + what + ": " + why + " (retrying)";
        return true;
    }

    // First the schema's version (a newer one than this program knows is not served, an
    // older one must be migrated first), then LISTEN, the servers, this start's epoch, the
    // changes after the last one applied (all of them at the first connection) and the
    // interest notes of the last day. Any failure drops the connection and the load is tried
    // again; the changes already applied stay, so a reload asks only for what came after.
    void queueLoad() {
        std::deque<Op> load(5);
        load[0].sql = "SELECT coalesce(max(version), 0) FROM schema_version";
        load[0].done = [this](PGresult* r) {
            if (loadFailed(r, "the schema version")) {
                failWhy_ =
                    "the database has no fleet schema (run qzmaster --db ... --migrate); "
                    "retrying";
                return;
            }
            int have = static_cast<int>(cell(r, 0, 0));
            if (have > knownSchema()) {
                failWhy_ = "the database schema is version " + std::to_string(have) +
                           ", newer than this qzmaster knows (" + std::to_string(knownSchema()) +
                           "): not serving it; retrying";
            } else if (have < knownSchema()) {
                failWhy_ = "the database schema is version " + std::to_string(have) +
                           ", older than this qzmaster needs (" + std::to_string(knownSchema()) +
                           "): run qzmaster --db ... --migrate; retrying";
            }
        };
        load[1].sql = "LISTEN qz_fleet";
        load[1].done = [this](PGresult* r) { loadFailed(r, "notifications"); };
        load[2].sql = std::string("SELECT ") + kServerColumns + " FROM fleet_servers";
        load[2].done = [this](PGresult* r) {
            if (loadFailed(r, "the servers")) return;
            for (int i = 0; i < PQntuples(r); ++i) serverRecords(r, i, sink_);
        };
        load[3].sql = "SELECT nextval('fleet_master_epoch')";
        load[3].done = [this](PGresult* r) {
            if (loadFailed(r, "an epoch")) return;
            if (!epoch_) epoch_ = static_cast<uint64_t>(cell(r, 0, 0));
        };
        load[4] = changesOp(true);
        for (Op& op : load) op.load = true;
        queue_.insert(queue_.begin(), load.begin(), load.end());
    }

    // Runs THEN once the changes committed so far are applied (a fetch of those after the last
    // one applied goes first).
    void afterChanges(std::function<void()> then) {
        Op op = changesOp(false);
        auto fetched = op.done;
        op.done = [fetched, then](PGresult* r) {
            fetched(r);
            then();
        };
        queue_.push_front(std::move(op));
    }

    // Reads the changes after the last one applied, one page at a time, in change order.
    Op changesOp(bool load) {
        Op op;
        op.load = load;
        op.changes = true;
        op.sql = kChangesSql;
        op.params = {std::to_string(lastChange_), std::to_string(kChangePage)};
        op.done = [this, load](PGresult* r) {
            if (load && loadFailed(r, "the changes")) return;
            if (!r || PQresultStatus(r) != PGRES_TUPLES_OK) {
                fetching_ = false;
                return;
            }
            int n = PQntuples(r);
            for (int i = 0; i < n; ++i) {
                FleetRecord rec;
                if (changeRecord(r, i, &rec)) sink_(rec);
                if (cell(r, i, 0) > lastChange_) lastChange_ = cell(r, i, 0);
            }
            if (n == kChangePage || lastChange_ < noticed_) {
                Op next = changesOp(load);
                queue_.push_front(std::move(next));
                return;
            }
            fetching_ = false;
            if (load) finishLoad();
        };
        fetching_ = true;
        return op;
    }

    void finishLoad() {
        if (loadedOnce_) {
            ready_ = true;
            say("database loaded again: through change #" + std::to_string(lastChange_));
            retryMs_ = kRetryMs;
            return;
        }
        Op op;
        op.load = true;
        op.sql = "SELECT guid, server_id, asked_at FROM fleet_interest WHERE asked_at >= $1";
        op.params = {std::to_string(time(nullptr) - 86400)};
        op.done = [this](PGresult* r) {
            if (loadFailed(r, "the interest notes")) return;
            for (int i = 0; i < PQntuples(r); ++i) {
                FleetRecord n;
                n.kind = 'I';
                put(n.text2, PQgetvalue(r, i, 0));
                put(n.text1, PQgetvalue(r, i, 1));
                n.time = cell(r, i, 2);
                sink_(n);
            }
            loadedOnce_ = true;
            ready_ = true;
            retryMs_ = kRetryMs;
            say("database loaded: through change #" + std::to_string(lastChange_));
        };
        queue_.push_front(std::move(op));
    }

    void lost(const char* why) {
        std::string w = why;
        while (!w.empty() && w.back() == '\n') w.pop_back();
        say("database unavailable: " + w);
        if (busy_) {
            busy_ = false;
            if (!current_.load && current_.done) current_.done(nullptr);
        }
        if (last_) PQclear(last_);
        last_ = nullptr;
        std::erase_if(queue_, [](const Op& op) { return op.load; });
        // Reads of changes still queued run after the reload, from the last change applied.
        fetching_ = false;
        if (conn_) PQfinish(conn_);
        conn_ = nullptr;
        connecting_ = false;
        retryAtMs_ = nowMs() + retryMs_;
        retryMs_ = std::min(retryMs_ * 2, kRetryMaxMs);
    }

    void notifications() {
        while (PGnotify* n = PQnotifies(conn_)) {
            FleetRecord r;
            if (parseRecord(n->extra, strlen(n->extra), &r)) {
                if (r.kind == 'V') {
                    reloadServer(r.text1);
                } else if (r.kind == 'N') {
                    if (r.id > noticed_) noticed_ = r.id;
                    if (r.id > lastChange_ && !fetching_ && ready_)
                        queue_.push_front(changesOp(false));
                } else {
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
                Op op = std::move(current_);
                PGresult* result = last_;
                last_ = nullptr;
                if (op.done) op.done(result);
                if (result) PQclear(result);
                if (op.load && !failWhy_.empty()) {
                    std::string why = failWhy_;
                    failWhy_.clear();
                    return lost(why.c_str());
                }
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
        if (busy_) {
            // A statement that never returns (a dead peer the keepalives have not caught yet,
            // a lock) must not hold every report behind it: the connection is given up.
            if (nowMs() - sentAtMs_ > kStallMs) lost("a statement did not return; reconnecting");
            return;
        }
        if (queue_.empty()) return;
        current_ = std::move(queue_.front());
        queue_.pop_front();
        // Whatever was applied while it waited in the queue is not read again.
        if (current_.changes) current_.params[0] = std::to_string(lastChange_);
        std::vector<const char*> values;
        for (const std::string& p : current_.params) values.push_back(p.c_str());
        sentAtMs_ = nowMs();
        if (!PQsendQueryParams(conn_, current_.sql.c_str(), static_cast<int>(values.size()),
                               nullptr, values.data(), nullptr, nullptr, 0)) {
            busy_ = true;
            return lost(PQerrorMessage(conn_));
        }
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
    long long retryMs_ = kRetryMs;
    long long sentAtMs_ = 0;
    long long connectAtMs_ = 0;
    int64_t lastChange_ = 0;  // the last change applied: a reload asks for those after it
    int64_t noticed_ = 0;     // the highest change announced
    bool fetching_ = false;
    bool loadedOnce_ = false;
    uint64_t epoch_ = 0;
    std::string failWhy_;
    std::vector<std::string> log_;
    long badNotes_ = 0;
};

}  // namespace

std::unique_ptr<FleetStore> makePgStore(const std::string& conninfo) {
    return std::make_unique<PgStore>(conninfo);
}
bool pgBuiltIn() { return true; }

}  // namespace qzm
