// Defaults that depend on the game's version: the file whitelist and the WebTool's built-in map
// list. They are installed after the configuration was loaded, and only into empty values, so a
// value the administrator set always wins.
#pragma once

struct stQzSv;

// The constant texts.
extern const char* const kWhitelistA;      // versions "2.5.0" and "2.6.0"
extern const char* const kWhitelistB[3];   // versions containing "1.60", three joined pieces
extern const char* const kMapListInitial;  // the built-in map list of the game "ET"
extern const char* const kMapListLong;     // versions containing "1.5 "
extern const char* const kMapListShort;    // other "1." versions

// qz_sv_FileWhitelist becomes list A when it is empty and the version text is exactly "2.5.0",
// or (still empty) exactly "2.6.0".
void defWhitelist2x(stQzSv* sv);
// qz_sv_FileWhitelist becomes list B when it is empty and the version text contains "1.60".
void defWhitelist160(stQzSv* sv);
// Points web.defmaplist at the map list of the game version: the long list for a version text
// containing "1.5 ", the short list for any other version text beginning "1.", the initial list
// otherwise; an empty qz_sv_HttpMaps takes that list.
void defMapList(stQzSv* sv);
// The three above, in that order.
void defaultsInstall(stQzSv* sv);
