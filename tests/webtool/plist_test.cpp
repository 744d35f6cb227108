// The Player List screen and its actions: choosing a player, kick, ban and screenshot, with every
// failure message, the exact removal texts, and escaping of hostile player names.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/case_name.h"
#include "web_module.h"
#include "web_state.h"
#include "webtool/admins.h"

namespace {

using webtest::BareState;
using webtest::has;

// Puts a player into slot n of a bare state.
Qz_Sv_Client_s* seat(BareState& s, int slot, const char* name, int status = QZ_ST_OK,
                     const char* guid = "0123456789ABCDEF0123456789ABCDEF") {
    Qz_Sv_Client_s* cl = &s.get()->players.cl[slot - 1];
    memset(cl, 0, sizeof *cl);
    QZ_COPY(cl->name, name);
    QZ_COPY(cl->guid, guid);
    QZ_TRF(cl->address, "10.0.0.%d:27960", slot);
    cl->os = 'L';
    cl->status = status;
    cl->connectTick = GetTickCount();
    return cl;
}

std::string dispatch(BareState& s, const std::string& fields) {
    QZ_COPY(s.get()->set.httpKey, "k");
    std::string form = "webkey=k\r\n" + fields;
    web_dispatch(s.get(), form.c_str(), &s.get()->web.page);
    return s.page();
}

std::string listPage(BareState& s) { return dispatch(s, "plist=Player List\r\n"); }

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(PlayerList, ListsEveryPlayerAboveStatusZeroWithTheCountRow) {
    BareState s;
    seat(s, 1, "Pre", QZ_ST_PRE);
    seat(s, 2, "Playing");
    seat(s, 7, "Watcher", QZ_ST_SPEC);
    std::string page = listPage(s);
    EXPECT_TRUE(has(page, "<i>Player List Screen</i>"));
    EXPECT_FALSE(has(page, "Pre</font>"));
    EXPECT_TRUE(has(page,
                    "<input type=submit value=\"Slot 02\" name=2slot formaction=\"/qzsvweb#act\" "
                    "aria-label=\"Slot 02 "));
    EXPECT_TRUE(has(page,
                    "<input type=submit value=\"Slot 07\" name=7slot formaction=\"/qzsvweb#act\" "
                    "aria-label=\"Slot 07 "));
    EXPECT_FALSE(has(page, "name=1slot"));
    EXPECT_TRUE(has(page, "<td>2 Players</td>"));
    EXPECT_TRUE(has(page, "<td>SPEC</td>"));
    EXPECT_TRUE(has(page, "url=/qzsvweb/plist=1&webkey="));
}

TEST(PlayerList, CountRowSaysOnePlayerAndZeroPlayers) {
    BareState s;
    EXPECT_TRUE(has(listPage(s), "<td>0 Players</td>"));
    seat(s, 3, "Only");
    EXPECT_TRUE(has(listPage(s), "<td>1 Player</td>"));
}

TEST(PlayerList, ShowsTheGuidColumnOnlyWhenAsked) {
    BareState s;
    seat(s, 1, "Bob");
    std::string page = listPage(s);
    EXPECT_TRUE(has(page,
                    "<td></td><td>Player</td><td>IP Address</td><td>Status</td><td>Auth</td>"
                    "<td>SS</td><td>O/S</td></tr>\n"));
    EXPECT_FALSE(has(page, "<td>Player</td><td>GUID</td>"));
    EXPECT_TRUE(has(page, "</font></td><td>10.0.0.1:27960</td><td>OK  </td>"));
    s.get()->set.httpShowGuid = 1;
    page = listPage(s);
    EXPECT_TRUE(has(page, "<td>Player</td><td>GUID</td><td>IP Address</td>"));
    EXPECT_TRUE(
        has(page, "</font></td><td>0123456789ABCDEF0123456789ABCDEF</td><td>10.0.0.1:27960</td>"));
}

TEST(PlayerList, ShowsAuthRateRecentScreenshotsAndOsLetter) {
    BareState s;
    s.host.advance(3600000);
    Qz_Sv_Client_s* cl = seat(s, 1, "Bob");
    cl->connectTick = GetTickCount() - 180000;  // 30 tenths of a minute
    cl->authCount = 12;
    unsigned now = GetTickCount();
    cl->ssTicks[0] = now - 60000;
    cl->ssTicks[1] = now - 300000;
    cl->ssTicks[2] = now - 660000;
    EXPECT_TRUE(has(listPage(s), "<td>OK  </td><td>4.0</td><td>2</td><td>L</td></tr>\n"));
}

struct NameCase {
    const char* name;
    const char* shown;
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }
class PlayerNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(PlayerNames, AreEscapedInsideTheirColours) {
    BareState s;
    seat(s, 1, GetParam().name);
    std::string page = listPage(s);
    EXPECT_TRUE(has(page, GetParam().shown)) << page;
    EXPECT_FALSE(has(page, "<script>"));
    EXPECT_FALSE(has(page, "<b>x"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerNames,
    ::testing::Values(NameCase{"<b>x", "<font color=#FFFFFF>&lt;b&gt;x</font>"},
                      NameCase{"^1A&B", "</font><font color=#ff0000>A&amp;B</font>"},
                      NameCase{"\"><script>alert(1)</script>",
                               "&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;</font>"},
                      NameCase{"^4<img src=x onerror=alert(1)>",
                               "<font color=#0000ff>&lt;img src=x onerror=alert(1)&gt;</font>"}),
    [](const ::testing::TestParamInfo<NameCase>& p) {
        return qztest::caseName(p.index, std::string(p.param.name));
    });

TEST(PlayerList, ShowsRegistrationsWithTheirCountAndEscaped) {
    BareState s;
    Qz_Sv_Client_s* cl = seat(s, 1, "Bob");
    QZ_COPY(cl->reg[0].name, "Bobby");
    QZ_COPY(cl->reg[0].text, "clan");
    cl->reg[0].count = 3;
    QZ_COPY(cl->reg[2].name, "<i>R");
    QZ_COPY(cl->reg[2].text, "solo");
    cl->reg[2].count = 1;
    std::string page = listPage(s);
    EXPECT_TRUE(has(page, "*REGISTERED &quot;Bobby</font><font color=#ffffff>&quot;(3) clan"));
    EXPECT_TRUE(has(page, "*REGISTERED &quot;&lt;i&gt;R</font><font color=#ffffff>&quot; solo"));
    EXPECT_EQ(count(page, "*REGISTERED"), 2);
}

TEST(PlayerList, FormCarriesKickLengthAndTheFixedReason) {
    BareState s;
    s.get()->set.kickLen = 0;
    std::string page = listPage(s);
    EXPECT_TRUE(has(page,
                    "name=webkicklen maxlength=2 size=2 value=0> <font size=2>Allowed range: "
                    "1 to 60</font>"));
    EXPECT_TRUE(has(page, "name=webreason maxlength=33 size=35 value=\"Removed by Web Admin\">"));
    EXPECT_TRUE(has(page, "name=slotnum maxlength=2 size=2 value=\"\">"));
    EXPECT_TRUE(has(page,
                    "<input type=submit value=\"qz_sv_kick\" name=kickslot "
                    "formaction=\"/qzsvweb#act\">&nbsp&nbsp&nbsp"
                    "<input type=submit value=\"qz_sv_ban\" name=banslot "
                    "formaction=\"/qzsvweb#act\">"));
}

// On a phone the list of 64 players is many screens long: choosing a player and acting on him
// answer with the page opened at the action fields (a fragment, no script), where the message
// under the buttons is in view.
TEST(PlayerList, ChoosingAndActingOpenTheAnswerAtTheActionFields) {
    BareState s;
    seat(s, 3, "Bob");
    seat(s, 40, "Forty");
    std::string page = listPage(s);
    size_t anchor = page.find("<tr id=act><td>&nbsp</td></tr>\n<tr><td>Slot #</td>");
    ASSERT_NE(anchor, std::string::npos) << page;
    EXPECT_EQ(count(page, "id=act"), 1);
    EXPECT_GT(anchor, page.find("name=40slot"));
    for (const char* button :
         {"name=3slot ", "name=40slot ", "name=kickslot ", "name=banslot ", "name=getssslot "}) {
        size_t at = page.find(button);
        ASSERT_NE(at, std::string::npos) << button;
        EXPECT_EQ(page.compare(at + strlen(button), 25, "formaction=\"/qzsvweb#act\""), 0)
            << button;
    }
}

// What each level is shown: only the buttons and fields it can use; the footer's other screens
// only to the level that may open them.
struct LevelCase {
    int level;
    bool kick, ban, screens;
};
void PrintTo(const LevelCase& c, std::ostream* os) { *os << webLevelName(c.level); }
class PlayerListLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(PlayerListLevel, ShowsOnlyTheButtonsTheLevelCanUse) {
    BareState s;
    seat(s, 3, "Bob");
    s.get()->web.level = GetParam().level;
    web_plist(s.get(), &s.get()->web.page, "", "k", "", "");
    std::string page = s.page();
    // The buttons by their labels (the page's style names them too).
    EXPECT_EQ(has(page, "value=\"qz_sv_kick\" name=kickslot"), GetParam().kick) << page;
    EXPECT_EQ(has(page, "value=\"qz_sv_getss\" name=getssslot"), GetParam().kick);
    EXPECT_EQ(has(page, "name=webreason"), GetParam().kick || GetParam().ban);
    EXPECT_EQ(has(page, "name=webkicklen"), GetParam().kick || GetParam().ban);
    EXPECT_EQ(has(page, "value=\"qz_sv_ban\" name=banslot"), GetParam().ban);
    for (const char* screen : {"name=cmds>", "name=gsettings>", "name=qz_settings>"})
        EXPECT_EQ(has(page, screen), GetParam().screens) << screen;
    // Everyone may choose a player and go back to the list.
    EXPECT_TRUE(has(page, "name=3slot"));
    EXPECT_TRUE(has(page, "name=slotnum"));
    EXPECT_TRUE(has(page, "value=\"Player List\" name=plist>"));
}

INSTANTIATE_TEST_SUITE_P(Cases, PlayerListLevel,
                         ::testing::Values(LevelCase{WEBL_VIEW, false, false, false},
                                           LevelCase{WEBL_KICK, true, false, false},
                                           LevelCase{WEBL_BAN, true, true, false},
                                           LevelCase{WEBL_ALL, true, true, true}),
                         [](const ::testing::TestParamInfo<LevelCase>& p) {
                             return std::string(webLevelName(p.param.level));
                         });

TEST(PlayerSlot, ButtonChoosesItsOwnSlotAndFillsSlotAndGuid) {
    BareState s;
    seat(s, 12, "Twelve");
    std::string page = dispatch(s, "slotnum=\r\nguid=\r\n12slot=Slot 12\r\n");
    EXPECT_TRUE(has(page, "name=slotnum maxlength=2 size=2 value=\"12\">"));
    EXPECT_TRUE(
        has(page, "name=guid maxlength=32 size=35 value=\"0123456789ABCDEF0123456789ABCDEF\">"));
}

struct SlotCase {
    const char* fields;
    int status;
};
void PrintTo(const SlotCase& c, std::ostream* os) { *os << c.fields; }
class PlayerSlotRefused : public ::testing::TestWithParam<SlotCase> {};

TEST_P(PlayerSlotRefused, WithInvalidSlotAndEmptyFields) {
    BareState s;
    seat(s, 5, "Five", GetParam().status);
    std::string page = dispatch(s, GetParam().fields);
    EXPECT_TRUE(has(page, "<b><i>* INVALID SLOT *</i></b>"));
    EXPECT_TRUE(has(page, "name=slotnum maxlength=2 size=2 value=\"\">"));
    EXPECT_TRUE(has(page, "name=guid maxlength=32 size=35 value=\"\">"));
}

INSTANTIATE_TEST_SUITE_P(Cases, PlayerSlotRefused,
                         ::testing::Values(SlotCase{"5slot=Slot 05\r\n", QZ_ST_SPEC},
                                           SlotCase{"5slot=Slot 05\r\n", QZ_ST_SBOT},
                                           SlotCase{"5slot=Slot 05\r\n", QZ_ST_PRE},
                                           SlotCase{"slot=Slot\r\n", QZ_ST_OK},
                                           SlotCase{"6slot=Slot 06\r\n", QZ_ST_OK},
                                           SlotCase{"65slot=Slot 65\r\n", QZ_ST_OK},
                                           SlotCase{"0slot=Slot 00\r\n", QZ_ST_OK}),
                         [](const ::testing::TestParamInfo<SlotCase>& p) {
                             return qztest::caseName(p.index, std::string(p.param.fields));
                         });

TEST(PlayerSlot, WithoutASlotButtonAnswersMissingSlot) {
    BareState s;
    QZ_COPY(s.get()->set.httpKey, "k");
    web_slot(s.get(), "webkey=k\r\nslotnum=3\r\n", &s.get()->web.page);
    EXPECT_TRUE(has(s.page(), "<b><i>* Missing slot *</i></b>"));
}

// Every failure of the three actions, with the bare state's player in slot 3.
struct ActionCase {
    const char* button;
    const char* fields;
    const char* message;
};
void PrintTo(const ActionCase& c, std::ostream* os) { *os << c.button << " " << c.fields; }
class PlayerActionRefused : public ::testing::TestWithParam<ActionCase> {};

TEST_P(PlayerActionRefused, AnswersItsMessageAndTouchesNobody) {
    BareState s;
    seat(s, 3, "Bob");
    seat(s, 4, "Spectator", QZ_ST_SPEC, "FEDCBA9876543210FEDCBA9876543210");
    std::string page = dispatch(s, std::string(GetParam().fields) + GetParam().button + "\r\n");
    EXPECT_TRUE(has(page, std::string("<font color=#FF0000>") + GetParam().message + "</font>"))
        << page;
    EXPECT_TRUE(has(page, "name=slotnum maxlength=2 size=2 value=\"\">"));
    EXPECT_STREQ(s.get()->players.cl[2].address, "10.0.0.3:27960");
    EXPECT_EQ(s.get()->bans.count, 0u);
    EXPECT_FALSE(s.host.printedContains("Kick"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerActionRefused,
    ::testing::Values(
        ActionCase{"kickslot=k", "guid=x\r\nwebreason=r\r\nwebkicklen=2\r\n",
                   "<b><i>* Missing slotnum *</i></b>"},
        ActionCase{"banslot=b", "slotnum=3\r\nwebreason=r\r\nwebkicklen=2\r\n",
                   "<b><i>* Missing guid *</i></b>"},
        ActionCase{"kickslot=k", "slotnum=3\r\nguid=x\r\nwebreason=r\r\n",
                   "<b><i>* Missing webkicklen *</i></b>"},
        ActionCase{"banslot=b", "slotnum=3\r\nguid=x\r\nwebkicklen=2\r\n",
                   "<b><i>* Missing webreason *</i></b>"},
        ActionCase{"getssslot=g", "guid=x\r\n", "<b><i>* Missing slotnum *</i></b>"},
        ActionCase{"getssslot=g", "slotnum=3\r\n", "<b><i>* Missing guid *</i></b>"},
        // The GUID must be the whole 32 characters of the player in that very slot.
        ActionCase{"kickslot=k",
                   "slotnum=3\r\nguid=0123456789ABCDEF0123456789ABCDEE\r\nwebreason=r\r\n"
                   "webkicklen=2\r\n",
                   "<b><i>* INVALID PLAYER *</i></b>"},
        ActionCase{"kickslot=k",
                   "slotnum=3\r\nguid=0123456789ABCDEF\r\nwebreason=r\r\nwebkicklen=2\r\n",
                   "<b><i>* INVALID PLAYER *</i></b>"},
        ActionCase{"banslot=b",
                   "slotnum=5\r\nguid=0123456789ABCDEF0123456789ABCDEF\r\nwebreason=r\r\n"
                   "webkicklen=2\r\n",
                   "<b><i>* INVALID PLAYER *</i></b>"},
        ActionCase{"kickslot=k",
                   "slotnum=4\r\nguid=FEDCBA9876543210FEDCBA9876543210\r\nwebreason=r\r\n"
                   "webkicklen=2\r\n",
                   "<b><i>* INVALID PLAYER *</i></b>"},
        // An empty Slot # takes the first digits after it: those of the GUID.
        ActionCase{"kickslot=k",
                   "slotnum=\r\nguid=0123456789ABCDEF0123456789ABCDEF\r\nwebreason=r\r\n"
                   "webkicklen=2\r\n",
                   "<b><i>* INVALID PLAYER *</i></b>"},
        ActionCase{"getssslot=g", "slotnum=4\r\nguid=FEDCBA9876543210FEDCBA9876543210\r\n",
                   "<b><i>* INVALID PLAYER *</i></b>"}),
    [](const ::testing::TestParamInfo<ActionCase>& p) {
        return qztest::caseName(p.index, std::string(p.param.button) + " " + p.param.fields);
    });

TEST(PlayerAction, BadKeyGetsTheLoginScreenBeforeAnyCheck) {
    BareState s;
    seat(s, 3, "Bob");
    QZ_COPY(s.get()->set.httpKey, "k");
    web_dispatch(s.get(), "webkey=wrong\r\nkickslot=k\r\n", &s.get()->web.page);
    EXPECT_TRUE(has(s.page(), "<i>Login Screen</i>"));
    EXPECT_TRUE(has(s.page(), "<b><i>* BAD KEY *</i></b>"));
    EXPECT_FALSE(has(s.page(), "Missing slotnum"));
}

// The ban button of the confirmation page: the same action, confirmed.
const char* const kConfirmedBan = "webconfirm=ban\r\nbanslot=Ban for ever";

// The actions on the simulated game server, posted through the listener.
class WebPlayers : public webtest::WebModule {
  protected:
    std::string act(const std::string& button, int slot, const std::string& guid,
                    const std::string& minutes = "5",
                    const std::string& reason = "Removed by Web Admin") {
        return post("slotnum=" + std::to_string(slot) + "\r\nguid=" + guid + "\r\nwebreason=" +
                    reason + "\r\nwebkicklen=" + minutes + "\r\n" + button + "\r\n");
    }
};

TEST_F(WebPlayers, KickDropsThePlayerWithTheKickTextAndListsHimNoMore) {
    int slot = join("^1Bad^7Guy", 1);
    ASSERT_GT(slot, 0);
    std::string page = act("kickslot=qz_sv_kick", slot, webtest::guidOf(1));
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>"));
    EXPECT_TRUE(said("[host] DropClient " + std::to_string(slot) +
                     " Kestrine kicked player '^1Bad^7Guy' (for 5 minutes) ... Removed by Web "
                     "Admin [Admin Decision]"));
    EXPECT_FALSE(has(page, "name=" + std::to_string(slot) + "slot "));
    EXPECT_TRUE(has(page, "<td>0 Players</td>"));
    // The kick holds him off for its minutes.
    EXPECT_EQ(join("^1Bad^7Guy", 1), 0);
}

struct MinutesCase {
    const char* sent;
    const char* dropped;
};
void PrintTo(const MinutesCase& c, std::ostream* os) { *os << c.sent; }
class WebKickMinutes : public WebPlayers, public ::testing::WithParamInterface<MinutesCase> {};

TEST_P(WebKickMinutes, AreHeldToOneToSixty) {
    int slot = join("Bob", 2);
    act("kickslot=qz_sv_kick", slot, webtest::guidOf(2), GetParam().sent);
    EXPECT_TRUE(said(GetParam().dropped)) << testing::PrintToString(lines());
}

INSTANTIATE_TEST_SUITE_P(Cases, WebKickMinutes,
                         ::testing::Values(MinutesCase{"0", "(for 1 minute) ..."},
                                           MinutesCase{"99", "(for 60 minutes) ..."},
                                           MinutesCase{"-5", "(for 5 minutes) ..."},
                                           MinutesCase{"", "(for 1 minute) ..."}),
                         [](const ::testing::TestParamInfo<MinutesCase>& p) {
                             return qztest::caseName(p.index, std::string(p.param.sent));
                         });

TEST_F(WebPlayers, BanDropsWithTheBanTextAndWritesTheBanFile) {
    int slot = join("Cheater", 3, "10.0.0.9:27960");
    std::string guid = webtest::guidOf(3);
    // Typed in lower case, the GUID still names him.
    std::string lower = guid;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    std::string page = act(kConfirmedBan, slot, lower);
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>"));
    EXPECT_TRUE(said("[host] DropClient " + std::to_string(slot) +
                     " Kestrine permanent ban issued on this Game Server for player 'Cheater'  "
                     "... Removed by Web Admin [Admin Decision]"));
    std::ifstream file(home() + "qzbans.dat");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_TRUE(has(text.str(), guid + " \"Cheater\" \"10.0.0.9:27960\" Removed by Web Admin"));
    EXPECT_EQ(join("Cheater", 3), 0);
}

// A ban is for ever: qz_sv_ban asks first, on a page of its own that carries the action again;
// only its "Ban for ever" button bans, and its Cancel goes back with the player still chosen.
TEST_F(WebPlayers, ABanAsksFirstAndRunsOnlyWhenConfirmed) {
    int slot = join("Cheater", 3, "10.0.0.9:27960");
    std::string guid = webtest::guidOf(3);
    for (const char* button :
         {"banslot=qz_sv_ban", "webconfirm=restart\r\nbanslot=qz_sv_ban",
          "webconfirm=bank\r\nbanslot=qz_sv_ban", "webreason=webconfirm=ban\r\nbanslot=b"}) {
        std::string page = act(button, slot, guid, "5", "aimbot");
        EXPECT_TRUE(has(page, "<i>Confirm Ban</i>")) << button << page;
        EXPECT_TRUE(has(page, "* BAN THIS PLAYER FOR EVER? PRESS \"Ban for ever\" *"));
        EXPECT_FALSE(said("[host] DropClient")) << button;
        EXPECT_NE(host().client(slot), nullptr) << button;
    }
    std::string page = act("banslot=qz_sv_ban", slot, guid, "5", "aimbot");
    for (const std::string& field :
         {"name=slotnum value=\"" + std::to_string(slot) + "\"", "name=guid value=\"" + guid + "\"",
          std::string("name=webreason value=\"aimbot\""),
          std::string("name=webkicklen value=\"5\""),
          std::string("name=webconfirm value=\"ban\"")}) {
        EXPECT_TRUE(has(page, "<input type=hidden " + field + ">")) << field << page;
    }
    EXPECT_TRUE(has(page, "<input type=submit value=\"Cancel\" name=plist"));
    EXPECT_TRUE(has(page, "<input type=submit value=\"Ban for ever\" name=banslot"));
    // Nothing happened, so nothing is recorded.
    std::ifstream audit(home() + "qzaudit.log");
    std::stringstream records;
    records << audit.rdbuf();
    EXPECT_FALSE(has(records.str(), "\"action\":\"banslot\"")) << records.str();

    std::string cancel = post("slotnum=" + std::to_string(slot) + "\r\nguid=" + guid +
                              "\r\nwebreason=aimbot\r\nwebkicklen=5\r\nwebconfirm=ban\r\n"
                              "plist=Cancel\r\n");
    EXPECT_TRUE(has(cancel, "<i>Player List Screen</i>"));
    EXPECT_TRUE(has(cancel, "name=slotnum maxlength=2 size=2 value=\"" + std::to_string(slot)));
    EXPECT_NE(host().client(slot), nullptr);

    page = act(kConfirmedBan, slot, guid, "5", "aimbot");
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>"));
    EXPECT_TRUE(said("[host] DropClient " + std::to_string(slot)));
    EXPECT_EQ(join("Cheater", 3), 0);
}

// A reason longer than the 32 characters a kick keeps is refused, never cut and run.
TEST_F(WebPlayers, AReasonLongerThanThirtyTwoCharactersIsRefusedNotCut) {
    int slot = join("Bob", 4);
    std::string page = act("kickslot=qz_sv_kick", slot, webtest::guidOf(4), "2",
                           "   0123456789abcdefghijklmnopqrstuvwxyz");
    EXPECT_TRUE(has(page, "* REASON TOO LONG: 32 CHARACTERS AT MOST; NOTHING DONE *"));
    EXPECT_FALSE(said("[host] DropClient"));
    act("kickslot=qz_sv_kick", slot, webtest::guidOf(4), "2",
        "   0123456789abcdefghijklmnopqrstuv");
    EXPECT_TRUE(said("(for 2 minutes) ... 0123456789abcdefghijklmnopqrstuv [Admin Decision]"));
}

TEST_F(WebPlayers, AServerHostPlayerIsNeverKickedAndThePageSaysItFailed) {
    int slot = join("Host", 5, "loopback");
    std::string page = act("kickslot=qz_sv_kick", slot, webtest::guidOf(5));
    EXPECT_FALSE(has(page, "* COMMAND ISSUED *"));
    EXPECT_TRUE(said("Kick Command Ignored (Server Host)"));
    EXPECT_FALSE(said("[host] DropClient"));
    // Why nothing happened is on the page too, under the message.
    EXPECT_TRUE(
        has(page, "<b><i>* COMMAND FAILED *</i></b><br>Kick Command Ignored (Server Host)"));
}

TEST_F(WebPlayers, ABanWhoseFileCannotBeWrittenIsShownAsFailed) {
    int slot = join("Cheater", 6);
    // A folder where the ban file should be: it cannot be appended to.
    std::filesystem::create_directories(home() + "qzbans.dat");
    std::string page = act(kConfirmedBan, slot, webtest::guidOf(6));
    EXPECT_FALSE(has(page, "* COMMAND ISSUED *"));
    EXPECT_TRUE(has(page, "<b><i>* COMMAND FAILED *</i></b>"));
    EXPECT_TRUE(has(page, "Ban Failed for (slot #" + std::to_string(slot) + ") Cheater"));
    std::filesystem::remove_all(home() + "qzbans.dat");
}

TEST_F(WebPlayers, APlayerWithoutAGuidCanBeChosenAndKicked) {
    int slot = host().connect("Nobody", "", "10.0.0.7:27960");
    ASSERT_GT(slot, 0);
    std::string chosen = post(std::to_string(slot) + "slot=Slot\r\n");
    EXPECT_TRUE(has(chosen, "name=guid maxlength=32 size=35 value=\"NO_GUID\">"));
    EXPECT_TRUE(has(chosen, "<tr><td>Chosen</td><td>"));
    std::string page = act("kickslot=qz_sv_kick", slot, "NO_GUID");
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>")) << page.substr(page.size() - 2000);
    EXPECT_TRUE(said("[host] DropClient " + std::to_string(slot)));
}

TEST_F(WebPlayers, APlayerWithoutAGuidIsBannedByHisAddress) {
    int slot = host().connect("Nobody", "", "10.0.0.7:27960");
    ASSERT_GT(slot, 0);
    std::string page = act(kConfirmedBan, slot, "NO_GUID");
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>")) << page.substr(page.size() - 2000);
    EXPECT_TRUE(said("[host] DropClient " + std::to_string(slot)));
    // The address is refused from then on, whatever port or GUID it comes with.
    EXPECT_EQ(host().connect("Nobody2", webtest::guidOf(9), "10.0.0.7:27961"), 0);
    EXPECT_GT(host().connect("Other", webtest::guidOf(10), "10.0.0.8:27960"), 0);
}

TEST_F(WebPlayers, TheChosenPlayerIsNamedNextToTheActions) {
    int slot = join("^1Red^7Baron", 7);
    std::string page = post(std::to_string(slot) + "slot=Slot\r\n");
    size_t chosen = page.find("<tr><td>Chosen</td><td>");
    ASSERT_NE(chosen, std::string::npos);
    EXPECT_NE(page.find("Red", chosen), std::string::npos);
    EXPECT_NE(page.find(webtest::guidOf(7), chosen), std::string::npos);
    EXPECT_LT(chosen, page.find("name=kickslot"));
}

TEST_F(WebPlayers, ARefusedScreenshotRequestIsShownAsRefusedWithItsReason) {
    int slot = join("Alice", 11);
    std::string form = "slotnum=" + std::to_string(slot) + "\r\nguid=" + webtest::guidOf(11) +
                       "\r\ngetssslot=qz_sv_getss\r\n";
    EXPECT_TRUE(has(post(form), "<b><i>* COMMAND ISSUED *</i></b>"));
    run("sim_advance 5000");
    std::string page = post(form);
    EXPECT_FALSE(has(page, "* COMMAND ISSUED *"));
    EXPECT_TRUE(has(page,
                    "<b><i>* COMMAND REFUSED *</i></b><br>Screenshot Request Ignored ... "
                    "Less than 30 seconds have passed since last request."));
}

TEST_F(WebPlayers, SlotButtonFillsTheFormForTheAction) {
    int slot = join("Alice", 6);
    std::string page = post(std::to_string(slot) + "slot=Slot 0" + std::to_string(slot) + "\r\n");
    EXPECT_TRUE(has(page, "value=\"" + std::to_string(slot) + "\">"));
    EXPECT_TRUE(has(page, "value=\"" + webtest::guidOf(6) + "\">"));
}

TEST_F(WebPlayers, ScreenshotIsRequestedFromTheChosenSlot) {
    join("Filler", 10);
    int slot = join("Alice", 7);
    std::string page = post("slotnum=" + std::to_string(slot) + "\r\nguid=" + webtest::guidOf(7) +
                            "\r\ngetssslot=qz_sv_getss\r\n");
    EXPECT_TRUE(has(page, "<b><i>* COMMAND ISSUED *</i></b>"));
    char line[64];
    snprintf(line, sizeof line, "Requested from %-2d Alice", slot);
    EXPECT_TRUE(said(line)) << testing::PrintToString(lines());
    EXPECT_TRUE(said("1 Screenshot Requested"));
}

TEST_F(WebPlayers, HostileNamesArriveInTheBrowserAsText) {
    join("\"><script>alert(1)</script>", 8);
    join("^2<img src=x onerror=alert(2)>", 9);
    std::string page = post("plist=Player List\r\n");
    EXPECT_FALSE(has(page, "<script>"));
    EXPECT_FALSE(has(page, "<img"));
    EXPECT_TRUE(has(page, "&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_TRUE(has(page, "<font color=#00ff00>&lt;img src=x onerror=alert(2)&gt;</font>"));
}

}  // namespace
