// The hashed name index finds every command and setting, in any case, and nothing else.
#include "commands/lookup.h"

#include <gtest/gtest.h>

#include <string>

#include "commands/settings.h"
#include "commands/table.h"

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return s;
}

TEST(CmdLookup, FindsEveryCommandAndSettingWithoutRegardToCase) {
    const CmdRow* command = nullptr;
    const SettingRow* setting = nullptr;
    auto check = [&](const CmdRow* rows, int count) {
        for (int i = 0; i < count; ++i) {
            lookupWord(upper(rows[i].name).c_str(), &command, &setting);
            EXPECT_EQ(command, &rows[i]) << rows[i].name;
            EXPECT_EQ(setting, nullptr) << rows[i].name;
        }
    };
    check(kCommandTable, kCommandCount);
    check(kUnlistedCommands, kUnlistedCount);
    for (int i = 0; i < kSettingAll; ++i) {
        lookupWord(upper(kSettingTable[i].name).c_str(), &command, &setting);
        EXPECT_EQ(setting, &kSettingTable[i]) << kSettingTable[i].name;
        EXPECT_EQ(command, nullptr) << kSettingTable[i].name;
    }
}

TEST(CmdLookup, UnknownWordsAndDirectivesAreNotFound) {
    for (const char* word : {"qz_sv_ba", "qz_sv_banlistx", "", "qz_sv_", "QZ_SV_INIT", "kicklen"}) {
        const CmdRow* command = &kCommandTable[0];
        const SettingRow* setting = &kSettingTable[0];
        lookupWord(word, &command, &setting);
        EXPECT_EQ(command, nullptr) << word;
        EXPECT_EQ(setting, nullptr) << word;
    }
}

}  // namespace
