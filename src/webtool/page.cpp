// The page writer and the parts every WebTool page shares: header, footer, Web Key row, HTML
// escaping and the ^-colour conversion.
#include "webtool/page.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "util/clock.h"
#include "webtool/screens.h"

namespace {

// Room the writers may fill: the last byte always stays the terminator.
constexpr int kPageRoom = WEB_PAGE_SIZE - 1;

// The entity of an HTML-special character, or null for an ordinary one.
const char* entityOf(char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&#39;";
        default: return nullptr;
    }
}

// Appends n bytes of literal text; cuts at the page's room.
void putN(stWebPage* page, const char* text, int n) {
    int room = kPageRoom - page->len;
    if (n > room) {
        n = room;
        page->cut = 1;
    }
    if (n <= 0) return;
    memcpy(page->text + page->len, text, static_cast<size_t>(n));
    page->len += n;
    page->text[page->len] = 0;
}

// Secrets shorter than this are not looked for: a key of one or two letters would mask those
// letters in every name on the page, and is no secret anyway.
constexpr int kSecretMin = 4;

// The length of the page secret that begins at p, or 0. Secrets are compared exactly.
int secretAt(const stWebPage* page, const char* p) {
    for (const char* s : page->secret) {
        if (!s || !*s || *p != *s) continue;
        int n = slen(s);
        if (n < kSecretMin) continue;
        if (strncmp(p, s, static_cast<size_t>(n)) == 0) return n;
    }
    return 0;
}

const char kMask[] = "*****";

// Appends one character escaped; an entity that does not fit whole is left out.
void putEsc(stWebPage* page, char c) {
    const char* e = entityOf(c);
    if (!e) {
        putN(page, &c, 1);
        return;
    }
    int n = static_cast<int>(strlen(e));
    if (n > kPageRoom - page->len) {
        page->cut = 1;
        return;
    }
    putN(page, e, n);
}

}  // namespace

void web_clear(stWebPage* page) {
    // The secrets stay: they belong to the request, not to the text.
    page->len = 0;
    page->cut = 0;
    page->text[0] = 0;
}

int web_add(stWebPage* page, const char* fmt, ...) {
    int room = WEB_PAGE_SIZE - page->len;
    if (room <= 1) {
        page->cut = 1;
        return page->len;
    }
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(page->text + page->len, static_cast<size_t>(room), fmt, ap);
    va_end(ap);
    if (n < 0) {
        page->text[page->len] = 0;
        return page->len;
    }
    if (n >= room) {
        n = room - 1;
        page->cut = 1;
    }
    page->len += n;
    return page->len;
}

void web_put(stWebPage* page, const char* text) { putN(page, text, slen(text)); }

void web_add_esc(stWebPage* page, const char* text, int max) {
    if (!text) return;
    for (int i = 0; text[i] && (max < 0 || i < max); ++i) {
        // A secret is never written, whatever text carried it here.
        if (int n = secretAt(page, text + i)) {
            putN(page, kMask, sizeof kMask - 1);
            i += n - 1;
            continue;
        }
        // Runs of ordinary characters go in one copy; the page is written per request, but the
        // Player List writes many short texts.
        int run = i;
        while (text[run] && (max < 0 || run < max) && !entityOf(text[run]) &&
               !secretAt(page, text + run)) {
            run++;
        }
        if (run > i) {
            putN(page, text + i, run - i);
            i = run - 1;
            continue;
        }
        putEsc(page, text[i]);
    }
}

void web_add_esc_value(stWebPage* page, const char* text) {
    const char* kept[3];
    memcpy(kept, page->secret, sizeof kept);
    memset(page->secret, 0, sizeof page->secret);
    web_add_esc(page, text);
    memcpy(page->secret, kept, sizeof kept);
}

