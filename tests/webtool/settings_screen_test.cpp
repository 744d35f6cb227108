// The General Settings screen and its update.
#include <gtest/gtest.h>

#include <string>

#include "support/case_name.h"
#include "web_state.h"

namespace {

using webtest::BareState;

std::string update(BareState& s, const std::string& fields) {
    QZ_COPY(s.get()->set.httpKey, "k");
    std::string form = "webkey=k\r\n" + fields + "updqz1=Update\r\n";
    web_dispatch(s.get(), form.c_str(), &s.get()->web.page);
    return s.page();
}

TEST(SettingsUpdate, AssignsAllSixteenFieldsAndAnswersWithTheCommandScreen) {
    BareState s;
    stQzSv* sv = s.get();
    // An address and port the machine can listen on: a pair it cannot is refused.
    const int port = webtest::freePortHere();
    std::string page =
        update(s,
               "qz_sv_httpRefresh=30\r\nqz_sv_httpAddr=127.0.0.1\r\n"
               "qz_sv_httpPort=" +
                   std::to_string(port) +
                   "\r\nqz_sv_httpMaps=mp_a mp_b\r\n"
                   "qz_sv_MsgPrefix=^2Admin says\r\nqz_sv_Sleep=25\r\n"
                   "qz_sv_KickLen=7\r\nqz_sv_changePeriod=40\r\nqz_sv_changeMax=9\r\n"
                   "qz_sv_CvarFreq=3\r\nqz_sv_CvarLogging=2\r\nqz_sv_CvarWalk=4\r\n"
                   "qz_sv_CvarChangedPulse=11\r\nqz_sv_CvarUserPulse=12\r\n"
                   "qz_sv_MaxDlRate=2\r\nqz_sv_MaxConDls=5\r\n");
    EXPECT_NE(page.find("<i>Command Screen</i>"), std::string::npos);
    EXPECT_NE(page.find("<b><i>* UPDATED *</i></b>"), std::string::npos);
    const stSettings& t = sv->set;
    EXPECT_EQ(t.httpRefresh, 30);
    EXPECT_STREQ(t.httpAddr, "127.0.0.1");
    EXPECT_EQ(t.httpPort, port);
    EXPECT_STREQ(t.httpMaps, "mp_a mp_b");
    EXPECT_STREQ(sv->msgPrefix, "^2Admin says");
    EXPECT_EQ(t.sleep, 25);
    EXPECT_EQ(t.kickLen, 7);
    EXPECT_EQ(t.changePeriod, 40);
    EXPECT_EQ(t.changeMax, 9);
    EXPECT_EQ(t.cvarFreq, 3);
    EXPECT_EQ(t.cvarLogging, 2);
    EXPECT_EQ(t.cvarWalk, 4);
    EXPECT_EQ(t.cvarChangedPulse, 11);
    EXPECT_EQ(t.cvarUserPulse, 12);
    EXPECT_EQ(t.maxDlRate, 2);
    EXPECT_EQ(t.maxConDls, 5);
    EXPECT_TRUE(s.host.printedContains("qz_sv_KickLen = 7 (0 to 60)"));
}

struct RangeCase {
    const char* field;
    int stSettings::*value;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.field; }
class SettingsRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(SettingsRange, KeepsValuesOutsideTheWebToolRange) {
    BareState s;
    int old = s.get()->set.*GetParam().value;
    update(s, std::string(GetParam().field) + "\r\n");
    EXPECT_EQ(s.get()->set.*GetParam().value, old);
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsRange,
                         ::testing::Values(RangeCase{"qz_sv_httpRefresh=5",
                                                     &stSettings::httpRefresh},
                                           RangeCase{"qz_sv_httpPort=65536", &stSettings::httpPort},
                                           RangeCase{"qz_sv_Sleep=19", &stSettings::sleep},
                                           RangeCase{"qz_sv_KickLen=61", &stSettings::kickLen},
                                           RangeCase{"qz_sv_ChangeMax=0", &stSettings::changeMax},
                                           RangeCase{"qz_sv_CvarWalk=5", &stSettings::cvarWalk},
                                           RangeCase{"qz_sv_MaxDlRate=5", &stSettings::maxDlRate},
                                           RangeCase{"qz_sv_MaxConDls=7", &stSettings::maxConDls}),
                         [](const ::testing::TestParamInfo<RangeCase>& p) {
                             return qztest::caseName(p.index, p.param.field);
                         });

TEST(SettingsUpdate, ChangesOnlyTheFieldsSentAndEmptiesAnEmptyText) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpAddr, "1.2.3.4");
    int sleep = sv->set.sleep;
    update(s, "qz_sv_httpAddr=\r\nqz_sv_KickLen=3\r\n");
    EXPECT_STREQ(sv->set.httpAddr, "");
    EXPECT_EQ(sv->set.kickLen, 3);
    EXPECT_EQ(sv->set.sleep, sleep);
}

