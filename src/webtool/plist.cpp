// Player List screen and the player actions. Placeholder: the screen itself is being built.
#include "webtool/screens.h"

void web_plist(stQzSv* sv, stWebPage* page, const char* message, const char* key,
               const char* slot, const char* guid) {
    (void)slot;
    (void)guid;
    web_header(sv, page, "Player List Screen", "plist=1", key);
    web_put(page, "<table border=0>\n");
    web_key_row(page, key);
    web_put(page, "</table>\n");
    web_footer(sv, page, message);
}

void web_slot(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_plist(sv, page, "", web_key(sv), "", "");
}

void web_kickban(stQzSv* sv, const char* form, stWebPage* page, int ban) {
    (void)ban;
    if (web_key_check(sv, form, page)) return;
    web_plist(sv, page, "", web_key(sv), "", "");
}

void web_getss(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_plist(sv, page, "", web_key(sv), "", "");
}
