// The button table and the screen selector: which handler answers a request.
#include "webtool/screens.h"

#include <cstring>

#include "commands/secrets.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
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
    {"weblogout=", web_logout_page, WEBB_ACTION, WEBL_VIEW, "LOG OUT"},
    {"plist=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "plist"); }, WEBB_VIEW, WEBL_VIEW,
     "SEE THE PLAYER LIST"},
    {"gsettings=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "gsettings"); }, WEBB_VIEW,
     WEBL_ALL, "SEE THE GAME SETTINGS"},
    {"cmds=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "cmds"); }, WEBB_VIEW, WEBL_ALL,
     "USE THE COMMAND SCREEN"},
    {"qz_settings=", [](Sv sv, Form f, Page p) { web_screen(sv, f, p, "qz_settings"); }, WEBB_VIEW,
     WEBL_ALL, "SEE THE QZ SETTINGS"},
    {"auditlog=", web_audit_screen, WEBB_VIEW, WEBL_ALL, "READ THE AUDIT LOG"},
    {"updgset=", web_gset_update, WEBB_ACTION, WEBL_ALL, "CHANGE SETTINGS"},
    {"updqz1=", web_settings_update, WEBB_ACTION, WEBL_ALL, "CHANGE SETTINGS"},
    {"writeqzcfg=", web_writecfg, WEBB_ACTION, WEBL_ALL, "WRITE THE CONFIGURATION"},
    {"restartqz=", web_restart, WEBB_ACTION, WEBL_ALL, "RESTART THE MODULE"},
    {"updateqz=", web_update, WEBB_ACTION, WEBL_ALL, "CHECK FOR UPDATES"},
    {"kickslot=", [](Sv sv, Form f, Page p) { web_kickban(sv, f, p, 0); }, WEBB_PLAYER, WEBL_KICK,
     "KICK"},
    {"banslot=", [](Sv sv, Form f, Page p) { web_kickban(sv, f, p, 1); }, WEBB_PLAYER, WEBL_BAN,
     "BAN"},
    {"getssslot=", web_getss, WEBB_PLAYER, WEBL_KICK, "REQUEST SCREENSHOTS"},
    {"slot=", web_slot, WEBB_VIEW, WEBL_VIEW, "CHOOSE A PLAYER"},
    {"map=", web_map, WEBB_ACTION, WEBL_ALL, "CHANGE THE MAP"},
    {"map_restart=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "map_restart"); },
     WEBB_ACTION, WEBL_ALL, "RUN GAME COMMANDS"},
    {"swap_teams=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "swap_teams"); },
     WEBB_ACTION, WEBL_ALL, "RUN GAME COMMANDS"},
    {"serverinfo=", [](Sv sv, Form f, Page p) { web_game_cmd(sv, f, p, "serverinfo"); },
     WEBB_ACTION, WEBL_ALL, "RUN GAME COMMANDS"},
    {"exec_cmd=", web_exec_cmd, WEBB_ACTION, WEBL_ALL, "RUN CONSOLE COMMANDS"},
};
const int kWebButtonCount = static_cast<int>(sizeof kWebButtons / sizeof kWebButtons[0]);

bool web_may(stQzSv* sv, const char* button) {
    int level = sv->web.level;
    if (level <= WEBL_NONE) return true;
    for (const WebButton& b : kWebButtons) {
        if (strcmp(b.name, button) == 0) return level >= b.level;
    }
    return true;
}

bool web_confirmed(const char* form, const char* what) {
    const char* v = web_field(form, "webconfirm");
    if (!v) return false;
    int n = slen(what);
    return strncmp(v, what, static_cast<size_t>(n)) == 0 &&
           (v[n] == 0 || v[n] == '\r' || v[n] == '\n');
}

void web_audit_begin(stQzSv* sv, const char* action) {
    stWebAudit* a = &sv->web.audit;
    memset(a, 0, sizeof *a);
    a->pending = 1;
    QZ_COPY(a->action, action);
}

void web_audit_target(stQzSv* sv, int slot, const char* name, const char* guid, const char* addr) {
    stWebAudit* a = &sv->web.audit;
    a->slot = slot;
    QZ_COPY(a->name, name ? name : "");
    QZ_COPY(a->guid, guid ? guid : "");
    QZ_COPY(a->addr, addr ? addr : "");
}

