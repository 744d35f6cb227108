// The Command Screen and what its buttons do: change the map from one of the two map lists, run
// a game command or a typed console line and show its captured output on the Game Command
// Results page, and the module's own write-configuration, restart and update commands.
#include <cstring>

#include "commands/config.h"
#include "commands/dispatch.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "util/compare.h"
#include "webtool/maps.h"
#include "webtool/request.h"
#include "webtool/screens.h"

namespace {

// Console output kept for one command. Output beyond it is lost (the page says so); the page
// itself has room for about this much once the characters are escaped.
constexpr int kCaptureSize = 16384;
// Room kept free for what follows the output (console line row, table end, footer), so a long
// output never cuts the page's own end off.
constexpr int kPageTail = 2048;
// Bytes of the page the escaped command line may take.
constexpr int kCommandShown = 4096;
// Longest console line run: what the game's console takes in one line. A longer one is refused,
// never cut and run.
constexpr int kConsoleLineMax = 1023;

const char* const kIgnored = "<br><br><i><b>** Command Ignored by WebTool **</b></i>";
const char* const kBlocked = "<br><br><i><b>** Result Display Blocked by WebTool **</b></i>";

// Appends one "<option>" per map.
bool addOption(void* ctx, int index, const char* name) {
    stWebPage* page = static_cast<stWebPage*>(ctx);
    web_add(page, "<option value=mapno%d>", index);
    web_add_esc(page, name);
    web_put(page, "</option>\n");
    return true;
}

// Finds map number want of a list.
struct MapPick {
    int want;
    bool found;
    char name[WEB_MAP_NAME_MAX + 1];
};
bool pickMap(void* ctx, int index, const char* name) {
    MapPick* pick = static_cast<MapPick*>(ctx);
    if (index != pick->want) return true;
    QZ_COPY(pick->name, name);
    pick->found = true;
    return false;
}

// A signed decimal number after optional blanks and one sign; no digits gives 0. Saturates.
int readSigned(const char* p) {
    while (*p == ' ' || *p == '\t') p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    long long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n < 0x80000000LL) n = n * 10 + (*p - '0');
    }
    if (negative) n = -n;
    if (n > 0x7fffffffLL) n = 0x7fffffffLL;
    if (n < -0x80000000LL) n = -0x80000000LL;
    return static_cast<int>(n);
}

// True when text begins with word, letters compared without regard to case.
bool startsNoCase(const char* text, const char* word) {
    for (; *word; ++text, ++word) {
        if (lowerCh(*text) != lowerCh(*word)) return false;
    }
    return true;
}

// True when text holds word exactly as written (a key is compared with its case).
bool holds(const char* text, const char* word) { return word[0] && strstr(text, word); }

// Runs command on the game console with its output captured into out (size bytes, always
// terminated). The host writes into the buffer only between the two "ConCapBufLen" calls, and
// runs "Cmd_Exec" at once, so the buffer may live on the stack.
void runCaptured(stQzSv* sv, const char* command, char* out, int size) {
    out[0] = 0;
    svHostRaw(sv, "ConCapBuf", out);
    svHost(sv, "ConCapBufLen", "%d", size);
    svHostRaw(sv, "Cmd_Exec", command);
    svHost(sv, "ConCapBufLen", "%d", 0);
    out[size - 1] = 0;
}

// Appends text escaped, as much of it as fits in maxBytes of the page. True when all of it went
// in.
bool putBounded(stWebPage* page, const char* text, int maxBytes) {
    int take = 0;
    for (int used = 0; text[take]; ++take) {
        char c = text[take];
        int need = c == '&' ? 5 : c == '<' || c == '>' ? 4 : c == '"' ? 6 : c == '\'' ? 5 : 1;
        if (used + need > maxBytes) break;
        used += need;
    }
    web_add_esc(page, text, take);
    return !text[take];
}

}  // namespace

