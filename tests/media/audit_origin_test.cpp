// Every origin of an action writes its audit record, on the simulated game server: the console,
// a configuration file, a scheduled task, a power player's vote and rcon command, a UCON
// session; secrets never reach the file; a record that cannot be written is said on the
// console while the action still happens; a process killed right after an answer keeps its
// record.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audit_json.h"
#include "players/players_fixture.h"
#include "qzucon/client.h"

namespace {

class Audit : public PlayersTest {
  protected:
    // UCON profiles can be configured only with the marker present at start.
    void configure(sim::SimHost&) override {
        std::filesystem::create_directories(home());
        std::ofstream(home() + "qzucon.use") << "";
    }
    std::vector<std::string> records() const {
        std::vector<std::string> out;
        std::istringstream in(file("qzaudit.log"));
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // The last record that holds every one of the texts ("" when none).
    std::string record(std::initializer_list<std::string> texts) const {
        auto all = records();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            bool all_in = true;
            for (const auto& t : texts) all_in = all_in && it->find(t) != std::string::npos;
            if (all_in) return *it;
        }
        return "";
    }
};

TEST_F(Audit, AConsoleKickNamesTheConsoleThePlayerAndTheOutcome) {
    join("Dan", kGuidA, "1.2.3.4:27960");
    auto out = run("qz_sv_Kick 1 5 aimbot");
    EXPECT_TRUE(anyLineContains(out, "[host] DropClient 1"));
    std::string r = record({"\"action\":\"qz_sv_Kick\""});
    ASSERT_FALSE(r.empty()) << file("qzaudit.log");
    EXPECT_TRUE(audittest::validJson(r)) << r;
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"console\"}"), std::string::npos) << r;
    EXPECT_NE(r.find(std::string("\"target\":{\"slot\":1,\"name\":\"Dan\",\"guid\":\"") + kGuidA),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("\"command\":\"qz_sv_Kick 1 5 aimbot\""), std::string::npos) << r;
    EXPECT_NE(r.find("\"result\":\"done\""), std::string::npos) << r;
    // Listings change nothing and are not recorded.
    run("qz_sv_Plist");
    EXPECT_EQ(record({"qz_sv_Plist"}), "");
}

TEST_F(Audit, HostileNamesKeepEveryRecordValidJson) {
    const char* names[] = {"a\\\"b", "x\x01y", "\xff\xfe",
                           "^1R\xc3\xa9"
                           "d",
                           "{\"k\":1}"};
    int slot = 0;
    for (const char* name : names) {
        join(name, "", "1.2.3." + std::to_string(++slot) + ":27960");
        run("qz_sv_Kick " + std::to_string(slot) + " 5 x");
    }
    auto all = records();
    int kicks = 0;
    for (const auto& r : all) {
        EXPECT_TRUE(audittest::validJson(r)) << r;
        kicks += r.find("qz_sv_Kick") != std::string::npos;
    }
    EXPECT_EQ(kicks, 5);
}

TEST_F(Audit, SecretsNeverReachTheFile) {
    run("qz_sv_HttpKey Zq9-web-secret");
    run("qz_sv_UconAdd 1 * admin Zq9-ucon-secret");
    run("qz_sv_AdminAdd bob view Zq9-admin-secret");
    run("qz_sv_LogPw Zq9-log-secret");
    std::string text = file("qzaudit.log");
    EXPECT_NE(text.find("qz_sv_UconAdd"), std::string::npos) << text;
    EXPECT_NE(text.find("qz_sv_AdminAdd"), std::string::npos) << text;
    EXPECT_NE(text.find("qz_sv_HttpKey"), std::string::npos) << text;
    EXPECT_EQ(text.find("Zq9"), std::string::npos) << text;
    EXPECT_EQ(file("qzadmins.dat").find("Zq9"), std::string::npos);
}

TEST_F(Audit, DisablingAndEnablingTheModuleAreRecorded) {
    run("qz_sv_Disable");
    run("qz_sv_Enable");
    EXPECT_NE(record({"\"action\":\"qz_sv_Disable\""}), "") << file("qzaudit.log");
    EXPECT_NE(record({"\"action\":\"qz_sv_Enable\""}), "") << file("qzaudit.log");
}

TEST_F(Audit, ALockedConfigurationRecordsTheRefusal) {
    writeFile("lock.cfg", "qz_sv_KickLen 3\r\n");
    run("qz_sv_LoadLock lock.cfg");
    run("qz_sv_BadName 10 cheater");
    std::string r = record({"qz_sv_BadName"});
    EXPECT_NE(r.find("\"result\":\"refused\",\"why\":\"locked config mode\""), std::string::npos)
        << r;
    // The load itself, and the setting it made, are recorded too.
    EXPECT_NE(record({"qz_sv_LoadLock lock.cfg"}), "");
    EXPECT_NE(record({"\"action\":\"setting\"", "qz_sv_KickLen 3"}), "");
}

