// The General Settings screen and its "Update" button: sixteen of the module's own settings,
// shown and assigned from one table of rows.
#include <cstring>

#include "commands/settings.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/text.h"
#include "webtool/screens.h"

namespace {

// One field of the screen, in screen and update order. field is the input's name attribute
// when the screen spells it its own way; null means the setting's own name. Integer fields are
// assigned within lo..hi, text fields up to the setting's capacity.
struct WebSettingField {
    const char* label;
    const char* field;
    const char* setting;
    bool numberType;  // the input is declared type=number
    int maxlength, size;
    int lo, hi;
    bool spacerAfter;
};

constexpr WebSettingField kFields[] = {
    {"qz_sv_httpRefresh", "qz_sv_httpRefresh", "qz_sv_HttpRefresh", true, 3, 3, 10, 999, false},
    // Text fields take one character more than the setting holds, so a longer value reaches the
    // update and is refused there instead of being cut by the browser.
    {"qz_sv_httpAddr", "qz_sv_httpAddr", "qz_sv_HttpAddr", false, 128, 35, 0, 0, false},
    {"qz_sv_httpPort", "qz_sv_httpPort", "qz_sv_HttpPort", true, 5, 6, 0, 65535, false},
    // A text field: a browser shows a list of map names in a number field as empty and would
    // send the empty text back, so every update would wipe the map list.
    {"qz_sv_httpMaps", "qz_sv_httpMaps", "qz_sv_HttpMaps", false, 1025, 35, 0, 0, true},
    {"qz_sv_MsgPrefix", nullptr, "qz_sv_MsgPrefix", false, 32, 34, 0, 0, false},
    {"qz_sv_Sleep", nullptr, "qz_sv_Sleep", true, 3, 3, 20, 100, false},
    {"qz_sv_KickLen", nullptr, "qz_sv_KickLen", true, 2, 2, 0, 60, true},
    {"qz_sv_ChangePeriod", nullptr, "qz_sv_ChangePeriod", true, 3, 3, 1, 999, false},
    {"qz_sv_ChangeMax", nullptr, "qz_sv_ChangeMax", true, 2, 2, 1, 50, true},
    {"qz_sv_CvarFreq", nullptr, "qz_sv_CvarFreq", true, 2, 2, 2, 10, false},
    {"qz_sv_CvarLogging", nullptr, "qz_sv_CvarLogging", true, 2, 2, 0, 3, false},
    {"qz_sv_CvarWalk", nullptr, "qz_sv_CvarWalk", true, 2, 2, 0, 4, false},
    {"qz_sv_CvarChangedPulse", nullptr, "qz_sv_CvarChangedPulse", true, 2, 2, 10, 99, false},
    {"qz_sv_CvarUserPulse", nullptr, "qz_sv_CvarUserPulse", true, 2, 2, 10, 99, true},
    {"qz_sv_MaxDlRate", nullptr, "qz_sv_MaxDlRate", true, 1, 2, 1, 4, false},
    {"qz_sv_MaxConDls", nullptr, "qz_sv_MaxConDls", true, 1, 2, 1, 6, false},
};

// Assigns one field's value (n characters at v, exactly as the browser sent it) through the
// registry's routine, which honours the configuration lock, the setting's rules and prints the
// result line. A value equal to the current one is left alone (nothing printed). False when the
// value was refused or not stored as sent.
bool fieldAssign(stQzSv* sv, const SettingRow* row, const WebSettingField& f, const char* v,
                 int n) {
    if (row->kind == SET_TEXT) {
        char* value = settingText(sv, row);
        if (n == slen(value) && strncmp(v, value, static_cast<size_t>(n)) == 0) return true;
        if (n > row->capacity) {
            svMsg(sv, "%s: %d characters, more than the %d it holds; value kept", row->name, n,
                  row->capacity);
            return false;
        }
        // Sent to the routine as one quoted value, so blanks inside the text are stored as
        // typed. A double quote is refused there, with its one line on the page: the
        // configuration file writes text values inside quotes without escapes.
        char text[1025];
        trcpyz(text, v, n);
        char line[1024 + 64];
        QZ_TRF(line, "%s \"%s\"", row->name, text);
        sv_set_s(sv, const_cast<char*>(row->name), line, value, row->capacity, 0);
        return strcmp(value, text) == 0;
    }
    // Integers: blanks around the number do not count.
    while (n > 0 && (*v == ' ' || *v == '\t')) {
        v++;
        n--;
    }
    while (n > 0 && (v[n - 1] == ' ' || v[n - 1] == '\t')) n--;
    char number[32];
    if (n >= qz::cap(number)) n = qz::cap(number) - 1;
    trcpyz(number, v, n);
    int* value = settingInt(sv, row);
    char now[16];
    QZ_TRF(now, "%d", *value);
    if (strcmp(number, now) == 0) return true;
    char line[96];
    // An empty field is "not a number": the value is kept, and the page says so.
    QZ_TRF(line, "%s %s", row->name, *number ? number : "\"\"");
    if (!*number) {
        svMsg(sv, "%s: empty; value kept", row->name);
        return false;
    }
    return sv_set_i(sv, row->name, line, value, f.lo, f.hi) > 0;
}

// The setting's value as text.
void valueText(stQzSv* sv, const SettingRow* row, char* out, int size) {
    if (row->kind == SET_TEXT) {
        trcpyz(out, settingText(sv, row), size - 1);
    } else {
        trf(out, size, "%d", *settingInt(sv, row));
    }
}

}  // namespace

