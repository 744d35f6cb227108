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
// The module's message routine: one console line. Line ends and other control characters inside
// the text are shown as blanks so that one message is always one line.
void svMsg(stQzSv* sv, const char* fmt, ...) QZ_PRINTF(2, 3);
// Sends a text to the game of the player in slot (1..64).
void svSendClient(stQzSv* sv, int slot, const char* fmt, ...) QZ_PRINTF(3, 4);
// Sets a game variable from the line "name=value" found in text (see bridge.cpp).
void sv_cvar_set(stQzSv* sv, const char* text, const char* name);
// First place in text where name occurs, letters compared without regard to case; null when it
// does not occur. An empty name matches at the start.
const char* svFindNoCase(const char* text, const char* name);
