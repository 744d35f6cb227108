// Configuration files: writing qzsvlog.cfg and the main file, loading files through the
// dispatcher, the locked mode, and the file-name rule every command that names a file obeys.
#pragma once

class AtomicFile;
struct stQzSv;

// Loads a configuration file of the home directory, dispatching each line as a configuration
// line (source QZ_SRC_CONFIG) one level deeper. mustExist: a missing file is reported ("File Not
// Found: %s"); otherwise it is skipped silently. flags go to sv_cmd with every line. Returns
// true when the file was read; false when it was missing or the nesting limit was reached ("Too
// Many Nested Loads Error").
bool sv_load_cfg(stQzSv* sv, const char* name, int mustExist, int flags);
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
