// The qzmaster program as an administrator and a fleet use it: the servers and bans commands
// (exit status, one record a line) on both stores, and a master killed with SIGKILL right after
// acknowledging a report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
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

// Starts qzmaster with ARGS, its output into OUT (its errors too unless ERR is given); the pid.
pid_t spawn(const std::vector<std::string>& args, const std::string& out,
            const std::string& err = "") {
    std::vector<std::string> all = programArgs(args);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(err.empty() ? fd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
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
    // --db CONNINFO or --fleet-dir DIR, whichever store the test runs on.
    std::vector<std::string> where() {
        return db_.empty() ? std::vector<std::string>{"--fleet-dir", dir_}
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
    ASSERT_TRUE(a->await(kAnswerWaitMs, pump(), answerTo(1), &ack));
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

// The command line as a new administrator meets it: help on standard output, and every option
// that is unknown, misplaced or in conflict refused with one line and status 2.
struct LineCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* says;  // on standard output for status 0, on standard error otherwise
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class FleetCommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(FleetCommandLine, AnswersWithOneClearLineAndADocumentedStatus) {
    const LineCase& c = GetParam();
    char out[] = "/tmp/qzfleetcli-XXXXXX";
    close(mkstemp(out));
    std::string err = std::string(out) + ".err";
    pid_t pid = spawn(c.args, out, err);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string stdoutText = fileText(out), stderrText = fileText(err);
    unlink(out);
    unlink(err.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status) << stdoutText << stderrText;
    if (c.status == 0) {
        EXPECT_NE(stdoutText.find(c.says), std::string::npos) << stdoutText;
        EXPECT_EQ(stderrText, "");
    } else {
        EXPECT_NE(stderrText.find(c.says), std::string::npos) << stderrText;
        EXPECT_EQ(lines(stderrText), 1u) << stderrText;
        EXPECT_EQ(stdoutText, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FleetCommandLine,
    ::testing::Values(
        LineCase{"Help", {"--help"}, 0, "--fleet-dir DIR | --dir DIR) --migrate"},
        LineCase{"ServersHelp", {"servers", "--help"}, 0, "qzmaster servers STORE add ID"},
        LineCase{"BansHelp", {"bans", "list", "-h"}, 0, "qzmaster bans STORE unban"},
        LineCase{"UnknownOption", {"--frobnicate"}, 2, "unknown option --frobnicate"},
        LineCase{"MissingValue", {"--port"}, 2, "--port needs a value"},
        LineCase{"DatabaseAndFolder",
                 {"servers", "--db", "dbname=x", "--dir", "/tmp", "list"},
                 2,
                 "give one store"},
        LineCase{"DatabaseAndFleetFolder",
                 {"--db", "dbname=x", "--fleet-dir", "/tmp/x"},
                 2,
                 "--db and --fleet-dir"},
        LineCase{"OptionsThatDoNotApply",
                 {"servers", "list", "--all", "--guid", "zz", "--fleet-dir", "/tmp/x"},
                 2,
                 "does not apply to servers list"},
        LineCase{"UnknownCommandOption", {"bans", "--frobnicate", "list"}, 2, "unknown option"},
        LineCase{"OptionTwice", {"bans", "--all", "--all", "list"}, 2, "given twice"},
        LineCase{"PanelWithoutPort", {"--panel", "127.0.0.1"}, 2, "--panel takes ADDRESS:PORT"},
        LineCase{"PanelPortTooBig", {"--panel", ":65536"}, 2, "--panel takes ADDRESS:PORT"},
        LineCase{"PanelSwitchWithoutPanel", {"--panel-private"}, 2, "go with --panel"}),
    [](const ::testing::TestParamInfo<LineCase>& p) { return std::string(p.param.name); });

TEST(FleetProgram, ReadingAFolderWithoutAStoreCreatesNothingThere) {
    char pattern[] = "/tmp/qzfleetwrong-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    for (const char* option : {"--dir", "--fleet-dir"}) {
        Outcome r = run({"bans", option, dir, "list"});
        EXPECT_EQ(r.status, 3) << r.out;
        EXPECT_NE(r.out.find("no fleet store in"), std::string::npos) << r.out;
    }
    EXPECT_NE(access((dir + "/fleet.log").c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "/fleet").c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "/fleet/fleet.log").c_str(), F_OK), 0);
    rmdir(pattern);
}

TEST(FleetProgram, TheFileStoreLivesInAFolderOfItsOwnThatIsNeverServed) {
    char pattern[] = "/tmp/qzfleetserved-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    Outcome r = run({"--dir", dir, "--migrate"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(access((dir + "/fleet/fleet.log").c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "/fleet.log").c_str(), F_OK), 0);
    struct stat st {};
    ASSERT_EQ(stat((dir + "/fleet").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

TEST(FleetProgram, WithoutAStoreTheCommandsSayWhatIsMissing) {
    Outcome r = run({"bans", "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("--db CONNINFO or --fleet-dir DIR"), std::string::npos);
    EXPECT_EQ(run({"bans"}).status, 2);
}

INSTANTIATE_TEST_SUITE_P(Stores, FleetProgramTest,
                         ::testing::Values(StoreKind::File, StoreKind::Postgres), storeName);
