// What every page owes an administrator: Enter never presses a button that acts on something
// else, pages fit a phone, a full server's Player List is never cut, the chosen player survives
// the refresh, no page shows a secret, and the settings forms keep values and say what they
// refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/md5.h"
#include "web_module.h"
#include "web_state.h"
#include "webtool/maps.h"

namespace {

using webtest::BareState;
using webtest::has;

std::string dispatch(BareState& s, const std::string& fields, const char* key = "k") {
    QZ_COPY(s.get()->set.httpKey, key);
    std::string form = "webkey=" + std::string(key) + "\r\n" + fields;
    web_dispatch(s.get(), form.c_str(), &s.get()->web.page);
    return s.page();
}

Qz_Sv_Client_s* seat(BareState& s, int slot, const char* name, const char* guid) {
    Qz_Sv_Client_s* cl = &s.get()->players.cl[slot - 1];
    memset(cl, 0, sizeof *cl);
    QZ_COPY(cl->name, name);
    QZ_COPY(cl->guid, guid);
    QZ_TRF(cl->address, "10.0.0.%d:27960", slot);
    cl->os = 'L';
    cl->status = QZ_ST_OK;
    cl->connectTick = GetTickCount();
    return cl;
}

// Position of the first submit button of the page's form.
size_t firstSubmit(const std::string& page) {
    return page.find("<input type=submit", page.find("<form"));
}

// ---- Enter ---------------------------------------------------------------------------------

TEST(EnterKey, PlayerListsFirstButtonIsADisabledOneSoEnterChoosesNoPlayer) {
    BareState s;
    seat(s, 1, "First", "0123456789ABCDEF0123456789ABCDEF");
    seat(s, 6, "Sixth", "FEDCBA9876543210FEDCBA9876543210");
    std::string page = dispatch(s, "6slot=Slot 06\r\n");
    size_t first = firstSubmit(page);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(page.compare(first, 34, "<input type=submit disabled hidden"), 0)
        << page.substr(first, 80);
    EXPECT_LT(first, page.find("name=1slot"));
}

TEST(EnterKey, CommandScreensFirstButtonSendsTheConsoleLine) {
    BareState s;
    std::string page = dispatch(s, "cmds=Command Screen\r\n");
    size_t first = firstSubmit(page);
    ASSERT_NE(first, std::string::npos);
    size_t end = page.find('>', first);
    std::string button = page.substr(first, end - first);
    EXPECT_TRUE(has(button, "name=exec_cmd ")) << button;
    EXPECT_LT(first, page.find("name=map>"));
    // What Enter sends: the hidden button's name with the line and whatever map is selected.
    std::string results =
        dispatch(s, "map_names=mapno2\r\nexec_cmd_text=status\r\nexec_cmd=To console->\r\n");
    EXPECT_TRUE(has(results, "<i>Game Command Results</i>"));
    EXPECT_TRUE(has(results, "status"));
    EXPECT_FALSE(has(results, "map mp_railgun"));
}

TEST(EnterKey, LoginScreensEnterOpensThePlayerList) {
    BareState s;
    web_login(s.get(), &s.get()->web.page, "");
    std::string page = s.page();
    size_t first = firstSubmit(page);
    EXPECT_TRUE(has(page.substr(first, page.find('>', first) - first), "name=plist"));
}

// ---- Phones, titles, the login field -------------------------------------------------------

TEST(Phone, EveryScreenDeclaresAViewportATitleAndBigButtons) {
    BareState s;
    for (const char* fields : {"plist=1\r\n", "cmds=1\r\n", "gsettings=1\r\n", "qz_settings=1\r\n",
                               "serverinfo=1\r\n"}) {
        std::string page = dispatch(s, fields);
        EXPECT_TRUE(
            has(page, "<meta name=viewport content=\"width=device-width, initial-scale=1\">"))
            << fields;
        EXPECT_TRUE(has(page, " - Kestrine Server WebTool</title>")) << fields;
        EXPECT_TRUE(has(page, "input[type=submit]{min-height:32px")) << fields;
    }
    web_login(s.get(), &s.get()->web.page, "");
    EXPECT_TRUE(has(s.page(), "<title>Login Screen - Kestrine Server WebTool</title>"));
}

TEST(Login, TheLoginFormAsksForUtf8SoAKeyArrivesTheSameFromEveryBrowser) {
    BareState s;
    std::string login = dispatch(s, "plist=x\r\n", "k");
    web_dispatch(s.get(), "plist=x\r\n", &s.get()->web.page);  // no key: the Login Screen
    std::string page = s.page();
    ASSERT_NE(page.find("<i>Login Screen</i>"), std::string::npos);
    EXPECT_NE(page.find("<form method=post enctype=text/plain action=\"/qzsvweb\" "
                        "accept-charset=utf-8>"),
              std::string::npos)
        << page;
    // The other screens keep the game's character set for what is typed into them.
    ASSERT_NE(login.find("<i>Player List Screen</i>"), std::string::npos);
    EXPECT_EQ(login.find("accept-charset"), std::string::npos);
}

TEST(Login, TheKeyFieldTakesAWholeKey) {
    BareState s;
    web_login(s.get(), &s.get()->web.page, "");
    EXPECT_TRUE(has(s.page(), "name=webkey maxlength=127 size=35 value=\"\""));
    std::string key(127, 'x');
    key[0] = 'K';
    std::string page = dispatch(s, "plist=Player List\r\n", key.c_str());
    EXPECT_TRUE(has(page, "<i>Player List Screen</i>"));
}

// ---- A full server ---------------------------------------------------------------------------

TEST(FullServer, SixtyFourPlayersOfTheLongestMarkupAreNeverCut) {
    BareState s;
    stQzSv* sv = s.get();
    sv->set.httpShowGuid = 1;
    // The characters that grow most: a colour code per character pair, and double quotes.
    std::string name;
    for (int i = 0; name.size() < sizeof sv->players.cl[0].name - 1; ++i) {
        name += (i % 2) ? "\"" : "^1";
    }
    name.resize(sizeof sv->players.cl[0].name - 1);
    std::string guid(sizeof sv->players.cl[0].guid - 1, '"');
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* cl = seat(s, slot, name.c_str(), guid.c_str());
        memset(cl->address, '"', sizeof cl->address - 1);
        cl->address[sizeof cl->address - 1] = 0;
        for (stQzReg& reg : cl->reg) {
            std::string regName(sizeof reg.name - 1, '^');
            for (size_t i = 1; i < regName.size(); i += 2) regName[i] = '2';
            QZ_COPY(reg.name, regName.c_str());
            memset(reg.text, '"', sizeof reg.text - 1);
            reg.text[sizeof reg.text - 1] = 0;
            reg.count = 2000000000;
        }
    }
    std::string page = dispatch(s, "plist=Player List\r\n");
    EXPECT_EQ(sv->web.page.cut, 0);
    EXPECT_LT(sv->web.page.len, WEB_PAGE_SIZE - 1);
    EXPECT_TRUE(has(page, "<td>64 Players</td>"));
    EXPECT_TRUE(has(page, "name=64slot "));
    EXPECT_TRUE(has(page, "name=kickslot formaction="));
    EXPECT_TRUE(has(page, "name=getssslot formaction="));
    EXPECT_EQ(page.rfind("</center></body></html>\n"), page.size() - 24);
    // Far above what a full server of ordinary names needs: the room is for this worst case.
    EXPECT_GT(sv->web.page.len, 30000);
}

