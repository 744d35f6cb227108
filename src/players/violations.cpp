// Violations and restrictions: the label tables, the report routines every finding ends in (the
// client module's reports, the cvar range checks, the name rules, the further player rules),
// the kicking switches and the companion libraries that run the detection.
#include "players/violations.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/bridge.h"
#include "host/state.h"
#include "players/kick.h"
#include "players/names.h"
#include "players/slots.h"
#include "util/clock.h"
#include "util/compare.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr const char* kLabels[QZ_V_COUNT] = {
    "(NEW VIOLATION CODE) ",
    "(COMFAIL) ",
    "(BAD VERSION) ",
    "(BADNAME) ",
    "(BADNAMES) ",
    "(NAME SPAM) ",
    "(PROTECTED NAME) ",
    "(AUTO-UPDATE FAILURE) ",
    "(CORRUPT CLIENT SETTINGS) ",
    "(CVAR) ",
    "(MD5TOOL) ",
    "(IGNORING QUERIES) ",
    "(FILE WHITELIST) ",
    "(DUPNAME) ",
    "(DUPGUID) ",
    "(LOWSCORE) ",
    "(UPDATE TIMEOUT) ",
    "(SPEC SCORE) ",
    "(QZ INTEGRITY) ",
    "(GAME INTEGRITY) ",
    "(AIMBOT) ",
    "(WALLHACK) ",
    "(MULTIHACK) ",
    "(GAMEHACK) ",
    "(VIDEO DRIVER HACK) ",
    "(SPEEDHACK) ",
    "(AUTOFIRE) ",
    "(GAME HOOK) ",
    "(QZ HACK) ",
    "(INVALID VIOLATION CODE) ",
};

constexpr const char* kRestrictions[QZ_R_COUNT] = {
    "Name Spamming", "Name Stealing",        "Non-standard Characters",
    "Locked Names",  "More than %d Alias%s", "All QZ Restrictions",
};

// Index QZ_T_*; the first carry the finding's number.
constexpr const char* kTechnical[QZ_T_COUNT] = {
    "",
    "1 Disallowed Program/Driver [%lu]",
    "1 Invalid Memory Image [%lu]",
    "1 Unpure/Corrupted Game Assets [%lu]",
    "1 O/S Inconsistency [%lu]",
    "1 Corrupted File/Memory [%lu]",
    "1 Missing/Corrupted Windows API Function [%lu]",
    "1 Unknown Windows API Function [%lu]",
    "1 Corrupted Packet Flow",
    "1 Integrity Failure (0xff27)",
};

// Kinds the client module finds on the player's machine; a report of one is a positive finding.
bool positiveKind(int kind) { return kind >= QZ_V_AIMBOT && kind <= QZ_V_QZ_HACK; }

// The game's own player authentication: a server that switched it off cannot tell one player
// from another reliably, so a kick could hit the wrong person.
bool gameAuthOff(stQzSv* sv) {
    char value[16];
    return svCvar(sv, "sv_strictauth", value, qz::cap(value)) && strcmp(value, "0") == 0;
}

// A text from a player's game as the log and console may show it: printable characters only,
// double quotes as apostrophes, cut to size.
void cleanText(char* out, int size, const char* text) {
    int n = 0;
    for (const char* p = text ? text : ""; *p && n < size - 1; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        out[n++] = c == '"' ? '\'' : (c < 32 || c == 127) ? ' ' : static_cast<char>(c);
    }
    out[n] = 0;
}

bool kick(stQzSv* sv, int slot, const char* reason) {
    char who[8];
    QZ_TRF(who, "%d", slot);
    plKick(sv, who, -1, reason, 1);
    return plPlayer(sv, slot) == nullptr;
}

}  // namespace

const char* plViolationLabel(int kind) {
    return kind >= 0 && kind < QZ_V_COUNT ? kLabels[kind] : kLabels[QZ_V_INVALID];
}

