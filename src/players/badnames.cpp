// The bad-name list: texts that no player name may contain, each with the grace period a player
// gets to change his name. The commands qz_sv_BadName, qz_sv_BadNameList, qz_sv_BadNameDel and
// qz_sv_BadNameEmpty, the search findBadName, and the list's section of the configuration file.
#include <cstdlib>
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/names.h"
#include "util/text.h"

namespace {

char upperCh(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

unsigned bigram(char a, char b) {
    return (static_cast<unsigned char>(a) * 131u + static_cast<unsigned char>(b)) &
           (QZ_BADNAME_BUCKETS - 1);
}

// Rebuilds the bigram index after the list changed. The list changes only by command, never per
// frame, and a thousand entries take microseconds. On allocation failure the index is dropped
// and the search falls back to visiting every entry.
void reindex(stNames& nm) {
    const int n = nm.badNames.count;
    if (!nm.head) nm.head = static_cast<int*>(malloc(sizeof(int) * QZ_BADNAME_BUCKETS));
    if (n > nm.nextCap) {
        int cap = nm.nextCap ? nm.nextCap : 64;
        while (cap < n) cap *= 2;
        int* grown = static_cast<int*>(realloc(nm.next, sizeof(int) * static_cast<size_t>(cap)));
        if (grown) {
            nm.next = grown;
            nm.nextCap = cap;
        }
    }
    if (!nm.head || nm.nextCap < n) {
        free(nm.head);
        nm.head = nullptr;
        return;
    }
    memset(nm.head, 0, sizeof(int) * QZ_BADNAME_BUCKETS);
    nm.single = 0;
    // Filled backwards so that each chain runs in list order.
    for (int i = n - 1; i >= 0; --i) {
        const stBadName* e = static_cast<const stBadName*>(flexarAt(&nm.badNames, i));
        nm.next[i] = 0;
        if (!e->text[0]) continue;
        if (!e->text[1]) {
            nm.next[i] = nm.single;
            nm.single = i + 1;
        } else {
            unsigned b = bigram(e->text[0], e->text[1]);
            nm.next[i] = nm.head[b];
            nm.head[b] = i + 1;
        }
    }
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A whole-word decimal number of at most 9 digits, optionally negative.
bool readNumber(const char* word, int* value) {
    const char* p = word + (*word == '-');
    if (!*p || slen(p) > 9) return false;
    for (const char* q = p; *q; ++q)
        if (*q < '0' || *q > '9') return false;
    *value = atoi(word);
    return true;
}

// Copies text without leading and trailing blanks, and without the double quotes it may be
// written in, into out (at most size-1 bytes); returns the full trimmed length, so a caller sees
// that it was cut.
int trimCopy(char* out, int size, const char* text) {
    while (isBlank(*text)) text++;
    int n = slen(text);
    while (n > 0 && isBlank(text[n - 1])) n--;
    if (n >= 2 && text[0] == '"' && text[n - 1] == '"') {
        text++;
        n -= 2;
    }
    trcpyz(out, text, n < size - 1 ? n : size - 1);
    return n;
}

}  // namespace

int nmBadNameSearch(stQzSv* sv, const char* upper) {
    stNames& nm = sv->names;
    if (!nm.badNames.count) return -1;
    if (!nm.head) {
        for (int i = 0; i < nm.badNames.count; ++i) {
            const stBadName* e = static_cast<const stBadName*>(flexarAt(&nm.badNames, i));
            if (e->text[0] && strstr(upper, e->text)) return i;
        }
        return -1;
    }
    // Every entry that can occur starts at some position of the name with its first two
    // characters; the earliest entry in list order among the matches wins.
    int best = -1;
    for (int k = nm.single; k; k = nm.next[k - 1]) {
        const stBadName* e = static_cast<const stBadName*>(flexarAt(&nm.badNames, k - 1));
        if (strchr(upper, e->text[0])) {
            best = k - 1;
            break;
        }
    }
    for (int pos = 0; upper[pos] && upper[pos + 1]; ++pos) {
        for (int k = nm.head[bigram(upper[pos], upper[pos + 1])]; k; k = nm.next[k - 1]) {
            if (best >= 0 && k - 1 >= best) break;  // chains run in list order
            const stBadName* e = static_cast<const stBadName*>(flexarAt(&nm.badNames, k - 1));
            if (!strncmp(upper + pos, e->text, strlen(e->text))) {
                best = k - 1;
                break;
            }
        }
    }
    return best;
}

int findBadName(stQzSv* sv, const char* name) {
    char upper[32];
    QZ_COPY(upper, noColor(name ? name : ""));
    for (char* p = upper; *p; ++p) *p = upperCh(*p);
    return nmBadNameSearch(sv, upper);
}

int nmBadNameCount(stQzSv* sv) { return sv->names.badNames.count; }

const stBadName* nmBadNameAt(stQzSv* sv, int i) {
    return static_cast<const stBadName*>(flexarAt(&sv->names.badNames, i));
}

// qz_sv_BadName [grace seconds] [banned text]. A missing grace (the first word is not a number)
// means 0 and the whole argument is the text. An entry already listed that occurs in the new
// text takes the new grace instead of a new entry being added.
void cmd_badname(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    while (isBlank(*p)) p++;
    char word[16];
    int w = 0;
    while (p[w] && !isBlank(p[w]) && w < qz::cap(word) - 1) {
        word[w] = p[w];
        w++;
    }
    word[w] = 0;
    int grace = 0;
    if (!isBlank(p[w]) && p[w]) w = 0;  // a longer first word is text
    if (w && readNumber(word, &grace)) p += w;
    char text[256];
    int length = trimCopy(text, qz::cap(text), p);
    if (!text[0]) {
        svMsg(sv, "Invalid (Empty) Bad Name Specified");
        return;
    }
    char upper[256];
    QZ_COPY(upper, text);
    for (char* q = upper; *q; ++q) *q = upperCh(*q);
    stNames& nm = sv->names;
    for (int i = 0; i < nm.badNames.count; ++i) {
        stBadName* e = static_cast<stBadName*>(flexarAt(&nm.badNames, i));
        if (e->text[0] && strstr(upper, e->text)) {
            e->grace = grace;
            svMsg(sv, "Updated Bad Name: \"%s\" Grace=%d", e->text, grace);
            nmRecheckAll(sv);
            return;
        }
    }
    // Outside text also reaches the configuration file: a text with a control byte, a comment
    // mark or more characters than a name can hold would not read back as written.
    bool unsafe = length > QZ_NAME_TEXT || strstr(upper, "//");
    for (const char* q = upper; *q; ++q) unsafe = unsafe || static_cast<unsigned char>(*q) < 32;
    stBadName e{};
    e.grace = grace;
    QZ_COPY(e.text, upper);
    if (!nm.badNames.elemSize) nm.badNames = flexarMake(sizeof(stBadName), 16);
    if (unsafe || !flexarAppend(&nm.badNames, &e)) {
        svMsg(sv, "ERROR Attempting to Add Bad Name");
        return;
    }
    reindex(nm);
    svMsg(sv, "Added Bad Name: \"%s\" Grace=%d", e.text, grace);
    nmRecheckAll(sv);
}

void cmd_badnamelist(stQzSv* sv, const CmdCall&) {
    stNames& nm = sv->names;
    svCon(sv, "Slot: Grace Filter");
    for (int i = 0; i < nm.badNames.count; ++i) {
        const stBadName* e = nmBadNameAt(sv, i);
        if (e->text[0]) {
            svCon(sv, "%d: %d \"%s\"", i + 1, e->grace, e->text);
        } else {
            svCon(sv, "%d: %d *DELETED*", i + 1, e->grace);
        }
    }
    int n = nm.badNames.count;
    svCon(sv, "End of Bad Name List (%d BadName%s)", n, n == 1 ? "" : "s");
}

// qz_sv_BadNameDel [slot #]. An entry already deleted counts as an invalid slot.
void cmd_badnamedel(stQzSv* sv, const CmdCall& call) {
    const char* p = call.args;
    while (isBlank(*p)) p++;
    char word[16];
    trimCopy(word, qz::cap(word), p);
    int slot = 0;
    stBadName* e = nullptr;
    if (readNumber(word, &slot))
        e = static_cast<stBadName*>(flexarAt(&sv->names.badNames, slot - 1));
    if (!e || !e->text[0]) {
        svMsg(sv, "Invalid Slot# Specified");
        return;
    }
    char text[QZ_NAME_TEXT + 1];
    QZ_COPY(text, e->text);
    e->text[0] = 0;
    reindex(sv->names);
    svMsg(sv, "BadName Deleted: %d \"%s\"", slot, text);
}

void cmd_badnameempty(stQzSv* sv, const CmdCall&) {
    flexarFree(&sv->names.badNames);
    sv->names.badNames = flexarMake(sizeof(stBadName), 16);
    reindex(sv->names);
    svMsg(sv, "Bad Name List (in Memory) has been Emptied");
}
