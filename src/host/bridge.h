// The module's side of the host services: calling a named service, reading game variables,
// console messages and texts sent to a player's game. Only this file and exports.cpp touch the
// qz_host record.
#pragma once

#include "util/text.h"

struct stQzSv;

// Longest console message; longer ones are cut.
constexpr int QZ_MSG_MAX = 1024;

// Calls the host service with an argument formatted from fmt (cut at 4095 bytes). Returns the
// host's result, or 0 when there is no host.
int svHost(stQzSv* sv, const char* service, const char* fmt, ...) QZ_PRINTF(3, 4);
// Calls the host service with the argument as it stands (for buffers the host writes into).
int svHostRaw(stQzSv* sv, const char* service, const char* argument);
// Reads a game variable into out (always terminated). Returns false when the host does not know
// it (out is then empty).
bool svCvar(stQzSv* sv, const char* name, char* out, int size);
// Levels of the message routine: where a message goes. Outcomes the administrator must be able
// to trace later (connections, kicks, bans, violations, command results, settings changed,
// screenshots) are QZ_MSG_BOTH, the default of svMsg. Long listings and help texts, which
// describe state rather than events, are QZ_MSG_CONSOLE (svCon). Details that would flood the
// console but belong in the record (the variable and screenshot events routed by
// qz_sv_CvarLogging and qz_sv_ssLogging) are QZ_MSG_LOG (svLog).
enum QzMsgLevel {
    QZ_MSG_CONSOLE = 1,  // the game server console only
    QZ_MSG_LOG = 2,      // the current log file (and the remote log receiver) only
    QZ_MSG_BOTH = 3,
};
// The module's message routine: one line, to the console and/or the log as level says. Line
// ends and other control characters inside the text are shown as blanks so that one message is
// always one line.
void svMsgLevel(stQzSv* sv, int level, const char* fmt, ...) QZ_PRINTF(3, 4);
// Console and log (QZ_MSG_BOTH).
void svMsg(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);
// Shows one formatted message line (n characters) at its level at once; the message routines
// end here, and so do the lines an audited command's answer held back (media/audit.h).
void svMsgEmit(stQzSv* sv, int level, const char* line, int n);
// Log only (QZ_MSG_LOG).
void svLog(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);
// Console only (QZ_MSG_CONSOLE).
void svCon(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);
// Sends a text to the game of the player in slot (1..64).
void svSendClient(stQzSv* sv, int slot, const char* fmt, ...) QZ_PRINTF(3, 4);
// Sends length bytes as they stand (binary file blocks) to the game of the player in slot.
void svSendClientBytes(stQzSv* sv, int slot, const char* data, int length);
// Sets a game variable from the line "name=value" found in text (see bridge.cpp).
void sv_cvar_set(stQzSv* sv, const char* text, const char* name);
// First place in text where name occurs, letters compared without regard to case; null when it
// does not occur. An empty name matches at the start.
const char* svFindNoCase(const char* text, const char* name);
// Whether the host said (qz_host.flags) that its players' games never run the client module.
bool svNoClientModule(const stQzSv* sv);
// Whether the host said that it can remove its own bots.
bool svHostDropsBots(const stQzSv* sv);
// The one line that answers a request only a client module could serve, on such a host.
constexpr const char* kNoClientModuleText =
    "not supported by this game (its players run no Kestrine client module)";
