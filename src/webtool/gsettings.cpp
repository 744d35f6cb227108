// Game Settings screen and its update. Placeholder: the screen itself is being built.
#include "webtool/screens.h"

void web_gsettings(stQzSv* sv, stWebPage* page, const char* message, const char* key) {
    web_header(sv, page, "Game Settings Screen", nullptr, key);
    web_put(page, "<table border=0>\n");
    web_key_row(page, key);
    web_put(page, "</table>\n<br><input type=submit value=\"Update\" name=updgset>\n");
    web_footer(sv, page, message);
}

void web_gset_update(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_cmds(sv, page, "<b><i>* UPDATED *</i></b>", web_key(sv));
}
