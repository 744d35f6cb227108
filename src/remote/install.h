// The installer of a module update. An update file is one header line,
//   "<p> U <kind> <os> <number> <raw size> <raw digest> <signature>\r\n",
// followed by the module compressed with zlib. The installer checks the file against what the
// masters described, inflates it with a bound, checks the result, verifies the Ed25519
// signature with the administrator's public key and only then writes the target, through a
// temporary file renamed into place. Without a key it checks everything and writes nothing.
#pragma once

#include <cstdint>

#include "remote/masters.h"

constexpr int QZ_UPD_SIG_LEN = 64;
constexpr int QZ_UPD_KEY_LEN = 32;

enum QzInstallResult {
    QZ_INST_INSTALLED = 0,  // target written
    QZ_INST_VERIFIED = 1,   // every check passed, no key: nothing written
    QZ_INST_FAILED = 2,     // *error names the failure; no target written
};

// Expected: the master's F entry (number, raw size as value, first digest of the inflated
// module, second digest of the whole update file, both seeded with the number). Key: the
// 32-byte Ed25519 public key, or null. Target: a full path.
int qzInstall(const char* source, const char* target, char kind, char os,
              const stQzFileInfo* expected, const unsigned char* key, const char** error);

// The bytes a signature covers after the module itself: "\n<p> U <kind> <os> <number>", so that
// a signed module cannot be announced as another version. Returns the length written to out.
int qzUpdateTrailer(char* out, int size, char kind, char os, int number);
// Reads a 64-hex-digit key from the first line of the file at path. False when absent or bad.
bool qzReadKey(const char* path, unsigned char* key);
// Parses hexadecimal text of exactly 2*n digits into n bytes.
bool qzHexBytes(const char* text, unsigned char* out, int n);
