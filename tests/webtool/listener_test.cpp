// The listener on real sockets: a module on the simulated game server, a client on 127.0.0.1,
// and frames run one by one on the manual clock.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "support/module_fixture.h"
#include "web_client.h"
#include "webtool/web.h"

namespace {

using namespace webtest;

class WebListener : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        port_ = freePort();
        run("qz_sv_HttpKey secret");
        lines_ = run("qz_sv_HttpPort " + std::to_string(port_));
        auto opened = run("sim_advance 0");
        ASSERT_TRUE(anyLineContains(opened, "Listening for HTTP"))
            << testing::PrintToString(opened);
    }
    void configure(sim::SimHost& host) override {
        host.setCvar("sv_hostname", "\"><script>alert(1)</script>");
    }
    void frame() { run("sim_advance 0"); }
    // Sends request on a new connection and runs frames until the answer is complete.
    std::string ask(const std::string& request) {
        int s = connectTo(port_);
        EXPECT_GE(s, 0);
        sendText(s, request);
        std::string answer = awaitAnswer(s, [this] { frame(); });
        close(s);
        return answer;
    }
    int port_ = 0;
    std::vector<std::string> lines_;
};

TEST_F(WebListener, FirstVisitGetsTheLoginScreenWithoutAReport) {
    std::string answer = ask("GET /qzsvweb HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(answer.find("HTTP/1.0 200 OK\r\n"), 0u);
    EXPECT_NE(answer.find("<i>Login Screen</i>"), std::string::npos);
    EXPECT_NE(answer.find("</center></body></html>\n"), std::string::npos);
    EXPECT_FALSE(host().contains("Bad Web Key"));
}

TEST_F(WebListener, HostileGameVariablesAreEscaped) {
    std::string answer = ask("GET /qzsvweb HTTP/1.1\r\n\r\n");
    EXPECT_NE(answer.find("&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(answer.find("<script>"), std::string::npos);
}

TEST_F(WebListener, WrongKeyGetsBadKeyAndIsReportedWithTheClientAddress) {
    std::string answer = ask(postPlain("webkey=wrong\r\nqz_settings=QZ Settings\r\n"));
    EXPECT_NE(answer.find("<b><i>* BAD KEY *</i></b>"), std::string::npos);
    EXPECT_TRUE(host().contains("Bad Web Key sent from 127.0.0.1:"));
}

TEST_F(WebListener, RightKeyOpensTheGeneralSettings) {
    std::string answer = ask(postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n"));
    EXPECT_NE(answer.find("<i>General QZ Settings Screen</i>"), std::string::npos);
}

TEST_F(WebListener, OtherPathsGetAPlain404) {
    std::string answer = ask("GET /robots.txt HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer.find("HTTP/1.0 404 Not Found\r\n"), 0u);
    EXPECT_EQ(answer.find("<html>"), std::string::npos);
}

TEST_F(WebListener, TheBrowsersIconRequestGetsNoContentInsteadOf404) {
    std::string answer = ask("GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(answer.find("HTTP/1.0 204 No Content\r\n"), 0u) << answer;
    EXPECT_EQ(answer.find("404"), std::string::npos);
}

TEST_F(WebListener, PagesCarryTypeFramingAndCacheHeaders) {
    std::string answer = ask("GET /qzsvweb HTTP/1.1\r\n\r\n");
    std::string head = answer.substr(0, answer.find("\r\n\r\n") + 2);
    for (const char* line :
         {"\nContent-Type: text/html; charset=iso-8859-1\r\n", "\nX-Frame-Options: DENY\r\n",
          "\nContent-Security-Policy: frame-ancestors 'none'\r\n",
          "\nCache-Control: no-store\r\n"}) {
        EXPECT_NE(head.find(line), std::string::npos) << line;
    }
    // No bare line feed, and no request header (such as "Accept") in the answer.
    for (size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1))
        EXPECT_EQ(head[at - 1], '\r') << head;
    EXPECT_EQ(head.find("Accept:"), std::string::npos) << head;
    std::string missing = ask("GET /other HTTP/1.1\r\n\r\n");
    EXPECT_NE(missing.find("X-Frame-Options: DENY\r\n"), std::string::npos);
    EXPECT_NE(missing.find("Cache-Control: no-store\r\n"), std::string::npos);
}

TEST_F(WebListener, AnUnbindableAddressIsRefusedAndTheOldListenerKeepsAnswering) {
    // 192.0.2.1 is a documentation address no machine here has.
    std::string answer =
        ask(postPlain("webkey=secret\r\nqz_sv_httpAddr=192.0.2.1\r\nupdqz1=Update\r\n"));
    EXPECT_EQ(answer.find("* UPDATED *"), std::string::npos);
    EXPECT_NE(answer.find("* NOT ALL UPDATED"), std::string::npos);
    EXPECT_NE(answer.find("cannot listen on 192.0.2.1:" + std::to_string(port_)),
              std::string::npos);
    EXPECT_TRUE(anyLineContains(run("qz_sv_HttpAddr"), "qz_sv_HttpAddr = "));
    EXPECT_FALSE(anyLineContains(run("qz_sv_HttpAddr"), "192.0.2.1"));
    std::string still = ask(postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n"));
    EXPECT_NE(still.find("General QZ Settings Screen"), std::string::npos);
}

TEST_F(WebListener, ABusyPortIsRefusedAndTheOldListenerKeepsAnswering) {
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int busy = freePort();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(busy));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    std::string answer = ask(postPlain("webkey=secret\r\nqz_sv_httpPort=" + std::to_string(busy) +
                                       "\r\nqz_sv_KickLen=9\r\nupdqz1=Update\r\n"));
    close(blocker);
    EXPECT_NE(answer.find("* NOT ALL UPDATED"), std::string::npos);
    EXPECT_TRUE(
        anyLineContains(run("qz_sv_HttpPort"), "qz_sv_HttpPort = " + std::to_string(port_)));
    // The other field of the same form was taken.
    EXPECT_TRUE(anyLineContains(run("qz_sv_KickLen"), "qz_sv_KickLen = 9"));
    std::string still = ask(postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n"));
    EXPECT_NE(still.find("General QZ Settings Screen"), std::string::npos);
}

TEST_F(WebListener, AConsolePortChangeThatFailsKeepsTheOldListener) {
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int busy = freePort();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(busy));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    run("qz_sv_HttpPort " + std::to_string(busy));
    auto lines = run("sim_advance 0");
    EXPECT_TRUE(anyLineContains(lines, "still listening where it was"));
    std::string still = ask(postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n"));
    close(blocker);
    EXPECT_NE(still.find("General QZ Settings Screen"), std::string::npos);
}

TEST_F(WebListener, TooLargeABodyGets413) {
    std::string answer = ask("POST /qzsvweb HTTP/1.1\r\nContent-Length: 100000\r\n\r\nx");
    EXPECT_EQ(answer.find("HTTP/1.0 413"), 0u);
}

TEST_F(WebListener, RequestSplitAcrossPacketsAndFramesIsGathered) {
    std::string request = postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n");
    int s = connectTo(port_);
    ASSERT_GE(s, 0);
    std::string answer;
    for (size_t at = 0; at < request.size(); at += 9) {
        sendText(s, request.substr(at, 9));
        frame();
        ASSERT_FALSE(readSome(s, &answer) && at + 9 < request.size()) << "answered early";
    }
    answer += awaitAnswer(s, [this] { frame(); });
    close(s);
    EXPECT_NE(answer.find("<i>General QZ Settings Screen</i>"), std::string::npos);
}

TEST_F(WebListener, SilentConnectionsDoNotHoldUpTheNextAdministrator) {
    std::vector<int> silent;
    for (int i = 0; i < 40; ++i) silent.push_back(connectTo(port_));
    frame();
    std::string answer = ask(postPlain("webkey=secret\r\nqz_settings=QZ Settings\r\n"));
    EXPECT_NE(answer.find("General QZ Settings Screen"), std::string::npos);
    for (int s : silent) close(s);
}

TEST_F(WebListener, IncompleteRequestIsDroppedAfterTheTimeLimit) {
    int s = connectTo(port_);
    ASSERT_GE(s, 0);
    sendText(s, "POST /qzsvweb HTTP/1.1\r\nContent-Length: 50\r\n\r\nwebkey=");
    frame();
    std::string answer;
    EXPECT_FALSE(readSome(s, &answer));
    run("sim_advance 1999");
    EXPECT_FALSE(readSome(s, &answer));
    run("sim_advance 1");
    answer = awaitAnswer(
        s, [this] { frame(); }, 3);
    close(s);
    EXPECT_EQ(answer.find("HTTP/1.0 408"), 0u);
}

TEST_F(WebListener, LockoutEndsAfterAMinute) {
    for (int i = 0; i < 5; ++i) ask(postPlain("webkey=bad\r\nplist=x\r\n"));
    EXPECT_TRUE(host().contains("WebTool: 127.0.0.1 locked out for 60 seconds"));
    std::string locked = ask(postPlain("webkey=secret\r\nqz_settings=x\r\n"));
    EXPECT_NE(locked.find("<i>Login Screen</i>"), std::string::npos);
    run("sim_advance 60000");
    std::string open = ask(postPlain("webkey=secret\r\nqz_settings=x\r\n"));
    EXPECT_NE(open.find("General QZ Settings Screen"), std::string::npos);
}

TEST_F(WebListener, UrlEncodedFormIsDecodedBeforeTheHandlers) {
    std::string body = "webkey=secret&qz_sv_KickLen=9&updqz1=Update";
    std::string answer =
        ask("POST /qzsvweb HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_NE(answer.find("* UPDATED *"), std::string::npos);
    EXPECT_TRUE(anyLineContains(run("qz_sv_KickLen"), "qz_sv_KickLen = 9"));
}

TEST_F(WebListener, PortChangeReopensAndPortZeroCloses) {
    int other = freePort();
    run("qz_sv_HttpPort " + std::to_string(other));
    frame();
    EXPECT_LT(connectTo(port_), 0);
    int s = connectTo(other);
    EXPECT_GE(s, 0);
    close(s);
    run("qz_sv_HttpPort 0");
    frame();
    EXPECT_LT(connectTo(other), 0);
}

TEST_F(WebListener, BindFailureIsReportedOnce) {
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    int busy = freePort();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(busy));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    run("qz_sv_HttpPort " + std::to_string(busy));
    auto first = run("sim_advance 0");
    auto second = run("sim_advance 0");
    close(blocker);
    EXPECT_TRUE(anyLineContains(first, "Not Listening for HTTP"));
    EXPECT_FALSE(anyLineContains(second, "Listening for HTTP"));
}

int failingSource(unsigned char*, int) { return 0; }

// The digests are keyed with a secret from the system's random source; a made-up secret would
// let anyone forge them. Without a source nothing is served until one is back.
TEST_F(WebListener, WithoutARandomSourceNothingIsServedUntilItIsBack) {
    webRandomSource(failingSource);
    // The secret is due for renewal.
    run("sim_advance " + std::to_string(WEB_DIGEST_PERIOD_MS));
    std::string answer = ask(postPlain("webkey=secret\r\nplist=x\r\n"));
    webRandomSource(nullptr);
    EXPECT_EQ(answer.find("HTTP/1.0 503 Service Unavailable\r\n"), 0u) << answer;
    EXPECT_NE(answer.find("random source"), std::string::npos);
    EXPECT_EQ(answer.find("Player List"), std::string::npos);
    EXPECT_TRUE(anyLineContains(host().output(), "random source gives no secret; not serving"));
    EXPECT_NE(ask(postPlain("webkey=secret\r\nplist=x\r\n")).find("<i>Player List Screen</i>"),
              std::string::npos);
}

}  // namespace
