// Host directives owned by the command language: reservations and name resolution.
#pragma once

struct stQzSv;

// True when the host has reserved a place for text (compared without regard to case). The
// player admission asks this for a joining player's name and GUID.
bool reserveFind(stQzSv* sv, const char* text);
