// The Game Settings screen: eleven game variables of the game shown in a form, and its "Update"
// button, which sets them on the game server. One table row per variable.
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "webtool/screens.h"

namespace {

// Longest value a game variable is shown and set with.
constexpr int kValueMax = 255;

struct GameSettingRow {
    const char* name;
    int maxlength, size;
    bool latched;     // a change takes effect only when the game restarts the map
    bool numberType;  // the input is declared type=number
};

// In screen order.
constexpr GameSettingRow kGameSettings[] = {
    {"sv_maxclients", 2, 2, true, true},
    {"timelimit", 2, 2, false, false},
    {"g_gametype", 3, 3, true, false},
    {"g_friendlyfire", 2, 2, false, false},
    {"g_soldierchargetime", 6, 6, true, false},
    {"g_engineerchargetime", 6, 6, true, false},
    {"g_medicchargetime", 6, 6, true, false},
    {"g_ltchargetime", 6, 6, true, false},
    {"g_covertopschargetime", 6, 6, true, false},
    {"g_useralliedrespawntime", 2, 2, false, false},
    {"g_useraxisrespawntime", 2, 2, false, false},
};

// The order in which an update sets them (not the screen order).
constexpr const char* kUpdateOrder[] = {
    "sv_maxclients",         "g_gametype",
    "g_friendlyfire",        "timelimit",
    "g_soldierchargetime",   "g_engineerchargetime",
    "g_medicchargetime",     "g_ltchargetime",
    "g_covertopschargetime", "g_useralliedrespawntime",
    "g_useraxisrespawntime",
};

// True when name occurs in the form with an "=" after it on its own line. sv_cvar_set would
// take the first "=" of a later line for a field sent without one, and set a variable named
// with the line end and the next field's name.
bool hasValue(const char* form, const char* name) {
    const char* at = svFindNoCase(form, name);
    if (!at) return false;
    for (const char* p = at + slen(name); *p && *p != '\r' && *p != '\n'; ++p) {
        if (*p == '=') return true;
    }
    return false;
}

// True when the form's value of the variable differs from the game's current value. The value
// is read as sv_cvar_set reads it: after the first "=", to the line end.
bool changed(stQzSv* sv, const char* form, const char* name) {
    const char* at = svFindNoCase(form, name);
    const char* v = strchr(at, '=');
    if (!v) return true;
    v++;
    int n = 0;
    while (v[n] && v[n] != '\r' && v[n] != '\n') n++;
    char now[256];
    svCvar(sv, name, now, qz::cap(now));
    return n != slen(now) || strncmp(v, now, static_cast<size_t>(n)) != 0;
}

}  // namespace

void web_gsettings(stQzSv* sv, stWebPage* page, const char* message, const char* key) {
    // No refresh: values being edited must not be reset under the administrator.
    web_header(sv, page, "Game Settings Screen", nullptr, key);
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key);
    for (const GameSettingRow& row : kGameSettings) {
        // A variable the game does not have shows empty.
        char value[256];
        svCvar(sv, row.name, value, qz::cap(value));
        // A text field takes one character more than a value can have, so a longer one reaches
        // the update and is refused there; maxlength=2 would have kept a timelimit of 120 from
        // being typed at all.
        web_add(page,
                "<tr><td>%s</td><td><input aria-label=\"%s\" %sname=%s maxlength=%d size=%d "
                "value=\"",
                row.name, row.name, row.numberType ? "type=number " : "", row.name,
                row.numberType ? row.maxlength : kValueMax + 1, row.size);
        // As the game holds it (never masked): an unchanged value must come back equal.
        web_add_esc_value(page, value);
        // The note is always shown for the latched variables: the game does not tell whether a
        // new value is still waiting for the restart.
        web_put(page, row.latched ? "\"> Latched (Changes effective upon restarting)</td></tr>\n"
                                  : "\"></td></tr>\n");
    }
    web_put(page, "</table>\n<br><input type=submit value=\"Update\" name=updgset>\n");
    web_footer(sv, page, message);
}

void web_gset_update(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    // Only the variables whose value the administrator changed are set: the others come back as
    // the page showed them, and setting them again would at best do nothing and at worst blank
    // a variable the page could not show whole.
    // A value longer than a game variable takes is refused whole, before anything is set.
    web_note_begin(sv);
    bool refused = false;
    for (const char* name : kUpdateOrder) {
        if (!hasValue(form, name)) continue;
        const char* v = strchr(svFindNoCase(form, name), '=') + 1;
        int n = 0;
        while (v[n] && v[n] != '\r' && v[n] != '\n') n++;
        if (n > kValueMax) {
            svMsg(sv, "%s: %d characters, more than the %d a game variable takes; value kept", name,
                  n, kValueMax);
            refused = true;
        }
    }
    web_note_end(sv);
    if (refused) {
        web_audit_result(sv, QZ_AUDIT_REFUSED, "a value was too long; nothing set");
        web_notes_show(sv);
        web_cmds(sv, page, "<b><i>* NOT UPDATED: A VALUE WAS TOO LONG *</i></b>", web_key(sv));
        return;
    }
    // The record names every variable set, with its new value ("name=value", blank-separated).
    char set[1024] = "";
    for (const char* name : kUpdateOrder) {
        if (!hasValue(form, name) || !changed(sv, form, name)) continue;
        const char* v = strchr(svFindNoCase(form, name), '=') + 1;
        int n = 0;
        while (v[n] && v[n] != '\r' && v[n] != '\n') n++;
        int at = slen(set);
        trf(set + at, qz::cap(set) - at, "%s%s=%.*s", at ? " " : "", name, n, v);
        sv_cvar_set(sv, form, name);
    }
    web_audit_command(sv, set);
    if (!set[0]) web_audit_result(sv, QZ_AUDIT_DONE, "no value changed");
    web_cmds(sv, page, "<b><i>* UPDATED *</i></b>", web_key(sv));
}
