// A fleet end to end: three game servers (qzhost processes, each module with its own home) and
// two qzmaster processes on one PostgreSQL database. A fleet ban made on A removes the player on
// B and refuses him on C; a ban of A's own stays on A; an unban reaches everyone; reports made
// while their master is away arrive once it is back, each once; forged and replayed reports are
// refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "fleet_fixture.h"

using namespace fleettest;

namespace {

const char* kCheater = "0123456789ABCDEF0123456789ABCDEF";
const char* kLocal = "AAAABBBBCCCCDDDDEEEEFFFF00001111";
const char* kAway1 = "1111222233334444555566667777AAAA";
const char* kAway2 = "1111222233334444555566667777BBBB";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

unsigned freeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A program started with its standard input on a pipe and its output in a file.
struct Process {
    pid_t pid = -1;
    int input = -1;
    std::string out;

    void start(const std::vector<std::string>& args, const std::string& outPath) {
        out = outPath;
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        pid = fork();
        if (pid == 0) {
            dup2(p[0], 0);
            close(p[1]);
            int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> argv;
            std::vector<std::string> copy = args;
            for (std::string& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(p[0]);
        input = p[1];
    }
    void send(const std::string& line) {
        std::string l = line + "\n";
        ASSERT_EQ(write(input, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    std::string text() const { return readAll(out); }
    // Waits until the output holds WHAT at least N times.
    bool await(const std::string& what, size_t n = 1, int ms = 5000) const {
        long long end = nowMs() + ms;
        while (nowMs() < end) {
            if (count(text(), what) >= n) return true;
            usleep(20000);
        }
        return false;
    }
    void stop(int sig = SIGTERM) {
        if (pid <= 0) return;
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
        pid = -1;
        if (input >= 0) close(input);
        input = -1;
    }
    ~Process() { stop(); }
};

std::vector<std::string> withEmulator(std::vector<std::string> args) {
    std::string emulator = QZ_RUN;
    if (!emulator.empty()) args.insert(args.begin(), emulator);
    return args;
}

class FleetSystem : public FleetTest {
  protected:
    void TearDown() override {
        for (Process* p : {&a_, &b_, &c_}) {
            if (p->pid > 0) p->send("quit");
        }
        for (Process* p : {&a_, &b_, &c_, &m1_, &m2_}) p->stop();
        FleetTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(work_, ignored);
    }

    void startMaster(Process* m, unsigned port, const std::string& name) {
        m->start(withEmulator({std::string(QZ_BINARY_DIR) + "/qzmaster", "--port", "0",
                               "--fleet-port", std::to_string(port), "--db", db_}),
                 work_ + "/" + name + ".out");
        ASSERT_TRUE(m->await("fleet store ready", 1, 10000)) << m->text();
    }

    // A game server whose module is fleet member ID and talks to the master on PORT.
    void startServer(Process* p, const std::string& id, unsigned port) {
        std::string home = work_ + "/" + id;
        std::filesystem::create_directories(home + "/qz");
        {
            std::ofstream key(home + "/qz/qzfleet.key");
            key << secrets_[id] << "\n";
        }
        chmod((home + "/qz/qzfleet.key").c_str(), 0600);
        {
            std::ofstream cfg(home + "/qz/qzsvuser.cfg");
            cfg << "qz_sv_FleetService 127.0.0.1:" << port << "\r\nqz_sv_FleetServer " << id
                << "\r\n";
        }
        p->start(withEmulator({std::string(QZ_BINARY_DIR) + "/qzhost", "+set", "fs_homepath", home,
                               "+set", "fs_basepath", home}),
                 work_ + "/" + id + ".out");
    }

    std::vector<qzm::BanListing> liveBans(const char* guid) {
        qzm::BanQuery q;
        q.guid = guid;
        std::vector<qzm::BanListing> out;
        std::string why;
        EXPECT_TRUE(store()->listBans(q, &out, &why)) << why;
        return out;
    }

    std::string work_;
    Process m1_, m2_, a_, b_, c_;
};

}  // namespace

TEST_P(FleetSystem, ThreeServersAndTwoMastersShareFleetBans) {
    char pattern[] = "/tmp/qzfleetsys-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    work_ = pattern;
    unsigned p1 = freeUdpPort(), p2 = freeUdpPort();
    ASSERT_NO_FATAL_FAILURE(startMaster(&m1_, p1, "m1"));
    ASSERT_NO_FATAL_FAILURE(startMaster(&m2_, p2, "m2"));
    // A reports to master 1; B and C talk to master 2.
    startServer(&a_, "alpha", p1);
    startServer(&b_, "bravo", p2);
    startServer(&c_, "charlie", p2);
    for (Process* p : {&a_, &b_, &c_}) ASSERT_TRUE(p->await("Fleet: ban service")) << p->text();

    // The cheater plays on B (B asks master 2 about him), then is banned fleet-wide on A.
    b_.send(std::string("sim_connect Cheater ") + kCheater + " 10.0.0.5:27960");
    ASSERT_TRUE(b_.await("slot 1: Cheater admitted")) << b_.text();
    usleep(300000);
    a_.send(std::string("sim_connect Cheater ") + kCheater + " 10.0.0.9:27960");
    ASSERT_TRUE(a_.await("slot 1: Cheater admitted")) << a_.text();
    long long banned = nowMs();
    a_.send("qz_sv_FleetScope fleet qz_sv_Ban 1 aimbot");
    ASSERT_TRUE(a_.await("Fleet-wide ban of")) << a_.text();
    // Master 2 announces what master 1 stored: B removes him.
    ASSERT_TRUE(b_.await("GLOBAL Kestrine GUID BAN", 1, 3000)) << b_.text() << m2_.text();
    EXPECT_LT(nowMs() - banned, 2000) << "report, commit, notification and push";
    ASSERT_EQ(liveBans(kCheater).size(), 1u);
    EXPECT_STREQ(liveBans(kCheater)[0].rec.server, "alpha");

    // C refuses him when he comes.
    c_.send(std::string("sim_connect Cheater ") + kCheater + " 10.0.0.7:27960");
    ASSERT_TRUE(c_.await("GLOBAL Kestrine GUID BAN", 1, 3000)) << c_.text();

    // A ban of A's own stays on A.
    a_.send(std::string("qz_sv_FleetScope local qz_sv_BanGuid ") + kLocal + " Local 1.2.3.4 r");
    ASSERT_TRUE(a_.await("Ban Added to Ban List")) << a_.text();
    usleep(1500000);
    EXPECT_TRUE(liveBans(kLocal).empty());

    // The unban on A lifts A's own fleet ban everywhere: C admits him again.
    a_.send(std::string("qz_sv_UnbanGuid ") + kCheater);
    ASSERT_TRUE(a_.await("is lifted")) << a_.text();
    long long end = nowMs() + 5000;
    while (!liveBans(kCheater).empty() && nowMs() < end) usleep(50000);
    EXPECT_TRUE(liveBans(kCheater).empty());
    ASSERT_TRUE(m2_.await("lifted by server:alpha", 1, 3000)) << m2_.text();
    usleep(300000);
    size_t before = count(c_.text(), "GLOBAL Kestrine GUID BAN");
    size_t admitted = count(c_.text(), "Cheater admitted");
    c_.send(std::string("sim_connect Cheater ") + kCheater + " 10.0.0.7:27960");
    ASSERT_TRUE(c_.await("Cheater admitted", admitted + 1)) << c_.text();
    usleep(1500000);
    EXPECT_EQ(count(c_.text(), "GLOBAL Kestrine GUID BAN"), before) << c_.text();

    // Master 1 goes away; two fleet bans are made on A meanwhile; it comes back on its port.
    m1_.stop(SIGKILL);
    a_.send("qz_sv_FleetBanDefault 1");
    a_.send(std::string("qz_sv_BanGuid ") + kAway1 + " Away1 1.2.3.5 r");
    a_.send(std::string("qz_sv_BanGuid ") + kAway2 + " Away2 1.2.3.6 r");
    ASSERT_TRUE(a_.await("Fleet-wide ban of", 3)) << a_.text();
    usleep(2500000);
    EXPECT_TRUE(liveBans(kAway1).empty());
    ASSERT_NO_FATAL_FAILURE(startMaster(&m1_, p1, "m1-again"));
    end = nowMs() + 20000;
    while ((liveBans(kAway1).empty() || liveBans(kAway2).empty()) && nowMs() < end) usleep(100000);
    usleep(2000000);  // resends still on their way change nothing
    EXPECT_EQ(liveBans(kAway1).size(), 1u);
    EXPECT_EQ(liveBans(kAway2).size(), 1u);

    // Forged and replayed reports to master 2 are refused.
    FakeServer forger("alpha", std::string(64, '7'), p2);
    forger.report(0x99, kLocal, "Victim");
    FakeServer genuine("bravo", secrets_["bravo"], p2);
    genuine.lookup(1, kCheater);
    FleetBody answer;
    ASSERT_TRUE(genuine.await(3000, nullptr, answerTo(1), &answer));
    genuine.sendRaw(genuine.lastPacket);
    EXPECT_TRUE(m2_.await("refused bad-mac", 1, 3000)) << m2_.text();
    EXPECT_TRUE(m2_.await("refused replay", 1, 3000)) << m2_.text();
    EXPECT_TRUE(liveBans(kLocal).empty());
}

INSTANTIATE_TEST_SUITE_P(OneDatabase, FleetSystem, ::testing::Values(StoreKind::Postgres),
                         storeName);
