// Violations and restrictions: the kinds with their labels, the codes the client module sends,
// the report routines that log a finding and remove the player, the kicking switches, and the
// further player rules (low score, spectator score, phantom players, duplicate addresses).
// docs/violations.md describes the texts and the codes.
#pragma once

struct stQzSv;

// Violation kinds, in label-table order. The client module's codes are these numbers (1..28);
// docs/violations.md lists them.
enum QzViolation {
    QZ_V_NEW = 0,  // a code this server version does not name
    QZ_V_COMFAIL,
    QZ_V_BAD_VERSION,
    QZ_V_BADNAME,
    QZ_V_BADNAMES,
    QZ_V_NAME_SPAM,
    QZ_V_PROTECTED_NAME,
    QZ_V_AUTO_UPDATE,
    QZ_V_CORRUPT_SETTINGS,
    QZ_V_CVAR,
    QZ_V_MD5TOOL,
    QZ_V_IGNORING_QUERIES,
    QZ_V_FILE_WHITELIST,
    QZ_V_DUPNAME,
    QZ_V_DUPGUID,
    QZ_V_LOWSCORE,
    QZ_V_UPDATE_TIMEOUT,
    QZ_V_SPEC_SCORE,
    QZ_V_QZ_INTEGRITY,
    QZ_V_GAME_INTEGRITY,
    QZ_V_AIMBOT,
    QZ_V_WALLHACK,
    QZ_V_MULTIHACK,
    QZ_V_GAMEHACK,
    QZ_V_VIDEO_DRIVER,
    QZ_V_SPEEDHACK,
    QZ_V_AUTOFIRE,
    QZ_V_GAME_HOOK,
    QZ_V_QZ_HACK,
    QZ_V_INVALID,  // a code that is no code at all
    QZ_V_COUNT
};

// Codes above the last named kind and up to this one are kinds of newer client modules.
constexpr int QZ_V_CODE_MAX = 999;

// Restrictions (server-side name and alias rules), in label-table order.
enum QzRestriction {
    QZ_R_NAME_SPAM = 0,  // "Name Spamming"
    QZ_R_NAME_STEAL,     // "Name Stealing"
    QZ_R_NONSTANDARD,    // "Non-standard Characters"
    QZ_R_LOCKED,         // "Locked Names"
    QZ_R_ALIASES,        // "More than %d Alias%s" (qz_sv_AliasMax)
    QZ_R_ALL,            // "All QZ Restrictions"
    QZ_R_COUNT
};

// Technical findings of the client module, each carrying a number.
enum QzTechnical {
    QZ_T_PROGRAM = 1,  // "1 Disallowed Program/Driver [%lu]"
    QZ_T_MEMORY_IMAGE,
    QZ_T_ASSETS,
    QZ_T_OS,
    QZ_T_CORRUPTED,
    QZ_T_API_MISSING,
    QZ_T_API_UNKNOWN,
    QZ_T_PACKET_FLOW,  // "1 Corrupted Packet Flow" (no number)
    QZ_T_INTEGRITY,    // "1 Integrity Failure (0xff27)" (no number)
    QZ_T_COUNT
};

// What the master servers may suspend.
enum QzSuspend { QZ_SUSPEND_VIOLATIONS = 1, QZ_SUSPEND_RESTRICTIONS = 2, QZ_SUSPEND_TECHNICAL = 4 };

struct stViolations {
    int restrictionsSuspended;  // restriction kicking suspended by the master servers
    int technicalIgnored;       // technical violations set aside by the master servers
    unsigned rulesTick;         // last pass of the further player rules
    int rulesNext;              // next slot of the rules pass
    void* companion[2];         // dlopen handles of "qzcls.so" and "qzags.so" (null: not loaded)
};

// The label of a kind, with its trailing blank; "(INVALID VIOLATION CODE) " outside the table.
const char* plViolationLabel(int kind);
// The kind a client-module code names: 1..28 the table, 29..QZ_V_CODE_MAX QZ_V_NEW, anything
// else QZ_V_INVALID.
int plViolationKind(long code);
// A restriction's label ("More than %d Alias%s" filled in with qz_sv_AliasMax).
void plRestrictionLabel(stQzSv* sv, int restriction, char* out, int size);
// The reason text of a technical finding with its number; empty for an unknown one.
void plTechnicalReason(int technical, unsigned long number, char* out, int size);

// Reports a violation of the player in slot: logs "VIOLATION ...", and, unless violation kicking
// is suspended (or the game's authentication is off), kicks the player for qz_sv_KickLen minutes
// with the label in front of the reason. technical: a technical finding, set aside while the
// master servers say so. Returns true when the player was removed.
bool plViolation(stQzSv* sv, int slot, int kind, int number, const char* reason, bool technical);
// Reports a restriction: logs "RESTRICTION: ...", and, unless restriction kicking is suspended,
// kicks the player with the reason "RESTRICTION: <text>". Returns true when he was removed.
bool plRestriction(stQzSv* sv, int slot, const char* text);
// A suspension ordered by the master servers (QzSuspend bits), with its message.
void plSuspend(stQzSv* sv, int what);
// Tells the player in slot which restrictions this server kicks for (nothing when none).
void plAnnounceRestrictions(stQzSv* sv, int slot);
// A client that finished the exchange as a spectator client: accepted (logged) when
// qz_sv_specname is empty or his name carries it; otherwise he plays as an ordinary client.
void plSpecClientReady(stQzSv* sv, int slot);
// The further player rules at tick now: a few players each frame, each player every five
// seconds. Returns the milliseconds until it next has work (0: the next frame).
int plRulesFrame(stQzSv* sv, unsigned now);
// A client that finished the exchange (status "OK  " or "SPEC"): the restriction warning, and
// the spectator-client acceptance.
void plClientReady(stQzSv* sv, int slot);
// "QZ_VIOL <code> <number> [T<technical>|reason]" from the client module in slot.
void plViolationPacket(stQzSv* sv, int slot, const char* args);
// Start-up: loads the companion libraries "qzcls.so" and "qzags.so" from the home directory and
// reports the ones that cannot be loaded.
void plLoadCompanions(stQzSv* sv);
// Shut-down: closes the companion libraries.
void plCloseCompanions(stQzSv* sv);
