// A file of the home directory replaced as a whole: written under "<name>.tmp" beside it and
// renamed over the old file only once every byte was written, flushed and synced to the disk,
// so neither a failure (full disk, a write error) nor a crash of the machine leaves a
// half-written or empty file behind.
//
// The frame never waits for the disk: the sync of the new file's data, the rename after it and
// the sync of the directory are done by a background thread that is handed the descriptor and
// the two names (atomicSync*). Until the rename, the module's own reads of the file (homeOpen)
// read the new version under its waiting name. docs/config-files.md gives the exact guarantee.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "util/files.h"
#include "util/text.h"

struct stQzSv;

class AtomicFile {
  public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates "<name>.tmp" in the home directory for writing (binary, so "\r\n" stays as
    // written) with permission perm: files that can hold a secret (a web key, a password) pass
    // 0600 so that other users of the machine cannot read them. While an earlier version of the
    // same file still waits for its rename, the new one is written as "<name>.tmpN" instead. The
    // file is opened through homeOpen, so a name that leads outside the home directory is
    // refused. False when it cannot be created.
    bool open(const char* name, mode_t perm = 0644);
    // Formatted write; a failed write is remembered and makes commit fail.
    void put(const char* fmt, ...) QZ_PRINTF(2, 3);
    // Writes text as it stands.
    void text(const char* text);
    // Flushes the new file, checks it for write errors and hands it to the background thread,
    // which syncs its data, then renames it over the old one and syncs the directory. False
    // (the old file untouched, the new one removed) when a write failed; error() then says
    // what. A sync or rename that fails later keeps the old file and is reported by the next
    // frame (atomicSyncReport).
    bool commit();
    // The same, for a writer that wants the outcome (large statistics and alias files):
    // commitStart hands the file over (false on a write error, as commit); commitPoll then
    // answers 0 while the thread works, and once the file is in place 1, or -1 (old file kept,
    // new one removed, error() set).
    bool commitStart();
    int commitPoll();
    // Gives the new file up: it is removed and the old one stays as it was. A file already being
    // synced by the thread is completed and renamed into place by it.
    void abandon();
    bool isOpen() const { return fp_ != nullptr; }
    const char* error() const { return error_; }

  private:
    void fail(const char* what);
    // Flushes and closes the new file; its descriptor for the sync, or -1 (error_ set).
    int finishWrite();

    FILE* fp_ = nullptr;
    int ticket_ = -1;  // the background commit commitStart asked for (-2: done in the call)
    char path_[QZ_PATH_MAX] = "";
    char temp_[QZ_PATH_MAX] = "";
    char error_[128] = "";
};

// The background sync. It touches no module state: each request is the descriptors it owns
// from then on and the file's names. Requests are taken in the order they were handed over, so
// of two versions of one file the later one is renamed last. Only the frame hands requests over.

// Hands fd and dirFd (either may be -1) over to be synced and closed, and oldFd (or -1) to be
// closed: the last reference to a replaced file, whose blocks the system frees when it goes.
// When the thread cannot be started or its queue is full, this is done at once instead (the
// frame then waits, rarely).
void atomicSyncQueue(int fd, int dirFd, const char* path, int oldFd = -1);
// Reports syncs that failed since the last call ("Sync of FILE failed (WHY)", and "Writing FILE
// failed (WHY); the old file is kept" for a new version that was not renamed into place); run
// by the frame.
void atomicSyncReport(stQzSv* sv);
// Waits until every request handed over so far has been synced. Returns their number.
int atomicSyncSettle();
// At the module's end: settles the queue and stops the thread, so that no code of the module
// runs once the host unloads it.
void atomicSyncStop();
// Tests: waits as atomicSyncSettle does, but not while the thread is held.
void atomicSyncQuiesce();
// Requests handed over that are not synced yet (for tests and benchmarks).
int atomicSyncPending();
// Tests: while held, the thread takes no request (they wait in the queue, or are done at once
// when it is full).
void atomicSyncHold(bool hold);
// Tests: the call that syncs a file's data (fsync when null), run by whoever syncs, so a test
// can look at the files at that moment or make the sync fail.
using AtomicSyncFn = int (*)(int fd);
void atomicSyncSetFn(AtomicSyncFn fn);
