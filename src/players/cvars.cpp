// The cvar range check list: qz_sv_Cvar, qz_sv_CvarList, qz_sv_CvarDel, qz_sv_CvarEmpty, the
// rule that decides whether a value passes a check, and the list's lines in the configuration
// file.
#include "players/cvars.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "commands/atomic_file.h"
#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Takes the next word (a double-quoted text may hold blanks) into out; false when the word does
// not fit or a quote is not closed. p moves past the word.
bool nextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    int n = 0;
    bool fits = true;
    if (*p == '"') {
        p++;
        while (*p && *p != '"') {
            if (n < size - 1)
                out[n++] = *p;
            else
                fits = false;
            p++;
        }
        if (*p != '"')
            fits = false;
        else
            p++;
    } else {
        while (*p && !isBlank(*p)) {
            if (n < size - 1)
                out[n++] = *p;
            else
                fits = false;
            p++;
        }
    }
    out[n] = 0;
    return fits;
}

// A cvar name: printable, no blanks or quotes, not empty.
bool validName(const char* name) {
    if (!*name) return false;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 32 || c == 127 || c == '"' || c == ';') return false;
    }
    return true;
}

// A check text: printable, no double quote (it is written back between quotes), not empty.
bool validText(const char* text) {
    if (!*text) return false;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 32 || c == 127 || c == '"') return false;
    }
    return true;
}

// A decimal number as written in a check: the whole word must be the number. decimals gets the
// digits after its decimal point.
bool readBound(const char* word, double* out, int* decimals) {
    if (!*word || slen(word) > 40) return false;
    char* end = nullptr;
    double v = strtod(word, &end);
    if (*end || !std::isfinite(v)) return false;
    // Hexadecimal and exponent forms are refused: a bound is printed back as it was written.
    for (const char* p = word; *p; ++p) {
        if (!((*p >= '0' && *p <= '9') || *p == '.' || *p == '-' || *p == '+')) return false;
    }
    const char* dot = strchr(word, '.');
    *decimals = dot ? slen(dot + 1) : 0;
    *out = v;
    return true;
}

flexar& list(stQzSv* sv) {
    flexar& a = sv->cvars.checks;
    if (a.elemSize != static_cast<int>(sizeof(stCvarCheck))) {
        a = flexarMake(static_cast<int>(sizeof(stCvarCheck)), 16);
    }
    return a;
}

stCvarCheck* checkAt(stQzSv* sv, int index) {
    return static_cast<stCvarCheck*>(flexarAt(&list(sv), index));
}

bool numeric(int type) { return type == QZ_CV_IN || type == QZ_CV_OUT; }

// "LOW HIGH" of a numeric check, each with the check's precision.
void bounds(const stCvarCheck* c, char* low, char* high, int size) {
    cvarFormatBound(low, size, c->low, c->decimals);
    cvarFormatBound(high, size, c->high, c->decimals);
}

// The place of the name index that holds name's chain, or the free place where it would go.
int indexPlace(stQzSv* sv, const char* name) {
    const stCvars& C = sv->cvars;
    unsigned at = trcasehash(name) & (QZ_CVAR_INDEX - 1);
    for (int probe = 0; probe < QZ_CVAR_INDEX; ++probe, at = (at + 1) & (QZ_CVAR_INDEX - 1)) {
        int first = C.byName[at];
        if (!first || trcasecmp(checkAt(sv, first - 1)->name, name) == 0) {
            return static_cast<int>(at);
        }
    }
    return -1;  // never: the index has twice as many places as the list has positions
}

// Chains the check just appended at position at under its name.
void indexAdd(stQzSv* sv, int at) {
    stCvars& C = sv->cvars;
    int place = indexPlace(sv, checkAt(sv, at)->name);
    if (place < 0) return;
    C.sameName[at] = 0;
    if (!C.byName[place]) {
        C.byName[place] = static_cast<short>(at + 1);
        return;
    }
    int last = C.byName[place] - 1;
    while (C.sameName[last]) last = C.sameName[last] - 1;
    C.sameName[last] = static_cast<short>(at + 1);
}

