// The Login Screen: the page of a first visit and of every refused key.
#include "webtool/screens.h"

void web_login(stQzSv* sv, stWebPage* page, const char* message) {
    web_header(sv, page, "Login Screen", nullptr, "");
    web_put(page,
            "<table border=0>\n"
            "<tr><td>Web Key</td><td><input type=password name=webkey maxlength=32 size=35 "
            "value=\"\"></td></tr>\n"
            "<tr><td>&nbsp</td></tr>\n"
            "</table>\n");
    web_footer(sv, page, message);
}
