// The bridge's slot table against recorded log lines and server answers: what the module is told
// when a client number changes hands without a disconnect line, when a "status" answer is older
// than the log, and when the log failed to report a rename.
#include "qzbridge/bridge.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The module as the bridge sees it: it records the player events and admits everyone.
std::vector<std::string>& events() {
    static std::vector<std::string> list;
    return list;
}
qz_host g_host;
// The module's qz_sv_HttpMapsPath, as its console shows it.
std::string g_mapsPath;
int fakeSa(const qz_host* host) {
    g_host = *host;
    return 0;
}
int fakeSb(int event, int slot, const char* data, int length) {
    std::string text(data ? data : "", data ? static_cast<size_t>(length) : 0);
    std::string s = std::to_string(slot);
    if (event == QZ_EV_CONSOLE) {
        if (text == "qz_sv_HttpMapsPath") {
            g_host.print(("qz_sv_HttpMapsPath = " + g_mapsPath).c_str());
        } else {
            events().push_back("console " + text);
        }
    }
    if (event == QZ_EV_CONNECT) events().push_back("connect " + s + " " + text);
    if (event == QZ_EV_RENAME) events().push_back("rename " + s + " " + text);
    if (event == QZ_EV_DISCONNECT) events().push_back("disconnect " + s);
    return event == QZ_EV_CONNECT ? QZ_ADMIT : 0;
}

// Answers the two look-ups the bridge makes when it starts (serverinfo, g_log), then stops.
// The test hands every later answer to the bridge itself.
class FirstContact {
  public:
    FirstContact() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FirstContact() {
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

  private:
    void serve() {
        int answered = 0;
        for (int i = 0; i < 300 && answered < 2; ++i) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            char buffer[2048];
            sockaddr_in from{};
            socklen_t n = sizeof from;
            ssize_t got =
                recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n);
            if (got <= 0) continue;
            std::string request(buffer, static_cast<size_t>(got));
            std::string out = request.find("serverinfo") != std::string::npos
                                  ? "\xff\xff\xff\xffprint\nServer info settings:\n"
                                    "mapname             oasago2\n"
                                  : "\xff\xff\xff\xffprint\n\"g_log\" is:\"games.log^7\"\n";
            sendto(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
            answered++;
        }
    }
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

const char kStatusHead[] =
    "map: oasago2\n"
    "cl score ping name            address                                 rate \n"
    "-- ----- ---- --------------- --------------------------------------- -----\n";

class BridgeSlots : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp ? tmp : "/tmp";
        std::string dir = base + "/qzbridge-XXXXXX";
        std::vector<char> name(dir.begin(), dir.end());
        name.push_back(0);
        ASSERT_NE(mkdtemp(name.data()), nullptr) << dir;
        dir_ = name.data();
        qzb::Options o;
        o.port = contact_.port();
        o.log = dir_ + "/games.log";
        o.home = dir_;
        o.password = "pw";
        bridge_ = std::make_unique<qzb::Bridge>(o);
        std::string error;
        std::filesystem::create_directories(dir_ + "/qz");
        ASSERT_TRUE(bridge_->startWith(fakeSa, fakeSb, &error)) << error;
        events().clear();
        // The bridge's first "status", asked at start: nobody is on the server yet.
        status("");
    }
    void TearDown() override {
        bridge_.reset();
        std::filesystem::remove_all(dir_);
    }
    void log(const std::string& line) { bridge_->logLine("  0:06 " + line); }
    void joinBot(int number, const std::string& name) {
        log("ClientUserinfoChanged: " + std::to_string(number) + " n\\" + name +
            "\\t\\0\\model\\sarge\\skill\\ 1.00\\tt\\0\\tl\\0\\id\\");
        log("ClientConnect: " + std::to_string(number));
    }
    void userinfo(int number, const std::string& name, const std::string& guid) {
        log("ClientUserinfoChanged: " + std::to_string(number) + " n\\" + name +
            "\\t\\0\\model\\sarge\\id\\" + guid);
    }
    // The server's answer to the look-up the join on NUMBER waits for.
    void dumpuser(int number, const std::string& ip, const std::string& guid) {
        qzb::Reply r;
        r.purpose = qzb::Purpose::kDumpUser;
        r.client = number;
        r.tag = bridge_->client(number).lookupTag;
        r.answered = true;
        r.text = "userinfo\n--------\nip                   " + ip + "\ncl_guid              " +
                 guid + "\n";
        bridge_->reply(r);
    }
    void joinHuman(int number, const std::string& name, const std::string& guid) {
        userinfo(number, name, guid);
        log("ClientConnect: " + std::to_string(number));
        dumpuser(number, "127.0.0.2", guid);
    }
    // The answer to the pending "status", with these rows (as the server prints them).
    void status(const std::string& rows) {
        qzb::Reply r;
        r.purpose = qzb::Purpose::kStatus;
        r.answered = true;
        r.text = kStatusHead + rows;
        bridge_->reply(r);
    }
    // Asks the next periodic "status" (its answer comes with status()).
    void askStatus() {
        later_ += 20000;
        bridge_->timers(qzb::Rcon::nowMs() + later_);
    }

    FirstContact contact_;
    long long later_ = 0;
    std::string dir_;
    std::unique_ptr<qzb::Bridge> bridge_;
};

