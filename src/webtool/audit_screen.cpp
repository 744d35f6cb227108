// The Audit Log screen: the last records of "qzaudit.log", newest last, filtered by a text (a
// player's name or GUID, an administrator, an action). Only the file's last
// QZ_AUDIT_TAIL_BYTES are read, so the page costs one bounded read whatever the file's size.
// A record is shown as its fields, each text as the bytes that were recorded: on this page, as
// in the game, every byte is one character, and players' names keep their ^-colours as the
// Player List shows them.
#include <cstring>

#include "host/state.h"
#include "media/audit.h"
#include "util/text.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

// Records the screen shows at most.
constexpr int kShown = 100;

struct Shown {
    stQzSv* sv;
    stWebPage* page;
};

void cell(stWebPage* page, const char* text) {
    web_put(page, "<td>");
    web_add_esc(page, text);
    web_put(page, "</td>");
}

// A text from outside (a command line, an answer) with its ^-colours, as the game shows it.
void colourCell(stQzSv* sv, stWebPage* page, const char* text) {
    web_put(page, "<td>");
    web_colorize_esc(sv, page, text);
    web_put(page, "</td>");
}

// A player's name (a vote's or a power player's origin, a target) in his colours.
void nameCell(stQzSv* sv, stWebPage* page, int slot, const char* name, const char* guid,
              const char* addr) {
    web_put(page, "<td>");
    if (slot) web_add(page, "#%d ", slot);
    web_colorize_esc(sv, page, name);
    if (guid[0]) {
        web_put(page, " ");
        web_add_esc(page, guid);
    }
    if (addr[0]) {
        web_put(page, " ");
        web_add_esc(page, addr);
    }
    web_put(page, "</td>");
}

void addRecord(void* ctx, const char* line) {
    const Shown* s = static_cast<const Shown*>(ctx);
    stWebPage* page = s->page;
    static QzAuditView v;
    if (!auditDecode(line, &v)) {
        // Not of this format (a line written by another program): as it stands.
        web_put(page, "<tr><td colspan=7><code>");
        web_add_esc(page, line);
        web_put(page, "</code></td></tr>\n");
        return;
    }
    web_put(page, "<tr>");
    cell(page, v.time);
    // Who: the kind, then the name (a player's in his colours), level and address.
    web_put(page, "<td>");
    web_add_esc(page, v.kind);
    if (v.slot) web_add(page, " #%d", v.slot);
    if (v.name[0]) {
        web_put(page, " ");
        bool player = strcmp(v.kind, "vote") == 0 || strcmp(v.kind, "player") == 0;
        if (player) {
            web_colorize_esc(s->sv, page, v.name);
        } else {
            web_add_esc(page, v.name);
        }
    }
    if (v.level[0]) {
        web_put(page, " (");
        web_add_esc(page, v.level);
        web_put(page, ")");
    }
    if (v.addr[0]) {
        web_put(page, " ");
        web_add_esc(page, v.addr);
    }
    web_put(page, "</td>");
    cell(page, v.action);
    if (v.targetSlot || v.targetName[0] || v.targetGuid[0]) {
        nameCell(s->sv, page, v.targetSlot, v.targetName, v.targetGuid, v.targetAddr);
    } else {
        cell(page, "");
    }
    colourCell(s->sv, page, v.command);
    cell(page, v.result);
    colourCell(s->sv, page, v.why);
    web_put(page, "</tr>\n");
}

}  // namespace

void web_audit_screen(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    char filter[128] = "";
    const char* at = web_field(form, "auditfilter");
    if (at) {
        int n = 0;
        while (at[n] && at[n] != '\r' && at[n] != '\n' && n < qz::cap(filter) - 1) n++;
        trcpyz(filter, at, n);
    }
    web_header(sv, page, "Audit Log", nullptr, web_key(sv));
    web_enter_button(page, "auditlog", "Audit Log");
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, web_key(sv));
    web_put(page,
            "<tr><td>Filter</td><td><input aria-label=\"Filter\" name=auditfilter "
            "maxlength=127 size=35 value=\"");
    web_add_esc_value(page, filter);
    web_put(page,
            "\"> <input type=submit value=\"Audit Log\" name=auditlog></td></tr>\n"
            "</table>\n<table border=1 width=90%>\n"
            "<tr><th>Time (UTC)</th><th>Who</th><th>Action</th><th>Player</th><th>Command</th>"
            "<th>Result</th><th>Why</th></tr>\n");
    Shown shownCtx{sv, page};
    int shown = auditTail(sv, filter, kShown, addRecord, &shownCtx);
    web_put(page, "</table>\n");
    char message[160];
    if (shown < 0) {
        QZ_TRF(message, "* NO AUDIT LOG YET *");
    } else {
        QZ_TRF(message, "* %d RECORD%s (NEWEST LAST) *", shown, shown == 1 ? "" : "S");
    }
    web_footer(sv, page, message);
}
