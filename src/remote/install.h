// The installer of a module update. An update file is one header line,
//   "<p> U <kind> <os> <number> <raw size> <raw digest> <signature>\r\n",
// followed by the module compressed with zlib. The installer checks the file against what the
// masters described, inflates it with a bound, checks the result, verifies the Ed25519
// signature with the administrator's public key and only then puts the target in place, from a
// temporary file renamed once its bytes are on disk. Without a key it checks everything and
// writes nothing.
//
// The work is done a slice at a time (qzInstallStep), so that a game frame pays for a bounded
// piece of it: the update file is read (or inflated from a transfer's data) in pieces, each
// piece digested and inflated on the way, the module digested, hashed and written as it comes;
// the signature covers a short manifest holding the module's SHA-256, so it is checked at the
// end in microseconds. The failure reported is always the first, in the order of the checks.
#pragma once

#include <cstdint>

#include "remote/masters.h"

constexpr int QZ_UPD_SIG_LEN = 64;
constexpr int QZ_UPD_KEY_LEN = 32;
constexpr int QZ_UPD_MANIFEST = 192;  // longest manifest text, with its terminating zero

enum QzInstallResult {
    QZ_INST_INSTALLED = 0,  // target written
    QZ_INST_VERIFIED = 1,   // every check passed, no key: nothing written
    QZ_INST_FAILED = 2,     // *error names the failure; no target written
    QZ_INST_RUNNING = 3,    // qzInstallStep: more to do
};

struct stQzInstall;

// Starts an installation from data (malloc'd; the job owns and frees it): the bytes of an update
// file, or, with fileSize non-zero, a transfer's zlib data that inflate to the fileSize bytes of
// one. Null without memory (data freed).
stQzInstall* qzInstallStart(char* data, unsigned long length, unsigned long fileSize,
                            const char* target, char kind, char os, const stQzFileInfo* expected,
                            const unsigned char* key);
// Works through `bytes` bytes of work, and at most one piece (8 KiB) more: bytes of the update
// file read and digested, and bytes of the module inflated, digested, hashed and written, so that
// a step costs the same whatever the file's compression (0: all of it, then the target is synced
// and renamed at once). Returns QZ_INST_RUNNING until the result; then *error as for qzInstall.
// Once the checks have passed, the target's bytes are sent to the disk and given five seconds
// by the module's clock before the file is renamed into place, unsynced (the start-up syncs it
// before the swap).
int qzInstallStep(stQzInstall* job, unsigned now, unsigned long bytes, const char** error);
// When a transfer's data did not inflate to an update file of the announced size: zlib's code
// (1 for a different length); 0 otherwise. The step then failed with a null *error.
int qzInstallTransferError(const stQzInstall* job);
// The bytes of work done so far (update file bytes taken and module bytes made).
unsigned long qzInstallWork(const stQzInstall* job);
// True while the checked target waits for its bytes to reach the disk (nothing to do meanwhile).
bool qzInstallSettling(const stQzInstall* job);
void qzInstallFree(stQzInstall* job);
// After QZ_INST_INSTALLED: the installer's record of the copy it verified and wrote,
// "<kind> <os> <number> <size> <signature in hex>", which a later check of the copy verifies
// again with the same key against the copy's own SHA-256. False before that.
bool qzInstallRecord(const stQzInstall* job, char* out, int size);

// Expected: the master's F entry (number, raw size as value, first digest of the inflated
// module, second digest of the whole update file, both seeded with the number). Key: the
// 32-byte Ed25519 public key, or null. Target: a full path.
int qzInstall(const char* source, const char* target, char kind, char os,
              const stQzFileInfo* expected, const unsigned char* key, const char** error);

// The text a signature covers: "<p> U <kind> <os> <number> <raw size> <sha256 of the module in
// lower-case hex>", so that a signed module can be neither changed nor announced as another
// version. Returns the length written to out (at most QZ_UPD_MANIFEST - 1).
int qzUpdateManifest(char* out, int size, char kind, char os, int number, const void* module,
                     unsigned long length);
// Reads a 64-hex-digit key from the first line of the file at path. False when absent or bad.
bool qzReadKey(const char* path, unsigned char* key);
// Parses hexadecimal text of exactly 2*n digits into n bytes.
bool qzHexBytes(const char* text, unsigned char* out, int n);
