// Secrets inside command lines: the one routine that every place which shows, logs or records a
// line asks (console and server log messages, the audit log, the diagnostic logs, UCON echoes,
// the WebTool's results page). It knows every secret argument: the value of a setting marked
// secret, the secret arguments of a command row (a UCON password, an administrator's key), the
// game's own password variables, also when they are assigned through the game's set commands,
// and it looks inside every argument that carries a command line of its own (a task's command,
// a scope override, the game's rcon and bind) and inside every part of a line joined with ";".
#pragma once

constexpr const char* QZ_SECRET_SHOWN = "*****";

// Copies line into out (size bytes, always terminated) with its secrets masked, and returns out.
// A secret argument and everything after it on the line shows as one "*****" (a value may itself
// hold ";" or quotes, so nothing after it is trusted to be free of it). A line that names no
// secret is copied as it stands.
const char* cmdMaskSecrets(const char* line, char* out, int size);
// True when the first word of line is one the masking routine knows (a command, a setting, a
// host directive or a game word it has rules for): a line that starts with any other word may be
// a password typed at the wrong prompt, and a log that must never hold one withholds it.
bool cmdMaskKnows(const char* line);