const char* web_esc(const char* text, char* out, int size) {
    if (size <= 0) return out;
    int n = 0;
    out[0] = 0;
    for (const char* p = text ? text : ""; *p; ++p) {
        const char* e = entityOf(*p);
        int need = e ? static_cast<int>(strlen(e)) : 1;
        if (n + need > size - 1) break;
        if (e) {
            memcpy(out + n, e, static_cast<size_t>(need));
        } else {
            out[n] = *p;
        }
        n += need;
    }
    out[n] = 0;
    return out;
}

const char* web_color_of(char c) {
    static const char* const kColors[8] = {"000000", "ff0000", "00ff00", "ffff00",
                                           "0000ff", "00ffff", "ff00ff", "ffffff"};
    return kColors[static_cast<unsigned char>(c) & 7];
}

void web_colorize(stQzSv* sv, char* dest, int size, const char* text) {
    traf(dest, size, "<font color=#%s>", sv->set.httpColText1);
    for (const char* p = text ? text : ""; *p; ++p) {
        if (*p != '^' || !p[1]) {
            tracc(dest, size, *p);
            continue;
        }
        if (p[1] == '^') {
            tracc(dest, size, '^');
        } else {
            traf(dest, size, "</font><font color=#%s>", web_color_of(p[1]));
        }
        ++p;
    }
    tracat(dest, size, "</font>");
}

void web_colorize_esc(stQzSv* sv, stWebPage* page, const char* text) {
    web_add(page, "<font color=#%s>", sv->set.httpColText1);
    for (const char* p = text ? text : ""; *p; ++p) {
        if (int n = secretAt(page, p)) {
            putN(page, kMask, sizeof kMask - 1);
            p += n - 1;
            continue;
        }
        if (*p != '^' || !p[1]) {
            putEsc(page, *p);
            continue;
        }
        if (p[1] == '^') {
            putN(page, "^", 1);
        } else {
            web_add(page, "</font><font color=#%s>", web_color_of(p[1]));
        }
        ++p;
    }
    web_put(page, "</font>");
}

void web_enter_none(stWebPage* page) {
    // A disabled default button stops implicit submission altogether.
    web_put(page, "<input type=submit disabled hidden tabindex=-1 aria-hidden=true value=\"\">\n");
}

void web_enter_button(stWebPage* page, const char* name, const char* value) {
    web_add(page, "<input type=submit hidden tabindex=-1 aria-hidden=true name=%s value=\"%s\">\n",
            name, value);
}

void web_key_row(stQzSv* sv, stWebPage* page, const char* key, bool alignRight) {
    char digest[33];
    web_key_digest(sv, key ? key : "", digest);
    web_add(page,
            "<tr><td%s>Web Key</td><td><input aria-label=\"Web Key\" type=password name=webkey "
            "maxlength=32 size=35 "
            "value=\"%s\"></td></tr>\n",
            alignRight ? " align=right" : "", digest);
    web_put(page, "<tr><td>&nbsp</td></tr>\n");
}

