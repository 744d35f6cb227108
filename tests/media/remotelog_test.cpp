// Remote logging: the syslog datagram, the HMAC proof that stands for the password, refusing an
// address that would need a name lookup, and lines arriving at a real rsyslog receiver.
#include "media/remotelog.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/module_fixture.h"

#ifdef QZ_HAVE_OPENSSL
#include <openssl/hmac.h>
#endif

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string hmac(const std::string& key, const std::string& data) {
    char out[33];
    hmacMd5Hex(key.data(), static_cast<int>(key.size()), data.data(), static_cast<int>(data.size()),
               out);
    return out;
}

TEST(RemoteLogProof, MatchesThePublishedHmacMd5TestVectors) {
    // RFC 2202, test cases 1, 2 and 6 (the last with a key longer than one block).
    EXPECT_EQ(hmac(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hmac("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(
        hmac(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
        "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

constexpr time_t kNewYear2026 = 1767225600;  // 2026-01-01T00:00:00Z

std::string format(const char* user, const char* password, const char* text) {
    char out[QZ_SYSLOG_MAX];
    int n = remoteLogFormat(out, sizeof out, "box", 42, 7, kNewYear2026, user, password, text,
                            static_cast<int>(strlen(text)));
    EXPECT_EQ(n, static_cast<int>(strlen(out)));
    return out;
}

TEST(RemoteLogFormat, IsAnRfc5424LineWithTheUserInStructuredData) {
    EXPECT_EQ(format("bob", "", "hello world"),
              "<134>1 2026-01-01T00:00:00Z box kestrine 42 - [qz@32473 user=\"bob\" seq=\"7\"] "
              "hello world");
}

TEST(RemoteLogFormat, CarriesAProofOfThePasswordInsteadOfThePassword) {
    std::string line = format("bob", "s3cret", "hello world");
    EXPECT_EQ(line.find("s3cret"), std::string::npos);
    std::string proof = hmac("s3cret", "bob 7 2026-01-01T00:00:00Z hello world");
    EXPECT_EQ(line,
              "<134>1 2026-01-01T00:00:00Z box kestrine 42 - [qz@32473 user=\"bob\" "
              "seq=\"7\" proof=\"" +
                  proof + "\"] hello world");
}

TEST(RemoteLogFormat, EscapesTheCharactersStructuredDataReserves) {
    EXPECT_NE(format("a\"b]c\\d", "", "x").find("user=\"a\\\"b\\]c\\\\d\""), std::string::npos);
}

TEST(RemoteLogFormat, NeverWritesPastItsBuffer) {
    char out[40];
    memset(out, 'Z', sizeof out);
    int n = remoteLogFormat(out, 32, "box", 42, 7, kNewYear2026, "bob", "pw", "text", 4);
    EXPECT_EQ(n, 31);
    EXPECT_EQ(out[31], 0);
    EXPECT_EQ(out[32], 'Z');
}

class RemoteLog : public ModuleTest {};

TEST_F(RemoteLog, AnAddressThatIsNotNumericIsRefusedOnce) {
    run("qz_sv_LogAddr logs.example.invalid");
    auto out = run("qz_sv_LogPort 514");
    run("qz_sv_Ver");
    run("qz_sv_Ver");
    size_t refusals = 0;
    for (const std::string& line : host().output()) {
        if (line ==
            "Remote log address \"logs.example.invalid\" is not a numeric IP address; "
            "remote logging is off")
            refusals++;
    }
    EXPECT_EQ(refusals, 1u);
    EXPECT_TRUE(anyLineContains(out, "is not a numeric IP address"));
}

// A receiver that is not there costs nothing: the lines still reach the local log.
TEST_F(RemoteLog, NoReceiverListeningLeavesTheLocalLogAlone) {
    run("qz_sv_LogAddr 127.0.0.1");
    run("qz_sv_LogPort 9");
    for (int i = 0; i < 50; ++i) run("qz_sv_Ver");
    std::string text = readFile(home() + "svlogs/00000001.log");
    size_t n = 0;
    for (size_t at = text.find("Kestrine Server (v"); at != std::string::npos;
         at = text.find("Kestrine Server (v", at + 1))
        n++;
    EXPECT_EQ(n, 51u);
}

std::string findRsyslogd() {
    for (const char* p : {"/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/local/sbin/rsyslogd"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

// A free UDP port on the loopback address, as the kernel hands one out.
int freeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

void sendUdp(int port, const std::string& text) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    close(fd);
}

// A real rsyslog on a loopback port of its own, writing every datagram it receives as it came
// into one file.
class RsyslogReceiver : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        std::string daemon = findRsyslogd();
        if (daemon.empty()) {
            GTEST_SKIP() << "rsyslogd is not installed (scripts/deps.sh installs rsyslog)";
        }
        dir_ = gameHome() + "/rsyslog";
        ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
        received_ = dir_ + "/received.log";
        port_ = freeUdpPort();
        ASSERT_GT(port_, 0);
        std::string conf = dir_ + "/rsyslog.conf";
        std::ofstream(conf) << "global(workDirectory=\"" << dir_ << "\")\n"
                            << "module(load=\"imudp\")\n"
                            << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << port_
                            << "\" ruleset=\"qz\")\n"
                            << "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
                            << "ruleset(name=\"qz\") { action(type=\"omfile\" file=\"" << received_
                            << "\" template=\"raw\") }\n";
        std::string pidFile = dir_ + "/rsyslogd.pid";
        std::string errFile = dir_ + "/rsyslogd.out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, errFile.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<std::string> args = {daemon, "-n", "-f", conf, "-i", pidFile};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&pid_, daemon.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(rc, 0) << "cannot start " << daemon;

        // Ready once a probe comes through.
        for (int i = 0; i < 100 && readFile(received_).find("probe") == std::string::npos; ++i) {
            sendUdp(port_, "<134>1 - - probe - - - probe");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_NE(readFile(received_).find("probe"), std::string::npos)
            << "rsyslogd did not start:\n"
            << readFile(errFile);
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        ModuleTest::TearDown();
    }
    // Waits up to five seconds for text to arrive; returns everything received.
    std::string awaitReceived(const std::string& text) {
        for (int i = 0; i < 100; ++i) {
            std::string all = readFile(received_);
            if (all.find(text) != std::string::npos) return all;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return readFile(received_);
    }

    std::string dir_, received_;
    int port_ = 0;
    pid_t pid_ = 0;
};

TEST_F(RsyslogReceiver, ReceivesTheLogLinesWithTheUserNameAndWithoutThePassword) {
    run("qz_sv_LogUser tester");
    run("qz_sv_LogPw s3cret-pass");
    run("qz_sv_LogAddr 127.0.0.1");
    run("qz_sv_LogPort " + std::to_string(port_));
    run("qz_sv_Ver");
    run("qz_sv_NewLog");
    std::string all = awaitReceived("Opened for NEWLOG");

    std::vector<std::string> ours;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" kestrine ") != std::string::npos) ours.push_back(line);
    ASSERT_GE(ours.size(), 4u) << all;  // port shown, version, new log announced, opened
    EXPECT_NE(all.find("] Kestrine Server (v"), std::string::npos) << all;
    EXPECT_NE(all.find("] Opening a New QZ Server Log"), std::string::npos) << all;
    EXPECT_EQ(all.find("s3cret-pass"), std::string::npos) << all;

    // Every line names the user and proves the password; a receiver that knows it can rebuild
    // each proof from the fields of the line.
    unsigned lastSeq = 0;
    for (const std::string& line : ours) {
        EXPECT_NE(line.find("[qz@32473 user=\"tester\" seq=\""), std::string::npos) << line;
        std::istringstream f(line);
        std::string pri, stamp, host, app, pid, msgid;
        f >> pri >> stamp >> host >> app >> pid >> msgid;
        EXPECT_EQ(pri, "<134>1");
        EXPECT_EQ(app, "kestrine");
        size_t seqAt = line.find("seq=\"") + 5;
        unsigned seq = static_cast<unsigned>(std::stoul(line.substr(seqAt)));
        EXPECT_GT(seq, lastSeq);
        lastSeq = seq;
        size_t proofAt = line.find("proof=\"");
        ASSERT_NE(proofAt, std::string::npos) << line;
        std::string proof = line.substr(proofAt + 7, 32);
        std::string message = line.substr(line.find("\"] ") + 3);
        std::string data = "tester " + std::to_string(seq) + " " + stamp + " " + message;
#ifdef QZ_HAVE_OPENSSL
        unsigned char md[16];
        unsigned mdLen = 0;
        HMAC(EVP_md5(), "s3cret-pass", 11, reinterpret_cast<const unsigned char*>(data.data()),
             data.size(), md, &mdLen);
        char hexText[33];
        for (int i = 0; i < 16; ++i) snprintf(hexText + 2 * i, 3, "%02x", md[i]);
        EXPECT_EQ(proof, hexText) << line;
#else
        EXPECT_EQ(proof, hmac("s3cret-pass", data)) << line;
#endif
    }
}

}  // namespace