void web_cmds(stQzSv* sv, stWebPage* page, const char* message, const char* key) {
    web_maplist_select(sv);
    // No refresh: a console line being typed must not be reset under the administrator.
    web_header(sv, page, "Command Screen", nullptr, key);
    // Enter in the console line sends the line, never the map button that comes first.
    web_enter_button(page, "exec_cmd", "To console->");
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key, true);
    web_put(page,
            "<tr><td align=right><input type=submit value=\"map\" name=map></td><td>\n"
            "<select aria-label=\"Map\" name=map_names>\n"
            "<option value=nomap>choose map here</option>\n");
    if (web_map_file(sv, addOption, page) == 0) web_map_words(sv->web.maplist, addOption, page);
    web_put(page,
            "</select>\n"
            "\n</td></tr>\n"
            "<tr><td align=right><input type=submit value=\"map_restart\" name=map_restart>"
            "</td><td>");
    char mapname[256];
    svCvar(sv, "mapname", mapname, qz::cap(mapname));
    web_add_esc(page, mapname);
    web_put(page,
            "</td></tr>\n"
            "<tr><td align=right><input type=submit value=\"serverinfo\" name=serverinfo>"
            "</td></tr>\n"
            "<tr><td>&nbsp</td></tr>\n"
            "<tr><td align=right><input type=submit value=\"To console->\" name=exec_cmd></td>"
            "<td><input aria-label=\"Console line\" name=exec_cmd_text maxlength=1024 "
            "size=35></td></tr>\n"
            "<tr><td>&nbsp</td></tr>\n"
            "<tr><td align=right><input type=submit value=\"qz_sv_writecfg\" name=writeqzcfg>"
            "</td></tr>\n"
            "<tr><td align=right><input type=submit value=\"qz_sv_restart\" name=restartqz>"
            "</td></tr>\n"
            "<tr><td align=right><input type=submit value=\"qz_sv_update\" name=updateqz>"
            "</td></tr>\n"
            "</table>\n");
    web_footer(sv, page, message);
}

void web_map(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    const char* key = web_key(sv);
    const char* field = web_find(form, "map_names");
    if (!field) {
        web_cmds(sv, page, "Map Name Not Found", key);
        return;
    }
    char value[64];
    web_line_value(field, "map_names", value, qz::cap(value));
    if (!startsNoCase(value, "mapno")) {
        web_cmds(sv, page, "No Map Chosen", key);
        return;
    }
    MapPick pick{readSigned(value + 5), false, ""};
    // The loaded list decides when it holds maps; otherwise the text list the screen offered
    // last (or would offer now, when it was never drawn).
    int loaded = web_map_file(sv, pickMap, &pick);
    if (loaded > 0) {
        if (pick.want < 0 || pick.want >= loaded || !pick.found) {
            web_cmds(sv, page, "Invalid Map Specification", key);
            return;
        }
    } else {
        if (!sv->web.maplist) web_maplist_select(sv);
        if (pick.want >= 0 && pick.want < WEB_MAP_WORDS) {
            web_map_words(sv->web.maplist, pickMap, &pick);
        }
        if (!pick.found) {
            web_cmds(sv, page, "Map Index Error", key);
            return;
        }
    }
    char command[WEB_MAP_NAME_MAX + 8];
    QZ_TRF(command, "map %s", pick.name);
    web_results(sv, page, key, command);
}

void web_game_cmd(stQzSv* sv, const char* form, stWebPage* page, const char* word) {
    if (web_key_check(sv, form, page)) return;
    web_results(sv, page, web_key(sv), word);
}

void web_exec_cmd(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    const char* field = web_find(form, "exec_cmd_text");
    if (!field) {
        web_audit_result(sv, QZ_AUDIT_REFUSED, "not run: no console line in the form");
        web_cmds(sv, page, "Parse Error", web_key(sv));
        return;
    }
    char command[WEB_REQ_MAX + 1];
    int n = web_line_value(field, "exec_cmd_text", command, qz::cap(command));
    if (n > kConsoleLineMax) {
        char message[128];
        QZ_TRF(message,
               "<b><i>* CONSOLE LINE TOO LONG: %d CHARACTERS, AT MOST %d; NOT RUN *</i></b>", n,
               kConsoleLineMax);
        char why[96];
        QZ_TRF(why, "not run: console line too long (%d characters, at most %d)", n,
               kConsoleLineMax);
        web_audit_command(sv, command);
        web_audit_result(sv, QZ_AUDIT_REFUSED, why);
        web_cmds(sv, page, message, web_key(sv));
        return;
    }
    web_results(sv, page, web_key(sv), command);
}

namespace {

// The reason the record of a game command gives: what became of the line and the first line it
// printed (masked like every shown line).
void resultWhy(stQzSv* sv, const char* guard, const char* output) {
    if (guard == kIgnored) {
        web_audit_result(sv, QZ_AUDIT_REFUSED,
                         "not run: the web key setting is not read or changed from the WebTool");
        return;
    }
    if (guard == kBlocked) {
        web_audit_result(sv, QZ_AUDIT_DONE, "run; output not shown (it may hold a password)");
        return;
    }
    const char* p = output;
    while (*p == '\n' || *p == '\r' || *p == ' ') p++;
    char first[160];
    int n = 0;
    while (p[n] && p[n] != '\n' && p[n] != '\r' && n < qz::cap(first) - 1) n++;
    trcpyz(first, p, n);
    char shown[200];
    web_mask_line(sv, first, shown, qz::cap(shown));
    char why[256];
    QZ_TRF(why, "run; %s%s", shown[0] ? "output: " : "no output", shown);
    web_audit_result(sv, QZ_AUDIT_DONE, why);
}

}  // namespace

