// The fleet service against PostgreSQL when the database misbehaves: a connection lost while
// bans are lifted with another machine's clock, a load that fails until the schema is there, a
// schema newer than the program, a load that is slow while servers already ask, and a packet
// replayed to the other master from another address.
// Built only where the program has PostgreSQL (the 32-bit build has no libpq).
#ifdef QZ_HAVE_LIBPQ

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include "fleet_fixture.h"

using namespace fleettest;

namespace {

const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";

// Runs SQL on a connection of its own; the error text, or "" when it went through.
std::string sql(const std::string& conninfo, const std::string& text) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    std::string error;
    if (PQstatus(c) != CONNECTION_OK) {
        error = PQerrorMessage(c);
    } else {
        PGresult* r = PQexec(c, text.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            error = PQresultErrorMessage(r);
        PQclear(r);
    }
    PQfinish(c);
    return error;
}

// Every connection to the test's database but the caller's is ended.
const char* kKillOthers =
    "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
    "AND pid <> pg_backend_pid()";

bool logSays(qzm::FleetService* m, const std::string& what, std::vector<std::string>* seen) {
    for (const std::string& line : m->log()) seen->push_back(line);
    m->log().clear();
    for (const std::string& line : *seen)
        if (line.find(what) != std::string::npos) return true;
    return false;
}

}  // namespace

class FleetDatabase : public FleetTest {
  protected:
    // A service started without waiting for its store.
    qzm::FleetService* startLoading(const std::string& db) {
        auto s = std::make_unique<qzm::FleetService>();
        qzm::FleetOptions o;
        o.port = 0;
        o.db = db;
        std::string why;
        EXPECT_TRUE(s->start(o, &why)) << why;
        services_.push_back(std::move(s));
        return services_.back().get();
    }
    // Polls until COND or 30 s.
    bool until(const std::function<bool()>& cond) {
        long long end = nowMs() + 30000;
        while (!cond()) {
            if (nowMs() > end) return false;
            spin(5);
        }
        return true;
    }
};

