// Masking of secrets in command lines. The rows decide what is secret: a setting row with
// SETF_SECRET hides its value, a command row with cmdfSecretFrom(n) hides its arguments from the
// nth on and a row with cmdfLineFrom(n) is looked into from its nth argument as a line of its own;
// the game's words (its password variables and the commands that set a variable or carry a
// command line) are rows of kGameWords below. So a new secret, or a new command that carries a
// line, is one flag in a table.
#include "commands/secrets.h"

#include <cstring>

#include "commands/lookup.h"
#include "commands/settings.h"
#include "commands/table.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// What the masking knows about a word of the game's own console language.
struct GameWord {
    const char* name;
    int secretFrom;  // first secret argument (1 = the first); 0: none
    int lineFrom;    // argument from which the rest is a command line; 0: none
    bool assigns;    // "set NAME VALUE": the value is secret when NAME is, else a command line
};

// The game's password variables are assigned by typing their name and value; "set", "seta",
// "sets" and "setu" assign any variable (a module setting included); a variable's value may be a
// command line run later with "vstr", and so is a key's binding; "rcon" hands the rest to the
// server's console; a power player's "QZ_RCON" packet carries a command line.
const GameWord kGameWords[] = {
    {"rconpassword", 1, 0, false},
    {"rcon_password", 1, 0, false},
    {"sv_privatePassword", 1, 0, false},
    {"g_password", 1, 0, false},
    {"refereePassword", 1, 0, false},
    {"set", 0, 0, true},
    {"seta", 0, 0, true},
    {"sets", 0, 0, true},
    {"setu", 0, 0, true},
    {"rcon", 0, 1, false},
    {"bind", 0, 2, false},
    {"QZ_RCON", 0, 1, false},
};

// Lines inside lines are looked into this deep; a deeper one is masked whole past its word.
constexpr int kMaxDepth = 4;