const char kGuidA[] = "0123456789ABCDEF0123456789ABCDEF";
const char kGuidB[] = "FEDCBA9876543210FEDCBA9876543210";

TEST_F(BridgeSlots, AStatusAnswerOlderThanALeaveNeverBringsTheClientBack) {
    joinBot(3, "AfterCut");
    askStatus();
    // The server listed the bot, then he was kicked; the bridge reads the leave first.
    log("ClientDisconnect: 3");
    status(" 3     0    0 AfterCut       ^7bot                                     16384\n");
    EXPECT_EQ(bridge_->client(3).state, qzb::Client::kFree);
    // The next player on that number is a join with its look-up, not a rename of the bot.
    joinHuman(3, "RealPlayer", kGuidA);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "connect 4 AfterCut\\\\bot\\B",
                            "disconnect 4",
                            std::string("connect 4 RealPlayer\\") + kGuidA + "\\127.0.0.2\\?",
                        }));
}

TEST_F(BridgeSlots, AStatusAskedAfterTheLeaveStillRemovesAClientTheLogMissed) {
    joinBot(5, "Sarge");
    askStatus();
    status("");
    EXPECT_EQ(events(), (std::vector<std::string>{"connect 6 Sarge\\\\bot\\B", "disconnect 6"}));
}

TEST_F(BridgeSlots, AConnectOnANumberInUseIsALeaveAndAJoin) {
    joinHuman(2, "First", kGuidA);
    // A reconnect writes no disconnect line: another client's userinfo, then its connect.
    userinfo(2, "Second", kGuidB);
    log("ClientConnect: 2");
    EXPECT_EQ(bridge_->client(2).state, qzb::Client::kLooking);
    dumpuser(2, "127.0.0.3", kGuidB);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            std::string("connect 3 First\\") + kGuidA + "\\127.0.0.2\\?",
                            "disconnect 3",
                            std::string("connect 3 Second\\") + kGuidB + "\\127.0.0.3\\?",
                        }));
}

TEST_F(BridgeSlots, AConnectLineBeforeItsUserinfoOnANumberInUseIsALeaveAndAJoin) {
    joinBot(2, "Sarge");
    log("ClientConnect: 2");
    userinfo(2, "Human", kGuidA);
    dumpuser(2, "127.0.0.2", kGuidA);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "connect 3 Sarge\\\\bot\\B",
                            "disconnect 3",
                            std::string("connect 3 Human\\") + kGuidA + "\\127.0.0.2\\?",
                        }));
}

TEST_F(BridgeSlots, ARenameNeverTurnsABotIntoAHumanOrBack) {
    joinBot(4, "Sarge");
    userinfo(4, "Human", kGuidA);
    log("Item: 4 weapon_shotgun");
    EXPECT_EQ(bridge_->client(4).state, qzb::Client::kLooking);
    dumpuser(4, "127.0.0.2", kGuidA);
    // Its connect line may follow: it belongs to the same join.
    log("ClientConnect: 4");
    // And back: a bot's userinfo on the human's number.
    log("ClientUserinfoChanged: 4 n\\Grunt\\t\\0\\model\\grunt\\skill\\ 2.00\\id\\");
    log("Item: 4 weapon_shotgun");
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "connect 5 Sarge\\\\bot\\B",
                            "disconnect 5",
                            std::string("connect 5 Human\\") + kGuidA + "\\127.0.0.2\\?",
                            "disconnect 5",
                            "connect 5 Grunt\\\\bot\\B",
                        }));
}

TEST_F(BridgeSlots, AUserinfoWithAnotherNameAloneIsARename) {
    joinHuman(1, "Before", kGuidA);
    userinfo(1, "After", kGuidA);
    // Held until the next line or a tenth of a second shows no connect behind it.
    EXPECT_EQ(events().size(), 1u);
    bridge_->timers(qzb::Rcon::nowMs() + 200);
    EXPECT_EQ(events(), (std::vector<std::string>{
                            std::string("connect 2 Before\\") + kGuidA + "\\127.0.0.2\\?",
                            "rename 2 After",
                        }));
}

