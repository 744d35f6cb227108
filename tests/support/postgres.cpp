// The tests' throw-away PostgreSQL server (postgres.h).
#include "support/postgres.h"

#include <glob.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#ifdef QZ_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

namespace qztest {

namespace {

// The bin folder of the newest PostgreSQL under /usr/lib/postgresql, or "". (A build without the
// client library starts no server; the two helpers are then unused.)
[[maybe_unused]] std::string binDir() {
    glob_t g{};
    std::string best;
    int bestVersion = -1;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            std::string p = g.gl_pathv[i];
            int v = atoi(p.c_str() + strlen("/usr/lib/postgresql/"));
            std::string dir = p.substr(0, p.size() - strlen("/initdb"));
            if (v > bestVersion && access((dir + "/postgres").c_str(), X_OK) == 0) {
                bestVersion = v;
                best = dir;
            }
        }
    }
    globfree(&g);
    return best;
}

// Runs ARGS as the postgres user; with WAIT the exit status, else the child's pid. The child
// gets SIGTERM when the test program goes away.
[[maybe_unused]] int runAs(const passwd& pw, const std::vector<std::string>& args, bool wait,
                           const std::string& log) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(pw.pw_gid) != 0 || setuid(pw.pw_uid) != 0)
            _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (!log.empty()) {
            FILE* f = freopen(log.c_str(), "a", stdout);
            if (f) dup2(fileno(stdout), 2);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return -1;
    if (!wait) return pid;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<Postgres> g_shared;
std::string g_why;
bool g_tried = false;

}  // namespace

Postgres* Postgres::shared(std::string* why) {
    if (!g_tried) {
        g_tried = true;
        std::unique_ptr<Postgres> p(new Postgres());
        if (p->start(&g_why)) {
            g_shared = std::move(p);
            atexit([] { g_shared.reset(); });
        }
    }
    if (!g_shared) *why = g_why;
    return g_shared.get();
}

Postgres::~Postgres() { stop(); }

std::string Postgres::adminConninfo() const {
    return "host=" + dir_ + " port=5432 user=postgres dbname=postgres connect_timeout=5";
}

bool Postgres::start(std::string* why) {
#ifndef QZ_HAVE_LIBPQ
    *why = "this build has no PostgreSQL client library";
    return false;
#else
    if (getuid() != 0) {
        *why = "the PostgreSQL tests start a server as the postgres user and need root";
        return false;
    }
    std::string bin = binDir();
    passwd* pw = getpwnam("postgres");
    if (bin.empty() || !pw) {
        *why = "PostgreSQL is not installed (scripts/deps.sh test installs it)";
        return false;
    }
    passwd user = *pw;
    char pattern[] = "/tmp/qzpg-XXXXXX";
    if (!mkdtemp(pattern)) {
        *why = "cannot make a temporary folder";
        return false;
    }
    dir_ = pattern;
    if (chown(dir_.c_str(), user.pw_uid, user.pw_gid) != 0) {
        *why = "cannot hand the folder to the postgres user";
        return false;
    }
    std::string data = dir_ + "/data", log = dir_ + "/server.log";
    if (runAs(user,
              {bin + "/initdb", "-D", data, "-U", "postgres", "--auth=trust", "--no-sync", "-E",
               "UTF8", "--locale=C"},
              true, dir_ + "/initdb.log") != 0) {
        *why = "initdb failed (see " + dir_ + "/initdb.log)";
        dir_.clear();
        return false;
    }
    pid_ = runAs(user,
                 {bin + "/postgres", "-D", data, "-k", dir_, "-c", "listen_addresses=", "-c",
                  "fsync=off", "-c", "max_connections=50", "-p", "5432"},
                 false, log);
    for (int i = 0; i < 300; ++i) {
        if (PQping(adminConninfo().c_str()) == PQPING_OK) return true;
        usleep(20000);
    }
    *why = "the PostgreSQL server did not start (see " + log + ")";
    return false;
#endif
}

void Postgres::stop() {
    if (pid_ > 0) {
        // Fast shutdown: every session ends now, nothing is worth keeping.
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

std::string Postgres::createDatabase(std::string* why) {
#ifndef QZ_HAVE_LIBPQ
    *why = "no libpq";
    return "";
#else
    std::string name = "qztest" + std::to_string(getpid()) + "_" + std::to_string(++databases_);
    PGconn* c = PQconnectdb(adminConninfo().c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok) *why = PQresultErrorMessage(r);
        PQclear(r);
    } else {
        *why = PQerrorMessage(c);
    }
    PQfinish(c);
    if (!ok) return "";
    return "host=" + dir_ + " port=5432 user=postgres dbname=" + name + " connect_timeout=5";
#endif
}

}  // namespace qztest