void indexClear(stQzSv* sv) {
    memset(sv->cvars.byName, 0, sizeof sv->cvars.byName);
    memset(sv->cvars.sameName, 0, sizeof sv->cvars.sameName);
}

// Every player's range-check pass starts again: list positions may now name other checks.
void restartPasses(stQzSv* sv) {
    for (stCvarSlot& s : sv->cvars.slot) s.cursor = -1;
}

}  // namespace

const char* cvarTypeName(int type) {
    switch (type) {
        case QZ_CV_IN: return "IN";
        case QZ_CV_OUT: return "OUT";
        case QZ_CV_INCLUDE: return "INCLUDE";
        case QZ_CV_EXCLUDE: return "EXCLUDE";
        default: return "???";
    }
}

void cvarFormatBound(char* out, int size, double bound, int decimals) {
    int d = decimals < 0 ? 0 : decimals > QZ_CVAR_DECIMALS_MAX ? QZ_CVAR_DECIMALS_MAX : decimals;
    char format[16];
    QZ_TRF(format, "%%.%dlf", d);
    trf(out, size, format, bound);
}

bool cvarParse(const char* args, stCvarCheck* out) {
    memset(out, 0, sizeof *out);
    const char* p = args ? args : "";
    char type[16];
    if (!nextWord(p, out->name, qz::cap(out->name)) || !validName(out->name)) return false;
    if (!nextWord(p, type, qz::cap(type))) return false;
    if (!trcasecmp(type, "in"))
        out->type = QZ_CV_IN;
    else if (!trcasecmp(type, "out"))
        out->type = QZ_CV_OUT;
    else if (!trcasecmp(type, "include"))
        out->type = QZ_CV_INCLUDE;
    else if (!trcasecmp(type, "exclude"))
        out->type = QZ_CV_EXCLUDE;
    else
        return false;
    if (numeric(out->type)) {
        char low[48], high[48];
        int d1 = 0, d2 = 0;
        if (!nextWord(p, low, qz::cap(low)) || !nextWord(p, high, qz::cap(high))) return false;
        if (!readBound(low, &out->low, &d1) || !readBound(high, &out->high, &d2)) return false;
        // A range whose ends are swapped would refuse (or admit) every value.
        if (out->low > out->high) return false;
        int d = d1 > d2 ? d1 : d2;
        out->decimals = d > QZ_CVAR_DECIMALS_MAX ? QZ_CVAR_DECIMALS_MAX : d;
    } else {
        while (isBlank(*p)) p++;
        if (*p == '"') {
            if (!nextWord(p, out->text, qz::cap(out->text))) return false;
        } else {
            int n = slen(p);
            while (n > 0 && isBlank(p[n - 1])) n--;
            if (n >= qz::cap(out->text)) return false;
            trcpyz(out->text, p, n);
            p += n;
        }
        if (!validText(out->text)) return false;
    }
    while (isBlank(*p)) p++;
    return *p == 0;
}

bool cvarPasses(const stCvarCheck* check, const char* value) {
    const char* v = value ? value : "";
    switch (check->type) {
        case QZ_CV_IN:
        case QZ_CV_OUT: {
            char* end = nullptr;
            double x = strtod(v, &end);
            if (end == v) x = 0;  // the game reads a value without a number as 0
            if (std::isnan(x)) return false;
            bool inside = x >= check->low && x <= check->high;
            return check->type == QZ_CV_IN ? inside : !inside;
        }
        case QZ_CV_INCLUDE: return svFindNoCase(v, check->text) != nullptr;
        case QZ_CV_EXCLUDE: return svFindNoCase(v, check->text) == nullptr;
        default: return true;
    }
}

// qz_sv_Cvar [Cvar name] [type] [range]
void cmd_cvar(stQzSv* sv, const CmdCall& call) {
    stCvarCheck check;
    if (!cvarParse(call.args, &check)) {
        svMsg(sv, "Unable to Add Cvar Check - Invalid Specification: %s", call.args);
        return;
    }
    flexar& a = list(sv);
    if (a.count >= QZ_CVAR_CHECKS_MAX || !flexarAppend(&a, &check)) {
        svMsg(sv, "Unable to Add Cvar Check - Memory Allocation Error");
        return;
    }
    indexAdd(sv, a.count - 1);
    if (numeric(check.type)) {
        char low[64], high[64];
        bounds(&check, low, high, qz::cap(low));
        svMsg(sv, "Cvar Check Added: %s %s %s %s", check.name, cvarTypeName(check.type), low, high);
    } else {
        svMsg(sv, "Cvar Check Added: %s %s \"%s\"", check.name, cvarTypeName(check.type),
              check.text);
    }
}

