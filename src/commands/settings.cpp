// Show and assign settings: the generic per-kind routines behind every row of the registry, the
// form readers the WebTool uses, and the two settings with rules of their own. An integer outside
// its bounds, or a value that is not a number, is refused with one line and the old value kept.
#include "commands/settings.h"

#include <climits>
#include <cstring>

#include "commands/lookup.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Skips the setting word and the blanks after it.
const char* valueStart(const char* line) {
    const char* p = line;
    while (*p && !isBlank(*p)) p++;
    while (isBlank(*p)) p++;
    return p;
}

// Reads an optionally signed decimal number, stopping at the first other character; false when
// there is no digit or the number does not fit an int.
bool readInt(const char* p, int* out) {
    bool negative = false;
    if (*p == '-' || *p == '+') negative = (*p++ == '-');
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

// False when a double-quoted value (p just after the opening quote) is followed by anything but
// blanks after its closing quote: the value would then hold a quote.
bool quotedValueOk(const char* p) {
    const char* close = strchr(p, '"');
    if (!close) return true;
    for (++close; isBlank(*close); ++close) {
    }
    return *close == 0;
}

// Copies the inside of a double-quoted value (p just after the opening quote) into value, at most
// capacity characters; the next double quote ends it (there are no escapes, so a backslash at the
// end of a Windows path stays a backslash). An unclosed quote runs to the end.
void readQuoted(const char* p, char* value, int capacity) {
    int n = 0;
    for (; *p && *p != '"'; ++p) {
        if (n < capacity) value[n++] = *p;
    }
    value[n] = 0;
}

bool lockedOut(stQzSv* sv, const char* name) {
    if (!sv->cmd.locked) return false;
    svMsg(sv, "Setting access ignored due to locked config mode [%s]", name);
    return true;
}

// The registry row whose storage is value, so that rules and secrecy also hold for callers that
// reach the routines directly (the WebTool, the agent library).
const SettingRow* rowFor(stQzSv* sv, const char* name, const void* value) {
    const SettingRow* row = settingFind(name);
    if (!row) return nullptr;
    const void* storage = reinterpret_cast<char*>(sv) + row->offset;
    return storage == value ? row : nullptr;
}

// Assigns the integer in v (already past the word); see sv_set_i for the result.
int assignInt(stQzSv* sv, const char* name, const char* v, int* value, int lo, int hi) {
    while (isBlank(*v) || *v == '"') v++;
    if (!*v) return 0;
    int n = 0;
    if (!readInt(v, &n)) {
        svMsg(sv, "%s: \"%s\" is not a number; value kept", name, v);
        return -1;
    }
    if (n < lo || n > hi) {
        svMsg(sv, "%s: %d is outside %d to %d; value kept", name, n, lo, hi);
        return -1;
    }
    *value = n;
    return 1;
}

// Finds the field "name=" of a form: the name at the start of a line, followed by "=" (blanks
// between allowed). Matching at line starts only keeps qz_sv_HttpMaps from taking the value of a
// qz_sv_HttpMapsPath line. An empty name is the start of the text.
const char* formField(const char* form, const char* name) {
    if (!name || !*name) return form;
    int n = slen(name);
    for (const char* at = svFindNoCase(form, name); at; at = svFindNoCase(at + 1, name)) {
        bool lineStart = at == form || at[-1] == '\n' || at[-1] == '\r';
        const char* p = at + n;
        while (isBlank(*p)) p++;
        if (lineStart && *p == '=') return at;
    }
    return nullptr;
}

// Steps shared by the form readers: the field copied into work (at most 255 characters), and
// the position of its "=" in work. False when the field or its "=" is missing.
bool formCopy(const char* form, const char* name, char (&work)[256], char** eq) {
    if (!form) return false;
    const char* at = formField(form, name);
    if (!at) return false;
    trcpyz(work, at, qz::cap(work) - 1);
    *eq = strchr(work, '=');
    return *eq != nullptr;
}

// Six hexadecimal digits, the HTML colour without its "#".
bool colourOk(const char* text) {
    int n = 0;
    for (; text[n]; ++n) {
        char c = text[n];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return n == 6;
}

bool cmdSafeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/';
}

}  // namespace