class WebFullServer : public webtest::WebModule {};

TEST_F(WebFullServer, AFullServersPlayerListArrivesWholeThroughTheSocket) {
    host().setCvar("sv_maxclients", "64");
    for (int i = 1; i <= QZ_SLOTS; ++i) {
        // 32 characters: ten coloured letters and the slot number.
        std::string name;
        for (int k = 0; k < 10; ++k) name += "^" + std::to_string(k) + static_cast<char>('A' + k);
        char number[8];
        snprintf(number, sizeof number, "%02d", i);
        name += number;
        join(name, i, "10.1.0." + std::to_string(i) + ":27960");
    }
    std::string page = post("plist=Player List\r\n");
    EXPECT_TRUE(has(page, "<td>64 Players</td>"));
    EXPECT_TRUE(has(page, "name=64slot "));
    EXPECT_TRUE(has(page, "name=kickslot formaction="));
    EXPECT_EQ(page.rfind("</center></body></html>\n"), page.size() - 24);
}

// ---- The chosen player survives the refresh --------------------------------------------------

TEST(Refresh, PausesWhileAPlayerIsChosenAndKeepsHimChosenFromAnOlderLink) {
    BareState s;
    const char* guid = "FEDCBA9876543210FEDCBA9876543210";
    seat(s, 6, "Sixth", guid);
    std::string page = dispatch(s, "6slot=Slot 06\r\n");
    // An action is being prepared: nothing typed is reset by a refresh.
    EXPECT_FALSE(has(page, "http-equiv=refresh"));
    EXPECT_TRUE(has(page, "Automatic refresh paused while a player is chosen"));
    // A refresh link that names him (a page of an earlier version) keeps him chosen.
    std::string again = dispatch(s, std::string("plist=1\r\nslotnum=6\r\nguid=") + guid + "\r\n");
    EXPECT_TRUE(has(again, "name=slotnum maxlength=2 size=2 value=\"6\""));
    EXPECT_TRUE(has(again, std::string("name=guid maxlength=32 size=35 value=\"") + guid + "\""));
    // Another player in the slot: nothing is chosen, and the page refreshes again.
    seat(s, 6, "Other", "00000000000000000000000000000000");
    std::string other = dispatch(s, std::string("plist=1\r\nslotnum=6\r\nguid=") + guid + "\r\n");
    EXPECT_TRUE(has(other, "name=slotnum maxlength=2 size=2 value=\"\""));
    EXPECT_TRUE(has(other, "url=/qzsvweb/plist=1&webkey="));
}