void web_results(stQzSv* sv, stWebPage* page, const char* key, const char* command) {
    char line[WEB_REQ_MAX + 1];
    QZ_COPY(line, command ? command : "");
    // One command line: a line end inside it would start another console command.
    for (char* p = line; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20) *p = ' ';
    }
    web_audit_command(sv, line);
    // The web key setting is never read or changed from here, whatever the line holds around
    // it; rcon commands run but their output (passwords, remote answers) is never shown.
    const char* guard = nullptr;
    char output[kCaptureSize];
    output[0] = 0;
    bool full = false;
    if (svFindNoCase(line, "qz_sv_httpkey")) {
        guard = kIgnored;
    } else if (svFindNoCase(line, "rcon")) {
        svHostRaw(sv, "Cmd_Exec", line);
        guard = kBlocked;
    } else {
        runCaptured(sv, line, output, kCaptureSize);
        full = slen(output) >= kCaptureSize - 1;
        // Listings of every game variable would show a key taken from the rcon password, or
        // the rcon password itself: output holding either is not shown.
        char rcon[256];
        svCvar(sv, "rconpassword", rcon, qz::cap(rcon));
        if (holds(output, web_key(sv)) || holds(output, rcon)) guard = kBlocked;
    }
    if (guard == kBlocked) output[0] = 0;
    resultWhy(sv, guard, output);

    web_header(sv, page, "Game Command Results", nullptr, key);
    web_put(page, "<table border=0>\n");
    web_key_row(sv, page, key);
    web_add(page, "<tr><td></td><td><font color=#%s>", sv->set.httpColMsg);
    // The line as typed, its secrets masked; a line of thousands of markup characters must not
    // crowd out its own output.
    char shown[WEB_REQ_MAX + 8];
    web_mask_line(sv, line, shown, qz::cap(shown));
    if (!putBounded(page, shown, kCommandShown)) web_put(page, " ...");
    if (guard) web_put(page, guard);
    web_put(page, "</font></td>\n<tr><td></td><td><pre>\n");
    if (!putBounded(page, output, WEB_PAGE_SIZE - 1 - kPageTail - page->len) || full) {
        web_put(page, "\n... (output cut)");
    }
    web_put(page,
            "\n</pre>\n"
            "<tr><td>&nbsp</td></tr>\n"
            "<tr><td><input type=submit value=\"To console->\" name=exec_cmd></td>"
            "<td><input aria-label=\"Console line\" name=exec_cmd_text maxlength=1024 "
            "size=35></td></tr>\n"
            "</table>\n");
    web_footer(sv, page, "");
}

void web_writecfg(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    web_note_begin(sv);
    bool written = sv_write_cfg(sv, "");
    web_note_end(sv);
    if (!written) {
        web_notes_show(sv);
        web_audit_result(sv, QZ_AUDIT_FAILED, "configuration not written");
    }
    // A file that could not be written (a locked configuration, a full disk, no permission)
    // is a failure, with the module's own lines under it.
    web_settings(sv, page,
                 written ? "* qz_sv_WriteCfg ISSUED *"
                         : "<b><i>* qz_sv_WriteCfg FAILED: CONFIGURATION NOT WRITTEN *</i></b>",
                 web_key(sv));
}

void web_restart(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    // A restart reloads the module and ends every login: only from the page that asked. Until
    // then nothing happened, so nothing is recorded.
    if (!web_confirmed(form, "restart")) {
        sv->web.audit.pending = 0;
        web_confirm_restart(sv, page);
        return;
    }
    // The console's own command: it notes the request (once) and the next frame call restarts.
    // A restart draws new digest secrets: the administrator types the key again afterwards.
    sv_cmd(sv, QZ_SRC_WEB, "qz_sv_Restart", 0);
    web_settings(sv, page, "* qz_sv_Restart ISSUED *", web_key(sv));
}

void web_update(stQzSv* sv, const char* form, stWebPage* page) {
    if (web_key_check(sv, form, page)) return;
    // The check runs over the next frames (names resolved, masters asked); what the command
    // printed at once beyond its first line (a refusal, names not resolved, no master asked) is
    // shown here; what comes later goes to the console and the log.
    web_note_begin(sv);
    sv_cmd(sv, QZ_SRC_WEB, "qz_sv_Update", 0);
    web_note_end(sv);
    const char* firstEnd = strchr(sv->web.notes, '\n');
    if (firstEnd && firstEnd[1]) web_notes_show(sv);
    web_settings(sv, page, "* qz_sv_Update ISSUED *", web_key(sv));
}
