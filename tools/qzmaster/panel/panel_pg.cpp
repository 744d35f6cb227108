// The panel's data in PostgreSQL, on a connection of the panel's own used from the panel's
// thread: its statements may wait for the database without ever holding up the ban service,
// which keeps its own connection and answers lookups from memory. Every value is a parameter.
// Ban pages use keyset paging on the primary key (and the GUID prefix and name indexes of
// 003_panel.sql), never OFFSET, so the thousandth page costs what the first does.
#include "qzmaster/panel/panel_data.h"

#ifdef QZ_HAVE_LIBPQ
#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "qzmaster/panel/html.h"
#include "qzmaster/panel/panel_data.h"

namespace qzpanel {

namespace {

const char* kBanColumns =
    "b.id, b.server_id, b.report_id, b.guid, b.ban_time, b.length_min, b.address, b.origin, "
    "b.received, encode(b.name, 'hex'), b.lifted_at, coalesce(b.lifted_by, '-'), "
    "coalesce(r.reason, '') FROM "
    "fleet_bans b LEFT JOIN panel_ban_reasons r ON r.ban_id = b.id";

int64_t cell(PGresult* r, int row, int col) {
    return strtoll(PQgetvalue(r, row, col), nullptr, 10);
}

template <size_t N>
void put(char (&dst)[N], const char* src) {
    snprintf(dst, N, "%s", src);
}

// The name's bytes from the hexadecimal text encode(name, 'hex') gives, exactly as the server
// sent them (they need not be UTF-8: the pages escape them as the game shows them).
void nameFromHex(const char* hex, char (&out)[qzm::kNameMax + 1]) {
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    size_t n = 0;
    for (; hex[0] && hex[1] && n < qzm::kNameMax; hex += 2) {
        int hi = digit(hex[0]), lo = digit(hex[1]);
        if (hi < 0 || lo < 0 || (hi | lo) == 0) break;
        out[n++] = static_cast<char>(hi << 4 | lo);
    }
    out[n] = 0;
}

std::string toHex(std::string_view bytes) {
    static const char* d = "0123456789abcdef";
    std::string h;
    for (char c : bytes) {
        h.push_back(d[static_cast<unsigned char>(c) >> 4]);
        h.push_back(d[static_cast<unsigned char>(c) & 15]);
    }
    return h;
}

PanelBan banRow(PGresult* r, int i) {
    PanelBan l;
    l.rec.id = cell(r, i, 0);
    put(l.rec.server, PQgetvalue(r, i, 1));
    const char* reportId = PQgetvalue(r, i, 2);
    qzm::parseReportId(reportId, strlen(reportId), &l.rec.reportEpoch, &l.rec.reportId);
    put(l.rec.guid, PQgetvalue(r, i, 3));
    l.rec.banTime = cell(r, i, 4);
    l.rec.lengthMin = cell(r, i, 5);
    put(l.rec.address, PQgetvalue(r, i, 6));
    put(l.rec.origin, PQgetvalue(r, i, 7));
    l.rec.received = cell(r, i, 8);
    nameFromHex(PQgetvalue(r, i, 9), l.rec.name);
    if (!PQgetisnull(r, i, 10)) {
        l.lifted = true;
        l.liftedAt = cell(r, i, 10);
        l.liftedBy = PQgetvalue(r, i, 11);
    }
    l.reason = PQgetvalue(r, i, 12);
    return l;
}

// A LIKE pattern matching TEXT anywhere, its wildcards taken literally.
std::string containsPattern(const std::string& text) {
    std::string p = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') p.push_back('\\');
        p.push_back(c);
    }
    p.push_back('%');
    return p;
}

const char* kAppealColumns =
    "id, ban_id, guid, body, contact, filed_at, from_addr, state, answer, decided_by, "
    "coalesce(decided_at, 0)";

AppealRow appealRow(PGresult* r, int i) {
    AppealRow a;
    a.id = cell(r, i, 0);
    a.banId = cell(r, i, 1);
    a.guid = PQgetvalue(r, i, 2);
    a.text = PQgetvalue(r, i, 3);
    a.contact = PQgetvalue(r, i, 4);
    a.filedAt = cell(r, i, 5);
    a.from = PQgetvalue(r, i, 6);
    a.state = PQgetvalue(r, i, 7);
    a.answer = PQgetvalue(r, i, 8);
    a.decidedBy = PQgetvalue(r, i, 9);
    a.decidedAt = cell(r, i, 10);
    return a;
}

class PgPanelData : public PanelData {
  public:
    explicit PgPanelData(std::string conninfo)
        : conninfo_(std::move(conninfo)), fleet_(qzm::makePgStore(conninfo_)) {}
    ~PgPanelData() override {
        if (conn_) PQfinish(conn_);
    }

