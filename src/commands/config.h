// Configuration files: writing qzsvlog.cfg and the main file, loading files through the
// dispatcher, the locked mode, and the file-name rule every command that names a file obeys.
#pragma once

class AtomicFile;
struct stQzSv;

// Loads a configuration file of the home directory, dispatching each line as a configuration
// line (source QZ_SRC_CONFIG) one level deeper. mustExist: a missing file is reported ("File Not
// Found: %s"); otherwise it is skipped silently. flags go to sv_cmd with every line. Returns
// true when the file was opened; false when it was missing or the nesting limit was reached
// ("Too Many Nested Loads Error").
// The lines are dispatched a slice per frame call (cfgLoadStep): a first slice at once, the rest
// in the following frames. A loaded line that loads a file puts it before the rest of its own
// file, so the lines run in the order a load of everything at once would run them.
bool sv_load_cfg(stQzSv* sv, const char* name, int mustExist, int flags);
// Dispatches lines of the loads in progress for about budgetUs of thread CPU time (never fewer
// than QZ_CFG_LINES_MIN lines while there are any), then, once no load is left, the console
// lines typed meanwhile. True when nothing is left to do.
bool cfgLoadStep(stQzSv* sv, long long budgetUs);
constexpr int QZ_CFG_LINES_MIN = 32;
// True while a configuration file is being loaded.
bool cfgLoadRunning(const stQzSv* sv);
// A console line typed while a load runs (or while typed lines are held) is kept to run after
// it, and true returned; false when the line can run now.
bool cfgTypedLine(stQzSv* sv, const char* line);
// Ends every load in progress and forgets the typed lines (the module's shut-down).
void cfgLoadStopAll(stQzSv* sv);
// Starts the start-up's loads (qzsv.cfg, then qzsvuser.cfg) without running them; cfgStartupLoad
// (commands/dispatch.h) runs them to their end at once.
void cfgStartupBegin(stQzSv* sv);
// Writes qzsvlog.cfg, then the main file (name, or "qzsv.cfg" when empty), each replaced whole.
// Reports the outcome on the console. Returns true when both files were written.
bool sv_write_cfg(stQzSv* sv, const char* name);
// qz_sv_LoadLock: loads the file, then locks the configuration against every later change.
// flags go to sv_cmd with every line of the file.
void sv_load_lock(stQzSv* sv, const char* name, int flags = 0);
// cfgStartupLoad (qzsv.cfg, then qzsvuser.cfg at start-up) is declared in commands/dispatch.h.

// The line that ends the player list while the configuration is locked, so that an administrator
// sees which configuration governs the server: "\r\n^5QZ SERVER CONFIG LOCKED [name][size
// bytes][digest]" (the digest is the MD5 of the locked file's contents, empty for a file too big
// to digest). Returns false and leaves out empty when the configuration is not locked.
bool cfgLockedLine(stQzSv* sv, char* out, int size);

// True when name is a file name inside the home directory. Otherwise prints one line naming the
// command and the refused name, and returns false. Every command that takes a file name from a
// line checks it here first.
bool cmdFileNameOk(stQzSv* sv, const char* command, const char* name);
// Takes the file name argument out of a command's argument text: a double-quoted text, or the
// first word. Empty when there is none.
void cmdFileArg(const char* args, char* out, int size);

// One list section of the main configuration file: its heading (written as it stands) and the
// routine that writes its lines. The subsystem that owns a list fills in its routine in
// config_sections.cpp; the writer walks kCfgSections in order.
struct CfgSection {
    const char* heading;
    void (*write)(stQzSv* sv, AtomicFile& out);
};
extern const CfgSection kCfgSections[];
extern const int kCfgSectionCount;
