// The button table and the screen selector: which handler answers a request.
#include "webtool/screens.h"

#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "remote/update.h"
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
    {"weblogout=", web_logout_page, WEBB_ACTION},
    {"plist=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "plist"); }, WEBB_VIEW},
    {"gsettings=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "gsettings"); }, WEBB_VIEW},
    {"cmds=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "cmds"); }, WEBB_VIEW},
    {"qz_settings=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "qz_settings"); }, WEBB_VIEW},
    {"updgset=", web_gset_update, WEBB_ACTION},
    {"updqz1=", web_settings_update, WEBB_ACTION},
    {"writeqzcfg=", web_writecfg, WEBB_ACTION},
    {"restartqz=", web_restart, WEBB_ACTION},
    {"updateqz=", web_update, WEBB_ACTION},
    {"kickslot=", [](Sv sv, Form f, Page p) { web_kickban(sv, f, p, 0); }, WEBB_PLAYER},
    {"banslot=", [](Sv sv, Form f, Page p) { web_kickban(sv, f, p, 1); }, WEBB_PLAYER},
    {"getssslot=", web_getss, WEBB_PLAYER},
    {"slot=", web_slot, WEBB_VIEW},
    {"map=", web_map, WEBB_ACTION},
    {"map_restart=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "map_restart"); },
     WEBB_ACTION},
    {"swap_teams=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "swap_teams"); },
     WEBB_ACTION},
    {"serverinfo=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "serverinfo"); },
     WEBB_ACTION},
    {"exec_cmd=", web_exec_cmd, WEBB_ACTION},
};
const int kWebButtonCount = static_cast<int>(sizeof kWebButtons / sizeof kWebButtons[0]);

unsigned web_act_issue(stQzSv* sv) {
    stWeb* w = &sv->web;
    unsigned n = w->actNext++;
    w->actUsed[(n / 8) % (WEB_ACT_WINDOW / 8)] &= static_cast<unsigned char>(~(1u << (n % 8)));
    return n;
}

bool web_act_take(stQzSv* sv, const char* form) {
    stWeb* w = &sv->web;
    const char* v = web_field(form, "webact");
    if (!v) return true;
    unsigned n = 0;
    int digits = 0;
    for (; *v >= '0' && *v <= '9' && digits < 10; ++v, ++digits) n = n * 10 + (*v - '0');
    // Given, and among the last WEB_ACT_WINDOW given.
    unsigned age = w->actNext - n;
    if (digits == 0 || age == 0 || age > WEB_ACT_WINDOW) return false;
    unsigned char& byte = w->actUsed[(n / 8) % (WEB_ACT_WINDOW / 8)];
    unsigned char bit = static_cast<unsigned char>(1u << (n % 8));
    if (byte & bit) return false;
    byte |= bit;
    return true;
}

void web_dispatch(stQzSv* sv, const char* form, stWebPage* page) {
    stWeb* w = &sv->web;
    svCvar(sv, "rconpassword", w->rconNow, qz::cap(w->rconNow));
    page->secret[0] = sv->set.httpKey;
    page->secret[1] = w->rconNow;
    page->secret[2] = sv->set.logPw;
    w->showNotes = 0;
    w->noteLen = 0;
    w->notes[0] = 0;
    w->login = 0;
    for (const WebButton& b : kWebButtons) {
        if (!web_button(form, b.name)) continue;
        // A link (a picture or a page of another site, a bookmark, the history) never acts and
        // never shows more than the Player List its refresh asks for.
        if (w->facts.get && strcmp(b.name, "plist=") != 0) {
            web_login(sv, page, "<b><i>* NOT RUN: ONLY THE PAGE'S OWN BUTTONS ACT *</i></b>");
            return;
        }
        if (b.kind != WEBB_VIEW) {
            if (web_key_check(sv, form, page)) return;
            // A reloaded answer page sends its form again: the action ran once already.
            if (!web_act_take(sv, form)) {
                const char* again =
                    "<b><i>* NOT RUN AGAIN: THIS PAGE WAS SENT BEFORE (RELOADED?) *</i></b>";
                if (b.kind == WEBB_PLAYER) {
                    web_plist(sv, page, again, web_key(sv), "", "");
                } else {
                    web_cmds(sv, page, again, web_key(sv));
                }
                return;
            }
        }
        b.run(sv, form, page);
        return;
    }
    web_login(sv, page, "");
}

void web_logout_page(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_logout(sv);
    svMsg(sv, "WebTool: %s logged out", sv->web.clientText);
    web_login(sv, page, "<b><i>* LOGGED OUT *</i></b>");
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
        // The answers to an update check come after its page was sent (names resolved, masters
        // asked, the update checked): the screen shows the last check's outcome under it.
        const char* report = updReport(sv);
        if (report[0]) {
            stWeb* w = &sv->web;
            QZ_TRF(w->notes, "Last update check:\n%s", report);
            w->noteLen = slen(w->notes);
            web_notes_show(sv);
        }
        web_settings(sv, page, "", key);
    } else {
        web_login(sv, page, "* Web Key Required *");
    }
}
