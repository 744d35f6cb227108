// The UCON commands: profiles (added, listed without passwords, deleted, emptied), the ignore
// list, and the list of open sessions.
#include <cstdlib>
#include <cstring>

#include "commands/dispatch.h"
#include "commands/handlers.h"
#include "commands/secrets.h"
#include "host/bridge.h"
#include "host/state.h"
#include "remote/ucon.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

constexpr const char* kNoMarker =
    "QZ UCON Cannot be configured without presence of 'qzucon.use' file in 'qz' homepath";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The next word of args, or the inside of a double-quoted text. False when it does not fit.
bool nextWord(const char*& p, char* out, int size) {
    while (isBlank(*p)) p++;
    bool quoted = *p == '"';
    if (quoted) p++;
    int n = 0;
    bool fits = true;
    while (*p && (quoted ? *p != '"' : !isBlank(*p))) {
        if (n < size - 1) {
            out[n++] = *p;
        } else {
            fits = false;
        }
        p++;
    }
    if (quoted && *p == '"') p++;
    out[n] = 0;
    return fits;
}

// A profile text that the configuration file can hold: printable, no double quote.
bool textOk(const char* text) {
    if (!text[0]) return false;
    for (const char* p = text; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 32 || *p == '"') return false;
    }
    return true;
}

// The profile commands need the marker file; from a configuration file the "empty" lines that
// every written file holds stay silent, so a server without UCON loads its file cleanly.
bool markerOk(stQzSv* sv, const CmdCall& call, bool quietFromConfig) {
    if (sv->uconMarker) return true;
    if (!(quietFromConfig && call.source == QZ_SRC_CONFIG)) svMsg(sv, "%s", kNoMarker);
    return false;
}

// A slot number argument: 1..count, or 0 when it is not one.
int slotArg(const char* args, int count) {
    char* end = nullptr;
    long n = strtol(args, &end, 10);
    if (end == args || n < 1 || n > count) return 0;
    while (isBlank(*end)) end++;
    return *end ? 0 : static_cast<int>(n);
}

const char* entries(int n) { return n == 1 ? "y" : "ies"; }

}  // namespace

void cmd_uconadd(stQzSv* sv, const CmdCall& call) {
    if (!markerOk(sv, call, false)) return;
    stUconState& u = sv->ucon;
    const char* p = call.args;
    char type[16], mask[QZ_UCON_TEXT], user[QZ_UCON_TEXT], password[QZ_UCON_TEXT];
    bool fits = nextWord(p, type, sizeof type) && nextWord(p, mask, sizeof mask) &&
                nextWord(p, user, sizeof user) && nextWord(p, password, sizeof password);
    while (isBlank(*p)) p++;
    char* end = nullptr;
    long t = strtol(type, &end, 10);
    stMaskRule rule;
    bool valid = fits && !*p && type[0] && !*end && (t == UCON_TYPE_NOINPUT || t == UCON_TYPE_CONSOLE) &&
                 maskParse(mask, &rule) && uconNameOk(user, slen(user)) && textOk(password);
    if (!valid || u.profileCount >= QZ_UCON_PROFILES) {
        // The refused arguments are echoed with the password masked, like every command line.
        char line[QZ_LINE_MAX], shown[QZ_LINE_MAX];
        QZ_TRF(line, "qz_sv_UconAdd %s", call.args);
        cmdMaskSecrets(line, shown, qz::cap(shown));
        svMsg(sv, "QZ UCON Profile not added due to invalid specification (%s)",
              valid ? "profile list full" : shown + 14);
        return;
    }
    for (int i = 0; i < u.profileCount; ++i) {
        if (u.profiles[i].used && strcmp(u.profiles[i].user, user) == 0) {
            svMsg(sv, "QZ UCON Profile not added due to duplicate profile name (%s)", user);
            return;
        }
    }
    stUcon& e = u.profiles[u.profileCount++];
    e.used = 1;
    e.type = static_cast<unsigned>(t);
    e.rule = rule;
    QZ_COPY(e.mask, mask);
    QZ_COPY(e.user, user);
    QZ_COPY(e.password, password);
    svMsg(sv, "QZ UCON Profile added type=%d mask=\"%s\" name=\"%s\"", static_cast<int>(t), mask,
          user);
}

