// Request handling: field lookup, the four field rules, HTTP framing across reads and the form
// text the handlers get.
#include "webtool/request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/case_name.h"

namespace {

std::unique_ptr<stWebConn> connWith(const std::string& bytes) {
    auto c = std::make_unique<stWebConn>();
    memset(c.get(), 0, sizeof *c);
    memcpy(c->req, bytes.data(), bytes.size());
    c->len = static_cast<int>(bytes.size());
    c->req[c->len] = 0;
    return c;
}

// The form text of a complete request, or "404" for another path.
std::string formOf(const std::string& request) {
    auto c = connWith(request);
    EXPECT_EQ(webScanRequest(c.get()), WEBS_COMPLETE) << request;
    char form[WEB_REQ_MAX + 1];
    if (webRequestForm(c.get(), form, sizeof form) != WEBT_TOOL) return "404";
    return form;
}

TEST(WebFind, FindsTheEarliestMatchWithoutRegardToCase) {
    const char* text = "aaa WebKey=1 webkey=2";
    EXPECT_EQ(web_find(text, "WEBKEY"), text + 4);
    EXPECT_EQ(web_find(text, "guid="), nullptr);
    EXPECT_EQ(web_find(nullptr, "x"), nullptr);
}

TEST(WebButton, MatchesOnlyAtALineStartAfterOptionalDigits) {
    const char* form = "webkey=k\r\nwebreason=say slot=\r\n12slot=Slot 12\r\n";
    const char* at = web_button(form, "slot=");
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(web_number_before(form, at), 12);
    EXPECT_EQ(web_button("webreason=kickslot=\r\n", "kickslot="), nullptr);
    EXPECT_EQ(web_button("kickslot=qz_sv_kick\r\n", "slot="), nullptr);
    EXPECT_NE(web_button("KICKSLOT=qz_sv_kick\r\n", "kickslot="), nullptr);
}

struct LineCase {
    const char* text;
    const char* name;
    const char* value;
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << "\"" << c.name << "\" in \"" << c.text << "\"";
}
class LineValue : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineValue, ReadsToTheLineEndAfterBlanksAndOneEquals) {
    const LineCase& c = GetParam();
    const char* at = web_find(c.text, c.name);
    ASSERT_NE(at, nullptr);
    char out[64];
    web_line_value(at, c.name, out, sizeof out);
    EXPECT_STREQ(out, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineValue,
    ::testing::Values(LineCase{"webkey=abc\r\nx=1", "webkey", "abc"},
                      LineCase{"webkey =  abc \r\n", "webkey", "abc "},
                      LineCase{"webkey==abc", "webkey", "=abc"}, LineCase{"webkey", "webkey", ""},
                      LineCase{"webreason=  Removed by Web Admin\n",
                               "webreason=", "Removed by Web Admin"},
                      LineCase{"/qzsvweb/plist=1&webkey=ABCD HTTP/1.0", "webkey", "ABCD HTTP/1.0"}),
    [](const ::testing::TestParamInfo<LineCase>& p) {
        return qztest::caseName(p.index, p.param.text);
    });

struct NumberCase {
    const char* text;
    const char* name;
    int value;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
    *os << "\"" << c.name << "\" in \"" << c.text << "\"";
}
class NumberAfter : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberAfter, SkipsEveryNonDigitThenReadsTheNumber) {
    const NumberCase& c = GetParam();
    const char* at = web_find(c.text, c.name);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(web_number_after(at, c.name), c.value);
}

INSTANTIATE_TEST_SUITE_P(Cases, NumberAfter,
                         ::testing::Values(NumberCase{"webkicklen=-5\r\n", "webkicklen=", 5},
                                           NumberCase{"slotnum=\r\nguid=12AB\r\n", "slotnum=", 12},
                                           NumberCase{"slotnum=", "slotnum=", 0},
                                           NumberCase{"webkicklen=99999999999999\r\n",
                                                      "webkicklen=", 2147483647}),
                         [](const ::testing::TestParamInfo<NumberCase>& p) {
                             return qztest::caseName(p.index, p.param.text);
                         });

