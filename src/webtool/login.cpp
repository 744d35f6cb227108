// The Login Screen: the page of a first visit and of every refused key.
#include "host/state.h"
#include "webtool/screens.h"

void web_login(stQzSv* sv, stWebPage* page, const char* message) {
    sv->web.loginForm = 1;
    web_header(sv, page, "Login Screen", nullptr, "");
    // Enter after typing the key opens the Player List. The field takes a whole key (127
    // characters), not only a digest.
    web_enter_button(page, "plist", "Player List");
    web_put(page,
            "<table border=0>\n"
            "<tr><td>Web Key</td><td><input aria-label=\"Web Key\" type=password name=webkey "
            "maxlength=127 size=35 "
            "value=\"\"></td></tr>\n"
            "<tr><td>&nbsp</td></tr>\n"
            "</table>\n");
    sv->web.loginPage = 1;
    web_footer(sv, page, message);
}