int plViolationKind(long code) {
    if (code >= 1 && code < QZ_V_INVALID) return static_cast<int>(code);
    if (code >= QZ_V_INVALID && code <= QZ_V_CODE_MAX) return QZ_V_NEW;
    return QZ_V_INVALID;
}

void plRestrictionLabel(stQzSv* sv, int restriction, char* out, int size) {
    if (restriction < 0 || restriction >= QZ_R_COUNT) {
        trf(out, size, "%s", "");
        return;
    }
    if (restriction == QZ_R_ALIASES) {
        int max = sv->set.aliasMax;
        trf(out, size, kRestrictions[QZ_R_ALIASES], max, max == 1 ? "" : "es");
        return;
    }
    trf(out, size, "%s", kRestrictions[restriction]);
}

void plTechnicalReason(int technical, unsigned long number, char* out, int size) {
    if (technical < 1 || technical >= QZ_T_COUNT) {
        trf(out, size, "%s", "");
    } else if (technical >= QZ_T_PACKET_FLOW) {
        trf(out, size, "%s", kTechnical[technical]);
    } else {
        trf(out, size, kTechnical[technical], number);
    }
}

namespace {

// What sv_cheat.log records: what the client module detected on the player's machine (the
// detection kinds, a failed integrity check, a technical finding) and a failed MD5Tool file
// check. The server's own rule findings (names, cvars, scores) are not cheats.
bool cheatFinding(int kind, bool technical) {
    return technical || positiveKind(kind) || kind == QZ_V_QZ_INTEGRITY ||
           kind == QZ_V_GAME_INTEGRITY || kind == QZ_V_MD5TOOL;
}

// One line a detection in sv_cheat.log, the evidence and the action taken included, so the file
// alone answers "who was caught with what, and what happened". Every value the player chose is
// cleaned (no quotes, no control bytes), so the quoted fields always end where they seem to.
void cheatLine(const Qz_Sv_Client_s* c, int slot, const char* label, int number,
               const char* evidence, bool technical, const char* action) {
    char kindText[40];
    QZ_COPY(kindText, label);
    int n = slen(kindText);
    while (n > 0 && kindText[n - 1] == ' ') kindText[--n] = 0;
    char name[40], address[64];
    cleanText(name, qz::cap(name), c->name);
    cleanText(address, qz::cap(address), c->address);
    trLog(homePath("sv_cheat.log"),
          "DETECTION %s#%d slot=%d guid=%s auth=%s address=%s name=\"%s\" %s=\"%s\" action=%s",
          kindText, number, slot, plGuidText(c), c->authState[0] ? c->authState : "-", address,
          name, technical ? "technical" : "evidence", evidence, action);
}

}  // namespace

bool plViolation(stQzSv* sv, int slot, int kind, int number, const char* reason, bool technical) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return false;
    const char* label = plViolationLabel(kind);
    char why[256];
    cleanText(why, qz::cap(why), reason);
    svMsg(sv, "VIOLATION %s#%d: %s (slot #%d) %s [%s(%s) %s]", label, number, why, slot, c->name,
          plGuidText(c), c->authState, c->address);
    char shortForm[64];
    QZ_TRF(shortForm, "Violation %s#%d", label, number);
    trLog(homePath("sv_viol.log"), "%s (slot #%d) %s %s %s: %s", shortForm, slot, c->name,
          plGuidText(c), c->address, why);
    if (kind == QZ_V_QZ_INTEGRITY) {
        svMsg(sv, "Technical Violation: Failed Kestrine Integrity Check");
    } else if (positiveKind(kind)) {
        svMsg(sv, "Positive Violation: %s", shortForm);
    }
    const char* action = "kick";
    if (technical && sv->viol.technicalIgnored) {
        svMsg(sv, "Technical Violations Temporarily Ignored as directed by QZ Master");
        action = "ignored-technical";
    } else if (sv->cmd.kicksSuspended) {
        svMsg(sv, "Violation Kicking is temporarily disabled per QZ Master Servers");
        action = "kicks-suspended";
    } else if (gameAuthOff(sv)) {
        svMsg(sv, "Kicking Disabled due to Game Auth being disabled at the server");
        action = "game-auth-off";
    }
    if (cheatFinding(kind, technical)) cheatLine(c, slot, label, number, why, technical, action);
    if (strcmp(action, "kick") != 0) return false;
    char text[320];
    QZ_TRF(text, "%s%s", label, why);
    return kick(sv, slot, text);
}

