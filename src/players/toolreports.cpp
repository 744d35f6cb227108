// Reports about a player from outside the module's own checks: the external tool report (a tool
// that watches the game sends "qz_sv_exttool <slot> <reason>"), and the file whitelist report
// (the player's game names a file it holds in a folder that qz_sv_FileWhitelist governs).
#include <cstring>

#include "commands/handlers.h"
#include "host/bridge.h"
#include "host/state.h"
#include "players/kick.h"
#include "players/power.h"
#include "players/slots.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

constexpr int kReasonMax = 235;

bool separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The slot number of the first token: its digits in order, minus signs skipped, up to the
// first other character. The value stops growing past any slot number, so a long number
// cannot wrap round into the range of slots.
int slotNumber(const char* token) {
    long long v = 0;
    for (const char* p = token; *p; ++p) {
        if (*p == '-') continue;
        if (*p < '0' || *p > '9') break;
        if (v < 100000000) v = v * 10 + (*p - '0');
    }
    return static_cast<int>(v);
}

}  // namespace

int toolTokenize(char* line, char** tokens, int max) {
    int n = 0;
    char* p = line;
    while (*p && n < max) {
        while (separator(*p)) p++;
        if (!*p) break;
        if (*p == '"') {
            char* start = ++p;
            while (*p && *p != '"') p++;
            tokens[n++] = start;
            if (*p) *p++ = 0;
            continue;
        }
        tokens[n++] = p;
        while (*p && !separator(*p)) p++;
        if (*p) *p++ = 0;
    }
    return n;
}

// The kick is aimed at the slot that was checked (the routine is given its number, not the raw
// token, which could read as a name), and a "|" of the tool's reason cannot hide the label in
// the private part of the reason.
void toolReport(stQzSv* sv, const char* line) {
    char work[4096];
    QZ_COPY(work, line ? line : "");
    char* tokens[QZ_TOOL_TOKENS];
    int n = toolTokenize(work, tokens, QZ_TOOL_TOKENS);
    int slot = n > 0 ? slotNumber(tokens[0]) : 0;
    if (slot < 1 || slot > QZ_SLOTS) {
        svMsg(sv, "Invalid Slot #%d specified", slot);
        return;
    }
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c) {
        svMsg(sv, "Empty Slot #%d specified", slot);
        return;
    }
    char reason[kReasonMax + 1];
    trcpyz(reason, n > 1 ? tokens[1] : "", kReasonMax);
    char clean[kReasonMax + 1];
    pwClean(clean, qz::cap(clean), reason);
    for (char* p = clean; *p; ++p)
        if (*p == '|') *p = '/';
    svMsg(sv, "Violation Reported by External Tool [%s] for slot#%d \"%s\"", clean, slot, c->name);
    char full[kReasonMax + 32];
    QZ_TRF(full, "%s (EXTERNAL TOOL)", clean);
    char slotText[8];
    QZ_TRF(slotText, "%d", slot);
    plKick(sv, slotText, -1, full, 1);
}

void cmd_exttool(stQzSv* sv, const CmdCall& call) { toolReport(sv, call.args); }

bool whitelistCheck(stQzSv* sv, int slot, const char* folder, const char* file) {
    Qz_Sv_Client_s* c = plPlayer(sv, slot);
    if (!c || !file || !file[0]) return false;
    const char* p = sv->set.fileWhitelist;
    char word[128];
    if (!pwNextWord(p, word, qz::cap(word)) || !word[0]) return false;
    if (strcmp(word, "*") != 0 && trcasecmp(word, folder ? folder : "") != 0) return false;
    while (pwNextWord(p, word, qz::cap(word)))
        if (trcasecmp(word, file) == 0) return false;
    char shown[128];
    pwClean(shown, qz::cap(shown), file);
    svMsg(sv, "Whitelist violation (%s) from (slot #%ld) %s", shown, static_cast<long>(slot),
          c->name);
    if (sv->cmd.kicksSuspended) {
        svMsg(sv, "Violation Kicking is temporarily disabled per QZ Master Servers");
        return true;
    }
    char reason[192];
    QZ_TRF(reason, "(FILE WHITELIST) [File Whitelist \"%s\"]", shown);
    char slotText[8];
    QZ_TRF(slotText, "%d", slot);
    plKick(sv, slotText, -1, reason, 1);
    return true;
}