const SettingRow* settingFind(const char* word) {
    const CmdRow* command = nullptr;
    const SettingRow* setting = nullptr;
    lookupWord(word, &command, &setting);
    return setting;
}

char* settingText(stQzSv* sv, const SettingRow* row) {
    return reinterpret_cast<char*>(sv) + row->offset;
}

int* settingInt(stQzSv* sv, const SettingRow* row) {
    return reinterpret_cast<int*>(reinterpret_cast<char*>(sv) + row->offset);
}

bool settingInMainFile(const SettingRow* row) {
    return !(row->flags & (SETF_NOWRITE | SETF_UNLISTED | SETF_LOGCFG | SETF_SECTION));
}

void settingRun(stQzSv* sv, const SettingRow* row, char* line) {
    switch (row->kind) {
        case SET_TEXT:
            sv_set_s(sv, const_cast<char*>(row->name), line, settingText(sv, row), row->capacity,
                     row->flags & SETF_SECRET);
            break;
        case SET_INT: sv_set_i(sv, row->name, line, settingInt(sv, row), row->lo, row->hi); break;
        case SET_YESNO: sv_set_b(sv, row->name, line, settingInt(sv, row)); break;
    }
}

void settingsDefaults(stQzSv* sv) {
    for (int i = 0; i < kSettingAll; ++i) {
        const SettingRow* row = &kSettingTable[i];
        if (row->kind == SET_TEXT) {
            trcpyz(settingText(sv, row), row->defText ? row->defText : "", row->capacity);
        } else {
            *settingInt(sv, row) = row->defInt;
        }
    }
}

// The value is taken as typed to the end of the line unless it starts with a double quote;
// trailing blanks were already dropped by the dispatcher. A text longer than the capacity is
// cut, not refused.
extern "C" __attribute__((visibility("default"))) void sv_set_s(stQzSv* sv, char* name, char* line,
                                                                char* value, int capacity,
                                                                int flag) {
    if (!sv || !name || !line || !value || capacity < 0) return;
    if (lockedOut(sv, name)) return;
    const SettingRow* row = rowFor(sv, name, value);
    const char* v = valueStart(line);
    if (*v) {
        // Colours are read aside first so that a refused one leaves the old value.
        char colour[8];
        bool isColour = row && (row->flags & SETF_COLOUR) && capacity < qz::cap(colour);
        char* into = isColour ? colour : value;
        // A text value never holds a double quote: configuration files write values inside
        // quotes without escapes, so a quote would end the value early when the file is loaded.
        bool quoteInside = *v == '"' ? !quotedValueOk(v + 1) : strchr(v, '"') != nullptr;
        if (quoteInside) {
            svMsg(sv, "%s: a value cannot hold a double quote; value kept", name);
            return;
        }
        if (*v == '"') {
            readQuoted(v + 1, into, capacity);
        } else {
            trcpyz(into, v, capacity);
            // Blanks at the end of an unquoted value are dropped, as the console line's are, so
            // that the WebTool's forms and the console give the same value.
            int n = slen(into);
            while (n > 0 && isBlank(into[n - 1])) into[--n] = 0;
        }
        // A value is one line. A line end that reached it (a console line holding one) would
        // split the written configuration line in two, and the second half would run as a
        // command of its own at the next load.
        into[strcspn(into, "\r\n")] = 0;
        if (isColour) {
            if (!colourOk(colour)) {
                svMsg(sv, "%s: \"%s\" is not six hexadecimal digits; value kept", name, colour);
                return;
            }
            trcpyz(value, colour, capacity);
        }
        if (row && row->changed) row->changed(sv, row);
    }
    bool secret = (flag & SETF_SECRET) || (row && (row->flags & SETF_SECRET));
    svMsg(sv, "%s = %s", name, secret && *value ? "*****" : value);
}