bool plRestriction(stQzSv* sv, int slot, const char* text) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return false;
    char what[128];
    cleanText(what, qz::cap(what), text);
    svMsg(sv, "RESTRICTION: %s (slot #%d) [%s(%s) %s] %s", what, slot, plGuidText(c), c->authState,
          c->address, c->name);
    if (sv->viol.restrictionsSuspended) {
        svMsg(sv, "Restriction Kicking is temporarily disabled per QZ Master Servers");
        return false;
    }
    char reason[160];
    QZ_TRF(reason, "RESTRICTION: %s", what);
    return kick(sv, slot, reason);
}

void plSuspend(stQzSv* sv, int what) {
    if (what & QZ_SUSPEND_VIOLATIONS) {
        sv->cmd.kicksSuspended = 1;
        svMsg(sv,
              "Kicking for new violations has been temporarily disabled per QZ Master Servers - "
              "use the qz_sv_enablekicks command to manually re-enable kicks.");
    }
    if (what & QZ_SUSPEND_RESTRICTIONS) {
        sv->viol.restrictionsSuspended = 1;
        svMsg(sv, "Restriction Kicking is temporarily disabled per QZ Master Servers");
    }
    if (what & QZ_SUSPEND_TECHNICAL) {
        sv->viol.technicalIgnored = 1;
        svMsg(sv, "Technical Violations Temporarily Ignored as directed by QZ Master");
    }
}

// The restrictions in force: none while qz_sv_Restrictions is 0; the name-change limit and name
// theft always, non-standard characters unless qz_sv_ExtChar allows them, name locks while one
// exists, and the alias limit while qz_sv_AliasMaxEnforce is on. When all five are in force the
// warning names "All QZ Restrictions" instead.
void plAnnounceRestrictions(stQzSv* sv, int slot) {
    const Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!sv->set.restrictions || !c || plIsBot(c) || plIsHostPlayer(c)) return;
    int active[QZ_R_COUNT];
    int n = 0;
    active[n++] = QZ_R_NAME_SPAM;
    active[n++] = QZ_R_NAME_STEAL;
    if (!sv->set.extChar) active[n++] = QZ_R_NONSTANDARD;
    if (nmLockCount(sv) > 0) active[n++] = QZ_R_LOCKED;
    if (sv->set.aliasMaxEnforce && sv->set.aliasMax > 0) active[n++] = QZ_R_ALIASES;
    if (n == QZ_R_ALL) {
        active[0] = QZ_R_ALL;
        n = 1;
    }
    char text[512];
    QZ_TRF(text, "%c%s", QZ_MSG_PRINT, "WARNING: ^7QZ Kicks for ");
    for (int i = 0; i < n; ++i) {
        char label[64];
        plRestrictionLabel(sv, active[i], label, qz::cap(label));
        QZ_TRAF(text, "%s%s", i ? " and " : "", label);
    }
    QZ_TRACAT(text, " on this Server");
    svSendClient(sv, slot, "%s", text);
}

void plSpecClientReady(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    if (!sv->set.specName[0]) {
        svMsg(sv, "Accepted Spec Client (slot #%d) %s", slot, c->name);
        return;
    }
    char plain[32];
    QZ_COPY(plain, noColor(c->name));
    if (svFindNoCase(plain, sv->set.specName)) {
        svMsg(sv, "Accepted Spec Client [slot #%d] %s", slot, c->name);
        return;
    }
    svMsg(sv, "Spec Client (slot #%d) %s does not carry \"%s\": playing as an ordinary client",
          slot, c->name, sv->set.specName);
    c->status = QZ_ST_OK;
    c->spectator = 0;
}

