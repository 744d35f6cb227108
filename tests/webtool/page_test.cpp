// The page frame: colour conversion, escaping, header and footer.
#include "webtool/page.h"

#include <gtest/gtest.h>

#include <string>

#include "support/case_name.h"
#include "util/clock.h"
#include "web_state.h"

namespace {

using webtest::BareState;

std::string colorize(stQzSv* sv, const char* text, int size = 512) {
    std::string buf(static_cast<size_t>(size), '\0');
    web_colorize(sv, buf.data(), size, text);
    return buf.c_str();
}

struct ColorCase {
    const char* text;
    const char* html;
};
void PrintTo(const ColorCase& c, std::ostream* os) { *os << c.text; }

class Colorize : public ::testing::TestWithParam<ColorCase> {};

TEST_P(Colorize, TurnsCaretCodesIntoFontTags) {
    BareState s;
    EXPECT_EQ(colorize(s.get(), GetParam().text), GetParam().html);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Colorize,
    ::testing::Values(ColorCase{"^1Red^7White",
                                "<font color=#FFFFFF></font><font color=#ff0000>Red</font><font "
                                "color=#ffffff>White</font>"},
                      ColorCase{"a^^b", "<font color=#FFFFFF>a^b</font>"},
                      ColorCase{"end^", "<font color=#FFFFFF>end^</font>"},
                      ColorCase{"^9x^8y",
                                "<font color=#FFFFFF></font><font color=#ff0000>x</font><font "
                                "color=#000000>y</font>"},
                      ColorCase{"", "<font color=#FFFFFF></font>"},
                      ColorCase{"<b>", "<font color=#FFFFFF><b></font>"}),
    [](const ::testing::TestParamInfo<ColorCase>& p) {
        return qztest::caseName(p.index, std::string(p.param.text));
    });

TEST(Colorize, NeverGrowsPastTheGivenSize) {
    BareState s;
    EXPECT_EQ(colorize(s.get(), "^1abcdefghijklmnop", 30).size(), 29u);
}

TEST(Colorize, EscapedFormWritesNamesAsText) {
    BareState s;
    stWebPage* page = &s.get()->web.page;
    web_clear(page);
    web_colorize_esc(s.get(), page, "^1A&B\"><script>");
    EXPECT_EQ(std::string(page->text),
              "<font color=#FFFFFF></font><font color=#ff0000>A&amp;B&quot;&gt;&lt;script&gt;"
              "</font>");
}

TEST(Escape, CoversTextAndAttributePlaces) {
    char out[64];
    EXPECT_STREQ(web_esc("<a href='x'>\"&", out, sizeof out),
                 "&lt;a href=&#39;x&#39;&gt;&quot;&amp;");
    EXPECT_STREQ(web_esc("ab<", out, 6), "ab");  // an entity is never cut in half
}

TEST(PageWriter, CutsAtTheLastByteAndStaysTerminated) {
    BareState s;
    stWebPage* page = &s.get()->web.page;
    web_clear(page);
    std::string chunk(1000, 'x');
    for (int i = 0; i < WEB_PAGE_SIZE / 1000 + 10; ++i) web_put(page, chunk.c_str());
    web_add(page, "%s", "more");
    web_add_esc(page, "<<<");
    EXPECT_EQ(page->len, WEB_PAGE_SIZE - 1);
    EXPECT_EQ(static_cast<int>(strlen(page->text)), WEB_PAGE_SIZE - 1);
    EXPECT_EQ(page->cut, 1);
}

TEST(Header, EscapesGameVariablesAndCarriesTheRefreshDigest) {
    BareState s;
    s.host.cvars["sv_hostname"] = "<script>alert(1)</script>";
    QZ_COPY(s.get()->set.httpKey, "secret");
    s.get()->set.httpPort = 8080;
    web_header(s.get(), &s.get()->web.page, "Player List Screen", "plist=1", "secret");
    std::string page = s.page();
    char digest[33];
    web_key_digest(s.get(), "secret", digest);
    EXPECT_EQ(page.find("HTTP/1.0 200 OK\r\nConnection: close\r\n"), 0u);
    EXPECT_EQ(page.find("Accept:"), std::string::npos);  // a request header, not an answer one
    // Every header line ends in CR LF.
    std::string head = page.substr(0, page.find("\r\n\r\n"));
    for (size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1))
        EXPECT_EQ(head[at - 1], '\r');
    // The refresh link names no address, so it works from any machine and through NAT.
    EXPECT_NE(page.find("<html lang=en><head> <meta http-equiv=refresh content=\"60; url=/qzsvweb/"
                        "plist=1&webkey=" +
                        std::string(digest) + "\"> "),
              std::string::npos);
    EXPECT_EQ(page.find("http://"), std::string::npos);
    EXPECT_NE(page.find("sv_hostname = &lt;script&gt;alert(1)&lt;/script&gt;<br>"),
              std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_NE(page.find("This page auto-refreshes every 60 seconds"), std::string::npos);
}

TEST(Header, WithoutTargetThePageDoesNotRefresh) {
    BareState s;
    web_header(s.get(), &s.get()->web.page, "Login Screen", nullptr, "");
    std::string page = s.page();
    EXPECT_EQ(page.find("refresh"), std::string::npos);
    EXPECT_NE(page.find("<body text=#FFFFFF bgcolor=#000000>"), std::string::npos);
    EXPECT_NE(page.find("<font size=4><i>Login Screen</i>"), std::string::npos);
    EXPECT_NE(page.find("net_ip:net_port = 127.0.0.1:27960<br>mapname = oasis<br><br>"),
              std::string::npos);
}

TEST(Footer, ShowsVersionStateAndUptime) {
    BareState s;
    stQzSv* sv = s.get();
    sv->svVerMajor = 1;
    sv->svVerMinor = 673;
    sv->agVer = 3;
    sv->clVerMajor = 2;
    sv->clVerMinor = 5;
    s.host.advance((24 * 60 + 2 * 60 + 3) * 60000LL);
    web_clear(&sv->web.page);
    web_footer(sv, &sv->web.page, "<b><i>* UPDATED *</i></b>");
    std::string page = s.page();
    EXPECT_NE(page.find("<br><font color=#FF0000><b><i>* UPDATED *</i></b></font><br><br>\n"),
              std::string::npos);
    EXPECT_NE(page.find("Kestrine Server (v1.673 | A3 C2.005) Enabled<br>\n"), std::string::npos);
    EXPECT_NE(page.find("Initialization/Restart: 1 Days, 2 Hours, 3 Minutes<br>"),
              std::string::npos);
    EXPECT_EQ(page.rfind("</center></body></html>\n"), page.size() - 24);

    sv->enabled = 0;
    sv->web.startTime = static_cast<long long>(qzTime()) + 120;  // a clock set back
    web_clear(&sv->web.page);
    web_footer(sv, &sv->web.page, "");
    page = s.page();
    EXPECT_NE(page.find("0 Days, 0 Hours, 0 Minutes"), std::string::npos);

    // Far beyond the 24.8 days a signed millisecond difference can hold.
    sv->web.startTime = static_cast<long long>(qzTime()) - 60LL * 86400 - 3600;
    web_clear(&sv->web.page);
    web_footer(sv, &sv->web.page, "");
    page = s.page();
    EXPECT_NE(page.find(") **DISABLED**<br>"), std::string::npos);
    EXPECT_NE(page.find("60 Days, 1 Hours, 0 Minutes"), std::string::npos);
}

TEST(Footer, UsesTheColourSettingsAsStored) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpColMsg, "abcdef");
    QZ_COPY(sv->set.httpColLine1, "123456");
    QZ_COPY(sv->set.httpColLine2, "654321");
    web_clear(&sv->web.page);
    web_footer(sv, &sv->web.page, "m");
    std::string page = s.page();
    EXPECT_NE(page.find("<font color=#abcdef>m</font><br><br>\n<hr height=4 width=400 "
                        "color=#654321>\n"),
              std::string::npos);
    EXPECT_NE(page.find("<hr height=4 width=400 color=#123456>\n</form>\n"), std::string::npos);
}

}  // namespace
