// The name index behind the dispatcher and settingFind. It is built on first use from the
// constant tables into a fixed array (no allocation) and never changes afterwards.
#include "commands/lookup.h"

#include "commands/settings.h"
#include "commands/table.h"
#include "util/compare.h"

namespace {

// A power of two, more than twice the number of names, so probe runs stay short.
constexpr unsigned kSlots = 512;

struct Entry {
    const char* name;
    const CmdRow* command;
    const SettingRow* setting;
};

struct Index {
    Entry slots[kSlots];
    bool built;
};

Index g_index;

// The first row of a name wins: commands are added before settings, as the dispatcher tries them.
void add(const char* name, const CmdRow* command, const SettingRow* setting) {
    unsigned at = trcasehash(name) & (kSlots - 1);
    while (g_index.slots[at].name) {
        if (trcasecmp(g_index.slots[at].name, name) == 0) return;
        at = (at + 1) & (kSlots - 1);
    }
    g_index.slots[at] = Entry{name, command, setting};
}

void build() {
    for (int i = 0; i < kCommandCount; ++i) add(kCommandTable[i].name, &kCommandTable[i], nullptr);
    for (int i = 0; i < kUnlistedCount; ++i) {
        add(kUnlistedCommands[i].name, &kUnlistedCommands[i], nullptr);
    }
    for (int i = 0; i < kSettingAll; ++i) add(kSettingTable[i].name, nullptr, &kSettingTable[i]);
    g_index.built = true;
}

static_assert(kSlots >= 2 * (68 + 6 + 94), "the index needs room to spare");

}  // namespace

void lookupWord(const char* word, const CmdRow** command, const SettingRow** setting) {
    *command = nullptr;
    *setting = nullptr;
    if (!g_index.built) build();
    unsigned at = trcasehash(word) & (kSlots - 1);
    for (; g_index.slots[at].name; at = (at + 1) & (kSlots - 1)) {
        const Entry& e = g_index.slots[at];
        if (trcasecmp(e.name, word) == 0) {
            *command = e.command;
            *setting = e.setting;
            return;
        }
    }
}