struct Rule {
    bool known;
    int secretFrom;
    int lineFrom;
    bool assigns;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The end of the argument that starts at p (before end): a double-quoted text or a word.
const char* argEnd(const char* p, const char* end) {
    if (p < end && *p == '"') {
        p++;
        while (p < end && *p != '"') p++;
        return p < end ? p + 1 : p;
    }
    while (p < end && !isBlank(*p)) p++;
    return p;
}

// The end of the command that starts at p: the first ";" outside double quotes, or end.
const char* commandEnd(const char* p, const char* end) {
    bool quoted = false;
    for (; p < end; ++p) {
        if (*p == '"') quoted = !quoted;
        if (*p == ';' && !quoted) return p;
    }
    return end;
}

const GameWord* gameWord(const char* word) {
    for (const GameWord& g : kGameWords) {
        if (trcasecmp(g.name, word) == 0) return &g;
    }
    return nullptr;
}

// The word [p, e) without its quotes and without the "/" or "\" a game console allows before a
// command, bounded.
void wordOf(const char* p, const char* e, char (&out)[128]) {
    if (p < e && (*p == '/' || *p == '\\')) p++;
    if (p < e && *p == '"') {
        p++;
        if (e > p && e[-1] == '"') e--;
    }
    int n = static_cast<int>(e - p);
    trcpyz(out, p, n < qz::cap(out) - 1 ? n : qz::cap(out) - 1);
}

Rule ruleOf(const char* word) {
    Rule r{false, 0, 0, false};
    int used = 0;
    if (directiveFind(word, &used)) r.known = true;
    const CmdRow* row = nullptr;
    const SettingRow* setting = nullptr;
    lookupWord(word, &row, &setting);
    if (row) {
        r.known = true;
        r.secretFrom = (row->flags >> CMDF_SECRET_SHIFT) & 15;
        r.lineFrom = (row->flags >> CMDF_LINE_SHIFT) & 15;
    } else if (setting) {
        r.known = true;
        if (setting->flags & SETF_SECRET) r.secretFrom = 1;
    } else if (const GameWord* g = gameWord(word)) {
        r = Rule{true, g->secretFrom, g->lineFrom, g->assigns};
    }
    return r;
}

// True when a variable of this name holds a secret (a secret setting or a game password).
bool secretVariable(const char* word) {
    const CmdRow* row = nullptr;
    const SettingRow* setting = nullptr;
    lookupWord(word, &row, &setting);
    if (setting) return (setting->flags & SETF_SECRET) != 0;
    const GameWord* g = gameWord(word);
    return g && g->secretFrom == 1 && !g->assigns && !g->lineFrom;
}

// The bounded output; a line that does not fit is cut (the masks are written before what
// follows them, so a cut never shows a secret).
struct Out {
    char* p;
    int size;
    int len;
    void put(const char* text, int n) {
        while (n-- > 0 && len < size - 1) p[len++] = *text++;
        p[len] = 0;
    }
    void put(const char* text) { put(text, slen(text)); }
};

bool maskLine(const char* p, const char* end, Out& o, int depth);

// Masks one command [p, end) (no ";" outside quotes in it). True when a secret was masked: the
// rest of the enclosing line is then left out.
bool maskCommand(const char* p, const char* end, Out& o, int depth) {
    const char* copied = p;
    while (p < end && isBlank(*p)) p++;
    const char* wordEnd = argEnd(p, end);
    char word[128];
    wordOf(p, wordEnd, word);
    Rule rule = ruleOf(word);
    if (!rule.known || (!rule.secretFrom && !rule.lineFrom && !rule.assigns)) {
        o.put(copied, static_cast<int>(end - copied));
        return false;
    }
    const char* at = wordEnd;  // end of the last argument walked
    for (int arg = 1;; ++arg) {
        const char* start = at;
        while (start < end && isBlank(*start)) start++;
        if (start >= end) break;
        const char* stop = argEnd(start, end);
        if (rule.assigns && arg == 1) {
            char name[128];
            wordOf(start, stop, name);
            if (secretVariable(name)) {
                rule.secretFrom = 2;
            } else {
                rule.lineFrom = 2;
            }
        }
        if (arg == rule.secretFrom || (arg == rule.lineFrom && depth >= kMaxDepth)) {
            o.put(copied, static_cast<int>(at - copied));
            o.put(" ");
            o.put(QZ_SECRET_SHOWN);
            return true;
        }
        if (arg == rule.lineFrom) {
            o.put(copied, static_cast<int>(start - copied));
            const char* last = end;
            while (last > start && isBlank(last[-1])) last--;
            // One quoted argument is a line inside its quotes.
            if (*start == '"' && stop == last && last - start >= 2 && last[-1] == '"') {
                o.put("\"");
                bool hid = maskLine(start + 1, last - 1, o, depth + 1);
                o.put("\"");
                return hid;
            }
            return maskLine(start, end, o, depth + 1);
        }
        at = stop;
    }
    o.put(copied, static_cast<int>(end - copied));
    return false;
}

bool maskLine(const char* p, const char* end, Out& o, int depth) {
    while (p < end) {
        const char* stop = commandEnd(p, end);
        if (maskCommand(p, stop, o, depth)) return true;
        if (stop >= end) break;
        o.put(";", 1);
        p = stop + 1;
    }
    return false;
}

}  // namespace

const char* cmdMaskSecrets(const char* line, char* out, int size) {
    if (size <= 0) return out;
    out[0] = 0;
    if (!line) return out;
    Out o{out, size, 0};
    maskLine(line, line + strlen(line), o, 0);
    return out;
}

bool cmdMaskKnows(const char* line) {
    if (!line) return false;
    const char* p = line;
    const char* end = line + strlen(line);
    while (p < end && isBlank(*p)) p++;
    const char* stop = argEnd(p, commandEnd(p, end));
    char word[128];
    wordOf(p, stop, word);
    return word[0] && ruleOf(word).known;
}
