// A file of the home directory replaced as a whole: written under "<name>.tmp" beside it and
// renamed over the old file only when every byte was written and flushed, so a failure (full
// disk, crash) never leaves a half-written or empty file behind.
#pragma once

#include <cstdio>

#include "util/files.h"
#include "util/text.h"

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
    // Flushes, syncs and closes the new file and renames it over the old one. False (the old
    // file untouched, the new one removed) when anything failed; error() then says what.
    bool commit();
    const char* error() const { return error_; }

  private:
    void fail(const char* what);

    FILE* fp_ = nullptr;
    char path_[QZ_PATH_MAX] = "";
    char temp_[QZ_PATH_MAX] = "";
    char error_[128] = "";
};