namespace {

// The next blank-separated word of p as a number: a whole word of digits (a sign allowed), else
// fallback. p moves past the word.
long numberWord(const char*& p, long fallback) {
    while (*p == ' ') p++;
    const char* start = p;
    while (*p && *p != ' ') p++;
    char word[16];
    int n = static_cast<int>(p - start);
    if (n == 0 || n >= qz::cap(word)) return fallback;
    trcpyz(word, start, n);
    char* end = nullptr;
    long v = strtol(word, &end, 10);
    return *end ? fallback : v;
}

}  // namespace

void plViolationPacket(stQzSv* sv, int slot, const char* args) {
    const char* p = args;
    long code = numberWord(p, -1);
    long signedNumber = numberWord(p, 0);
    unsigned long number = signedNumber < 0 ? 0 : static_cast<unsigned long>(signedNumber);
    while (*p == ' ') p++;
    int kind = plViolationKind(code);
    char reason[256];
    bool technical = false;
    if (p[0] == 'T' && p[1] >= '1' && p[1] <= '9' && (p[2] == 0 || p[2] == ' ')) {
        technical = true;
        plTechnicalReason(p[1] - '0', number, reason, qz::cap(reason));
    } else if (*p) {
        cleanText(reason, qz::cap(reason), p);
    } else {
        // Without a reason the code itself is what the administrator needs to see.
        QZ_TRF(reason, "Code %ld", code);
    }
    int shown = number > 999999999ul ? 999999999 : static_cast<int>(number);
    plViolation(sv, slot, kind, shown, reason, technical);
}

namespace {

// One player's further rules; returns after removing him.
void rulesFor(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || plIsBot(c) || plIsHostPlayer(c) || c->status < QZ_ST_OK) return;
    char arg[64];
    QZ_TRF(arg, "slot %d", slot);
    // "gamestate" answers 2 for a slot the game no longer has (docs/host-interface.md).
    if (svHostRaw(sv, "gamestate", arg) == 2) {
        svMsg(sv, "Phantom player detected (slot #%d) %s %s", slot, c->name, c->address);
        plRemove(sv, slot, sv->set.kickLen, false, "No Phantoms Allowed");
        // The game does not have him: whatever the host answered, the slot is free.
        if (plPlayer(sv, slot)) plRelease(sv, slot);
        return;
    }
    // The host writes "score=S deaths=D" over the request; a host that does not keep scores
    // leaves it as it was, and no score rule applies.
    if (c->status != QZ_ST_SPEC && sv->set.scoreKick >= 0) return;
    QZ_TRF(arg, "score %d", slot);
    svHostRaw(sv, "gamestate", arg);
    arg[sizeof arg - 1] = 0;
    int score = 0, deaths = 0;
    if (sscanf(arg, "score=%d deaths=%d", &score, &deaths) < 1) return;
    if (c->status == QZ_ST_SPEC && score != 0) {
        svMsg(sv, "Non-zero score (%d/%d) spec client detected (slot #%d) %s", score, deaths, slot,
              c->name);
        plViolation(sv, slot, QZ_V_SPEC_SCORE, score, "Spec Client must keep 0 score", false);
        return;
    }
    if (sv->set.scoreKick < 0 && score < sv->set.scoreKick) {
        plViolation(sv, slot, QZ_V_LOWSCORE, score, "Low Negative Score", false);
    }
}

// Address without its port.
void ipOf(const Qz_Sv_Client_s* c, char* out, int size) {
    int n = 0;
    while (c->address[n] && c->address[n] != ':' && n < size - 1) {
        out[n] = c->address[n];
        n++;
    }
    out[n] = 0;
}

