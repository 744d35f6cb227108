// What a browser can be made to send: requests marked as coming from another site, links (GET)
// that name an action, a reloaded answer page, values the page showed masked or could not hold.
// Each is sent through the listener as a browser would send it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/case_name.h"
#include "web_module.h"

namespace {

using namespace webtest;

class WebTrust : public WebModule {
  protected:
    std::string ask(const std::string& request) {
        before_ = host().output().size();
        int s = connectTo(port_);
        EXPECT_GE(s, 0);
        sendText(s, request);
        std::string answer = awaitAnswer(s, [this] { run("sim_advance 0"); });
        close(s);
        return answer;
    }
    // A text/plain POST with extra header lines.
    std::string postWith(const std::string& headers, const std::string& body) {
        return ask("POST /qzsvweb HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n" +
                   headers + "Content-Type: text/plain\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    // The digest and the one-time number a page carries.
    static std::string fieldOf(const std::string& page, const std::string& name) {
        std::string mark = "name=" + name + " ";
        size_t at = page.find(mark);
        if (at == std::string::npos) {
            mark = "name=" + name + " maxlength=32 size=35 value=\"";
            at = page.find(mark);
        }
        at = page.find("value=", at);
        if (at == std::string::npos) return "";
        at += 6;
        if (page[at] == '"') at++;
        size_t end = page.find_first_of("\">", at);
        return page.substr(at, end - at);
    }
};

struct SiteCase {
    const char* headers;
};
void PrintTo(const SiteCase& c, std::ostream* os) { *os << c.headers; }
class WebCrossSite : public WebTrust, public ::testing::WithParamInterface<SiteCase> {};

TEST_P(WebCrossSite, IsRefusedBeforeItsKeyIsLookedAtAndNeverLocksOut) {
    int slot = join("Victim", 1);
    for (int i = 0; i < 8; ++i) {
        std::string answer = postWith(GetParam().headers, "webkey=wrong\r\nplist=x\r\n");
        EXPECT_EQ(answer.find("HTTP/1.0 403 Forbidden\r\n"), 0u) << answer;
    }
    EXPECT_FALSE(anyLineContains(host().output(), "Bad Web Key"));
    EXPECT_FALSE(anyLineContains(host().output(), "locked out"));
    // Nor does it act with the right key.
    std::string kick =
        postWith(GetParam().headers, "webkey=secret\r\nslotnum=" + std::to_string(slot) +
                                         "\r\nguid=" + guidOf(1) +
                                         "\r\nwebreason=x\r\n"
                                         "webkicklen=1\r\nkickslot=k\r\n");
    EXPECT_EQ(kick.find("HTTP/1.0 403"), 0u);
    EXPECT_FALSE(anyLineContains(host().output(), "DropClient"));
    // The administrator's own page still works.
    EXPECT_TRUE(has(post("plist=x\r\n"), "<i>Player List Screen</i>"));
}

INSTANTIATE_TEST_SUITE_P(Cases, WebCrossSite,
                         ::testing::Values(SiteCase{"Sec-Fetch-Site: cross-site\r\n"},
                                           SiteCase{"Sec-Fetch-Site: same-site\r\n"},
                                           SiteCase{"Origin: http://evil.example\r\n"},
                                           SiteCase{"Origin: null\r\n"},
                                           SiteCase{"Referer: http://evil.example/page.html\r\n"}),
                         [](const ::testing::TestParamInfo<SiteCase>& p) {
                             return qztest::caseName(p.index, p.param.headers);
                         });

TEST_F(WebTrust, TheWebToolsOwnPagesAreTakenFromTheSameOrigin) {
    std::string own =
        "Sec-Fetch-Site: same-origin\r\nOrigin: http://127.0.0.1:" + std::to_string(port_) + "\r\n";
    EXPECT_TRUE(has(postWith(own, "webkey=secret\r\nplist=x\r\n"), "<i>Player List Screen</i>"));
}

TEST_F(WebTrust, ALinkWithAValidDigestNeverActsAndABadOneNeverLocksOut) {
    int slot = join("Victim", 2);
    std::string page = post("plist=x\r\n");
    std::string digest = fieldOf(page, "webkey");
    ASSERT_EQ(digest.size(), 32u) << digest;
    std::string link = "GET /qzsvweb/kickslot=1&slotnum=" + std::to_string(slot) +
                       "&guid=" + guidOf(2) + "&webkicklen=1&webreason=x&webkey=" + digest +
                       " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string answer = ask(link);
    EXPECT_TRUE(has(answer, "* NOT RUN: ONLY THE PAGE&#39;S OWN BUTTONS ACT *") ||
                has(answer, "* NOT RUN: ONLY THE PAGE'S OWN BUTTONS ACT *"));
    EXPECT_FALSE(anyLineContains(host().output(), "DropClient"));
    // The refresh link itself works with the digest, never with the key.
    EXPECT_TRUE(has(ask("GET /qzsvweb/plist=1&webkey=" + digest + " HTTP/1.1\r\n\r\n"),
                    "<i>Player List Screen</i>"));
    EXPECT_TRUE(
        has(ask("GET /qzsvweb/plist=1&webkey=secret HTTP/1.1\r\n\r\n"), "<i>Login Screen</i>"));
    for (int i = 0; i < 10; ++i) ask("GET /qzsvweb/plist=1&webkey=wrong HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(anyLineContains(host().output(), "locked out"));
    EXPECT_TRUE(has(post("plist=x\r\n"), "<i>Player List Screen</i>"));
}

TEST_F(WebTrust, AReloadedAnswerDoesNotRunItsActionAgain) {
    std::string page = post("cmds=x\r\n");
    std::string act = fieldOf(page, "webact");
    std::string digest = fieldOf(page, "webkey");
    ASSERT_FALSE(act.empty());
    std::string form = "webact=" + act + "\r\nexec_cmd_text=say once\r\nexec_cmd=To console->\r\n";
    post(form, digest);
    EXPECT_TRUE(said("[host] Cmd_Exec say once"));
    std::string again = post(form, digest);
    EXPECT_FALSE(said("[host] Cmd_Exec say once"));
    EXPECT_TRUE(has(again, "* NOT RUN AGAIN: THIS PAGE WAS SENT BEFORE (RELOADED?) *"));
    // A number never given is refused too.
    post("webact=12\r\nexec_cmd_text=say forged\r\nexec_cmd=To console->\r\n", digest);
    EXPECT_FALSE(said("Cmd_Exec say forged"));
}

TEST_F(WebTrust, AnonymousRequestsNeverMakeAPreparedActionFail) {
    std::string page = post("cmds=x\r\n");
    std::string act = fieldOf(page, "webact");
    std::string digest = fieldOf(page, "webkey");
    ASSERT_FALSE(act.empty());
    // The Login Screen, which anyone may ask for, carries no one-time number.
    std::string login = ask("GET /qzsvweb HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(has(login, "<i>Login Screen</i>"));
    EXPECT_FALSE(has(login, "name=webact"));
    std::string done = post(
        "exec_cmd_text=say prepared\r\nwebact=" + act + "\r\nexec_cmd=To console->\r\n", digest);
    EXPECT_FALSE(has(done, "NOT RUN AGAIN")) << done;
    EXPECT_TRUE(said("[host] Cmd_Exec say prepared"));
}

TEST_F(WebTrust, AKeyInTheUrlOfAPostIsNeverTaken) {
    for (const char* body : {"", "plist=x\r\n"}) {
        std::string answer =
            ask(std::string("POST /qzsvweb/plist=1&webkey=secret HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                            "Content-Type: text/plain\r\nContent-Length: ") +
                std::to_string(strlen(body)) + "\r\n\r\n" + body);
        EXPECT_TRUE(has(answer, "<i>Login Screen</i>")) << answer;
        EXPECT_FALSE(has(answer, "<i>Player List Screen</i>"));
    }
    // The same key in the posted form logs in.
    EXPECT_TRUE(has(post("plist=x\r\n"), "<i>Player List Screen</i>"));
}

// A page on another name that was made to resolve to the WebTool's address (DNS rebinding) sends
// that name in Host: it reads nothing, acts on nothing and locks no one out.
TEST_F(WebTrust, ARequestForAHostTheWebToolIsNotServedAsIsRefused) {
    auto withHost = [&](const std::string& host, const std::string& body) {
        return ask("POST /qzsvweb HTTP/1.1\r\nHost: " + host +
                   "\r\nContent-Type: text/plain\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    const std::string port = std::to_string(port_);
    for (int i = 0; i < 8; ++i) {
        std::string answer = withHost("evil.test:" + port, "webkey=wrong\r\nplist=x\r\n");
        EXPECT_EQ(answer.find("HTTP/1.0 403 Forbidden\r\n"), 0u) << answer;
    }
    EXPECT_EQ(withHost("evil.test:" + port, "webkey=secret\r\nplist=x\r\n").find("HTTP/1.0 403"),
              0u);
    EXPECT_EQ(ask("GET /qzsvweb HTTP/1.1\r\nHost: evil.test\r\n\r\n").find("HTTP/1.0 403"), 0u);
    EXPECT_FALSE(anyLineContains(host().output(), "Bad Web Key"));
    EXPECT_FALSE(anyLineContains(host().output(), "locked out"));
    // Its own address and localhost are served, and a name listed for a proxy.
    EXPECT_TRUE(has(withHost("127.0.0.1:" + port, "webkey=secret\r\nplist=x\r\n"),
                    "<i>Player List Screen</i>"));
    EXPECT_TRUE(has(withHost("LocalHost:" + port, "webkey=secret\r\nplist=x\r\n"),
                    "<i>Player List Screen</i>"));
    run("qz_sv_HttpHosts \"admin.example.invalid evil.test:8443\"");
    EXPECT_TRUE(has(withHost("admin.example.invalid", "webkey=secret\r\nplist=x\r\n"),
                    "<i>Player List Screen</i>"));
    EXPECT_TRUE(has(withHost("evil.test:8443", "webkey=secret\r\nplist=x\r\n"),
                    "<i>Player List Screen</i>"));
    EXPECT_EQ(withHost("evil.test:" + port, "webkey=secret\r\nplist=x\r\n").find("HTTP/1.0 403"),
              0u);
}

TEST_F(WebTrust, LogOutEndsTheDigestOfThatBrowser) {
    std::string page = post("plist=x\r\n");
    std::string digest = fieldOf(page, "webkey");
    EXPECT_TRUE(has(post("plist=x\r\n", digest), "<i>Player List Screen</i>"));
    EXPECT_TRUE(has(page, "<input type=submit value=\"Log out\" name=weblogout>"));
    std::string out = post("weblogout=Log out\r\n", digest);
    EXPECT_TRUE(has(out, "* LOGGED OUT *"));
    EXPECT_TRUE(has(post("plist=x\r\n", digest), "* LOGIN ENDED: TYPE THE KEY AGAIN *"));
}

TEST_F(WebTrust, AnUnchangedUpdateKeepsAValueThePageShowedWithASecretInIt) {
    host().setCvar("rconpassword", "goldrush");
    run("qz_sv_HttpMaps \"mp_forest mp_goldrush\"");
    std::string page = post("qz_settings=x\r\n");
    EXPECT_TRUE(has(page, "value=\"mp_forest mp_goldrush\""));
    post("qz_sv_httpMaps=mp_forest mp_goldrush\r\nqz_sv_KickLen=9\r\nupdqz1=Update\r\n");
    EXPECT_FALSE(said("qz_sv_HttpMaps = "));
    auto shown = run("qz_sv_HttpMaps");
    EXPECT_TRUE(anyLineContains(shown, "qz_sv_HttpMaps = mp_forest mp_goldrush"));
}

struct TooLongCase {
    const char* what;
    std::string form;
    const char* message;
    const char* notRun;
};
void PrintTo(const TooLongCase& c, std::ostream* os) { *os << c.what; }
class WebTooLong : public WebTrust, public ::testing::WithParamInterface<TooLongCase> {};

TEST_P(WebTooLong, IsRefusedWithAMessageNeverCutAndRun) {
    std::string page = post(GetParam().form);
    EXPECT_TRUE(has(page, GetParam().message))
        << page.substr(page.size() > 3000 ? page.size() - 3000 : 0);
    EXPECT_FALSE(said(GetParam().notRun));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebTooLong,
    ::testing::Values(
        TooLongCase{"console line",
                    "exec_cmd_text=say " + std::string(1100, 'x') + "\r\nexec_cmd=To console->\r\n",
                    "CONSOLE LINE TOO LONG", "Cmd_Exec say"},
        TooLongCase{"map list",
                    "qz_sv_httpMaps=" + std::string(1100, 'm') + "\r\nupdqz1=Update\r\n",
                    "more than the 1024 it holds; value kept", "qz_sv_HttpMaps = "},
        TooLongCase{"game variable",
                    "timelimit=" + std::string(300, '1') + "\r\nupdgset=Update\r\n",
                    "more than the 255 a game variable takes", "Cvar_Set timelimit"}),
    [](const ::testing::TestParamInfo<TooLongCase>& p) {
        return qztest::caseName(p.index, p.param.what);
    });

TEST_F(WebTrust, ATimelimitOfThreeDigitsCanBeTypedAndSet) {
    std::string page = post("gsettings=x\r\n");
    EXPECT_TRUE(has(page, "name=timelimit maxlength=256 "));
    post("timelimit=120\r\nupdgset=Update\r\n");
    EXPECT_TRUE(said("Cvar_Set timelimit 120"));
}

}  // namespace
