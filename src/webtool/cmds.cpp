// Command Screen, Game Command Results and the module's commands. Placeholder: the screens
// themselves are being built.
#include "webtool/screens.h"

void web_cmds(stQzSv* sv, stWebPage* page, const char* message, const char* key) {
    web_header(sv, page, "Command Screen", nullptr, key);
    web_put(page, "<table border=0>\n");
    web_key_row(page, key, true);
    web_put(page, "</table>\n");
    web_footer(sv, page, message);
}

void web_map(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_cmds(sv, page, "", web_key(sv));
}

void web_game_cmd(stQzSv* sv, const char* form, stWebPage* page, const char* word) {
    if (web_key_check(sv, form, page)) return;
    web_results(sv, page, web_key(sv), word);
}

void web_exec_cmd(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_cmds(sv, page, "", web_key(sv));
}

void web_results(stQzSv* sv, stWebPage* page, const char* key, const char* command) {
    web_header(sv, page, "Game Command Results", nullptr, key);
    web_put(page, "<table border=0>\n");
    web_key_row(page, key);
    web_add_esc(page, command);
    web_put(page, "</table>\n");
    web_footer(sv, page, "");
}

void web_writecfg(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_settings(sv, page, "* qz_sv_WriteCfg ISSUED *", web_key(sv));
}

void web_restart(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_settings(sv, page, "* qz_sv_Restart ISSUED *", web_key(sv));
}

void web_update(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_settings(sv, page, "* qz_sv_Update ISSUED *", web_key(sv));
}
