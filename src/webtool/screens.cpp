// The button table and the screen selector: which handler answers a request.
#include "webtool/screens.h"

#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "webtool/request.h"

namespace {

using Sv = stQzSv*;
using Form = const char*;
using Page = stWebPage*;

// The module being noted and the host's own print routine, while web_note_begin is in force.
// There is one module and no thread, so one of each.
stQzSv* g_noted = nullptr;
qz_print_fn g_hostPrint = nullptr;

void notePrint(const char* text) {
    if (g_noted) {
        stWeb* w = &g_noted->web;
        int n = slen(text);
        if (w->noteLen + n + 2 <= WEB_NOTE_SIZE) {
            memcpy(w->notes + w->noteLen, text, static_cast<size_t>(n));
            w->noteLen += n;
            w->notes[w->noteLen++] = '\n';
            w->notes[w->noteLen] = 0;
        }
    }
    if (g_hostPrint) g_hostPrint(text);
}

}  // namespace

void web_note_begin(stQzSv* sv) {
    web_note_end(sv);
    sv->web.noteLen = 0;
    sv->web.notes[0] = 0;
    sv->web.noting = 1;
    g_noted = sv;
    g_hostPrint = sv->host.print;
    sv->host.print = notePrint;
}

void web_note_end(stQzSv* sv) {
    if (!sv->web.noting) return;
    sv->web.noting = 0;
    if (g_noted == sv) sv->host.print = g_hostPrint;
    g_noted = nullptr;
    g_hostPrint = nullptr;
}

void web_notes_show(stQzSv* sv) { sv->web.showNotes = 1; }

const char* web_field(const char* form, const char* name) {
    if (!form || !name || !*name) return nullptr;
    int n = slen(name);
    for (const char* line = form; *line;) {
        if (trncasecmp(line, name, n) == 0) {
            const char* p = line + n;
            while (*p == ' ' || *p == '\t') p++;
            if (*p == '=') return p + 1;
        }
        while (*line && *line != '\n') line++;
        if (*line) line++;
    }
    return nullptr;
}

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
    stWeb* w = &sv->web;
    svCvar(sv, "rconpassword", w->rconNow, qz::cap(w->rconNow));
    page->secret[0] = sv->set.httpKey;
    page->secret[1] = w->rconNow;
    page->secret[2] = sv->set.logPw;
    w->showNotes = 0;
    w->noteLen = 0;
    w->notes[0] = 0;
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
        // The refresh link carries the chosen player; he stays chosen while he is still there.
        char slot[12] = "";
        char guid[33] = "";
        web_plist_choice(sv, form, slot, guid);
        web_plist(sv, page, "", key, slot, guid);
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
