// GUID authentication against a stand-in authentication server: a UDP socket of the test on
// 127.0.0.1 that reads the module's requests and answers them as the test says.
#include "remote/guidauth.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "qzmaster/master.h"
#include "support/module_fixture.h"

namespace {

constexpr const char* kGuid = "0123456789ABCDEF0123456789ABCDEF";

class GuidAuth : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        run("qz_sv_guidauthserver 127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
        run("qz_sv_guiddiag 1");
    }
    void TearDown() override {
        close(fd_);
        ModuleTest::TearDown();
    }
    // The next request the module sent ("AUTH <challenge> <guid> <address>"), empty if none.
    std::string request() {
        for (int i = 0; i < 50; ++i) {
            char buf[512];
            socklen_t len = sizeof module_;
            ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&module_), &len);
            if (n > 8) return std::string(buf + 8, static_cast<size_t>(n - 8));
            usleep(2000);
            run("sim_advance 0");
        }
        return "";
    }
    void answer(const std::string& text) {
        std::string packet = std::string("\xff\xff\xff\xffQZ_H") + text;
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&module_),
               sizeof module_);
        usleep(2000);
        run("sim_advance 0");
    }
    std::string challengeOf(const std::string& req) {
        size_t a = req.find(' ');
        return req.substr(a + 1, req.find(' ', a + 1) - a - 1);
    }
    // Connects a player and answers his request with verdict and age.
    std::vector<std::string> connectAndAnswer(const std::string& verdict, int age) {
        run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
        std::string req = request();
        EXPECT_EQ(req.rfind("AUTH ", 0), 0u) << req;
        EXPECT_NE(req.find(std::string(" ") + kGuid + " 1.2.3.4:27960"), std::string::npos);
        size_t before = host().output().size();
        answer(challengeOf(req) + " " + verdict + " Status=OK Age=" + std::to_string(age));
        return {host().output().begin() + static_cast<long>(before), host().output().end()};
    }
    int fd_ = -1;
    sockaddr_in module_{};
};

TEST_F(GuidAuth, AnOldEnoughGuidIsValidAndShownSo) {
    run("qz_sv_minguidage 30");
    auto out = connectAndAnswer("AUTH", 400);
    EXPECT_TRUE(anyLineContains(out, "QZ GUID AUTH: VALID:400")) << testing::PrintToString(out);
    EXPECT_FALSE(anyLineContains(out, "DropClient"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), std::string(kGuid) + "(VALID)"));
}

TEST_F(GuidAuth, ATooYoungGuidIsRefusedWithTheAgeText) {
    run("qz_sv_minguidage 30");
    auto out = connectAndAnswer("AUTH", 5);
    EXPECT_TRUE(anyLineContains(out, "GUID AGE REQUIREMENT NOT MET"))
        << testing::PrintToString(out);
    EXPECT_TRUE(anyLineContains(out, "DropClient 1 GUID AGE REQUIREMENT NOT MET"));
}

TEST_F(GuidAuth, NoMinimumAgeRefusesNobodyForAge) {
    auto out = connectAndAnswer("AUTH", 0);
    EXPECT_FALSE(anyLineContains(out, "DropClient")) << testing::PrintToString(out);
}

TEST_F(GuidAuth, AnUnknownGuidIsRefusedUnlessTolerated) {
    auto out = connectAndAnswer("NOAUTH", 0);
    EXPECT_TRUE(anyLineContains(out, "DropClient 1 GUID NOT RECOGNISED"))
        << testing::PrintToString(out);
    run("sim_drop 1");
    run("qz_sv_GuidRelax 1");
    out = connectAndAnswer("NOAUTH", 0);
    EXPECT_FALSE(anyLineContains(out, "DropClient")) << testing::PrintToString(out);
    EXPECT_TRUE(anyLineContains(out, "tolerated (qz_sv_GuidRelax)"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), std::string(kGuid) + "(UNKN)"));
}