TEST_F(BridgeSlots, ALookUpAnswerForAnEarlierJoinIsNotTakenForTheNewOne) {
    userinfo(7, "Old", kGuidA);
    log("ClientConnect: 7");
    int first = bridge_->client(7).lookupTag;
    log("ClientDisconnect: 7");
    userinfo(7, "New", kGuidB);
    log("ClientConnect: 7");
    qzb::Reply stale;
    stale.purpose = qzb::Purpose::kDumpUser;
    stale.client = 7;
    stale.tag = first;
    stale.answered = true;
    stale.text = std::string("userinfo\n--------\nip   127.0.0.9\ncl_guid  ") + kGuidA + "\n";
    bridge_->reply(stale);
    EXPECT_TRUE(events().empty());
    dumpuser(7, "127.0.0.3", kGuidB);
    EXPECT_EQ(events(), (std::vector<std::string>{std::string("connect 8 New\\") + kGuidB +
                                                  "\\127.0.0.3\\?"}));
}

TEST_F(BridgeSlots, TheStatusComparisonCorrectsANameTheLogDidNotReport) {
    joinHuman(3, "Innocent", kGuidA);
    askStatus();
    status(" 3     0   40 ^1Banned^7Name   ^7127.0.0.2:27960                         25000\n");
    ASSERT_EQ(events().size(), 2u);
    EXPECT_EQ(events()[1], "rename 4 ^1Banned^7Name");
    // The same name in other colours or blanks, or cut by the listing, is no rename.
    askStatus();
    status(" 3     0   40 ^2Banned^7Name   ^7127.0.0.2:27960                         25000\n");
    joinHuman(9, "AVeryLongPlayerNameOfMoreThan31Bytes", kGuidB);
    joinHuman(10, "Two  Blanks", kGuidB);
    askStatus();
    status(" 3     0   40 ^1Banned^7Name   ^7127.0.0.2:27960                         25000\n"
           " 9     0   40 AVeryLongPlayerNameOfMoreThan31 ^7127.0.0.3:27960          25000\n"
           "10     0   40 Two    Blanks   ^7127.0.0.4:27960                         25000\n");
    EXPECT_EQ(events().size(), 4u) << ::testing::PrintToString(events());
}

TEST_F(BridgeSlots, AStatusOlderThanARenameInTheLogDoesNotUndoIt) {
    joinHuman(3, "Old", kGuidA);
    askStatus();
    userinfo(3, "New", kGuidA);
    log("Item: 3 weapon_shotgun");
    status(" 3     0   40 Old             ^7127.0.0.2:27960                         25000\n");
    EXPECT_EQ(events(), (std::vector<std::string>{
                            std::string("connect 4 Old\\") + kGuidA + "\\127.0.0.2\\?",
                            "rename 4 New",
                        }));
}

// The answer to "fdir *.bsp" as the server gives it.
const char kMapFiles[] =
    "---------------\n"
    "maps/oasago2.bsp\n"
    "maps/am_underworks.bsp\n"
    "maps/../../etc.bsp\n"
    "maps/a b.bsp\n"
    "maps/oasago2.bsp\n"
    "3 files listed\n";

struct MapsCase {
    const char* ownPath;  // the module's qz_sv_HttpMapsPath
    std::vector<std::string> console;
};
void PrintTo(const MapsCase& c, std::ostream* os) {
    *os << "qz_sv_HttpMapsPath \"" << c.ownPath << "\"";
}
class ServerMaps : public BridgeSlots, public ::testing::WithParamInterface<MapsCase> {};

TEST_P(ServerMaps, TheWebToolsMapListIsTheServersMapsUnlessTheAdministratorChoseOne) {
    g_mapsPath = GetParam().ownPath;
    qzb::Reply r;
    r.purpose = qzb::Purpose::kMaps;
    r.answered = true;
    r.text = kMapFiles;
    bridge_->reply(r);
    std::ifstream in(dir_ + "/qz/servermaps.txt");
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_EQ(file.str(),
              "// the maps of the game server, written by qzbridge\nam_underworks\noasago2\n");
    EXPECT_EQ(events(), GetParam().console);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerMaps,
    ::testing::Values(MapsCase{"", {"console qz_sv_HttpMapsPath servermaps.txt"}},
                      MapsCase{"mymaps.txt", {}}),
    [](const ::testing::TestParamInfo<MapsCase>& p) {
        return p.param.ownPath[0] ? std::string("OwnList") : std::string("NoList");
    });

}  // namespace
