// The name rules: every check a player's name passes at connect and at each rename, in one
// order, with the warnings and grace periods of bad and duplicate names, the removals through
// the common violation and restriction reports, and the re-check of the players on the server
// when a rule is added. The order and the reasons are listed in docs/names.md.
#include "players/names.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "players/kick.h"
#include "players/violations.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

char upperCh(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Characters of the name once colour codes are gone, counted without noColor's 31-character cut
// (a 32-character name must still count as 32).
int plainLength(const char* name) {
    int n = 0;
    for (const char* p = name; *p; ++p) {
        if (*p == '^' && p[1] && p[1] != '^') {
            ++p;
            continue;
        }
        n++;
    }
    return n;
}

// The reason a kick carries: "|" would split it into a public and a private part.
void reasonText(char* out, int size, const char* text) {
    trf(out, size, "%s", text);
    for (char* p = out; *p; ++p)
        if (*p == '|') *p = '/';
}

void kickSlot(stQzSv* sv, int slot, const char* reason) {
    char who[8];
    QZ_TRF(who, "%d", slot);
    plKick(sv, who, -1, reason, 1);
}

// A name violation goes through the common report: the log lines (sv_viol.log included) and the
// removal, unless kicking is suspended or the game's authentication is off. Name findings are
// the server's own, numbered 0.
void violation(stQzSv* sv, int slot, int kind, const char* text) {
    char reason[160];
    reasonText(reason, qz::cap(reason), text);
    plViolation(sv, slot, kind, 0, reason, false);
}

// A restriction: the common report, "RESTRICTION: text" as the reason.
void restriction(stQzSv* sv, int slot, const char* text) {
    char reason[160];
    reasonText(reason, qz::cap(reason), text);
    plRestriction(sv, slot, reason);
}

// True when another connected player's name has the same normalised form. Each slot keeps its
// key from its last check, so the test is 63 comparisons, not 63 strippings.
bool duplicateName(stQzSv* sv, int slot, const char* key) {
    if (!key[0]) return false;
    for (int s = 1; s <= QZ_SLOTS; ++s) {
        if (s == slot) continue;
        const Qz_Sv_Client_s* o = plPlayer(sv, s);
        const stNameSlot& other = sv->names.slot[s - 1];
        if (o && other.seq == o->seq && !strcmp(other.key, key)) return true;
    }
    return false;
}

// Seconds left of the player's grace period (0 when it is over).
int graceLeft(const stNameSlot& st, unsigned now) {
    long long left = static_cast<long long>(st.warnGrace) * 1000 - tickElapsed(now, st.warnTick);
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

void warnBadName(stQzSv* sv, int slot, int seconds) {
    svSendClient(sv, slot,
                 "%cThis server is disallowing all or part of your NAME. \r\nYou are required to "
                 "change your NAME within %d seconds.",
                 QZ_MSG_PRINT, seconds);
}

void warnDupName(stQzSv* sv, int slot, int seconds) {
    svSendClient(sv, slot,
                 "%cThis server disallows duplicate player names. \r\nYou are required to change "
                 "your NAME within %d seconds.",
                 QZ_MSG_PRINT, seconds);
}

// Starts (or keeps) a grace period of the given kind.
void startGrace(stNameSlot& st, int kind, int grace, unsigned now) {
    if (st.warn == kind) return;
    st.warn = kind;
    st.warnTick = now;
    st.warnGrace = grace < 0 ? 0 : grace;
}

// Counts a rename; true when the player changed names more than qz_sv_ChangeMax times within the
// last qz_sv_ChangePeriod seconds.
bool tooManyChanges(stQzSv* sv, stNameSlot& st, unsigned now) {
    st.changes[st.changeNext] = now;
    st.changeNext = (st.changeNext + 1) % QZ_NAME_CHANGES;
    if (st.changeCount < QZ_NAME_CHANGES) st.changeCount++;
    const long long period = static_cast<long long>(sv->set.changePeriod) * 1000;
    int recent = 0;
    for (int i = 0; i < st.changeCount; ++i) {
        if (tickElapsed(now, st.changes[i]) < period) recent++;
    }
    return recent > sv->set.changeMax;
}

bool hasExtended(const char* text) {
    for (const char* p = text; *p; ++p)
        if (static_cast<unsigned char>(*p) >= 128) return true;
    return false;
}

// What the rules look at: the name without colour codes, upper-cased, and its normalised key.
struct NameForms {
    char plain[32];
    char upper[32];
    char key[32];
    int length;  // characters without colour codes, uncut
};

// The rules that remove at once, in their order. Returns true when one of them acted.
bool removalRules(stQzSv* sv, int slot, const NameForms& f, bool aliasKept, bool spam) {
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    char text[96];
    if (!sv->set.emptyName && !f.key[0]) {
        kickSlot(sv, slot, "Empty Player Name Disallowed");
    } else if (!strcmp(f.key, "ALL")) {
        kickSlot(sv, slot, "Player Name 'ALL' Disallowed");
    } else if (sv->set.minName > 0 && f.length < sv->set.minName) {
        QZ_TRF(text, "Name Too Short: Min=%d", sv->set.minName);
        kickSlot(sv, slot, text);
    } else if (sv->set.maxName > 0 && f.length > sv->set.maxName) {
        QZ_TRF(text, "Name Too Long: Max=%d", sv->set.maxName);
        kickSlot(sv, slot, text);
    } else if (!sv->set.extChar && hasExtended(f.plain)) {
        restriction(sv, slot, "Bad Name (Extended ASCII Characters)");
    } else if (spam) {
        violation(sv, slot, QZ_V_NAME_SPAM, "Too Many Name Changes");
    } else if (const stNameLock* lock = nullptr; nmLockedOut(sv, f.key, c->guid, &lock)) {
        svMsg(sv, "Locked Player Name Detected with Non-Matching GUID (slot# %d) %s %s", slot,
              c->name, plGuidText(c));
        QZ_TRF(text, "'%s' locked by QZ Admin on this Server", lock->name);
        svSendClient(sv, slot, "%c%s", QZ_MSG_PRINT, text);
        restriction(sv, slot, text);
    } else if (const stProtect* prot = nmProtectFind(sv, f.key);
               prot && !nmRegistered(c, prot->id)) {
        QZ_TRF(text, "Protected Name: %s", prot->match);
        violation(sv, slot, QZ_V_PROTECTED_NAME, text);
    } else if (!aliasKept && sv->set.aliasMaxEnforce) {
        restriction(sv, slot, "Too Many Aliases");
    } else {
        return false;
    }
    return true;
}

// How a name check was started.
enum CheckKind { CHECK_CONNECT, CHECK_RENAME, CHECK_RULES };

// Runs every rule on the player's current name; the first rule that fails acts and ends the
// check. The removals come first, then the two rules that warn and give a grace period. A check
// made because a rule was added (CHECK_RULES) neither records an alias nor counts a name change,
// and leaves a warning already running alone, so re-checks never add warnings. Returns false
// when the player was removed.
bool checkName(stQzSv* sv, int slot, CheckKind why) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return false;
    stNameSlot& st = sv->names.slot[slot - 1];
    NameForms f;
    nmKey(f.key, qz::cap(f.key), c->name);
    QZ_COPY(st.key, f.key);
    if (!sv->enabled || plIsBot(c) || plIsHostPlayer(c)) return true;
    const unsigned now = qzMonoTick();
    QZ_COPY(f.plain, noColor(c->name));
    QZ_COPY(f.upper, f.plain);
    for (char* p = f.upper; *p; ++p) *p = upperCh(*p);
    f.length = plainLength(c->name);

    const bool aliasKept = why == CHECK_RULES || nmTrackAlias(sv, slot);
    const bool spam = why == CHECK_RENAME && tooManyChanges(sv, st, now);
    if (removalRules(sv, slot, f, aliasKept, spam)) return plPlayer(sv, slot) != nullptr;

    if (int bad = nmBadNameSearch(sv, f.upper); bad >= 0) {
        if (why == CHECK_RULES && st.warn == NM_WARN_BADNAME) return true;
        if (st.badWarnings >= QZ_BADNAME_WARNINGS) {
            violation(sv, slot, QZ_V_BADNAMES, "Too Many Bad Name Warnings");
            return plPlayer(sv, slot) != nullptr;
        }
        st.badWarnings++;
        startGrace(st, NM_WARN_BADNAME, nmBadNameAt(sv, bad)->grace, now);
        warnBadName(sv, slot, graceLeft(st, now));
    } else if (duplicateName(sv, slot, f.key)) {
        if (why == CHECK_RULES && st.warn == NM_WARN_DUPNAME) return true;
        startGrace(st, NM_WARN_DUPNAME, sv->set.dupNameGrace, now);
        warnDupName(sv, slot, graceLeft(st, now));
    } else {
        st.warn = NM_WARN_NONE;
    }
    return true;
}

}  // namespace

