// The fleet panel's test fixture: every test runs once on the file store and once on
// PostgreSQL (a throw-away server), with a fleet service whose loop runs in a thread of the
// fixture (as qzmaster's main loop runs it) and a panel whose handle() the test calls itself.
#pragma once

#ifdef QZ_HAVE_PANEL

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../fleet_client.h"
#include "qzmaster/fleet_cli.h"
#include "qzmaster/fleet_service.h"
#include "qzmaster/fleet_state.h"
#include "qzmaster/panel/panel.h"
#include "support/postgres.h"

#ifdef QZ_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

namespace paneltest {

enum class StoreKind { File, Postgres };

inline void PrintTo(StoreKind k, std::ostream* os) {
    *os << (k == StoreKind::File ? "the file store" : "PostgreSQL");
}
inline std::string storeName(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param == StoreKind::File ? "FileStore" : "PostgreSQL";
}

// Hashing costs tens of milliseconds and 64 MiB: each password is hashed once per program.
inline const std::string& hashOf(const std::string& password) {
    static std::map<std::string, std::string> hashes;
    auto it = hashes.find(password);
    if (it == hashes.end()) it = hashes.emplace(password, qzpanel::hashPassword(password)).first;
    return it->second;
}

class PanelTest : public ::testing::TestWithParam<StoreKind> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qzpanel::authInit());
        std::string why;
        if (GetParam() == StoreKind::Postgres) {
#ifndef QZ_HAVE_LIBPQ
            GTEST_SKIP() << "built without libpq";
#endif
            qztest::Postgres* pg = qztest::Postgres::shared(&why);
            if (!pg) GTEST_SKIP() << why;
            db_ = pg->createDatabase(&why);
            ASSERT_FALSE(db_.empty()) << why;
        } else {
            char pattern[] = "/tmp/qzpanel-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            dir_ = pattern;
        }
        std::unique_ptr<qzm::FleetStore> admin = qzm::openFleetStore(db_, dir_, &why);
        ASSERT_TRUE(admin);
        ASSERT_TRUE(admin->migrate(&why)) << why;
        secret_ = qzm::newSecretHex();
        ASSERT_TRUE(admin->addServer("alpha", secret_, &why)) << why;
        service_ = std::make_unique<qzm::FleetService>();
        qzm::FleetOptions o;
        o.port = 0;
        o.dir = dir_;
        o.db = db_;
        ASSERT_TRUE(service_->start(o, &why)) << why;
        pump_ = std::thread([this] {
            while (!stop_) {
                service_->poll();
                bridge_.serviceTick(*service_);
                service_->log().clear();
                usleep(500);
            }
        });
        ASSERT_TRUE(eventually(
            [this] { return onService([](qzm::FleetService& s) { return s.ready(); }); }));
        qzpanel::PanelOptions po;
        po.db = db_;
        po.dir = dir_;
        panel_ = std::make_unique<qzpanel::Panel>(po, bridge_);
        ASSERT_TRUE(panel_->open(&why)) << why;
        addAdmin("alice", qzpanel::Level::Ban);
        addAdmin("victor", qzpanel::Level::View);
        addAdmin("root", qzpanel::Level::All);
    }

    void TearDown() override {
        stop_ = true;
        if (pump_.joinable()) pump_.join();
        panel_.reset();
        service_.reset();
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    void addAdmin(const std::string& name, qzpanel::Level level) {
        qzpanel::AdminRow row{name, level, hashOf("pw-" + name + "-long")};
        std::string why;
        ASSERT_TRUE(panel_->data().putAdmin(row, &why)) << why;
    }

    // Runs FN on the service's thread and returns its result.
    bool onService(std::function<bool(qzm::FleetService&)> fn) {
        auto p = std::make_shared<std::promise<bool>>();
        auto f = p->get_future();
        bridge_.post([fn, p](qzm::FleetService& s) { p->set_value(fn(s)); });
        if (f.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return false;
        return f.get();
    }

    static bool eventually(const std::function<bool()>& cond) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end) {
            if (cond()) return true;
            usleep(5000);
        }
        return false;
    }

    // Stores fleet bans (as servers' reports would) straight into the store, oldest first:
    // NAMES[i] with GUID GUIDS[i]; ids 1, 2, ...
    void storeBans(const std::vector<std::string>& guids, const std::vector<std::string>& names,
                   int64_t lengthMin = 0) {
        int64_t now = time(nullptr);
        if (GetParam() == StoreKind::File) {
            std::string text;
            for (size_t i = 0; i < guids.size(); ++i) {
                qzm::FleetRecord r;
                r.kind = 'B';
                r.ban.id = static_cast<int64_t>(++stored_);
                r.id = r.ban.id;
                snprintf(r.ban.server, sizeof r.ban.server, "alpha");
                r.ban.reportEpoch = 0x5eed;
                r.ban.reportId = stored_;
                snprintf(r.ban.guid, sizeof r.ban.guid, "%s", guids[i].c_str());
                r.ban.banTime = now - 100;
                r.ban.lengthMin = lengthMin;
                r.ban.received = now;
                std::string name;
                qzm::cleanName(names[i], &name);
                snprintf(r.ban.name, sizeof r.ban.name, "%s", name.c_str());
                text += qzm::formatRecord(r);
            }
            FILE* f = fopen((dir_ + "/fleet.log").c_str(), "a");
            ASSERT_NE(f, nullptr);
            fwrite(text.data(), 1, text.size(), f);
            fclose(f);
            return;
        }
#ifdef QZ_HAVE_LIBPQ
        PGconn* c = PQconnectdb(db_.c_str());
        ASSERT_EQ(PQstatus(c), CONNECTION_OK);
        PQclear(PQexec(c, "BEGIN"));
        for (size_t i = 0; i < guids.size(); ++i) {
            // Report ids as servers give them (epoch:counter); names as their exact bytes.
            std::string report = qzm::reportIdText(0x5eed, ++stored_),
                        t = std::to_string(now - 100), len = std::to_string(lengthMin),
                        rec = std::to_string(now), name;
            qzm::cleanName(names[i], &name);
            std::string hex;
            for (unsigned char ch : name) {
                static const char* d = "0123456789abcdef";
                hex.push_back(d[ch >> 4]);
                hex.push_back(d[ch & 15]);
            }
            const char* v[] = {report.c_str(), guids[i].c_str(), hex.c_str(),
                               t.c_str(),      len.c_str(),      rec.c_str()};
            PGresult* r = PQexecParams(
                c,
                "INSERT INTO fleet_bans (server_id, report_id, guid, name, address, origin, "
                "ban_time, length_min, received) VALUES ('alpha', $1, $2, decode($3, 'hex'), '?', "
                "'console', "
                "$4::bigint, $5::bigint, $6::bigint)",
                6, nullptr, v, nullptr, nullptr, 0);
            ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQresultErrorMessage(r);
            PQclear(r);
        }
        PQclear(PQexec(c, "COMMIT"));
        PQfinish(c);
#endif
    }

    qzpanel::Request get(const std::string& path, const std::string& query = "") {
        qzpanel::Request r;
        r.method = "GET";
        r.path = path;
        r.address = "10.0.0.1";
        r.host = "panel.example.invalid";
        EXPECT_TRUE(r.query.parse(query));
        return r;
    }
    qzpanel::Request post(const std::string& path, const std::string& form,
                          const std::string& address = "10.0.0.1") {
        qzpanel::Request r;
        r.method = "POST";
        r.path = path;
        r.address = address;
        r.host = "panel.example.invalid";
        r.origin = "https://panel.example.invalid";
        r.fetchSite = "same-origin";
        r.formOk = r.form.parse(form, qzpanel::kFormBodyMax);
        return r;
    }
    qzpanel::Response send(qzpanel::Request r, const std::string& session = "") {
        if (!session.empty()) r.cookies = "qzp_session=" + session;
        return panel_->handle(r);
    }

    // The value of the first hidden field NAME on BODY.
    static std::string hidden(const std::string& body, const std::string& name) {
        std::string key = "name=\"" + name + "\" value=\"";
        size_t at = body.find(key);
        if (at == std::string::npos) return "";
        at += key.size();
        return body.substr(at, body.find('"', at) - at);
    }
    static std::string header(const qzpanel::Response& r, const std::string& name) {
        for (const auto& [k, v] : r.headers) {
            if (k == name) return v;
        }
        return "";
    }

    // Logs NAME in from ADDRESS; the session cookie's value ("" when refused).
    std::string login(const std::string& name, const std::string& password = "",
                      const std::string& address = "10.0.0.1") {
        qzpanel::Request page = get("/admin/login");
        page.address = address;
        std::string token = hidden(send(page).body, "token");
        std::string pw = password.empty() ? "pw-" + name + "-long" : password;
        qzpanel::Response r = send(
            post("/admin/login", "token=" + token + "&name=" + name + "&password=" + pw, address));
        std::string cookie = header(r, "Set-Cookie");
        if (r.status != 303 || cookie.rfind("qzp_session=", 0) != 0) return "";
        return cookie.substr(12, 64);
    }
    std::string csrfOf(const std::string& session) {
        return hidden(send(get("/admin"), session).body, "csrf");
    }

    std::string db_, dir_, secret_;
    uint64_t stored_ = 0;
    qzpanel::ServiceBridge bridge_;
    std::unique_ptr<qzm::FleetService> service_;
    std::unique_ptr<qzpanel::Panel> panel_;
    std::thread pump_;
    std::atomic<bool> stop_{false};
};

}  // namespace paneltest

#endif
