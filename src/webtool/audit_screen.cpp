// The Audit Log screen: the last records of "qzaudit.log", newest last, filtered by a text (a
// player's name or GUID, an administrator, an action). Only the file's last
// QZ_AUDIT_TAIL_BYTES are read, so the page costs one bounded read whatever the file's size.
#include <cstring>

#include "host/state.h"
#include "media/audit.h"
#include "util/text.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

// Records the screen shows at most.
constexpr int kShown = 100;

void addRecord(void* ctx, const char* line) {
    stWebPage* page = static_cast<stWebPage*>(ctx);
    web_put(page, "<tr><td><code>");
    web_add_esc(page, line);
    web_put(page, "</code></td></tr>\n");
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
            "</table>\n<table border=1 width=90%>\n");
    int shown = auditTail(sv, filter, kShown, addRecord, page);
    web_put(page, "</table>\n");
    char message[160];
    if (shown < 0) {
        QZ_TRF(message, "* NO AUDIT LOG YET *");
    } else {
        QZ_TRF(message, "* %d RECORD%s (NEWEST LAST) *", shown, shown == 1 ? "" : "S");
    }
    web_footer(sv, page, message);
}