TEST_F(GuidAuth, ForgedAndMalformedAnswersChangeNothing) {
    run("qz_sv_minguidage 30");
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    std::string req = request();
    std::string challenge = challengeOf(req);
    unsigned long wrong = std::stoul(challenge) + 1;
    struct Case {
        std::string text;
        std::string message;
    };
    Case cases[] = {
        {std::to_string(wrong) + " AUTH Status=OK Age=1",
         "GuidAuth Packet Ignored: Unrecognized Challenge (" + std::to_string(wrong) + ")"},
        {challenge + " AUTH Age=1", "GuidAuth Packet Ignored: No Status Field ["},
        {challenge + " MAYBE Status=OK Age=1", "GuidAuth Packet Ignored: Unknown Directive ["},
    };
    for (const Case& c : cases) {
        size_t before = host().output().size();
        answer(c.text);
        std::vector<std::string> out(host().output().begin() + static_cast<long>(before),
                                     host().output().end());
        EXPECT_TRUE(anyLineContains(out, c.message)) << c.text << testing::PrintToString(out);
        EXPECT_FALSE(anyLineContains(out, "DropClient")) << c.text;
    }
    // The real answer still counts; the same answer again finds no request.
    answer(challenge + " AUTH Status=OK Age=400");
    EXPECT_TRUE(host().contains("QZ GUID AUTH: VALID:400"));
    size_t before = host().output().size();
    answer(challenge + " AUTH Status=OK Age=400");
    std::vector<std::string> out(host().output().begin() + static_cast<long>(before),
                                 host().output().end());
    EXPECT_TRUE(anyLineContains(out, "Unrecognized Challenge"));
}

TEST_F(GuidAuth, ASilentServerLetsThePlayerPlayOn) {
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    ASSERT_FALSE(request().empty());
    auto out = run("sim_advance 7000");
    EXPECT_TRUE(anyLineContains(out,
                                "GuidAuth Server not responding - player accepted from "
                                "1.2.3.4:27960"))
        << testing::PrintToString(out);
    EXPECT_FALSE(host().contains("DropClient"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "Player"));
}

TEST_F(GuidAuth, BotsAndPlayersWithoutAGuidAreNotAsked) {
    run("sim_connect Bot - bot");
    run("sim_connect NoGuid - 5.6.7.8:27960");
    EXPECT_EQ(request(), "");
}

// A stranger's socket on loopback that sends to the module's socket.
int strangerSocket() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return s;
}

// Empty datagrams once ended a frame's reading, and strangers' datagrams used up its budget, so
// a small flood kept the refusal unread until the player was let in as "not responding".
TEST_F(GuidAuth, FloodsOfEmptyAndForeignDatagramsDoNotHideTheAnswer) {
    struct Case {
        const char* what;
        std::string junk;
    };
    for (const Case& k : {Case{"empty", ""}, Case{"foreign", "\xff\xff\xff\xffQZ_Hjunk"}}) {
        run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
        std::string req = request();
        ASSERT_FALSE(req.empty()) << k.what;
        int junk = strangerSocket();
        for (int i = 0; i < 300; ++i)
            sendto(junk, k.junk.data(), k.junk.size(), 0, reinterpret_cast<sockaddr*>(&module_),
                   sizeof module_);
        close(junk);
        std::string packet = "\xff\xff\xff\xffQZ_H" + challengeOf(req) + " NOAUTH Status=NO Age=0";
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&module_),
               sizeof module_);
        usleep(5000);
        // The flood is read within each frame's budget: the answer comes within a few frames,
        // long before the player would be let in as "not responding".
        for (int i = 0; i < 40 && !host().contains("DropClient 1 GUID NOT RECOGNISED"); ++i)
            run("sim_advance 0");
        EXPECT_TRUE(host().contains("DropClient 1 GUID NOT RECOGNISED")) << k.what;
        EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)") << k.what;
        run("sim_advance 7000");
        EXPECT_FALSE(host().contains("GuidAuth Server not responding")) << k.what;
        host().clearOutput();
    }
}

// The module's UDP port, from its "Listening" line.
int modulePort(const std::vector<std::string>& output) {
    const std::string mark = "QZ Master: Listening for UDP on ";
    for (const std::string& line : output)
        if (line.find(mark) != std::string::npos)
            return std::stoi(line.substr(line.find(mark) + mark.size()));
    return 0;
}