void web_audit_result(stQzSv* sv, int result, const char* why) {
    stWebAudit* a = &sv->web.audit;
    a->result = result;
    QZ_COPY(a->why, why ? why : "");
}

void web_mask_line(stQzSv* sv, const char* line, char* out, int size) {
    char masked[WEB_REQ_MAX + 8];
    cmdMaskSecrets(line, masked, qz::cap(masked));
    const stWebPage* page = &sv->web.page;
    int len = 0;
    for (const char* p = masked; *p && len < size - 6;) {
        int hit = 0;
        for (const char* secret : page->secret) {
            int n = secret ? slen(secret) : 0;
            if (n > 0 && strncmp(p, secret, static_cast<size_t>(n)) == 0) hit = n;
        }
        if (hit) {
            memcpy(out + len, QZ_SECRET_SHOWN, 5);
            len += 5;
            p += hit;
        } else {
            out[len++] = *p++;
        }
    }
    out[len] = 0;
}

void web_audit_command(stQzSv* sv, const char* command) {
    stWebAudit* a = &sv->web.audit;
    web_mask_line(sv, command, a->command, qz::cap(a->command));
}

bool web_audit_flush(stQzSv* sv, const char* message) {
    stWebAudit* a = &sv->web.audit;
    if (!a->pending) return true;
    a->pending = 0;
    if (!a->why[0] && message) {
        // The page's message without its markup.
        int n = 0;
        bool tag = false;
        for (const char* p = message; *p && n < qz::cap(a->why) - 1; ++p) {
            if (*p == '<') tag = true;
            if (!tag) a->why[n++] = *p;
            if (*p == '>') tag = false;
        }
        a->why[n] = 0;
    }
    QzAuditTarget t{a->slot, a->name, a->guid, a->addr};
    bool ok = auditWrite(sv, a->action, a->slot ? &t : nullptr, a->command, a->result, a->why);
    a->failed = !ok;
    return ok;
}

namespace {
// Finds the request's button and runs it (after the key and level checks).
void web_dispatch_button(stQzSv* sv, const char* form, stWebPage* page);
}  // namespace

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
    w->keyState = 0;
    w->bind = nullptr;
    w->level = WEBL_NONE;
    w->who[0] = 0;
    w->audit.pending = 0;
    w->audit.failed = 0;
    // Every record and every command run for this request names the WebTool and the address.
    w->origin = qzOrigin(QZ_ORIGIN_WEB, 0, "", w->clientText, nullptr);
    QzOriginScope scope(sv, &w->origin);
    w->dispatching = 1;
    web_dispatch_button(sv, form, page);
    w->dispatching = 0;
}

namespace {

void web_dispatch_button(stQzSv* sv, const char* form, stWebPage* page) {
    stWeb* w = &sv->web;
    for (const WebButton& b : kWebButtons) {
        if (!web_button(form, b.name)) continue;
        // A link (a picture or a page of another site, a bookmark, the history) never acts and
        // never shows more than the Player List its refresh asks for.
        if (w->facts.get && strcmp(b.name, "plist=") != 0) {
            web_login(sv, page, "<b><i>* NOT RUN: ONLY THE PAGE'S OWN BUTTONS ACT *</i></b>");
            return;
        }
        if (web_key_check(sv, form, page)) return;
        // Records of what this request does (and of lines it hands on) carry his level.
        w->origin.level = w->level;
        char action[32];
        QZ_COPY(action, b.name);
        action[slen(action) - 1] = 0;  // the "=" of the field name
        if (w->level < b.level) {
            // A named administrator below the button's level: refused, recorded, and shown on
            // the Player List, which every level may see.
            char name[96], message[256];
            web_esc(w->who, name, qz::cap(name));
            QZ_TRF(message, "<b><i>* REFUSED: %s MAY NOT %s (LEVEL %s) *</i></b>", name, b.what,
                   webLevelName(w->level));
            web_audit_begin(sv, action);
            char why[128];
            QZ_TRF(why, "level %s may not %s", webLevelName(w->level), b.what);
            web_audit_result(sv, QZ_AUDIT_REFUSED, why);
            web_plist(sv, page, message, web_key(sv), "", "");
            return;
        }
        if (b.kind != WEBB_VIEW) {
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
            if (strcmp(b.name, "getssslot=") != 0) web_audit_begin(sv, action);
        }
        b.run(sv, form, page);
        return;
    }
    web_login(sv, page, "");
}

}  // namespace

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
