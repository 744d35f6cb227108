// The help listing shared by qz_sv_Help and the WebTool.
#pragma once

struct stQzSv;

enum QzHelpMode {
    QZ_HELP_COUNT = 0,  // print nothing, only count
    QZ_HELP_ONE = 1,    // the single match: its help line and, for a setting, its current value
    QZ_HELP_LIST = 2,   // every match, both closing counts and the note
};

// Counts the listed commands and settings whose name contains search (without regard to case;
// empty matches all) and lists them as mode says. QZ_HELP_ONE prints only when exactly one
// entry matches. Returns the number of matches.
int sv_help(stQzSv* sv, const char* search, int mode);
