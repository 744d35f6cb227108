// The WebTool behind a real nginx on loopback: with the proxy's address in qz_sv_HttpProxies,
// bad keys and lockouts belong to the client nginx names in X-Forwarded-For, so one guesser
// behind the proxy does not lock out another user; without it, X-Forwarded-For is ignored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nginx.h"
#include "web_module.h"
#include "webtool/web.h"

namespace {

using namespace webtest;

class WebProxy : public WebModule {
  protected:
    void SetUp() override {
        WebModule::SetUp();
        if (!nginx_.start("  location / {\n"
                          "   proxy_pass http://127.0.0.1:" +
                          std::to_string(port_) +
                          ";\n"
                          "   proxy_set_header Host $http_host;\n"
                          "   proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
                          "   proxy_set_header X-Forwarded-Proto $scheme;\n"
                          "  }")) {
            GTEST_SKIP() << "nginx is not installed (scripts/deps.sh installs it)";
        }
    }
    // A request through nginx from the loopback address from; the module's frames run while
    // nginx passes it on.
    std::string viaNginx(const char* from, const std::string& request) {
        int s = connectFrom(nginx_.port, from);
        EXPECT_GE(s, 0) << from;
        if (s < 0) return "";
        // nginx keeps a connection open for the next request unless told otherwise.
        std::string closing = request;
        closing.insert(closing.find("\r\n") + 2, "Connection: close\r\n");
        sendText(s, closing);
        std::string answer = awaitAnswer(
            s,
            [this] {
                run("sim_advance 0");
                usleep(2000);
            },
            1500);
        close(s);
        return answer;
    }
    Nginx nginx_;
};

TEST_F(WebProxy, OneGuesserBehindTheProxyDoesNotLockOutAnotherUser) {
    run("qz_sv_HttpProxies 127.0.0.1");
    for (int i = 0; i < WEB_LOCK_BADKEYS + 1; ++i) {
        std::string answer = viaNginx(
            "127.0.0.2", postPlain("webkey=guess" + std::to_string(i) + "\r\nplist=x\r\n"));
        EXPECT_NE(answer.find("<i>Login Screen</i>"), std::string::npos) << answer;
    }
    EXPECT_TRUE(anyLineContains(host().output(), "Bad Web Key sent from 127.0.0.2:"));
    EXPECT_TRUE(anyLineContains(host().output(), "WebTool: 127.0.0.2 locked out"));
    // The administrator behind the same proxy gets in.
    std::string admin = viaNginx("127.0.0.3", postPlain("webkey=secret\r\nplist=x\r\n"));
    EXPECT_NE(admin.find("<i>Player List Screen</i>"), std::string::npos) << admin;
    // The guesser stays locked, even with the right key.
    std::string guesser = viaNginx("127.0.0.2", postPlain("webkey=secret\r\nplist=x\r\n"));
    EXPECT_NE(guesser.find("TOO MANY BAD KEYS"), std::string::npos);
}

TEST_F(WebProxy, WithoutTheSettingEveryUserIsTheProxyAndTheHeaderIsIgnored) {
    for (int i = 0; i < WEB_LOCK_BADKEYS; ++i) {
        viaNginx("127.0.0.2", postPlain("webkey=guess\r\nplist=x\r\n"));
    }
    EXPECT_TRUE(anyLineContains(host().output(), "WebTool: 127.0.0.1 locked out"));
    // A client cannot name himself another address: the header counts only from a proxy.
    int s = connectFrom(port_, "127.0.0.4");
    ASSERT_GE(s, 0);
    const std::string body = "webkey=bad\r\nplist=x\r\n";
    sendText(s, "POST /qzsvweb HTTP/1.0\r\nX-Forwarded-For: 10.9.9.9\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body);
    awaitAnswer(s, [this] { run("sim_advance 0"); });
    close(s);
    EXPECT_TRUE(anyLineContains(host().output(), "Bad Web Key sent from 127.0.0.4:"));
    EXPECT_FALSE(anyLineContains(host().output(), "10.9.9.9"));
}

// One anonymous client behind nginx opens 200 connections at once: the proxy's own address is
// never blocked, the client holds only his share, and the administrator behind the same proxy is
// answered every time.
TEST_F(WebProxy, OneClientsFloodBehindTheProxyNeitherBlocksItNorCutsOffTheAdministrator) {
    run("qz_sv_HttpProxies 127.0.0.1");
    std::vector<int> flood;
    for (int i = 0; i < 200; ++i) {
        int s = connectFrom(nginx_.port, "127.0.0.2");
        if (s < 0) break;
        sendText(s, "GET /qzsvweb HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        flood.push_back(s);
    }
    ASSERT_GT(flood.size(), 100u);
    int answered = 0;
    for (int i = 0; i < 9; ++i) {
        std::string page = viaNginx("127.0.0.3", postPlain("webkey=secret\r\nplist=x\r\n"));
        if (page.find("<i>Player List Screen</i>") != std::string::npos) answered++;
    }
    for (int s : flood) close(s);
    EXPECT_EQ(answered, 9);
    EXPECT_FALSE(anyLineContains(host().output(), "127.0.0.1 opens connections faster"));
}

}  // namespace