TEST_P(FleetDatabase, ALiftMadeWhileTheConnectionWasLostIsLoadedWhateverItsClockSays) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    auto b = member("bravo", m);
    FleetBody ack, answer, lift;
    b->lookup(1, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(1), &answer));
    a->report(1, kGuid, "Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));

    // The service's connection dies, and meanwhile the ban is lifted by a machine whose clock is
    // two hours behind: its notification never reaches this service.
    std::string error = sql(db_, std::string(kKillOthers) +
                                     "; UPDATE fleet_bans SET lifted_at = extract(epoch FROM "
                                     "now())::bigint - 7200, lifted_by = 'cli:skewed' WHERE id = " +
                                     std::to_string(ack.fleetId));
    ASSERT_EQ(error, "");
    // After the reconnection the service reads the changes after the last one it applied.
    ASSERT_TRUE(b->await(30000, pump(), pushOf(QZF_LIFT, kGuid), &lift));
    EXPECT_EQ(lift.fleetId, ack.fleetId);
    b->lookup(2, kGuid);
    ASSERT_TRUE(b->await(3000, pump(), answerTo(2), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
}

TEST_P(FleetDatabase, ALoadThatFailsIsRetriedUntilTheSchemaIsThere) {
    std::string why;
    std::string fresh = qztest::Postgres::shared(&why)->createDatabase(&why);
    ASSERT_FALSE(fresh.empty()) << why;
    qzm::FleetService* m = startLoading(fresh);
    std::vector<std::string> seen;
    ASSERT_TRUE(until([&] { return logSays(m, "no fleet schema", &seen); }));
    EXPECT_FALSE(m->ready());

    std::unique_ptr<qzm::FleetStore> admin = qzm::openFleetStore(fresh, "", &why);
    ASSERT_TRUE(admin->migrate(&why)) << why;
    ASSERT_TRUE(admin->addServer("alpha", secrets_["alpha"], &why)) << why;
    ASSERT_TRUE(until([&] { return m->ready(); })) << "the load was not tried again";
    auto a = member("alpha", m);
    FleetBody answer;
    a->lookup(1, kGuid);
    ASSERT_TRUE(a->await(5000, pump(), answerTo(1), &answer));
    EXPECT_STREQ(answer.verdict, "CLEAR");
}

TEST_P(FleetDatabase, ASchemaNewerThanTheProgramIsNeitherServedNorMigrated) {
    ASSERT_EQ(sql(db_, "INSERT INTO schema_version (version, name) VALUES (999, 'future')"), "");
    qzm::FleetService* m = startLoading(db_);
    std::vector<std::string> seen;
    ASSERT_TRUE(until([&] { return logSays(m, "newer than this qzmaster knows", &seen); }));
    spin(300);
    EXPECT_FALSE(m->ready());
    std::string why;
    EXPECT_FALSE(store()->migrate(&why));
    EXPECT_NE(why.find("newer than this qzmaster knows"), std::string::npos) << why;
}

TEST_P(FleetDatabase, ALookupDuringASlowLoadIsAnsweredOnceLoaded) {
    // The changes are locked, so the load waits after the servers are known.
    PGconn* lock = PQconnectdb(db_.c_str());
    ASSERT_EQ(PQstatus(lock), CONNECTION_OK);
    PQclear(PQexec(lock, "BEGIN; LOCK TABLE fleet_changes IN ACCESS EXCLUSIVE MODE"));
    qzm::FleetService* m = startLoading(db_);
    auto a = member("alpha", m);
    FleetBody answer;
    ASSERT_TRUE(until([&] { return m->state().server("alpha") != nullptr; }));
    a->lookup(1, kGuid);
    EXPECT_FALSE(a->await(500, pump(), answerTo(1), &answer));
    EXPECT_EQ(m->counters().notReady, 1);
    PQclear(PQexec(lock, "COMMIT"));
    PQfinish(lock);
    ASSERT_TRUE(a->await(30000, pump(), answerTo(1), &answer)) << "the noted lookup was dropped";
    EXPECT_STREQ(answer.verdict, "CLEAR");
}

TEST_P(FleetDatabase, APacketReplayedToTheOtherMasterFromElsewhereDoesNotMoveTheServer) {
    qzm::FleetService* m1 = startService();
    qzm::FleetService* m2 = startService();
    auto a = member("alpha", m1);
    FleetBody answer;
    std::string replay;
    for (uint32_t id = 1; id <= 3; ++id) {
        a->lookup(id, kGuid);
        if (id == 2) replay = a->lastPacket;
        ASSERT_TRUE(a->await(3000, pump(), answerTo(id), &answer));
    }
    sockaddr_in real{};
    socklen_t len = sizeof real;
    getsockname(a->fd, reinterpret_cast<sockaddr*>(&real), &len);
    ASSERT_TRUE(until([&] {
        qzm::FleetServer* s = m2->state().server("alpha");
        return s->haveAddress && s->address.sin_port == real.sin_port;
    })) << "the other master learns where the server is";
    spin(1200);  // what master 1 took is in the database

    auto thief = member("alpha", m2);
    thief->sendRaw(replay);
    spin(1000);
    for (qzm::FleetService* m : {m1, m2}) {
        qzm::FleetServer* s = m->state().server("alpha");
        EXPECT_EQ(s->address.sin_port, real.sin_port) << "the replay moved the server";
    }
}

TEST_P(FleetDatabase, AStatementThatWaitsTooLongIsCancelledAndTheReportAnsweredWhenResent) {
    // A short limit for the test (the default is 10 s); the service sets one on every
    // connection unless the connection string says otherwise.
    std::string db = db_;
    db_ += " options='-c statement_timeout=1000'";
    qzm::FleetService* m = startService();
    db_ = db;
    auto a = member("alpha", m);
    FleetBody ack;
    PGconn* lock = PQconnectdb(db_.c_str());
    ASSERT_EQ(PQstatus(lock), CONNECTION_OK);
    PQclear(PQexec(lock, "BEGIN; LOCK TABLE fleet_bans IN ACCESS EXCLUSIVE MODE"));
    a->report(1, kGuid, "Cheater");
    std::vector<std::string> seen;
    ASSERT_TRUE(until([&] { return logSays(m, "statement timeout", &seen); }))
        << "the report's statement waited for the lock without a limit";
    EXPECT_FALSE(a->await(10, pump(), answerTo(1), &ack)) << "answered without being stored";
    PQclear(PQexec(lock, "COMMIT"));
    PQfinish(lock);
    a->report(1, kGuid, "Cheater");  // the module sends it again
    ASSERT_TRUE(a->await(10000, pump(), answerTo(1), &ack));
    EXPECT_STREQ(ack.verdict, "ACK");
}

TEST_P(FleetDatabase, TheLogSaysWhenTheDatabaseIsConnectedLoadedLostAndLoadedAgain) {
    qzm::FleetService* m = startLoading(db_);
    std::vector<std::string> seen;
    ASSERT_TRUE(until([&] { return logSays(m, "database loaded: through change #0", &seen); }));
    EXPECT_TRUE(logSays(m, "database connected", &seen));
    ASSERT_EQ(sql(db_, kKillOthers), "");
    ASSERT_TRUE(until([&] { return logSays(m, "database loaded again", &seen); }));
    EXPECT_TRUE(logSays(m, "database unavailable", &seen));
}

INSTANTIATE_TEST_SUITE_P(Database, FleetDatabase, ::testing::Values(StoreKind::Postgres),
                         storeName);

#endif  // QZ_HAVE_LIBPQ
