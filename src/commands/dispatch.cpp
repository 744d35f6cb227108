// sv_cmd: every line of the command language, from whatever source, passes through here. The
// dispatcher does the generic work once (comments, words, the disabled and locked states) so the
// handlers only parse their own arguments.
#include "commands/dispatch.h"

#include <cstring>

#include "commands/lookup.h"
#include "commands/secrets.h"
#include "commands/settings.h"
#include "commands/table.h"
#include "host/bridge.h"
#include "host/state.h"
#include "media/audit.h"
#include "players/slots.h"
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

// The origin a line stands for when no caller set one.
int kindOfSource(int source) {
    switch (source) {
        case QZ_SRC_CONFIG: return QZ_ORIGIN_CONFIG;
        case QZ_SRC_TASK: return QZ_ORIGIN_TASK;
        case QZ_SRC_UCON: return QZ_ORIGIN_UCON;
        case QZ_SRC_WEB: return QZ_ORIGIN_WEB;
        case QZ_SRC_EVENT: return QZ_ORIGIN_EVENT;
        default: return QZ_ORIGIN_CONSOLE;
    }
}

// The player a command's first argument names, as he is before the command acts on him.
void playerTarget(stQzSv* sv, const char* args, QzAuditTarget* t) {
    int slot = 0;
    int digits = 0;
    while (args[digits] >= '0' && args[digits] <= '9' && digits < 3) {
        slot = slot * 10 + (args[digits] - '0');
        digits++;
    }
    bool whole = digits > 0 && (args[digits] == 0 || isBlank(args[digits]));
    const Qz_Sv_Client_s* cl = whole && slot >= 1 ? plPlayer(sv, slot) : nullptr;
    if (!cl || !cl->address[0]) return;
    t->slot = slot;
    t->name = cl->name;
    t->guid = plGuidText(cl);
    t->addr = cl->address;
}

// Runs an audited row: its answer is held while it runs, the record is written with the first
// line of the answer, and then the answer is shown.
void runAudited(stQzSv* sv, const CmdRow* row, const CmdCall& call, const char* line) {
    char masked[QZ_LINE_MAX];
    cmdMaskSecrets(line, masked, qz::cap(masked));
    QzAuditTarget target{};
    // Copies: the player may be dropped (and his slot cleared) by the command.
    char name[64] = "", guid[33] = "", addr[48] = "";
    if (row->flags & CMDF_AUDIT_PLAYER) {
        playerTarget(sv, call.args, &target);
        if (target.slot) {
            QZ_COPY(name, target.name);
            QZ_COPY(guid, target.guid);
            QZ_COPY(addr, target.addr);
            target.name = name;
            target.guid = guid;
            target.addr = addr;
        }
    }
    int mark = auditHoldMark(sv);
    bool holding = auditHoldBegin(sv);
    row->fn(sv, call);
    char answer[256];
    auditHeldAnswer(sv, mark, answer, qz::cap(answer));
    bool written =
        auditWrite(sv, row->name, target.slot ? &target : nullptr, masked, QZ_AUDIT_DONE, answer);
    if (holding) auditHoldRelease(sv);
    if (!written)
        svMsg(sv, "AUDIT: the record of %s could not be written (%s)", row->name,
              sv->audit.lastError);
}

// Runs one line; the origin is already in force.
void dispatchLine(stQzSv* sv, int source, const char* text, int flags);

}  // namespace

QzOrigin qzOrigin(int kind, int slot, const char* name, const char* addr, const char* guid) {
    QzOrigin o{};
    o.kind = kind;
    o.slot = slot;
    if (name) QZ_COPY(o.name, name);
    if (addr) QZ_COPY(o.addr, addr);
    if (guid) QZ_COPY(o.guid, guid);
    return o;
}

QzOriginScope::QzOriginScope(stQzSv* sv, const QzOrigin* origin) : sv_(sv), saved_(sv->cmd.origin) {
    sv->cmd.origin = origin;
}

QzOriginScope::~QzOriginScope() { sv_->cmd.origin = saved_; }

void sv_cmd(stQzSv* sv, int source, const char* text, int flags) {
    if (sv->cmd.origin) {
        dispatchLine(sv, source, text, flags);
        return;
    }
    QzOrigin origin = qzOrigin(kindOfSource(source), 0, nullptr, nullptr, nullptr);
    sv_cmd_as(sv, &origin, source, text, flags);
}

void sv_cmd_as(stQzSv* sv, const QzOrigin* origin, int source, const char* text, int flags) {
    QzOriginScope scope(sv, origin);
    dispatchLine(sv, source, text, flags);
}

namespace {

void dispatchLine(stQzSv* sv, int source, const char* text, int flags) {
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
        runAudited(sv, cmdFind(kCommandTable, kCommandCount, word), call, start);
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
            svMsg(sv, "Host directive refused: %s is given by the game server only",
                  directive->name);
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
            if (row->flags & CMDF_AUDIT) {
                char masked[QZ_LINE_MAX];
                cmdMaskSecrets(start, masked, qz::cap(masked));
                auditWrite(sv, row->name, nullptr, masked, QZ_AUDIT_REFUSED, "locked config mode");
            }
            svMsg(sv, "Command ignored due to locked config mode");
            return;
        }
        if ((row->flags & CMDF_CLIENT) && svNoClientModule(sv)) {
            svMsg(sv, "%s: %s", row->name, kNoClientModuleText);
            return;
        }
        // The lines of the files loaded at start-up are not recorded one by one: the load is.
        const bool startupFile = auditOrigin(sv)->kind == QZ_ORIGIN_CONFIG;
        if ((row->flags & CMDF_AUDIT) && !startupFile) {
            runAudited(sv, row, call, start);
        } else {
            row->fn(sv, call);
        }
        return;
    }

    if (setting) {
        if (sv->cmd.locked) {
            if (*rest) {
                auditWrite(sv, "setting", nullptr, word, QZ_AUDIT_REFUSED, "locked config mode");
            }
            svMsg(sv, "Setting access ignored due to locked config mode [%s]", word);
            return;
        }
        if (!*rest || auditOrigin(sv)->kind == QZ_ORIGIN_CONFIG) {
            settingRun(sv, setting, start);
            return;
        }
        // An assignment: recorded with its value (a secret setting's value masked).
        char masked[QZ_LINE_MAX];
        cmdMaskSecrets(start, masked, qz::cap(masked));
        int mark = auditHoldMark(sv);
        bool holding = auditHoldBegin(sv);
        settingRun(sv, setting, start);
        char answer[256];
        auditHeldAnswer(sv, mark, answer, qz::cap(answer));
        bool written = auditWrite(sv, "setting", nullptr, masked, QZ_AUDIT_DONE, answer);
        if (holding) auditHoldRelease(sv);
        if (!written)
            svMsg(sv, "AUDIT: the record of %s could not be written (%s)", word,
                  sv->audit.lastError);
        return;
    }

    if (slen(word) >= 6 && trncasecmp(word, "qz_sv_", 6) == 0) {
        svMsg(sv, "Unknown Command/Setting: %s", word);
    } else {
        svMsg(sv, "Ignoring Non-QZ Command/Setting");
    }
}

}  // namespace
