// The fleet service's test fixture: every test runs once on the file store and once on
// PostgreSQL (a throw-away server, see support/postgres.h), with three servers of the fleet
// registered and services started in the test's own thread.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fleet_client.h"
#include "qzmaster/fleet_cli.h"
#include "qzmaster/fleet_service.h"
#include "qzmaster/fleet_state.h"
#include "support/postgres.h"

namespace fleettest {

enum class StoreKind { File, Postgres };

inline void PrintTo(StoreKind k, std::ostream* os) {
    *os << (k == StoreKind::File ? "the file store" : "PostgreSQL");
}

inline std::string storeName(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param == StoreKind::File ? "FileStore" : "PostgreSQL";
}

class FleetTest : public ::testing::TestWithParam<StoreKind> {
  protected:
    void SetUp() override {
        std::string why;
        if (GetParam() == StoreKind::Postgres) {
            qztest::Postgres* pg = qztest::Postgres::shared(&why);
            if (!pg) GTEST_SKIP() << why;
            db_ = pg->createDatabase(&why);
            ASSERT_FALSE(db_.empty()) << why;
        } else {
            char pattern[] = "/tmp/qzfleet-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            dir_ = pattern;
        }
        std::unique_ptr<qzm::FleetStore> admin = store();
        ASSERT_TRUE(admin);
        ASSERT_TRUE(admin->migrate(&why)) << why;
        for (const char* id : {"alpha", "bravo", "charlie"}) {
            std::string secret = qzm::newSecretHex();
            ASSERT_TRUE(admin->addServer(id, secret, &why)) << why;
            secrets_[id] = secret;
        }
    }
    void TearDown() override {
        services_.clear();
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
    }

    // A store handle for administration (what the command line uses).
    std::unique_ptr<qzm::FleetStore> store() {
        std::string why;
        return qzm::openFleetStore(db_, dir_, &why);
    }

    // Starts one more service on an ephemeral port and waits until its store is loaded.
    qzm::FleetService* startService(qzm::FleetOptions o = {}) {
        auto s = std::make_unique<qzm::FleetService>();
        o.port = 0;
        o.dir = dir_;
        o.db = db_;
        std::string why;
        EXPECT_TRUE(s->start(o, &why)) << why;
        long long end = nowMs() + 10000;
        while (!s->ready() && nowMs() < end) {
            s->poll();
            usleep(1000);
        }
        EXPECT_TRUE(s->ready());
        services_.push_back(std::move(s));
        return services_.back().get();
    }

    // Polls every running service once.
    std::function<void()> pump() {
        return [this] {
            for (auto& s : services_) s->poll();
        };
    }
    // Polls the services for MS milliseconds.
    void spin(int ms) {
        long long end = nowMs() + ms;
        while (nowMs() < end) {
            pump()();
            usleep(1000);
        }
    }

    std::unique_ptr<FakeServer> member(const std::string& id, qzm::FleetService* service) {
        return std::make_unique<FakeServer>(id, secrets_[id], service->port());
    }

    std::string db_, dir_;
    std::map<std::string, std::string> secrets_;
    std::vector<std::unique_ptr<qzm::FleetService>> services_;
};

}  // namespace fleettest
