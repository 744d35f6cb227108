// The command tables: one row per command (name, help text, handler, flags). The help listing,
// the dispatcher and the WebTool all read these rows, so adding a command is one row and a
// handler.
#pragma once

struct stQzSv;

// What a handler gets besides the central state: the rest of the line after the command word
// (blanks before it skipped, quotes kept, comment removed), who sent the line, and the caller's
// flags.
struct CmdCall {
    char* args;
    int source;
    int flags;
};

using CmdFn = void (*)(stQzSv* sv, const CmdCall& call);

enum CmdFlags {
    // The command changes a configured list (or loads a configuration): while the configuration
    // is locked the dispatcher answers "Command ignored due to locked config mode" instead of
    // running it, so the handlers need not check.
    CMDF_LOCKED_OUT = 1,
    // The command asks the players' client modules (screenshots, cvar queries): on a host whose
    // games have none the dispatcher answers with one line saying so instead of running it.
    CMDF_CLIENT = 2,
    // The command's arguments may hold a password (cmdfSecretFrom says which).
    CMDF_SECRET = 4,
    // The command changes something: the dispatcher writes an audit record of it (media/audit.h)
    // before its answer is shown.
    CMDF_AUDIT = 8,
    // The command's first argument names a player (a slot number): the audit record names him as
    // he was before the command ran.
    CMDF_AUDIT_PLAYER = 16,
    // Bits 8-11 hold the number (1 = the first) of the first argument that is a secret: lines
    // that are echoed or logged show "*****" from there on (commands/secrets.h).
    CMDF_SECRET_SHIFT = 8,
    // Bits 12-15 hold the number of the argument from which the rest of the line is a command
    // line of its own (a task's command, a scope override's ban command): the masking looks for
    // secrets inside it as in a line typed on its own.
    CMDF_LINE_SHIFT = 12,
};
constexpr int cmdfSecretFrom(int argument) { return argument << CMDF_SECRET_SHIFT; }
constexpr int cmdfLineFrom(int argument) { return argument << CMDF_LINE_SHIFT; }

struct CmdRow {
    const char* name;
    const char* help;
    CmdFn fn;
    int flags;
};

// The listed commands, in help order. kCommandCount rows, then a closing row with an empty name.
extern const CmdRow kCommandTable[];
extern const int kCommandCount;
// Commands that run but are never listed.
extern const CmdRow kUnlistedCommands[];
extern const int kUnlistedCount;
// Directives sent by the host ("QZ_SV_..."). A name ending in "?" or "=" also matches a word
// that begins with it (the host glues its data to those words).
extern const CmdRow kDirectiveTable[];
extern const int kDirectiveCount;

// The row whose name equals word (whole word, without regard to case), or null.
const CmdRow* cmdFind(const CmdRow* rows, int count, const char* word);
// The row whose name equals word exactly, or null.
const CmdRow* cmdFindExact(const CmdRow* rows, int count, const char* word);
// The directive whose name is word, or, for names ending in "?" or "=", begins word; *used is
// set to the length of the name. Null when none matches.
const CmdRow* directiveFind(const char* word, int* used);
