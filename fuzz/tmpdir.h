// The working directory of a fuzz run: a fresh directory under $TMPDIR (or /tmp when TMPDIR is
// unset or empty), removed with everything in it when the run ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qzfuzz {

inline std::string& runDirectory() {
    static std::string dir;
    return dir;
}

inline void removeRunDirectory() {
    std::error_code ignored;
    if (!runDirectory().empty()) std::filesystem::remove_all(runDirectory(), ignored);
}

// Makes the directory on the first call (PREFIX names it) and returns it, without a trailing
// slash; aborts when it cannot be made, since the target cannot run without it.
inline const std::string& makeRunDirectory(const char* prefix) {
    std::string& dir = runDirectory();
    if (!dir.empty()) return dir;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    std::atexit(removeRunDirectory);
    return dir;
}

// As makeRunDirectory, but on /dev/shm (memory) where that is a writable directory: for targets
// that write and read back files for every input, which on a disk cost milliseconds (the sync of
// a replaced file above all) and in memory microseconds. Elsewhere it is makeRunDirectory's. A
// crash leaves the directory behind, a few kilobytes of memory until the machine restarts.
inline const std::string& makeMemoryRunDirectory(const char* prefix) {
    std::string& dir = runDirectory();
    if (!dir.empty()) return dir;
    if (access("/dev/shm", W_OK | X_OK) == 0) {
        std::string pattern = std::string("/dev/shm/") + prefix + "XXXXXX";
        if (mkdtemp(pattern.data())) {
            dir = pattern;
            std::atexit(removeRunDirectory);
            return dir;
        }
    }
    return makeRunDirectory(prefix);
}

}  // namespace qzfuzz
