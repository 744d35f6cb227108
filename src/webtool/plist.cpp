// The Player List screen and the three player actions on it: choosing a player by his Slot
// button, kicking or banning him, and asking his game for a screenshot. An action names the
// player by slot and GUID, and acts only while that GUID is still the one in that slot.
#include <cstring>

#include "host/state.h"
#include "media/screenshots.h"
#include "players/kick.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/files.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

const char* const kIssued = "<b><i>* COMMAND ISSUED *</i></b>";
const char* const kInvalidPlayer = "<b><i>* INVALID PLAYER *</i></b>";
const char* const kRefused = "<b><i>* COMMAND REFUSED *</i></b>";
const char* const kFailed = "<b><i>* COMMAND FAILED *</i></b>";
// Where the buttons that choose a player or act on him send the form: the answer opens at the
// action fields (the row with this id), not at the top of a list that may be 64 players long,
// and the message under the buttons is in view. A fragment, so no script is needed.
const char* const kActionsAt = "/qzsvweb#act";
// Longest reason a kick or ban keeps.
constexpr int kReasonMax = 32;

// A player can be chosen and acted on in these statuses only (not a spectator or bot client).
bool actionable(const Qz_Sv_Client_s* cl) {
    return cl && cl->status >= QZ_ST_INIT && cl->status <= QZ_ST_OK;
}

// The O/S letter as shown: the client reports it, so anything but a plain printable letter
// (a NUL would end the page text, markup would be markup) is shown as "?".
char osLetter(char c) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    return plain ? c : '?';
}

// One listed player: his row, then a row per registration in use.
void putPlayer(stQzSv* sv, stWebPage* page, int slot, const Qz_Sv_Client_s* cl, unsigned now,
               bool showGuid) {
    const stSettings& s = sv->set;
    // A screen reader announces the player with his button ("Slot 03 Bob"), not the number
    // alone.
    web_add(page,
            "<tr bgcolor=#%s><td><input type=submit value=\"Slot %02d\" name=%dslot "
            "formaction=\"%s\" aria-label=\"Slot %02d ",
            s.httpColBack2, slot, slot, kActionsAt, slot);
    char plain[sizeof cl->name];
    int n = 0;
    for (const char* p = cl->name; *p && n < qz::cap(plain) - 1; ++p) {
        if (*p == '^' && p[1]) {
            if (p[1] == '^') plain[n++] = '^';
            ++p;
            continue;
        }
        plain[n++] = *p;
    }
    plain[n] = 0;
    web_add_esc(page, plain);
    web_put(page, "\"></td><td>");
    web_colorize_esc(sv, page, cl->name);
    web_put(page, "</td><td>");
    if (showGuid) {
        web_add_esc(page, plGuidText(cl));
        web_put(page, "</td><td>");
    }
    web_add_esc(page, cl->address);
    long rate = plAuthRate(cl, now);
    web_add(page, "</td><td>%s</td><td>%ld.%ld</td><td>%d</td><td>%c</td></tr>\n",
            plStatusName(cl->status), rate / 10, rate % 10, plRecentSs(cl, now), osLetter(cl->os));
    for (const stQzReg& reg : cl->reg) {
        if (!reg.text[0]) continue;
        char count[16] = "";
        if (reg.count > 1) QZ_TRF(count, "(%d)", reg.count);
        char line[256];
        QZ_TRF(line, "   ^7*REGISTERED \"%s^7\"%s %s", reg.name, count, reg.text);
        web_add(page, "<tr bgcolor=#%s><td></td><td>", s.httpColBack2);
        // Registered names are players' names too: escaped like them.
        web_colorize_esc(sv, page, line);
        web_put(page, "</td><td></td><td></td><td></td><td></td><td></td></tr>\n");
    }
}

// The Player List with a message and empty Slot # and GUID fields.
void answer(stQzSv* sv, stWebPage* page, const char* message) {
    web_plist(sv, page, message, web_key(sv), "", "");
}