TEST(FieldRules, FixedWidthTakesThirtyTwoCharactersOrWhatIsLeftOfItsLine) {
    char out[33];
    std::string guid(32, 'A');
    std::string text = "guid=" + guid + "BBBB\r\n";
    web_fixed32(web_find(text.c_str(), "guid="), "guid=", out);
    EXPECT_EQ(std::string(out), guid);
    // A shorter value (a player listed as NO_GUID) ends at its line end.
    const char* shortText = "guid=NO_GUID\r\nwebreason=x";
    web_fixed32(web_find(shortText, "guid="), "guid=", out);
    EXPECT_STREQ(out, "NO_GUID");
    const char* endText = "guid=ABC";
    web_fixed32(web_find(endText, "guid="), "guid=", out);
    EXPECT_STREQ(out, "ABC");
}

TEST(FieldRules, NumberBeforeTheNameNeedsDigitsRightBeforeIt) {
    const char* text = "x\r\n7slot=Slot 07";
    EXPECT_EQ(web_number_before(text, web_find(text, "slot=")), 7);
    const char* none = "slot=Slot";
    EXPECT_EQ(web_number_before(none, none), -1);
}

TEST(RequestFraming, WaitsForHeadersAndTheWholeBody) {
    std::string full = "POST /qzsvweb HTTP/1.1\r\nContent-Length: 10\r\n\r\nplist=1\r\n.";
    for (size_t cut : {size_t{5}, full.find("\r\n\r\n") + 2, full.size() - 1}) {
        auto c = connWith(full.substr(0, cut));
        EXPECT_EQ(webScanRequest(c.get()), WEBS_MORE) << cut;
    }
    auto c = connWith(full);
    EXPECT_EQ(webScanRequest(c.get()), WEBS_COMPLETE);
    EXPECT_EQ(c->bodyLen, 10);
}

