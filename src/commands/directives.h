// Host directives owned by the command language: reservations and name resolution.
#pragma once

struct stQzSv;

// Prints the answer of the QZ_SV_RESOLVE lookup once it has one (called by the frame).
void resolveAnswer(stQzSv* sv);

// True when the host has reserved a place for text (compared without regard to case). The
// player admission asks this for a joining player's name and GUID.
bool reserveFind(stQzSv* sv, const char* text);