// Players beyond qz_sv_limitdupips from one address: the latest arrivals go.
void dupAddresses(stQzSv* sv) {
    int limit = sv->set.limitDupIps;
    if (limit <= 0) return;
    for (int slot = 1; slot <= QZ_SLOTS; ++slot) {
        Qz_Sv_Client_s* c = plPlayer(sv, slot);
        if (!c || plIsBot(c) || plIsHostPlayer(c)) continue;
        char ip[33];
        ipOf(c, ip, qz::cap(ip));
        int earlier = 0;
        for (int other = 1; other <= QZ_SLOTS; ++other) {
            Qz_Sv_Client_s* o = plPlayer(sv, other);
            if (!o || other == slot || o->seq > c->seq) continue;
            char oip[33];
            ipOf(o, oip, qz::cap(oip));
            if (strcmp(ip, oip) == 0) earlier++;
        }
        if (earlier >= limit) {
            plRemove(sv, slot, sv->set.kickLen, false,
                     "Too Many Players Using Duplicate IP Address");
        }
    }
}

constexpr unsigned kRulesPeriodMs = 5000;
constexpr int kRulesPerFrame = 8;

}  // namespace

int plRulesFrame(stQzSv* sv, unsigned now) {
    stViolations& V = sv->viol;
    if (V.rulesNext == 0) {
        int since = tickElapsed(now, V.rulesTick);
        if (V.rulesTick && since < static_cast<int>(kRulesPeriodMs)) {
            return static_cast<int>(kRulesPeriodMs) - since;
        }
        V.rulesTick = now ? now : 1;
        V.rulesNext = 1;
        dupAddresses(sv);
    }
    int done = 0;
    while (V.rulesNext >= 1 && V.rulesNext <= QZ_SLOTS && done < kRulesPerFrame) {
        int slot = V.rulesNext++;
        if (!plPlayer(sv, slot)) continue;
        rulesFor(sv, slot);
        done++;
    }
    if (V.rulesNext > QZ_SLOTS) {
        V.rulesNext = 0;
        return static_cast<int>(kRulesPeriodMs);
    }
    return 0;
}

void plClientReady(stQzSv* sv, int slot) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) return;
    if (c->status == QZ_ST_SPEC) plSpecClientReady(sv, slot);
    plAnnounceRestrictions(sv, slot);
}

namespace {

// The companion library's entry: cb(1, sv) once loaded (non-zero refuses), cb(2, sv) before it
// is closed.
using CompanionFn = int (*)(int call, stQzSv* sv);

void* loadCompanion(stQzSv* sv, const char* file) {
    const char* path = homePath(file);
    if (!*path) return nullptr;
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    void* entry = dlsym(handle, "_cb");
    if (!entry) entry = dlsym(handle, "cb");
    CompanionFn fn = nullptr;
    static_assert(sizeof fn == sizeof entry);
    memcpy(&fn, &entry, sizeof fn);
    if (!fn || fn(1, sv) != 0) {
        dlclose(handle);
        return nullptr;
    }
    return handle;
}

void closeCompanion(stQzSv* sv, void*& handle) {
    if (!handle) return;
    void* entry = dlsym(handle, "_cb");
    if (!entry) entry = dlsym(handle, "cb");
    CompanionFn fn = nullptr;
    memcpy(&fn, &entry, sizeof fn);
    if (fn) fn(2, sv);
    dlclose(handle);
    handle = nullptr;
}

}  // namespace

void plLoadCompanions(stQzSv* sv) {
    sv->viol.companion[0] = loadCompanion(sv, "qzcls.so");
    if (!sv->viol.companion[0]) svMsg(sv, "CRITICAL ERROR: Cannot Load %s", "qzcls.so");
    sv->viol.companion[1] = loadCompanion(sv, "qzags.so");
    if (!sv->viol.companion[1]) {
        svMsg(sv, "Critical ERROR: Cannot Load qzags%s - Detection System Inoperative", ".so");
    }
}

void plCloseCompanions(stQzSv* sv) {
    closeCompanion(sv, sv->viol.companion[1]);
    closeCompanion(sv, sv->viol.companion[0]);
}