int sv_set_i(stQzSv* sv, const char* name, const char* line, int* value, int lo, int hi) {
    if (!sv || !name || !line || !value) return -1;
    if (lockedOut(sv, name)) return -1;
    int result = assignInt(sv, name, valueStart(line), value, lo, hi);
    if (result < 0) return result;
    if (result > 0) {
        const SettingRow* row = rowFor(sv, name, value);
        if (row && row->changed) row->changed(sv, row);
    }
    svMsg(sv, "%s = %d (%d to %d)", name, *value, lo, hi);
    return result;
}

int sv_set_b(stQzSv* sv, const char* name, const char* line, int* value) {
    if (!sv || !name || !line || !value) return -1;
    if (lockedOut(sv, name)) return -1;
    int result = assignInt(sv, name, valueStart(line), value, 0, 1);
    if (result < 0) return result;
    svMsg(sv, "%s = %d (0=No, 1=Yes)", name, *value);
    return result;
}

int sv_form_s(stQzSv* sv, const char* form, const char* name, char* value, int capacity,
              int assign) {
    if (!value || capacity < 0) return 0;
    char work[256];
    char* eq = nullptr;
    if (!formCopy(form, name, work, &eq)) return 0;
    *eq = ' ';
    char* end = eq;
    while (*end && *end != '\r' && *end != '\n') end++;
    *end = 0;
    const char* v = eq;
    while (isBlank(*v)) v++;
    // An empty field means the empty text, which a setting line spells "".
    if (!*v) QZ_TRACAT(work, "\"\"");
    if (assign) {
        sv_set_s(sv, const_cast<char*>(name ? name : ""), work, value, capacity, 0);
    } else {
        v = eq;
        while (isBlank(*v)) v++;
        trcpyz(value, v, capacity);
    }
    return 1;
}

int sv_form_i(stQzSv* sv, const char* form, const char* name, int* value, int lo, int hi) {
    char work[256];
    char* eq = nullptr;
    if (!formCopy(form, name, work, &eq)) return 0;
    *eq = ' ';
    sv_set_i(sv, name ? name : "", work, value, lo, hi);
    return 1;
}

// The screenshot command names a program the module runs, so it must stay inside the home
// directory: a leading "qz/" (the home directory named from the game's directory) is dropped,
// and a name that is absolute, climbs with "..", or holds anything but letters, digits and
// "._-/" is cut to its last path component (or emptied when that is unsafe too).
void settingSsCmdRule(stQzSv* sv, const SettingRow* row) {
    char* value = settingText(sv, row);
    if (!*value) return;
    char kept[256];
    const char* from = trncasecmp(value, "qz/", 3) == 0 ? value + 3 : value;
    QZ_COPY(kept, from);
    bool safe = homeNameOk(kept);
    for (const char* p = kept; safe && *p; ++p) safe = cmdSafeChar(*p);
    if (!safe) {
        const char* last = strrchr(value, '/');
        QZ_COPY(kept, last ? last + 1 : value);
        bool ok = homeNameOk(kept) && strcmp(kept, "..") != 0 && strcmp(kept, ".") != 0;
        for (const char* p = kept; ok && *p; ++p) ok = cmdSafeChar(*p);
        if (!ok) kept[0] = 0;
    }
    if (strcmp(kept, value) == 0) return;
    trcpyz(value, kept, row->capacity);
    svMsg(sv, "Setting qz_sv_sscmd value override [%s]", value);
}

// The game server enforces the GUID age itself through "sv_minguidage"; 0 switches it off.
void settingMinGuidAge(stQzSv* sv, const SettingRow* row) {
    int age = *settingInt(sv, row);
    svHost(sv, "Cvar_Set", "%s %d", "sv_minguidage", age);
    if (age == 0) svMsg(sv, "Min GUID Age is disabled");
}
