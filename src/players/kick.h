// Acting on players: resolving a command's player argument, the kick and ban routines, the
// removal step every kick and ban ends in, admin messages and forced team changes.
#pragma once

struct stQzSv;

// Resolves a player argument: a slot number (digits only), or a text matched against the
// players' names without colour codes and without regard to case. Exactly one match is
// reported "Matched: %s (slot #%d)" and returned; nothing, a bad or free slot prints
// "Invalid Player Specified: %s"; several matches are refused with one line giving their count.
// Returns the slot, or 0.
int plResolve(stQzSv* sv, const char* arg);
// Every slot whose player's name contains the text (the qz_sv_GetSs rule), in slot order;
// returns how many were written to slots (at most max).
int plMatchAll(stQzSv* sv, const char* text, int* slots, int max);

// The kick routine. minutes -1: qz_sv_KickLen. flag 0 marks an administrator's kick (the
// reason gets " [Admin Decision]"); flag 1 is a kick reported by an external tool. Returns true
// when the player was removed.
bool plKick(stQzSv* sv, const char* player, int minutes, const char* reason, int flag);
// The ban routine: a permanent GUID ban appended to banFile, then the removal. True when the
// ban was stored in the list and the file and the player was removed.
bool plBan(stQzSv* sv, const char* banFile, const char* player, const char* reason);
// The ban of a player without a GUID (offered by the WebTool): a mask ban of his one address,
// appended to banFile, then the removal. True as for plBan.
bool plBanAddress(stQzSv* sv, const char* banFile, int slot, const char* reason);
// The removal step. ban: permanent-ban texts, else kick texts with minutes. Returns true when
// the host dropped the player (the slot is then free).
bool plRemove(stQzSv* sv, int slot, int minutes, bool ban, const char* reason);
// Moves a player to a team through the game's "cmd_forceteam".
void plForceTeam(stQzSv* sv, int slot, int team);
// Moves a player whose client module is too old to the spectators.
void plForceSpec(stQzSv* sv, int slot);
// Builds the record body "\"%s\" \"%s\" %s", "?" standing for an empty value, cut so that the
// body stays within QZ_BAN_BODY_MAX.
void banBuildBody(char* out, int size, const char* first, const char* second, const char* rest);