// FNV-1a over the text from a per-process seed, then splitmix64 to fill the bytes.
void nmDigestKey(const char* text, char (&out)[QZ_DIGEST_KEY]) {
    static uint64_t seed = 0;
    if (!seed) {
        seed = (static_cast<uint64_t>(qzTime()) * 0x9E3779B97F4A7C15ull) ^
               reinterpret_cast<uintptr_t>(&seed) ^ 0xCBF29CE484222325ull;
        seed |= 1;
    }
    uint64_t h = seed;
    for (const char* p = text; *p; ++p) {
        h ^= static_cast<unsigned char>(*p);
        h *= 0x100000001B3ull;
    }
    for (int i = 0; i < QZ_DIGEST_KEY; i += 8) {
        h += 0x9E3779B97F4A7C15ull;
        uint64_t z = h;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int b = 0; b < 8 && i + b < QZ_DIGEST_KEY; ++b) {
            out[i + b] = static_cast<char>(z >> (8 * b));
        }
    }
    out[QZ_DIGEST_KEY - 1] = 1;
}

void nmCleanName(char* out, int size, const char* name) {
    if (size < 1) return;
    int n = 0;
    for (const char* p = name ? name : ""; *p && n < size - 1; ++p) {
        unsigned char ch = static_cast<unsigned char>(*p);
        out[n++] = ch < 32 || ch == 127 ? '?' : ch == '"' ? '\'' : static_cast<char>(ch);
    }
    out[n] = 0;
}

