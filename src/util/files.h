// The module's home directory, the time-stamped log line and the small file object bfc.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "util/text.h"

constexpr int QZ_PATH_MAX = 512;

// Sets the directory that homePath prefixes (must end in "/"). Returns false, leaving the old
// value, when it does not fit the 512-byte path buffer together with a short file name.
bool setHomeDir(const char* dir);
const char* homeDir();
// Home directory followed by name, in a static 512-byte buffer (cut to fit).
char* homePath(const char* name);
// True when name is a safe relative file name inside the home directory: not empty, not
// absolute, no ".." component, no backslash, no control characters, and short enough.
bool homeNameOk(const char* name);

// Opens a file of the module: every file the module reads or writes by name goes through here.
// path is a name relative to the home directory or a path that begins with the home directory
// (as homePath builds it); the part after the home directory must pass homeNameOk. The file must
// be a regular file (a FIFO, a device or a directory is refused, and nothing is opened in a way
// that can wait) whose real location, after symbolic links are resolved, is the home directory or
// below it. mode is an fopen mode ("rb", "wb", "ab", "r+b", a "x" adds exclusive creation);
// perm is the permission of a file that is created. Returns null with errno set and
// homeOpenError() saying why when the file is refused or cannot be opened.
FILE* homeOpen(const char* path, const char* mode, mode_t perm = 0644);
// Opens a file of records for appending, as homeOpen(path, "a+b") does, and makes sure the next
// record starts a line of its own. When the file's last line has no line end (a crash in the
// middle of an append), lineOk decides: a line that still reads as a record only lacked its line
// end and gets "\r\n"; any other is a cut record, which is moved to "<path>.cut" beside the
// file (appended there with its own line end) and taken off the file's end, so the file holds
// only whole records again and nothing is thrown away. *moved (when given) is set to the number
// of bytes moved. Null as homeOpen.
using QzLineCheck = bool (*)(const char* line, int length);
FILE* homeOpenAppendLine(const char* path, QzLineCheck lineOk, long* moved = nullptr,
                         mode_t perm = 0644);
// The same as a descriptor, for callers that write with pwrite; flags as for open(2).
int homeOpenFd(const char* path, int flags, mode_t perm = 0644);
// A file replaced whole may wait, complete, under another name until its data is on the disk
// (commands/atomic_file.h). The hook answers, for a full path (home directory and name), the
// name of the complete new file that has not been renamed into place yet, or false when there is
// none; opens (other than exclusive creation) then open that file, so the module reads what it
// wrote and an append lands in the version that will stay. Null: no hook.
using QzPendingName = bool (*)(const char* path, char* pending, size_t cap);
void setHomePendingHook(QzPendingName hook);
// Opens a regular file anywhere for reading without waiting (for the game's own files, which lie
// outside the module's home directory): FIFOs, devices and directories are refused.
FILE* openRegularFile(const char* path);
// Why the last homeOpen, homeOpenFd or openRegularFile failed, as a short text.
const char* homeOpenError();

// Appends "[MM.DD.YYYY hh:mm:ss] message\r\n" to file (opened through homeOpen and closed on
// each call).
void trLog(const char* file, const char* fmt, ...) QZ_PRINTF(2, 3);

// A file opened lazily on first use and kept open; the owner closes it with close().
struct bfc {
    char path[256];
    char mode[32];
    int pos;  // reset to 0 whenever the file is opened or repositioned
    FILE* fp;

    bfc(const char* openMode, const char* nameFmt, ...) QZ_PRINTF(3, 4);
    ~bfc();
    bfc(const bfc&) = delete;
    bfc& operator=(const bfc&) = delete;

    // Formatted write; opens the file first when needed. Returns vfprintf's result, 0 when the
    // file cannot be opened.
    int wrtf(const char* fmt, ...) QZ_PRINTF(2, 3);
    // Copies length bytes from offset into a new file named by targetFmt (length < 1: up to the
    // end). Returns 1 when exactly that many bytes were copied.
    int cpy(long offset, long length, char* work, long workSize, const char* targetFmt, ...)
        QZ_PRINTF(6, 7);
    // Copies the whole file.
    int cpy(const char* targetFmt, ...) QZ_PRINTF(2, 3);
    void close();
    bool open();
};