// qz_sv_CvarList
void cmd_cvarlist(stQzSv* sv, const CmdCall&) {
    int listed = 0;
    for (int i = 0; i < list(sv).count; ++i) {
        const stCvarCheck* c = checkAt(sv, i);
        if (c->deleted) continue;
        listed++;
        if (numeric(c->type)) {
            char low[64], high[64];
            bounds(c, low, high, qz::cap(low));
            svCon(sv, "%d: \"%s\" %s %s %s", i + 1, c->name, cvarTypeName(c->type), low, high);
        } else {
            svCon(sv, "%d: \"%s\" %s \"%s\"", i + 1, c->name, cvarTypeName(c->type), c->text);
        }
    }
    svCon(sv, "End of Cvar Range Check List (%d listed)", listed);
}

// qz_sv_CvarDel [Cvar slot #]
void cmd_cvardel(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    char* end = nullptr;
    long n = strtol(p, &end, 10);
    bool number = end != p && (*end == 0 || isBlank(*end));
    int slot = number && n > 0 && n <= QZ_CVAR_CHECKS_MAX ? static_cast<int>(n) : 0;
    stCvarCheck* c = slot ? checkAt(sv, slot - 1) : nullptr;
    if (!c) {
        svMsg(sv, "Invalid Cvar Slot #%d Specified",
              number && n >= -99999 && n <= 99999 ? static_cast<int>(n) : 0);
        return;
    }
    if (c->deleted) {
        svMsg(sv, "Cvar Slot #%d has already been Deleted", slot);
        return;
    }
    c->deleted = 1;
    svMsg(sv, "Cvar Slot #%d (%s) Deleted from Memory", slot, c->name);
}

// qz_sv_CvarEmpty
void cmd_cvarempty(stQzSv* sv, const CmdCall&) {
    flexarFree(&list(sv));
    sv->cvars.checks = flexarMake(static_cast<int>(sizeof(stCvarCheck)), 16);
    indexClear(sv);
    sv->cvars.gen++;
    restartPasses(sv);
    svMsg(sv, "Cvar List (in Memory) has been Emptied");
}

void cvarWriteCfg(stQzSv* sv, AtomicFile& out) {
    out.text("qz_sv_cvarempty\r\n");
    for (int i = 0; i < list(sv).count; ++i) {
        const stCvarCheck* c = checkAt(sv, i);
        if (c->deleted) continue;
        if (numeric(c->type)) {
            char low[64], high[64];
            bounds(c, low, high, qz::cap(low));
            out.put("qz_sv_cvar \"%s\" %s %s %s\r\n", c->name, cvarTypeName(c->type), low, high);
        } else {
            out.put("qz_sv_cvar \"%s\" %s \"%s\"\r\n", c->name, cvarTypeName(c->type), c->text);
        }
    }
}

const stCvarCheck* cvarCheckAt(stQzSv* sv, int index) {
    const stCvarCheck* c = checkAt(sv, index);
    return c && !c->deleted ? c : nullptr;
}

int cvarCheckCount(stQzSv* sv) { return list(sv).count; }

int cvarFirstOfName(stQzSv* sv, const char* name) {
    int place = indexPlace(sv, name ? name : "");
    return place < 0 ? -1 : sv->cvars.byName[place] - 1;
}

int cvarNextOfName(stQzSv* sv, int at) {
    if (at < 0 || at >= QZ_CVAR_CHECKS_MAX) return -1;
    return sv->cvars.sameName[at] - 1;
}

void cvarFree(stQzSv* sv) {
    if (sv->cvars.checks.elemSize) flexarFree(&sv->cvars.checks);
    sv->cvars.checks = flexarMake(static_cast<int>(sizeof(stCvarCheck)), 16);
    indexClear(sv);
}
