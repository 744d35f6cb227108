// The check of the module's own program files: the shared object the host loaded (found with
// dladdr) and the companion libraries of the home directory are digested with SHA-256 and
// compared with the record "qzsvsum.dat". The first start records them; a start that swapped in
// a verified update records the new copy; the administrator accepts a deliberate change with
// "qz_sv_FileCheck accept". docs/host-interface.md says what to do about a changed file.
#pragma once

#include "util/files.h"

constexpr int QZ_SC_FILES = 3;  // the module and the two companion libraries
#define QZ_SC_RECORD "qzsvsum.dat"

struct stScFile {
    char path[QZ_PATH_MAX];
    char sha[65];  // lower-case hexadecimal, empty until digested
    long size;
    int swapped;     // the start-up put a new copy in place: it is recorded, not compared
    char why[128];   // why it could not be read, empty when it was
};

// Identity of the files a start-up swap may replace (device and inode; 0 when absent).
struct stScIds {
    unsigned long long dev[QZ_SC_FILES], ino[QZ_SC_FILES];
};

struct stSelfCheck {
    char modulePath[QZ_PATH_MAX];  // the module's file; empty when not checkable
    char notCheckable[160];        // why the module's file cannot be checked
    // A check under way, one file after another, a slice a frame.
    int running;
    int accept;  // rewrite the record with what is found instead of comparing
    int count;
    int at;  // file being digested
    int fd;
    int fdOpen;  // fd is open
    void* ctx;  // EVP_MD_CTX*
    stScFile files[QZ_SC_FILES];
    long long lastMicros;  // CPU time of the last check, for the administrator
    int frames;            // frames a requested check has taken
};

struct stQzSv;

// Notes which files the start-up swap may replace, before it runs.
void scNoteIds(stScIds* ids);
// The start-up check: finds the module's own file, digests it and the companion libraries at
// once, compares, records and reports. before: the identities noted before the swap (or null).
void scStartup(stQzSv* sv, const stScIds* before);
// The same check for a module file named by the caller (tests digest a copy).
void scStartupFor(stQzSv* sv, const char* modulePath, const stScIds* before);
// Carries a requested check on for about a quarter of a millisecond. Returns 1 while it runs.
int scFrame(stQzSv* sv);
// Drops a check under way (shut-down).
void scAbandon(stQzSv* sv);
// SHA-256 of a whole file as 64 lower-case hexadecimal digits, and its size. False with the
// reason in why when it cannot be read.
bool scDigestFile(const char* path, char* sha65, long* size, char* why, int whySize);