void web_settings(stQzSv* sv, stWebPage* page, const char* message, const char* key) {
    // No refresh: fields being edited must not be reset under the administrator.
    web_header(sv, page, "General QZ Settings Screen", nullptr, "");
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key);
    for (const WebSettingField& f : kFields) {
        const SettingRow* row = settingFind(f.setting);
        if (!row) continue;
        web_add(page,
                "<tr><td>%s</td><td><input aria-label=\"%s\" %sname=%s maxlength=%d size=%d "
                "value=",
                f.label, f.label, f.numberType ? "type=number " : "", f.field ? f.field : row->name,
                f.maxlength, f.size);
        if (row->kind == SET_TEXT) {
            web_put(page, "\"");
            // As held: the form sends it back, and an unchanged value must compare equal.
            web_add_esc_value(page, settingText(sv, row));
            web_put(page, "\"");
        } else {
            web_add(page, "%d", *settingInt(sv, row));
        }
        web_put(page, "></td></tr>\n");
        if (f.spacerAfter) web_put(page, "<tr><td>&nbsp</td></tr>\n");
    }
    web_put(page, "</table>\n<br><input type=submit value=\"Update\" name=updqz1>\n");
    web_footer(sv, page, message);
}

void web_settings_update(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    const int oldPort = sv->set.httpPort;
    char oldAddr[sizeof sv->set.httpAddr];
    QZ_COPY(oldAddr, sv->set.httpAddr);
    bool refused = false;
    // The values that changed, for the audit record ("name=value" each).
    char changed[1024] = "";
    web_note_begin(sv);
    for (const WebSettingField& f : kFields) {
        const SettingRow* row = settingFind(f.setting);
        if (!row) continue;
        // Field names are found without regard to case, so the setting's own name finds the
        // screen's spelling too. Only a field at the start of its own line counts.
        const char* v = web_field(form, row->name);
        if (!v) continue;
        int n = 0;
        while (v[n] && v[n] != '\r' && v[n] != '\n') n++;
        char before[1100];
        valueText(sv, row, before, qz::cap(before));
        if (!fieldAssign(sv, row, f, v, n)) refused = true;
        char after[1100];
        valueText(sv, row, after, qz::cap(after));
        if (strcmp(before, after) != 0) {
            traf(changed, qz::cap(changed), "%s%s=%s", changed[0] ? " " : "", row->name, after);
        }
    }
    web_audit_command(sv, changed);
    // A new address or port must be listened on before it is kept: one that cannot be (an
    // outside address behind NAT, a busy port) is refused and the WebTool stays where it is.
    if (sv->set.httpPort != oldPort || strcmp(sv->set.httpAddr, oldAddr) != 0) {
        sv->web.failed = 0;  // an explicit try: do not answer from an earlier failure
        char why[256];
        if (!webListenerSync(sv, why, qz::cap(why))) {
            sv->set.httpPort = oldPort;
            QZ_COPY(sv->set.httpAddr, oldAddr);
            svMsg(sv, "WebTool: %s; qz_sv_HttpAddr and qz_sv_HttpPort kept as %s:%d", why,
                  *oldAddr ? oldAddr : "127.0.0.1", oldPort);
            refused = true;
        }
    }
    web_note_end(sv);
    if (refused) {
        web_notes_show(sv);
        web_cmds(sv, page,
                 "<b><i>* NOT ALL UPDATED: REFUSED VALUES KEPT THEIR OLD SETTING *</i></b>",
                 web_key(sv));
        return;
    }
    web_cmds(sv, page, "<b><i>* UPDATED *</i></b>", web_key(sv));
}
