// The pages that ask before something that cannot be taken back: a permanent ban and a restart
// of the module. A slip of the finger on a phone lands on a page that asks, not on the action.
// They need no script: the confirming button sends the same form again with a "webconfirm"
// field, under the page's own one-time number, so the usual cross-site checks all apply.
#include <cstring>

#include "host/state.h"
#include "players/slots.h"
#include "webtool/screens.h"

namespace {

// Where the ban page's buttons send the form: the Player List answer opens at its action fields.
const char* const kActionsAt = "/qzsvweb#act";

// A row of the question: a label and a text of the game's making (escaped, colours kept).
void row(stQzSv* sv, stWebPage* page, const char* label, const char* text) {
    web_add(page, "<tr><td>%s</td><td>", label);
    web_colorize_esc(sv, page, text);
    web_put(page, "</td></tr>\n");
}

// A hidden field of the form sent again; the value escaped for its attribute.
void hidden(stWebPage* page, const char* name, const char* value) {
    web_add(page, "<input type=hidden name=%s value=\"", name);
    web_add_esc(page, value);
    web_put(page, "\">\n");
}

}  // namespace

void web_confirm_ban(stQzSv* sv, stWebPage* page, int slot, const char* reason, int minutes,
                     const char* scope) {
    const char* key = web_key(sv);
    const Qz_Sv_Client_s* cl = plPlayer(sv, slot);
    web_header(sv, page, "Confirm Ban", nullptr, key);
    // Enter presses nothing here: only the two buttons decide.
    web_enter_none(page);
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key);
    char slotText[12];
    QZ_TRF(slotText, "%d", slot);
    row(sv, page, "Slot #", slotText);
    row(sv, page, "Player", cl ? cl->name : "");
    row(sv, page, "GUID", cl ? plGuidText(cl) : "");
    row(sv, page, "IP Address", cl ? cl->address : "");
    row(sv, page, "Reason", reason);
    const bool fleet = scope && *scope == '1';
    if (scope && (*scope == '0' || *scope == '1')) {
        row(sv, page, "Ban Scope", fleet ? "Fleet-wide" : "This server only");
    }
    web_put(page, "</table>\n");
    // The action's own fields, as the Player List sent them.
    hidden(page, "slotnum", slotText);
    hidden(page, "guid", cl ? plGuidText(cl) : "");
    hidden(page, "webreason", reason);
    char minutesText[12];
    QZ_TRF(minutesText, "%d", minutes);
    hidden(page, "webkicklen", minutesText);
    if (scope && (*scope == '0' || *scope == '1')) hidden(page, "webfleet", fleet ? "1" : "0");
    hidden(page, "webconfirm", "ban");
    // Cancel comes first and the two stand apart: the button for ever is not the one under the
    // thumb that pressed qz_sv_ban.
    web_add(page,
            "<br><input type=submit value=\"Cancel\" name=plist formaction=\"%s\">"
            "<input type=submit value=\"Ban for ever\" name=banslot formaction=\"%s\">\n",
            kActionsAt, kActionsAt);
    web_footer(sv, page, "<b><i>* BAN THIS PLAYER FOR EVER? PRESS \"Ban for ever\" *</i></b>");
}

void web_confirm_restart(stQzSv* sv, stWebPage* page) {
    const char* key = web_key(sv);
    web_header(sv, page, "Confirm Restart", nullptr, key);
    web_enter_none(page);
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key);
    web_put(page,
            "<tr><td>qz_sv_restart restarts the module: every administrator types the key "
            "again afterwards.</td></tr>\n"
            "</table>\n");
    hidden(page, "webconfirm", "restart");
    web_put(page,
            "<br><input type=submit value=\"Cancel\" name=cmds>"
            "<input type=submit value=\"qz_sv_restart\" name=restartqz>\n");
    web_footer(sv, page, "<b><i>* RESTART THE MODULE? PRESS \"qz_sv_restart\" *</i></b>");
}
