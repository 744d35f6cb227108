// The settings registry: one row per setting (name, help, kind, storage, capacity, default,
// bounds, flags, place in the configuration file). Showing, assigning, help listing,
// configuration writing and the WebTool forms all read these rows; the generic routines here do
// the parsing and showing for every kind, so a new setting is one row in settings_table.cpp.
#pragma once

#include <cstddef>

struct stQzSv;
struct SettingRow;

enum SettingKind {
    SET_TEXT = 0,   // character buffer of capacity + 1 bytes
    SET_INT = 1,    // int within [lo, hi], shown with its bounds
    SET_YESNO = 2,  // int 0 or 1, shown as "(0=No, 1=Yes)"
};

enum SettingFlags {
    SETF_SECRET = 1,    // shown as "*****"
    SETF_NOWRITE = 2,   // listed, but not written to any configuration file
    SETF_UNLISTED = 4,  // accepted but neither listed by help nor written
    SETF_LOGCFG = 8,    // written to qzsvlog.cfg instead of the main file
    // Written by its list section of the main file (UCON), not as a setting line.
    SETF_SECTION = 16,
    // A WebTool colour: exactly six hexadecimal digits, anything else refused.
    SETF_COLOUR = 32,
};

// Runs after a value was assigned to the setting, before it is shown.
using SettingHook = void (*)(stQzSv* sv, const SettingRow* row);

struct SettingRow {
    const char* name;
    const char* help;
    int kind;
    size_t offset;  // offsetof(stQzSv, field)
    int capacity;   // characters, for text settings
    const char* defText;
    int defInt;
    int lo, hi;  // console bounds of integer settings
    int flags;
    // Place among the setting lines of the main configuration file (1 first). A written setting
    // without a place follows the placed ones, in table order.
    int writeAt;
    SettingHook changed;  // null for most
};

// The listed settings (kSettingCount rows, in help order), then the unlisted ones, kSettingAll
// rows in all.
extern const SettingRow kSettingTable[];
extern const int kSettingCount;
extern const int kSettingAll;

// The row whose name equals word without regard to case, or null.
const SettingRow* settingFind(const char* word);
// Shows or assigns the setting; line starts with the setting's word.
void settingRun(stQzSv* sv, const SettingRow* row, char* line);
// Puts every setting to its default.
void settingsDefaults(stQzSv* sv);
char* settingText(stQzSv* sv, const SettingRow* row);
int* settingInt(stQzSv* sv, const SettingRow* row);
// True when the row is written to a configuration file as a setting line of the main file.
bool settingInMainFile(const SettingRow* row);

// The rules behind two settings (settings.cpp). qz_sv_SsCmd keeps the program it names inside
// the home directory; qz_sv_minguidage hands its value to the game variable "sv_minguidage".
void settingSsCmdRule(stQzSv* sv, const SettingRow* row);
void settingMinGuidAge(stQzSv* sv, const SettingRow* row);

// Show-and-assign routines. line is the setting's word, then optionally the value. A text value
// is taken to the end of the line, or between double quotes (inside them \" is a quote and \\ a
// backslash; "" alone is the empty text; a text ends at the first line end); an integer is an
// optionally signed decimal number, which may be quoted. The flag of sv_set_s: SETF_SECRET shows
// the value as "*****" (a setting of the registry marked secret is always shown so, whatever the
// caller passes). A colour setting takes only six hexadecimal digits (after the cut to its
// capacity); anything else is refused with one line and the old value stays, since the WebTool puts
// it into its pages as it stands.
extern "C" void sv_set_s(stQzSv* sv, char* name, char* line, char* value, int capacity, int flag);
// Returns 1 when a value was assigned, 0 when the setting was only shown, -1 when the value was
// refused (not a number, or outside lo..hi; one line says so and the old value stays).
int sv_set_i(stQzSv* sv, const char* name, const char* line, int* value, int lo, int hi);
// As sv_set_i with the bounds 0 and 1 and the yes/no display.
int sv_set_b(stQzSv* sv, const char* name, const char* line, int* value);

// Takes a setting's value out of a form text whose fields stand one per line as name=value.
// Return 1 when the field was found (and handed on), 0 when the name or its "=" is missing.
int sv_form_s(stQzSv* sv, const char* form, const char* name, char* value, int capacity,
              int assign);
int sv_form_i(stQzSv* sv, const char* form, const char* name, int* value, int lo, int hi);