    bool open(std::string* error) override { return connect(error); }

    bool bans(const BanPageQuery& q, std::vector<PanelBan>* out, std::string* error) override {
        std::string guid;
        for (char c : q.guid)
            guid.push_back(static_cast<char>(toupper(static_cast<unsigned char>(c))));
        // The search's bytes as names hold them (the game's characters), colour codes out, as
        // hex: the database compares it with the name read as LATIN1, which takes any bytes.
        std::string name =
            q.name.empty() ? "" : toHex(containsPattern(plainName(nameBytes(q.name))));
        bool forward = q.after > 0;
        std::string sql = std::string("SELECT ") + kBanColumns +
                          " WHERE ($1::text = '' OR upper(b.guid) LIKE $1 || '%') "
                          "AND ($2::text = '' OR panel_plain_name(b.name) LIKE "
                          "upper(convert_from(decode($2, 'hex'), 'LATIN1'))) AND ";
        sql += forward ? "b.id > $3::bigint ORDER BY b.id ASC"
                       : "($3::bigint = 0 OR b.id < $3::bigint) ORDER BY b.id DESC";
        sql += " LIMIT $4::integer";
        PGresult* r = run(
            sql.c_str(),
            {guid, name, std::to_string(forward ? q.after : q.before), std::to_string(q.limit + 1)},
            error);
        if (!r) return false;
        out->clear();
        for (int i = 0; i < PQntuples(r); ++i) out->push_back(banRow(r, i));
        PQclear(r);
        if (forward) std::reverse(out->begin(), out->end());
        return true;
    }

    bool ban(int64_t id, PanelBan* out, bool* found, std::string* error) override {
        PGresult* r =
            run((std::string("SELECT ") + kBanColumns + " WHERE b.id = $1::bigint").c_str(),
                {std::to_string(id)}, error);
        if (!r) return false;
        *found = PQntuples(r) == 1;
        if (*found) *out = banRow(r, 0);
        PQclear(r);
        return true;
    }

    bool liveBans(int64_t now, std::vector<PanelBan>* out, std::string* error) override {
        PGresult* r = run((std::string("SELECT ") + kBanColumns +
                           " WHERE b.lifted_at IS NULL AND (b.length_min = 0 OR "
                           "b.ban_time + b.length_min * 60 > $1::bigint) ORDER BY b.id")
                              .c_str(),
                          {std::to_string(now)}, error);
        if (!r) return false;
        out->clear();
        for (int i = 0; i < PQntuples(r); ++i) out->push_back(banRow(r, i));
        PQclear(r);
        return true;
    }

    bool hasLiveBan(const std::string& guid, int64_t now, bool* yes, std::string* error) override {
        PGresult* r =
            run("SELECT 1 FROM fleet_bans WHERE lifted_at IS NULL AND upper(guid) = upper($1) AND "
                "(length_min = 0 OR ban_time + length_min * 60 > $2::bigint) LIMIT 1",
                {guid, std::to_string(now)}, error);
        if (!r) return false;
        *yes = PQntuples(r) > 0;
        PQclear(r);
        return true;
    }