void web_header(stQzSv* sv, stWebPage* page, const char* title, const char* refresh,
                const char* key) {
    web_clear(page);
    sv->web.loginPage = 0;
    // The page's type and character set (the game's texts are single bytes), no framing by
    // other sites, nothing kept in a shared computer's cache, and no address of the WebTool
    // handed to another site in a Referer. Header lines end in CR LF, as HTTP wants.
    web_put(page,
            "HTTP/1.0 200 OK\r\nConnection: close\r\n"
            "Content-Type: text/html; charset=iso-8859-1\r\nX-Frame-Options: DENY\r\n"
            "Content-Security-Policy: frame-ancestors 'none'\r\nCache-Control: no-store\r\n"
            "Referrer-Policy: same-origin\r\n\r\n"
            "<html lang=en><head>");
    const stSettings& s = sv->set;
    bool refreshes = refresh && s.httpRefresh > 0;
    if (refreshes) {
        char digest[33];
        web_key_digest(sv, key ? key : "", digest);
        // A link without an address: it works through NAT, with 0.0.0.0 and from any machine.
        web_add(page, " <meta http-equiv=refresh content=\"%d; url=/qzsvweb/%s&webkey=%s\"> ",
                s.httpRefresh, refresh, digest);
    }
    // Readable on a phone without zooming, and fields and buttons big enough to hit. On a
    // narrow screen (a phone, a tablet upright) every table row becomes a line that wraps its
    // cells whole: a GUID or an address moves to the next line instead of being squeezed into
    // a column one character wide, and no page is wider than the screen. Console output keeps
    // its columns and scrolls inside its own box. The ban button stands well apart from the
    // kick button beside it.
    web_add(page,
            "<meta name=viewport content=\"width=device-width, initial-scale=1\">"
            "<title>%s - Kestrine Server WebTool</title>"
            "<style>input,select{min-height:28px;box-sizing:border-box}"
            "input[type=submit]{min-height:32px;margin:2px}"
            "input[name=banslot],input[name=restartqz]{margin:24px}"
            "input,select,hr,table{max-width:100%%}input[size],select{max-width:55vw}"
            "td{overflow-wrap:anywhere}"
            "pre{overflow-x:auto;max-width:calc(100vw - 48px);text-align:left}"
            "@media (max-width:800px){body{margin:4px}td{font-size:15px}"
            "input,select{min-height:44px;font-size:16px}"
            "input[type=submit]{min-width:44px}table,tbody{display:block}"
            "tr{display:flex;flex-wrap:wrap;align-items:center;justify-content:center;"
            "column-gap:8px}tr[bgcolor]{margin-bottom:2px}td{display:block;max-width:100%%}"
            "td:empty{display:none}}"
            // Player names on their grey rows: every colour a name can hold stands on black, or
            // on white for the two dark ones, so each is readable (at least 3:1).
            "tr[bgcolor] font{background:#000}"
            "tr[bgcolor] font[color=\"#0000ff\"],tr[bgcolor] font[color=\"#000000\"]"
            "{background:#fff}"
            "</style></head>",
            title);
    web_add(page,
            "\n<body text=#%s bgcolor=#%s>\n<center><b><hr height=4 width=400 color=#%s>\n"
            "<font size=5>Kestrine Server WebTool for ET</font>\n"
            "<hr height=4 width=400 color=#%s>\n<br><br><font size=4><i>%s</i><br><br></font></b>"
            "<font size=3 color=#%s>version = ",
            s.httpColText1, s.httpColBack1, s.httpColLine1, s.httpColLine2, title, s.httpColText2);
    // The game variables are the game's texts, not the page's: escaped. Each is written after
    // the literal that precedes it.
    static constexpr const char* kGameVars[][2] = {
        {"", "version"},
        {"<br>sv_hostname = ", "sv_hostname"},
        {"<br>net_ip:net_port = ", "net_ip"},
        {":", "net_port"},
        {"<br>mapname = ", "mapname"},
    };
    char value[256];
    for (const auto& v : kGameVars) {
        web_put(page, v[0]);
        svCvar(sv, v[1], value, qz::cap(value));
        web_add_esc(page, value);
    }
    web_put(page, "<br><br></font></b>");
    if (refreshes) {
        web_add(page, "<font size=3 color=#%s>This page auto-refreshes every %d seconds",
                s.httpColText1, s.httpRefresh);
    }
    // The Login Screen's form asks for UTF-8, whatever the page's own character set: the key
    // typed there then arrives the same from every browser and keyboard (a Windows-1252 byte
    // could not tell a euro sign from a Latin-1 letter's neighbours). The other forms keep the
    // page's character set, which is the game's.
    const bool utf8 = sv->web.loginForm;
    sv->web.loginForm = 0;
    web_add(page, "\n<form method=post enctype=text/plain action=\"/qzsvweb\"%s>\n",
            utf8 ? " accept-charset=utf-8" : "");
    // The page's one-time number: an action sent from this page runs once, however often the
    // answer is reloaded.
    // Only a logged-in page takes one: the Login Screen, which anyone can ask for, uses none up.
    if (unsigned act = web_act_issue(sv))
        web_add(page, "<input type=hidden name=webact value=%u>\n", act);
}