TEST(RequestFraming, RefusesWhatCannotFitTheRequestBuffer) {
    auto big = connWith("POST /qzsvweb HTTP/1.1\r\nContent-Length: 9000\r\n\r\n");
    EXPECT_EQ(webScanRequest(big.get()), WEBS_TOO_LARGE);
    auto bad = connWith("POST /qzsvweb HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
    EXPECT_EQ(webScanRequest(bad.get()), WEBS_TOO_LARGE);
    auto endless = connWith(std::string(WEB_REQ_MAX, 'a'));
    EXPECT_EQ(webScanRequest(endless.get()), WEBS_TOO_LARGE);
}

TEST(RequestForm, RefreshTargetBecomesOneFieldPerLine) {
    EXPECT_EQ(formOf("GET /qzsvweb/plist=1&webkey=0123ABCD HTTP/1.1\r\nHost: x\r\n\r\n"),
              "plist=1\r\nwebkey=0123ABCD\r\n");
    EXPECT_EQ(formOf("GET /qzsvweb HTTP/1.0\r\n\r\n"), "");
}

TEST(RequestForm, RequestLineAndHeadersNeverReachTheForm) {
    std::string form = formOf(
        "POST /qzsvweb HTTP/1.1\r\nReferer: http://x/qzsvweb/plist=1&webkey=K\r\n"
        "Content-Type: text/plain\r\nContent-Length: 10\r\n\r\nwebkey=k\r\n");
    EXPECT_EQ(form, "webkey=k\r\n");
}

TEST(RequestForm, OtherPathsAreNotFound) {
    EXPECT_EQ(formOf("GET /favicon.ico HTTP/1.1\r\n\r\n"), "404");
    EXPECT_EQ(formOf("GET /qzsvwebx HTTP/1.1\r\n\r\n"), "404");
    EXPECT_EQ(formOf("GET / HTTP/1.1\r\nX: /qzsvweb\r\n\r\n"), "404");
    EXPECT_EQ(formOf("\r\n\r\n"), "404");
}

TEST(RequestForm, UrlEncodedBodyIsDecodedIntoLines) {
    std::string body = "webkey=a%2Bb&exec_cmd_text=say+%3Cb%3Ehi%0D%0Akickslot%3D&exec_cmd=x";
    std::string form = formOf(
        "POST /qzsvweb HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(form, "webkey=a+b\r\nexec_cmd_text=say <b>hi  kickslot=\r\nexec_cmd=x\r\n");
}

TEST(RequestForm, PlainBodyKeepsItsLinesAndLosesNulBytes) {
    std::string body("webkey=k\r\nplist=Player List", 27);
    body[3] = '\0';
    std::string form =
        formOf("POST /qzsvweb HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body);
    EXPECT_EQ(form, "web ey=k\r\nplist=Player List\r\n");
}

TEST(UrlDecode, LeavesBrokenEscapesAsTyped) {
    char out[32];
    int len = 0;
    webUrlDecode("%4%zz%41", 8, true, out, sizeof out, &len);
    EXPECT_STREQ(out, "%4%zzA");
}

}  // namespace

namespace {

unsigned addrOf(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

struct ForwardedCase {
    const char* headers;
    const char* client;  // the address taken, "" for none
};

TEST(RequestFacts, TheClientIsTheLastAddressOfTheLastForwardedLine) {
    const ForwardedCase cases[] = {
        {"X-Forwarded-For: 10.0.0.5\r\n", "10.0.0.5"},
        {"X-Forwarded-For: 6.6.6.6, 10.0.0.5\r\n", "10.0.0.5"},
        // A proxy that adds a line of its own leaves the client's forged line first.
        {"X-Forwarded-For: 6.6.6.6\r\nX-Forwarded-For: 10.0.0.5\r\n", "10.0.0.5"},
        {"X-Forwarded-For: 6.6.6.6\r\nHost: a\r\nx-forwarded-for: 7.7.7.7, 10.0.0.6\r\n",
         "10.0.0.6"},
        {"X-Forwarded-For: not-an-address\r\n", ""},
    };
    for (const ForwardedCase& c : cases) {
        auto conn = connWith(std::string("GET /qzsvweb HTTP/1.1\r\n") + c.headers + "\r\n");
        ASSERT_EQ(webScanRequest(conn.get()), WEBS_COMPLETE);
        stWebFacts facts{};
        webRequestFacts(conn.get(), true, &facts);
        EXPECT_EQ(facts.forwardedFor, *c.client ? addrOf(c.client) : 0u) << c.headers;
        webRequestFacts(conn.get(), false, &facts);
        EXPECT_EQ(facts.forwardedFor, 0u) << "believed without a trusted proxy";
    }
}

struct HostCase {
    const char* host;  // the Host header's value, null for none
    bool served;
};

TEST(RequestFacts, OnlyTheHostsTheWebToolIsServedAsPass) {
    const HostCase cases[] = {
        {nullptr, true},                      // not a browser
        {"127.0.0.1", true},                  // the address it came in on
        {"127.0.0.1:8080", true},             //
        {"LOCALHOST:8080", true},             //
        {"localhost", true},                  //
        {"admin.example.invalid", true},      // listed with any port
        {"admin.example.invalid:443", true},  //
        {"panel.invalid:8443", true},         // listed with its port
        {"panel.invalid:8444", false},        //
        {"panel.invalid", false},             //
        {"10.0.0.9", false},                  // another address
        {"evil.test", false},                 // a rebound name
        {"evil.test:8080", false},            //
        {"localhost.evil.test", false},       //
        {"", true},                           // an empty header is no name either
    };
    for (const HostCase& c : cases) {
        std::string head = c.host ? std::string("Host: ") + c.host + "\r\n" : "";
        auto conn = connWith("GET /qzsvweb HTTP/1.1\r\n" + head + "\r\n");
        ASSERT_EQ(webScanRequest(conn.get()), WEBS_COMPLETE);
        EXPECT_EQ(webHostServed(conn.get(), "admin.example.invalid, panel.invalid:8443",
                                addrOf("127.0.0.1")),
                  c.served)
            << (c.host ? c.host : "(none)");
    }
}

TEST(RequestForm, SaysWhereTheBodysFieldsBegin) {
    auto c = connWith(
        "POST /qzsvweb/plist=1&webkey=K HTTP/1.1\r\nContent-Type: text/plain\r\n"
        "Content-Length: 9\r\n\r\nwebkey=k\n");
    ASSERT_EQ(webScanRequest(c.get()), WEBS_COMPLETE);
    char form[WEB_REQ_MAX + 1];
    int bodyAt = -2;
    ASSERT_EQ(webRequestForm(c.get(), form, sizeof form, &bodyAt), WEBT_TOOL);
    EXPECT_EQ(std::string(form + bodyAt), "webkey=k\n");
    EXPECT_EQ(std::string(form, static_cast<size_t>(bodyAt)), "plist=1\r\nwebkey=K\r\n");
}

}  // namespace