TEST(SettingsUpdate, ABadKeyChangesNothing) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "k");
    const char* form = "webkey=x\r\nqz_sv_KickLen=3\r\nupdqz1=Update\r\n";
    int before = s.get()->set.kickLen;
    web_dispatch(s.get(), form, &s.get()->web.page);
    EXPECT_EQ(s.get()->set.kickLen, before);
    EXPECT_NE(s.page().find("* BAD KEY *"), std::string::npos);
}

TEST(SettingsScreen, ShowsEveryRowWithItsValueEscaped) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->set.httpAddr, "\"><script>x</script>");
    QZ_COPY(sv->msgPrefix, "^3Kestrine Client");
    web_settings(sv, &sv->web.page, "* qz_sv_WriteCfg ISSUED *", "k");
    std::string page = s.page();
    char digest[33];
    web_key_digest(sv, "k", digest);
    for (const std::string& row :
         {std::string("<table border=0>\n<tr><td>Web Key</td><td><input aria-label=\"Web Key\" "
                      "type=password "
                      "name=webkey maxlength=32 size=35 value=\"") +
              digest + "\"></td></tr>\n<tr><td>&nbsp</td></tr>\n",
          std::string("<tr><td>qz_sv_httpRefresh</td><td><input aria-label=\"qz_sv_httpRefresh\" "
                      "type=number "
                      "name=qz_sv_httpRefresh maxlength=3 size=3 value=60></td></tr>\n"),
          std::string("<tr><td>qz_sv_httpAddr</td><td><input aria-label=\"qz_sv_httpAddr\" "
                      "name=qz_sv_httpAddr "
                      "maxlength=128 size=35 value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;"
                      "\"></td></tr>\n"),
          // A text field, so that a browser sends the map list back unchanged; it takes one
          // character more than the setting holds, so a longer list is refused, not cut.
          std::string("<tr><td>qz_sv_httpMaps</td><td><input aria-label=\"qz_sv_httpMaps\" "
                      "name=qz_sv_httpMaps "
                      "maxlength=1025 size=35 value=\"\"></td></tr>\n<tr><td>&nbsp</td></tr>\n"),
          std::string("<tr><td>qz_sv_MsgPrefix</td><td><input aria-label=\"qz_sv_MsgPrefix\" "
                      "name=qz_sv_MsgPrefix "
                      "maxlength=32 size=34 value=\"^3Kestrine Client\"></td></tr>\n"),
          std::string("<tr><td>qz_sv_CvarUserPulse</td><td><input "
                      "aria-label=\"qz_sv_CvarUserPulse\" type=number "
                      "name=qz_sv_CvarUserPulse maxlength=2 size=2 value=30></td></tr>\n"
                      "<tr><td>&nbsp</td></tr>\n"),
          std::string("<tr><td>qz_sv_MaxConDls</td><td><input aria-label=\"qz_sv_MaxConDls\" "
                      "type=number name=qz_sv_MaxConDls "
                      "maxlength=1 size=2 value=1></td></tr>\n</table>\n<br><input "
                      "type=submit value=\"Update\" name=updqz1>\n"),
          std::string("* qz_sv_WriteCfg ISSUED *")}) {
        EXPECT_NE(page.find(row), std::string::npos) << row;
    }
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("refresh"), std::string::npos);
}

TEST(ScreenSelector, KnownScreensNeedTheKeyAndOthersGetTheLoginScreen) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "k");
    web_dispatch(s.get(), "webkey=k\r\nqz_settings=QZ Settings\r\n", &s.get()->web.page);
    EXPECT_NE(s.page().find("<i>General QZ Settings Screen</i>"), std::string::npos);
    web_screen(s.get(), "webkey=k\r\n", &s.get()->web.page, "PLIST");
    EXPECT_NE(s.page().find("<i>Login Screen</i>"), std::string::npos);
    EXPECT_NE(s.page().find("* Web Key Required *"), std::string::npos);
    web_dispatch(s.get(), "nothing=1\r\n", &s.get()->web.page);
    EXPECT_NE(s.page().find("<i>Login Screen</i>"), std::string::npos);
    EXPECT_NE(s.page().find("<font color=#FF0000></font>"), std::string::npos);
    EXPECT_FALSE(s.host.printedContains("Bad Web Key"));
}

}  // namespace