// ---- Secrets -------------------------------------------------------------------------------

TEST(Secrets, NoPageShowsTheKeyTheRconPasswordOrTheLogPassword) {
    BareState s;
    stQzSv* sv = s.get();
    s.host.cvars["rconpassword"] = "RconPass77";
    QZ_COPY(sv->set.logPw, "LogPass55");
    // Every way in: a player's name, a game variable, the map list.
    seat(s, 3, "WebKey-991 RconPass77 LogPass55", "0123456789ABCDEF0123456789ABCDEF");
    s.host.cvars["sv_hostname"] = "host RconPass77";
    QZ_COPY(sv->set.httpMaps, "mp_a WebKey-991 LogPass55");
    for (const char* fields :
         {"plist=1\r\n", "cmds=1\r\n", "qz_settings=1\r\n", "gsettings=1\r\n"}) {
        std::string page = dispatch(s, fields, "WebKey-991");
        // A settings field shows its value as held (it is sent back by Update, and whether it
        // showed "*****" would tell that a secret stands in it); every other text is masked.
        const std::string field = "value=\"mp_a WebKey-991 LogPass55\"";
        if (std::string(fields) == "qz_settings=1\r\n") {
            ASSERT_TRUE(has(page, field));
            page.erase(page.find(field), field.size());
        }
        EXPECT_FALSE(has(page, "WebKey-991")) << fields;
        EXPECT_FALSE(has(page, "RconPass77")) << fields;
        EXPECT_FALSE(has(page, "LogPass55")) << fields;
        EXPECT_TRUE(has(page, "*****")) << fields;
    }
}

struct OwnFileCase {
    const char* path;
    bool refused;
};
void PrintTo(const OwnFileCase& c, std::ostream* os) { *os << c.path; }
class MapFileRule : public ::testing::TestWithParam<OwnFileCase> {};

TEST_P(MapFileRule, TheModulesOwnFilesAreNeverAMapList) {
    EXPECT_EQ(web_map_file_refused(GetParam().path), GetParam().refused) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MapFileRule,
    ::testing::Values(OwnFileCase{"qzsv.cfg", true}, OwnFileCase{"QZSVUSER.CFG", true},
                      OwnFileCase{"qzbans.dat", true}, OwnFileCase{"htm/qzrcon.dat", true},
                      OwnFileCase{"server.cfg", true}, OwnFileCase{"svlogs/qzsv0001.log", true},
                      OwnFileCase{"maps.txt", false}, OwnFileCase{"lists/maps", false}));

class WebSecrets : public webtest::WebModule {};

TEST_F(WebSecrets, AMapListPathNamingTheConfigurationIsRefused) {
    run("qz_sv_WriteCfg");
    auto said = run("qz_sv_HttpMapsPath qzsv.cfg");
    EXPECT_TRUE(anyLineContains(said, "refused"));
    EXPECT_TRUE(anyLineContains(run("qz_sv_HttpMapsPath"), "qz_sv_HttpMapsPath = "));
    std::string page = post("cmds=Command Screen\r\n");
    EXPECT_FALSE(has(page, "secret"));
    EXPECT_FALSE(has(page, "qz_sv_HttpKey"));
}

// ---- General Settings: values kept, refusals shown -------------------------------------------

std::string settingsForm(stQzSv* sv) {
    // The form a browser sends back from an unchanged General Settings screen.
    std::string f;
    f += "qz_sv_httpRefresh=" + std::to_string(sv->set.httpRefresh) + "\r\n";
    f += "qz_sv_httpAddr=" + std::string(sv->set.httpAddr) + "\r\n";
    f += "qz_sv_httpPort=" + std::to_string(sv->set.httpPort) + "\r\n";
    f += "qz_sv_httpMaps=" + std::string(sv->set.httpMaps) + "\r\n";
    f += "qz_sv_MsgPrefix=" + std::string(sv->msgPrefix) + "\r\n";
    f += "qz_sv_KickLen=" + std::to_string(sv->set.kickLen) + "\r\n";
    return f;
}

