// The help listing (qz_sv_Help, sv_help) and qz_sv_EnableKicks. Only the two listed tables are
// shown: unlisted commands and settings and the host directives never appear.
#include "commands/help.h"

#include <cstring>

#include "commands/dispatch.h"
#include "commands/handlers.h"
#include "commands/settings.h"
#include "commands/table.h"
#include "host/bridge.h"
#include "host/state.h"
#include "util/compare.h"
#include "util/text.h"

namespace {

// True when search occurs in name, letters compared without regard to case. An empty search
// matches everything.
bool nameMatches(const char* name, const char* search) {
    return !*search || svFindNoCase(name, search) != nullptr;
}

int countCommands(const char* search) {
    int n = 0;
    for (const CmdRow* row = kCommandTable; row->name[0]; ++row)
        n += nameMatches(row->name, search);
    return n;
}

int countSettings(const char* search) {
    int n = 0;
    for (int i = 0; i < kSettingCount; ++i) n += nameMatches(kSettingTable[i].name, search);
    return n;
}

const char* plural(int n) { return n == 1 ? "" : "s"; }

// The full listing: both tables with their closing counts, then the note.
void listAll(stQzSv* sv, const char* search) {
    int commands = 0;
    for (const CmdRow* row = kCommandTable; row->name[0]; ++row) {
        if (!nameMatches(row->name, search)) continue;
        svMsg(sv, "%s %s", row->name, row->help);
        commands++;
    }
    svMsg(sv, "%d Command%s Displayed", commands, plural(commands));
    int settings = 0;
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingRow* row = &kSettingTable[i];
        if (!nameMatches(row->name, search)) continue;
        svMsg(sv, "%s %s", row->name, row->help);
        settings++;
    }
    svMsg(sv, "%d Setting%s Displayed", settings, plural(settings));
    svMsg(sv, "NOTE: Some commands/settings shown may not be supported for this game.");
}

// The one matching entry: its help line, and for a setting its current value as the setting
// itself shows it (secrets masked; nothing while the configuration is locked).
void listOne(stQzSv* sv, const char* search) {
    for (const CmdRow* row = kCommandTable; row->name[0]; ++row) {
        if (!nameMatches(row->name, search)) continue;
        svMsg(sv, "%s %s", row->name, row->help);
        return;
    }
    for (int i = 0; i < kSettingCount; ++i) {
        const SettingRow* row = &kSettingTable[i];
        if (!nameMatches(row->name, search)) continue;
        svMsg(sv, "%s %s", row->name, row->help);
        if (!sv->cmd.locked) {
            char line[64];
            QZ_COPY(line, row->name);
            settingRun(sv, row, line);
        }
        return;
    }
}

}  // namespace

int sv_help(stQzSv* sv, const char* search, int mode) {
    if (!search) search = "";
    int matches = countCommands(search) + countSettings(search);
    if (mode == QZ_HELP_ONE && matches == 1) listOne(sv, search);
    if (mode == QZ_HELP_LIST) listAll(sv, search);
    return matches;
}

// The search text is the argument as typed, surrounding quotes removed; qz_sv_Help always prints
// both closing counts and the note, also when nothing matches.
void cmd_help(stQzSv* sv, const CmdCall& call) {
    char search[128];
    const char* a = call.args;
    int n = slen(a);
    if (n >= 2 && a[0] == '"' && a[n - 1] == '"') {
        trcpyz(search, a + 1, n - 2 < qz::cap(search) - 1 ? n - 2 : qz::cap(search) - 1);
    } else {
        QZ_COPY(search, a);
    }
    sv_help(sv, search, QZ_HELP_LIST);
}

void cmd_enablekicks(stQzSv* sv, const CmdCall&) {
    if (sv->cmd.kicksSuspended) {
        sv->cmd.kicksSuspended = 0;
        svMsg(sv, "qz_sv_enablekicks: Kicking for violations is now enabled");
    } else {
        svMsg(sv, "qz_sv_enablekicks: Kicking for violations was already enabled");
    }
}
