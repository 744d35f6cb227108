// The General Settings screen and its "Update" button: sixteen of the module's own settings,
// shown and assigned from one table of rows.
#include <cstring>

#include "commands/settings.h"
#include "host/state.h"
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
    {"qz_sv_httpAddr", "qz_sv_httpAddr", "qz_sv_HttpAddr", false, 32, 35, 0, 0, false},
    {"qz_sv_httpPort", "qz_sv_httpPort", "qz_sv_HttpPort", true, 5, 6, 0, 65535, false},
    // A text field: a browser shows a list of map names in a number field as empty and would
    // send the empty text back, so every update would wipe the map list.
    {"qz_sv_httpMaps", "qz_sv_httpMaps", "qz_sv_HttpMaps", false, 1024, 35, 0, 0, true},
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

}  // namespace

void web_settings(stQzSv* sv, stWebPage* page, const char* message, const char* key) {
    // No refresh: fields being edited must not be reset under the administrator.
    web_header(sv, page, "General QZ Settings Screen", nullptr, "");
    web_put(page, "<table border=0>\n");
    web_key_row(page, key);
    for (const WebSettingField& f : kFields) {
        const SettingRow* row = settingFind(f.setting);
        if (!row) continue;
        web_add(page, "<tr><td>%s</td><td><input %sname=%s maxlength=%d size=%d value=", f.label,
                f.numberType ? "type=number " : "", f.field ? f.field : row->name, f.maxlength,
                f.size);
        if (row->kind == SET_TEXT) {
            web_put(page, "\"");
            web_add_esc(page, settingText(sv, row));
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
    // The registry's routines show each result line and honour the configuration lock.
    for (const WebSettingField& f : kFields) {
        const SettingRow* row = settingFind(f.setting);
        if (!row) continue;
        // Field names are found without regard to case, so the setting's own name finds the
        // screen's spelling too, and the result line shows the setting as the console does.
        const char* name = row->name;
        if (row->kind == SET_TEXT) {
            sv_form_s(sv, form, name, settingText(sv, row), row->capacity, 1);
        } else {
            sv_form_i(sv, form, name, settingInt(sv, row), f.lo, f.hi);
        }
    }
    web_cmds(sv, page, "<b><i>* UPDATED *</i></b>", web_key(sv));
}
