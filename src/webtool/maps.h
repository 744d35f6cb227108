// The Command Screen's map choice: the text map list (qz_sv_HttpMaps, or the built-in list of
// the game version) split into words, and the loaded map list read from the file that
// qz_sv_HttpMapsPath names.
#pragma once

struct stQzSv;

// Words taken from a text map list, and the longest map name a "map" command is given.
constexpr int WEB_MAP_WORDS = 256;
constexpr int WEB_MAP_NAME_MAX = 150;
// Lines taken from the loaded map list file.
constexpr int WEB_MAP_FILE_MAX = 256;

// Called for each map of a list in order; returns false to stop early.
using WebMapVisit = bool (*)(void* ctx, int index, const char* name);

// Points web.maplist at the text list in use: qz_sv_HttpMaps when it is not empty, otherwise the
// version's built-in list. The Command Screen calls it each time it is drawn.
void web_maplist_select(stQzSv* sv);
// Splits a text map list into words (blanks, tabs, CR and LF separate; a word in double quotes
// runs to the closing quote and may hold blanks; at most WEB_MAP_WORDS words). Each word is cut
// to WEB_MAP_NAME_MAX characters. Returns the number of words visited.
int web_map_words(const char* list, WebMapVisit visit, void* ctx);
// Visits the loaded map list: the lines of the file named by qz_sv_HttpMapsPath (relative names
// are taken inside the module's home directory), blanks around a line removed, empty lines and
// lines beginning "//" skipped, at most WEB_MAP_FILE_MAX maps from the first 256 KiB. Returns the
// number of maps, 0 when the setting is empty or the file cannot be read or is not a regular file
// (the text list is then used).
int web_map_file(stQzSv* sv, WebMapVisit visit, void* ctx);
// True when a qz_sv_HttpMapsPath value names a file the Command Screen must never show: one of
// the module's own files (a name beginning "qz"), a configuration file (".cfg", which holds
// passwords), or a log of the "svlogs" folder.
bool web_map_file_refused(const char* name);
// The rule of qz_sv_HttpMapsPath (a hook of the settings registry): a value naming such a file,
// or a file outside the home directory, is refused with one line and the setting emptied.
struct SettingRow;
void web_maps_path_rule(stQzSv* sv, const SettingRow* row);