    bool setReason(int64_t banId, const std::string& reason, std::string* error) override {
        PGresult* r = run(
            "INSERT INTO panel_ban_reasons (ban_id, reason) VALUES ($1::bigint, $2) ON CONFLICT "
            "(ban_id) DO UPDATE SET reason = EXCLUDED.reason",
            {std::to_string(banId), reason}, error);
        if (r) PQclear(r);
        return r != nullptr;
    }

    bool admin(const std::string& name, AdminRow* out, bool* found, std::string* error) override {
        PGresult* r =
            run("SELECT name, level, hash FROM panel_admins WHERE name = $1", {name}, error);
        if (!r) return false;
        *found = PQntuples(r) == 1;
        if (*found) {
            out->name = PQgetvalue(r, 0, 0);
            out->level = levelFromName(PQgetvalue(r, 0, 1));
            out->hash = PQgetvalue(r, 0, 2);
        }
        PQclear(r);
        return true;
    }

    bool putAdmin(const AdminRow& row, std::string* error) override {
        PGresult* r =
            run("INSERT INTO panel_admins (name, level, hash, added_at) VALUES ($1, $2, $3, "
                "extract(epoch from now())::bigint) ON CONFLICT (name) DO UPDATE SET level = "
                "EXCLUDED.level, hash = EXCLUDED.hash",
                {row.name, levelName(row.level), row.hash}, error);
        if (r) PQclear(r);
        return r != nullptr;
    }

    bool addAudit(const AuditRow& row, std::string* error) override {
        PGresult* r =
            run("INSERT INTO panel_audit (at, who, from_addr, action, detail) VALUES ($1::bigint, "
                "$2, $3, $4, $5)",
                {std::to_string(row.at), row.who, row.from, row.action, row.detail}, error);
        if (r) PQclear(r);
        return r != nullptr;
    }

    bool audits(const AuditQuery& q, std::vector<AuditRow>* out, std::string* error) override {
        PGresult* r =
            run("SELECT id, at, who, from_addr, action, detail FROM panel_audit WHERE ($1::text = "
                "'' OR who = $1) AND ($2::text = '' OR action = $2) AND ($3::bigint = 0 OR id < "
                "$3::bigint) ORDER BY id DESC LIMIT $4::integer",
                {q.who, q.action, std::to_string(q.before), std::to_string(q.limit + 1)}, error);
        if (!r) return false;
        out->clear();
        for (int i = 0; i < PQntuples(r); ++i) {
            AuditRow a;
            a.id = cell(r, i, 0);
            a.at = cell(r, i, 1);
            a.who = PQgetvalue(r, i, 2);
            a.from = PQgetvalue(r, i, 3);
            a.action = PQgetvalue(r, i, 4);
            a.detail = PQgetvalue(r, i, 5);
            out->push_back(a);
        }
        PQclear(r);
        return true;
    }

    bool addAppeal(const AppealRow& a, int64_t* id, std::string* error) override {
        PGresult* r = run(
            "INSERT INTO panel_appeals (ban_id, guid, body, contact, filed_at, from_addr) VALUES "
            "($1::bigint, $2, $3, $4, $5::bigint, $6) RETURNING id",
            {std::to_string(a.banId), a.guid, a.text, a.contact, std::to_string(a.filedAt), a.from},
            error);
        if (!r) return false;
        *id = cell(r, 0, 0);
        PQclear(r);
        return true;
    }

    bool appealsOf(int64_t banId, std::vector<AppealRow>* out, std::string* error) override {
        return appealList((std::string("SELECT ") + kAppealColumns +
                           " FROM panel_appeals WHERE ban_id = $1::bigint ORDER BY id")
                              .c_str(),
                          {std::to_string(banId)}, out, error);
    }

    bool appeals(const std::string& state, int64_t before, int limit, std::vector<AppealRow>* out,
                 std::string* error) override {
        return appealList((std::string("SELECT ") + kAppealColumns +
                           " FROM panel_appeals WHERE ($1::text = '' OR state = $1) AND "
                           "($2::bigint = 0 OR id < $2::bigint) ORDER BY id DESC LIMIT "
                           "$3::integer")
                              .c_str(),
                          {state, std::to_string(before), std::to_string(limit + 1)}, out, error);
    }

