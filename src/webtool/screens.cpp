// The button table and the screen selector: which handler answers a request.
#include "webtool/screens.h"

#include <cstring>

#include "webtool/request.h"

namespace {

using Sv = stQzSv*;
using Form = const char*;
using Page = stWebPage*;

}  // namespace

// Tried in this order; the first name found decides. "slot=" comes after the three player
// buttons whose names end in "slot".
const WebButton kWebButtons[] = {
    {"plist=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "plist"); }},
    {"gsettings=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "gsettings"); }},
    {"cmds=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "cmds"); }},
    {"qz_settings=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "qz_settings"); }},
    {"updgset=", web_gset_update},
    {"updqz1=", web_settings_update},
    {"writeqzcfg=", web_writecfg},
    {"restartqz=", web_restart},
    {"updateqz=", web_update},
    {"kickslot=", [](Sv sv, Form f, Page p) { web_kickban(sv, f, p, 0); }},
    {"banslot=", [](Sv sv, Form f, Page p) { web_kickban(sv, f, p, 1); }},
    {"getssslot=", web_getss},
    {"slot=", web_slot},
    {"map=", web_map},
    {"map_restart=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "map_restart"); }},
    {"swap_teams=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "swap_teams"); }},
    {"serverinfo=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "serverinfo"); }},
    {"exec_cmd=", web_exec_cmd},
};
const int kWebButtonCount = static_cast<int>(sizeof kWebButtons / sizeof kWebButtons[0]);

void web_dispatch(stQzSv* sv, const char* form, stWebPage* page) {
    for (const WebButton& b : kWebButtons) {
        if (web_button(form, b.name)) {
            b.run(sv, form, page);
            return;
        }
    }
    web_login(sv, page, "");
}

void web_screen(stQzSv* sv, const char* form, stWebPage* page, const char* screen) {
    if (web_key_check(sv, form, page)) return;
    const char* key = web_key(sv);
    if (strcmp(screen, "plist") == 0) {
        web_plist(sv, page, "", key, "", "");
    } else if (strcmp(screen, "gsettings") == 0) {
        web_gsettings(sv, page, "", key);
    } else if (strcmp(screen, "cmds") == 0) {
        web_cmds(sv, page, "", key);
    } else if (strcmp(screen, "qz_settings") == 0) {
        web_settings(sv, page, "", key);
    } else {
        web_login(sv, page, "* Web Key Required *");
    }
}