TEST_F(Audit, ACommandInsideALoadedFileGetsItsOwnAnswer) {
    writeFile("two.cfg", "qz_sv_KickLen 3\r\nqz_sv_Sleep 50\r\n");
    run("qz_sv_Load two.cfg");
    std::string load = record({"\"command\":\"qz_sv_Load two.cfg\""});
    std::string sleep = record({"\"command\":\"qz_sv_Sleep 50\""});
    ASSERT_NE(load, "") << file("qzaudit.log");
    ASSERT_NE(sleep, "") << file("qzaudit.log");
    // The nested records come first: they were written when their lines ran.
    auto all = records();
    EXPECT_LT(std::find(all.begin(), all.end(), sleep), std::find(all.begin(), all.end(), load));
    size_t why = load.find("\"why\":");
    if (why != std::string::npos) {
        EXPECT_EQ(sleep.find(load.substr(why)), std::string::npos) << sleep;
    }
}

TEST_F(Audit, AScheduledTaskIsNamedByItsSlot) {
    run("qz_sv_Task 10 5 qz_sv_KickLen 7");
    run("sim_advance 10000");
    std::string r = record({"qz_sv_KickLen 7", "\"action\":\"setting\""});
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"task\",\"slot\":1}"), std::string::npos) << r;
}

// A long file's lines run over several frame calls; those read after the command's own call
// keep the origin of the load.
TEST_F(Audit, ALongLoadKeepsItsOriginInLaterFrames) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "// filler line to spread the load over frames\r\n";
    text += "qz_sv_KickLen 9\r\n";
    writeFile("long.cfg", text);
    run("qz_sv_Task 10 5 qz_sv_Load long.cfg");
    run("sim_advance 10000");
    int frames = 0;
    while (record({"qz_sv_KickLen 9"}).empty() && frames < 5000) {
        run("sim_advance 0");
        ++frames;
    }
    ASSERT_GT(frames, 0) << "the load ended in the task's own call";
    std::string r = record({"qz_sv_KickLen 9", "\"action\":\"setting\""});
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"task\",\"slot\":1}"), std::string::npos) << r;
}

TEST_F(Audit, APowerPlayersVoteIsNamedByTheDecidingVoter) {
    run("qz_sv_PowerMin 10");
    run(std::string("qz_sv_PowerGuid ") + kGuidA + " 60 A");
    run(std::string("qz_sv_PowerGuid ") + kGuidB + " 60 B");
    join("Ann", kGuidA, "1.2.3.1:27960");
    join("Ben", kGuidB, "1.2.3.2:27960");
    join("Dan", kGuidC, "1.2.3.4:27960");
    run("sim_vote 1 3");
    run("sim_vote 2 3");
    std::string r = record({"\"action\":\"vote-kick\""});
    ASSERT_FALSE(r.empty()) << file("qzaudit.log");
    EXPECT_NE(r.find(std::string("\"origin\":{\"kind\":\"vote\",\"slot\":2,\"name\":\"Ben\","
                                 "\"addr\":\"1.2.3.2:27960\",\"guid\":\"") +
                     kGuidB),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("\"target\":{\"slot\":3,\"name\":\"Dan\""), std::string::npos) << r;
}

TEST_F(Audit, APowerPlayersRconCommandIsNamedByHisGuid) {
    run(std::string("qz_sv_PowerGuid ") + kGuidA + " 50 Ann");
    run("qz_sv_Rcon 40 qz_sv_KickLen *");
    join("Ann", kGuidA, "1.2.3.1:27960");
    run("sim_advance 1000");
    run("sim_rcon 1 qz_sv_KickLen 9");
    std::string r = record({"qz_sv_KickLen 9"});
    EXPECT_NE(r.find(std::string("\"origin\":{\"kind\":\"player\",\"slot\":1,\"name\":\"Ann\"")),
              std::string::npos)
        << r;
    EXPECT_NE(r.find(kGuidA), std::string::npos) << r;
}

TEST_F(Audit, AKickByTheModulesOwnRuleNamesTheModule) {
    join("all", kGuidA, "1.2.3.4:27960");  // a name the rules refuse
    std::string r = record({"\"action\":\"rule-kick\""});
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"module\"}"), std::string::npos) << file("qzaudit.log");
    EXPECT_NE(r.find("\"target\":{\"slot\":1,\"name\":\"all\""), std::string::npos) << r;
    EXPECT_NE(r.find("Player Name 'ALL' Disallowed"), std::string::npos) << r;
}

