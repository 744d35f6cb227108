// The Game Settings screen and its update through the game's variables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web_module.h"
#include "web_state.h"

namespace {

using webtest::BareState;
using webtest::has;

TEST(GameSettings, ShowsElevenVariablesWithLatchedNotes) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "k");
    s.host.cvars["sv_maxclients"] = "20";
    s.host.cvars["timelimit"] = "\"><script>x</script>";
    web_dispatch(s.get(), "webkey=k\r\ngsettings=Game Settings\r\n", &s.get()->web.page);
    std::string page = s.page();
    EXPECT_TRUE(has(page, "<i>Game Settings Screen</i>"));
    EXPECT_TRUE(has(page,
                    "<tr><td>sv_maxclients</td><td><input type=number name=sv_maxclients "
                    "maxlength=2 size=2 value=\"20\"> Latched (Changes effective upon "
                    "restarting)</td></tr>\n"));
    EXPECT_TRUE(has(page,
                    "<tr><td>timelimit</td><td><input name=timelimit maxlength=2 size=2 "
                    "value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;\"></td></tr>\n"));
    // A variable the game does not have shows empty.
    EXPECT_TRUE(has(page,
                    "<tr><td>g_covertopschargetime</td><td><input name=g_covertopschargetime "
                    "maxlength=6 size=6 value=\"\"> Latched (Changes effective upon "
                    "restarting)</td></tr>\n"));
    EXPECT_TRUE(has(page, "<input name=g_useraxisrespawntime maxlength=2 size=2 value=\"\"></td>"));
    size_t rows = 0;
    for (size_t at = page.find("<tr><td>"); at != std::string::npos;
         at = page.find("<tr><td>", at + 1))
        rows +=
            page.compare(at, 12, "<tr><td>Web ") != 0 && page.compare(at, 13, "<tr><td>&nbsp") != 0;
    EXPECT_EQ(rows, 11u);
    EXPECT_TRUE(has(page, "</table>\n<br><input type=submit value=\"Update\" name=updgset>\n"));
}

class WebGameSettings : public webtest::WebModule {};

TEST_F(WebGameSettings, UpdateSetsEveryVariableInOrderAndAnswersWithTheCommandScreen) {
    std::string page = post(
        "sv_maxclients=24\r\ntimelimit=\r\ng_gametype=5\r\ng_friendlyfire=0\r\n"
        "g_soldierchargetime=20000\r\ng_engineerchargetime=30000\r\ng_medicchargetime=45000\r\n"
        "g_ltchargetime=40000\r\ng_covertopschargetime=30000\r\ng_useralliedrespawntime=20\r\n"
        "g_useraxisrespawntime=30\r\nupdgset=Update\r\n");
    EXPECT_TRUE(has(page, "<i>Command Screen</i>"));
    EXPECT_TRUE(has(page, "<b><i>* UPDATED *</i></b>"));
    std::vector<std::string> sets;
    for (const std::string& line : lines())
        if (line.rfind("[host] Cvar_Set ", 0) == 0) sets.push_back(line.substr(16));
    EXPECT_EQ(sets,
              (std::vector<std::string>{"sv_maxclients 24", "g_gametype 5", "g_friendlyfire 0",
                                        "timelimit ", "g_soldierchargetime 20000",
                                        "g_engineerchargetime 30000", "g_medicchargetime 45000",
                                        "g_ltchargetime 40000", "g_covertopschargetime 30000",
                                        "g_useralliedrespawntime 20", "g_useraxisrespawntime 30"}));
    EXPECT_EQ(host().cvar("timelimit"), "");
    EXPECT_EQ(host().cvar("g_gametype"), "5");
}

TEST_F(WebGameSettings, VariablesMissingFromTheFormAreLeftAlone) {
    post("timelimit=15\r\ng_gametype\r\nupdgset=Update\r\n");
    EXPECT_EQ(host().cvar("timelimit"), "15");
    EXPECT_EQ(host().cvar("sv_maxclients"), "20");
    EXPECT_EQ(host().cvar("g_gametype"), "4");
    int sets = 0;
    for (const std::string& line : lines()) sets += line.rfind("[host] Cvar_Set ", 0) == 0;
    EXPECT_EQ(sets, 1);
}

TEST_F(WebGameSettings, ScreenShowsTheGamesCurrentValues) {
    std::string page = post("gsettings=Game Settings\r\n");
    EXPECT_TRUE(has(page, "name=sv_maxclients maxlength=2 size=2 value=\"20\">"));
    EXPECT_TRUE(has(page, "name=timelimit maxlength=2 size=2 value=\"30\">"));
    EXPECT_TRUE(has(page, "name=g_gametype maxlength=3 size=3 value=\"4\">"));
}

TEST_F(WebGameSettings, UpdateNeedsTheKey) {
    std::string page = post("timelimit=1\r\nupdgset=Update\r\n", "nope");
    EXPECT_TRUE(has(page, "<b><i>* BAD KEY *</i></b>"));
    EXPECT_EQ(host().cvar("timelimit"), "30");
}

}  // namespace