// Reads the slot and GUID fields that every action carries. False after the page with the
// failure message was written.
bool readChoice(stQzSv* sv, const char* form, stWebPage* page, int* slot, char (&guid)[33]) {
    const char* at = web_find(form, "slotnum=");
    if (!at) {
        answer(sv, page, "<b><i>* Missing slotnum *</i></b>");
        return false;
    }
    *slot = web_number_after(at, "slotnum=");
    at = web_find(form, "guid=");
    if (!at) {
        answer(sv, page, "<b><i>* Missing guid *</i></b>");
        return false;
    }
    web_fixed32(at, "guid=", guid);
    return true;
}

// The player check that immediately precedes every action: right slot, right status, and the
// GUID the page showed (without regard to case, whole texts).
bool samePlayer(stQzSv* sv, int slot, const char* guid) {
    const Qz_Sv_Client_s* cl = plPlayer(sv, slot);
    return actionable(cl) && trcasecmp(guid, plGuidText(cl)) == 0;
}

}  // namespace

void web_plist(stQzSv* sv, stWebPage* page, const char* message, const char* key, const char* slot,
               const char* guid) {
    const unsigned now = GetTickCount();
    const stSettings& s = sv->set;
    const bool showGuid = s.httpShowGuid == 1;
    int slotNo = 0;
    for (const char* p = slot; *p >= '0' && *p <= '9' && slotNo < 100; ++p)
        slotNo = slotNo * 10 + (*p - '0');
    // While a player is chosen an action is being prepared: the page does not refresh itself,
    // so a reason or minutes being typed are not reset under the administrator (and a refresh
    // cannot hand the buttons to whoever took the slot since). Player List resumes it.
    const Qz_Sv_Client_s* chosen =
        *guid && slotNo >= 1 && slotNo <= QZ_SLOTS ? plPlayer(sv, slotNo) : nullptr;
    if (chosen && trcasecmp(guid, plGuidText(chosen)) != 0) chosen = nullptr;
    web_header(sv, page, "Player List Screen", chosen ? nullptr : "plist=1", key);
    // Enter in Slot #, GUID, Reason or Kick Minutes presses nothing: a browser would press the
    // first Slot button and choose another player.
    web_enter_none(page);
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key);
    web_add(page,
            "<tr bgcolor=#%s><td></td><td>Player</td>%s<td>IP Address</td><td>Status</td>"
            "<td>Auth</td><td>SS</td><td>O/S</td></tr>\n",
            s.httpColLine1, showGuid ? "<td>GUID</td>" : "");
    int count = 0;
    for (int n = 1; n <= QZ_SLOTS; ++n) {
        const Qz_Sv_Client_s* cl = plPlayer(sv, n);
        if (!cl || cl->status <= QZ_ST_PRE) continue;
        putPlayer(sv, page, n, cl, now, showGuid);
        count++;
    }
    web_add(page,
            "<tr bgcolor=#%s><td></td><td>%d Player%s</td><td></td><td></td><td></td><td></td>"
            "<td></td></tr>\n",
            s.httpColLine2, count, count == 1 ? "" : "s");
    const bool mayKick = web_may(sv, "kickslot=");
    const bool mayBan = web_may(sv, "banslot=");
    const bool mayShoot = web_may(sv, "getssslot=");
    web_put(page,
            "<tr id=act><td>&nbsp</td></tr>\n"
            "<tr><td>Slot #</td><td><input aria-label=\"Slot #\" type=number name=slotnum "
            "maxlength=2 size=2 value=\"");
    web_add_esc(page, slot);
    web_put(page,
            "\"></td></tr>\n<tr><td>GUID</td><td><input aria-label=\"GUID\" name=guid maxlength=32 "
            "size=35 value=\"");
    web_add_esc(page, guid);
    web_put(page, "\"></td></tr>\n");
    // Reason and minutes only for an administrator who may kick or ban: a view-level one
    // chooses players to look at them.
    if (mayKick || mayBan) {
        web_put(page,
                "<tr><td>Reason</td><td><input aria-label=\"Reason\" name=webreason maxlength=33 "
                "size=35 value=\"Removed by Web Admin\"></td></tr>\n");
        web_add(page,
                "<tr><td>Kick Minutes</td><td><input aria-label=\"Kick Minutes\" type=number "
                "name=webkicklen maxlength=2 size=2 "
                "value=%d> <font size=2>Allowed range: 1 to 60</font></td></tr>\n",
                s.kickLen);
    }
    // With fleet bans set up, the scope of a ban (an extension: docs/fleet.md).
    if (sv->fleet.serverId[0] && mayBan) {
        const bool fleet = sv->fleet.banDefault == 1;
        web_add(page,
                "<tr><td>Ban Scope</td><td><select aria-label=\"Ban Scope\" name=webfleet>"
                "<option value=0%s>This server only</option>"
                "<option value=1%s>Fleet-wide</option></select></td></tr>\n",
                fleet ? "" : " selected", fleet ? " selected" : "");
    }
    // Who the actions below act on, as the page was written: the Slot # and GUID fields alone
    // do not say whether the slot changed hands since.
    if (chosen) {
        web_put(page, "<tr><td>Chosen</td><td>");
        web_colorize_esc(sv, page, chosen->name);
        web_put(page, " <font size=2>");
        web_add_esc(page, plGuidText(chosen));
        web_put(page, "<br>Automatic refresh paused while a player is chosen</font></td></tr>\n");
    }
    web_put(page, "</table>\n<br>");
    // Only the buttons the administrator's level can use: the others could only be refused.
    struct Action {
        bool shown;
        const char* value;
        const char* name;
    };
    const Action actions[] = {{mayKick, "qz_sv_kick", "kickslot"},
                              {mayBan, "qz_sv_ban", "banslot"},
                              {mayShoot, "qz_sv_getss", "getssslot"}};
    bool first = true;
    for (const Action& a : actions) {
        if (!a.shown) continue;
        web_add(page, "%s<input type=submit value=\"%s\" name=%s formaction=\"%s\">",
                first ? "" : "&nbsp&nbsp&nbsp", a.value, a.name, kActionsAt);
        first = false;
    }
    web_put(page, "\n");
    web_footer(sv, page, message);
}