TEST_F(Audit, TheConsoleShowsTheLastRecordsFiltered) {
    join("Dan", kGuidA, "1.2.3.4:27960");
    join("Eve", kGuidB, "1.2.3.5:27960");
    run("qz_sv_Kick 1 5 x");
    run("qz_sv_Kick 2 5 y");
    auto out = run("qz_sv_AuditShow 10 eve");
    EXPECT_TRUE(anyLineContains(out, "\"name\":\"Eve\""));
    EXPECT_FALSE(anyLineContains(out, "\"name\":\"Dan\""));
    EXPECT_EQ(out.back(), "End of Audit Records (1 Record)");
    // Not listed among the commands.
    EXPECT_FALSE(anyLineContains(run("qz_sv_Help audit"), "AuditShow"));
}

// A record that cannot be written (the file size limit of a full disk) is said on the console;
// the kick still happens (decided in docs/audit.md).
TEST_F(Audit, AFullDiskIsSaidAndTheKickStillHappens) {
    join("Dan", kGuidA, "1.2.3.4:27960");
    run("qz_sv_KickLen 2");  // opens the file
    long size = static_cast<long>(file("qzaudit.log").size());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {};
        lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(size);
        setrlimit(RLIMIT_FSIZE, &lim);
        auto out = run("qz_sv_Kick 1 5 x");
        bool told = anyLineContains(out, "AUDIT: the record of qz_sv_Kick could not be written");
        bool kicked = anyLineContains(out, "[host] DropClient 1");
        _exit(told && kicked ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The answer is shown only after the record was written: a process killed at once after it
// keeps the record.
TEST_F(Audit, KillAfterTheAnswerLosesNoRecord) {
    join("Dan", kGuidA, "1.2.3.4:27960");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto out = run("qz_sv_Kick 1 5 killtest");
        if (anyLineContains(out, "Kick Command Issued")) kill(getpid(), SIGKILL);
        _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_NE(record({"qz_sv_Kick 1 5 killtest", "\"result\":\"done\""}), "");
}

class AuditStartup : public Audit {
  protected:
    void configure(sim::SimHost& host) override {
        Audit::configure(host);
        std::ofstream(home() + "qzsvuser.cfg") << "qz_sv_KickLen 4\r\nqz_sv_Sleep 60\r\n";
    }
};

TEST_F(AuditStartup, AFileLoadedAtStartIsOneRecordNamingTheFile) {
    std::string r = record({"\"action\":\"config-load\""});
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"config\",\"name\":\"qzsvuser.cfg\"}"),
              std::string::npos)
        << file("qzaudit.log");
    EXPECT_EQ(record({"qz_sv_KickLen 4"}), "");
    // qzsv.cfg is not there: no record of it.
    EXPECT_EQ(record({"\"name\":\"qzsv.cfg\""}), "");
}

int freeUdpPort() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

class AuditUcon : public Audit {
  protected:
    void SetUp() override {
        Audit::SetUp();
        port_ = freeUdpPort();
        run("qz_sv_extraport " + std::to_string(port_));
        ASSERT_TRUE(anyLineContains(run("sim_advance 0"), "Listening for UDP on"));
        run("qz_sv_USessionLimit 2");
        run("qz_sv_UconAdd 1 127.0.0.* admin s3cret");
    }
    static void pump(void* self) { static_cast<AuditUcon*>(self)->run("sim_advance 0"); }
    int port_ = 0;
};

TEST_F(AuditUcon, LoginsFailedLoginsAndSessionCommandsNameTheProfileAndAddress) {
    UconClient c;
    c.pump = pump;
    c.pumpArg = this;
    ASSERT_TRUE(
        uconClientConnect(&c, ("127.0.0.1:" + std::to_string(port_)).c_str(), "admin", "s3cret"));
    ASSERT_TRUE(uconClientLogin(&c, 2000)) << c.error;
    EXPECT_NE(record({"\"action\":\"ucon-login\"", "\"result\":\"done\""}), "");
    ASSERT_TRUE(uconClientSend(&c, "qz_sv_KickLen 4"));
    char line[1500];
    while (uconClientRecv(&c, line, sizeof line, 50) == 1) {
    }
    std::string r = record({"qz_sv_KickLen 4"});
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"ucon\",\"name\":\"admin\",\"addr\":\"127.0.0.1:"),
              std::string::npos)
        << r;
    EXPECT_EQ(file("qzaudit.log").find("s3cret"), std::string::npos);
    uconClientClose(&c);

    // A wrong password, from another client after the session ended.
    UconClient bad;
    bad.pump = pump;
    bad.pumpArg = this;
    ASSERT_TRUE(
        uconClientConnect(&bad, ("127.0.0.1:" + std::to_string(port_)).c_str(), "admin", "wrong"));
    EXPECT_FALSE(uconClientLogin(&bad, 500));
    uconClientClose(&bad);
    r = record({"\"action\":\"ucon-login\"", "\"result\":\"refused\""});
    EXPECT_NE(r.find("\"origin\":{\"kind\":\"ucon\",\"name\":\"admin\",\"addr\":\"127.0.0.1:"),
              std::string::npos)
        << file("qzaudit.log");
    EXPECT_EQ(r.find("wrong"), std::string::npos);
}

}  // namespace