// A stranger who fills the socket's queue (empty or foreign datagrams, faster than frames read
// them) once made the system drop the server's answer with the flood: the refused player stayed
// on. The answers now arrive on a socket of their own that only the server's address reaches.
TEST_F(GuidAuth, AFloodThatFillsTheModulesQueueCannotDropTheServersAnswer) {
    struct Case {
        const char* what;
        std::string junk;
    };
    const int port = modulePort(host().output());
    ASSERT_GT(port, 0);
    for (const Case& k : {Case{"empty", ""}, Case{"foreign", "\xff\xff\xff\xffQZ_Hjunk"}}) {
        run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
        std::string req = request();
        ASSERT_FALSE(req.empty()) << k.what;
        // The flood goes to the module's port and to the port the request came from.
        sockaddr_in main = module_;
        main.sin_port = htons(static_cast<unsigned short>(port));
        std::vector<sockaddr_in> targets{module_, main};
        int junk = strangerSocket();
        int big = 1 << 22;
        setsockopt(junk, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        for (int i = 0; i < 20000; ++i)
            for (const sockaddr_in& t : targets)
                sendto(junk, k.junk.data(), k.junk.size(), 0, reinterpret_cast<const sockaddr*>(&t),
                       sizeof t);
        std::string packet = "\xff\xff\xff\xffQZ_H" + challengeOf(req) + " NOAUTH Status=NO Age=0";
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&module_),
               sizeof module_);
        for (int i = 0; i < 5000; ++i)
            for (const sockaddr_in& t : targets)
                sendto(junk, k.junk.data(), k.junk.size(), 0, reinterpret_cast<const sockaddr*>(&t),
                       sizeof t);
        close(junk);
        for (int i = 0; i < 40 && !host().contains("DropClient 1 GUID NOT RECOGNISED"); ++i)
            run("sim_advance 0");
        EXPECT_TRUE(host().contains("DropClient 1 GUID NOT RECOGNISED")) << k.what;
        EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)") << k.what;
        // What the flood left in the module's queue is read away before the next case.
        for (int i = 0; i < 400; ++i) run("sim_advance 0");
        host().clearOutput();
    }
}

// A server that hears no answer lets the player play on, but keeps asking: an answer that
// arrives later is acted on.
TEST_F(GuidAuth, ALateAnswerIsStillActedOn) {
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    std::string first = request();
    ASSERT_FALSE(first.empty());
    auto out = run("sim_advance 7000");
    ASSERT_TRUE(anyLineContains(out,
                                "GuidAuth Server not responding - player accepted from "
                                "1.2.3.4:27960"));
    EXPECT_FALSE(host().contains("DropClient"));
    while (!request().empty()) {
    }
    run("sim_advance 10000");
    std::string again = request();
    EXPECT_EQ(again, first);  // the same request, challenge and all
    answer(challengeOf(first) + " NOAUTH Status=NO Age=0");
    EXPECT_TRUE(host().contains("DropClient 1 GUID NOT RECOGNISED"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)");
}

TEST_F(GuidAuth, AFailedLookupIsTriedAgainWithBackOff) {
    run("qz_sv_guidauthserver no-such-host.invalid:27960");
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    auto until = [&](const std::string& text) {
        for (int i = 0; i < 1000 && !host().contains(text); ++i) {
            usleep(10000);
            run("sim_advance 0");
        }
        return host().contains(text);
    };
    ASSERT_TRUE(
        until("GuidAuth Server no-such-host.invalid did not resolve - trying again in 5 "
              "seconds"));
    run("sim_advance 5000");
    EXPECT_TRUE(until("did not resolve - trying again in 10 seconds"));
    run("sim_advance 10000");
    EXPECT_TRUE(until("did not resolve - trying again in 20 seconds"));
}

// Answers sent as the server's with made-up challenges: a bounded number of lines a minute,
// then one line with the count.
TEST_F(GuidAuth, SpoofedAnswersCannotGrowTheLogWithoutLimit) {
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    ASSERT_FALSE(request().empty());
    size_t before = host().output().size();
    for (int i = 0; i < 300; ++i) {
        std::string packet =
            "\xff\xff\xff\xffQZ_H" + std::to_string(1000 + i) + " AUTH Status=OK Age=1";
        sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&module_),
               sizeof module_);
    }
    usleep(5000);
    for (int i = 0; i < 30; ++i) run("sim_advance 0");
    std::vector<std::string> out(host().output().begin() + static_cast<long>(before),
                                 host().output().end());
    int lines = 0;
    for (const std::string& l : out) lines += l.find("Unrecognized Challenge") != std::string::npos;
    EXPECT_GE(lines, 1);
    EXPECT_LE(lines, QZ_GUIDAUTH_LINES_PER_MINUTE);
    run("sim_advance 60000");
    EXPECT_TRUE(host().contains("GuidAuth packets ignored without a log line in the last minute"));
}