void nmKey(char* out, int size, const char* name) {
    if (size < 1) return;
    const char* plain = noColor(name ? name : "");
    int n = 0;
    for (const char* p = plain; *p && n < size - 1; ++p) {
        if (*p != ' ') out[n++] = upperCh(*p);
    }
    out[n] = 0;
}

bool nmConnect(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return false;
    stNameSlot& st = sv->names.slot[slot - 1];
    memset(&st, 0, sizeof st);
    st.seq = c->seq;
    nmFillRegistrations(sv, slot);
    return checkName(sv, slot, CHECK_CONNECT);
}

void nmRename(stQzSv* sv, int slot) { checkName(sv, slot, CHECK_RENAME); }

// Every player on the server, in slot order; a player removed by one rule is simply gone when
// the loop reaches the next slot.
void nmRecheckAll(stQzSv* sv) {
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (c && sv->names.slot[slot - 1].seq == c->seq) checkName(sv, slot, CHECK_RULES);
    }
}

void nmNameSettingRule(stQzSv* sv, const SettingRow*) { nmRecheckAll(sv); }

// A grace period that ran out is checked again before anyone is removed: the other holder of a
// duplicate name may have left, or the bad name may have been deleted meanwhile.
void nmFrame(stQzSv* sv) {
    stNames& nm = sv->names;
    nmAliasFlush(sv);
    if (nm.aliasJob || nm.aliasQueuedLoad || nm.aliasQueuedWrite)
        nmAliasJobStep(sv, QZ_JOB_SLICE_US);
    const unsigned now = qzMonoTick();
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        stNameSlot& st = nm.slot[slot - 1];
        if (st.warn == NM_WARN_NONE) continue;
        const Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c || c->seq != st.seq) {
            st.warn = NM_WARN_NONE;
            continue;
        }
        if (graceLeft(st, now) > 0) continue;
        const int kind = st.warn;
        st.warn = NM_WARN_NONE;
        if (!sv->enabled) continue;
        if (kind == NM_WARN_BADNAME && findBadName(sv, c->name) >= 0) {
            violation(sv, slot, QZ_V_BADNAME, "Bad (Disallowed) Name");
        } else if (kind == NM_WARN_DUPNAME && duplicateName(sv, slot, st.key)) {
            violation(sv, slot, QZ_V_DUPNAME, "Duplicate Player Name");
        }
    }
}

void nmFree(stQzSv* sv) {
    stNames& nm = sv->names;
    nmAliasJobEnd(sv);
    nmAliasClose(sv);
    flexarFree(&nm.badNames);
    flexarFree(&nm.protNames);
    flexarFree(&nm.protTags);
    flexarFree(&nm.regs);
    free(nm.head);
    free(nm.next);
    free(nm.protIndex);
    memset(&nm, 0, sizeof nm);
}