void web_plist_choice(stQzSv* sv, const char* form, char (&slot)[12], char (&guid)[33]) {
    slot[0] = 0;
    guid[0] = 0;
    const char* s = web_field(form, "slotnum");
    const char* g = web_field(form, "guid");
    if (!s || !g) return;
    int n = 0;
    for (; *s >= '0' && *s <= '9' && n < 100; ++s) n = n * 10 + (*s - '0');
    char want[33];
    int len = 0;
    while (len < 32 && g[len] && g[len] != '\r' && g[len] != '\n') len++;
    trcpyz(want, g, len);
    if (n < 1 || n > QZ_SLOTS || !samePlayer(sv, n, want)) return;
    QZ_TRF(slot, "%d", n);
    QZ_COPY(guid, plGuidText(plPlayer(sv, n)));
}

void web_slot(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    // The button's own line: "12slot=Slot 12" names slot 12.
    const char* at = web_button(form, "slot=");
    if (!at) {
        answer(sv, page, "<b><i>* Missing slot *</i></b>");
        return;
    }
    int slot = web_number_before(form, at);
    const Qz_Sv_Client_s* cl = slot >= 1 ? plPlayer(sv, slot) : nullptr;
    if (!actionable(cl)) {
        answer(sv, page, "<b><i>* INVALID SLOT *</i></b>");
        return;
    }
    char slotText[12];
    QZ_TRF(slotText, "%d", slot);
    web_plist(sv, page, "", web_key(sv), slotText, plGuidText(cl));
}

