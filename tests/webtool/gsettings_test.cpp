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
                    "<tr><td>sv_maxclients</td><td><input aria-label=\"sv_maxclients\" type=number "
                    "name=sv_maxclients "
                    "maxlength=2 size=2 value=\"20\"> Latched (Changes effective upon "
                    "restarting)</td></tr>\n"));
    EXPECT_TRUE(has(page,
                    "<tr><td>timelimit</td><td><input aria-label=\"timelimit\" name=timelimit "
                    "maxlength=256 size=2 "
                    "value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;\"></td></tr>\n"));
    // A variable the game does not have shows empty.
    EXPECT_TRUE(has(page,
                    "<tr><td>g_covertopschargetime</td><td><input "
                    "aria-label=\"g_covertopschargetime\" name=g_covertopschargetime "
                    "maxlength=256 size=6 value=\"\"> Latched (Changes effective upon "
                    "restarting)</td></tr>\n"));
    EXPECT_TRUE(has(page,
                    "<input aria-label=\"g_useraxisrespawntime\" name=g_useraxisrespawntime "
                    "maxlength=256 size=2 value=\"\"></td>"));
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
        "g_soldierchargetime=21000\r\ng_engineerchargetime=31000\r\ng_medicchargetime=46000\r\n"
        "g_ltchargetime=41000\r\ng_covertopschargetime=31000\r\ng_useralliedrespawntime=20\r\n"
        "g_useraxisrespawntime=30\r\nupdgset=Update\r\n");
    EXPECT_TRUE(has(page, "<i>Command Screen</i>"));
    EXPECT_TRUE(has(page, "<b><i>* UPDATED *</i></b>"));
    std::vector<std::string> sets;
    for (const std::string& line : lines())
        if (line.rfind("[host] Cvar_Set ", 0) == 0) sets.push_back(line.substr(16));
    EXPECT_EQ(sets,
              (std::vector<std::string>{"sv_maxclients 24", "g_gametype 5", "g_friendlyfire 0",
                                        "timelimit ", "g_soldierchargetime 21000",
                                        "g_engineerchargetime 31000", "g_medicchargetime 46000",
                                        "g_ltchargetime 41000", "g_covertopschargetime 31000",
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
    EXPECT_TRUE(has(page, "name=timelimit maxlength=256 size=2 value=\"30\">"));
    EXPECT_TRUE(has(page, "name=g_gametype maxlength=256 size=3 value=\"4\">"));
}

TEST_F(WebGameSettings, AnUnchangedUpdateSetsNothingAndAChangeSetsOnlyItsVariable) {
    // The form as the screen drew it: every value the game's own.
    std::string screen = post("gsettings=Game Settings\r\n");
    std::string fields;
    for (const char* name :
         {"sv_maxclients", "timelimit", "g_gametype", "g_friendlyfire", "g_soldierchargetime",
          "g_engineerchargetime", "g_medicchargetime", "g_ltchargetime", "g_covertopschargetime",
          "g_useralliedrespawntime", "g_useraxisrespawntime"}) {
        fields += std::string(name) + "=" + host().cvar(name) + "\r\n";
    }
    auto sets = [this] {
        std::vector<std::string> out;
        for (const std::string& line : lines())
            if (line.rfind("[host] Cvar_Set ", 0) == 0) out.push_back(line.substr(16));
        return out;
    };
    EXPECT_TRUE(has(post(fields + "updgset=Update\r\n"), "* UPDATED *"));
    EXPECT_TRUE(sets().empty()) << testing::PrintToString(sets());
    std::string changed = fields;
    changed.replace(changed.find("timelimit=30"), 12, "timelimit=25");
    post(changed + "updgset=Update\r\n");
    EXPECT_EQ(sets(), std::vector<std::string>{"timelimit 25"});
    EXPECT_EQ(host().cvar("g_medicchargetime"), "45000");
}

TEST_F(WebGameSettings, UpdateNeedsTheKey) {
    std::string page = post("timelimit=1\r\nupdgset=Update\r\n", "nope");
    EXPECT_TRUE(has(page, "<b><i>* BAD KEY *</i></b>"));
    EXPECT_EQ(host().cvar("timelimit"), "30");
}

}  // namespace
