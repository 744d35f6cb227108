// A file of the home directory replaced as a whole: written under "<name>.tmp" beside it and
// renamed over the old file only when every byte was written and flushed, so a failure (full
// disk, a write error) never leaves a half-written or empty file behind.
//
// The frame never waits for the disk: the rename is done at once, and the file's data and the
// directory entry are synced by a background thread that is handed nothing but the two file
// descriptors (atomicSync*). docs/config-files.md gives the exact guarantee after a crash.
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
    // 0600 so that other users of the machine cannot read them. The file is opened through
    // homeOpen, so a name that leads outside the home directory is refused. False when it
    // cannot be created.
    bool open(const char* name, mode_t perm = 0644);
    // Formatted write; a failed write is remembered and makes commit fail.
    void put(const char* fmt, ...) QZ_PRINTF(2, 3);
    // Writes text as it stands.
    void text(const char* text);
    // Flushes the new file, checks it for write errors and renames it over the old one; the
    // sync of its data and of the directory is handed to the background thread. False (the old
    // file untouched, the new one removed) when anything failed; error() then says what.
    bool commit();
    // The commit of a large file, over several frame calls: commitStart flushes the new file and
    // hands the sync of its data to the background thread (false on a write error, as commit);
    // commitPoll then answers 0 while the sync runs, and once it has ended renames the file
    // into place and answers 1, or -1 (old file kept, new one removed, error() set). The data
    // is on the disk before the rename, so the rename has nothing left to write out.
    bool commitStart();
    int commitPoll();
    // Gives the new file up: it is removed and the old one stays as it was.
    void abandon();
    bool isOpen() const { return fp_ != nullptr; }
    const char* error() const { return error_; }

  private:
    void fail(const char* what);

    // The rename, and the old file's release handed to the background thread.
    bool replace();

    FILE* fp_ = nullptr;
    int ticket_ = -1;  // the background sync commitStart asked for (-2: done in the call)
    int oldFd_ = -1;   // the file being replaced, open across the rename
    char path_[QZ_PATH_MAX] = "";
    char temp_[QZ_PATH_MAX] = "";
    char error_[128] = "";
};

// The background sync. It touches no module state: each request is two descriptors it owns
// from then on (the file, and its directory or -1) and the file's path for a report.

// Hands fd and dirFd (either may be -1) over to be synced and closed, and oldFd (or -1) to be
// closed: the last reference to a replaced file, whose blocks the system frees when it goes.
// When the thread cannot be started or its queue is full, this is done at once instead (the
// frame then waits, rarely).
void atomicSyncQueue(int fd, int dirFd, const char* path, int oldFd = -1);
// Reports syncs that failed since the last call ("Sync of FILE failed (WHY)"); run by the frame.
void atomicSyncReport(stQzSv* sv);
// Waits until every request handed over so far has been synced. Returns their number.
int atomicSyncSettle();
// At the module's end: settles the queue and stops the thread, so that no code of the module
// runs once the host unloads it.
void atomicSyncStop();
// Requests handed over that are not synced yet (for tests and benchmarks).
int atomicSyncPending();
// Tests: while held, the thread takes no request (they wait in the queue, or are synced at
// once when it is full).
void atomicSyncHold(bool hold);
