// One hashed index over the names of the listed and unlisted commands and every setting, so that
// a line costs one hash and one comparison instead of a walk through ~170 names.
#pragma once

struct CmdRow;
struct SettingRow;

// Finds word (without regard to case) among the commands, then the settings. Sets exactly one of
// *command and *setting, or neither when the word is unknown.
void lookupWord(const char* word, const CmdRow** command, const SettingRow** setting);
