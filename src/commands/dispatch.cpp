// sv_cmd: every line of the command language, from whatever source, passes through here. The
// dispatcher does the generic work once (comments, words, the disabled and locked states) so the
// handlers only parse their own arguments.
#include "commands/dispatch.h"

#include <cstring>

#include "commands/lookup.h"
#include "commands/settings.h"
#include "commands/table.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Cuts the line at the first "//" that stands outside double quotes, so that a quoted argument
// such as a web address keeps its slashes. A backslash is an ordinary character (a Windows path
// such as "C:\games\" ends in one), so the next double quote always ends the quoted part.
void stripComment(char* line) {
    bool quoted = false;
    for (char* p = line; *p; ++p) {
        if (*p == '"') quoted = !quoted;
        if (!quoted && p[0] == '/' && p[1] == '/') {
            *p = 0;
            return;
        }
    }
}

void trimEnd(char* text) {
    int n = slen(text);
    while (n > 0 && (isBlank(text[n - 1]) || text[n - 1] == '\r' || text[n - 1] == '\n')) {
        text[--n] = 0;
    }
}

bool wordIs(const char* word, const char* name) { return trcasecmp(word, name) == 0; }

}  // namespace

void sv_cmd(stQzSv* sv, int source, const char* text, int flags) {
    if (!text) return;
    // The line is copied so that handlers may cut it into words; it is also the bound on
    // everything that follows.
    size_t length = strnlen(text, QZ_LINE_MAX);
    if (length >= static_cast<size_t>(QZ_LINE_MAX)) {
        svMsg(sv, "Command line too long (limit %d characters): ignored", QZ_LINE_MAX - 1);
        return;
    }
    char line[QZ_LINE_MAX];
    memcpy(line, text, length + 1);
    stripComment(line);
    trimEnd(line);

    char* start = line;
    while (isBlank(*start)) start++;
    // Blank lines and ";" comment lines of configuration files are skipped silently.
    if (!*start || *start == ';') return;

    char* rest = start;
    while (*rest && !isBlank(*rest)) rest++;
    char word[128];
    int wordLen = static_cast<int>(rest - start);
    trcpyz(word, start, wordLen < qz::cap(word) - 1 ? wordLen : qz::cap(word) - 1);
    while (isBlank(*rest)) rest++;
    CmdCall call{rest, source, flags};

    // qz_sv_Enable is the one command a disabled module takes.
    if (wordIs(word, "qz_sv_Enable")) {
        cmdFind(kCommandTable, kCommandCount, word)->fn(sv, call);
        return;
    }
    // Host directives are upper-case words and are matched as such; the host keeps its slot
    // bookkeeping running while the module is disabled, so they are taken then as well.
    int used = 0;
    const CmdRow* directive = directiveFind(word, &used);
    if (!sv->enabled && !directive) {
        svMsg(sv, "Kestrine Server is currently Disabled");
        return;
    }

    const CmdRow* row = nullptr;
    const SettingRow* setting = nullptr;
    lookupWord(word, &row, &setting);
    if (!row && directive) {
        // Host directives report players and game events: only the game server gives them. A
        // remote console, the WebTool or a task that could would make up players at will.
        if (source == QZ_SRC_UCON || source == QZ_SRC_WEB || source == QZ_SRC_TASK) {
            svMsg(sv, "Host directive refused: %s is given by the game server only", directive->name);
            return;
        }
        row = directive;
        // Data glued to a "QZ_SV_CVAR=" style word is the start of the arguments.
        if (used < wordLen) {
            call.args = start + used;
            while (isBlank(*call.args)) call.args++;
        }
    }
    if (row) {
        if ((row->flags & CMDF_LOCKED_OUT) && sv->cmd.locked) {
            svMsg(sv, "Command ignored due to locked config mode");
            return;
        }
        if ((row->flags & CMDF_CLIENT) && svNoClientModule(sv)) {
            svMsg(sv, "%s: %s", row->name, kNoClientModuleText);
            return;
        }
        row->fn(sv, call);
        return;
    }

    if (setting) {
        if (sv->cmd.locked) {
            svMsg(sv, "Setting access ignored due to locked config mode [%s]", word);
            return;
        }
        settingRun(sv, setting, start);
        return;
    }

    if (slen(word) >= 6 && trncasecmp(word, "qz_sv_", 6) == 0) {
        svMsg(sv, "Unknown Command/Setting: %s", word);
    } else {
        svMsg(sv, "Ignoring Non-QZ Command/Setting");
    }
}
