// Writing WebTool pages: the bounded page writer, HTML escaping for text and attributes, the
// page header and footer, the Web Key row and the conversion of ^-colour codes into HTML.
//
// Rule for every screen: literal HTML goes through web_add; any text that does not come from
// the page's own literals (player names, GUIDs, addresses, game variable values, map names,
// console output, setting values) goes through web_add_esc, web_colorize_esc or web_esc. The
// escapes cover & < > " ' so one escaped text is safe both between tags and inside a
// double-quoted attribute value.
#pragma once

#include "util/text.h"
#include "webtool/web.h"

struct stQzSv;

// Empties the page.
void web_clear(stWebPage* page);
// Appends formatted literal HTML; arguments given for %s must be literals or already escaped.
// Returns the page's new length.
int web_add(stWebPage* page, const char* fmt, ...) QZ_PRINTF(2, 3);
// Appends text unchanged (literal HTML).
void web_put(stWebPage* page, const char* text);
// Appends text HTML-escaped (& < > " ' become entities); at most max characters of text are
// taken when max >= 0.
void web_add_esc(stWebPage* page, const char* text, int max = -1);
// The same without masking the page's secrets: for the value of a settings field, which the
// form sends back and which must come back exactly as it is held. Whether a value shows
// "*****" would tell the viewer that a secret stands in it, so setting values are never masked
// (none of the settings the forms show is a secret).
void web_add_esc_value(stWebPage* page, const char* text);
// Escapes text into out (size bytes, always terminated, cut at a whole entity). Returns out,
// for use as a %s argument of web_add.
const char* web_esc(const char* text, char* out, int size);

// Starts the page (replacing what it held): the HTTP head, the optional refresh (when refresh
// is not null and qz_sv_HttpRefresh is above 0), the title block with the game variables and
// the opening of the form. key is the web key whose digest the refresh URL carries.
void web_header(stQzSv* sv, stWebPage* page, const char* title, const char* refresh,
                const char* key);
// Ends the page: message line (HTML, written unchanged; literals only), navigation buttons,
// version line, uptime, notice.
void web_footer(stQzSv* sv, stWebPage* page, const char* message);
// The Web Key row holding the digest of key, then the spacer row. alignRight gives the Command
// Screen's form of the row ("<td align=right>Web Key</td>").
void web_key_row(stQzSv* sv, stWebPage* page, const char* key, bool alignRight = false);

// The first submit button of a form is the one a browser presses when Enter is hit in a text
// field. A page whose buttons act on different things starts its form with one of these, so
// Enter never presses a button the field has nothing to do with: web_enter_none makes Enter do
// nothing; web_enter_button makes it press a hidden copy of the named button.
void web_enter_none(stWebPage* page);
void web_enter_button(stWebPage* page, const char* name, const char* value);

// Appends text to dest (size bytes) with its ^-colour codes turned into font tags; the text
// between codes is copied unchanged. For text of the module's own making only.
void web_colorize(stQzSv* sv, char* dest, int size, const char* text);
// The same conversion straight into the page, with the text between the codes HTML-escaped:
// the form for player names, registration lines and every other outside text.
void web_colorize_esc(stQzSv* sv, stWebPage* page, const char* text);
// The colour of ^c (its low three bits), six lower-case hexadecimal digits.
const char* web_color_of(char c);