void web_kickban(stQzSv* sv, const char* form, stWebPage* page, int ban) {
    if (web_key_check(sv, form, page)) return;
    int slot = 0;
    char guid[33];
    if (!readChoice(sv, form, page, &slot, guid)) return;
    const char* at = web_find(form, "webkicklen=");
    if (!at) {
        answer(sv, page, "<b><i>* Missing webkicklen *</i></b>");
        return;
    }
    int minutes = web_number_after(at, "webkicklen=");
    if (minutes < 1) minutes = 1;
    if (minutes > 60) minutes = 60;
    at = web_find(form, "webreason=");
    if (!at) {
        answer(sv, page, "<b><i>* Missing webreason *</i></b>");
        return;
    }
    const char* v = at + strlen("webreason=");
    while (*v == ' ' || *v == '\t') v++;
    int n = 0;
    while (v[n] && v[n] != '\r' && v[n] != '\n') n++;
    if (n > kReasonMax) {
        answer(sv, page, "<b><i>* REASON TOO LONG: 32 CHARACTERS AT MOST; NOTHING DONE *</i></b>");
        return;
    }
    char reason[kReasonMax + 1];
    trcpyz(reason, v, n);

    if (!samePlayer(sv, slot, guid)) {
        answer(sv, page, kInvalidPlayer);
        return;
    }
    const char* scope = web_field(form, "webfleet");
    // A ban is for ever: it runs only from the page that asked "for ever?" and was answered.
    // Until then nothing happened, so nothing is recorded.
    if (ban && !web_confirmed(form, "ban")) {
        sv->web.audit.pending = 0;
        web_confirm_ban(sv, page, slot, reason, minutes, scope);
        return;
    }
    char slotText[12];
    QZ_TRF(slotText, "%d", slot);
    {
        const Qz_Sv_Client_s* cl = plPlayer(sv, slot);
        web_audit_target(sv, slot, cl->name, plGuidText(cl), cl->address);
        char command[128];
        if (ban) {
            QZ_TRF(command, "ban %d %s", slot, reason);
        } else {
            QZ_TRF(command, "kick %d %d %s", slot, minutes, reason);
        }
        web_audit_command(sv, command);
    }
    web_note_begin(sv);
    // A player without a GUID is banned by his address.
    const bool byAddress = ban && !plGuidValid(plPlayer(sv, slot)->guid);
    const int scopeBefore = sv->fleet.scope;
    if (scope && (*scope == '0' || *scope == '1')) sv->fleet.scope = *scope - '0';
    fleetBanOrigin(sv, QZ_SRC_WEB);
    bool done = byAddress ? plBanAddress(sv, homePath("qzbans.dat"), slot, reason)
                : ban     ? plBan(sv, homePath("qzbans.dat"), slotText, reason)
                          : plKick(sv, slotText, minutes, reason, 0);
    sv->fleet.scope = scopeBefore;
    web_note_end(sv);
    // A kick or ban that was refused or failed (a server host player, a ban file that cannot be
    // written: the player would be admitted again after a restart) says so, with the module's
    // own lines, whether or not the player is still in his slot.
    if (!done) {
        char why[256];
        QZ_COPY(why, sv->web.notes);
        for (char* p = why; *p; ++p) {
            if (*p == '\n') *p = ' ';
        }
        web_audit_result(sv, QZ_AUDIT_FAILED, why);
        web_notes_show(sv);
        answer(sv, page, kFailed);
        return;
    }
    answer(sv, page, kIssued);
}

void web_getss(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    int slot = 0;
    char guid[33];
    if (!readChoice(sv, form, page, &slot, guid)) return;
    if (!samePlayer(sv, slot, guid)) {
        answer(sv, page, kInvalidPlayer);
        return;
    }
    // The qz_sv_GetSs routine with the slot number. A request it refused (the 30-second rule,
    // for example) is shown as refused, with the module's own lines.
    char slotText[12];
    QZ_TRF(slotText, "%d", slot);
    web_note_begin(sv);
    int made = ssGetSs(sv, slotText);
    web_note_end(sv);
    if (made <= 0) {
        web_notes_show(sv);
        answer(sv, page, kRefused);
        return;
    }
    answer(sv, page, kIssued);
}