TEST(SettingsKept, AnUnchangedUpdateStoresEveryValueUnchanged) {
    BareState s;
    stQzSv* sv = s.get();
    std::string maps;
    for (int i = 0; i < 20; ++i) {
        maps += i % 4 == 0 ? "\"fuel dump " + std::to_string(i) + "\" "
                           : "mp_battery_" + std::to_string(i) + " ";
    }
    maps += "radar";
    ASSERT_GT(maps.size(), 240u);
    QZ_COPY(sv->set.httpMaps, maps.c_str());
    QZ_COPY(sv->msgPrefix, "\"Admin\" says");
    s.host.printed.clear();
    std::string page = dispatch(s, settingsForm(sv) + "updqz1=Update\r\n");
    EXPECT_TRUE(has(page, "<b><i>* UPDATED *</i></b>"));
    EXPECT_EQ(std::string(sv->set.httpMaps), maps);
    EXPECT_STREQ(sv->msgPrefix, "\"Admin\" says");
    // Nothing changed, so nothing was assigned.
    EXPECT_FALSE(s.host.printedContains(" = "));
}

TEST(SettingsKept, ChangedTextsAreStoredExactlyAsTyped) {
    BareState s;
    stQzSv* sv = s.get();
    std::string maps(1024, 'm');
    maps[500] = ' ';
    std::string page = dispatch(
        s, "qz_sv_httpMaps=" + maps + "\r\nqz_sv_MsgPrefix= Admin says\\\r\nupdqz1=Update\r\n");
    EXPECT_TRUE(has(page, "* UPDATED *"));
    EXPECT_EQ(std::string(sv->set.httpMaps), maps);
    EXPECT_STREQ(sv->msgPrefix, " Admin says\\");
}

// A configuration file writes text values inside quotes without escapes, so a changed text
// holding a double quote is refused, and the page says so.
TEST(SettingsKept, AChangedTextHoldingADoubleQuoteIsRefusedOnThePage) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->msgPrefix, "Old");
    std::string page = dispatch(s, "qz_sv_MsgPrefix=\"Admin\" says\r\nupdqz1=Update\r\n");
    EXPECT_FALSE(has(page, "<b><i>* UPDATED *</i></b>"));
    EXPECT_TRUE(has(page, "a value cannot hold a double quote")) << page;
    EXPECT_STREQ(sv->msgPrefix, "Old");
}

TEST(SettingsKept, ATextLongerThanItsFieldIsRefusedNotCut) {
    BareState s;
    stQzSv* sv = s.get();
    QZ_COPY(sv->msgPrefix, "Old");
    std::string page =
        dispatch(s, "qz_sv_MsgPrefix=" + std::string(40, 'p') + "\r\nupdqz1=Update\r\n");
    EXPECT_FALSE(has(page, "* UPDATED *"));
    EXPECT_TRUE(has(page, "qz_sv_MsgPrefix: 40 characters, more than the 31 it holds; value kept"));
    EXPECT_STREQ(sv->msgPrefix, "Old");
}

TEST(SettingsRefused, TheRefusalAndItsReasonAreOnThePage) {
    BareState s;
    stQzSv* sv = s.get();
    int kick = sv->set.kickLen;
    std::string page =
        dispatch(s, "qz_sv_KickLen=99\r\nqz_sv_Sleep=abc\r\nqz_sv_CvarFreq=3\r\nupdqz1=Update\r\n");
    EXPECT_FALSE(has(page, "* UPDATED *"));
    EXPECT_TRUE(has(page, "* NOT ALL UPDATED"));
    EXPECT_TRUE(has(page, "qz_sv_KickLen: 99 is outside 0 to 60; value kept"));
    EXPECT_TRUE(has(page, "qz_sv_Sleep: &quot;abc&quot; is not a number; value kept"));
    EXPECT_EQ(sv->set.kickLen, kick);
    EXPECT_EQ(sv->set.cvarFreq, 3);
    // The lines are in the message area, under the message, in the message colour.
    size_t msg = page.find("* NOT ALL UPDATED");
    EXPECT_LT(page.rfind("<font color=#FF0000>", msg), msg);
    EXPECT_LT(msg, page.find("qz_sv_KickLen: 99"));
    EXPECT_LT(page.find("qz_sv_KickLen: 99"), page.find("<hr", msg));
}

TEST(SettingsRefused, ALockedConfigurationIsShownAsRefused) {
    BareState s;
    s.get()->cmd.locked = 1;
    std::string page = dispatch(s, "qz_sv_KickLen=9\r\nupdqz1=Update\r\n");
    EXPECT_FALSE(has(page, "* UPDATED *"));
    EXPECT_TRUE(has(page, "Setting access ignored due to locked config mode [qz_sv_KickLen]"));
}

}  // namespace