TEST_F(GuidAuth, AuthRateCountsRequestsAndAnswers) {
    connectAndAnswer("AUTH", 400);
    run("sim_advance 60000");  // ten tenths of a minute: two events make 2.0 a minute
    auto list = run("qz_sv_Plist");
    ASSERT_GE(list.size(), 2u);
    EXPECT_NE(list[1].find("(VALID) 1.2.3.4:27960"), std::string::npos) << list[1];
    EXPECT_NE(list[1].find(" 2.0 "), std::string::npos) << list[1];
}

// Every log file of the module's home, as one text.
std::string allLogs(const std::string& home) {
    std::string text;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home, ec)) {
        if (!e.is_regular_file() || e.path().extension() != ".log") continue;
        std::ifstream in(e.path(), std::ios::binary);
        text += std::string(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

TEST_F(GuidAuth, UnknownAndMalformedGuidsAreRefusedAtConnect) {
    struct Case {
        const char* guid;
        const char* logged;
        const char* answered;
    };
    const Case cases[] = {
        {"unknown", "Client trying to connect from 1.2.3.4:27960 is supplying GUID=unknown",
         "DropClient 1 GUID Error (unknown) - Please try again"},
        {"0123456789ABCDEF0123456789ABCDEZ",
         "Client trying to connect from 1.2.3.4:27960 is supplying bad information",
         "DropClient 1 GUID Error - Please try again"},
        {"12345", "Client trying to connect from 1.2.3.4:27960 is supplying bad information",
         "DropClient 1 GUID Error - Please try again"},
    };
    for (const Case& c : cases) {
        host().clearOutput();
        run(std::string("sim_connect Player ") + c.guid + " 1.2.3.4:27960");
        EXPECT_TRUE(host().contains(c.logged)) << c.guid;
        EXPECT_TRUE(host().contains(c.answered)) << c.guid;
        EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)") << c.guid;
        EXPECT_EQ(request(), "") << c.guid;  // never asked about
    }
}

TEST_F(GuidAuth, AnAcceptedConnectionIsLoggedWithItsGuids) {
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    run("sim_connect NoGuid - 5.6.7.8:27960");
    std::string logs = allLogs(home());
    EXPECT_NE(logs.find(std::string("New Connect Preguid=") + kGuid +
                        " from 1.2.3.4:27960; Guid=" + kGuid),
              std::string::npos)
        << logs;
    EXPECT_NE(logs.find("New Connect Preguid=NO_GUID from 5.6.7.8:27960; Guid=NO_GUID"),
              std::string::npos);
    EXPECT_NE(logs.find("Empty GUID (slot #2) NoGuid 5.6.7.8:27960 (removed after 120 seconds)"),
              std::string::npos);
}

TEST_F(GuidAuth, APlayerWithoutAGuidIsRemovedAfterTheGrace) {
    run("qz_sv_NoGuidGrace 30");
    run("sim_connect NoGuid - 5.6.7.8:27960");
    run("sim_advance 29000");
    EXPECT_FALSE(host().contains("DropClient"));
    run("sim_advance 2000");
    EXPECT_TRUE(host().contains("No GUID after 30 seconds (slot #1) NoGuid 5.6.7.8:27960"));
    EXPECT_TRUE(host().contains("DropClient 1 Kestrine kicked player 'NoGuid'"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)");
}

TEST_F(GuidAuth, AGuidTheHostWorksOutIsUsedAndChecked) {
    run("sim_cvar sim_computeguid 1");
    run("sim_connect NoGuid - 5.6.7.8:27960");
    EXPECT_TRUE(host().contains("Player GUID Computed "));
    std::string req = request();
    EXPECT_EQ(req.rfind("AUTH ", 0), 0u) << req;
    EXPECT_NE(req.find(" 5.6.7.8:27960"), std::string::npos);
    run("sim_advance 130000");
    EXPECT_FALSE(host().contains("No GUID after"));
}

// The host's GUID is known before the ban checks run, so a banned one is refused.
TEST_F(GuidAuth, ABannedGuidTheHostWorksOutIsRefused) {
    run("sim_cvar sim_computeguid 1");
    run("sim_connect First - 5.6.7.8:27960");
    std::string guid;
    for (const std::string& l : host().output()) {
        size_t at = l.find("Player GUID Computed ");
        if (at != std::string::npos) guid = l.substr(at + 21, 32);
    }
    ASSERT_EQ(guid.size(), 32u);
    run("sim_drop 1");
    run("qz_sv_BanGuid " + guid + " First 5.6.7.8 cheating");
    host().clearOutput();
    run("sim_connect Again - 5.6.7.8:27960");
    EXPECT_TRUE(host().contains("Connection Refused (slot #1) 5.6.7.8:27960 [" + guid + "]"))
        << testing::PrintToString(host().output());
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)");
}

TEST_F(GuidAuth, ADuplicateGuidIsRefusedUnlessTolerated) {
    run(std::string("sim_connect First ") + kGuid + " 1.2.3.4:27960");
    run(std::string("sim_connect Second ") + kGuid + " 5.6.7.8:27960");
    EXPECT_TRUE(host().contains("(DUPGUID) GUID in use by slot #1"));
    EXPECT_TRUE(host().contains("DropClient 2 (DUPGUID) GUID already in use on this server"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (1 Player)");
    run("qz_sv_GuidRelax 4");
    run(std::string("sim_connect Second ") + kGuid + " 5.6.7.8:27960");
    EXPECT_TRUE(host().contains("Duplicate GUID " + std::string(kGuid) + " tolerated"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (2 Players)");
}

// The conditions a NOAUTH answer names, each refused unless its bit of qz_sv_GuidRelax is set.
TEST_F(GuidAuth, NoauthConditionsAreRefusedUnlessTheirBitIsSet) {
    struct Case {
        const char* status;
        int bit;
        const char* refusal;
        const char* tolerated;
    };
    const Case cases[] = {
        {"NO", 1, "DropClient 1 GUID NOT RECOGNISED", "Unknown GUID "},
        {"WRONGIP", 2, "DropClient 1 GUID REGISTERED FROM ANOTHER ADDRESS",
         "Wrong address for GUID"},
        {"DUP", 4, "DropClient 1 (DUPGUID) GUID already in use", "Duplicate GUID "},
    };
    for (const Case& c : cases) {
        for (int relax : {7 & ~c.bit, c.bit}) {
            host().clearOutput();
            run("qz_sv_GuidRelax " + std::to_string(relax));
            run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
            std::string req = request();
            answer(challengeOf(req) + " NOAUTH Status=" + c.status + " Age=0");
            EXPECT_EQ(host().contains(c.refusal), relax != c.bit) << c.status << relax;
            EXPECT_EQ(host().contains(c.tolerated), relax == c.bit) << c.status << relax;
            if (relax == c.bit) run("sim_drop 1");
        }
    }
}

// The rules on missing and duplicate GUIDs hold on a server that checks no GUID too: without an
// authentication server, and with the exchange switched off.
class GuidRulesUnchecked : public ModuleTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(GuidRulesUnchecked, APlayerWithoutAGuidIsRemovedAfterTheGrace) {
    run(GetParam());
    run("qz_sv_NoGuidGrace 30");
    run("sim_connect NoGuid - 5.6.7.8:27960");
    run("sim_advance 29000");
    EXPECT_FALSE(host().contains("DropClient"));
    run("sim_advance 2000");
    EXPECT_TRUE(host().contains("No GUID after 30 seconds (slot #1) NoGuid 5.6.7.8:27960"));
    EXPECT_TRUE(host().contains("DropClient 1 Kestrine kicked player 'NoGuid'"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (0 Players)");
}

TEST_P(GuidRulesUnchecked, AGraceOfZeroLeavesAPlayerWithoutAGuidInPlay) {
    run(GetParam());
    run("qz_sv_NoGuidGrace 0");
    run("sim_connect NoGuid - 5.6.7.8:27960");
    run("sim_advance 4000000");
    EXPECT_FALSE(host().contains("No GUID after"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (1 Player)");
}

TEST_P(GuidRulesUnchecked, ADuplicateGuidIsRefusedUnlessTolerated) {
    run(GetParam());
    run(std::string("sim_connect First ") + kGuid + " 1.2.3.4:27960");
    run(std::string("sim_connect Second ") + kGuid + " 5.6.7.8:27960");
    EXPECT_TRUE(host().contains("DropClient 2 (DUPGUID) GUID already in use on this server"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (1 Player)");
    run("qz_sv_GuidRelax 4");
    run(std::string("sim_connect Second ") + kGuid + " 5.6.7.8:27960");
    EXPECT_TRUE(host().contains("Duplicate GUID " + std::string(kGuid) + " tolerated"));
    EXPECT_EQ(run("qz_sv_Plist").back(), "End of Player List (2 Players)");
}

INSTANTIATE_TEST_SUITE_P(NoAuthenticationServerOrExchangeOff, GuidRulesUnchecked,
                         ::testing::Values("qz_sv_guidauthserver \"\"", "qz_sv_guidauth 0"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return p.index == 0 ? std::string("NoServer")
                                                 : std::string("ExchangeOff");
                         });

// The stand-in master server answers as the authentication server, with GUID ages the test
// sets; with --auth-silent it reads requests and never answers.
class GuidAuthByQzmaster : public ModuleTest {
  protected:
    void startMaster(bool silent) {
        qzm::Options o;
        o.guidAges = {{kGuid, 3}, {"FEDCBA9876543210FEDCBA9876543210", 900}};
        o.authSilent = silent;
        std::string error;
        ASSERT_TRUE(master_.start(o, &error)) << error;
        run("qz_sv_guidauthserver 127.0.0.1:" + std::to_string(master_.port()));
        run("qz_sv_minguidage 30");
        run("qz_sv_guiddiag 1");
    }
    bool until(const std::string& text) {
        for (int i = 0; i < 2000; ++i) {
            if (host().contains(text)) return true;
            master_.poll();
            host().advance(5);
        }
        return host().contains(text);
    }
    qzm::MasterServer master_;
};

TEST_F(GuidAuthByQzmaster, AYoungGuidIsRefusedAndAnOldOneIsValid) {
    startMaster(false);
    run(std::string("sim_connect Young ") + kGuid + " 1.2.3.4:27960");
    EXPECT_TRUE(until("DropClient 1 GUID AGE REQUIREMENT NOT MET"));
    run("sim_connect Old FEDCBA9876543210FEDCBA9876543210 5.6.7.8:27960");
    EXPECT_TRUE(until("QZ GUID AUTH: VALID:900"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_Plist"), "FEDCBA9876543210FEDCBA9876543210(VALID)"));
}

TEST_F(GuidAuthByQzmaster, ASilentServerLetsPlayersInWithTheLoggedLine) {
    startMaster(true);
    run(std::string("sim_connect Player ") + kGuid + " 1.2.3.4:27960");
    EXPECT_TRUE(until("GuidAuth Server not responding - player accepted from 1.2.3.4:27960"));
    EXPECT_FALSE(host().contains("DropClient"));
    EXPECT_FALSE(master_.log().empty());  // the requests did reach it
}

}  // namespace