void cmd_uconlist(stQzSv* sv, const CmdCall& call) {
    if (!markerOk(sv, call, false)) return;
    const stUconState& u = sv->ucon;
    svCon(sv, "[Slot] [Type] [Mask] [Name]");
    int shown = 0;
    for (int i = 0; i < u.profileCount; ++i) {
        const stUcon& e = u.profiles[i];
        if (!e.used) continue;
        svCon(sv, "%d %d %s %s", i + 1, static_cast<int>(e.type), e.mask, e.user);
        shown++;
    }
    svCon(sv, "End of QZ UCON Profile List (%d Entr%s)", shown, entries(shown));
}

void cmd_ucondel(stQzSv* sv, const CmdCall& call) {
    if (!markerOk(sv, call, false)) return;
    stUconState& u = sv->ucon;
    int slot = slotArg(call.args, u.profileCount);
    if (!slot) {
        svMsg(sv, "Invalid QZ UCON Slot # Specified");
        return;
    }
    stUcon& e = u.profiles[slot - 1];
    if (!e.used) {
        svMsg(sv, "QZ UCON Slot #%d is already deleted", slot);
        return;
    }
    // Sessions opened with the profile end with it: a deleted profile lets nobody in.
    for (stUsession& s : u.sessions) {
        if (s.open && strcmp(s.user, e.user) == 0) {
            svMsg(sv, "QZ UCON Session #%d closed: its profile was deleted",
                  static_cast<int>(&s - u.sessions) + 1);
            uconCloseSession(sv, &s, "profile deleted");
        }
    }
    e.used = 0;
    memset(e.password, 0, sizeof e.password);
    svMsg(sv, "QZ UCON Slot #%d deleted", slot);
}

void cmd_uconempty(stQzSv* sv, const CmdCall& call) {
    if (!markerOk(sv, call, true)) return;
    stUconState& u = sv->ucon;
    memset(u.profiles, 0, sizeof u.profiles);
    u.profileCount = 0;
    svMsg(sv, "QZ UCON Profile List (in Memory) has been Emptied");
}

void cmd_usessionlist(stQzSv* sv, const CmdCall&) {
    const stUconState& u = sv->ucon;
    unsigned now = GetTickCount();
    svCon(sv, "[Slot] [Type] [Address] [Name] [HB] [MM]");
    int shown = 0;
    for (int i = 0; i < QZ_UCON_SESSIONS; ++i) {
        const stUsession& s = u.sessions[i];
        if (!s.open) continue;
        int minutes = tickElapsed(now, s.openTick) / 60000;
        svCon(sv, "%d %d \"%s\" %s %lu %d", i + 1, static_cast<int>(s.type), s.address, s.user,
              static_cast<unsigned long>(s.hb), minutes);
        shown++;
    }
    svCon(sv, "End of QZ UCON Session List (%d Entr%s)", shown, entries(shown));
}

void cmd_uconignore(stQzSv* sv, const CmdCall& call) {
    stUconState& u = sv->ucon;
    const char* p = call.args;
    char text[QZ_UCON_TEXT];
    bool fits = nextWord(p, text, sizeof text);
    if (!fits || !textOk(text) || u.ignoreCount >= QZ_UCON_IGNORES) {
        svMsg(sv, "QZ UCON Ignore not added");
        return;
    }
    QZ_COPY(u.ignores[u.ignoreCount], text);
    u.ignoreCount++;
    svMsg(sv, "QZ UCON Ignore added \"%s\"", text);
}

void cmd_uconignorelist(stQzSv* sv, const CmdCall&) {
    const stUconState& u = sv->ucon;
    int shown = 0;
    for (int i = 0; i < u.ignoreCount; ++i) {
        if (!u.ignores[i][0]) continue;
        svCon(sv, "%d %s", i + 1, u.ignores[i]);
        shown++;
    }
    svCon(sv, "End of QZ UCON Ignore List (%d Entr%s)", shown, entries(shown));
}

void cmd_uconignoredel(stQzSv* sv, const CmdCall& call) {
    stUconState& u = sv->ucon;
    int slot = slotArg(call.args, u.ignoreCount);
    if (!slot) {
        svMsg(sv, "Invalid QZ UCON Ignore Slot # Specified");
        return;
    }
    if (!u.ignores[slot - 1][0]) {
        svMsg(sv, "QZ UCON Ignore Slot #%d is already deleted", slot);
        return;
    }
    u.ignores[slot - 1][0] = 0;
    svMsg(sv, "QZ UCON Ignore Slot #%d deleted", slot);
}

void cmd_uconignoreempty(stQzSv* sv, const CmdCall&) {
    stUconState& u = sv->ucon;
    memset(u.ignores, 0, sizeof u.ignores);
    u.ignoreCount = 0;
    svMsg(sv, "QZ UCON Ignore List (in Memory) has been Emptied");
}