void web_footer(stQzSv* sv, stWebPage* page, const char* message) {
    const stSettings& s = sv->set;
    // The action's audit record is written before its page can be sent.
    bool recorded = web_audit_flush(sv, message);
    if (!recorded) {
        web_add(page,
                "<br><font color=#%s><b><i>* THE AUDIT RECORD OF THIS ACTION COULD NOT BE "
                "WRITTEN: ",
                s.httpColMsg);
        web_add_esc(page, sv->audit.lastError);
        web_put(page, " *</i></b></font>");
    }
    web_add(page, "<br><font color=#%s>%s", s.httpColMsg, message ? message : "");
    // The module's own lines about the action (refusals and why), one per line, escaped.
    if (sv->web.showNotes) {
        for (const char* line = sv->web.notes; *line;) {
            const char* end = strchr(line, '\n');
            int n = end ? static_cast<int>(end - line) : slen(line);
            web_put(page, "<br>");
            web_add_esc(page, line, n);
            line += n;
            if (*line) line++;
        }
    }
    web_add(page, "</font><br><br>\n<hr height=4 width=400 color=#%s>\n", s.httpColLine2);
    // A named administrator below the level of the other screens is shown the Player List
    // button alone: the others could only answer that he may not. The Login Screen shows them
    // all (they log in with the typed key).
    if (sv->web.loginPage || web_may(sv, "cmds=")) {
        web_put(page,
                "<table border=0>\n"
                "<tr><td align=right><input type=submit value=\"Command Screen\" name=cmds></td>"
                "<td>&nbsp&nbsp&nbsp</td>"
                "<td><input type=submit value=\"Game Settings\" name=gsettings></td>"
                "</tr>\n"
                "<tr><td align=right><input type=submit value=\"Player List\" name=plist>"
                "</td><td>"
                "</td><td><input type=submit value=\"QZ Settings\" name=qz_settings></td></tr>\n"
                "</table>\n");
    } else {
        web_put(page,
                "<table border=0>\n"
                "<tr><td align=right><input type=submit value=\"Player List\" name=plist>"
                "</td></tr>\n</table>\n");
    }
    if (!sv->web.loginPage) {
        web_put(page, "<input type=submit value=\"Log out\" name=weblogout>\n");
        if (sv->web.level >= WEBL_ALL && web_may(sv, "auditlog="))
            web_put(page, "<input type=submit value=\"Audit Log\" name=auditlog>\n");
    }
    web_add(page, "<hr height=4 width=400 color=#%s>\n</form>\n", s.httpColLine1);
    web_add(page, "Kestrine Server (v%d.%03d | A%d C%d.%03d) %s<br>\n", sv->svVerMajor,
            sv->svVerMinor, sv->agVer, sv->clVerMajor, sv->clVerMinor,
            sv->enabled ? "Enabled" : "**DISABLED**");
    // From the wall clock, in 64 bits: the millisecond tick would wrap after 24.8 days of a
    // signed difference and show a long-running server as just started. A clock set back before
    // the start shows zeros.
    long long seconds = static_cast<long long>(qzTime()) - sv->web.startTime;
    long m = seconds > 0 ? static_cast<long>(seconds / 60) : 0;
    long d = 0, h = 0, min = 0;
    if (m > 0) {
        d = m / 1440;
        h = (m % 1440) / 60;
        min = (m % 1440) % 60;
    }
    web_add(page,
            "Last Kestrine Server Initialization/Restart: %ld Days, %ld Hours, %ld Minutes<br>", d,
            h, min);
    web_put(page,
            "<font size=2>Every page carries the key's digest only; press Log out when you "
            "leave a shared computer.</font>\n");
    web_put(page, "</center></body></html>\n");
}
