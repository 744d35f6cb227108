// The master server list: stQzMaster records, the generated server file that carries them
// from one start to the next, the built-in default list and the digest lookup in a file list.
#pragma once

#include <cstdint>

constexpr int QZ_MASTER_MAX = 64;      // masters kept in memory and read from the file
constexpr int QZ_FILEINFO_MAX = 8;     // entries of one file list
constexpr int QZ_MASTER_MENTRIES = 3;  // M entries of one master

struct stQzFileInfo {
    int number;
    uint32_t value;
    char digest1[33];
    char digest2[33];
};

struct arQzFileInfo {
    int count;  // entries in use
    stQzFileInfo e[QZ_FILEINFO_MAX];
};

struct stQzMEntry {
    uint32_t value;
    uint32_t word1, word2;  // kept in memory only, never in the file
    char text[256];
};

// The twelve file lists of a master: client 1..4, server 1..4, agent 1..4.
enum QzFileList {
    QZ_FL_CLIENT = 0,
    QZ_FL_SERVER = 4,
    QZ_FL_AGENT = 8,
    QZ_FL_COUNT = 12,
};

struct stQzMaster {
    int number;
    int port;
    int lastS;
    char host[256];
    arQzFileInfo files[QZ_FL_COUNT];
    int mCount;
    stQzMEntry m[QZ_MASTER_MENTRIES];
};

// The default list, in two pieces used one after the other.
extern const char kQzDefaultMasters1[];
extern const char kQzDefaultMasters2[];

// List index (0..11) for a kind letter (C, S, A) and a system letter (W, L, M), or -1 for a
// pair the file never carries.
int masterListIndex(char kind, char os);
// Writes the generated server file at path ("<path>.tmp" first, renamed into place when whole).
// path lies in the home directory: the file is opened through its checked open.
// Returns the result of closing the file (0), or -1 when it cannot be created or put in place;
// nothing replaces an existing file then.
int masterWrite(const char* path, int count, const stQzMaster* masters);
// Formats the file into buf (size bytes). Returns the length, or -1 when it does not fit.
long masterFormat(char* buf, long size, int count, const stQzMaster* masters);
// Parses the text of a generated server file into masters (at most max); *count receives the
// number read. Returns null, or the failure text "ERROR: Corrupted Data Buffer". A failure
// leaves *count 0.
const char* masterParse(const char* text, long length, int* count, stQzMaster* masters, int max);
// Null when text is a master list that names at least one master; else the failure text.
const char* masterListCheck(const char* text, unsigned long length);
// Reads and parses the file at path. Returns null, or "File Not Found", "Memory Allocation
// Error" or "ERROR: Corrupted Data Buffer".
const char* masterRead(const char* path, int* count, stQzMaster* masters, int max);
// The built-in four masters.
void masterDefaults(int* count, stQzMaster* masters, int max);
// First digest of the first of the 8 entries (all 8, whatever the count) whose number is
// number; null when none has it.
const char* masterDigest(const arQzFileInfo* list, int number);
// True for exactly 32 characters, each a decimal digit or a letter a to f in either case.
bool masterDigestOk(const char* digest);