    bool appeal(int64_t id, AppealRow* out, bool* found, std::string* error) override {
        std::vector<AppealRow> list;
        if (!appealList((std::string("SELECT ") + kAppealColumns +
                         " FROM panel_appeals WHERE id = $1::bigint")
                            .c_str(),
                        {std::to_string(id)}, &list, error)) {
            return false;
        }
        *found = !list.empty();
        if (*found) *out = list[0];
        return true;
    }

    bool decideAppeal(int64_t id, const std::string& state, const std::string& answer,
                      const std::string& by, int64_t at, std::string* error) override {
        PGresult* r =
            run("UPDATE panel_appeals SET state = $2, answer = $3, decided_by = $4, decided_at = "
                "$5::bigint WHERE id = $1::bigint AND state = 'open' RETURNING id",
                {std::to_string(id), state, answer, by, std::to_string(at)}, error);
        if (!r) return false;
        bool done = PQntuples(r) == 1;
        PQclear(r);
        if (!done) *error = "that appeal is not open";
        return done;
    }

    bool appealsSince(const std::string& guid, const std::string& address, int64_t since,
                      int* byGuid, int* byAddress, std::string* error) override {
        PGresult* r =
            run("SELECT count(*) FILTER (WHERE upper(guid) = upper($1)), count(*) FILTER (WHERE "
                "from_addr = $2) FROM panel_appeals WHERE filed_at >= $3::bigint",
                {guid, address, std::to_string(since)}, error);
        if (!r) return false;
        *byGuid = static_cast<int>(cell(r, 0, 0));
        *byAddress = static_cast<int>(cell(r, 0, 1));
        PQclear(r);
        return true;
    }

    qzm::FleetStore& fleet() override { return *fleet_; }

  private:
    bool connect(std::string* error) {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) return true;
        if (conn_) PQfinish(conn_);
        conn_ = PQconnectdb(conninfo_.c_str());
        if (PQstatus(conn_) != CONNECTION_OK) {
            *error = std::string("cannot connect to the database: ") + PQerrorMessage(conn_);
            while (!error->empty() && error->back() == '\n') error->pop_back();
            return false;
        }
        // A page never waits long: a statement that takes longer is cut off and shown as an
        // error.
        PQclear(PQexec(conn_, "SET statement_timeout = '10s'"));
        return true;
    }

    PGresult* run(const char* sql, const std::vector<std::string>& values, std::string* error) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connect(error)) return nullptr;
            std::vector<const char*> v;
            for (const std::string& s : values) v.push_back(s.c_str());
            PGresult* r = PQexecParams(conn_, sql, static_cast<int>(v.size()), nullptr, v.data(),
                                       nullptr, nullptr, 0);
            ExecStatusType s = PQresultStatus(r);
            if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) return r;
            *error = PQresultErrorMessage(r);
            while (!error->empty() && error->back() == '\n') error->pop_back();
            PQclear(r);
            // A lost connection is opened again once; a failed statement is reported.
            if (PQstatus(conn_) == CONNECTION_OK) return nullptr;
        }
        return nullptr;
    }

    bool appealList(const char* sql, const std::vector<std::string>& values,
                    std::vector<AppealRow>* out, std::string* error) {
        PGresult* r = run(sql, values, error);
        if (!r) return false;
        out->clear();
        for (int i = 0; i < PQntuples(r); ++i) out->push_back(appealRow(r, i));
        PQclear(r);
        return true;
    }

    std::string conninfo_;
    PGconn* conn_ = nullptr;
    std::unique_ptr<qzm::FleetStore> fleet_;
};

}  // namespace

std::unique_ptr<PanelData> makePanelDataPg(const std::string& conninfo) {
    return std::make_unique<PgPanelData>(conninfo);
}

}  // namespace qzpanel

#else

namespace qzpanel {

// Without libpq the panel serves the file store only.
std::unique_ptr<PanelData> makePanelDataPg(const std::string&) { return nullptr; }

}  // namespace qzpanel

#endif
