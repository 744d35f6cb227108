// The qzmaster program as an administrator and a fleet use it: the servers and bans commands
// (exit status, one record a line) on both stores, and a master killed with SIGKILL right after
// acknowledging a report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "fleet_fixture.h"

using namespace fleettest;

namespace {

const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";

std::vector<std::string> programArgs(const std::vector<std::string>& args) {
    std::vector<std::string> all;
    std::string emulator = QZ_RUN;
    if (!emulator.empty()) all.push_back(emulator);
    all.push_back(std::string(QZ_BINARY_DIR) + "/qzmaster");
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Starts qzmaster with ARGS, its output into OUT; the pid.
pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> all = programArgs(args);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct Outcome {
    int status;
    std::string out;
};

Outcome run(const std::vector<std::string>& args) {
    char pattern[] = "/tmp/qzfleetout-XXXXXX";
    int fd = mkstemp(pattern);
    close(fd);
    pid_t pid = spawn(args, pattern);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(pattern);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(pattern);
    return Outcome{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ss.str()};
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits for a line of the program's output matching RE; the first group, or "".
std::string awaitLine(const std::string& path, const std::string& re, int ms = 10000) {
    std::regex r(re);
    long long end = nowMs() + ms;
    while (nowMs() < end) {
        std::string text = fileText(path);
        std::smatch m;
        if (std::regex_search(text, m, r)) return m.size() > 1 ? m[1].str() : m[0].str();
        usleep(10000);
    }
    return "";
}

size_t lines(const std::string& text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

class FleetProgramTest : public FleetTest {
  protected:
    // --db CONNINFO or --dir DIR, whichever store the test runs on.
    std::vector<std::string> where() {
        return db_.empty() ? std::vector<std::string>{"--dir", dir_}
                           : std::vector<std::string>{"--db", db_};
    }
    Outcome cli(std::vector<std::string> args) {
        std::vector<std::string> w = where();
        args.insert(args.begin() + 1, w.begin(), w.end());
        return run(args);
    }
};

}  // namespace

TEST_P(FleetProgramTest, ServersAreAddedListedCutOffAndRestoredFromAScript) {
    Outcome add = cli({"servers", "add", "echo"});
    ASSERT_EQ(add.status, 0) << add.out;
    EXPECT_TRUE(std::regex_match(add.out, std::regex("echo\t[0-9a-f]{64}\n"))) << add.out;
    // The secret is shown once: adding the same id again changes nothing and says so.
    Outcome again = cli({"servers", "add", "echo"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("exists"), std::string::npos);
    EXPECT_EQ(cli({"servers", "add", "bad id!"}).status, 2);

    Outcome list = cli({"servers", "list"});
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(lines(list.out), 4u);
    EXPECT_TRUE(std::regex_search(list.out, std::regex("(^|\n)echo\tactive\t[0-9T:Z-]+\t0\n")))
        << list.out;

    EXPECT_EQ(cli({"servers", "cut", "echo"}).status, 0);
    EXPECT_TRUE(std::regex_search(cli({"servers", "list"}).out, std::regex("echo\tcut-off\t")));
    EXPECT_EQ(cli({"servers", "restore", "echo"}).status, 0);
    EXPECT_TRUE(std::regex_search(cli({"servers", "list"}).out, std::regex("echo\tactive\t")));
    EXPECT_EQ(cli({"servers", "cut", "nobody"}).status, 1);
    EXPECT_EQ(cli({"servers", "frobnicate", "echo"}).status, 2);
}

TEST_P(FleetProgramTest, BansAreListedSearchedShownAndLiftedFromAScript) {
    qzm::FleetService* m = startService();
    auto a = member("alpha", m);
    FleetBody ack;
    a->report(1, kGuid, "Mr Cheater");
    ASSERT_TRUE(a->await(3000, pump(), answerTo(1), &ack));
    std::string id = std::to_string(ack.fleetId);

    Outcome list = cli({"bans", "list"});
    ASSERT_EQ(list.status, 0);
    ASSERT_EQ(lines(list.out), 1u) << list.out;
    EXPECT_TRUE(std::regex_match(
        list.out, std::regex(id + "\t" + kGuid +
                             "\tlive\talpha\t[0-9T:Z-]+\tpermanent\tconsole\t10\\.0\\.0\\.5\t[0-9T:"
                             "Z-]+\t-\t-\tMr Cheater\n")))
        << list.out;
    EXPECT_EQ(cli({"bans", "search", "--name", "cheat"}).out, list.out);
    EXPECT_EQ(cli({"bans", "search", "--guid", "0123456789abcdef0123456789abcdef"}).out, list.out);
    EXPECT_EQ(cli({"bans", "search", "--name", "nobody"}).status, 1);
    EXPECT_EQ(cli({"bans", "show", id}).out, list.out);
    EXPECT_EQ(cli({"bans", "show", "999"}).status, 1);
    EXPECT_EQ(cli({"bans", "search"}).status, 2);

    Outcome lifted = cli({"bans", "unban", "--guid", kGuid, "--by", "ops"});
    ASSERT_EQ(lifted.status, 0);
    EXPECT_NE(lifted.out.find("\tlifted\t"), std::string::npos);
    EXPECT_NE(lifted.out.find("\tcli:ops\t"), std::string::npos);
    EXPECT_EQ(cli({"bans", "unban", "--guid", kGuid}).status, 1);  // nothing left to lift
    EXPECT_EQ(cli({"bans", "list"}).out, "");
    Outcome all = cli({"bans", "list", "--all"});
    EXPECT_EQ(lines(all.out), 1u);
    EXPECT_NE(all.out.find("\tlifted\t"), std::string::npos);
}

TEST_P(FleetProgramTest, MigratingAgainChangesNothing) {
    std::vector<std::string> args = where();
    args.push_back("--migrate");
    Outcome first = run(args);
    EXPECT_EQ(first.status, 0) << first.out;
    Outcome second = run(args);
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(lines(cli({"servers", "list"}).out), 3u);
}

TEST_P(FleetProgramTest, AMasterKilledRightAfterAnAcknowledgementLosesNothing) {
    char pattern[] = "/tmp/qzfleetlog-XXXXXX";
    int fd = mkstemp(pattern);
    close(fd);
    std::string log = pattern;
    std::vector<std::string> args = {"--port", "0", "--fleet-port", "0"};
    std::vector<std::string> w = where();
    args.insert(args.end(), w.begin(), w.end());

    pid_t pid = spawn(args, log);
    std::string port = awaitLine(log, "fleet service on 127\\.0\\.0\\.1:([0-9]+)");
    ASSERT_FALSE(port.empty()) << fileText(log);
    ASSERT_FALSE(awaitLine(log, "fleet store ready").empty()) << fileText(log);
    FakeServer a("alpha", secrets_["alpha"], static_cast<unsigned>(std::stoi(port)));
    FleetBody ack;
    a.report(0x2a, kGuid, "Cheater");
    ASSERT_TRUE(a.await(5000, nullptr, answerTo(0x2a), &ack));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    unlink(log.c_str());
    log += ".2";  // a new file: nothing of the first run's output can be taken for the second's
    pid = spawn(args, log);
    port = awaitLine(log, "fleet service on 127\\.0\\.0\\.1:([0-9]+)");
    ASSERT_FALSE(port.empty()) << fileText(log);
    ASSERT_FALSE(awaitLine(log, "fleet store ready: 1 fleet bans").empty()) << fileText(log);
    a.servicePort = static_cast<unsigned>(std::stoi(port));
    FleetBody answer;
    a.lookup(1, kGuid);
    EXPECT_TRUE(a.await(5000, nullptr, answerTo(1), &answer));
    EXPECT_STREQ(answer.verdict, "BANNED");
    EXPECT_EQ(answer.fleetId, ack.fleetId);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    unlink(log.c_str());
}

TEST(FleetProgram, WithoutAStoreTheCommandsSayWhatIsMissing) {
    Outcome r = run({"bans", "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("--db CONNINFO or --dir DIR"), std::string::npos);
    EXPECT_EQ(run({"bans"}).status, 2);
}

INSTANTIATE_TEST_SUITE_P(Stores, FleetProgramTest,
                         ::testing::Values(StoreKind::File, StoreKind::Postgres), storeName);
